#include "fault/fault_support.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::test {

constexpr uid_t kUnprivilegedId = 65534;  // "nobody"

int run_unprivileged(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
         ::setuid(kUnprivilegedId) != 0)) {
      ::_exit(120);
    }
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void hand_to_unprivileged(const std::filesystem::path& root) {
  if (::geteuid() != 0) return;
  ::lchown(root.c_str(), kUnprivilegedId, kUnprivilegedId);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    ::lchown(entry.path().c_str(), kUnprivilegedId, kUnprivilegedId);
  }
}

}  // namespace kestrune::test
