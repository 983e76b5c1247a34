#include "support/temp_folder.h"

#include <stdlib.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

// Windows has no mkdtemp: the six X's become a number, then the folder is made.
static char* mkdtemp(char* pattern) {
  static unsigned counter = 0;
  char* const digits = pattern + std::strlen(pattern) - 6;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::snprintf(digits, 7, "%06X",
                  static_cast<unsigned>((GetCurrentProcessId() * 7919 + counter++) & 0xFFFFFF));
    if (::_mkdir(pattern) == 0) return pattern;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}
#endif

namespace kestrune::test {

TempFolder::TempFolder() : previous_(std::filesystem::current_path()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::filesystem::filesystem_error("mkdtemp", pattern,
                                            std::error_code(errno, std::generic_category()));
  }
  path_ = pattern;
  std::filesystem::current_path(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  // Tests may leave folders without write or search permission behind.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string describe_tree(const std::filesystem::path& root) {
  std::set<std::string> lines;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string line = std::filesystem::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      line += "/";
    } else if (entry.is_regular_file()) {
      line += " " + std::to_string(entry.file_size());
    }
    lines.insert(line);
  }
  std::ostringstream out;
  for (const std::string& line : lines) out << line << "\n";
  return out.str();
}

}  // namespace kestrune::test
