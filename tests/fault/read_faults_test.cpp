// Files that cannot be read, are no files at all, vanish, end inside their
// tag or fail while being read: each is left as it was, and the others are
// still renamed.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#ifdef KESTRUNE_TEST_CLI
#include "cli/cli_capture.h"
#endif
#include "fault/fault_support.h"
#include "support/fake_front_end.h"
#include "platform/platform.h"
#include "rename/rename.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

constexpr char kTemplate[] = "%artist% - %title%";

TEST(UnreadableFile, IsAFailureThatTheBatchListsWhileTheOthersAreRenamed) {
  TempFolder folder;
  const std::string locked = test::tagged_image("Locked", "Song");
  test::write_bytes("a.mp3", locked);
  test::write_bytes("b.mp3", test::tagged_image("Open", "Song"));
  ::chmod("a.mp3", 0);
  test::hand_to_unprivileged(folder.path());

  // In a child without root's privileges, so that the permission binds.
  const int result = test::run_unprivileged([&] {
    const RenamePlan plan = plan_rename(std::string("a.mp3"), kTemplate);
    if (plan.outcome != PlanOutcome::kFailUnreadable || plan.error != EACCES) return 1;
    test::FakeFrontEnd front_end(FileChoice{(folder.path() / "any.mp3").string(), {}}, false);
    run_batch(Settings{1, kTemplate}, front_end);
    const bool listed = front_end.messages.size() == 1 &&
                        front_end.messages[0].text == test::failure_box_text({"a.mp3"});
    return listed ? 0 : 2;
  });
  EXPECT_EQ(result, 0);

  ::chmod("a.mp3", 0600);
  EXPECT_EQ(test::read_bytes("a.mp3"), locked);
  EXPECT_TRUE(fs::exists("Open - Song.mp3"));
}

// Entries named *.mp3 that are not regular files are passed by with what they
// are and never opened; a link to a regular file is renamed as the file is,
// and its target stays where it is.
TEST(HostileFiles, OnlyRegularFilesAreOpenedAndTheOthersAreSkippedWithWhatTheyAre) {
  TempFolder folder;
  fs::create_directory("elsewhere");
  test::write_bytes("elsewhere/real.mp3", test::tagged_image("A", "T"));
  fs::create_symlink("elsewhere/real.mp3", "link.mp3");
  fs::create_symlink("/dev/null", "dev.mp3");
  ASSERT_EQ(::mkfifo("fifo.mp3", 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "sock.mp3");
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink("nowhere.mp3", "dangling.mp3");
  fs::create_directory("folder.mp3");
  const std::vector<std::string> names = {"dev.mp3",    "fifo.mp3",   "sock.mp3",   "dangling.mp3",
                                          "folder.mp3", "missing.mp3", "link.mp3"};
  const std::string before = test::describe_tree(".");
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    EXPECT_EQ(rename_by_tags(names[i].c_str(), kTemplate), 0) << names[i];
  }
  EXPECT_EQ(test::describe_tree("."), before);
#ifdef KESTRUNE_TEST_CLI
  std::vector<std::string> arguments = {"--format", kTemplate};
  arguments.insert(arguments.end(), names.begin(), names.end());
  const test::CliResult r = test::run_cli(arguments);
  EXPECT_EQ(r.err,
            "skipped: dev.mp3: not a regular file: a device\n"
            "skipped: fifo.mp3: not a regular file: a FIFO\n"
            "skipped: sock.mp3: not a regular file: a socket\n"
            "skipped: dangling.mp3: not a regular file: a link to nothing\n"
            "skipped: folder.mp3: is a folder\n"
            "failed: missing.mp3: no such file\n"
            "1 renamed, 5 skipped, 1 failed\n");
  EXPECT_EQ(r.out, "link.mp3 -> A - T.mp3\n");
#else
  EXPECT_EQ(rename_by_tags("link.mp3", kTemplate), 0);
#endif
  ::close(sock);
  EXPECT_EQ(fs::read_symlink("A - T.mp3"), "elsewhere/real.mp3");
  EXPECT_EQ(test::read_bytes("elsewhere/real.mp3"), test::tagged_image("A", "T"));
}

TEST(VanishingFile, RemovedAfterTheListingOrItsPlanIsSkippedWithoutMakingATarget) {
  TempFolder folder;
  test::write_bytes("a.mp3", test::tagged_image("Artist", "Title"));
  const std::string kept = test::tagged_image("B", "Kept");
  test::write_bytes("b.mp3", kept);
  // The All Files walk lists first, then renames each listed name.
  ASSERT_EQ(platform::list_mp3_files(""), (std::vector<std::string>{"a.mp3", "b.mp3"}));
  const RenamePlan plan = plan_rename(std::string("a.mp3"), "%artist%\\%title%");
  ASSERT_EQ(plan.outcome, PlanOutcome::kRename);
  fs::remove("a.mp3");
  EXPECT_EQ(apply_rename("a.mp3", plan.new_name), ENOENT);
  EXPECT_EQ(rename_by_tags("a.mp3", kTemplate), 0);
  EXPECT_EQ(rename_by_tags("b.mp3", kTemplate), 0);
  // The folder the name asked for may stay; no file appears in it.
  EXPECT_EQ(test::describe_tree("."),
            "Artist/\nB - Kept.mp3 " + std::to_string(kept.size()) + "\n");
}

TEST(TruncatedFile, CutInsideItsTagIsNamedFromTheWholeFramesOnlyAndKeepsItsBytes) {
  TempFolder folder;
  const std::string artist = test::frame("TPE1", test::latin1_body("Artist"));
  const std::string title = test::frame("TIT2", test::latin1_body("Title"));
  const std::string image = test::id3v2_tag({artist, title}, 32) + std::string(300, '\x55');
  const std::size_t artist_end = 10 + artist.size();
  const std::size_t title_end = artist_end + title.size();

  for (std::size_t length = 1; length < title_end + 8; ++length) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    const std::string cut = image.substr(0, length);
    test::write_bytes("cut.mp3", cut);
    EXPECT_EQ(rename_by_tags("cut.mp3", kTemplate), 0);

    // Below four bytes the version is unknown and the file has no tag.
    std::string expected = "cut.mp3";
    if (length >= title_end) {
      expected = "Artist - Title.mp3";
    } else if (length >= artist_end) {
      expected = "Artist - .mp3";
    } else if (length >= 4) {
      expected = " - .mp3";
    }
    EXPECT_EQ(test::read_bytes(expected), cut);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
    fs::remove(expected);
  }
}

TEST(FailingReads, NeverNameAFileFromWhatWasReadBeforeTheError) {
  const std::string image = test::tagged_image("Artist", "Title") +
                            test::id3v1_trailer({.title = "V1 Title", .artist = "V1 Artist"});
  for (std::size_t fail_at = 0; fail_at <= image.size(); ++fail_at) {
    SCOPED_TRACE("reads fail from byte " + std::to_string(fail_at));
    const platform::FilePtr stream = test::failing_stream(image, fail_at);
    ASSERT_TRUE(stream);
    const RenamePlan plan = plan_rename(stream.get(), kTemplate);
    if (fail_at == image.size()) {
      EXPECT_EQ(plan.outcome, PlanOutcome::kRename);
      EXPECT_EQ(plan.new_name, "Artist - Title.mp3");
    } else {
      // The trailer is read first, from the end, so every failure is met.
      EXPECT_EQ(plan.outcome, PlanOutcome::kFailUnreadable);
      EXPECT_EQ(plan.error, EIO);
      EXPECT_TRUE(plan.new_name.empty());
    }
  }
}

}  // namespace
}  // namespace kestrune
