#include "tags/tag_bytes.h"

#include <limits>

namespace kestrune {

std::size_t StreamBytes::read_at(std::uint64_t offset, char* out, std::size_t count) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<long>::max())) return 0;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return 0;
  return std::fread(out, 1, count, file_);
}

std::uint64_t StreamBytes::size() {
  const long end = std::fseek(file_, 0, SEEK_END) == 0 ? std::ftell(file_) : -1L;
  return static_cast<std::uint64_t>(end >= 0 ? end : std::numeric_limits<long>::max());
}

}  // namespace kestrune
