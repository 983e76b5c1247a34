#include "runs/journal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/temp_folder.h"

namespace kestrune::runs {
namespace {

TEST(JournalField, KeepsEveryByteAndNeverHoldsASpaceOrALineBreak) {
  std::string bytes = "%41";
  for (int b = 1; b < 256; ++b) bytes += static_cast<char>(b);
  const std::string field = escape_field(bytes);
  for (const char c : field) {
    EXPECT_GT(static_cast<unsigned char>(c), 0x20);
    EXPECT_LT(static_cast<unsigned char>(c), 0x7F);
  }
  EXPECT_EQ(unescape_field(field), bytes);
  for (const char* bad : {"%", "%4", "%G1", "a%0"}) EXPECT_FALSE(unescape_field(bad)) << bad;
  for (const std::int64_t t : {0, 951782400, 1796597944}) EXPECT_EQ(parse_utc(format_utc(t)), t);
  EXPECT_EQ(format_utc(951782400), "2000-02-29T00:00:00Z");
  for (const char* bad : {"2026-02-30T00:00:00Z", "2026-12-06 22:59:04Z", "2026-12-06T24:00:00Z",
                          "2026-12-06T22:59:04Zx", "20x6-12-06T22:59:04Z", "2026-12-x6T22:59:04Z"})
    EXPECT_FALSE(parse_utc(bad)) << bad;
}

TEST(JournalReader, KeepsWholeRecordsAndPassesOverTheRest) {
  const std::string bytes =
      "kestrune-journal 1\n"
      "started 2026-12-06T22:59:04Z\n"
      "folder /m%0Au\n"
      "rename 1 /m/a /m/A/a\n"
      "mkdir /m/A\n"
      "done 1\n"
      "rename 3 /m/x /m/y\n"    // not the next number
      "done 7\n"                // no such entry
      "rename 2 /m/b%4 /m/c\n"  // bad escape
      "rename 2 /m/b /m/B/b /m/B\n"  // a field too many
      "rename 2 /m/b /m/B/b\n"
      "failed 2 17\n"
      "something new\n"
      "mkdir /m/C";  // torn by a kill
  const std::optional<Journal> journal = parse_journal(bytes);
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->started, 1796597944);
  EXPECT_EQ(journal->folder, "/m\nu");
  EXPECT_FALSE(journal->undone);
  ASSERT_EQ(journal->entries.size(), 2u);
  EXPECT_EQ(journal->entries[0].state, EntryState::kDone);
  EXPECT_EQ(journal->text(journal->entries[1].new_path), "/m/B/b");
  EXPECT_EQ(journal->entries[1].error, 17);
  ASSERT_EQ(journal->made_folders.size(), 1u);
  EXPECT_EQ(journal->text(journal->made_folders[0]), "/m/A");
  EXPECT_EQ(journal->whole_size, bytes.rfind('\n') + 1);
  EXPECT_FALSE(parse_journal("kestrune-journal 2\n"));
  EXPECT_FALSE(parse_journal("kestrune-journal 1"));  // not even the header is whole
}

// A journal much larger than the pieces it is read in and the window its
// names are read back through: lines across every boundary, one line longer
// than a piece, names asked for backwards (as the undo does) and forwards.
TEST(JournalReader, ReadsALargeJournalInPiecesAndItsNamesInEitherOrder) {
  test::TempFolder temp;
  const std::string path = (temp.path() / "big.journal").string();
  JournalWriter writer = JournalWriter::at_path(path, 1796597944, "/m");
  const auto name = [](std::size_t i, char side) {
    return "/m/" + std::string(i % 97 + 1, side) + " " + std::to_string(i) + ".mp3";
  };
  constexpr std::size_t kCount = 3000;
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_TRUE(writer.record(name(i, 'o'), name(i, 'n')));
    EXPECT_TRUE(i != 1500 || writer.record_folder("/m/" + std::string(300000, 'f'), false));
    EXPECT_TRUE(writer.mark(i + 1, i % 3 == 0 ? 0 : 2));
  }
  ASSERT_TRUE(writer.close());
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1);  // torn "end"
  const std::optional<Journal> journal = read_journal(path);
  ASSERT_TRUE(journal);
  EXPECT_FALSE(journal->ended);
  ASSERT_EQ(journal->entries.size(), kCount);
  EXPECT_EQ(journal->entries[2997].state, EntryState::kDone);
  EXPECT_EQ(journal->entries[2999].error, 2);
  ASSERT_EQ(journal->made_folders.size(), 1u);
  EXPECT_EQ(journal->text(journal->made_folders[0]).size(), 300003u);
  for (std::size_t i = kCount; i-- > 0;) {
    ASSERT_EQ(journal->text(journal->entries[i].old_path), name(i, 'o'));
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(journal->text(journal->entries[i].new_path), name(i, 'n'));
  }
  // Cut under the undo: what is gone reads as nothing.
  std::filesystem::resize_file(path, journal->entries[10].old_path.at);
  EXPECT_EQ(journal->text(journal->entries[9].new_path), name(9, 'n'));
  EXPECT_EQ(journal->text(journal->entries[2000].new_path), "");
}

