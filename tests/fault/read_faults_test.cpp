// Files that cannot be read, are no files at all or fail while being read:
// each is left as it was, and the others are still renamed.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "cli/cli_capture.h"
#include "fault/fault_support.h"
#include "platform/platform.h"
#include "rename/rename.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::tagged_image;
using test::TempFolder;

constexpr char kTemplate[] = "%artist% - %title%";

// Entries named *.mp3 that are not regular files are passed by with what they
// are and never opened; a file that cannot be read fails; a link to a regular
// file is renamed as the file is, and its target stays where it is.
TEST(HostileFiles, OnlyRegularFilesAreOpenedAndTheOthersAreSkippedWithWhatTheyAre) {
  TempFolder folder;
  fs::create_directory("elsewhere");
  test::write_bytes("elsewhere/real.mp3", tagged_image("A", "T"));
  fs::create_symlink("elsewhere/real.mp3", "link.mp3");
  fs::create_symlink("/dev/null", "dev.mp3");
  ASSERT_EQ(::mkfifo("fifo.mp3", 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{AF_UNIX, "sock.mp3"};
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink("nowhere.mp3", "dangling.mp3");
  fs::create_directory("folder.mp3");
  test::write_bytes("locked.mp3", tagged_image("L", "T"));
  ::chmod("locked.mp3", 0);
  test::hand_to_unprivileged(folder.path());
  const std::vector<std::string> names = {"dev.mp3",     "fifo.mp3",   "sock.mp3",
                                          "dangling.mp3", "folder.mp3", "missing.mp3",
                                          "locked.mp3",   "link.mp3"};
  const std::string before = test::describe_tree(".");
  test::Captured captured;
  // In a child without root's privileges, so that the permission binds.
  const int wrong = test::run_unprivileged([&] {
    int count = 0;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
      count += rename_by_tags(names[i].c_str(), kTemplate) != (names[i] == "locked.mp3" ? -1 : 0);
    }
    if (test::describe_tree(".") != before) return 100;
    cli::Options options;
    options.files = names;
    cli::run_renames(options, kTemplate, captured.console, nullptr);
    std::fflush(captured.console.out);
    std::fflush(captured.console.err);
    return count;
  });
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(captured.err(),
            "skipped: dev.mp3: not a regular file: a device\n"
            "skipped: fifo.mp3: not a regular file: a FIFO\n"
            "skipped: sock.mp3: not a regular file: a socket\n"
            "skipped: dangling.mp3: not a regular file: a link to nothing\n"
            "skipped: folder.mp3: is a folder\n"
            "failed: missing.mp3: no such file\n"
            "failed: locked.mp3: permission denied\n"
            "1 renamed, 5 skipped, 2 failed\n");
  EXPECT_EQ(captured.out(), "link.mp3 -> A - T.mp3\n");
  ::close(sock);
  EXPECT_EQ(fs::read_symlink("A - T.mp3"), "elsewhere/real.mp3");
  EXPECT_EQ(test::read_bytes("elsewhere/real.mp3"), tagged_image("A", "T"));
}

TEST(FailingReads, NeverNameAFileFromWhatWasReadBeforeTheError) {
  const std::string image = tagged_image("Artist", "Title") +
                            test::id3v1_trailer({.title = "V1 Title", .artist = "V1 Artist"});
  for (std::size_t fail_at = 0; fail_at <= image.size(); ++fail_at) {
    SCOPED_TRACE("reads fail from byte " + std::to_string(fail_at));
    const platform::FilePtr stream = test::failing_stream(image, fail_at);
    ASSERT_TRUE(stream);
    const RenamePlan plan = plan_rename(stream.get(), kTemplate);
    // The trailer is read first, from the end, so every failure is met.
    const bool whole = fail_at == image.size();
    EXPECT_EQ(plan.outcome, whole ? PlanOutcome::kRename : PlanOutcome::kFailUnreadable);
    EXPECT_EQ(plan.error, whole ? 0 : EIO);
    EXPECT_EQ(plan.new_name, whole ? "Artist - Title.mp3" : "");
  }
}

}  // namespace
}  // namespace kestrune
