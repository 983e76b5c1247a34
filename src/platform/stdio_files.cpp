// What both implementations of the platform layer do the same way: writing
// through the C library's streams that the layer opened.

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace kestrune::platform {

bool write_to(std::FILE* file, std::string_view bytes, bool flush, bool sync) {
  errno = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    if (errno == 0) errno = EIO;
    return false;
  }
  if (sync) return sync_file(file);
  return !flush || std::fflush(file) == 0;
}

bool close_file(FilePtr file) {
  errno = 0;
  return std::fclose(file.release()) == 0;
}

}  // namespace kestrune::platform
