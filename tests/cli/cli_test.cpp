#include "cli/cli_run.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_capture.h"
#include "cli/report.h"
#include "corpus/corpus.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::describe_tree;
using test::frame;
using test::id3v2_tag;
using test::latin1_body;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

// An MP3 image with an ID3v2.3 tag naming `artist` and `title`.
std::string tagged(std::string_view artist, std::string_view title) {
  return id3v2_tag({frame("TPE1", latin1_body(artist)), frame("TIT2", latin1_body(title))}, 16) +
         std::string("\xFF\xFB\x90\x64", 4) + std::string(413, '\0');
}

using Result = test::CliResult;
using test::contains;
constexpr auto run = test::run_cli;

TEST(CommandLine, RenamesIntoEachFilesOwnFolderWithTheTemplatesFolders) {
  TempFolder temp;
  fs::create_directory("music");
  write_bytes("music/a.mp3", tagged("Artist", "Title"));
  write_bytes("b.mp3", tagged("Other", "Song"));

  const Result r = run({"--format", "%artist%\\%title%", "music/a.mp3", "b.mp3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "music/a.mp3 -> music/Artist/Title.mp3\nb.mp3 -> Other/Song.mp3\n");
  EXPECT_EQ(r.err, "2 renamed, 0 skipped, 0 failed\n");
  EXPECT_EQ(read_bytes("music/Artist/Title.mp3"), tagged("Artist", "Title"));
  EXPECT_TRUE(fs::exists("Other/Song.mp3"));
  EXPECT_FALSE(fs::exists("music/a.mp3"));
}

TEST(CommandLine, AllRenamesEveryMp3OfTheFolderAndNothingElse) {
  TempFolder temp;
  fs::create_directory("in");
  ASSERT_TRUE(corpus::write_corpus("in", 8));
  write_bytes("in/notes.txt", tagged("X", "Y"));

  const Result r = run({"-q", "--all", "in"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  for (std::size_t i = 0; i < 8; ++i) {
    const fs::path target =
        fs::path("in") / (corpus::artist_of(i) + " - " + corpus::title_of(i) + ".mp3");
    EXPECT_EQ(read_bytes(target), corpus::make_mp3(i)) << target;
  }
  EXPECT_TRUE(fs::exists("in/notes.txt"));
}

TEST(CommandLine, DryRunTouchesNothingAndFlagsWhatTheRunWouldMeet) {
  TempFolder temp;
  write_bytes("a.mp3", tagged("A", "One"));
  write_bytes("b.mp3", tagged("A", "One"));  // the same name as a.mp3
  write_bytes("c.mp3", tagged("A", "Two"));
  write_bytes("A - Two.mp3", "taken");       // c.mp3's target exists
  write_bytes("d.mp3", tagged("e", ""));     // d.mp3 -> "e - .mp3"
  write_bytes("e - .mp3", tagged("A", "Three"));  // d.mp3's target, moved away first
  const std::string before = describe_tree(".");

  const Result r = run({"-n", "--format", "%artist% - %title%", "a.mp3", "b.mp3", "c.mp3",
                        "e - .mp3", "d.mp3"});
  EXPECT_EQ(describe_tree("."), before);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "a.mp3 -> A - One.mp3\ne - .mp3 -> A - Three.mp3\nd.mp3 -> e - .mp3\n");
  EXPECT_TRUE(contains(r.err, "would fail: b.mp3 -> A - One.mp3: another file is planned onto "
                              "the same name\n"));
  EXPECT_TRUE(contains(r.err, "would fail: c.mp3 -> A - Two.mp3: target exists\n"));
  EXPECT_TRUE(contains(r.err, "dry run: 3 to rename, 0 skipped, 2 would fail\n"));

  // The real run meets exactly what the dry run announced.
  const Result real = run({"--format", "%artist% - %title%", "a.mp3", "b.mp3", "c.mp3",
                           "e - .mp3", "d.mp3"});
  EXPECT_EQ(real.out, r.out);
  EXPECT_EQ(real.status, 1);
  EXPECT_EQ(read_bytes("b.mp3"), tagged("A", "One"));
  EXPECT_EQ(read_bytes("A - Two.mp3"), "taken");
}

TEST(CommandLine, EachSkipRefusalAndFailureIsNamedInPlainWords) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* format;
    const char* line;
    int status;
  };
  const std::string long_title(1100, 't');
  const std::vector<Case> cases = {
      {"plain.mp3", "no tag at all", "%title%", "skipped: plain.mp3: no ID3 tag\n", 0},
      {"up.mp3", tagged("..", "x"), "%artist%\\%title%",
       "refused: up.mp3: tag text would leave the folder\n", 1},
      {"ctl.mp3", tagged("a\x01", "x"), "%artist%", "refused: ctl.mp3: the new name would hold a "
                                                    "control character\n", 1},
      {"long.mp3", tagged("a", long_title), "%title%", "refused: long.mp3: name too long\n", 1},
      {"exists.mp3", tagged("taken", "x"), "%artist%",
       "failed: exists.mp3 -> taken.mp3: target exists\n", 1},
      {"file.mp3", tagged("blocker", "x"), "%artist%\\%title%",
       "failed: file.mp3 -> blocker/x.mp3: a folder of the new name is a file\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder temp;
    write_bytes(c.name, c.bytes);
    write_bytes("taken.mp3", "old");
    write_bytes("blocker", "a file");
    const Result r = run({"--format", c.format, c.name});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, c.line)) << r.err;
    EXPECT_EQ(read_bytes(c.name), c.bytes);  // the source survives byte for byte
    EXPECT_EQ(read_bytes("taken.mp3"), "old");
  }

  TempFolder temp;
  fs::create_directory("folder.mp3");
  const Result missing = run({"nothere.mp3", "folder.mp3"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "failed: nothere.mp3: no such file\nskipped: folder.mp3: is a folder\n"
            "0 renamed, 1 skipped, 1 failed\n");
}

TEST(CommandLine, ErrorLogListsTheFailuresLikeTheDialogsErrorLog) {
  TempFolder temp;
  write_bytes("a.mp3", tagged("..", "x"));
  write_bytes("b.mp3", tagged("ok", "x"));
  write_bytes("c\nd.mp3", tagged("..", "y"));
  const Result r = run({"--format", "%artist%\\%title%", "--error-log", "fail.log", "a.mp3",
                        "b.mp3", "c\nd.mp3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_bytes("fail.log"),
            "The following files couldn't be renamed:\r\n\r\na.mp3\r\nc\\nd.mp3");

  // Nothing failed, or only planned: no log.
  run({"--error-log", "clean.log", "ok/x.mp3"});
  EXPECT_FALSE(fs::exists("clean.log"));
  run({"-n", "--error-log", "dry.log", "a.mp3"});
  EXPECT_FALSE(fs::exists("dry.log"));
}

TEST(CommandLine, ControlCharactersInNamesCannotForgeLines) {
  TempFolder temp;
  write_bytes("evil\n0 renamed, 0 skipped, 0 failed\x1b[2J.mp3", "no tag");
  write_bytes("line\rbreak.mp3", tagged("New\\Name", "t"));
  const Result r = run({"--format", "%artist%", "evil\n0 renamed, 0 skipped, 0 failed\x1b[2J.mp3",
                        "line\rbreak.mp3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "skipped: evil\\n0 renamed, 0 skipped, 0 failed\\x1B[2J.mp3: no ID3 tag\n"
            "1 renamed, 1 skipped, 0 failed\n");
  EXPECT_EQ(r.out, "line\\rbreak.mp3 -> New/Name.mp3\n");
  EXPECT_EQ(cli::escaped("tab\there\\ \xC2\x9B ok \xC3\xA9 \x7F"),
            "tab\\there\\\\ \\xC2\\x9B ok \xC3\xA9 \\x7F");
}

TEST(CommandLine, KestruneIniInTheCurrentFolderGivesTheTemplate) {
  TempFolder temp;
  write_bytes("a.mp3", tagged("Artist", "Title"));
  write_bytes("b.mp3", tagged("Artist", "Other"));
  write_bytes("Kestrune.ini", "[Core]\r\nMethod = 0\r\nFormat = %title% by %artist%\r\n");
  EXPECT_EQ(run({"a.mp3"}).out, "a.mp3 -> Title by Artist.mp3\n");
  EXPECT_EQ(run({"--format=%title%", "b.mp3"}).out, "b.mp3 -> Other.mp3\n");

  write_bytes("Kestrune.ini", "[Core]\nFormat = \n");
  const Result empty = run({"Title by Artist.mp3"});
  EXPECT_EQ(empty.status, 2);
  EXPECT_TRUE(contains(empty.err, "the template in Kestrune.ini is empty")) << empty.err;

  fs::remove("Kestrune.ini");
  EXPECT_EQ(run({"Title by Artist.mp3"}).out, "Title by Artist.mp3 -> Artist - Title.mp3\n");
}

TEST(CommandLine, UsageErrorsNameTheProblemAndTouchNothing) {
  TempFolder temp;
  write_bytes("a.mp3", tagged("A", "B"));
  fs::create_directory("dir");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no files given"},
      {{"--bogus", "a.mp3"}, "unknown option \"--bogus\""},
      {{"-x", "a.mp3"}, "unknown option \"-x\""},
      {{"a.mp3", "--format"}, "--format needs a TEMPLATE"},
      {{"--format=", "a.mp3"}, "the template given to --format is empty"},
      {{"--quiet=yes", "a.mp3"}, "--quiet takes no value"},
      {{"--all", "dir", "a.mp3"}, "give either files or --all DIR, not both"},
      {{"--all", "dir", "--all", "dir"}, "--all is given twice"},
      {{"--all", "nowhere"}, "--all needs a folder: nowhere does not exist"},
      {{"--all", "a.mp3"}, "--all needs a folder: a.mp3 is not one"},
      {{"--track-digits", "0", "a.mp3"}, "--track-digits needs a number from 1 to 10, not \"0\""},
      {{"--track-digits=11", "a.mp3"}, "--track-digits needs a number from 1 to 10, not \"11\""},
      {{"--on-collision", "replace", "a.mp3"}, "--on-collision takes fail or suffix, not \"replace\""},
  };
  const std::string before = describe_tree(".");
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(message);
    const Result r = run(arguments);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kestrune-cli: " + message + "\nTry \"kestrune-cli --help\".\n");
  }
  EXPECT_EQ(describe_tree("."), before);

  // "--" ends the options: a file may be called "--help".
  write_bytes("--help", tagged("Dash", "Help"));
  EXPECT_EQ(run({"--", "--help"}).out, "--help -> Dash - Help.mp3\n");
}

// Files planned in a group move only after the group's commit; a stop after
// a rename leaves the rest of the group where it was and removes the empty
// folders made for it, but never a file that took such a folder's place.
TEST(CommandLine, AStopInAGroupRemovesOnlyEmptyFoldersOfTheFilesLeft) {
  struct StopAfterFirst : cli::RunObserver {
    std::vector<std::string> seen;
    std::size_t group_size() const override { return 3; }
    bool before_rename(const cli::RenameStep& step, std::string&) override {
      seen.push_back("before " + step.source);
      return true;
    }
    bool commit(std::string&) override {
      seen.push_back("commit");
      return true;
    }
    bool after_rename(const cli::RenameStep& step, int, std::string& message) override {
      seen.push_back("after " + step.source);
      fs::remove("C");
      write_bytes("C", "a file where the empty folder of c.mp3 was");
      message = "killed";
      return false;
    }
  };
  TempFolder temp;
  write_bytes("a.mp3", tagged("A", "x"));
  write_bytes("b.mp3", tagged("B", "y"));
  write_bytes("c.mp3", tagged("C", "z"));
  cli::Options options;
  options.files = {"a.mp3", "b.mp3", "c.mp3"};
  test::Captured output;
  StopAfterFirst observer;
  cli::RunCounts counts;
  EXPECT_EQ(cli::run_renames(options, "%artist%\\%title%", output.console, &observer, &counts), 1);
  EXPECT_TRUE(contains(output.err(), "stopped after a.mp3: killed\n"));
  EXPECT_EQ(output.out(), "a.mp3 -> A/x.mp3\n");
  EXPECT_EQ(observer.seen, (std::vector<std::string>{"before a.mp3", "before b.mp3",
                                                      "before c.mp3", "commit", "after a.mp3"}));
  EXPECT_EQ(counts.renamed, 1u);
  EXPECT_TRUE(fs::exists("b.mp3"));
  EXPECT_FALSE(fs::exists("B"));
  EXPECT_EQ(read_bytes("C"), "a file where the empty folder of c.mp3 was");
}

#ifndef _WIN32
// The installed program: exit statuses as a shell sees them.
int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CommandLineProgram, ExitStatusesReachTheShell) {
  TempFolder temp;
  const std::string cli = KESTRUNE_CLI_PATH;
  write_bytes("a.mp3", tagged("A", "B"));
  EXPECT_EQ(shell(cli + " --version >version 2>&1"), 0);
  EXPECT_EQ(read_bytes("version").rfind("kestrune-cli ", 0), 0u);
  EXPECT_EQ(shell(cli + " --nope 2>/dev/null"), 2);
  EXPECT_EQ(shell(cli + " a.mp3 >out 2>err"), 0);
  EXPECT_EQ(read_bytes("out"), "a.mp3 -> A - B.mp3\n");
  EXPECT_EQ(shell(cli + " missing.mp3 2>/dev/null"), 1);
}
#endif

}  // namespace
}  // namespace kestrune
