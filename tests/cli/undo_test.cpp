#include "cli/undo.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "cli/cli_capture.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::run_cli;
using test::TempFolder;

constexpr char kTemplate[] = "%artist%\\%album%\\%track% %title%";

std::string tagged(const std::string& artist, const std::string& album, const std::string& title,
                   const std::string& track) {
  return test::id3v2_tag({test::frame("TPE1", test::latin1_body(artist)),
                          test::frame("TALB", test::latin1_body(album)),
                          test::frame("TIT2", test::latin1_body(title)),
                          test::frame("TRCK", test::latin1_body(track))},
                         16) +
         "audio of " + title;
}

// Every file below `root` with its content, for trees that must come back
// byte for byte.
std::map<std::string, std::string> contents(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    files[fs::relative(entry.path(), root).string()] =
        entry.is_regular_file() ? test::read_bytes(entry.path()) : "<folder>";
  }
  return files;
}

// The real rename loop with the journal, stopped by `stop` when it answers
// false after a rename (a kill: the journal is as the disk holds it then).
struct StoppingObserver : RunObserver {
  JournalObserver& journal;
  std::function<bool(std::size_t renamed)> go_on;
  std::size_t renamed = 0;
  StoppingObserver(JournalObserver& j, std::function<bool(std::size_t)> g)
      : journal(j), go_on(std::move(g)) {}
  std::size_t group_size() const override { return journal.group_size(); }
  bool before_rename(const RenameStep& step, std::string& message) override {
    return journal.before_rename(step, message);
  }
  bool commit(std::string& message) override { return journal.commit(message); }
  bool after_rename(const RenameStep& step, int error, std::string& message) override {
    if (error == 0 && !go_on(++renamed)) {
      message = "killed";
      return false;
    }
    return journal.after_rename(step, error, message);
  }
};

RunCounts journaled_run(const std::vector<std::string>& files, RunObserver& observer,
                        test::Captured& output) {
  Options options;
  options.files = files;
  RunCounts counts;
  run_renames(options, kTemplate, output.console, &observer, &counts);
  return counts;
}

RunCounts journaled_run(const std::vector<std::string>& files, JournalObserver& journal) {
  test::Captured output;
  const RunCounts counts = journaled_run(files, journal, output);
  EXPECT_TRUE(journal.writer().close());
  return counts;
}

std::vector<UndoReport> undo(const std::string& journal_path, bool dry_run = false,
                             UndoResult* result = nullptr) {
  std::vector<UndoReport> steps;
  const std::optional<Journal> journal = read_journal(journal_path);
  EXPECT_TRUE(journal);
  if (!journal) return steps;
  const UndoResult outcome =
      undo_run(*journal, dry_run, [&](const UndoReport& step) { steps.push_back(step); });
  if (result != nullptr) *result = outcome;
  return steps;
}

class UndoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_STATE_HOME", (temp_.path() / "state").c_str(), 1);
    fs::create_directories("in/Keep");
    test::write_bytes("in/Keep/note.txt", "not an mp3");
    test::write_bytes("in/a.mp3", tagged("Abba", "Arrival", "Dancing Queen", "2"));
    test::write_bytes("in/b.mp3", tagged("Abba", "Arrival", "Money", "3"));
    test::write_bytes("in/c.mp3", tagged("Abba", "Waterloo", "SOS", "1"));
    test::write_bytes("in/d.mp3", tagged("Keep", "Live", "Intro", "1"));
    files_ = {"in/a.mp3", "in/b.mp3", "in/c.mp3", "in/d.mp3"};
    before_ = contents(temp_.path() / "in");
  }

  JournalObserver journal(std::size_t group = kJournalGroup) {
    return JournalObserver(
        JournalWriter::in_folder(*runs_folder(), 1796597944, temp_.path().string()), group);
  }

  TempFolder temp_;
  std::vector<std::string> files_;
  std::map<std::string, std::string> before_;
};

