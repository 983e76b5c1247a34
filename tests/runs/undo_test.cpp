#include "runs/undo.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "app/batch.h"
#include "cli/cli_capture.h"
#include "runs/engine.h"
#include "support/fake_front_end.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

// A neighbour who puts their own file in place of `swap_at` right before
// this process opens that name: the open happens after any look at the name.
namespace {
std::string swap_at, swap_in;
}

extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const int mode = has_mode ? va_arg(rest, int) : 0;
  va_end(rest);
  if (!swap_at.empty() && swap_at == path) {
    std::rename(swap_in.c_str(), path);
    swap_at.clear();
  }
  using Open = int (*)(const char*, int, ...);
  static const auto next = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "open"));
  return next(path, flags, mode);
}

namespace kestrune::runs {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::run_cli;
constexpr auto tagged = test::tagged_image;

constexpr char kTemplate[] = "%artist%\\%album%\\%title%";

// Every entry below `root` with its content, for trees that must come back
// byte for byte.
std::map<std::string, std::string> contents(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    files[entry.path().lexically_relative(root).string()] =
        entry.is_regular_file() ? test::read_bytes(entry.path()) : "<folder>";
  }
  return files;
}

class UndoTest : public ::testing::Test {
 protected:
  void SetUp() override { make_tree(); }
  void make_tree() {
    fs::create_directories("in/Keep");
    test::write_bytes("in/Keep/note.txt", "not an mp3");
    test::write_bytes("in/a.mp3", tagged("Abba", "Dancing Queen", "Arrival"));
    test::write_bytes("in/b.mp3", tagged("Abba", "Money", "Arrival"));
    test::write_bytes("in/c.mp3", tagged("Abba", "SOS", "Waterloo"));
    test::write_bytes("in/d.mp3", tagged("Keep", "Intro", "Live"));
    before_ = contents("in");
  }
  std::string journal() const { return list_journals(*runs_folder()).back(); }
  int run(const std::vector<std::string>& arguments) { return run_cli(arguments).status; }
  int run_all() { return run({"--format", kTemplate, "--all", "in"}); }

  test::TempFolder temp_;
  std::map<std::string, std::string> before_;
};

// Files an undo cannot move back (moved away, old name taken) stay to be
// undone: a later undo, once the disk allows it, finishes the run.
TEST_F(UndoTest, RestoresTheExactTreeAcrossUndosThatLeaveFiles) {
  ASSERT_EQ(run_all(), 0);
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  4 files  not undone  "));
  fs::rename("in/Abba/Arrival", "away");
  test::write_bytes("in/d.mp3", "a new file on the old name");
  const auto renamed = contents(temp_.path());
  const test::CliResult preview = run_cli({"--undo-last", "--dry-run"});
  EXPECT_EQ(contents(temp_.path()), renamed);  // a dry run changes nothing
  const test::CliResult first = run_cli({"--undo-last"});
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.out, preview.out);
  EXPECT_TRUE(contains(first.err, "Intro.mp3 -> " + (temp_.path() / "in/d.mp3").string() +
                                      ": target exists")) << first.err;
  EXPECT_TRUE(contains(first.err, "undo: 1 moved back, 3 left")) << first.err;
  EXPECT_TRUE(contains(first.err, "in/Keep/Live: not empty")) << first.err;
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  partly undone  "));

  fs::create_directory("in/Abba");  // removed by the undo once empty
  fs::rename("away", "in/Abba/Arrival");
  fs::remove("in/d.mp3");
  EXPECT_TRUE(contains(run_cli({"--undo-last", "--dry-run"}).err, "would remove folder: "));
  const test::CliResult second = run_cli({"--undo-last"});
  EXPECT_EQ(second.status, 0) << second.err;
  // Keep/Live, Abba/Arrival and Abba; never Keep.
  EXPECT_TRUE(contains(second.err, "undo: 3 moved back, 0 left, 3 folders removed")) << second.err;
  EXPECT_EQ(contents("in"), before_);
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  4 files  undone  "));
  test::write_bytes("in/Abba", "a new file where a folder was");
  EXPECT_TRUE(contains(run_cli({"--undo", journal()}).err, "nothing to undo"));
  EXPECT_EQ(test::read_bytes("in/Abba"), "a new file where a folder was");
}

