#include "cli/cli_run.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <csignal>
#include <filesystem>

#include "cli/cli_capture.h"
#include "cli/report.h"
#include "support/dialog_names.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr auto run = run_cli;

// Each file's new name resolves in its own folder; names are printed so
// that they cannot forge a line or drive the terminal.
TEST(CommandLine, PrintsEachFileWithTheTemplatesFoldersAndEscapedNames) {
  TempFolder temp;
  fs::create_directory("music");
  write_bytes("music/a.MP3", tagged_image("Artist", "Title"));
  write_bytes("line\rbreak.mp3", tagged_image("New\\Name", "t"));
  write_bytes("evil\n0 renamed\x1b[2J.mp3", "no tag");
  const CliResult r = run({"--format", "%artist%\\%title%", "music/a.MP3", "line\rbreak.mp3",
                           "evil\n0 renamed\x1b[2J.mp3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "music/a.MP3 -> music/Artist/Title.mp3\nline\\rbreak.mp3 -> New_Name/t.mp3\n");
  EXPECT_EQ(r.err,
            "skipped: evil\\n0 renamed\\x1B[2J.mp3: no ID3 tag\n2 renamed, 1 skipped, 0 failed\n");
  EXPECT_EQ(cli::escaped("tab\there\\ \xC2\x9B ok \xC3\xA9 \x7F"),
            "tab\\there\\\\ \\xC2\\x9B ok \xC3\xA9 \\x7F");
}

// The dialog's own renames, through the command line with the dialog's rules: the same
// names, planned alike by the dry run; by default tag text makes no folder.
TEST(CommandLine, DialogRulesGiveTheDialogsNames) {
  TempFolder temp;
  for (const DialogName& c : dialog_names(temp.path().string())) {
    SCOPED_TRACE(c.pattern + " " + c.title);
    write_bytes("source.mp3", titled(c.title));
    const CliResult planned = run({"-n", "--dialog-rules", "--format", c.pattern, "source.mp3"});
    const CliResult r = run({"--dialog-rules", "--format", c.pattern, "source.mp3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(planned.out, r.out);
    EXPECT_EQ(read_bytes(c.expected), titled(c.title));
    EXPECT_FALSE(fs::exists("source.mp3"));
  }
  write_bytes("source.mp3", titled("Album\\Title"));
  EXPECT_EQ(run({"--format", "Artist\\%title%", "source.mp3"}).out,
            "source.mp3 -> Artist/Album_Title.mp3\n");
}

TEST(CommandLine, DryRunTouchesNothingAndFlagsWhatTheRunWouldMeet) {
  TempFolder temp;
  write_bytes("a.mp3", tagged_image("A", "One"));
  write_bytes("b.mp3", tagged_image("A", "One"));  // the same name as a.mp3
  write_bytes("c.mp3", tagged_image("A", "Two"));
  write_bytes("A - Two.mp3", "taken");       // c.mp3's target exists
  write_bytes("d.mp3", tagged_image("e", ""));     // d.mp3 -> "e - .mp3"
  write_bytes("e - .mp3", tagged_image("A", "Three"));  // d.mp3's target, moved away first
  const std::string before = describe_tree(".");

  const CliResult r = run({"-n", "--format", "%artist% - %title%", "a.mp3", "b.mp3", "c.mp3",
                           "e - .mp3", "d.mp3"});
  EXPECT_EQ(describe_tree("."), before);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "a.mp3 -> A - One.mp3\ne - .mp3 -> A - Three.mp3\nd.mp3 -> e - .mp3\n");
  EXPECT_TRUE(contains(r.err, "would fail: b.mp3 -> A - One.mp3: another file is planned onto "
                              "the same name\n"));
  EXPECT_TRUE(contains(r.err, "would fail: c.mp3 -> A - Two.mp3: target exists\n"));
  EXPECT_TRUE(contains(r.err, "dry run: 3 to rename, 0 skipped, 2 would fail\n"));
}

TEST(CommandLine, EachSkipRefusalAndFailureIsNamedInPlainWords) {
  // The ID3v2 versions not read by default are named by the real taggers' files.
  const struct { const char* name; std::string bytes; const char *format, *line; } cases[] = {
      {"plain.mp3", "no tag at all", "%title%", "skipped: plain.mp3: no ID3 tag\n"},
      {"song.flac", tagged_image("Bj\u00F6rk", "J\u00F3ga"), "%artist% - %title%",
       "skipped: song.flac: not an .mp3 file name\n"},
      {"long.mp3", tagged_image("a", std::string(1100, 't')), "%title%",
       "refused: long.mp3: name too long\n"},
      {"file.mp3", tagged_image("blocker", "x"), "%artist%\\%title%",
       "failed: file.mp3 -> blocker/x.mp3: a folder of the new name is a file\n"},
  };
  TempFolder temp;
  write_bytes("blocker", "a file");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(c.name, c.bytes);
    const CliResult r = run({"--format", c.format, c.name});
    EXPECT_EQ(r.status, c.line[0] == 's' ? 0 : 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, c.line)) << r.err;
    EXPECT_EQ(read_bytes(c.name), c.bytes);  // the source survives byte for byte
  }

  // The error log lists the failures as the dialog's Error.log does; a run
  // without failures, or a dry run, writes none.
  fs::create_directory("folder.mp3");
  write_bytes("c\nd.mp3", tagged_image("..", "y"));
  const CliResult missing = run({"--error-log", "fail.log", "--format", "%artist%\\%title%",
                                 "nothere.mp3", "folder.mp3", "c\nd.mp3"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "failed: nothere.mp3: no such file\nskipped: folder.mp3: is a folder\n"
            "refused: c\\nd.mp3: tag text would leave the folder\n"
            "0 renamed, 1 skipped, 2 failed\n");
  EXPECT_EQ(read_bytes("fail.log"),
            "The following files couldn't be renamed:\r\n\r\nnothere.mp3\r\nc\\nd.mp3");
  run({"-n", "--error-log", "dry.log", "nothere.mp3"});
  run({"--error-log", "clean.log", "folder.mp3"});
  EXPECT_FALSE(fs::exists("dry.log") || fs::exists("clean.log"));

  // The log is written as the dialog's Error.log is, never through a link, and
  // it replaces only an empty file or an earlier list; otherwise it says why
  // and the run fails, with every file where it was.
  fs::create_directory("sub");
  write_bytes("victim.txt", "victim");
  fs::create_symlink("../victim.txt", "sub/Error.log");
  write_bytes("keep.mp3", tagged_image("Keep", "Me"));
  write_bytes("empty.log", "");
  write_bytes("old.log", "The following files couldn't be renamed:\r\n\r\nold.mp3");
  const struct { const char* log; const char* reason; } logs[] = {
      {"sub/Error.log", "it is a link, and the list is never written through one"},
      {"keep.mp3", "it is neither empty nor an earlier error list"},
      {"folder.mp3", "not a regular file"},
      {"/dev/full", "not a regular file"},
      {"no/such/folder.log", "file or folder missing"},
      {"empty.log", nullptr},
      {"old.log", nullptr},
  };
  for (const auto& l : logs) {
    SCOPED_TRACE(l.log);
    const std::string before = describe_tree(".");
    const CliResult r = run({"-q", "--error-log", l.log, "nothere.mp3"});
    EXPECT_EQ(r.status, 1);
    if (l.reason != nullptr) {
      EXPECT_EQ(r.err, "failed: nothere.mp3: no such file\ncannot write the error log " +
                           std::string(l.log) + ": " + l.reason + "\n");
      EXPECT_EQ(describe_tree("."), before);
    } else {
      EXPECT_EQ(read_bytes(l.log), "The following files couldn't be renamed:\r\n\r\nnothere.mp3");
    }
  }
  EXPECT_EQ(read_bytes("victim.txt"), "victim");
  EXPECT_EQ(read_bytes("keep.mp3"), tagged_image("Keep", "Me"));
}

// The template's problems are warned once each, before the first file, unless
// quiet; the names of fields are matched in any letter case.
TEST(CommandLine, TheTemplateOfKestruneIniOrTheDefaultOrTheOptionIsWarnedOnce) {
  TempFolder temp;
  write_bytes("a.mp3", tagged_image("Artist", "Title"));
  write_bytes("Kestrune.ini", "[Core]\r\nMethod = 0\r\nFormat = %title% by %artist%\r\n");
  EXPECT_EQ(run({"a.mp3"}).out, "a.mp3 -> Title by Artist.mp3\n");
  fs::remove("Kestrune.ini");
  EXPECT_EQ(run({"Title by Artist.mp3"}).out, "Title by Artist.mp3 -> Artist - Title.mp3\n");

  write_bytes("b.mp3", tagged_image("B", "Two"));
  const CliResult r = run({"-n", "--format", "%Titel% %titel%%Titel%%%%TITLE% 50% off",
                           "Artist - Title.mp3", "b.mp3"});
  EXPECT_EQ(r.out, "Artist - Title.mp3 ->  Title 50% off.mp3\nb.mp3 ->  Two 50% off.mp3\n");
  EXPECT_EQ(r.err, "kestrune-cli: warning: unknown field %Titel%\n"
                   "kestrune-cli: warning: unknown field %titel%\n"
                   "kestrune-cli: warning: unknown field %%\n"
                   "kestrune-cli: warning: lone % kept as written: \"% off\"\n"
                   "dry run: 2 to rename, 0 skipped, 0 would fail\n");
  const CliResult quiet = run({"-q", "--format", "%Titel%%title%", "b.mp3"});
  EXPECT_EQ(quiet.out + quiet.err, "");
}

TEST(CommandLine, UsageErrorsNameTheProblemAndTouchNothing) {
  TempFolder temp;
  write_bytes("a.mp3", tagged_image("A", "B"));
  write_bytes("Kestrune.ini", "[Core]\nFormat = \n");
  fs::create_directory("dir");
  const std::string one_undo = "give only one of --undo, --undo-last and --list-runs";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no files given"},
      {{"--bogus", "a.mp3"}, "unknown option \"--bogus\""},
      {{"-x", "a.mp3"}, "unknown option \"-x\""},
      {{"a.mp3", "--format"}, "--format needs a TEMPLATE"},
      {{"--format=", "a.mp3"}, "the template given to --format is empty"},
      {{"--quiet=yes", "a.mp3"}, "--quiet takes no value"},
      {{"--jobs=0", "a.mp3"}, "--jobs needs a number from 1 to 64, not \"0\""},
      {{"--jobs", "4x", "a.mp3"}, "--jobs needs a number from 1 to 64, not \"4x\""},
      {{"--all", "dir", "a.mp3"}, "give either files or --all DIR, not both"},
      {{"--all", "dir", "--all", "dir"}, "--all is given twice"},
      {{"a.mp3"}, "the template in Kestrune.ini is empty; give one with --format"},
      {{"--format", "%title%", "--all", "nowhere"}, "--all needs a folder: nowhere does not exist"},
      {{"--format", "%title%", "--all", "a.mp3"}, "--all needs a folder: a.mp3 is not one"},
      {{"--track-digits", "0", "a.mp3"}, "--track-digits needs a number from 1 to 10, not \"0\""},
      {{"--track-digits=11", "a.mp3"}, "--track-digits needs a number from 1 to 10, not \"11\""},
      {{"--on-collision", "replace", "a.mp3"},
       "--on-collision takes fail or suffix, not \"replace\""},
      {{"--list-runs", "--undo", "j"}, one_undo},
      {{"--undo", "j", "--undo-last"}, one_undo}, {{"--undo-last", "--list-runs"}, one_undo},
      {{"--undo-last", "--no-journal"}, "--journal and --no-journal are for renames"},
      {{"--format", "%artist%$upr(x)", "a.mp3"}, "template: column 9: $upr is not a function"},
      {{"--format", "$if(%album%,x", "a.mp3"}, "template: column 1: $if( is not closed by a ')'"},
  };
  const std::string before = describe_tree(".");
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(message);
    const CliResult r = run(arguments);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kestrune-cli: " + message + "\nTry \"kestrune-cli --help\".\n");
  }
  EXPECT_EQ(describe_tree("."), before);

  // "--" ends the options: a file may be called "--help.mp3".
  write_bytes("--help.mp3", tagged_image("Dash", "Help"));
  EXPECT_EQ(run({"--format", "%artist% - %title%", "--", "--help.mp3"}).out,
            "--help.mp3 -> Dash - Help.mp3\n");
}

