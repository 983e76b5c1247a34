#include "cli/cli_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "app/batch.h"
#include "app/settings.h"
#include "cli/config_file.h"
#include "cli/report.h"
#include "cli/undo_command.h"
#include "platform/platform.h"
#include "runs/plan_ahead.h"
#include "rename/name_rules.h"
#include "rename/template_script.h"

#ifndef KESTRUNE_VERSION
#define KESTRUNE_VERSION "unknown"
#endif

namespace kestrune::cli {

namespace {

struct RunCounts {
  std::size_t renamed = 0;  // in a dry run: planned without conflict
  std::size_t skipped = 0;
  std::size_t failed = 0;   // refused and failed
  bool stopped = false;     // the journal failed and stopped the run
};

// A settings file holds a few lines; anything larger is not one.
constexpr std::size_t kMaxConfigSize = 64 * 1024;

using runs::FileResult;
using runs::PlannedFile;

// Why --error-log FILE was left alone.
std::string error_list_reason(const ErrorListResult& result) {
  switch (result.refusal) {
    case ErrorListRefusal::kLink:
      return "it is a link, and the list is never written through one";
    case ErrorListRefusal::kNotAFile:
      return "not a regular file";
    case ErrorListRefusal::kNotAnErrorList:
      return "it is neither empty nor an earlier error list";
    case ErrorListRefusal::kFailed:
      return errno_reason(result.error);
    case ErrorListRefusal::kNone:
      break;
  }
  return "";
}

// Puts what the engine does into the command line's words.
class Printer : public runs::RunListener {
 public:
  Printer(const Options& options, Console& console,
          const std::function<void(const PlannedFile&)>& before_rename)
      : options_(options), console_(console), before_rename_(before_rename) {}

  void file_done(const PlannedFile& file, FileResult result, int error) override;
  void stopped(const PlannedFile& file, bool after, const runs::JournalError& error) override {
    counts_.stopped = true;
    print_err(std::string(after ? "stopped after " : "stopped before ") + escaped(file.source) +
              ": " + journal_error_text(error));
  }
  void before_rename(const PlannedFile& file) override {
    if (before_rename_) before_rename_(file);
  }

  void show_progress(std::size_t done, std::size_t total);
  void finish();
  const RunCounts& counts() const { return counts_; }
  bool error_log_failed() const { return error_log_failed_; }

 private:
  void problem(std::string_view kind, const PlannedFile& file, bool with_target,
               std::string_view reason, bool failure);
  void print_err(const std::string& line);

