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
#include <sstream>
#include <string>
#include <vector>

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

// What follows `prefix` on each line of `text` that starts with it.
std::vector<std::string> lines_after(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
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
// The dry undo announces what the undo does, folder by folder, also for a
// name with an empty folder part (an artist and no album).
TEST_F(UndoTest, RestoresTheExactTreeAcrossUndosThatLeaveFiles) {
  test::write_bytes("in/e.mp3", tagged("Burial", "Archangel", ""));
  before_ = contents("in");
  ASSERT_EQ(run_all(), 0);
  EXPECT_FALSE(contains(test::read_bytes(journal()), "//"));  // each path in one form
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  5 files  not undone  "));
  fs::rename("in/Abba/Arrival", "away");
  test::write_bytes("in/d.mp3", "a new file on the old name");
  const auto renamed = contents(temp_.path());
  const test::CliResult preview = run_cli({"--undo-last", "--dry-run"});
  EXPECT_EQ(contents(temp_.path()), renamed);  // a dry run changes nothing
  const test::CliResult first = run_cli({"--undo-last"});
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.out, preview.out);
  EXPECT_EQ(lines_after(first.err, "removed folder: "),
            lines_after(preview.err, "would remove folder: "));
  EXPECT_TRUE(contains(first.err, "Intro.mp3 -> " + (temp_.path() / "in/d.mp3").string() +
                                      ": target exists")) << first.err;
  EXPECT_TRUE(contains(first.err, "undo: 2 moved back, 3 left, 3 folders removed")) << first.err;
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
  EXPECT_TRUE(contains(run_cli({"--list-runs"}).out, "  5 files  undone  "));
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

// The last run is the newest journal in the user's own runs folder: a newer
// one of another user, that others may write or whose run is going is passed
// over with a note; one that cannot be read stops the undo, which never
// undoes an older run in its place; a folder others may write is refused.
TEST_F(UndoTest, UndoesTheLastRunOnlyWhenItKnowsWhichItIs) {
  ASSERT_EQ(run_all(), 0);
  const auto renamed = contents("in");
  const fs::path runs = *runs_folder();
  const std::string newer = (runs / "2999-01-01T00-00-00Z.journal").string();
  const std::string head = "kestrune-journal 1\nstarted 2999-01-01T00:00:00Z\nfolder /\n";
  const struct { const char* bytes; mode_t mode; bool other_owner; const char* message; } cases[] = {
      {"", 0600, false, "the newest journal " },  // born empty by an older version
      {"kestrune-journal", 0600, false, "not a journal of kestrune-cli"},
      {"x", 0000, false, "Permission denied"},
      {nullptr, 0622, false, "passing over the journal "},
      {nullptr, 0600, true, "it belongs to another user"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    if (c.other_owner && ::geteuid() != 0) continue;
    test::write_bytes(newer, c.bytes != nullptr ? std::string(c.bytes) : head);
    ::chmod(newer.c_str(), c.mode);
    if (c.other_owner) { ASSERT_EQ(::chown(newer.c_str(), 65534, 65534), 0); }
    if (c.mode == 0000 && ::geteuid() == 0) continue;  // root reads it anyway
    const test::CliResult r = run_cli({"--undo-last", "--dry-run"});
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    if (c.bytes != nullptr) {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.err, "cannot tell the last run")) << r.err;
      EXPECT_EQ(run({"--undo-last"}), 1);
      EXPECT_EQ(contents("in"), renamed);
    } else {
      EXPECT_TRUE(contains(r.err, "would undo the run of ")) << r.err;
    }
    fs::remove(newer);
  }
  fs::permissions(runs, fs::perms(0777));
  const test::CliResult shared = run_cli({"--undo-last"});
  EXPECT_EQ(shared.status, 1);
  EXPECT_TRUE(contains(shared.err, "runs folder " + runs.string() + ": others may write it"))
      << shared.err;
  EXPECT_EQ(contents("in"), renamed);
  fs::permissions(runs, fs::perms(0700));
  EXPECT_EQ(run({"--undo-last"}), 0);
  EXPECT_EQ(contents("in"), before_);
}