// The command line's template language: fields beyond the dialog's, calls,
// and folder parts that come out empty dropped, the same in the dry run as
// in the run.
TEST(CommandLine, TemplateFunctionsNameTheSameFilesInTheDryRunAndTheRun) {
  TempFolder temp;
  write_bytes("the.mp3", id3v2_tag({frame("TPE1", latin1_body("The Beatles")),
                                    frame("TIT2", latin1_body("let it be")),
                                    frame("TRCK", latin1_body("6/12"))}) +
                             "audio");
  write_bytes("x.MP3", id3v2_tag({frame("TPE2", latin1_body("Various")),
                                  frame("TPE1", latin1_body("Abba")),
                                  frame("TIT2", latin1_body("sos"))}) +
                           "audio");
  const std::vector<std::string> arguments = {
      "--format",
      "%albumartist%\\$initial($swapprefix(%artist%))\\$num(%track%,2) $title(%title%) "
      "[%FILENAME%]",
      "the.mp3", "x.MP3"};
  const std::string planned =
      "the.mp3 -> B/06 Let It Be [the].mp3\nx.MP3 -> Various/A/00 Sos [x].mp3\n";
  const std::string before = describe_tree(".");
  std::vector<std::string> dry_run = arguments;
  dry_run.insert(dry_run.begin(), "-n");
  const CliResult dry = run(dry_run);
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, planned);
  EXPECT_EQ(describe_tree("."), before);
  const CliResult real = run(arguments);
  EXPECT_EQ(real.status, 0) << real.err;
  EXPECT_EQ(real.out, planned);
  EXPECT_TRUE(fs::is_regular_file("B/06 Let It Be [the].mp3"));
  EXPECT_TRUE(fs::is_regular_file("Various/A/00 Sos [x].mp3"));
}

