// kestrune-cli: renames MP3 files after their ID3 tags from a shell.

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/cli_run.h"

namespace {

bool is_terminal(int descriptor) {
#ifdef _WIN32
  return ::_isatty(descriptor) != 0;
#else
  return ::isatty(descriptor) != 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  // Renames go to a pipe or a file in large writes.
  static char out_buffer[1 << 16];
  if (!is_terminal(1)) std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  kestrune::cli::Console console;
  console.progress = is_terminal(2);
  return kestrune::cli::run_main(arguments, console);
}
