#include "tags/tag_bytes.h"

#include <algorithm>
#include <limits>

namespace kestrune {

std::size_t StreamBytes::read_at(std::uint64_t offset, char* out, std::size_t count) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<long>::max())) return 0;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return 0;
  return std::fread(out, 1, count, file_);
}

std::size_t MemoryBytes::read_at(std::uint64_t offset, char* out, std::size_t count) {
  return offset > file_.size() ? 0 : file_.copy(out, count, static_cast<std::size_t>(offset));
}

TagBytes StreamBytes::read_head(std::string& head) {
  // A size beyond a `long` counts as the largest offset a seek can reach.
  const long end = std::fseek(file_, 0, SEEK_END) == 0 ? std::ftell(file_) : -1L;
  const auto size = static_cast<std::uint64_t>(end >= 0 ? end : std::numeric_limits<long>::max());
  head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kTagHeadSize)));
  head.resize(read_at(0, head.data(), head.size()));
  return TagBytes{head, {}, size, this};
}

}  // namespace kestrune
