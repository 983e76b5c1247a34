#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_folder.h"

namespace kestrune::platform {
namespace {

using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

TEST(Win32Rename, NeverReplacesAnotherFileOrFolder) {
  TempFolder folder;
  write_bytes("a.mp3", "source");
  write_bytes("b.mp3", "target");
  std::filesystem::create_directory("Folder");
  EXPECT_EQ(rename_no_replace("a.mp3", "b.mp3"), EEXIST);
  EXPECT_EQ(rename_no_replace("a.mp3", "Folder"), EEXIST);
  EXPECT_EQ(rename_no_replace("a.mp3", "Missing\\c.mp3"), ENOENT);
  EXPECT_EQ(read_bytes("a.mp3"), "source");
  EXPECT_EQ(read_bytes("b.mp3"), "target");

  EXPECT_EQ(rename_no_replace("a.mp3", "Folder\\c.mp3"), 0);
  EXPECT_EQ(read_bytes("Folder\\c.mp3"), "source");
  EXPECT_FALSE(std::filesystem::exists("a.mp3"));

  // The file itself, under its own name or in another case, is no other file.
  EXPECT_EQ(rename_no_replace("b.mp3", "b.mp3"), 0);
  EXPECT_EQ(rename_no_replace("b.mp3", "B.mp3"), 0);
  EXPECT_EQ(read_bytes("B.mp3"), "target");
}

TEST(Win32Listing, ListsEveryMp3EndingInAnyCaseSortedAndNothingElse) {
  TempFolder folder;
  std::filesystem::create_directory("Music");
  for (const char* name : {"b.MP3", "a.mp3", "c.Mp3", "d.mp3.txt", "e.txt", "mp3", "f.mp3x"}) {
    write_bytes(std::string("Music\\") + name, "x");
  }
  const std::vector<std::string> expected = {"a.mp3", "b.MP3", "c.Mp3"};
  EXPECT_EQ(list_mp3_files("Music\\"), expected);
  EXPECT_EQ(list_mp3_files("Music"), expected);
  ASSERT_TRUE(change_directory("Music"));
  EXPECT_EQ(list_mp3_files(""), expected);
  EXPECT_TRUE(list_mp3_files("..\\Missing\\").empty());
}

TEST(Win32Text, Utf16GoesThroughTheAnsiCodePageWithItsOwnSubstitutes) {
  if (GetACP() != 1252) GTEST_SKIP() << "expectations are for code page 1252, not " << GetACP();
  const char16_t units[] = {u'C', u'a', u'f', 0x00E9, u' ', 0x20AC, 0, u'x'};
  EXPECT_EQ(text_from_utf16(units, 8), "Caf\xE9 \x80");  // ends at the zero unit
  EXPECT_EQ(text_from_utf16(units, 2), "Ca");            // never past the count
  EXPECT_EQ(text_from_utf16(units, 0), "");
  // Outside the code page: the conversion's default character, or its
  // best-fit character where it has one.
  const char16_t foreign[] = {0x65E5, u'-', 0x0100};
  EXPECT_EQ(text_from_utf16(foreign, 3), "?-A");
}

TEST(Win32Open, OnlyRegularFilesOpen) {
  TempFolder folder;
  write_bytes("a.mp3", "bytes");
  std::filesystem::create_directory("folder.mp3");
  int error = -1;
  EXPECT_NE(open_regular_file("a.mp3", &error), nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(open_regular_file("folder.mp3", &error), nullptr);
  EXPECT_EQ(error, EISDIR);
  EXPECT_EQ(open_regular_file("missing.mp3", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  for (const char* device : {"NUL", "CON", "nul.mp3"}) {
    EXPECT_EQ(open_regular_file(device, &error), nullptr) << device;
  }
}

}  // namespace
}  // namespace kestrune::platform
