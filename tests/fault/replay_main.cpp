// Feeds files to a fuzz target's entry point, outside libFuzzer: every file
// named on the command line, and every file of every folder named there
// (names starting with "." are passed over). Exits nonzero when an argument
// cannot be read; a crash of the target ends the run as it would the fuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  // A copy of exactly the input's size, so that the sanitizers see any read
  // past its end.
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  std::printf("replayed %s (%zu bytes)\n", path.c_str(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool ok = true;
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument(argv[i]);
    std::error_code error;
    if (!std::filesystem::is_directory(argument, error)) {
      ok = replay(argument) && ok;
      ++count;
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argument)) {
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      ok = replay(file) && ok;
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return ok ? 0 : 1;
}