  const Options& options_;
  Console& console_;
  const std::function<void(const PlannedFile&)>& before_rename_;
  RunCounts counts_;
  FailureList failures_;
  bool error_log_failed_ = false;
  std::string line_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_progress_{};
  bool progress_shown_ = false;
};

void Printer::file_done(const PlannedFile& file, FileResult result, int error) {
  const char* failed = options_.dry_run ? "would fail" : "failed";
  switch (result) {
    case FileResult::kRenamed:
      ++counts_.renamed;
      if (options_.quiet) return;
      line_.clear();
      append_escaped(line_, file.source);
      line_ += " -> ";
      append_escaped(line_, file.target);
      line_ += '\n';
      std::fwrite(line_.data(), 1, line_.size(), console_.out);
      return;
    case FileResult::kFailed:
      problem(failed, file, true, errno_reason(error), true);
      return;
    case FileResult::kPlannedTwice:
      problem(failed, file, true, "another file is planned onto the same name", true);
      return;
    case FileResult::kNotRenamed:
      break;
  }
  const std::string reason =
      plan_reason(file.plan, name_rules(options_).reader == Id3v2Reader::kAnyId3v2);
  switch (file.plan.outcome) {
    case PlanOutcome::kSkipNotRegular:
      // A file named on the command line that is not there is not renamed.
      if (file.plan.kind != platform::EntryKind::kMissing) {
        problem("skipped", file, false, reason, false);
        return;
      }
      [[fallthrough]];
    case PlanOutcome::kFailUnreadable:
      problem(failed, file, false, reason, true);
      return;
    case PlanOutcome::kFailTarget:
      problem(failed, file, true, reason, true);
      return;
    case PlanOutcome::kRename:
    case PlanOutcome::kSkipNoArgument:
    case PlanOutcome::kSkipNoTag:
    case PlanOutcome::kSkipNotMp3Name:
      problem("skipped", file, false, reason, false);
      return;
    default:
      problem("refused", file, false, reason, true);
      return;
  }
}

void Printer::problem(std::string_view kind, const PlannedFile& file, bool with_target,
                      std::string_view reason, bool failure) {
  if (failure) {
    ++counts_.failed;
    failures_.add(escaped(file.source));
  } else {
    ++counts_.skipped;
    if (options_.quiet) return;
  }
  std::string line(kind);
  line += ": ";
  append_escaped(line, file.source);
  if (with_target) {
    line += " -> ";
    append_escaped(line, file.target);
  }
  line += ": ";
  line += reason;
  print_err(line);
}

void Printer::print_err(const std::string& line) {
  if (progress_shown_) {
    std::fputs("\r\x1b[K", console_.err);
    progress_shown_ = false;
  }
  // The standard output may hold renames printed before this line.
  std::fflush(console_.out);
  std::fprintf(console_.err, "%s\n", line.c_str());
}

void Printer::show_progress(std::size_t done, std::size_t total) {
  if (options_.quiet || !console_.progress) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - started_ < std::chrono::seconds(1)) return;
  if (progress_shown_ && now - last_progress_ < std::chrono::milliseconds(100)) return;
  last_progress_ = now;
  progress_shown_ = true;
  std::fprintf(console_.err, "\r%zu/%zu files", done, total);
  std::fflush(console_.err);
}

void Printer::finish() {
  if (progress_shown_) {
    std::fputs("\r\x1b[K", console_.err);
    progress_shown_ = false;
  }
  std::fflush(console_.out);
  if (options_.error_log && !options_.dry_run && !failures_.empty()) {
    const ErrorListResult written = write_error_list(*options_.error_log, failures_.log_bytes());
    if (written.refusal != ErrorListRefusal::kNone) {
      error_log_failed_ = true;
      print_err("cannot write the error log " + escaped(*options_.error_log) + ": " +
                error_list_reason(written));
    }
  }
  if (options_.quiet) return;
  const std::string counts = std::to_string(counts_.renamed);
  if (options_.dry_run) {
    print_err("dry run: " + counts + " to rename, " + std::to_string(counts_.skipped) +
              " skipped, " + std::to_string(counts_.failed) + " would fail");
  } else {
    print_err(counts + " renamed, " + std::to_string(counts_.skipped) + " skipped, " +
              std::to_string(counts_.failed) + " failed");
  }
}

// Whether a name ends in ".mp3" in any letter case, as the names --all lists
// do: a file of another kind keeps its own extension.
bool has_mp3_name(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view ending = name.substr(name.size() - 4);
  return ending[0] == '.' && (ending[1] | 0x20) == 'm' && (ending[2] | 0x20) == 'p' &&
         ending[3] == '3';
}

int folder_error(Console& console, const std::string& folder, int error) {
  std::fprintf(console.err, "kestrune-cli: cannot read the folder %s: %s\n",
               escaped(folder).c_str(), errno_reason(error).c_str());
  return kExitFailed;
}

int usage_error(Console& console, const std::string& message) {
  std::fprintf(console.err, "kestrune-cli: %s\nTry \"kestrune-cli --help\".\n", message.c_str());
  return kExitUsage;
}

// A rename run with the journal `options` ask for: none in a dry run or
// with --no-journal, the file of --journal, or else a new one in the runs
// folder. A journal that cannot be written stops the run before its next
// rename.
int run_journaled(const Options& options, const std::string& format, Console& console,
                  platform::FileList& listed) {
  if (options.dry_run || options.no_journal) {
    return run_renames(options, format, console, nullptr, {}, &listed);
  }
  const std::string folder = platform::current_directory().value_or(std::string());
  runs::JournalWriter journal =
      options.journal
          ? runs::JournalWriter::at_path(platform::join_path(folder, *options.journal),
                                         runs::now_utc(), folder)
          : runs::JournalWriter::in_folder(runs::runs_folder().value_or(std::string()),
                                           runs::now_utc(), folder);
  int status = run_renames(options, format, console, &journal, {}, &listed);
  const bool failed_before = journal.failed();
  if (!journal.close() && !failed_before) {
    std::fflush(console.out);
    std::fprintf(console.err, "kestrune-cli: %s\n", journal_error_text(journal.error()).c_str());
    status = kExitFailed;
  }
  return status;
}

}  // namespace

