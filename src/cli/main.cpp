// kestrune-cli: renames MP3 files after their ID3 tags from a shell.

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/cli_run.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  // Renames go to a pipe or a file in large writes.
  static char out_buffer[1 << 16];
  if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  kestrune::cli::Console console;
  console.progress = ::isatty(STDERR_FILENO) != 0;
  return kestrune::cli::run_main(arguments, console);
}
