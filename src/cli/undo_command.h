#pragma once

// The command line's undo and list of runs: the words around runs/undo.h.

#include <cstdio>
#include <string>

#include "runs/journal.h"

namespace kestrune::cli {

// The undo: the journal at `journal_path`, or the newest run not undone yet
// when it is empty. Prints "NEW -> OLD" on `out` for each file moved back,
// one line on `err` for each file left with the reason, and a summary unless
// `quiet`. Answers the exit status: 0 when nothing failed, 1 otherwise.
int run_undo(const std::string& journal_path, bool dry_run, bool quiet, std::FILE* out,
             std::FILE* err);

// The list of runs, oldest first: time, folder, number of files renamed,
// whether undone, and the journal. Answers the exit status.
int list_runs(std::FILE* out, std::FILE* err);

// "cannot write the journal PATH: REASON".
std::string journal_error_text(const runs::JournalError& error);

}  // namespace kestrune::cli