int run_renames(const Options& options, const std::string& format, Console& console,
                runs::JournalWriter* journal,
                const std::function<void(const PlannedFile&)>& before_rename,
                platform::FileList* all_listed) {
  Printer printer(options, console, before_rename);
  runs::EngineOptions engine_options;
  engine_options.dry_run = options.dry_run;
  engine_options.journal = journal;
  engine_options.group_size = journal != nullptr ? runs::kJournalGroup : 1;
  engine_options.pattern = format;
  engine_options.suffix_collisions = options.on_collision == Collision::kSuffix;
  engine_options.allow_racy_rename = options.allow_racy_rename;
  const NameRules rules = name_rules(options);
  if (rules.portable) engine_options.max_file_name = kMaxNamePart;
  engine_options.rules = rules;
  runs::Engine engine(engine_options, printer);

  // --all: the listing is taken whole before anything moves, so renamed
  // files are not met again. It tells which entries are regular files, so
  // that only the others are looked at before they are opened.
  platform::FileList listed;
  if (options.all_folder && all_listed != nullptr) {
    listed = std::move(*all_listed);
  } else if (options.all_folder) {
    int error = 0;
    listed = platform::list_mp3_entries(*options.all_folder, &error);
    if (error != 0) return folder_error(console, *options.all_folder, error);
  } else {
    for (const std::string& name : options.files) listed.add(name);
  }
  // The tags are read by `jobs` threads ahead of the renames, which the
  // engine makes on this thread in the order of the files. The window holds
  // a whole journal group, so the readers go on while a group is synced.
  const std::size_t jobs = options.jobs != 0 ? options.jobs : default_jobs();
  std::vector<std::unique_ptr<runs::TagReader>> readers(jobs);
  runs::PlanAhead<PlannedFile> ahead(
      listed.size(), jobs, 2 * runs::kJournalGroup, runs::TagReader::kBatch,
      [&](std::size_t first, std::span<PlannedFile> files, std::size_t worker) {
        const std::size_t groups_done = engine.groups_done();
        for (std::size_t i = 0; i < files.size(); ++i) {
          PlannedFile& file = files[i];
          const std::string_view name = listed.name(first + i);
          if (options.all_folder) {
            file.source = platform::join_path(*options.all_folder, name);
            file.base_folder = *options.all_folder;
          } else {
            file.source = name;
            file.base_folder = folder_of(file.source);
          }
          file.listed = listed.kind(first + i);
          file.planned_after = groups_done;
        }
        if (!readers[worker]) readers[worker] = std::make_unique<runs::TagReader>();
        // A named file that is not called *.mp3 is not read at all; the
        // others are read in runs between such names.
        std::size_t start = 0;
        for (std::size_t i = 0; i <= files.size(); ++i) {
          if (i < files.size() && has_mp3_name(listed.name(first + i))) continue;
          if (i > start) {
            runs::plan_files(files.subspan(start, i - start), format, *readers[worker], rules);
          }
          if (i < files.size()) {
            files[i].plan = RenamePlan();
            files[i].plan.outcome = PlanOutcome::kSkipNotMp3Name;
            files[i].target.clear();
          }
          start = i + 1;
        }
      });
  std::size_t done = 0;
  PlannedFile file;
  while (!engine.stopped() && ahead.next(file)) {
    engine.take(std::move(file));
    printer.show_progress(++done, listed.size());
  }
  engine.finish();
  printer.finish();
  const RunCounts& result = printer.counts();
  return result.failed == 0 && !result.stopped && !printer.error_log_failed() ? kExitOk
                                                                              : kExitFailed;
}

int run_main(const std::vector<std::string>& arguments, Console console) {
  Options defaults;
  // --help and --version answer whatever the settings file holds.
  const Action asked = parse_arguments(arguments).options.action;
  const bool read_config = asked != Action::kHelp && asked != Action::kVersion;
  if (const std::optional<std::string> path = config_path();
      path && read_config && !wants_no_config(arguments)) {
    std::string text;
    const int error = platform::read_file(*path, text, kMaxConfigSize);
    if (error != 0 && error != ENOENT) {
      return usage_error(console, "cannot read " + escaped(*path) + ": " + errno_reason(error));
    }
    const std::string message = apply_config(defaults, text, escaped(*path));
    if (!message.empty()) return usage_error(console, message);
  }
  const ParseResult parsed = parse_arguments(arguments, defaults);
  if (!parsed.error.empty()) return usage_error(console, parsed.error);
  const Options& options = parsed.options;
  switch (options.action) {
    case Action::kHelp:
      std::fputs(usage_text().c_str(), console.out);
      return kExitOk;
    case Action::kVersion:
      std::fputs("kestrune-cli " KESTRUNE_VERSION "\n", console.out);
      return kExitOk;
    case Action::kUndo:
      return run_undo(options.undo.value_or(""), options.dry_run, options.quiet, console.out,
                      console.err);
    case Action::kListRuns:
      return list_runs(console.out, console.err);
    case Action::kRename:
      break;
  }

  Settings settings;
  if (options.format) {
    settings.format = *options.format;
  } else {
    const std::optional<std::string> folder = platform::current_directory();
    read_settings(settings, settings_path(folder.value_or(".")));
    if (settings.format.empty()) {
      return usage_error(console, "the template in " + std::string(kSettingsFileName) +
                                      " is empty; give one with --format");
    }
  }

  // --all: the folder is listed once, here, before the journal is begun.
  platform::FileList listed;
  if (options.all_folder) {
    const std::string& folder = *options.all_folder;
    int error = 0;
    listed = platform::list_mp3_entries(folder, &error);
    if (error == ENOENT || error == ENOTDIR) {
      return usage_error(console, "--all needs a folder: " + escaped(folder) +
                                      (error == ENOENT ? " does not exist" : " is not one"));
    }
    if (error != 0) return folder_error(console, folder, error);
  }
  // A template that does not parse is refused before any file is touched;
  // its other problems are warned of once, before the first file.
  const bool functions = name_rules(options).functions;
  if (functions) {
    if (const auto error = check_template_script(settings.format)) {
      return usage_error(console, "template: " + describe_template_error(*error));
    }
  }
  if (!options.quiet) {
    for (const std::string& warning : functions ? template_script_warnings(settings.format)
                                                : template_warnings(settings.format)) {
      std::fprintf(console.err, "kestrune-cli: warning: %s\n", warning.c_str());
    }
  }
  return run_journaled(options, settings.format, console, listed);
}

}  // namespace kestrune::cli
