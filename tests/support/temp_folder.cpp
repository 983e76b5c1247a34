#include "support/temp_folder.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <random>
#include <set>

namespace kestrune::test {

namespace fs = std::filesystem;

TempFolder::TempFolder() : previous_(fs::current_path()) {
  std::random_device random;
  do {
    path_ = fs::temp_directory_path() / ("kestrune-test-" + std::to_string(random()));
  } while (!fs::create_directory(path_));  // false: the name was taken
  fs::current_path(path_);
#ifndef _WIN32
  ::setenv("XDG_STATE_HOME", (path_.string() + "-state").c_str(), 1);
  // Nor do the user's settings of kestrune-cli reach the tests.
  ::setenv("XDG_CONFIG_HOME", (path_.string() + "-config").c_str(), 1);
#endif
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  // Tests may leave folders without write or search permission behind.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
  fs::remove_all(path_.string() + "-state", ignored);
  fs::remove_all(path_.string() + "-config", ignored);
}

void write_bytes(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string describe_tree(const fs::path& root) {
  std::set<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    lines.insert(entry.is_directory()      ? name + "/"
                 : entry.is_regular_file() ? name + " " + std::to_string(entry.file_size())
                                           : name);
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

}  // namespace kestrune::test
