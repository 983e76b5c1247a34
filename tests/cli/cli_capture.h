#pragma once

// The command line run in-process with its standard output and error
// captured in temporary files.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_run.h"
#include "platform/platform.h"

namespace kestrune::test {

struct Captured {
  platform::FilePtr out_file{std::tmpfile()};
  platform::FilePtr err_file{std::tmpfile()};
  cli::Console console{out_file.get(), err_file.get(), false};
  static std::string written(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    return text;
  }
  std::string out() { return written(out_file.get()); }
  std::string err() { return written(err_file.get()); }
};

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline CliResult run_cli(const std::vector<std::string>& arguments) {
  Captured captured;
  const int status = cli::run_main(arguments, captured.console);
  return {status, captured.out(), captured.err()};
}

inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace kestrune::test
