// Folders that turn read-only, targets that another process makes first and
// a full disk: no file is lost or replaced, and failures go where the batch
// reports them.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/batch.h"
#include "app/settings.h"
#include "fault/fault_support.h"
#include "rename/rename.h"
#include "support/fake_front_end.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

constexpr char kTemplate[] = "%artist% - %title%";

TEST(ReadOnlyFolder, EveryRenameFailsAndIsListedAndEveryFileStays) {
  TempFolder folder;
  fs::create_directory("music");
  const std::string a = test::tagged_image("A", "One");
  const std::string b = test::tagged_image("B", "Two");
  write_bytes("music/a.mp3", a);
  write_bytes("music/b.mp3", b);
  test::hand_to_unprivileged(folder.path());
  ::chmod("music", 0555);

  for (const char* pattern : {kTemplate, "%artist%\\%title%"}) {
    SCOPED_TRACE(pattern);
    const int result = test::run_unprivileged([&] {
      test::FakeFrontEnd front_end(FileChoice{(folder.path() / "music" / "a.mp3").string(), {}},
                                   true);
      run_batch(Settings{1, pattern}, front_end);
      // The answer Yes asks for "Error.log", which the folder refuses too:
      // nothing more is shown.
      return front_end.messages.size() == 1 &&
                     front_end.messages[0].text == test::failure_box_text({"a.mp3", "b.mp3"})
                 ? 0
                 : 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(test::describe_tree("music"),
              "a.mp3 " + std::to_string(a.size()) + "\nb.mp3 " + std::to_string(b.size()) + "\n");
  }
  ::chmod("music", 0755);
  EXPECT_EQ(read_bytes("music/a.mp3"), a);
  EXPECT_EQ(read_bytes("music/b.mp3"), b);
}

TEST(RaceWithAnotherProcess, WhatItMakesJustBeforeTheRenameIsNeverReplaced) {
  const struct {
    const char* pattern;
    const char* theirs;  // the name the other process takes
    int error;
  } cases[] = {
      {kTemplate, "Artist - Title.mp3", EEXIST},
      {"%artist%\\%title%", "Artist", ENOTDIR},  // a file where the new folder goes
  };
  for (const auto& c : cases) {
    TempFolder folder;
    const std::string ours = test::tagged_image("Artist", "Title");
    write_bytes("a.mp3", ours);
    const RenamePlan plan = plan_rename(std::string("a.mp3"), c.pattern);
    ASSERT_EQ(plan.outcome, PlanOutcome::kRename);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      write_bytes(c.theirs, "theirs");
      ::_exit(0);
    }
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_EQ(apply_rename("a.mp3", plan.new_name), c.error) << c.pattern;
    EXPECT_EQ(rename_by_tags("a.mp3", c.pattern), -1) << c.pattern;
    EXPECT_EQ(read_bytes("a.mp3"), ours) << c.pattern;
    EXPECT_EQ(read_bytes(c.theirs), "theirs") << c.pattern;
  }
}

TEST(FullDisk, KestruneIniKeepsItsOldContentAndNoTemporaryFile) {
  TempFolder folder;
  fs::create_directory("disk");
  const test::PrivateTmpfs disk(folder.path() / "disk", 256 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs of our own: " << disk.why_not();
  const std::string old_settings = "[Core]\r\nMethod = 1\r\nFormat = %title%";
  write_bytes("disk/Kestrune.ini", old_settings);
  test::fill_file_system("disk/filler");
  const std::string before = test::describe_tree("disk");
  write_settings(Settings{0, std::string(400, 'x')}, "disk/Kestrune.ini");
  EXPECT_EQ(read_bytes("disk/Kestrune.ini"), old_settings);
  EXPECT_EQ(test::describe_tree("disk"), before);
}

TEST(FullDisk, ErrorLogThatCannotBeWrittenIsNotReported) {
  // "Error.log" is a link to the device that is always full.
  TempFolder folder;
  write_bytes("a.mp3", test::tagged_image("Artist", "Title"));
  write_bytes("Artist - Title.mp3", "taken");
  fs::create_symlink("/dev/full", "Error.log");
  test::FakeFrontEnd front_end(FileChoice{(folder.path() / "a.mp3").string(), {}}, true);
  run_batch(Settings{1, kTemplate}, front_end);
  ASSERT_EQ(front_end.messages.size(), 1u);
  EXPECT_EQ(front_end.messages[0].text, test::failure_box_text({"a.mp3"}));
  EXPECT_TRUE(fs::is_symlink("Error.log"));
  EXPECT_EQ(read_bytes("a.mp3"), test::tagged_image("Artist", "Title"));
  EXPECT_EQ(read_bytes("Artist - Title.mp3"), "taken");
}

}  // namespace
}  // namespace kestrune
