#include "cli/options.h"

#include <algorithm>
#include <charconv>
#include <thread>

namespace kestrune::cli {

namespace {

constexpr char kOneUndo[] = "give only one of --undo, --undo-last and --list-runs";

std::string quoted(std::string_view text) {
  std::string out(1, '"');
  out.append(text).append(1, '"');
  return out;
}

const std::vector<OptionRow> kOptions = {
    {'\0', "format", "TEMPLATE",
     "name template (default: the Format of ./Kestrune.ini, else \"%artist% - %title%\")",
     [](Options& o, std::string_view value) -> std::string {
       if (value.empty()) return "the template given to --format is empty";
       o.format = std::string(value);
       return {};
     }},
    {'\0', "all", "DIR", "rename every *.mp3 file of the folder DIR",
     [](Options& o, std::string_view value) -> std::string {
       if (o.all_folder) return "--all is given twice";
       if (value.empty()) return "the folder given to --all is empty";
       o.all_folder = std::string(value);
       return {};
     }},
    {'n', "dry-run", "", "print what would happen and touch nothing",
     [](Options& o, std::string_view) -> std::string {
       o.dry_run = true;
       return {};
     }},
    {'\0', "error-log", "FILE", "write the files that failed to FILE, as Error.log",
     [](Options& o, std::string_view value) -> std::string {
       if (value.empty()) return "the file given to --error-log is empty";
       o.error_log = std::string(value);
       return {};
     }},
    {'q', "quiet", "", "print only the files that failed",
     [](Options& o, std::string_view) -> std::string {
       o.quiet = true;
       return {};
     }},
    {'\0', "dialog-rules", "",
     "name files as the dialog does: ID3v2.3 and ID3v1 tags only, tag text unchanged "
     "(its '\\' makes folders, a '/' is refused)",
     [](Options& o, std::string_view) -> std::string {
       o.dialog_rules = true;
       return {};
     }},
    {'\0', "any-id3v2", "", "read every ID3v2 version, also with --dialog-rules (the default)",
     [](Options& o, std::string_view) -> std::string {
       o.any_id3v2 = true;
       return {};
     }},
    {'\0', "portable", "",
     "make names Windows accepts too: no characters it refuses, no device names "
     "(CON_), paths cut to its length",
     [](Options& o, std::string_view) -> std::string {
       o.portable = true;
       return {};
     }},
    {'\0', "track-digits", "N", "write %track% with N digits, 1 to 10 (\"3/12\" with 2: \"03\")",
     [](Options& o, std::string_view value) -> std::string {
       const bool number = value.size() == 1 ? value[0] >= '1' && value[0] <= '9' : value == "10";
       if (!number) return "--track-digits needs a number from 1 to 10, not " + quoted(value);
       o.track_digits = value == "10" ? 10 : value[0] - '0';
       return {};
     }},
    {'\0', "on-collision", "MODE",
     "a name that is taken: fail (the default) or suffix (\"NAME (1).mp3\", ...)",
     [](Options& o, std::string_view value) -> std::string {
       if (value == "fail") {
         o.on_collision = Collision::kFail;
       } else if (value == "suffix") {
         o.on_collision = Collision::kSuffix;
       } else {
         return "--on-collision takes fail or suffix, not " + quoted(value);
       }
       return {};
     }},
    {'\0', "journal", "FILE", "keep the journal of the run in FILE, not in the state folder",
     [](Options& o, std::string_view value) -> std::string {
       if (value.empty()) return "the file given to --journal is empty";
       o.journal = std::string(value);
       return {};
     }},
    {'\0', "no-journal", "", "keep no journal: the run cannot be undone",
     [](Options& o, std::string_view) -> std::string {
       o.no_journal = true;
       return {};
     }},
    {'\0', "allow-racy-rename", "",
     "rename even where the file system can only risk replacing a file saved at the same moment",
     [](Options& o, std::string_view) -> std::string {
       o.allow_racy_rename = true;
       return {};
     }},
    {'\0', "jobs", "N", "read the tags on N threads (default: one per processor, 2 to 8)",
     [](Options& o, std::string_view value) -> std::string {
       std::size_t jobs = 0;
       const char* end = value.data() + value.size();
       const auto [stop, error] = std::from_chars(value.data(), end, jobs);
       if (error != std::errc() || stop != end || jobs < 1 || jobs > kMaxJobs) {
         return "--jobs needs a number from 1 to " + std::to_string(kMaxJobs) + ", not " +
                quoted(value);
       }
       o.jobs = jobs;
       return {};
     }},
    {'\0', "undo", "JOURNAL", "undo the run that the journal JOURNAL records",
     [](Options& o, std::string_view value) -> std::string {
       if (value.empty()) return "the journal given to --undo is empty";
       if (o.action == Action::kUndo || o.action == Action::kListRuns) return kOneUndo;
       o.action = Action::kUndo;
       o.undo = std::string(value);
       return {};
     }},
    {'\0', "undo-last", "", "undo the newest run not undone yet",
     [](Options& o, std::string_view) -> std::string {
       if (o.action == Action::kUndo || o.action == Action::kListRuns) return kOneUndo;
       o.action = Action::kUndo;
       return {};
     }},
    {'\0', "list-runs", "", "list the runs: time, folder, files, undone or not",
     [](Options& o, std::string_view) -> std::string {
       if (o.action == Action::kUndo || o.action == Action::kListRuns) return kOneUndo;
       o.action = Action::kListRuns;
       return {};
     }},
    {'\0', "no-config", "", "leave the settings file (below) unread",
     [](Options&, std::string_view) -> std::string { return {}; }},
    {'\0', "help", "", "show this help and exit",
     [](Options& o, std::string_view) -> std::string {
       o.action = Action::kHelp;
       return {};
     }},
    {'\0', "version", "", "show the version and exit",
     [](Options& o, std::string_view) -> std::string {
       o.action = Action::kVersion;
       return {};
     }},
};

const OptionRow* find_long(std::string_view name) {
  for (const OptionRow& option : kOptions) {
    if (option.long_name == name) return &option;
  }
  return nullptr;
}

const OptionRow* find_short(char name) {
  for (const OptionRow& option : kOptions) {
    if (option.short_name != '\0' && option.short_name == name) return &option;
  }
  return nullptr;
}

// The checks that concern the command as a whole.
std::string check_command(const Options& options) {
  if (options.journal && options.no_journal) return "give either --journal or --no-journal";
  if (options.action == Action::kUndo || options.action == Action::kListRuns) {
    if (!options.files.empty() || options.all_folder) {
      return "--undo, --undo-last and --list-runs take no files";
    }
    if (options.journal || options.no_journal) return "--journal and --no-journal are for renames";
  }
  if (options.action != Action::kRename) return {};
  if (options.all_folder && !options.files.empty()) {
    return "give either files or --all DIR, not both";
  }
  if (!options.all_folder && options.files.empty()) return "no files given";
  return {};
}

}  // namespace

const std::vector<OptionRow>& option_table() { return kOptions; }

std::size_t default_jobs() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 8);
}

