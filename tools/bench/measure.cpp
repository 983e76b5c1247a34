// kestrune-bench-measure COMMAND [ARGUMENTS...]: runs the command with its
// standard output thrown away (its error output goes where this program's
// goes, so that a failure can be shown) and prints
// "SECONDS CPU_SECONDS PEAK_KIB STATUS": the wall-clock time, the processor
// time (user and system) of the command and anything it started, their peak
// resident memory and the exit status.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kestrune-bench-measure COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "kestrune-bench-measure: cannot run %s\n", argv[1]);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) != child) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The peak of the command itself; tools that run helpers (a shell, a
  // script interpreter) count their largest process.
  struct rusage children {};
  ::getrusage(RUSAGE_CHILDREN, &children);
  const long peak = usage.ru_maxrss > children.ru_maxrss ? usage.ru_maxrss : children.ru_maxrss;
  const double cpu = static_cast<double>(children.ru_utime.tv_sec + children.ru_stime.tv_sec) +
                     static_cast<double>(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e6;
  std::printf("%.3f %.3f %ld %d\n", seconds, cpu, peak,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