TEST_F(UndoTest, RestoresTheExactTreeAndRemovesOnlyTheFoldersTheRunMade) {
  JournalObserver journal = this->journal();
  ASSERT_EQ(journaled_run(files_, journal).renamed, 4u);
  const std::string path = journal.writer().path();
  EXPECT_TRUE(fs::exists("in/Abba/Arrival/2 Dancing Queen.mp3"));
  EXPECT_TRUE(fs::exists("in/Keep/Live/1 Intro.mp3"));

  // A dry run reports the whole undo and changes nothing, the journal included.
  const auto renamed = contents(temp_.path());
  UndoResult result;
  const std::vector<UndoReport> preview = undo(path, true, &result);
  EXPECT_EQ(result.moved_back, 4u);
  EXPECT_EQ(result.folders_removed, 4u);  // Abba, its two albums, Keep/Live; never Keep
  EXPECT_EQ(contents(temp_.path()), renamed);

  const std::vector<UndoReport> steps = undo(path, false, &result);
  EXPECT_FALSE(result.failed());
  EXPECT_EQ(contents(temp_.path() / "in"), before_);
  ASSERT_EQ(steps.size(), preview.size());
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].event, preview[i].event);
    EXPECT_EQ(steps[i].from, preview[i].from);
  }
  EXPECT_EQ(steps[0].to, (temp_.path() / "in/d.mp3").string());  // newest first

  // The second undo finds the run undone and touches nothing.
  test::write_bytes("in/Abba", "a new file where a folder was");
  undo(path, false, &result);
  EXPECT_TRUE(result.already_undone);
  EXPECT_EQ(test::read_bytes("in/Abba"), "a new file where a folder was");
  EXPECT_EQ(last_run_to_undo(*runs_folder()), "");
}

TEST_F(UndoTest, LeavesFilesMovedOrTakenMeanwhileAndUndoesTheRest) {
  JournalObserver journal = this->journal();
  ASSERT_EQ(journaled_run(files_, journal).renamed, 4u);
  fs::rename("in/Abba/Arrival/3 Money.mp3", "in/Abba/Arrival/Money by hand.mp3");
  fs::remove("in/Abba/Waterloo/1 SOS.mp3");
  test::write_bytes("in/d.mp3", "a new file on the old name");

  test::Captured output;
  EXPECT_EQ(run_undo("", false, false, output.console.out, output.console.err), 1);
  const std::string errors = output.err();
  EXPECT_TRUE(contains(errors, "left: " + (temp_.path() / "in/Abba/Arrival/3 Money.mp3").string()))
      << errors;
  EXPECT_TRUE(contains(errors, "1 Intro.mp3 -> " + (temp_.path() / "in/d.mp3").string() +
                                   ": target exists")) << errors;
  EXPECT_TRUE(contains(errors, "undo: 1 moved back, 3 left")) << errors;

  EXPECT_EQ(test::read_bytes("in/a.mp3"), before_["a.mp3"]);
  EXPECT_EQ(test::read_bytes("in/d.mp3"), "a new file on the old name");
  EXPECT_EQ(test::read_bytes("in/Keep/Live/1 Intro.mp3"), before_["d.mp3"]);
  EXPECT_EQ(test::read_bytes("in/Abba/Arrival/Money by hand.mp3"), before_["b.mp3"]);
  EXPECT_FALSE(fs::exists("in/Abba/Waterloo"));  // emptied by hand, made by the run
  EXPECT_TRUE(read_journal(journal.writer().path())->undone);
}

// A kill between a rename and its mark, with the journal as the disk holds
// it then; in groups of three the fifth rename leaves f recorded with its
// folders made but not moved, and g not yet planned.
TEST_F(UndoTest, UndoesARunKilledInTheMiddleCompletely) {
  test::write_bytes("in/e.mp3", tagged("Blondie", "Parallel Lines", "Atomic", "4"));
  test::write_bytes("in/f.mp3", tagged("Cher", "Believe", "Believe", "1"));
  test::write_bytes("in/g.mp3", tagged("Cher", "Believe", "Strong Enough", "2"));
  files_ = {"in/a.mp3", "in/b.mp3", "in/c.mp3", "in/d.mp3", "in/e.mp3", "in/f.mp3", "in/g.mp3"};
  before_ = contents(temp_.path() / "in");
  for (const auto& run : {std::pair<std::size_t, std::size_t>{kJournalGroup, 2}, {3, 5}}) {
    const std::size_t group = run.first, kill_at = run.second;
    SCOPED_TRACE(group);
    JournalObserver journal = this->journal(group);
    const std::string killed = (temp_.path() / "killed.journal").string();
    std::map<std::string, std::string> at_kill;
    StoppingObserver kill(journal, [&](std::size_t renamed) {
      if (renamed < kill_at) return true;
      fs::copy_file(journal.writer().path(), killed);
      at_kill = contents(temp_.path() / "in");
      return false;
    });
    test::Captured output;
    EXPECT_EQ(journaled_run(files_, kill, output).renamed, kill_at);
    const std::optional<Journal> cut = read_journal(killed);
    ASSERT_TRUE(cut);
    EXPECT_FALSE(cut->ended);
    EXPECT_EQ(cut->entries.back().state, EntryState::kPending);

    // As a kill leaves it: the folders made for the files not yet moved.
    for (const auto& [name, bytes] : at_kill) {
      if (bytes == "<folder>") fs::create_directories(temp_.path() / "in" / name);
    }
    UndoResult result;
    undo(killed, false, &result);
    EXPECT_EQ(result.moved_back, kill_at);
    EXPECT_FALSE(result.failed());
    EXPECT_EQ(contents(temp_.path() / "in"), before_);
    fs::remove(killed);
  }
}