ParseResult parse_arguments(const std::vector<std::string>& arguments, const Options& defaults) {
  ParseResult result;
  result.options = defaults;
  Options& options = result.options;
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size() && result.error.empty(); ++i) {
    const std::string& argument = arguments[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      options.files.push_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument[1] == '-') {
      const std::string_view body = std::string_view(argument).substr(2);
      const std::size_t equals = body.find('=');
      const std::string_view name = body.substr(0, equals);
      const OptionRow* row = find_long(name);
      if (row == nullptr) {
        result.error = "unknown option " + quoted("--" + std::string(name));
      } else if (row->value_name.empty()) {
        if (equals != std::string_view::npos) {
          result.error = "--" + std::string(name) + " takes no value";
        } else {
          result.error = row->apply(options, {});
        }
      } else if (equals != std::string_view::npos) {
        result.error = row->apply(options, body.substr(equals + 1));
      } else if (i + 1 < arguments.size()) {
        result.error = row->apply(options, arguments[++i]);
      } else {
        result.error = "--" + std::string(name) + " needs a " + std::string(row->value_name);
      }
    } else {
      // One or more short flags: "-n", "-q", "-nq".
      for (std::size_t k = 1; k < argument.size() && result.error.empty(); ++k) {
        const OptionRow* row = find_short(argument[k]);
        if (row == nullptr || !row->value_name.empty()) {
          result.error = "unknown option " + quoted(std::string{'-', argument[k]});
        } else {
          result.error = row->apply(options, {});
        }
      }
    }
  }
  if (result.error.empty()) result.error = check_command(options);
  return result;
}

