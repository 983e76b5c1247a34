#include "tags/id3v1.h"

#include <cstring>

namespace kestrune {

namespace {
constexpr long kTrailerSize = 128;
constexpr char kMagic[3] = {'T', 'A', 'G'};
}  // namespace

bool read_tag_v1(TagV1& tag, std::FILE* file) {
  std::memset(&tag, 0, sizeof tag);
  // Seeking before the start fails, which is how a file shorter than the
  // trailer is told apart.
  if (std::fseek(file, -kTrailerSize, SEEK_END) != 0) return false;
  char magic[3];
  if (std::fread(magic, 1, sizeof magic, file) != sizeof magic) return false;
  if (std::memcmp(magic, kMagic, sizeof magic) != 0) return false;
  // A short read leaves the bytes it did not deliver at zero.
  char body[sizeof(TagV1)];
  const std::size_t got = std::fread(body, 1, sizeof body, file);
  std::memcpy(&tag, body, got);
  return true;
}

}  // namespace kestrune
