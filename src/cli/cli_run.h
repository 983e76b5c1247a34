#pragma once

// The run of kestrune-cli as functions that tests call in-process: the whole
// program (`run_main`) and its rename run (`run_renames`), the engine of
// runs/engine.h with the command line's words around it.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "runs/engine.h"

namespace kestrune::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Console {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  // Show a live count of files done on `err` once the run passes a second.
  bool progress = false;
};

// Renames (or, in a dry run, plans) the files of `options` with the template
// `format`, which must not be empty, recording them in `journal` when given.
// Prints one "OLD -> NEW" line on `out` for each file renamed, one line on
// `err` for each file skipped, refused or failed, and the summary. Writes
// the error log when asked and a file failed. `before_rename`, when set, is
// called just before each file moves. With --all, `all_listed` is the
// folder's listing, taken over; without it the folder is listed here, and
// one that cannot be read is reported and fails the run before anything
// else. Answers kExitOk or kExitFailed.
int run_renames(const Options& options, const std::string& format, Console& console,
                runs::JournalWriter* journal,
                const std::function<void(const runs::PlannedFile&)>& before_rename = {},
                platform::FileList* all_listed = nullptr);

// The whole program, given the arguments after its name: reads the settings
// file (config_file.h) unless --no-config, parses the arguments over it,
// takes the template from --format, ./Kestrune.ini or the default, and runs
// with the journal the options ask for. Answers the exit status.
int run_main(const std::vector<std::string>& arguments, Console console);

}  // namespace kestrune::cli
