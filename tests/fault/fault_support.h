#pragma once

// Helpers for provoking faults for real: a child process without root's
// privileges, a tiny file system of our own and a stream whose reads fail.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace kestrune::test {

// Runs `body` in a child process and answers its result, or -1 when the child
// did not end normally. As root the child first becomes the unprivileged
// user 65534, so that file and folder permissions bind it; what it touches
// must then belong to that user (see `hand_to_unprivileged`).
int run_unprivileged(const std::function<int()>& body);

// Makes `root` and everything below it belong to the user the child of
// `run_unprivileged` runs as. Does nothing when not running as root.
void hand_to_unprivileged(const std::filesystem::path& root);

// A tmpfs of `bytes` mounted on `folder` in a mount namespace of this process
// alone, unmounted on destruction. `mounted()` is false where the machine
// does not allow it (not root, no namespaces); `why_not()` then says why.
class PrivateTmpfs {
 public:
  PrivateTmpfs(const std::filesystem::path& folder, std::size_t bytes);
  ~PrivateTmpfs();
  PrivateTmpfs(const PrivateTmpfs&) = delete;
  PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
  std::string why_not_;
};

// Writes zero bytes into `path` until the file system says it is full.
void fill_file_system(const std::filesystem::path& path);

// A read-only stream over `bytes` whose reads deliver the bytes before offset
// `fail_at` and then fail with EIO, as a failing disk does. Seeking works
// anywhere. The stream owns a copy of `bytes`.
platform::FilePtr failing_stream(std::string bytes, std::size_t fail_at);

// An MP3 image with an ID3v2.3 tag of the artist and the title frames.
std::string tagged_image(const std::string& artist, const std::string& title);

}  // namespace kestrune::test
