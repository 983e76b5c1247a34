#pragma once

// The command line of kestrune-cli: what it asks for, parsed from one table
// of options so that a new option is one row and one field.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rename/rename.h"

namespace kestrune::cli {

// What a run does with a file planned onto a name that is taken.
enum class Collision {
  kFail,    // the file fails and nothing is replaced
  kSuffix,  // the file gets the first free name of "NAME (1).mp3", "NAME (2).mp3", ...
};

enum class Action {
  kRename,   // rename the files (or plan them, in a dry run)
  kHelp,     // print the usage text
  kVersion,  // print the version
  kUndo,      // undo a journaled run: --undo JOURNAL or --undo-last
  kListRuns,  // list the journaled runs
};

// How many threads read the tags of a run ahead of its renames, unless
// --jobs says otherwise: one per processor, from 2 to 8. Each hands the reads
// of a batch of files to the system together, so the disk has work enough
// with few threads; the README tells how this was chosen.
std::size_t default_jobs();
inline constexpr std::size_t kMaxJobs = 64;

struct Options {
  Action action = Action::kRename;
  std::optional<std::string> format;     // --format; else Kestrune.ini or the default
  bool dry_run = false;                  // -n, --dry-run
  bool quiet = false;                    // -q, --quiet
  std::optional<std::string> error_log;  // --error-log FILE
  std::optional<std::string> all_folder; // --all DIR
  std::vector<std::string> files;        // FILE...
  std::optional<std::string> journal;    // --journal FILE
  bool no_journal = false;               // --no-journal
  bool allow_racy_rename = false;        // --allow-racy-rename
  std::size_t jobs = 0;                  // --jobs N; 0: default_jobs()
  std::optional<std::string> undo;       // --undo JOURNAL; kUndo without it: the last run
  bool dialog_rules = false;             // --dialog-rules: the dialog's tags and names
  bool any_id3v2 = false;                // --any-id3v2: every ID3v2 version, whatever the rules
  bool portable = false;                 // --portable
  int track_digits = 0;                  // --track-digits N; 0: the track as written
  Collision on_collision = Collision::kFail;  // --on-collision fail|suffix
};

// One option of the table. `apply` receives the value for options that take
// one (`value_name` set) and an empty view otherwise; it answers an error
// message, or an empty string when the value is accepted.
struct OptionRow {
  char short_name;           // '\0' when there is none
  std::string_view long_name;
  std::string_view value_name;  // empty for a flag
  std::string_view help;
  std::string (*apply)(Options& options, std::string_view value);
};

// Every option kestrune-cli knows, in the order --help lists them.
const std::vector<OptionRow>& option_table();

struct ParseResult {
  Options options;
  std::string error;  // empty when the command line is valid
};

// Parses the arguments after the program's name. Options and files may be
// mixed; "--" ends the options; "--name=value" and "--name value" both work;
// flags without values may be bundled ("-nq"). After the table, the whole
// command is checked (files or --all, not both). The options start as
// `defaults` (those of the settings file), which the arguments override.
ParseResult parse_arguments(const std::vector<std::string>& arguments,
                            const Options& defaults = Options());

// The rules for new names that the options ask for. By default every ID3v2
// version is read and only the template makes folders (tag text's '/' and
// '\' become '_'); --dialog-rules gives the dialog's rules (NameRules()).
NameRules name_rules(const Options& options);

// The text --help prints.
std::string usage_text();

}  // namespace kestrune::cli
