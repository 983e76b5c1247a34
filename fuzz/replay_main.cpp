// Feeds files to a fuzz target's entry point, outside libFuzzer: every file
// named on the command line, and every file of every folder named there
// (names starting with "." are passed over). Exits nonzero when an argument
// cannot be read; a crash of the target ends the run as it would the fuzzer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::set<fs::path> inputs;  // in name order
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (!fs::is_directory(argv[i], error)) {
      inputs.insert(argv[i]);
      continue;
    }
    for (const auto& entry : fs::directory_iterator(argv[i])) {
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
        inputs.insert(entry.path());
      }
    }
  }
  std::size_t unreadable = 0;
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      ++unreadable;
      continue;
    }
    // A copy of exactly the input's size, so that the sanitizers see any read
    // past its end.
    std::error_code error;
    std::vector<std::uint8_t> input(static_cast<std::size_t>(fs::file_size(path, error)));
    in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(input.size()));
    if (error || in.gcount() != static_cast<std::streamsize>(input.size())) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      ++unreadable;
      continue;
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  return unreadable == 0 ? 0 : 1;
}
