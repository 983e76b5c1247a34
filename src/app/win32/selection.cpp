#include "app/win32/selection.h"

#include <cstring>

namespace kestrune::win32 {

namespace {

// The string starting at `pos`, ended by a zero byte or by the buffer's end.
std::string string_at(const char* buffer, std::size_t size, std::size_t pos) {
  const void* zero = std::memchr(buffer + pos, '\0', size - pos);
  const std::size_t end = zero != nullptr ? static_cast<const char*>(zero) - buffer : size;
  return std::string(buffer + pos, end - pos);
}

}  // namespace

DWORD open_file_flags(const FileRequest& request) {
  DWORD flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (request.allow_multiple) flags |= OFN_EXPLORER | OFN_ALLOWMULTISELECT;
  if (request.file_must_exist) flags |= OFN_FILEMUSTEXIST;
  return flags;
}

std::string filter_text(const FileRequest& request) {
  std::string text;
  for (const auto& [description, pattern] : request.filters) {
    text += description;
    text += '\0';
    text += pattern;
    text += '\0';
  }
  text += '\0';
  return text;
}

FileChoice parse_selection(const char* buffer, std::size_t size) {
  FileChoice choice;
  if (buffer == nullptr || size == 0) return choice;
  choice.first = string_at(buffer, size, 0);
  // Behind the first string's zero byte: the names, up to an empty string.
  std::size_t pos = choice.first.size() + 1;
  while (pos < size) {
    std::string name = string_at(buffer, size, pos);
    if (name.empty()) break;
    pos += name.size() + 1;
    choice.names.push_back(std::move(name));
  }
  return choice;
}

}  // namespace kestrune::win32
