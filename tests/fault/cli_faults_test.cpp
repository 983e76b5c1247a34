// The same faults through the command line, which reports each file on
// standard error and fails the run: a read-only folder, and a file that
// vanishes or a target that appears just before its rename.

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cli_capture.h"
#include "fault/fault_support.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace test;

TEST(CliFaults, ReadOnlyFolderIsReportedAndItsFileStays) {
  TempFolder folder;
  fs::create_directory("locked");
  write_bytes("locked/a.mp3", tagged_image("A", "One"));
  hand_to_unprivileged(folder.path());
  ::chmod("locked", 0555);

  Captured captured;
  cli::Options options;
  options.files = {"locked/a.mp3"};
  EXPECT_EQ(run_unprivileged([&] {
    return cli::run_renames(options, "%artist%\\%title%", captured.console, nullptr) +
           std::fflush(nullptr);
  }), cli::kExitFailed);
  // The folder of the new name cannot be made: its own error is reported.
  EXPECT_TRUE(contains(captured.err(), "locked/a.mp3 -> locked/A/One.mp3: permission denied"));
  EXPECT_EQ(captured.out(), "");

  // A folder that cannot be listed is said to be so, once, before any file.
  ::chmod("locked", 0333);
  Captured listing;
  options.files.clear();
  options.all_folder = "locked";
  EXPECT_EQ(run_unprivileged([&] {
    return cli::run_renames(options, "%title%", listing.console, nullptr) + std::fflush(nullptr);
  }), cli::kExitFailed);
  EXPECT_EQ(listing.err(), "kestrune-cli: cannot read the folder locked: permission denied\n");
  ::chmod("locked", 0755);
  EXPECT_EQ(read_bytes("locked/a.mp3"), tagged_image("A", "One"));
}

// Something changes the folder just before a.mp3 moves; the run reports it,
// fails, and neither a.mp3 nor what took its target's name is lost. Only a
// file about to move is announced: not b.mp3 once its folders cannot be made.
TEST(CliFaults, ChangesJustBeforeTheRenameAreReportedAndLoseNothing) {
  enum Change { kTakeTarget, kRemoveSource, kBlockFolder };
  const struct { const char* format; Change change; const char *line, *b_target; } cases[] = {
      {"%artist% - %title%", kTakeTarget, "a.mp3 -> ./Artist - Title.mp3: target exists",
       "Other - Song.mp3"},
      {"%artist%\\%title%", kRemoveSource, "a.mp3 -> ./Artist/Title.mp3: file or folder missing",
       "Other/Song.mp3"},
      {"%artist%\\%album%\\%title%", kBlockFolder,
       "b.mp3 -> ./Other/Live/Song.mp3: a folder of the new name is a file", "b.mp3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TempFolder folder;
    write_bytes("a.mp3", tagged_image("Artist", "Title", "Album"));
    write_bytes("b.mp3", tagged_image("Other", "Song", "Live"));
    Captured captured;
    cli::Options options;
    options.all_folder = ".";
    std::vector<std::string> announced;
    const auto hook = [&](const runs::PlannedFile& file) {
      announced.push_back(file.source);
      if (file.source != "./a.mp3") return;
      if (c.change == kRemoveSource) fs::remove(file.source);
      if (c.change == kTakeTarget) write_bytes(file.target, "theirs");
      if (c.change == kBlockFolder) write_bytes("Other", "a file");
    };
    EXPECT_EQ(cli::run_renames(options, c.format, captured.console, nullptr, hook), 1);
    EXPECT_TRUE(contains(captured.err(), c.line)) << captured.err();
    if (c.change == kTakeTarget) {
      EXPECT_EQ(read_bytes("a.mp3"), tagged_image("Artist", "Title", "Album"));
      EXPECT_EQ(read_bytes("Artist - Title.mp3"), "theirs");
    } else if (c.change == kRemoveSource) {
      EXPECT_FALSE(fs::exists("Artist"));  // the folder made for it went again
    }
    // The rest goes on.
    EXPECT_EQ(read_bytes(c.b_target), tagged_image("Other", "Song", "Live"));
    const std::vector<std::string> expected =
        c.change == kBlockFolder ? std::vector<std::string>{"./a.mp3"}
                                 : std::vector<std::string>{"./a.mp3", "./b.mp3"};
    EXPECT_EQ(announced, expected);
  }
}

// Where the file system has neither a no-replace rename nor hard links, a
// file saved under the new name at the same moment could be replaced: the
// command line renames there only when told to accept that risk.
TEST(CliFaults, RenamesWithoutASafeNoReplaceRenameOnlyWhenTheRiskIsAccepted) {
  TempFolder folder;
  fs::create_directory("backing");
  fs::create_directory("mnt");
  const fs::path script = KESTRUNE_NOLINK_FS;
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no FUSE here: /dev/fuse is missing";
  if (std::system((script.string() + " backing mnt 2>mount.log").c_str()) != 0) {
    GTEST_SKIP() << "mounting a FUSE file system is not permitted: " << read_bytes("mount.log");
  }
  const std::unique_ptr<const char, void (*)(const char*)> unmount("mnt", [](const char* mount) {
    if (::umount2(mount, MNT_DETACH) != 0) std::system("fusermount -uz mnt");
  });
  write_bytes("mnt/a.mp3", tagged_image("A", "One"));
  const std::vector<std::string> rename = {"--no-journal", "--format", "%artist% - %title%",
                                           "mnt/a.mp3"};
  const CliResult refused = run_cli(rename);
  EXPECT_EQ(refused.status, cli::kExitFailed);
  EXPECT_TRUE(contains(refused.err,
                       "mnt/a.mp3 -> mnt/A - One.mp3: this file system cannot rename without risk "
                       "of replacing a file saved at the same moment; --allow-racy-rename "
                       "accepts the risk\n")) << refused.err;
  EXPECT_EQ(describe_tree("backing"), "a.mp3 " + std::to_string(tagged_image("A", "One").size()) +
                                          "\n");
  // The reservation is recorded before it is made, for an undo after a kill.
  std::vector<std::string> accepted = rename;
  accepted[0] = "--allow-racy-rename";
  accepted.insert(accepted.begin(), {"--journal", "run.journal"});
  EXPECT_EQ(run_cli(accepted).status, cli::kExitOk);
  EXPECT_EQ(read_bytes("backing/A - One.mp3"), tagged_image("A", "One"));
  EXPECT_TRUE(contains(read_bytes("run.journal"), "\nsecond 1\ndone 1\n"));
}

}  // namespace
}  // namespace kestrune
