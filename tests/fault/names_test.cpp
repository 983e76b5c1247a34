// Names that are not UTF-8, symbolic links among the files and a folder of
// 100,000 entries, all through the All Files walk of the batch.

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/batch.h"
#include "fault/fault_support.h"
#include "support/fake_front_end.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

constexpr char kTemplate[] = "%artist% - %title%";

std::vector<Message> run_all_files(const fs::path& folder) {
  test::FakeFrontEnd front_end(FileChoice{(folder / "any.mp3").string(), {}}, true);
  run_batch(Settings{1, kTemplate}, front_end);
  return front_end.messages;
}

TEST(InvalidUtf8, NamesAreRenamedListedAndLoggedByteForByte) {
  TempFolder folder;
  // Both files carry the Latin-1 title "Café" and so want the same name.
  const std::string image = test::tagged_image("A", "Caf\xE9");
  test::write_bytes("\x80.mp3", image);
  test::write_bytes("\xFF\xFE.mp3", image);

  const std::vector<Message> messages = run_all_files(folder.path());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, test::failure_box_text({"\xFF\xFE.mp3"}));
  EXPECT_EQ(test::read_bytes("A - Caf\xC3\xA9.mp3"), image);
  EXPECT_EQ(test::read_bytes("\xFF\xFE.mp3"), image);
  EXPECT_EQ(test::read_bytes("Error.log"),
            "The following files couldn't be renamed:\r\n\r\n\xFF\xFE.mp3");
}

TEST(SymbolicLinks, TheLinkIsRenamedAndItsTargetNeverMoves) {
  TempFolder folder;
  fs::create_directories("elsewhere/folder.mp3");
  const std::string real = test::tagged_image("Far", "Away");
  const std::string near = test::tagged_image("Near", "By");
  test::write_bytes("elsewhere/real.mp3", real);
  fs::create_directory("music");
  test::write_bytes("music/b.mp3", near);
  fs::create_symlink("../elsewhere/real.mp3", "music/link.mp3");
  fs::create_symlink("b.mp3", "music/a.mp3");  // sorted before its own target
  fs::create_symlink("nowhere.mp3", "music/dangling.mp3");
  fs::create_symlink("../elsewhere/folder.mp3", "music/dir.mp3");

  const std::vector<Message> messages = run_all_files(folder.path() / "music");
  fs::current_path(folder.path());

  // a.mp3 takes the name its target's tags give; the target then finds the
  // name taken by its own link and stays.
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, test::failure_box_text({"b.mp3"}));
  EXPECT_EQ(fs::read_symlink("music/Near - By.mp3"), "b.mp3");
  EXPECT_EQ(fs::read_symlink("music/Far - Away.mp3"), "../elsewhere/real.mp3");
  EXPECT_EQ(fs::read_symlink("music/dangling.mp3"), "nowhere.mp3");
  EXPECT_EQ(fs::read_symlink("music/dir.mp3"), "../elsewhere/folder.mp3");
  EXPECT_FALSE(fs::is_symlink("music/b.mp3"));
  EXPECT_EQ(test::read_bytes("music/b.mp3"), near);
  EXPECT_EQ(test::read_bytes("elsewhere/real.mp3"), real);
  EXPECT_TRUE(fs::is_directory("elsewhere/folder.mp3"));
}

TEST(LargeFolder, AllFilesWalksAHundredThousandEntriesAndLosesNone) {
  TempFolder folder;
  // On a tmpfs where the machine allows one: a disk file system takes far
  // longer to create the files than the walk takes to rename them.
  fs::create_directory("big");
  const test::PrivateTmpfs memory(folder.path() / "big", 256 * 1024 * 1024);
  fs::current_path("big");
  constexpr int kEntries = 100000;
  constexpr int kTaggedEvery = 250;
  // Mostly untagged files, which are skipped; every 250th is tagged; a few
  // entries are no MP3 at all.
  for (int i = 0; i < kEntries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%06d.%s", i,
                  i % 1000 == 1 ? "txt" : (i % 1000 == 2 ? "MP3" : "mp3"));
    test::write_bytes(name, i % kTaggedEvery == 0 ? test::tagged_image("Artist", std::to_string(i))
                                                  : std::string());
  }

  const std::vector<Message> messages = run_all_files(folder.path() / "big");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "Success");

  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), kEntries);
  for (int i = 0; i < kEntries; i += kTaggedEvery) {
    EXPECT_TRUE(fs::exists("Artist - " + std::to_string(i) + ".mp3")) << i;
  }
  EXPECT_TRUE(fs::exists("f000001.txt"));
  EXPECT_TRUE(fs::exists("f000003.mp3"));
}

}  // namespace
}  // namespace kestrune