// No writer writes a line longer than kMaxJournalLine: the reader tears a
// journal there, whatever follows, and a file without line breaks is no
// journal, read no further than that.
TEST(JournalReader, TearsAJournalAtALineLongerThanAnyWriterWrites) {
  test::TempFolder temp;
  const std::string head = "kestrune-journal 1\nstarted 2026-12-06T22:59:04Z\nfolder /m\n";
  const std::string path = (temp.path() / "long.journal").string();
  test::write_bytes(path, head + "mkdir /m/" + std::string(kMaxJournalLine - 20, 'f') + "\n" +
                              "rename 1 /m/a.mp3 /m/b.mp3\n");
  EXPECT_EQ(read_journal(path)->entries.size(), 1u);
  for (const std::uint64_t hole : {std::uint64_t{kMaxJournalLine}, std::uint64_t{1} << 32}) {
    SCOPED_TRACE(hole);
    test::write_bytes(path, head + "mkdir /m/");
    std::filesystem::resize_file(path, head.size() + 9 + hole);  // a sparse run of zero bytes
    std::ofstream(path, std::ios::app) << "\nrename 1 /m/a.mp3 /m/b.mp3\n";
    const std::optional<Journal> journal = read_journal(path);
    ASSERT_TRUE(journal);
    EXPECT_TRUE(journal->entries.empty());
    EXPECT_EQ(journal->whole_size, head.size());
  }
  std::filesystem::resize_file(path, 0);
  std::filesystem::resize_file(path, std::uint64_t{1} << 32);
  JournalProblem problem;
  EXPECT_FALSE(read_journal(path, &problem, true));
  EXPECT_EQ(problem.kind, JournalProblem::kNotAJournal);

  JournalWriter writer = JournalWriter::at_path(path + "2", 0, "/m");
  EXPECT_TRUE(writer.record("/m/a.mp3", "/m/" + std::string(kMaxJournalLine / 3 - 40, ' ')));
  EXPECT_FALSE(writer.record("/m/a.mp3", "/m/" + std::string(kMaxJournalLine / 3, ' ')));
  EXPECT_EQ(writer.error().error, ENAMETOOLONG);
}

TEST(JournalWriter, WritesNothingUntilTheFirstRecordAndNumbersRunsOfOneSecond) {
  test::TempFolder temp;
  const std::string runs = (temp.path() / "state" / "runs").string();
  EXPECT_TRUE(JournalWriter::in_folder(runs, 1796597944, "/m").close());
  EXPECT_FALSE(std::filesystem::exists(runs));

  std::vector<std::string> paths;
  for (int run = 0; run < 3; ++run) {
    JournalWriter writer = JournalWriter::in_folder(runs, 1796597944 + (run == 2 ? -60 : 0), "/m");
    ASSERT_TRUE(writer.record("/m/a", "/m/b"));
    ASSERT_TRUE(writer.close());
    paths.push_back(writer.path());
  }
  EXPECT_EQ(std::filesystem::path(paths[0]).filename(), "2026-12-06T22-59-04Z.journal");
  EXPECT_EQ(std::filesystem::path(paths[1]).filename(), "2026-12-06T22-59-04Z_2.journal");
  EXPECT_EQ(list_journals(runs), (std::vector<std::string>{paths[2], paths[0], paths[1]}));
  // Journals are the user's alone.
  EXPECT_EQ(std::filesystem::status(paths[0]).permissions(), std::filesystem::perms(0600));

  ::setenv("XDG_STATE_HOME", "relative", 1);
  ::setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(runs_folder(), "/home/ann/.local/state/kestrune/runs");
}

}  // namespace
}  // namespace kestrune::runs
