#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune::test {

// A fresh temporary folder that is the current directory while the object
// lives; afterwards the folder is removed and the old directory restored.
// Journals of the runs made meanwhile go beside it, never to the user's own,
// and kestrune-cli's settings file is looked for beside it too.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_, previous_;
};

// Writes `bytes` to `path`, creating or emptying the file.
void write_bytes(const std::filesystem::path& path, std::string_view bytes);
// The whole content of `path`, or an empty string when it cannot be read.
std::string read_bytes(const std::filesystem::path& path);
// Every entry below `root` as "relative/path" (folders end in "/"), sorted,
// with each regular file's size, for comparing trees before and after.
std::string describe_tree(const std::filesystem::path& root);

}  // namespace kestrune::test
