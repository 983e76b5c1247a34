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
FileChoice parse(const std::string& filled, std::size_t zeros = 8) {
  const std::string buffer = filled + std::string(zeros, '\0');
  return parse_selection(buffer.data(), buffer.size());
}

TEST(SelectionBuffer, OnePickedFileIsItsFullPath) {
  const FileChoice choice = parse("C:\\Music\\a song.mp3\0"s);
  EXPECT_EQ(choice.first, "C:\\Music\\a song.mp3");
  EXPECT_EQ(choice.names, Names{});
}

TEST(SelectionBuffer, SeveralPickedFilesAreAFolderAndBareNames) {
  const FileChoice choice = parse("C:\\Music\0b.mp3\0a.MP3\0c d.mp3\0\0"s);
  EXPECT_EQ(choice.first, "C:\\Music");
  EXPECT_EQ(choice.names, (Names{"b.mp3", "a.MP3", "c d.mp3"}));
}

TEST(SelectionBuffer, RootFolderKeepsItsBackslash) {
  const FileChoice choice = parse("D:\\\0a.mp3\0b.mp3\0\0"s);
  EXPECT_EQ(choice.first, "D:\\");
  EXPECT_EQ(choice.names, (Names{"a.mp3", "b.mp3"}));
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
