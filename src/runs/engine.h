#pragma once

// The rename engine of a run: each file planned (its tags read, its target
// worked out), then renamed in its turn, in groups whose records reach the
// journal's disk together before any file of the group moves.
//
// The two steps are apart on purpose: plan_file() changes nothing and keeps
// no state, so it may run ahead on other threads; Engine::take() is called
// on one thread in the order of the files and does everything that changes
// the disk: the journal, the folders and the renames.

#include <atomic>
#include <cstddef>
#include <limits>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "rename/rename.h"
#include "runs/journal.h"
#include "runs/tag_reader.h"

namespace kestrune::runs {

// One file of a run.
struct PlannedFile {
  std::string source;       // the file: as given, or the listed folder and name
  std::string base_folder;  // where a relative new name resolves; empty: here
  RenamePlan plan;          // what the plan step decided
  std::string target;       // the host path it moves to, for kRename
  // What a folder listing told of the entry; kUnknown: look before opening.
  platform::EntryKind listed = platform::EntryKind::kUnknown;
  // Engine::groups_done() when its planning began: a file planned before
  // the groups ahead of it were renamed is planned again when it turns out
  // to be gone at its rename, as it would have been planned after them.
  std::size_t planned_after = 0;
};

// The plan step of one file: reads its tags through `reader` and works out
// its target into `file` (source, base_folder, listed and planned_after set
// by the caller). Changes nothing on disk; the file is closed again before
// it returns. `rules` are the name rules beyond the template; the defaults
// are the dialog's.
void plan_file(PlannedFile& file, std::string_view pattern, TagReader& reader,
               const NameRules& rules = NameRules());

// plan_file() for up to TagReader::kBatch files at once, their heads and
// tails read together.
void plan_files(std::span<PlannedFile> files, std::string_view pattern, TagReader& reader,
                const NameRules& rules = NameRules());

// What became of one file.
enum class FileResult {
  kRenamed,       // renamed; in a dry run: would be
  kNotRenamed,    // skipped or refused by its plan, which says why
  kFailed,        // making its folders or the rename failed with `error`;
                  // in a dry run: its target exists (EEXIST)
  kPlannedTwice,  // dry run: an earlier file is planned onto the same name
};

// Hears what the engine does, in the order of the files.
class RunListener {
 public:
  virtual ~RunListener() = default;
  virtual void file_done(const PlannedFile& file, FileResult result, int error) = 0;
  // The journal failed: nothing moves any more. `after` tells whether
  // `file` moved before that (it was marked) or is the first left alone.
  virtual void stopped(const PlannedFile& file, bool after, const JournalError& error) = 0;
  // Just before `file` moves, its folders made.
  virtual void before_rename(const PlannedFile& file) { (void)file; }
};

// How many files a run records before one sync puts their records on the
// disk and they are renamed.
inline constexpr std::size_t kJournalGroup = 1024;

struct EngineOptions {
  bool dry_run = false;
  JournalWriter* journal = nullptr;  // none: the run keeps no journal
  std::size_t group_size = kJournalGroup;
  // A file planned onto a name that exists or that an earlier file of the
  // run takes gets the first free one of "NAME (1).mp3", "NAME (2).mp3", ...
  // (first_free_name), its file name kept within `max_file_name` bytes;
  // otherwise it fails as a collision.
  bool suffix_collisions = false;
  std::size_t max_file_name = std::numeric_limits<std::size_t>::max();
  // Where the file system can rename without replacing only at the risk of
  // replacing a file saved at the same moment, rename anyway; otherwise
  // such a file fails with EOPNOTSUPP (platform::rename_no_replace).
  bool allow_racy_rename = true;
  // The template and the rules the files were planned with, to plan again
  // a file that was planned ahead and is gone at its rename.
  std::string_view pattern;
  NameRules rules;
};

class Engine {
 public:
  Engine(const EngineOptions& options, RunListener& listener);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Takes the next file, planned. A real run renames it with its group: once
  // the group is full, or at finish().
  void take(PlannedFile&& file);
  void finish();
  bool stopped() const { return stopped_; }
  // How many groups were renamed so far; any thread may ask.
  std::size_t groups_done() const { return groups_done_.load(std::memory_order_acquire); }

 private:
  class FolderRecorder;
  void flush();
  void simulate(const PlannedFile& file);
  void give_free_name(PlannedFile& file);
  void stop_before(std::size_t from);
  bool replan(PlannedFile& file);

  EngineOptions options_;
  RunListener& listener_;
  std::unique_ptr<FolderRecorder> recorder_;
  std::string current_;  // the current directory, for the journal's paths
  std::vector<PlannedFile> group_;
  std::size_t first_number_ = 1;  // the journal's number of the group's first rename
  std::vector<std::string> made_;
  std::string old_path_, new_path_;
  bool stopped_ = false;
  std::atomic<std::size_t> groups_done_{0};
  std::unique_ptr<TagReader> replanner_;  // made when first needed
  // Dry run, and a run with suffix_collisions: the targets planned so far
  // and the files that will have moved.
  std::unordered_set<std::string> planned_targets_;
  std::unordered_set<std::string> moved_sources_;
  // A run with suffix_collisions: for each name planned (its target's
  // normal path), how far its candidates were judged (give_free_name).
  struct Suffixes {
    int next = 0;              // the first candidate not judged yet
    std::list<int> on_disk;    // judged taken by an entry on the disk, in order
  };
  std::unordered_map<std::string, Suffixes> suffixes_;
};

// The journal of a dialog run, one file at a time: each file's record is on
// the disk before it moves, each folder's before it is made. A journal that
// cannot be written is given up in silence; the run goes on unchanged and
// can be undone as far as its journal got. Closed when destroyed.
std::unique_ptr<RenameWatcher> start_dialog_journal();

}  // namespace kestrune::runs
