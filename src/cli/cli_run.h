#pragma once

// The run of kestrune-cli as functions that tests call in-process: the whole
// program (`run_main`) and its rename loop (`run_renames`), with a hook
// before and after each rename for a journal.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"

namespace kestrune::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// One rename about to happen, or just done.
struct RenameStep {
  std::string source;    // the file: as given, or DIR/name for --all
  std::string new_name;  // the template's result; backslashes separate folders
  std::string target;    // the host path the file moves to
  // The folders this rename made (host paths, outermost first). Folders that
  // existed already are not listed.
  std::vector<std::string> created_folders;
};

// Watches a real run (never a dry run). The run plans its files in groups of
// up to group_size() (fewer when planning a group takes long): it makes the
// folders of each file and calls before_rename, then commit() once, then
// renames the files of the group in order, calling after_rename after each.
// Each hook answers false to stop the run, with `message` saying why;
// nothing after that point is renamed, and the files of the group that were
// not renamed stay, the folders they made removed again when empty.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // How many files a group may hold; 1 renames each file as it is planned.
  virtual std::size_t group_size() const { return 1; }
  // After the folders of `step` were made and before any file of its group
  // moves.
  virtual bool before_rename(const RenameStep& step, std::string& message) = 0;
  // After before_rename for each file of a group, before the first moves.
  virtual bool commit(std::string& message) {
    (void)message;
    return true;
  }
  // After the rename, with 0 when it succeeded, else its errno value.
  virtual bool after_rename(const RenameStep& step, int error, std::string& message) = 0;
};

struct Console {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  // Show a live count of files done on `err` once the run passes a second.
  bool progress = false;
};

struct RunCounts {
  std::size_t renamed = 0;  // in a dry run: planned without conflict
  std::size_t skipped = 0;
  std::size_t failed = 0;   // refused and failed
  bool stopped = false;     // an observer stopped the run
};

// Renames (or, in a dry run, plans) the files of `options` with the template
// `format`, which must not be empty. Prints one "OLD -> NEW" line on `out`
// for each file renamed, one line on `err` for each file skipped, refused or
// failed, and the summary. Writes the error log when asked and a file failed.
// `observer` may be null. Answers the exit status, kExitOk or kExitFailed.
int run_renames(const Options& options, const std::string& format, Console& console,
                RunObserver* observer, RunCounts* counts = nullptr);

// The whole program, given the arguments after its name: parses them, takes
// the template from --format, ./Kestrune.ini or the default, and runs.
// Answers the exit status.
int run_main(const std::vector<std::string>& arguments, Console console);

}  // namespace kestrune::cli
