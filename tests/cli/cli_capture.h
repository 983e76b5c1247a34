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
  platform::FilePtr out_file{std::tmpfile()}, err_file{std::tmpfile()};
  cli::Console console{out_file.get(), err_file.get(), false};
  static std::string written(std::FILE* file) {
    std::fseek(file, 0, SEEK_END);  // past what waits in the buffer
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return text;
  }
  std::string out() { return written(out_file.get()); }
  std::string err() { return written(err_file.get()); }
};

struct CliResult {
  int status = -1;
  std::string out, err;
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
