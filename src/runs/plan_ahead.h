#pragma once

// Runs a step on the items of a list on a few threads, ahead of the one
// thread that takes the results in the order of the list. The threads run
// at most `window` items ahead of the taker, so the memory stays bounded
// however long the list is. Threads that fill the window wait until the
// taker has emptied half of it: one wake-up per half window, not per item.

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune::runs {

template <class Item>
class PlanAhead {
 public:
  // `work(index, item, worker)` fills `item` for the index-th entry of the
  // list; `worker` (below `threads`) tells which thread calls it, so that
  // each may keep state of its own. With `threads` at most 1 no thread is
  // started: next() does the work itself, in order.
  using Work = std::function<void(std::size_t index, Item& item, std::size_t worker)>;

  PlanAhead(std::size_t count, std::size_t threads, std::size_t window, Work work)
      : count_(count), work_(std::move(work)) {
    if (threads <= 1 || count <= 1) return;
    slots_.resize(std::max<std::size_t>(window, threads));
    ready_.assign(slots_.size(), false);
    for (std::size_t worker = 0; worker < threads; ++worker) {
      threads_.emplace_back([this, worker] { run(worker); });
    }
  }

  ~PlanAhead() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    room_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  PlanAhead(const PlanAhead&) = delete;
  PlanAhead& operator=(const PlanAhead&) = delete;

  // Moves the next item of the list into `out`; false after the last.
  bool next(Item& out) {
    if (taken_ == count_) return false;
    if (threads_.empty()) {
      work_(taken_++, out, 0);
      return true;
    }
    const std::size_t slot = taken_ % slots_.size();
    std::unique_lock lock(mutex_);
    if (!ready_[slot]) {
      waiting_ = true;
      done_.wait(lock, [&] { return ready_[slot]; });
      waiting_ = false;
    }
    out = std::move(slots_[slot]);
    ready_[slot] = false;
    ++taken_;
    const bool wake = stalled_ > 0 && half_free();
    lock.unlock();
    if (wake) room_.notify_all();
    return true;
  }

 private:
  // Each thread claims the next index while the window has room, works on
  // it without the lock and hands it over.
  void run(std::size_t worker) {
    Item item;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!stop_ && claimed_ < count_ && claimed_ >= taken_ + slots_.size()) {
        ++stalled_;
        room_.wait(lock, [&] { return stop_ || half_free(); });
        --stalled_;
      }
      if (stop_ || claimed_ == count_) return;
      const std::size_t index = claimed_++;
      lock.unlock();
      work_(index, item, worker);
      lock.lock();
      const std::size_t slot = index % slots_.size();
      slots_[slot] = std::move(item);
      ready_[slot] = true;
      if (waiting_ && index == taken_) done_.notify_one();
    }
  }

  bool half_free() const { return claimed_ - taken_ <= slots_.size() / 2; }

  const std::size_t count_;
  Work work_;
  std::vector<Item> slots_;
  std::vector<bool> ready_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable done_;  // the taker waits for its next item
  std::condition_variable room_;  // the threads wait for room in the window
  std::size_t taken_ = 0;         // items the taker has taken
  std::size_t claimed_ = 0;       // indexes the threads have claimed
  std::size_t stalled_ = 0;       // threads waiting for room
  bool waiting_ = false;          // the taker waits
  bool stop_ = false;
};

}  // namespace kestrune::runs
