#include "cli/journal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/temp_folder.h"

namespace kestrune::cli {
namespace {

using test::TempFolder;

TEST(JournalField, KeepsEveryByteAndNeverHoldsASpaceOrALineBreak) {
  std::string bytes = "%41";
  for (int b = 1; b < 256; ++b) bytes += static_cast<char>(b);
  const std::string field = escape_field(bytes);
  for (const char c : field) {
    EXPECT_GT(static_cast<unsigned char>(c), 0x20);
    EXPECT_LT(static_cast<unsigned char>(c), 0x7F);
  }
  EXPECT_EQ(unescape_field(field), bytes);
  EXPECT_EQ(escape_field("a b\n%"), "a%20b%0A%25");
  for (const char* bad : {"%", "%4", "%G1", "a%0"}) EXPECT_FALSE(unescape_field(bad)) << bad;
}

TEST(JournalTime, RoundTripsAndRejectsOtherText) {
  for (const std::int64_t t : {0, 951782400, 1796597944}) EXPECT_EQ(parse_utc(format_utc(t)), t);
  EXPECT_EQ(format_utc(951782400), "2000-02-29T00:00:00Z");
  for (const char* bad : {"2026-02-30T00:00:00Z", "2026-12-06 22:59:04Z", "2026-12-06T22:59:04",
                          "2026-12-06T24:00:00Z", "x"}) {
    EXPECT_FALSE(parse_utc(bad)) << bad;
  }
}

TEST(JournalReader, PassesOverATornLastLineAndLinesNotInOrder) {
  const std::string bytes =
      "kestrune-journal 1\n"
      "started 2026-12-06T22:59:04Z\n"
      "folder /m%0Au\n"
      "rename 1 /m/a /m/A/a /m/A\n"
      "done 1\n"
      "rename 3 /m/x /m/y\n"      // not the next number
      "done 7\n"                  // no such entry
      "rename 2 /m/b%4 /m/c\n"    // bad escape
      "rename 2 /m/b /m/B/b /m/B\n"
      "failed 2 17\n"
      "something new\n"
      "rename 3 /m/c /m/C/c /m/C/x";  // cut short by a failed write
  const std::optional<Journal> journal = parse_journal(bytes);
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->started, 1796597944);
  EXPECT_EQ(journal->folder, "/m\nu");
  ASSERT_EQ(journal->entries.size(), 2u);
  EXPECT_EQ(journal->entries[0].state, EntryState::kDone);
  EXPECT_EQ(journal->entries[0].made_folders, std::vector<std::string>{"/m/A"});
  EXPECT_EQ(journal->entries[1].state, EntryState::kFailed);
  EXPECT_EQ(journal->entries[1].error, 17);
  EXPECT_FALSE(journal->ended);
  EXPECT_FALSE(parse_journal("kestrune-journal 2\n"));
  EXPECT_FALSE(parse_journal("kestrune-journal 1"));  // not even the header is whole
}

TEST(JournalWriter, WritesNothingUntilTheFirstRenameAndNumbersRunsOfOneSecond) {
  TempFolder temp;
  const std::string runs = (temp.path() / "state" / "runs").string();
  {
    JournalWriter idle = JournalWriter::in_folder(runs, 1796597944, "/m");
    EXPECT_TRUE(idle.close());
  }
  EXPECT_FALSE(std::filesystem::exists(runs));

  std::vector<std::string> paths;
  for (int run = 0; run < 3; ++run) {
    JournalWriter writer = JournalWriter::in_folder(runs, 1796597944 + (run == 2 ? -60 : 0), "/m");
    ASSERT_TRUE(writer.record("/m/a", "/m/b", {}));
    ASSERT_TRUE(writer.mark(1, 0));
    ASSERT_TRUE(writer.close());
    paths.push_back(writer.path());
  }
  EXPECT_EQ(std::filesystem::path(paths[0]).filename(), "2026-12-06T22-59-04Z.journal");
  EXPECT_EQ(std::filesystem::path(paths[1]).filename(), "2026-12-06T22-59-04Z_2.journal");
  EXPECT_EQ(list_journals(runs), (std::vector<std::string>{paths[2], paths[0], paths[1]}));
}

TEST(JournalPaths, TheStateFolderFollowsXdgStateHomeWhenItIsAbsolute) {
  ::setenv("XDG_STATE_HOME", "/st", 1);
  ::setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(runs_folder(), "/st/kestrune/runs");
  ::setenv("XDG_STATE_HOME", "relative", 1);
  EXPECT_EQ(runs_folder(), "/home/ann/.local/state/kestrune/runs");
}

}  // namespace
}  // namespace kestrune::cli