NameRules name_rules(const Options& options) {
  NameRules rules;  // the dialog's
  if (!options.dialog_rules) {
    rules.reader = Id3v2Reader::kAnyId3v2;
    rules.template_folders_only = true;
    // The command line's own template language (rename/template_script.h).
    rules.functions = true;
  }
  if (options.any_id3v2) rules.reader = Id3v2Reader::kAnyId3v2;
  rules.portable = options.portable;
  rules.track_digits = options.track_digits;
  return rules;
}

std::string usage_text() {
  std::string text =
      "Usage: kestrune-cli [options] FILE...\n"
      "       kestrune-cli [options] --all DIR\n"
      "Renames MP3 files after their ID3 tags (ID3v1 and every ID3v2 version).\n"
      "New names resolve against each file's own folder; a '/' or '\\' in the\n"
      "template makes a folder, one in tag text becomes '_'. An existing file\n"
      "is never replaced. --dialog-rules names files exactly as the dialog does.\n"
      "\n"
      "Options:\n";
  std::vector<std::string> lefts;
  std::size_t column = 0;
  for (const OptionRow& option : kOptions) {
    std::string left = "  ";
    left += option.short_name != '\0' ? std::string{'-', option.short_name, ',', ' '} : "    ";
    left.append("--").append(option.long_name);
    if (!option.value_name.empty()) left.append(" ").append(option.value_name);
    column = std::max(column, left.size() + 2);  // at least two spaces before the help
    lefts.push_back(std::move(left));
  }
  // The help text wraps at a word so that no line passes kWidth columns.
  constexpr std::size_t kWidth = 79;
  for (std::size_t i = 0; i < kOptions.size(); ++i) {
    std::string line = lefts[i];
    std::string_view help = kOptions[i].help;
    while (!help.empty()) {
      line.resize(column, ' ');
      std::size_t take = help.size();
      if (column + take > kWidth) {
        const std::size_t space = help.rfind(' ', kWidth - column);
        take = space == std::string_view::npos || space == 0 ? help.size() : space;
      }
      line.append(help.substr(0, take));
      text += line + "\n";
      line.clear();
      help.remove_prefix(std::min(take + 1, help.size()));
    }
  }
  text +=
      "\n"
      "Fields: %title% %artist% %album% %year% %track% %comment% %albumartist%\n"
      "  %disc% %genre% %composer% %filename%; functions: $if $if2 $upper $lower\n"
      "  $title $left $right $num $replace $trim $swapprefix $initial, e.g.\n"
      "  \"$if2(%albumartist%,%artist%)\\$num(%track%,2) %title%\". Each is described\n"
      "  under TEMPLATES in kestrune-cli(1) and in the README.\n"
#ifdef _WIN32
      "Settings: %APPDATA%\\Kestrune\\kestrune-cli.conf, "
#else
      "Settings: $XDG_CONFIG_HOME/kestrune/kestrune-cli.conf (~/.config/...), "
#endif
      "one long option a line\n"
      "(\"portable\", \"track-digits = 2\"), # comments; the command line overrides it.\n"
      "Exit status: 0 when nothing failed, 1 when a file failed, 2 for a usage error.\n";
  return text;
}

}  // namespace kestrune::cli
