#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "cli/cli_capture.h"
#ifndef _WIN32
#include "fault/fault_support.h"
#endif
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace test;

// kestrune-cli in this process, or with `unprivileged` in a child process
// that runs as an unprivileged user (run_unprivileged).
CliResult run_as(bool unprivileged, const std::vector<std::string>& arguments) {
#ifndef _WIN32
  if (unprivileged) {
    Captured captured;
    const int status = run_unprivileged(
        [&] { return cli::run_main(arguments, captured.console) + std::fflush(nullptr); });
    return {status, captured.out(), captured.err()};
  }
#endif
  (void)unprivileged;
  return run_cli(arguments);
}

// The dry run, then the real run: both print the renames `out` and the
// skips and failures `problems` (in the real run's words).
void expect_dry_and_real_agree(std::vector<std::string> arguments, const std::string& out,
                               const std::string& problems, std::size_t renamed,
                               std::size_t skipped, std::size_t failed = 0,
                               bool unprivileged = false) {
  const std::string n = std::to_string(renamed), k = std::to_string(skipped),
                    f = std::to_string(failed);
  const std::string dry_problems = std::regex_replace(
      problems, std::regex("^failed: ", std::regex::multiline), "would fail: ");
  arguments.insert(arguments.begin(), "-n");
  const CliResult planned = run_as(unprivileged, arguments);
  EXPECT_EQ(planned.status, failed == 0 ? 0 : 1);
  EXPECT_EQ(planned.out, out);
  EXPECT_EQ(planned.err, dry_problems + "dry run: " + n + " to rename, " + k + " skipped, " + f +
                             " would fail\n");
  arguments.erase(arguments.begin());
  const CliResult real = run_as(unprivileged, arguments);
  EXPECT_EQ(real.status, failed == 0 ? 0 : 1);
  EXPECT_EQ(real.out, out);
  EXPECT_EQ(real.err, problems + n + " renamed, " + k + " skipped, " + f + " failed\n");
}

#ifndef _WIN32
// Files written by mutagen, eyeD3 and id3v2 (tests/support/make_tagged_library.py).
TEST(CommandLineLibrary, RenamesWhatRealTaggersWroteWithAndWithoutTheOptions) {
  const TempFolder temp;
  const auto script = fs::path(__FILE__).parent_path() / "../support/make_tagged_library.py";
  if (std::system((script.string() + " lib").c_str()) != 0) {
    GTEST_SKIP() << "no tagged library: install python3-mutagen, eyed3 and id3v2";
  }
  const std::string wide = "Caf\u00E9 \u97F3", narrow = "Caf\u00E9";
  const std::string v24 = "ID3v2.4 tag not read (--any-id3v2 reads it)";
  // reason: a skip by default; track: before "/12"
  const struct File { std::string name, reason, title, track; } files[] = {
      {"mutagen-v23-enc0.mp3", "", narrow, "3"},
      {"mutagen-v23-enc1.mp3", "", wide, "3"},
      {"mutagen-v24-enc0.mp3", v24, narrow, "3"},
      {"mutagen-v24-enc1.mp3", v24, wide, "3"},
      {"mutagen-v24-enc2.mp3", v24, wide, "3"},
      {"mutagen-v24-enc3.mp3", v24, wide, "3"},
      {"built-v22.mp3", "ID3v2.2 tag not read (--any-id3v2 reads it)", wide, "3"},
      {"built-v23-unsync-extended.mp3",
       "ID3v2.3 tag with unsynchronisation not read (--any-id3v2 reads it)", wide, "3"},
      {"built-v24-unsync-dli-extended.mp3", v24, wide, "3"},
      {"built-v24-tag-unsync.mp3", v24, wide, "3"},
      {"built-v24-bad-utf8.mp3", v24, "Caf\u00E9 \uFFFD\uFFFD\uFFFD", "3"},
      {"eyed3-v2.3.mp3", "", wide, "03"},
      {"eyed3-v2.4.mp3", v24, wide, "03"},
      {"id3v2.mp3", "", narrow, "3"},
  };
  const auto plain = [](const File& f) { return "Artist - " + f.title + ".mp3"; };
  const struct { std::vector<std::string> options; std::string (*name)(const File&); } sets[] = {
      {{}, plain},
      {{"--any-id3v2"}, plain},
      {{"--any-id3v2", "--portable", "--format", "%track% %title%"},
       [](const File& f) { return f.track + "_12 " + f.title + ".mp3"; }},
      {{"--any-id3v2", "--track-digits", "1", "--format", "%year%\\%track% %title%"},
       [](const File& f) { return "2004/3 " + f.title + ".mp3"; }},
  };
  for (std::size_t s = 0; s < std::size(sets); ++s) {
    SCOPED_TRACE(s);
    std::vector<std::string> arguments = sets[s].options, targets;
    std::string out, problems;
    for (std::size_t i = 0; i < std::size(files); ++i) {
      const std::string folder = "s" + std::to_string(s) + "/" + std::to_string(i) + "/";
      const std::string source = folder + files[i].name;
      fs::create_directories(folder);
      fs::copy_file(fs::path("lib") / files[i].name, source);
      arguments.push_back(source);
      if (!files[i].reason.empty() && s == 0) {
        problems += "skipped: " + source + ": " + files[i].reason + "\n";
      } else {
        targets.push_back(folder + sets[s].name(files[i]));
        out += source + " -> " + targets.back() + "\n";
      }
    }
    expect_dry_and_real_agree(arguments, out, problems, targets.size(),
                              std::size(files) - targets.size());
    for (const std::string& target : targets) EXPECT_TRUE(fs::is_regular_file(target)) << target;
  }
}
#endif