// An undo follows a journal only as far as it speaks of this program's own
// work, only one that is the user's, and never undoes a rename that failed.
TEST_F(UndoTest, FollowsOnlyJournalsOfTheUserAndOnlyTheirMp3FilesAndFolders) {
  const std::string x = temp_.path().string();
  fs::create_directories("victim/empty");
  test::write_bytes("stolen.txt", "secret");
  test::write_bytes("real.mp3", "music");
  fs::create_symlink(x + "/real.mp3", "link.mp3");
  const std::string records = "rename 1 " + x + "/victim/secret.txt " + x + "/stolen.txt\n" +
                              "rename 2 " + x + "/victim/got.mp3 " + x + "/link.mp3\n" +
                              "rename 3 " + x + "/victim/x.mp3 " + x + "/in/a.mp3 " + x +
                              "/victim/empty\nrename 3 " + x + "/victim/f.mp3 " + x +
                              "/real.mp3\nfailed 3 17\ndone 1\ndone 2\n";
  const auto tree = contents(temp_.path());
  const struct { mode_t mode; bool other_owner; const char* message; } cases[] = {
      {0600, false, "undo: 0 moved back, 2 left, 0 folders removed"},
      {0622, false, "others may write it"}, {0600, true, "it belongs to another user"}};
  for (const auto& c : cases) {
    if (c.other_owner && ::geteuid() != 0) continue;
    const std::string path = x + "/hostile.journal";
    test::write_bytes(path, "kestrune-journal 1\nstarted 2026-12-06T22:59:04Z\nfolder " + x +
                                "\n" + records);
    ::chmod(path.c_str(), c.mode);
    if (c.other_owner) { ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0); }
    const test::CliResult r = run_cli({"--undo", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    fs::remove(path);
    EXPECT_EQ(contents(temp_.path()), tree) << c.message;
  }
  test::write_bytes(x + "/other.journal", "kestrune-journal 2\n" + records);
  EXPECT_TRUE(contains(run_cli({"--undo", x + "/other.journal"}).err, "not a journal of"));
}

// A journal cut at every length, as a kill or a full disk leaves it: the
// undo moves back every file whose record is whole and no other, and
// appends after the last whole record.
TEST_F(UndoTest, AJournalCutAnywhereUndoesExactlyTheFilesItFullyRecords) {
  ASSERT_EQ(run_all(), 0);
  const std::string whole = test::read_bytes(journal());
  const std::optional<Journal> full = parse_journal(whole);
  ASSERT_TRUE(full);
  ASSERT_EQ(full->entries.size(), 4u);
  EXPECT_GT(full->started, 1'700'000'000);
  const std::string cut_path = (temp_.path() / "cut.journal").string();
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    SCOPED_TRACE(length);
    for (const JournalEntry& entry : full->entries) {  // the run's result again
      const fs::path old_path = full->text(entry.old_path), new_path = full->text(entry.new_path);
      if (!fs::exists(old_path)) continue;
      fs::create_directories(new_path.parent_path());
      fs::rename(old_path, new_path);
    }
    test::write_bytes(cut_path, whole.substr(0, length));
    ::chmod(cut_path.c_str(), 0600);
    const std::optional<Journal> cut = read_journal(cut_path);
    if (!cut) continue;  // not even the header is whole
    undo_run(*cut, false, [](const UndoReport&) {});
    for (std::size_t i = 0; i < 4; ++i) {
      const JournalEntry& entry = full->entries[i];
      const bool recorded = entry.new_path.at + entry.new_path.size < length;
      EXPECT_EQ(fs::exists(full->text(entry.old_path)), recorded) << i;
      EXPECT_EQ(fs::exists(full->text(entry.new_path)), !recorded) << i;
    }
    const std::string after = test::read_bytes(cut_path);
    EXPECT_EQ(after.compare(cut->whole_size, 5, "undo "), 0) << after;
  }
}

// The journal is judged as the undo opens it: a file that others may write,
// put in its place after a look at the name, is not followed.
TEST_F(UndoTest, TrustsOnlyTheJournalItOpened) {
  ASSERT_EQ(run_all(), 0);
  const auto renamed = contents("in");
  swap_at = journal();
  swap_in = swap_at + ".theirs";
  test::write_bytes(swap_in, test::read_bytes(swap_at));
  ::chmod(swap_in.c_str(), 0666);
  const test::CliResult r = run_cli({"--undo", swap_at});
  EXPECT_TRUE(swap_at.empty());  // the neighbour had their turn
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "others may write it")) << r.err;
  EXPECT_EQ(contents("in"), renamed);
}