TEST_F(UndoTest, KeepsNamesWithInvalidUtf8AndLineBreaks) {
  const std::string odd_folder = "in/bad\xff\nfolder";
  const std::string odd_file = odd_folder + "/a\n\xfe\r.mp3";
  fs::create_directories(odd_folder);
  test::write_bytes(odd_file, tagged("X\xe9", "Y", "Z", "4"));
  const auto tree = contents(temp_.path() / "in");
  JournalObserver journal = this->journal();
  ASSERT_EQ(journaled_run({odd_file}, journal).renamed, 1u);
  EXPECT_FALSE(fs::exists(odd_file));

  undo(journal.writer().path());
  EXPECT_EQ(contents(temp_.path() / "in"), tree);
}

TEST_F(UndoTest, AJournalThatCannotBeWrittenStopsTheRunBeforeTheNextRename) {
  // After the first rename the disk is full: the journal may grow by a few
  // bytes only, so the record of the next group is torn.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  JournalObserver journal = this->journal(2);
  StoppingObserver fill(journal, [&](std::size_t renamed) {
    if (renamed == 1) {
      rlimit full = saved;
      full.rlim_cur = fs::file_size(journal.writer().path()) + 10;
      ::setrlimit(RLIMIT_FSIZE, &full);
    }
    return true;
  });
  test::Captured output;
  const RunCounts counts = journaled_run(files_, fill, output);
  ::setrlimit(RLIMIT_FSIZE, &saved);

  EXPECT_EQ(counts.renamed, 2u);
  EXPECT_TRUE(counts.stopped);
  EXPECT_TRUE(contains(output.err(), "stopped before in/c.mp3: cannot write the journal"));
  EXPECT_TRUE(fs::exists("in/c.mp3"));

  // The torn journal still undoes what happened.
  UndoResult result;
  undo(journal.writer().path(), false, &result);
  EXPECT_EQ(result.moved_back, 2u);
  EXPECT_FALSE(result.failed());
  EXPECT_EQ(contents(temp_.path() / "in"), before_);
  EXPECT_TRUE(read_journal(journal.writer().path())->undone);
}

TEST_F(UndoTest, TheCommandLineJournalsEachRealRunAndUndoesTheLastOnce) {
  EXPECT_EQ(run_cli({"-n", "--format", kTemplate, "--all", "in"}).status, 0);
  EXPECT_EQ(run_cli({"--no-journal", "--format", "%title%", "in/a.mp3"}).status, 0);
  EXPECT_EQ(run_cli({"--format", "%title%", "--journal", "j", "--undo-last"}).status, 2);
  EXPECT_EQ(list_journals(*runs_folder()).size(), 0u);
  fs::rename("in/Dancing Queen.mp3", "in/a.mp3");

  EXPECT_EQ(run_cli({"--format", kTemplate, "--all", "in"}).status, 0);
  const test::CliResult listed = run_cli({"--list-runs"});
  EXPECT_TRUE(contains(listed.out, "  4 files  not undone  ")) << listed.out;

  const auto renamed = contents(temp_.path());
  const test::CliResult preview = run_cli({"--undo-last", "--dry-run"});
  EXPECT_EQ(preview.status, 0);
  const std::string d = (temp_.path() / "in/d.mp3").string();
  EXPECT_TRUE(contains(preview.out, "1 Intro.mp3 -> " + d + "\n")) << preview.out;
  EXPECT_EQ(contents(temp_.path()), renamed);

  EXPECT_EQ(run_cli({"--undo-last"}).status, 0);
  EXPECT_EQ(contents(temp_.path() / "in"), before_);
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  4 files  undone  "));
  const test::CliResult again = run_cli({"--undo", list_journals(*runs_folder())[0]});
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(contains(again.err, "nothing to undo"));

  // --journal never writes over a file, and the run then renames nothing.
  test::write_bytes("mine.journal", "an older journal");
  const test::CliResult refused =
      run_cli({"--journal", "mine.journal", "--format", kTemplate, "in/a.mp3"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(contains(refused.err, "it exists already")) << refused.err;
  EXPECT_EQ(contents(temp_.path() / "in"), before_);
}

}  // namespace
}  // namespace kestrune::cli
