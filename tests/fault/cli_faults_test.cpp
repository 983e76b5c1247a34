// The same faults through the command line, which reports each file on
// standard error and fails the run: permissions, a read-only folder, a file
// that vanishes or a target that appears just before its rename, and an
// error log on a full device.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "cli/cli_run.h"
#include "fault/fault_support.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

constexpr char kTemplate[] = "%artist% - %title%";

// Standard output and error of one run, in files that a child process
// writing into them shares with the test.
struct CapturedConsole {
  platform::FilePtr out{std::tmpfile()};
  platform::FilePtr err{std::tmpfile()};

  cli::Console console() { return {out.get(), err.get(), false}; }
  static std::string text(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string bytes;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
      bytes.append(buffer, got);
    }
    return bytes;
  }
  std::string out_text() { return text(out.get()); }
  std::string err_text() { return text(err.get()); }
};

// Runs a hook of its own just before each file moves.
class BeforeRename : public cli::RunObserver {
 public:
  explicit BeforeRename(std::function<void(const cli::RenameStep&)> hook) : hook_(std::move(hook)) {}
  bool before_rename(const cli::RenameStep& step, std::string&) override {
    hook_(step);
    return true;
  }
  bool after_rename(const cli::RenameStep&, int, std::string&) override { return true; }

 private:
  std::function<void(const cli::RenameStep&)> hook_;
};

cli::Options all_files(const std::string& folder) {
  cli::Options options;
  options.all_folder = folder;
  return options;
}

TEST(CliFaults, UnreadableFileAndReadOnlyFolderAreReportedAndStay) {
  TempFolder folder;
  fs::create_directory("locked");
  test::write_bytes("locked/a.mp3", test::tagged_image("A", "One"));
  test::write_bytes("open.mp3", test::tagged_image("B", "Two"));
  ::chmod("open.mp3", 0);
  test::hand_to_unprivileged(folder.path());
  ::chmod("locked", 0555);

  CapturedConsole captured;
  cli::Console console = captured.console();
  cli::Options options;
  options.files = {"open.mp3", "locked/a.mp3"};
  const int status = test::run_unprivileged([&] {
    const int result = cli::run_renames(options, kTemplate, console, nullptr);
    std::fflush(console.out);
    std::fflush(console.err);
    return result;
  });
  EXPECT_EQ(status, cli::kExitFailed);
  const std::string err = captured.err_text();
  EXPECT_NE(err.find("open.mp3: permission denied"), std::string::npos) << err;
  EXPECT_NE(err.find("locked/a.mp3 -> locked/A - One.mp3: permission denied"), std::string::npos)
      << err;
  EXPECT_EQ(captured.out_text(), "");
  ::chmod("locked", 0755);
  EXPECT_EQ(test::read_bytes("locked/a.mp3"), test::tagged_image("A", "One"));
  ::chmod("open.mp3", 0644);
  EXPECT_EQ(test::read_bytes("open.mp3"), test::tagged_image("B", "Two"));
}

TEST(CliFaults, TargetMadeByAnotherProcessJustBeforeTheRenameIsNeverReplaced) {
  TempFolder folder;
  test::write_bytes("a.mp3", test::tagged_image("Artist", "Title"));
  test::write_bytes("b.mp3", test::tagged_image("Other", "Song"));
  BeforeRename race([](const cli::RenameStep& step) {
    if (step.source != "./a.mp3") return;
    const pid_t child = ::fork();
    if (child == 0) {
      test::write_bytes(step.target, "theirs");
      ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
  });
  CapturedConsole captured;
  cli::Console console = captured.console();
  EXPECT_EQ(cli::run_renames(all_files("."), kTemplate, console, &race), cli::kExitFailed);
  const std::string err = captured.err_text();
  EXPECT_NE(err.find("a.mp3 -> ./Artist - Title.mp3: target exists"), std::string::npos) << err;
  EXPECT_EQ(test::read_bytes("Artist - Title.mp3"), "theirs");
  EXPECT_EQ(test::read_bytes("a.mp3"), test::tagged_image("Artist", "Title"));
  EXPECT_EQ(test::read_bytes("Other - Song.mp3"), test::tagged_image("Other", "Song"));
}

TEST(CliFaults, FileRemovedJustBeforeItsRenameIsReportedMissing) {
  TempFolder folder;
  test::write_bytes("a.mp3", test::tagged_image("Artist", "Title"));
  BeforeRename vanish([](const cli::RenameStep& step) { fs::remove(step.source); });
  CapturedConsole captured;
  cli::Console console = captured.console();
  EXPECT_EQ(cli::run_renames(all_files("."), "%artist%\\%title%", console, &vanish),
            cli::kExitFailed);
  EXPECT_NE(captured.err_text().find("a.mp3 -> ./Artist/Title.mp3: file or folder missing"),
            std::string::npos)
      << captured.err_text();
  EXPECT_FALSE(fs::exists("Artist/Title.mp3"));
}

TEST(CliFaults, ErrorLogOnAFullDeviceIsReportedAndFailsTheRun) {
  TempFolder folder;
  test::write_bytes("a.mp3", test::tagged_image("Artist", "Title"));
  test::write_bytes("Artist - Title.mp3", "taken");
  cli::Options options = all_files(".");
  options.error_log = "/dev/full";
  CapturedConsole captured;
  cli::Console console = captured.console();
  EXPECT_EQ(cli::run_renames(options, kTemplate, console, nullptr), cli::kExitFailed);
  EXPECT_NE(captured.err_text().find("cannot write the error log /dev/full"), std::string::npos)
      << captured.err_text();
  EXPECT_EQ(test::read_bytes("a.mp3"), test::tagged_image("Artist", "Title"));
}

}  // namespace
}  // namespace kestrune
