#pragma once

// The bytes of one MP3 file that the tag readers parse: the head of the file
// and its last 128 bytes, read by the caller up front, and a way to read more
// for an ID3v2 tag longer than the head. The readers never call the operating
// system themselves.
//
// A caller with a raw file descriptor fills a TagBytes with one read of the
// head at offset 0 and one read of the tail at tail_offset(size):
//
//   char head[kTagHeadSize], tail[kTagTailSize];
//   size_t h = pread(fd, head, sizeof head, 0);
//   size_t t = h < size ? pread(fd, tail, tail_size(size), tail_offset(size)) : 0;
//   PreadBytes more(fd);  // implements MoreBytes::read_at with pread
//   TagBytes bytes{{head, h}, {tail, t}, size, &more};
//   TagsFound found = read_tags(tag_v1, tag_v2, bytes);  // tags/read_tags.h
//
// When the head holds the whole file the tail may stay empty: the trailer is
// then taken from the head.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kestrune {

// A head of this size holds the text frames of most tags without a picture.
// Any other size works: a shorter head costs more reads, a longer one makes
// the system read ahead further where the cache is cold (with a 16 KiB head
// it read 64 KiB of each file with a picture, against 16 KiB with this one).
inline constexpr std::size_t kTagHeadSize = 4096;
// The ID3v1 trailer is the last 128 bytes of a file.
inline constexpr std::size_t kTagTailSize = 128;

// Where the tail starts and how many bytes it has for a file of `size` bytes.
constexpr std::uint64_t tail_offset(std::uint64_t size) {
  return size > kTagTailSize ? size - kTagTailSize : 0;
}
constexpr std::size_t tail_size(std::uint64_t size) {
  return size > kTagTailSize ? kTagTailSize : static_cast<std::size_t>(size);
}

// Reads bytes beyond the head on demand; implemented by the caller over its
// open file (pread, or fseek and fread). A reader asks only for bytes inside
// the file size it was given, at most a few KiB at a time.
class MoreBytes {
 public:
  // Reads up to `count` bytes at `offset` into `out` and answers how many it
  // read; fewer (0 included) at the end of the file or after an error.
  virtual std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) = 0;

 protected:
  ~MoreBytes() = default;
};

// Borrowed views, valid for the duration of a reader's call.
struct TagBytes {
  std::string_view head;        // read at offset 0: the file's first bytes
  std::string_view tail;        // read at tail_offset(file_size); may be short
  std::uint64_t file_size = 0;  // from the file's status
  MoreBytes* more = nullptr;    // null: bytes beyond the head cannot be read
};

// A frame body is read only as far as a name can use: a text that reaches
// this many characters makes a name over the longest one (1023 characters)
// anyway, so the readers keep this much of each text and skip the rest.
inline constexpr std::size_t kTagTextReach = 1024;

// The bytes of a file held whole in memory (borrowed), served as a caller
// that read a head of `head_size` bytes and the tail would serve them: the
// rest comes through read_at. For tests and fuzzing.
class MemoryBytes final : public MoreBytes {
 public:
  MemoryBytes(std::string_view file, std::size_t head_size) : file_(file), head_size_(head_size) {}
  std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) override;
  TagBytes bytes() {
    return {file_.substr(0, head_size_), file_.substr(tail_offset(file_.size())), file_.size(),
            this};
  }

 private:
  std::string_view file_;
  std::size_t head_size_;
};

// MoreBytes over a stdio stream (borrowed, binary, seekable), for the FILE*
// forms of the readers. It moves the stream's position.
class StreamBytes final : public MoreBytes {
 public:
  explicit StreamBytes(std::FILE* file) : file_(file) {}
  std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) override;

  // Reads up to kTagHeadSize bytes at the start of the stream into `head`
  // and answers the bytes of the stream over it, without a tail.
  TagBytes read_head(std::string& head);

 private:
  std::FILE* file_;
};

}  // namespace kestrune