// A link put where the run made a folder leads the undo nowhere: what lies
// below it is left, with the reason, and nothing beyond the link moves or
// goes; with the folder back, a later undo finishes the run.
TEST_F(UndoTest, NeverFollowsALinkPutWhereTheRunMadeAFolder) {
  ASSERT_EQ(run_all(), 0);
  fs::create_directories("private/Waterloo");  // empty: an undo through the link would remove it
  fs::create_directories("private/Arrival");
  test::write_bytes("private/Arrival/Money.mp3", "private");
  fs::rename("in/Abba", "in/Abba.real");
  fs::create_directory_symlink("../private", "in/Abba");
  const auto before_undo = contents(temp_.path());
  for (const bool dry_run : {true, false}) {
    const test::CliResult r =
        run_cli(dry_run ? std::vector<std::string>{"--undo-last", "--dry-run"}
                        : std::vector<std::string>{"--undo-last"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Money.mp3 -> " + (temp_.path() / "in/b.mp3").string() +
                                    ": a link stands where a folder was")) << r.err;
    EXPECT_TRUE(contains(r.err, "in/Abba: a link stands there")) << r.err;
    EXPECT_TRUE(contains(r.err, dry_run ? "1 to move back, 3 would be left" : "undo: 1 moved back, 3 left"))
        << r.err;
  }
  auto expected = before_undo;
  expected.erase("in/Keep/Live");
  expected.erase("in/Keep/Live/Intro.mp3");
  expected["in/d.mp3"] = before_.at("d.mp3");
  EXPECT_EQ(contents(temp_.path()), expected);

  fs::remove("in/Abba");
  fs::rename("in/Abba.real", "in/Abba");
  EXPECT_EQ(run({"--undo-last"}), 0);
  EXPECT_EQ(contents("in"), before_);
}

// A run in a folder whose path is longer than the system takes in one call
// is undone completely: the undo works from the run's folder, held open.
TEST_F(UndoTest, ARunBelowAVeryLongPathIsUndoneCompletely) {
  const std::string part(200, 'd');
  constexpr int kDepth = 24;  // 4,800 bytes and more
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(::mkdir(part.c_str(), 0700), 0);
    ASSERT_EQ(::chdir(part.c_str()), 0);
  }
  make_tree();
  const auto start = contents("in");
  ASSERT_EQ(run_all(), 0);
  ASSERT_NE(contents("in"), start);
  const test::CliResult r = run_cli({"--undo-last"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(contents("in"), start);
  // What the temporary folder's removal could not reach from its own path.
  fs::remove_all("in");
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(::chdir(".."), 0);
    ::rmdir(part.c_str());
  }
}

// The disk holds the journal's first lines and no more: the run stops
// before anything moves or any folder is made, and the torn journal still
// reads and undoes (nothing).
TEST_F(UndoTest, AJournalThatCannotBeWrittenStopsTheRunBeforeAnyChange) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 100;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const test::CliResult r = run_cli({"--format", kTemplate, "--all", "in"});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "stopped before in/a.mp3: cannot write the journal")) << r.err;
  EXPECT_EQ(contents("in"), before_);
  EXPECT_EQ(run({"--undo-last"}), 0);
  EXPECT_TRUE(read_journal(journal())->undone);
}

