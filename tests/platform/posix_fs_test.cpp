// The POSIX file-system layer; the Windows one has its own suite.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/temp_folder.h"

namespace {

// The fallbacks for file systems without RENAME_NOREPLACE (NFS, FUSE) or
// without hard links (vfat, exFAT) cannot be provoked on the disks the tests
// run on. These two definitions stand in for the C library's: they pass every
// call through, and refuse as such a file system would when asked to.
enum class Refuse { kNothing, kNoReplaceFlag, kNoReplaceFlagAndLinks };
Refuse g_refuse = Refuse::kNothing;
int g_link_calls = 0;

}  // namespace

extern "C" int renameat2(int old_dir, const char* old_path, int new_dir, const char* new_path,
                         unsigned int flags) noexcept {
  if (g_refuse != Refuse::kNothing && (flags & RENAME_NOREPLACE) != 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_renameat2, old_dir, old_path, new_dir, new_path, flags));
}

extern "C" int link(const char* from, const char* to) noexcept {
  ++g_link_calls;
  if (g_refuse == Refuse::kNoReplaceFlagAndLinks) {
    errno = EPERM;
    return -1;
  }
  return ::linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

namespace kestrune::platform {
namespace {

namespace fs = std::filesystem;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

class RenameNoReplace : public ::testing::TestWithParam<Refuse> {
 protected:
  void SetUp() override { g_refuse = GetParam(); }
  void TearDown() override { g_refuse = Refuse::kNothing; }
};

TEST_P(RenameNoReplace, MovesAFileButNeverReplacesAnotherNorFailsOnItself) {
  TempFolder folder;
  write_bytes("a.mp3", "audio-a");
  write_bytes("b.mp3", "audio-b");
  g_link_calls = 0;
  EXPECT_EQ(rename_no_replace("a.mp3", "moved.mp3"), 0);
  EXPECT_EQ(read_bytes("moved.mp3"), "audio-a");
  EXPECT_FALSE(fs::exists("a.mp3"));
  // Only the fallback links; nothing is left behind under the old name.
  EXPECT_EQ(g_link_calls > 0, GetParam() != Refuse::kNothing);

  EXPECT_EQ(rename_no_replace("b.mp3", "moved.mp3"), EEXIST);
  EXPECT_EQ(read_bytes("moved.mp3"), "audio-a");
  EXPECT_EQ(read_bytes("b.mp3"), "audio-b");

  // A link that points nowhere is still a name that must not be replaced.
  ASSERT_EQ(::symlink("nowhere", "dangling.mp3"), 0);
  EXPECT_EQ(rename_no_replace("b.mp3", "dangling.mp3"), EEXIST);
  EXPECT_TRUE(fs::is_symlink("dangling.mp3"));
  EXPECT_EQ(read_bytes("b.mp3"), "audio-b");

  EXPECT_EQ(rename_no_replace("missing.mp3", "other.mp3"), ENOENT);

  // The same file is no other file, under any of its names: nothing can be lost.
  EXPECT_EQ(rename_no_replace("b.mp3", "b.mp3"), 0);
  EXPECT_EQ(rename_no_replace("b.mp3", "./b.mp3"), 0);
  ASSERT_EQ(::linkat(AT_FDCWD, "b.mp3", AT_FDCWD, "c.mp3", 0), 0);
  EXPECT_EQ(rename_no_replace("b.mp3", "c.mp3"), 0);
  EXPECT_EQ(read_bytes("c.mp3"), "audio-b");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, RenameNoReplace,
                         ::testing::Values(Refuse::kNothing, Refuse::kNoReplaceFlag,
                                           Refuse::kNoReplaceFlagAndLinks));

// Only links and entries the listing cannot tell are looked at before they
// are opened; an entry no longer what the listing said is not read either.
TEST(FileReader, OpensOnlyRegularFilesAndReadsByOffset) {
  TempFolder folder;
  write_bytes("a.mp3", "0123456789");
  ASSERT_EQ(::mkfifo("fifo.mp3", 0600), 0);
  fs::create_symlink("/dev/null", "link.mp3");
  std::string kinds;
  for (const ListedFile& file : list_mp3_entries("")) kinds += std::to_string(int(file.kind));
  EXPECT_EQ(kinds, "058");  // regular, FIFO, unknown
  FileReader file;
  EntryKind kind{};
  EXPECT_EQ(file.open("fifo.mp3", &kind, EntryKind::kRegular), EINVAL);  // swapped meanwhile
  EXPECT_EQ(file.open("link.mp3", &kind), EINVAL);
  EXPECT_EQ(kind, EntryKind::kDevice);
  ASSERT_EQ(file.open("a.mp3", &kind, EntryKind::kRegular), 0);
  char bytes[8] = {};
  EXPECT_EQ(std::string(bytes, file.read_at(6, bytes, sizeof bytes)) + std::to_string(file.size()),
            "678910");
}

}  // namespace
}  // namespace kestrune::platform

#endif  // _WIN32
