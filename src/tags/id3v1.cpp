#include "tags/id3v1.h"

#include <cstring>

namespace kestrune {

bool read_tag_v1(TagV1& tag, const TagBytes& bytes) {
  std::memset(&tag, 0, sizeof tag);
  if (bytes.file_size < kTagTailSize) return false;
  const std::string_view trailer =
      bytes.head.size() >= bytes.file_size
          ? bytes.head.substr(static_cast<std::size_t>(tail_offset(bytes.file_size)), kTagTailSize)
          : bytes.tail.substr(0, kTagTailSize);
  if (trailer.substr(0, 3) != "TAG") return false;
  std::memcpy(&tag, trailer.data() + 3, trailer.size() - 3);
  return true;
}

bool read_tag_v1(TagV1& tag, std::FILE* file) {
  // Seeking from the end works for files of any size, and fails before the
  // start of a file shorter than the trailer.
  char tail[kTagTailSize];
  const bool holds_trailer = std::fseek(file, -static_cast<long>(kTagTailSize), SEEK_END) == 0;
  const std::size_t got = holds_trailer ? std::fread(tail, 1, sizeof tail, file) : 0;
  // Only the tail is looked at, so any size that holds a trailer will do.
  return read_tag_v1(tag, TagBytes{{}, {tail, got}, holds_trailer ? kTagTailSize : 0, nullptr});
}

}  // namespace kestrune