// Each file gets the first free suffix, however many files of the run
// share its name: past the names on the disk and those of earlier files,
// but its own name stays free for it (a second run changes nothing), and so
// does a name that an earlier file moved away from.
TEST(CommandLineLibrary, SuffixesGoPastNamesTakenInTheFolderAndByThePlan) {
  struct File { std::string name, artist, title; };
  const struct {
    std::vector<File> files;       // in the order given
    std::vector<std::string> disk;  // untagged files in the way
    std::string out;
  } cases[] = {
      {{{"a.mp3", "A", "One"}, {"b.mp3", "A", "One"}, {"c.mp3", "A", "Two"}},
       {"A - One.mp3", "A - One (2).mp3"},
       "a.mp3 -> A - One (1).mp3\nb.mp3 -> A - One (3).mp3\nc.mp3 -> A - Two.mp3\n"},
      {{{"A - One (2).mp3", "A", "One"}, {"A - One (1).mp3", "A", "One"},
        {"A - One.mp3", "A", "One"}, {"new.mp3", "A", "One"}},
       {},
       "A - One (2).mp3 -> A - One (2).mp3\nA - One (1).mp3 -> A - One (1).mp3\n"
       "A - One.mp3 -> A - One.mp3\nnew.mp3 -> A - One (3).mp3\n"},
      {{{"x.mp3", "A", "One"}, {"A - One.mp3", "B", "Two"}, {"y.mp3", "A", "One"},
        {"z.mp3", "A", "One"}},
       {},
       "x.mp3 -> A - One (1).mp3\nA - One.mp3 -> B - Two.mp3\ny.mp3 -> A - One.mp3\n"
       "z.mp3 -> A - One (2).mp3\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    const TempFolder temp;
    std::vector<std::string> arguments = {"--journal", "j", "--on-collision", "suffix"};
    for (const File& file : c.files) {
      write_bytes(file.name, tagged_image(file.artist, file.title));
      arguments.push_back(file.name);
    }
    for (const std::string& name : c.disk) write_bytes(name, "taken");
    expect_dry_and_real_agree(arguments, c.out, "", c.files.size(), 0);
    // The journal holds the names given: the undo brings each file back.
    EXPECT_EQ(run_cli({"--undo", "j"}).status, 0);
    for (const File& file : c.files) {
      EXPECT_EQ(read_bytes(file.name), tagged_image(file.artist, file.title));
    }
  }
}

#ifndef _WIN32
// What the disk refuses, the dry run finds as the run meets it: a folder of
// the new name that is a file, and folders the user may not write (the one
// that would receive the new entry, or the file's own). Root may write them
// all, and its dry run says so too.
TEST(CommandLineLibrary, TheDryRunFailsWhatTheRunFailsForAUserAndForRoot) {
  if (::geteuid() == 0 && run_unprivileged([] { return 0; }) != 0) {
    GTEST_SKIP() << "cannot become an unprivileged user";
  }
  for (const bool unprivileged : {true, false}) {
    SCOPED_TRACE(unprivileged);
    const TempFolder temp;
    write_bytes("Band", "a file");
    write_bytes("a.mp3", tagged_image("Band", "One"));
    fs::create_directories("locked/Sub");
    write_bytes("locked/b.mp3", tagged_image("New", "Two"));  // a folder made in locked
    write_bytes("locked/c.mp3", tagged_image("Sub", "Three"));  // out of locked
    fs::create_directory("Shut");
    write_bytes("d.mp3", tagged_image("Shut", "Four"));  // into Shut
    write_bytes("e.mp3", tagged_image("Open", "Five"));
    hand_to_unprivileged(temp.path());
    ::chmod("locked", 0555);
    ::chmod("Shut", 0555);
    const bool refused = unprivileged || ::geteuid() != 0;
    std::string out, problems = "failed: a.mp3 -> Band/One.mp3: a folder of the new name is a file\n";
    if (refused) {
      problems += "failed: locked/b.mp3 -> locked/New/Two.mp3: permission denied\n"
                  "failed: locked/c.mp3 -> locked/Sub/Three.mp3: permission denied\n"
                  "failed: d.mp3 -> Shut/Four.mp3: permission denied\n";
    } else {
      out = "locked/b.mp3 -> locked/New/Two.mp3\nlocked/c.mp3 -> locked/Sub/Three.mp3\n"
            "d.mp3 -> Shut/Four.mp3\n";
    }
    out += "e.mp3 -> Open/Five.mp3\n";
    expect_dry_and_real_agree({"--no-journal", "--format", "%artist%\\%title%", "a.mp3",
                               "locked/b.mp3", "locked/c.mp3", "d.mp3", "e.mp3"},
                              out, problems, refused ? 1 : 4, 0, refused ? 4 : 1, unprivileged);
    ::chmod("locked", 0755);
    ::chmod("Shut", 0755);
  }
}
#endif

}  // namespace
}  // namespace kestrune