// A run killed after it made a second name at a file's new name and before
// the rename (a file system without a no-replace rename): the undo removes
// that name when the journal says it was made and it is still the same file
// or an empty reservation, and leaves anything else.
TEST_F(UndoTest, RemovesTheSecondNameAKilledRunLeftAndNothingElse) {
  const std::string x = temp_.path().string();
  const std::string path = x + "/killed.journal";
  const struct { const char* record; bool link; const char* content; bool removed; } cases[] = {
      {"second 1\n", true, nullptr, true},       // a hard link to the file
      {"second 1\n", false, "", true},           // a reservation
      {"second 1\n", false, "theirs", false},    // a file saved over the reservation
      {"", false, "", false},                    // not made by the run
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.record) + (c.content != nullptr ? c.content : "link"));
    test::write_bytes(path, "kestrune-journal 1\nstarted 2026-12-06T22:59:04Z\nfolder " + x +
                                "\nrename 1 " + x + "/in/a.mp3 " + x + "/in/new.mp3\n" + c.record);
    ::chmod(path.c_str(), 0600);
    if (c.link) {
      fs::create_hard_link("in/a.mp3", "in/new.mp3");
    } else {
      test::write_bytes("in/new.mp3", c.content);
    }
    EXPECT_EQ(run({"--undo", path}), 0);
    EXPECT_EQ(fs::exists("in/new.mp3"), !c.removed);
    fs::remove("in/new.mp3");
    EXPECT_EQ(contents("in"), before_);
  }
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

// An undo while the run is still going, paused before its second group:
// the run's journal is neither undone nor touched, the last run is not it;
// once the run ends, one undo restores every file.
TEST_F(UndoTest, AnUndoWaitsUntilTheRunHasEnded) {
  fs::remove_all("in");
  fs::create_directory("in");
  const std::size_t count = kJournalGroup + 6;
  for (std::size_t i = 0; i < count; ++i) {
    test::write_bytes("in/" + std::to_string(i) + ".mp3",
                      tagged("A", "t" + std::to_string(i), "B" + std::to_string(i % 2)));
  }
  const auto start = contents("in");
  cli::Options options;
  options.all_folder = "in";
  test::Captured captured;
  JournalWriter writer =
      JournalWriter::in_folder(*runs_folder(), now_utc(), temp_.path().string());
  std::size_t moving = 0;
  std::vector<test::CliResult> undos;
  std::string journal_then, journal_after;
  const auto undo_meanwhile = [&](const PlannedFile&) {
    if (++moving != kJournalGroup + 1) return;
    journal_then = test::read_bytes(writer.path());
    undos.push_back(run_cli({"--undo", writer.path()}));
    undos.push_back(run_cli({"--undo-last"}));
    undos.push_back(run_cli({"--list-runs"}));
    journal_after = test::read_bytes(writer.path());
  };
  ASSERT_EQ(cli::run_renames(options, kTemplate, captured.console, &writer, undo_meanwhile), 0);
  ASSERT_TRUE(writer.close());
  ASSERT_EQ(undos.size(), 3u);
  EXPECT_EQ(undos[0].status, 1);
  EXPECT_TRUE(contains(undos[0].err, ": the run is still going")) << undos[0].err;
  EXPECT_TRUE(contains(undos[1].err, "passing over the journal ")) << undos[1].err;
  EXPECT_TRUE(contains(undos[1].err, "nothing to undo")) << undos[1].err;
  EXPECT_TRUE(contains(undos[2].out, "  still going  ")) << undos[2].out;
  EXPECT_EQ(journal_after, journal_then);
  EXPECT_TRUE(contains(journal_then, "done " + std::to_string(kJournalGroup) + "\n"));

  const test::CliResult undo = run_cli({"--undo-last"});
  EXPECT_EQ(undo.status, 0) << undo.err;
  EXPECT_TRUE(contains(undo.err, "undo: " + std::to_string(count) + " moved back")) << undo.err;
  EXPECT_EQ(contents("in"), start);
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
      // No journal is ever found without its first lines.
      EXPECT_EQ(shell(std::string(KESTRUNE_CLI_PATH) + " --list-runs >/dev/null 2>&1"), 0);
      shell(std::string(KESTRUNE_CLI_PATH) + " -q --undo-last >/dev/null 2>&1");
      ASSERT_EQ(contents("in"), start);
      ++kills;
    }
  }
  EXPECT_GT(kills, 60);
  // A run and an undo at once: whichever comes first, nothing of the run is
  // lost to its journal, and one more undo restores the tree.
  const std::string undo = std::string(KESTRUNE_CLI_PATH) + " -q --undo-last >/dev/null 2>&1";
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    shell("(" + run + ") & " + undo + "; wait");
    shell(undo);
    ASSERT_EQ(contents("in"), start);
  }
}
#endif

}  // namespace
}  // namespace kestrune::runs
