#pragma once

// A read-only view of one open file for the tag readers, served from two
// pieces read up front: the head and the last 128 bytes. Reading both tags
// of a file whose ID3v2 tag fits the head then costs one or two reads in
// all, where the readers' seeks on a plain stream cost a system call each.
// Bytes outside the two pieces are read on demand, a window of 4 KiB at a
// time.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace kestrune::runs {

class ReadAhead {
 public:
  static constexpr std::size_t kHeadSize = 4096;
  static constexpr std::size_t kTailSize = 128;

  ReadAhead() = default;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Takes over `file` (opened for binary reading, at its start) and answers
  // a stream over it for read_tag_v1 and read_tag_v2, owned by this object
  // until the next open() or close(). Where the C library offers no custom
  // streams, the answer is `file` itself with a reused buffer.
  std::FILE* open(platform::FilePtr file);

  // Closes the stream and the file.
  void close();

  ~ReadAhead() { close(); }

 private:
  struct Cookie;
  bool load_tail();
  bool find_size();
  long read(char* out, std::size_t count);

  platform::FilePtr file_;
  platform::FilePtr view_;
  char head_[kHeadSize];
  char tail_[kTailSize];
  char window_[kHeadSize];
  char stream_buffer_[512];
  std::uint64_t window_start_ = 0;
  std::size_t window_bytes_ = 0;
  std::size_t head_bytes_ = 0;
  bool head_is_whole_ = false;  // the file ended inside the head
  bool size_known_ = false;
  bool tail_loaded_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

}  // namespace kestrune::runs
