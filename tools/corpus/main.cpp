// kestrune-corpus FOLDER COUNT: writes COUNT deterministic MP3 files into
// FOLDER, creating the folder when it does not exist.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "corpus/corpus.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kestrune-corpus FOLDER COUNT\n");
    return 2;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long count = std::strtoull(argv[2], &end, 10);
  if (errno != 0 || end == argv[2] || *end != '\0' || argv[2][0] == '-') {
    std::fprintf(stderr, "kestrune-corpus: COUNT must be a number, not \"%s\"\n", argv[2]);
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(argv[1], error);
  if (error) {
    std::fprintf(stderr, "kestrune-corpus: cannot create %s: %s\n", argv[1],
                 error.message().c_str());
    return 1;
  }
  if (!kestrune::corpus::write_corpus(argv[1], static_cast<std::size_t>(count))) {
    std::fprintf(stderr, "kestrune-corpus: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
