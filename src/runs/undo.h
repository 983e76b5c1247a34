#pragma once

// Undo of a journaled run: every file back to its old name, newest first,
// never replacing anything, then the folders the run made, if empty. Only
// what the journal records as done by the run is touched: regular files at
// their recorded new names, which end in ".mp3", folders it recorded as
// made, and second names it recorded as about to be made at a new name.
// Every name is reached from the run's folder (or, for a path given from
// elsewhere, from the folder its old and new name share) one folder at a
// time, never through a link: a link put where a folder was leaves what
// lies behind it untouched, and a path of any length is undone.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runs/journal.h"

namespace kestrune::runs {

// What the undo did with one file or folder.
enum class UndoEvent {
  kMovedBack,      // the file is back at its old name (or would be, in a dry run)
  kGone,           // nothing is at the new name any more: left as it is
  kNotAFile,       // what is at the new name is not a regular file: left
  kNotMp3,         // the recorded new name does not end in ".mp3": left
  kNameTaken,      // another file holds the old name: left as it is
  kThroughLink,    // a link stands where a folder of either name was: left
  kFailed,         // the move back failed for another reason (`error`)
  kFolderRemoved,  // a folder the run made was empty and is gone (or would be)
  kFolderKept,     // a folder the run made holds something else now
  kFolderFailed,   // removing an empty folder failed (`error`)
  kFolderThroughLink,  // a link stands where the folder or one above it was: kept
};

struct UndoReport {
  UndoEvent event = UndoEvent::kMovedBack;
  std::string from;  // for files: the new name; for folders: the folder
  std::string to;    // for files: the old name
  int error = 0;
};

struct UndoResult {
  std::size_t moved_back = 0;
  std::size_t left = 0;  // files reported and left where they are
  std::size_t folders_removed = 0;
  std::size_t folders_failed = 0;
  bool already_undone = false;  // the journal records a whole undo: nothing done
  JournalError journal_error;   // the journal could not be written
  bool failed() const { return left > 0 || folders_failed > 0 || journal_error.failed(); }
};

// Undoes the run that `journal` records, reporting each step as it happens.
// Files moved back by an earlier undo are not touched again; files an
// earlier undo left are tried again. The undo is recorded in the journal
// before the first move and each move after it happens; the run counts as
// undone (and is recorded so) only when no file was left. A journal that
// cannot be written stops the undo before its next move. A dry run reports
// the same steps from what is on the disk now and changes nothing.
UndoResult undo_run(const Journal& journal, bool dry_run,
                    const std::function<void(const UndoReport&)>& report);

// What the undo of the last run found in the runs folder.
struct LastRun {
  // The newest run not undone yet, read for its undo; nothing when there is
  // none or `problem` says why none may be picked.
  std::optional<Journal> journal;
  // Newer journals passed over: runs still going, journals of another user
  // or that others may write.
  std::vector<std::pair<std::string, JournalProblem>> passed_over;
  // The runs folder is not the user's alone (`in_folder`), or the newest
  // journal not passed over cannot be read: the last run is not known.
  JournalProblem problem;
  std::string problem_path;
  bool in_folder = false;
};

// The newest journal of `runs_folder` whose run was not undone yet, passing
// over those it may not undo. A missing runs folder holds no run.
LastRun last_run_to_undo(const std::string& runs_folder);

}  // namespace kestrune::runs
