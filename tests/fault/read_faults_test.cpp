// Files that cannot be read, are no files at all or fail while being read, and
// names that tag text turns against the folder: each is left as it was.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "cli/cli_capture.h"
#include "fault/fault_support.h"
#include "rename/rename.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr char kTemplate[] = "%artist% - %title%";

// Entries named *.mp3 that are not regular files are passed by with what they
// are and never opened; a file that cannot be read fails; a link to a regular
// file is renamed as the file is, and its target stays where it is. The
// command line says which is which; the core decides it the same way.
TEST(HostileFiles, OnlyRegularFilesAreOpenedAndTheOthersAreSkippedWithWhatTheyAre) {
  TempFolder folder;
  fs::create_directory("elsewhere");
  write_bytes("elsewhere/real.mp3", tagged_image("A", "T"));
  fs::create_symlink("elsewhere/real.mp3", "link.mp3");
  fs::create_symlink("/dev/null", "dev.mp3");
  ASSERT_EQ(::mkfifo("fifo.mp3", 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{AF_UNIX, "sock.mp3"};
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink("nowhere.mp3", "dangling.mp3");
  fs::create_directory("folder.mp3");
  write_bytes("locked.mp3", tagged_image("L", "T"));
  ::chmod("locked.mp3", 0);
  hand_to_unprivileged(folder.path());
  cli::Options options;
  options.files = {"dev.mp3",    "fifo.mp3",    "sock.mp3",   "dangling.mp3",
                   "folder.mp3", "missing.mp3", "locked.mp3", "link.mp3"};
  const std::string before = describe_tree(".");
  Captured captured;
  // In a child without root's privileges, so that the permission binds.
  EXPECT_EQ(run_unprivileged([&] {
    return cli::run_renames(options, kTemplate, captured.console, nullptr) + std::fflush(nullptr);
  }), cli::kExitFailed);
  ::close(sock);
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
  EXPECT_EQ(fs::read_symlink("A - T.mp3"), "elsewhere/real.mp3");
  fs::rename("A - T.mp3", "link.mp3");
  EXPECT_EQ(describe_tree("."), before);  // the link's target included
}

// A stream over `bytes` whose reads deliver those before `fail_at` and then
// fail with EIO, as a failing disk does. Seeking works anywhere.
struct FailingDisk {
  std::string bytes;
  std::size_t fail_at;
  off64_t at = 0;

  static ssize_t read(void* self, char* buffer, std::size_t size) {
    auto& disk = *static_cast<FailingDisk*>(self);
    const auto at = static_cast<std::size_t>(disk.at);
    if (at >= disk.bytes.size()) return 0;
    if (at >= disk.fail_at) return errno = EIO, -1;
    const std::size_t count = disk.bytes.copy(buffer, std::min(size, disk.fail_at - at), at);
    disk.at += static_cast<off64_t>(count);
    return static_cast<ssize_t>(count);
  }
  static int seek(void* self, off64_t* offset, int whence) {
    auto& disk = *static_cast<FailingDisk*>(self);
    *offset += whence == SEEK_SET ? 0 : whence == SEEK_CUR ? disk.at : off64_t(disk.bytes.size());
    if (*offset < 0) return errno = EINVAL, -1;
    disk.at = *offset;
    return 0;
  }
};

TEST(FailingReads, NeverNameAFileFromWhatWasReadBeforeTheError) {
  const std::string image = tagged_image("Artist", "Title") +
                            id3v1_trailer({.title = "V1 Title", .artist = "V1 Artist"});
  for (std::size_t fail_at = 0; fail_at <= image.size(); ++fail_at) {
    SCOPED_TRACE("reads fail from byte " + std::to_string(fail_at));
    FailingDisk disk{image, fail_at};
    const platform::FilePtr stream(
        ::fopencookie(&disk, "rb", {FailingDisk::read, nullptr, FailingDisk::seek, nullptr}));
    ASSERT_TRUE(stream);
    EXPECT_EQ(plan_rename(stream.get(), "").outcome, PlanOutcome::kSkipNoArgument);
    const RenamePlan plan = plan_rename(stream.get(), kTemplate);
    // The trailer is read first, from the end, so every failure is met.
    const bool whole = fail_at == image.size();
    EXPECT_EQ(plan.outcome, whole ? PlanOutcome::kRename : PlanOutcome::kFailUnreadable);
    EXPECT_EQ(plan.error, whole ? 0 : EIO);
    EXPECT_EQ(plan.new_name, whole ? "Artist - Title.mp3" : "");
  }
}

// Names that tag text, or empty fields, would turn against the folder or the
// file system: the core and the command line with the dialog's rules refuse
// each before anything is made, and the dry run says so as the real run does.
TEST(HostileNames, AreRefusedBeforeAnythingIsMadeAndTheDryRunSaysSo) {
  TempFolder folder;
  // Empty fields before the template's backslashes would root the name; this
  // title would then lead back into this folder.
  std::string rooted = folder.path().relative_path().string() + "/escaped";
  std::replace(rooted.begin(), rooted.end(), '/', '\\');
  const struct { const char* pattern; std::string artist, title; const char* reason; } cases[] = {
      {"%artist%\\%album%\\%title%", "", rooted, "tag text would leave the folder"},
      {"%title%", "", "made\\..\\..\\escaped", "tag text would leave the folder"},
      {"%title%.\\x", "", "made\\.", "tag text would leave the folder"},  // half a ".."
      {"%artist%%title%", "\\made", "rooted", "tag text would leave the folder"},
      {"%artist% - %title%", "AC/DC", "T", "the name holds a '/'"},
      {"%title%", "", "del\x7F", "the new name would hold a control character"},
      {"%title%", "", "csi\xC2\x9B", "the new name would hold a control character"},
      {"made\\%title%\t", "", "tab", "the new name would hold a control character"},
      {"%title%", "", std::string(252, 'f'), "a name part is longer than 255 bytes"},
      {"%title%\\x", "", std::string(256, 'd'), "a name part is longer than 255 bytes"},
  };
  fs::create_directory("AC");  // "AC/DC" must not move the file into it
  for (const auto& c : cases) {
    SCOPED_TRACE(c.artist + c.title);
    write_bytes("a.mp3", tagged_image(c.artist, c.title));
    const std::string before = describe_tree(".");
    EXPECT_EQ(rename_by_tags("a.mp3", c.pattern), -1);
    const std::string line = "refused: a.mp3: " + std::string(c.reason) + "\n";
    if (c.pattern == std::string_view("%artist%\\%album%\\%title%")) {
      // By default the command line drops the folder parts that come out
      // empty and makes no folder of tag text: the name stays here.
      std::string kept = rooted;
      std::replace(kept.begin(), kept.end(), '\\', '_');
      EXPECT_EQ(run_cli({"-n", "--format", c.pattern, "a.mp3"}).out,
                "a.mp3 -> " + kept + ".mp3\n");
    }
    for (const char* dry_run : {"-n", "-q"}) {
      const CliResult r = run_cli({dry_run, "--dialog-rules", "--format", c.pattern, "a.mp3"});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.substr(0, line.size()), line);
    }
    EXPECT_EQ(describe_tree("."), before);
  }
}

}  // namespace
}  // namespace kestrune
