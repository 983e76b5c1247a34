// The Windows platform layer beyond what the core suite drives under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "platform/platform.h"
#include "rename/rename.h"
#include "support/temp_folder.h"

namespace kestrune::platform {
namespace {

// A folder is never a rename target, the file itself in any case is; only
// regular files open, never a folder or a device.
TEST(Win32Files, RenamesWithoutReplacingAFolderAndOpensOnlyRegularFiles) {
  test::TempFolder folder;
  test::write_bytes("a.mp3", "source");
  std::filesystem::create_directory("Folder.mp3");
  EXPECT_EQ(rename_no_replace("a.mp3", "Folder.mp3"), EEXIST);
  EXPECT_EQ(rename_no_replace("a.mp3", "Missing\\c.mp3"), ENOENT);
  EXPECT_EQ(rename_no_replace("a.mp3", "a.mp3"), 0);
  EXPECT_EQ(rename_no_replace("a.mp3", "A.mp3"), 0);
  EXPECT_EQ(rename_no_replace("A.mp3", "Folder.mp3\\c.mp3"), 0);
  EXPECT_EQ(test::read_bytes("Folder.mp3\\c.mp3"), "source");
  int error = -1;
  EXPECT_NE(open_regular_file("Folder.mp3\\c.mp3", &error), nullptr);
  EXPECT_EQ(open_regular_file("Folder.mp3", &error), nullptr);
  EXPECT_EQ(error, EISDIR);
  for (const char* device : {"NUL", "CON", "nul.mp3"}) {
    EXPECT_EQ(open_regular_file(device, &error), nullptr) << device;
  }
  // A file held open without sharing is there but cannot be read: a failed
  // rename, never a skip that the batch would call a success.
  HANDLE lock =
      CreateFileA("Folder.mp3\\c.mp3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  EXPECT_EQ(rename_by_tags("Folder.mp3\\c.mp3", "%title%"), -1);
  CloseHandle(lock);
}

TEST(Win32Listing, ListsAFolderWithOrWithoutBackslashOrAsTheCurrentOne) {
  test::TempFolder folder;
  std::filesystem::create_directory("Music");
  for (const char* name : {"b.MP3", "a.mp3", "d.mp3.txt", "f.mp3x"}) {
    test::write_bytes(std::string("Music\\") + name, "x");
  }
  const std::vector<std::string> expected = {"a.mp3", "b.MP3"};
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
  // Outside the code page: the default character, or a best-fit one.
  const char16_t foreign[] = {0x65E5, u'-', 0x0100};
  EXPECT_EQ(text_from_utf16(foreign, 3), "?-A");
}

}  // namespace
}  // namespace kestrune::platform
