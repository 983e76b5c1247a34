// kestrune-bench-baseline DIR: the least a rename from tags must do, as the
// yardstick for kestrune-cli. It lists the "*.mp3" entries of DIR whole, then
// for each one opens it, reads its head and its last 128 bytes, closes it and
// renames it without replacing anything. It parses nothing: the new name is
// the old one behind "renamed " (the same folder, a name of similar length).

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestrune-bench-baseline DIR\n");
    return 2;
  }
  const int folder = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = folder >= 0 ? ::fdopendir(::dup(folder)) : nullptr;
  if (dir == nullptr) {
    std::fprintf(stderr, "kestrune-bench-baseline: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::size_t length = std::strlen(entry->d_name);
    if (length >= 4 && std::strcmp(entry->d_name + length - 4, ".mp3") == 0) {
      names.emplace_back(entry->d_name, length);
    }
  }
  ::closedir(dir);

  static char head[4096];
  char tail[128];
  std::string target;
  std::size_t failed = 0;
  for (const std::string& name : names) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      ++failed;
      continue;
    }
    const bool read_ok = ::read(fd, head, sizeof head) >= 10 &&
                         ::lseek(fd, -128, SEEK_END) >= 0 && ::read(fd, tail, sizeof tail) == 128;
    ::close(fd);
    if (!read_ok) {
      ++failed;
      continue;
    }
    target.assign("renamed ").append(name);
    if (::renameat2(folder, name.c_str(), folder, target.c_str(), RENAME_NOREPLACE) != 0) ++failed;
  }
  ::close(folder);
  std::printf("%zu files, %zu failed\n", names.size(), failed);
  return failed == 0 ? 0 : 1;
}
