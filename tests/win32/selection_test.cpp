#include "app/win32/selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::win32 {
namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;

// The request fills a zero-filled buffer; the tests give it a short one
// with the same zero tail.
FileChoice parse(const std::string& filled) {
  const std::string buffer = filled + std::string(8, '\0');
  return parse_selection(buffer.data(), buffer.size());
}

TEST(SelectionBuffer, ReadsBothLayouts) {
  const struct {
    std::string filled;
    std::string first;
    Names names;
  } cases[] = {
      {"C:\\Music\\a song.mp3\0"s, "C:\\Music\\a song.mp3", {}},
      {"C:\\Music\0b.mp3\0a.MP3\0c d.mp3\0\0"s, "C:\\Music", {"b.mp3", "a.MP3", "c d.mp3"}},
      // A drive's root folder keeps its backslash.
      {"D:\\\0a.mp3\0b.mp3\0\0"s, "D:\\", {"a.mp3", "b.mp3"}},
  };
  for (const auto& c : cases) {
    const FileChoice choice = parse(c.filled);
    EXPECT_EQ(choice.first, c.first);
    EXPECT_EQ(choice.names, c.names) << c.first;
  }
}

TEST(SelectionBuffer, NeverReadsPastItsEnd) {
  // No zero byte at all, then a name the end cuts off.
  const std::string full = "C:\\Music\\a.mp3";
  for (std::size_t size = 1; size <= full.size(); ++size) {
    const std::vector<char> exact(full.begin(), full.begin() + static_cast<long>(size));
    EXPECT_EQ(parse_selection(exact.data(), exact.size()).first, full.substr(0, size));
  }
  const std::string cut = "C:\\Music\0a.mp3\0b.m"s;
  const std::vector<char> exact(cut.begin(), cut.end());
  const FileChoice choice = parse_selection(exact.data(), exact.size());
  EXPECT_EQ(choice.names, (Names{"a.mp3", "b.m"}));
  EXPECT_EQ(parse_selection(nullptr, 0).first, "");
}

TEST(FileRequest, FlagsAndFiltersOfBothMethods) {
  EXPECT_EQ(open_file_flags(file_request_for(0)), 0x81A04u);
  EXPECT_EQ(open_file_flags(file_request_for(1)), 0x804u);
  EXPECT_EQ(open_file_flags(file_request_for(5)), 0x804u);
  EXPECT_EQ(filter_text(file_request_for(0)),
            "MP3 Files (*.mp3)\0*.mp3\0All Files (*.*)\0*.*\0\0"s);
}

}  // namespace
}  // namespace kestrune::win32
