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
  // False when the ring failed: results that did not come are left as they
  // were, and the ring must not be used again.
  bool run(std::span<int> results);

 private:
  IoRing() = default;

  int fd_ = -1;
  void* rings_[3] = {};  // the submission ring, the completion ring, the entries
  std::size_t sizes_[3] = {};
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
