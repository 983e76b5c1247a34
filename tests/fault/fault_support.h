#pragma once

// Helpers for provoking faults for real: a child process without root's
// privileges, and a file for it to meet.

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace kestrune::test {

constexpr uid_t kUnprivilegedId = 65534;  // "nobody"

// Runs `body` in a child process and answers its result, or -1 when the child
// did not end normally. As root the child first becomes the unprivileged
// user, so that file and folder permissions bind it; what it touches must
// then belong to that user (see `hand_to_unprivileged`).
inline int run_unprivileged(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
                             ::setuid(kUnprivilegedId) != 0)) {
      ::_exit(120);
    }
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Makes `root` and everything below it belong to that user, when running as root.
inline void hand_to_unprivileged(const std::filesystem::path& root) {
  if (::geteuid() != 0) return;
  ::lchown(root.c_str(), kUnprivilegedId, kUnprivilegedId);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    ::lchown(entry.path().c_str(), kUnprivilegedId, kUnprivilegedId);
  }
}

}  // namespace kestrune::test
