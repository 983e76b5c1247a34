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
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

constexpr char kTemplate[] = "%artist% - %title%";

// Runs `body` in another process and waits for it.
void in_another_process(const std::function<void()>& body) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
}

TEST(ReadOnlyFolder, EveryRenameFailsAndIsListedAndEveryFileStays) {
  TempFolder folder;
  fs::create_directory("music");
  const std::string a = test::tagged_image("A", "One");
  const std::string b = test::tagged_image("B", "Two");
  test::write_bytes("music/a.mp3", a);
  test::write_bytes("music/b.mp3", b);
  test::hand_to_unprivileged(folder.path());
  ::chmod("music", 0555);

  for (const char* pattern : {kTemplate, "%artist%\\%title%"}) {
    SCOPED_TRACE(pattern);
    const int result = test::run_unprivileged([&] {
      test::ScriptedFrontEnd front_end({(folder.path() / "music" / "a.mp3").string(), {}});
      run_batch(Settings{1, pattern}, front_end);
      // The answer Yes asks for "Error.log", which the folder refuses too:
      // nothing more is shown.
      if (front_end.messages.size() != 1) return 1;
      if (front_end.messages[0].text != test::failure_box_text({"a.mp3", "b.mp3"})) return 2;
      return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(test::describe_tree("music"),
              "a.mp3 " + std::to_string(a.size()) + "\nb.mp3 " + std::to_string(b.size()) + "\n");
  }
  ::chmod("music", 0755);
  EXPECT_EQ(test::read_bytes("music/a.mp3"), a);
  EXPECT_EQ(test::read_bytes("music/b.mp3"), b);
}

TEST(RaceWithAnotherProcess, ATargetMadeJustBeforeTheRenameIsNeverReplaced) {
  TempFolder folder;
  const std::string ours = test::tagged_image("Artist", "Title");
  test::write_bytes("a.mp3", ours);
  const RenamePlan plan = plan_rename(std::string("a.mp3"), kTemplate);
  ASSERT_EQ(plan.outcome, PlanOutcome::kRename);

  in_another_process([] { test::write_bytes("Artist - Title.mp3", "theirs"); });
  EXPECT_EQ(apply_rename("a.mp3", plan.new_name), EEXIST);
  EXPECT_EQ(rename_by_tags("a.mp3", kTemplate), -1);
  EXPECT_EQ(test::read_bytes("a.mp3"), ours);
  EXPECT_EQ(test::read_bytes("Artist - Title.mp3"), "theirs");
}

TEST(RaceWithAnotherProcess, AFileMadeWhereTheNewFolderGoesFailsTheRenameOnly) {
  TempFolder folder;
  const std::string ours = test::tagged_image("Artist", "Title");
  test::write_bytes("a.mp3", ours);
  const RenamePlan plan = plan_rename(std::string("a.mp3"), "%artist%\\%title%");
  ASSERT_EQ(plan.outcome, PlanOutcome::kRename);

  in_another_process([] { test::write_bytes("Artist", "theirs"); });
  EXPECT_EQ(apply_rename("a.mp3", plan.new_name), ENOTDIR);
  EXPECT_EQ(test::read_bytes("a.mp3"), ours);
  EXPECT_EQ(test::read_bytes("Artist"), "theirs");
}

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory("disk");
    disk_ = std::make_unique<test::PrivateTmpfs>(folder_.path() / "disk", 256 * 1024);
    if (!disk_->mounted()) return;
    test::write_bytes("disk/Kestrune.ini", kOldSettings);
    test::write_bytes("disk/a.mp3", test::tagged_image("Artist", "Title"));
    test::write_bytes("disk/Artist - Title.mp3", "taken");
    test::fill_file_system("disk/filler");
  }

  static constexpr char kOldSettings[] = "[Core]\r\nMethod = 1\r\nFormat = %title%";
  TempFolder folder_;
  std::unique_ptr<test::PrivateTmpfs> disk_;
};

TEST_F(FullDisk, KestruneIniKeepsItsOldContentAndNoTemporaryFile) {
  if (!disk_->mounted()) GTEST_SKIP() << "no tmpfs of our own: " << disk_->why_not();
  const std::string before = test::describe_tree("disk");
  write_settings(Settings{0, std::string(400, 'x')}, "disk/Kestrune.ini");
  EXPECT_EQ(test::read_bytes("disk/Kestrune.ini"), kOldSettings);
  EXPECT_EQ(test::describe_tree("disk"), before);
}

TEST_F(FullDisk, ErrorLogThatCannotBeWrittenIsNotReported) {
  if (!disk_->mounted()) GTEST_SKIP() << "no tmpfs of our own: " << disk_->why_not();
  test::ScriptedFrontEnd front_end({(folder_.path() / "disk" / "a.mp3").string(), {}});
  run_batch(Settings{1, kTemplate}, front_end);
  ASSERT_EQ(front_end.messages.size(), 1u);
  EXPECT_EQ(front_end.messages[0].text, test::failure_box_text({"a.mp3"}));
  EXPECT_EQ(test::read_bytes(folder_.path() / "disk" / "a.mp3"),
            test::tagged_image("Artist", "Title"));
  EXPECT_EQ(test::read_bytes(folder_.path() / "disk" / "Artist - Title.mp3"), "taken");
}

TEST(DevFull, ErrorLogThatCannotBeWrittenIsNotReported) {
  // Where no file system of our own can be mounted: "Error.log" is a link to
  // the device that is always full.
  TempFolder folder;
  test::write_bytes("a.mp3", test::tagged_image("Artist", "Title"));
  test::write_bytes("Artist - Title.mp3", "taken");
  fs::create_symlink("/dev/full", "Error.log");
  test::ScriptedFrontEnd front_end({(folder.path() / "a.mp3").string(), {}});
  run_batch(Settings{1, kTemplate}, front_end);
  ASSERT_EQ(front_end.messages.size(), 1u);
  EXPECT_EQ(front_end.messages[0].caption, "Error");
  EXPECT_TRUE(fs::is_symlink("Error.log"));
  EXPECT_EQ(test::read_bytes("a.mp3"), test::tagged_image("Artist", "Title"));
}

}  // namespace
}  // namespace kestrune