// The dialog's runs are journaled in the same place and undone the same
// way; a journal that cannot be written changes nothing of the run.
TEST_F(UndoTest, TheDialogsRunsAreJournaledAndUndone) {
  Settings settings;
  settings.method = 1;
  settings.format = kTemplate;
  test::FakeFrontEnd front_end(FileChoice{(temp_.path() / "in/a.mp3").string(), {}});
  run_batch(settings, front_end, start_dialog_journal);
  fs::current_path(temp_.path());
  ASSERT_EQ(front_end.messages.size(), 1u);
  EXPECT_EQ(front_end.messages[0].caption, "Success");
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  4 files  not undone  "));
  EXPECT_EQ(run({"--undo-last"}), 0);
  EXPECT_EQ(contents("in"), before_);

  test::write_bytes("blocked", "");
  ::setenv("XDG_STATE_HOME", (temp_.path() / "blocked").c_str(), 1);
  run_batch(settings, front_end, start_dialog_journal);
  fs::current_path(temp_.path());
  EXPECT_EQ(front_end.messages.back().caption, "Success");
  EXPECT_TRUE(fs::exists("in/Abba/Arrival/Dancing Queen.mp3"));
}

#ifndef _WIN32
int shell(const std::string& command) { return std::system(command.c_str()); }

// A nested run of 20 files killed at each of its system calls in turn; the
// undo then restores the tree byte for byte and leaves no folder.
TEST_F(UndoTest, ARunKilledAtAnySystemCallIsUndoneCompletely) {
  if (shell("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  fs::remove_all("in");
  fs::create_directory("in");
  for (int i = 0; i < 20; ++i) {
    test::write_bytes("in/" + std::to_string(i) + ".mp3",
                      tagged("A" + std::to_string(i % 3), "t" + std::to_string(i),
                             "B" + std::to_string(i % 2)));
  }
  const auto start = contents("in");
  // The leak checker of a sanitized build cannot work under strace.
  ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  const std::string run = std::string(KESTRUNE_CLI_PATH) + " -q --format '" + kTemplate +
                          "' --all in >/dev/null 2>&1";
  ASSERT_EQ(shell("strace -f -qq -o trace " + run), 0);
  ASSERT_EQ(shell(std::string(KESTRUNE_CLI_PATH) + " -q --undo-last"), 0);
  std::map<std::string, int> calls;
  std::ifstream trace("trace");
  for (std::string line; std::getline(trace, line);) {
    // "PID  name(...": the process number is padded to five places.
    const std::size_t name = line.find_first_not_of(' ', line.find(' '));
    const std::size_t paren = line.find('(', name);
    if (name != std::string::npos && paren != std::string::npos) {
      ++calls[line.substr(name, paren - name)];
    }
  }
  // A group's records reach the disk with one flush, not one per file.
  EXPECT_LE(calls["fsync"] + calls["fdatasync"], 6);
  // The disk changes only at these calls; a kill at any other call leaves
  // it as a kill at the next of these does.
  const std::set<std::string> changing = {
      "open", "openat", "creat", "write", "writev", "pwrite64", "fsync", "fdatasync",
      "mkdir", "mkdirat", "rename", "renameat", "renameat2", "link", "linkat", "unlink",
      "unlinkat", "rmdir", "ftruncate", "symlink", "symlinkat", "exit_group"};
  int kills = 0;
  for (const auto& [name, count] : calls) {
    if (changing.count(name) == 0) continue;
    for (int n = 1; n <= count; ++n) {
      SCOPED_TRACE(name + " #" + std::to_string(n));
      shell("strace -f -qq -o /dev/null -e trace=" + name + " -e inject=" + name +
            ":signal=KILL:when=" + std::to_string(n) + " " + run);
      shell(std::string(KESTRUNE_CLI_PATH) + " -q --undo-last >/dev/null 2>&1");
      ASSERT_EQ(contents("in"), start);
      ++kills;
    }
  }
  EXPECT_GT(kills, 60);
}
#endif

}  // namespace
}  // namespace kestrune::runs
