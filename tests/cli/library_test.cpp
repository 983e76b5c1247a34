#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cli/cli_capture.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

using test::CliResult, test::write_bytes;
constexpr auto run = test::run_cli;
constexpr auto tagged = test::tagged_image;

// The dry run, then the real run: both print the renames `out` and the skips `problems`.
void expect_dry_and_real_agree(std::vector<std::string> arguments, const std::string& out,
                               const std::string& problems, std::size_t renamed,
                               std::size_t skipped) {
  const std::string n = std::to_string(renamed), k = std::to_string(skipped);
  arguments.insert(arguments.begin(), "-n");
  const CliResult planned = run(arguments);
  EXPECT_EQ(planned.out, out);
  EXPECT_EQ(planned.err, problems + "dry run: " + n + " to rename, " + k +
                             " skipped, 0 would fail\n");
  arguments.erase(arguments.begin());
  const CliResult real = run(arguments);
  EXPECT_EQ(real.out, out);
  EXPECT_EQ(real.err, problems + n + " renamed, " + k + " skipped, 0 failed\n");
}

// An ID3v2.4 tag is read only with --any-id3v2 (the real taggers' files are
// the tag readers' test), and the naming options shape what it gives.
TEST(CommandLineLibrary, OptionsReachTheReaderAndTheName) {
  const test::TempFolder temp;
  write_bytes("a.mp3", test::id3v2_tag({test::frame("TIT2", test::latin1_body("T")),
                                        test::frame("TRCK", test::latin1_body("3/12"))}, 0, 4));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--portable"}, "a.mp3 -> 3_12 T.mp3\n"},
      {{"--track-digits", "2"}, "a.mp3 -> 03 T.mp3\n"},
  };
  for (const auto& [options, out] : cases) {
    std::vector<std::string> arguments = {"-n", "--any-id3v2", "--format", "%track% %title%"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back("a.mp3");
    EXPECT_EQ(run(arguments).out, out) << options[0];
  }
}

TEST(CommandLineLibrary, SuffixesGoPastNamesTakenInTheFolderAndByThePlan) {
  const test::TempFolder temp;
  write_bytes("a.mp3", tagged("A", "One"));
  write_bytes("b.mp3", tagged("A", "One"));
  write_bytes("c.mp3", tagged("A", "Two"));
  write_bytes("A - One.mp3", "taken");
  write_bytes("A - One (2).mp3", "taken");
  expect_dry_and_real_agree(
      {"--journal", "j", "--on-collision", "suffix", "a.mp3", "b.mp3", "c.mp3"},
      "a.mp3 -> A - One (1).mp3\nb.mp3 -> A - One (3).mp3\nc.mp3 -> A - Two.mp3\n", "", 3, 0);
  // The journal holds the names given: the undo brings each file back.
  EXPECT_EQ(run({"--undo", "j"}).status, 0);
  EXPECT_EQ(test::read_bytes("b.mp3"), tagged("A", "One"));
}

TEST(CommandLineLibrary, TemplateProblemsAreWarnedOnceBeforeTheFirstFileUnlessQuiet) {
  const test::TempFolder temp;
  write_bytes("a.mp3", tagged("A", "One"));
  write_bytes("b.mp3", tagged("B", "Two"));
  const CliResult r = run({"-n", "--format", "%Titel% %title% 100%", "a.mp3", "b.mp3"});
  EXPECT_EQ(r.out, "a.mp3 ->  One 100%.mp3\nb.mp3 ->  Two 100%.mp3\n");
  EXPECT_EQ(r.err,
            "kestrune-cli: warning: unknown field %Titel%\n"
            "kestrune-cli: warning: lone % kept as written: \"%\"\n"
            "dry run: 2 to rename, 0 skipped, 0 would fail\n");
  EXPECT_EQ(run({"-q", "--format", "%Titel%%title%", "a.mp3"}).err, "");
}

}  // namespace
}  // namespace kestrune
