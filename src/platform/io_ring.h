#pragma once

// A small io_uring of our own (Linux): a batch of requests handed to the
// kernel with one system call and waited for together.

#include <linux/io_uring.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrune::platform {

class IoRing {
 public:
  // A ring for up to `entries` requests at a time; null when the kernel has
  // no io_uring, one without opens and reads (before 5.6), or refuses it (a
  // seccomp filter, io_uring_disabled).
  static std::unique_ptr<IoRing> create(unsigned entries);
  ~IoRing();
  IoRing(const IoRing&) = delete;
  IoRing& operator=(const IoRing&) = delete;

  // A request to fill, zeroed, whose result run() stores at `results[tag]`.
  // At most `entries` between two run() calls.
  io_uring_sqe& add(std::uint64_t tag);

  // Hands the requests added to the kernel and waits for all of them,
  // storing each one's result (a count, a descriptor, or -errno) at its tag.
  // False when the ring failed: the requests the kernel had not taken yet
  // are taken back and their results left as they were, those it had taken
  // are still waited for (a late open's descriptor comes as its result, a
  // late read does not land after the caller reuses its buffer), and the
  // ring must not be used again.
  bool run(std::span<int> results);

  // The io_uring_enter system call; a test may put in one that fails as a
  // kernel can.
  using EnterCall = long (*)(int fd, unsigned to_submit, unsigned min_complete, unsigned flags);
  static EnterCall enter_call;

 private:
  IoRing() = default;

  int fd_ = -1;
  void* rings_[3] = {};  // the submission ring, the completion ring, the entries
  std::size_t sizes_[3] = {};
  // Takes back the requests the kernel has not taken; answers how many.
  unsigned withdraw();
  // Stores the results that have come; answers how many.
  unsigned reap(std::span<int> results);

  unsigned* sq_head_ = nullptr;
  unsigned* sq_tail_ = nullptr;
  unsigned sq_mask_ = 0;
  unsigned* sq_array_ = nullptr;
  io_uring_sqe* sqes_ = nullptr;
  unsigned* cq_head_ = nullptr;
  unsigned* cq_tail_ = nullptr;
  unsigned cq_mask_ = 0;
  io_uring_cqe* cqes_ = nullptr;
  unsigned tail_ = 0;    // the submission tail, ahead of the kernel's by `added_`
  unsigned added_ = 0;   // requests added since the last run()
};

}  // namespace kestrune::platform