#ifndef _WIN32
// The settings file gives every run its options; the command line overrides them,
// --no-config leaves the file unread, and a bad line names the file and the line.
TEST(CommandLine, TheSettingsFileGivesOptionsThatTheCommandLineOverrides) {
  TempFolder temp;
  const std::string config = temp.path().string() + "-config/kestrune";
  fs::create_directories(config);
  const std::string path = config + "/kestrune-cli.conf";
  write_bytes(path, "# every run\n\n  portable\r\ntrack-digits=2\n"
                    "format = %artist%/%album%/%track% %title% \n");
  write_bytes("a.mp3", tagged_image("AC/DC", "Con"));  // track 0, no album
  EXPECT_EQ(run({"-n", "a.mp3"}).out, "a.mp3 -> AC_DC/Con_.mp3\n");
  EXPECT_EQ(run({"-n", "--format", "%title%", "--track-digits", "3", "a.mp3"}).out,
            "a.mp3 -> Con_.mp3\n");
  EXPECT_EQ(run({"-n", "--no-config", "a.mp3"}).out, "a.mp3 -> AC_DC - Con.mp3\n");
  const std::pair<std::string, std::string> bad[] = {
      {"portable\n# fine\nportble\n", ":3: unknown option \"portble\""},
      {"portable = yes\n", ":1: --portable takes no value"},
      {"format\n", ":1: --format needs a TEMPLATE"},
      {"\ntrack-digits = 0\n", ":2: --track-digits needs a number from 1 to 10, not \"0\""},
      {"all = music\n", ":1: --all belongs on the command line"},
  };
  for (const auto& [text, message] : bad) {
    write_bytes(path, text);
    const CliResult r = run({"a.mp3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kestrune-cli: " + path + message + "\nTry \"kestrune-cli --help\".\n");
    EXPECT_EQ(run({"--no-config", "-n", "a.mp3"}).status, 0);
    EXPECT_EQ(run({"--help"}).status, 0);
  }
  EXPECT_TRUE(fs::exists("a.mp3"));
}

// The installed program: exit statuses as a shell sees them.
int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The journal can no longer be written when 2.mp3's folder, gone since the
// plan, is to be recorded: the run stops there, and the files after it, in
// this group of the journal and the next, stay.
TEST(CommandLine, AJournalFailingMidRunStopsTheRenamesThere) {
  TempFolder temp;
  fs::create_directory("X");
  cli::Options options;
  options.dialog_rules = true;  // the tag's backslash makes the folder X
  for (std::size_t i = 1; i <= runs::kJournalGroup + 1; ++i) {
    options.files.push_back(std::to_string(i) + ".mp3");
    write_bytes(options.files.back(), tagged_image(i == 2 ? "X\\" : "", "T" + std::to_string(i)));
  }
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto fill_disk = [&](const runs::PlannedFile& file) {
    if (file.source != "1.mp3") return;
    fs::remove("X");
    const rlimit full{fs::file_size("j"), saved.rlim_max};  // past the captured output
    ::setrlimit(RLIMIT_FSIZE, &full);
  };
  runs::JournalWriter journal = runs::JournalWriter::at_path("j", runs::now_utc(), "");
  Captured c;
  const int status = cli::run_renames(options, "%artist%%title%", c.console, &journal, fill_disk);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(c.out(), "1.mp3 -> T1.mp3\n");
  EXPECT_EQ(c.err(), "stopped before 2.mp3: cannot write the journal j: file too large\n"
                     "1 renamed, 0 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists("2.mp3") && fs::exists("257.mp3") && !fs::exists("X"));
}

// The runs folder cannot be made: the run names it and the system's reason,
// and renames nothing.
TEST(CommandLine, ARunsFolderThatCannotBeMadeIsNamedWithTheReason) {
  TempFolder temp;
  write_bytes("a.mp3", tagged_image("A", "B"));
  write_bytes("state", "a file");
  ::setenv("XDG_STATE_HOME", (temp.path() / "state").c_str(), 1);
  const CliResult r = run({"a.mp3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "stopped before a.mp3: cannot make the runs folder " +
                       (temp.path() / "state/kestrune/runs").string() +
                       ": a folder on its path is a file; give --journal FILE or --no-journal\n"
                       "0 renamed, 0 skipped, 0 failed\n");
  EXPECT_TRUE(fs::exists("a.mp3"));
}

TEST(CommandLineProgram, ExitStatusesReachTheShell) {
  TempFolder temp;
  const std::string cli = KESTRUNE_CLI_PATH;
  write_bytes("a.mp3", tagged_image("A", "B"));
  EXPECT_EQ(shell(cli + " --version >version 2>&1"), 0);
  EXPECT_EQ(read_bytes("version").rfind("kestrune-cli ", 0), 0u);
  EXPECT_EQ(shell(cli + " --nope 2>/dev/null"), 2);
  EXPECT_EQ(shell(cli + " a.mp3 >out 2>err"), 0);
  EXPECT_EQ(read_bytes("out"), "a.mp3 -> A - B.mp3\n");
}
#endif

}  // namespace
}  // namespace kestrune
