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
#include "platform/platform.h"
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
// Files written by mutagen, eyeD3 and id3v2 (tests/support/make_tagged_library.py), each
// renamed by the defaults, by the dialog's rules and with portable names. A name from a row
// of `files` is the new name below the file's folder; one starting with "skipped: " or
// "refused: " is the reason the run gives.
TEST(CommandLineLibrary, RenamesWhatRealTaggersWroteByDefaultByTheDialogsRulesAndPortably) {
  const TempFolder temp;
  // Named by the build: __FILE__ may be relative to a folder the test has left.
  if (std::system(KESTRUNE_TAGGED_LIBRARY " lib") != 0) {
    GTEST_SKIP() << "no tagged library: install python3-mutagen, eyed3 and id3v2";
  }
  const std::string wide = "Caf\u00E9 \u97F3", narrow = "Caf\u00E9";
  const std::string bad = "Caf\u00E9 \uFFFD\uFFFD\uFFFD";
  const std::string v24 = "skipped: ID3v2.4 tag not read (--any-id3v2 reads it)";
  const std::string a(250, 'a'), b(250, 'b'), t(240, 't');
  const std::vector<std::string> sets[] = {
      {"--format", "%artist%/%year%/%title%"},
      {"--dialog-rules", "--format", "%artist%\\%year%\\%title%"},
      {"--portable", "--track-digits", "2", "--format", "%artist%/%album%/%title% %track%"},
  };
  const struct { const char* name; std::string names[std::size(sets)]; } files[] = {
      {"mutagen-v23-enc0.mp3",
       {"Artist/2004/" + narrow, "Artist/2004/" + narrow, "Artist/Album/" + narrow + " 03"}},
      {"mutagen-v23-enc1.mp3",
       {"Artist/2004/" + wide, "Artist/2004/" + wide, "Artist/Album/" + wide + " 03"}},
      {"mutagen-v24-enc0.mp3", {"Artist/2004/" + narrow, v24, "Artist/Album/" + narrow + " 03"}},
      {"mutagen-v24-enc1.mp3", {"Artist/2004/" + wide, v24, "Artist/Album/" + wide + " 03"}},
      {"mutagen-v24-enc2.mp3", {"Artist/2004/" + wide, v24, "Artist/Album/" + wide + " 03"}},
      {"mutagen-v24-enc3.mp3", {"Artist/2004/" + wide, v24, "Artist/Album/" + wide + " 03"}},
      {"built-v22.mp3",
       {"Artist/2004/" + wide, "skipped: ID3v2.2 tag not read (--any-id3v2 reads it)",
        "Artist/Album/" + wide + " 03"}},
      {"built-v23-unsync-extended.mp3",
       {"Artist/2004/" + wide,
        "skipped: ID3v2.3 tag with unsynchronisation not read (--any-id3v2 reads it)",
        "Artist/Album/" + wide + " 03"}},
      {"built-v24-unsync-dli-extended.mp3",
       {"Artist/2004/" + wide, v24, "Artist/Album/" + wide + " 03"}},
      {"built-v24-tag-unsync.mp3", {"Artist/2004/" + wide, v24, "Artist/Album/" + wide + " 03"}},
      {"built-v24-bad-utf8.mp3", {"Artist/2004/" + bad, v24, "Artist/Album/" + bad + " 03"}},
      {"eyed3-v2.3.mp3",
       {"Artist/2004/" + wide, "Artist/2004/" + wide, "Artist/Album/" + wide + " 03"}},
      {"eyed3-v2.4.mp3", {"Artist/2004/" + wide, v24, "Artist/Album/" + wide + " 03"}},
      {"id3v2.mp3",
       {"Artist/2004/" + narrow, "Artist/2004/" + narrow, "Artist/Album/" + narrow + " 03"}},
      // The year of a TDRC frame in an ID3v2.3 tag; tag text's '\' makes a folder only
      // for the dialog, which does not read that year (the empty folder climbs nowhere).
      {"mutagen-v23-tdrc.mp3",
       {"Artist/2004/Up_Down", "Artist/Up/Down", "Artist/Album/Up_Down 03"}},
      // Tag text's '/' is no folder and no refusal; device names; no track stays no track.
      {"mutagen-v23-devices.mp3",
       {"AC_DC/2004/CON", "refused: the name holds a '/'", "AC_DC/Aux_.In_Out/CON_"}},
      // Portable: in a folder this deep the name is 33 units too long for the system, so
      // the longest parts lose characters of tag text until all are alike (7 each for the
      // folders), then each in turn from the end (7 for the file name, 6 for the folders).
      {"mutagen-v23-long.mp3",
       {a + "/2004/" + t, a + "/2004/" + t,
        a.substr(13) + "/" + b.substr(13) + "/" + t.substr(7) + " 07"}},
  };
  const std::size_t long_file = std::size(files) - 1;
  for (std::size_t s = 0; s < std::size(sets); ++s) {
    SCOPED_TRACE(sets[s][0]);
    std::vector<std::string> arguments = sets[s], targets;
    std::string out, problems;
    std::size_t skipped = 0, refused = 0;
    for (std::size_t i = 0; i < std::size(files); ++i) {
      std::string folder = "s" + std::to_string(s) + "/" + std::to_string(i) + "/";
      if (i == long_file && s == 2) {
        // Deep enough that the absolute path of the name as the tags give it (250 + 1 +
        // 250 + 1 + 243 + 4 units) is 33 units longer than the system takes.
        const std::string current = platform::current_directory().value();
        const std::size_t depth = platform::kMaxPath - 1 - (749 - 33);
        std::string deep = current + "/" + folder + "d";
        while (depth - deep.size() > 201) deep += std::string(200, 'd') + "/d";
        deep += std::string(depth - deep.size(), 'd');
        folder = deep.substr(current.size() + 1) + "/";
      }
      const std::string source = folder + files[i].name;
      fs::create_directories(folder);
      fs::copy_file(fs::path("lib") / files[i].name, source);
      arguments.push_back(source);
      const std::string& name = files[i].names[s];
      if (name.starts_with("skipped: ") || name.starts_with("refused: ")) {
        const std::size_t colon = name.find(':');
        problems += name.substr(0, colon + 2) + source + name.substr(colon) + "\n";
        ++(name[0] == 's' ? skipped : refused);
      } else {
        targets.push_back(folder + name + ".mp3");
        out += source + " -> " + targets.back() + "\n";
      }
    }
    expect_dry_and_real_agree(arguments, out, problems, targets.size(), skipped, refused);
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
