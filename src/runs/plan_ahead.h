#pragma once

// Runs a step on the items of a list on a few threads, ahead of the one
// thread that takes the results in the order of the list. The step is given
// a chunk of consecutive items at a time, so that it can hand their reads to
// the system together. The threads run at most `window` items ahead of the
// taker, so the memory stays bounded however long the list is. Threads that
// fill the window wait until the taker has emptied half of it: one wake-up
// per half window, not per item.

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace kestrune::runs {

template <class Item>
class PlanAhead {
 public:
  // `work(first, items, worker)` fills `items`, the entries of the list from
  // index `first` on (at most `chunk` of them); `worker` (below `threads`)
  // tells which thread calls it, so that each may keep state of its own.
  // With `threads` at most 1 no thread is started: next() does the work
  // itself, a chunk at a time, in order.
  using Work = std::function<void(std::size_t first, std::span<Item> items, std::size_t worker)>;

  PlanAhead(std::size_t count, std::size_t threads, std::size_t window, std::size_t chunk,
            Work work)
      : count_(count), chunk_(std::max<std::size_t>(chunk, 1)), work_(std::move(work)) {
    if (threads <= 1 || count <= chunk_) {
      slots_.resize(std::min(count, chunk_));
      return;
    }
    // Chunks never wrap around the window, and half of it holds one.
    const std::size_t chunks = std::max<std::size_t>((window + chunk_ - 1) / chunk_, 2);
    slots_.resize(std::max(chunks, threads) * chunk_);
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
    const std::size_t slot = taken_ % slots_.size();
    if (threads_.empty()) {
      if (slot == 0) work_(taken_, chunk_at(taken_), 0);
      out = std::move(slots_[slot]);
      ++taken_;
      return true;
    }
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
  // The slots of the chunk that starts at index `first`.
  std::span<Item> chunk_at(std::size_t first) {
    return std::span<Item>(slots_).subspan(first % slots_.size(),
                                           std::min(chunk_, count_ - first));
  }

  // Each thread claims the next chunk while the window has room, works on
  // it without the lock, in slots that no one else touches until they are
  // ready, and hands it over.
  void run(std::size_t worker) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!stop_ && claimed_ < count_ && claimed_ + chunk_ > taken_ + slots_.size()) {
        ++stalled_;
        room_.wait(lock, [&] { return stop_ || half_free(); });
        --stalled_;
      }
      if (stop_ || claimed_ == count_) return;
      const std::size_t first = claimed_;
      const std::span<Item> items = chunk_at(first);
      claimed_ += items.size();
      lock.unlock();
      work_(first, items, worker);
      lock.lock();
      const std::size_t slot = first % slots_.size();
      std::fill_n(ready_.begin() + static_cast<std::ptrdiff_t>(slot), items.size(), true);
      if (waiting_ && taken_ >= first && taken_ < first + items.size()) done_.notify_one();
    }
  }

  bool half_free() const { return claimed_ - taken_ <= slots_.size() / 2; }

  const std::size_t count_;
  const std::size_t chunk_;
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
