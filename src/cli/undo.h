#pragma once

// Undo of a journaled run: every file back to its old name, newest first,
// never replacing anything, then the folders the run made, if empty.

#include <cstdio>
#include <functional>
#include <string>

#include "cli/journal.h"

namespace kestrune::cli {

// What the undo did with one file or folder.
enum class UndoEvent {
  kMovedBack,      // the file is back at its old name (or would be, in a dry run)
  kGone,           // nothing is at the new name any more: left as it is
  kNameTaken,      // another file holds the old name: left as it is
  kFailed,         // the move back failed for another reason (`error`)
  kFolderRemoved,  // a folder the run made was empty and is gone (or would be)
  kFolderKept,     // a folder the run made holds something else now
  kFolderFailed,   // removing an empty folder failed (`error`)
};

struct UndoReport {
  UndoEvent event = UndoEvent::kMovedBack;
  std::string from;  // for files: the new name; for folders: the folder
  std::string to;    // for files: the old name
  int error = 0;
};

struct UndoResult {
  std::size_t moved_back = 0;
  std::size_t left = 0;            // files reported and left where they are
  std::size_t folders_removed = 0;
  std::size_t folders_failed = 0;
  bool already_undone = false;     // the journal records an undo: nothing done
  std::string journal_error;       // the journal could not be read or written
  bool failed() const { return left > 0 || folders_failed > 0 || !journal_error.empty(); }
};

// Undoes the run that `journal` records, reporting each step as it happens.
// Entries that a second undo finds moved back already are not touched again;
// one that an earlier undo left is tried again. The undo is recorded in the
// journal before the first move, each move after it happens, and the end of
// the undo last; a journal that cannot be written stops the undo before its
// next move. A dry run reports the same steps from what is on the disk now
// and changes nothing, the journal included.
UndoResult undo_run(const Journal& journal, bool dry_run,
                    const std::function<void(const UndoReport&)>& report);

// The newest journal of `runs_folder` whose run was not undone yet; empty
// when there is none.
std::string last_run_to_undo(const std::string& runs_folder);

// The command line's undo: the journal at `journal_path`, or the newest run
// not undone yet when it is empty. Prints "NEW -> OLD" on `out` for each file
// moved back, one line on `err` for each file left with the reason, and a
// summary unless `quiet`. Answers the exit status: 0 when nothing failed, 1
// otherwise.
int run_undo(const std::string& journal_path, bool dry_run, bool quiet, std::FILE* out,
             std::FILE* err);

// The command line's list of runs, oldest first: time, folder, number of
// files renamed, whether undone, and the journal. Answers the exit status.
int list_runs(std::FILE* out, std::FILE* err);

}  // namespace kestrune::cli
