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

using runs::FileResult;
using runs::PlannedFile;

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
  const std::string reason = plan_reason(file.plan, options_.any_id3v2);
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
    case PlanOutcome::kRename:
    case PlanOutcome::kSkipNoArgument:
    case PlanOutcome::kSkipNoTag:
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
    if (!platform::write_file(*options_.error_log, failures_.log_bytes())) {
      error_log_failed_ = true;
      print_err("cannot write the error log " + escaped(*options_.error_log));
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

int usage_error(Console& console, const std::string& message) {
  std::fprintf(console.err, "kestrune-cli: %s\nTry \"kestrune-cli --help\".\n", message.c_str());
  return kExitUsage;
}

// A rename run with the journal `options` ask for: none in a dry run or
// with --no-journal, the file of --journal, or else a new one in the runs
// folder. A journal that cannot be written stops the run before its next
// rename.
int run_journaled(const Options& options, const std::string& format, Console& console) {
  if (options.dry_run || options.no_journal) return run_renames(options, format, console, nullptr);
  const std::string folder = platform::current_directory().value_or(std::string());
  runs::JournalWriter journal =
      options.journal
          ? runs::JournalWriter::at_path(platform::join_path(folder, *options.journal),
                                         runs::now_utc(), folder)
          : runs::JournalWriter::in_folder(runs::runs_folder().value_or(std::string()),
                                           runs::now_utc(), folder);
  int status = run_renames(options, format, console, &journal);
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
                const std::function<void(const PlannedFile&)>& before_rename) {
  Printer printer(options, console, before_rename);
  runs::EngineOptions engine_options;
  engine_options.dry_run = options.dry_run;
  engine_options.journal = journal;
  engine_options.group_size = journal != nullptr ? runs::kJournalGroup : 1;
  engine_options.pattern = format;
  engine_options.suffix_collisions = options.on_collision == Collision::kSuffix;
  const NameRules rules = name_rules(options);
  if (rules.portable) engine_options.max_file_name = kMaxNamePart;
  engine_options.rules = rules;
  runs::Engine engine(engine_options, printer);

  // --all: the listing is taken whole before anything moves, so renamed
  // files are not met again. It tells which entries are regular files, so
  // that only the others are looked at before they are opened.
  platform::FileList listed;
  if (options.all_folder) {
    listed = platform::list_mp3_entries(*options.all_folder);
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
        runs::plan_files(files, format, *readers[worker], rules);
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
  const ParseResult parsed = parse_arguments(arguments);
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

  if (options.all_folder) {
    const std::string& folder = *options.all_folder;
    int error = 0;
    platform::list_folder(folder, &error);
    if (error == ENOENT || error == ENOTDIR) {
      return usage_error(console, "--all needs a folder: " + escaped(folder) +
                                      (error == ENOENT ? " does not exist" : " is not one"));
    }
    if (error != 0) {
      std::fprintf(console.err, "kestrune-cli: cannot read the folder %s: %s\n",
                   escaped(folder).c_str(), errno_reason(error).c_str());
      return kExitFailed;
    }
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
  return run_journaled(options, settings.format, console);
}

}  // namespace kestrune::cli
