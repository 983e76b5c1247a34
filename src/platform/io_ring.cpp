#include "platform/io_ring.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace kestrune::platform {

namespace {

unsigned* field(void* ring, std::uint32_t offset) {
  return reinterpret_cast<unsigned*>(static_cast<char*>(ring) + offset);
}

long enter_system_call(int fd, unsigned to_submit, unsigned min_complete, unsigned flags) {
  return ::syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 0);
}

bool transient(int error) { return error == EINTR || error == EAGAIN || error == EBUSY; }

}  // namespace

IoRing::EnterCall IoRing::enter_call = enter_system_call;

std::unique_ptr<IoRing> IoRing::create(unsigned entries) {
  io_uring_params params{};
  const long fd = ::syscall(__NR_io_uring_setup, entries, &params);
  if (fd < 0) return nullptr;
  std::unique_ptr<IoRing> ring(new IoRing());
  ring->fd_ = static_cast<int>(fd);
  // Opens and reads by offset came with Linux 5.6, as did this flag; an
  // older ring would fail every one of them.
  if ((params.features & IORING_FEAT_RW_CUR_POS) == 0) return nullptr;
  ring->sizes_[0] = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  ring->sizes_[1] = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  ring->sizes_[2] = params.sq_entries * sizeof(io_uring_sqe);
  const off_t offsets[3] = {IORING_OFF_SQ_RING, IORING_OFF_CQ_RING, IORING_OFF_SQES};
  for (int i = 0; i < 3; ++i) {
    void* mapped = ::mmap(nullptr, ring->sizes_[i], PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_POPULATE, ring->fd_, offsets[i]);
    if (mapped == MAP_FAILED) return nullptr;
    ring->rings_[i] = mapped;
  }
  void* sq = ring->rings_[0];
  void* cq = ring->rings_[1];
  ring->sq_head_ = field(sq, params.sq_off.head);
  ring->sq_tail_ = field(sq, params.sq_off.tail);
  ring->sq_mask_ = *field(sq, params.sq_off.ring_mask);
  ring->sq_array_ = field(sq, params.sq_off.array);
  ring->sqes_ = static_cast<io_uring_sqe*>(ring->rings_[2]);
  ring->cq_head_ = field(cq, params.cq_off.head);
  ring->cq_tail_ = field(cq, params.cq_off.tail);
  ring->cq_mask_ = *field(cq, params.cq_off.ring_mask);
  ring->cqes_ = reinterpret_cast<io_uring_cqe*>(static_cast<char*>(cq) + params.cq_off.cqes);
  ring->tail_ = *ring->sq_tail_;
  return ring;
}

IoRing::~IoRing() {
  for (int i = 0; i < 3; ++i) {
    if (rings_[i] != nullptr) ::munmap(rings_[i], sizes_[i]);
  }
  if (fd_ >= 0) ::close(fd_);
}

io_uring_sqe& IoRing::add(std::uint64_t tag) {
  const unsigned index = tail_++ & sq_mask_;
  ++added_;
  sq_array_[index] = index;
  io_uring_sqe& entry = sqes_[index];
  std::memset(&entry, 0, sizeof entry);
  entry.user_data = tag;
  return entry;
}

bool IoRing::run(std::span<int> results) {
  std::atomic_ref<unsigned>(*sq_tail_).store(tail_, std::memory_order_release);
  unsigned to_submit = added_;
  unsigned waiting = added_;  // handed over or still to hand over, not come yet
  added_ = 0;
  bool failed = false;
  while (waiting > 0) {
    const long entered = enter_call(fd_, to_submit, waiting, IORING_ENTER_GETEVENTS);
    const bool refused = entered < 0 && !transient(errno);
    if (entered > 0) to_submit -= std::min(to_submit, static_cast<unsigned>(entered));
    const unsigned came = reap(results);
    waiting -= std::min(waiting, came);
    // Nothing handed over and nothing come: the kernel will not take the rest.
    if (refused || (entered == 0 && came == 0 && to_submit > 0)) {
      // What the kernel already holds is waited for all the same, once: an
      // open it finishes later would leave its descriptor to nobody, a read
      // would land in a buffer being filled again.
      if (failed) return false;
      failed = true;
      waiting -= std::min(waiting, withdraw());
      to_submit = 0;
    }
  }
  return !failed;
}

unsigned IoRing::withdraw() {
  const unsigned taken = std::atomic_ref<unsigned>(*sq_head_).load(std::memory_order_acquire);
  const unsigned left = tail_ - taken;
  tail_ = taken;
  std::atomic_ref<unsigned>(*sq_tail_).store(tail_, std::memory_order_release);
  return left;
}

unsigned IoRing::reap(std::span<int> results) {
  std::atomic_ref<unsigned> head_ref(*cq_head_);
  unsigned head = head_ref.load(std::memory_order_relaxed);
  const unsigned tail = std::atomic_ref<unsigned>(*cq_tail_).load(std::memory_order_acquire);
  const unsigned came = tail - head;
  for (; head != tail; ++head) {
    const io_uring_cqe& done = cqes_[head & cq_mask_];
    if (done.user_data < results.size()) results[done.user_data] = done.res;
  }
  head_ref.store(head, std::memory_order_release);
  return came;
}

}  // namespace kestrune::platform
