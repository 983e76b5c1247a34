#include "cli/cli_run.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "app/batch.h"
#include "app/settings.h"
#include "cli/journal.h"
#include "cli/read_ahead.h"
#include "cli/report.h"
#include "cli/undo.h"
#include "platform/platform.h"
#include "rename/name_rules.h"
#include "rename/rename.h"

#ifndef KESTRUNE_VERSION
#define KESTRUNE_VERSION "unknown"
#endif

namespace kestrune::cli {

namespace {

namespace fs = std::filesystem;

// A name of the template resolved against the file's own folder, as
// apply_rename resolves it: absolute names stay, relative ones go below
// `base_folder` (empty: the current directory).
void resolve_into(std::string& out, std::string_view name, std::string_view base_folder) {
  const std::string host = platform::host_path(name);
  out.clear();
  if (!base_folder.empty() && !platform::is_absolute_path(host)) {
    out.append(base_folder);
    if (out.back() != platform::kSeparator) out += platform::kSeparator;
  }
  out += host;
}

// The folder part of a path given on the command line, with its separator;
// empty for a bare name.
std::string_view folder_part(std::string_view path) {
  std::size_t slash = path.rfind('/');
#ifdef _WIN32
  const std::size_t backslash = path.rfind('\\');
  if (backslash != std::string_view::npos &&
      (slash == std::string_view::npos || backslash > slash)) {
    slash = backslash;
  }
#endif
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string normal_key(const std::string& path) {
  return fs::path(path).lexically_normal().string();
}

class Run {
 public:
  Run(const Options& options, const std::string& format, Console& console, RunObserver* observer)
      : options_(options),
        rules_(name_rules(options)),
        format_(format),
        console_(console),
        observer_(observer) {}

  void rename_all(const std::vector<std::string>& paths, std::string_view base_folder,
                  std::string_view prefix);
  void finish();
  const RunCounts& counts() const { return counts_; }
  bool error_log_failed() const { return error_log_failed_; }

 private:
  // One file of the group being planned: a rename to make, or a problem
  // met while planning it, reported in its turn so that the output keeps
  // the order of the files.
  struct Item {
    RenameStep step;
    bool rename = false;
    std::string kind;
    std::string reason;
    bool failure = false;
  };

  void handle(const std::string& path, std::string_view base_folder);
  bool plan(const std::string& path, std::string_view base_folder, RenamePlan& plan);
  Item& next_item();
  void prepare(Item& item, std::string_view base_folder, RenamePlan& plan);
  bool group_full() const;
  void flush_group();
  void stop_before_group(const std::string& message);
  void remove_folders_from(std::size_t first);
  void simulate(RenamePlan& plan);
  void give_free_name(const std::string& source, std::string_view base_folder, RenamePlan& plan);
  void renamed(const RenameStep& step);
  void problem(std::string_view kind, std::string_view path, std::string_view target,
               std::string_view reason, bool failure);
  void print_err(const std::string& line);
  void show_progress();

  const Options& options_;
  const NameRules rules_;
  const std::string& format_;
  Console& console_;
  RunObserver* observer_;
  RunCounts counts_;
  FailureList failures_;
  bool error_log_failed_ = false;

  RenameStep step_;  // dry run: the file being planned
  std::string line_;
  std::string folder_;

  // Real run: the group of files planned and not yet renamed. Only the
  // first `used_` items count; the others keep their memory for reuse.
  std::vector<Item> group_;
  std::size_t used_ = 0;
  Item* planning_ = nullptr;  // the item that plan() reports problems into
  std::size_t group_limit_ = 1;
  std::chrono::steady_clock::time_point group_started_{};
  // The head and tail of the file being planned, reused for every file.
  ReadAhead reader_;

  // Dry run: the names planned so far and the files that will have moved.
  std::unordered_set<std::string> planned_targets_;
  std::unordered_set<std::string> moved_sources_;

  std::size_t done_ = 0;
  std::size_t total_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_progress_{};
  bool progress_shown_ = false;
};

// A group is renamed once it holds group_size() files or once planning it
// took this long: the files planned wait no longer than that to move.
constexpr std::chrono::milliseconds kGroupTime{200};

void Run::rename_all(const std::vector<std::string>& paths, std::string_view base_folder,
                     std::string_view prefix) {
  group_limit_ = observer_ != nullptr ? std::max<std::size_t>(observer_->group_size(), 1) : 1;
  total_ += paths.size();
  std::string path;
  for (const std::string& entry : paths) {
    if (counts_.stopped) break;
    if (prefix.empty()) {
      handle(entry, folder_part(entry));
    } else {
      path.assign(prefix).append(entry);
      handle(path, base_folder);
    }
    if (group_full()) flush_group();
    ++done_;
    if (console_.progress) show_progress();
  }
  if (!counts_.stopped) flush_group();
}

void Run::handle(const std::string& path, std::string_view base_folder) {
  RenamePlan plan;
  if (options_.dry_run) {
    step_.source = path;
    if (!this->plan(path, base_folder, plan)) return;
    if (options_.on_collision == Collision::kSuffix) give_free_name(path, base_folder, plan);
    resolve_into(step_.target, plan.new_name, base_folder);
    simulate(plan);
    return;
  }
  Item& item = next_item();
  item.step.source = path;
  planning_ = &item;
  const bool go = this->plan(path, base_folder, plan);
  planning_ = nullptr;
  if (!go) return;  // the item holds the problem
  item.rename = true;
  if (options_.on_collision == Collision::kSuffix) give_free_name(path, base_folder, plan);
  resolve_into(item.step.target, plan.new_name, base_folder);
  if (options_.on_collision == Collision::kSuffix) {
    planned_targets_.insert(normal_key(item.step.target));
    moved_sources_.insert(normal_key(path));
  }
  prepare(item, base_folder, plan);
}

// Opens and reads the file; false when it is not to be renamed (reported).
bool Run::plan(const std::string& path, std::string_view base_folder, RenamePlan& plan) {
  int error = 0;
  platform::EntryKind kind = platform::EntryKind::kRegular;
  {
    platform::FilePtr file = platform::open_regular_file(path, &error, &kind);
    if (file) {
      plan = plan_rename(reader_.open(std::move(file)), format_, std::string(base_folder),
                         rules_);
      reader_.close();
    } else {
      plan = plan_unopened(kind, error);
    }
  }  // closed before anything moves
  const std::string reason = plan_reason(plan, options_.any_id3v2);
  switch (plan.outcome) {
    case PlanOutcome::kRename:
      return true;
    case PlanOutcome::kSkipNotRegular:
      // A file named on the command line that is not there is not renamed.
      if (plan.kind != platform::EntryKind::kMissing) {
        problem("skipped", path, {}, reason, false);
        return false;
      }
      [[fallthrough]];
    case PlanOutcome::kFailUnreadable:
      problem(options_.dry_run ? "would fail" : "failed", path, {}, reason, true);
      return false;
    case PlanOutcome::kSkipNoArgument:
    case PlanOutcome::kSkipNoTag:
      problem("skipped", path, {}, reason, false);
      return false;
    case PlanOutcome::kRefuseLeavesFolder:
    case PlanOutcome::kRefuseControlCharacter:
    case PlanOutcome::kRefuseTooLong:
    case PlanOutcome::kRefuseSlash:
    case PlanOutcome::kRefusePartTooLong:
      problem("refused", path, {}, reason, true);
      return false;
  }
  return false;
}

Run::Item& Run::next_item() {
  if (used_ == group_.size()) group_.emplace_back();
  if (used_ == 0 && group_limit_ > 1) group_started_ = std::chrono::steady_clock::now();
  Item& item = group_[used_++];
  item.rename = false;
  item.step.created_folders.clear();
  return item;
}

// Makes the folders of the file and tells the observer; stops the run when
// it answers false.
void Run::prepare(Item& item, std::string_view base_folder, RenamePlan& plan) {
  RenameStep& step = item.step;
  step.new_name = std::move(plan.new_name);
  // Only the backslash makes folders; what follows the last one is the file.
  for (std::size_t i = step.new_name.find('\\'); i != std::string::npos;
       i = step.new_name.find('\\', i + 1)) {
    if (i == 0) continue;
    resolve_into(folder_, std::string_view(step.new_name).substr(0, i), base_folder);
    if (platform::make_folder(folder_)) step.created_folders.push_back(folder_);
  }
  std::string message;
  if (observer_ != nullptr && !observer_->before_rename(step, message)) {
    stop_before_group(message);
  }
}

bool Run::group_full() const {
  if (used_ == 0) return false;
  if (used_ >= group_limit_) return true;
  return std::chrono::steady_clock::now() - group_started_ >= kGroupTime;
}

// Renames the files of the group in order, after the observer's commit.
void Run::flush_group() {
  if (used_ == 0) return;
  std::string message;
  const bool any_rename =
      std::any_of(group_.begin(), group_.begin() + static_cast<std::ptrdiff_t>(used_),
                  [](const Item& item) { return item.rename; });
  if (any_rename && observer_ != nullptr && !observer_->commit(message)) {
    stop_before_group(message);
    return;
  }
  for (std::size_t i = 0; i < used_; ++i) {
    Item& item = group_[i];
    if (!item.rename) {
      problem(item.kind, item.step.source, {}, item.reason, item.failure);
      continue;
    }
    const RenameStep& step = item.step;
    const int error = platform::rename_no_replace(step.source, step.target);
    if (error == 0) {
      renamed(step);
    } else {
      problem("failed", step.source, step.target, errno_reason(error), true);
    }
    if (observer_ != nullptr && !observer_->after_rename(step, error, message)) {
      counts_.stopped = true;
      print_err("stopped after " + escaped(step.source) + ": " + message);
      remove_folders_from(i + 1);
      break;
    }
  }
  used_ = 0;
}

// The observer refused the group: nothing of it moves. The problems met
// before its first rename are reported, as they were met before the stop.
void Run::stop_before_group(const std::string& message) {
  std::size_t first = 0;
  for (; first < used_ && !group_[first].rename; ++first) {
    const Item& item = group_[first];
    problem(item.kind, item.step.source, {}, item.reason, item.failure);
  }
  counts_.stopped = true;
  print_err("stopped before " + escaped(first < used_ ? group_[first].step.source : std::string()) +
            ": " + message);
  remove_folders_from(first);
  used_ = 0;
}

// Leaves no trace of the files of the group from `first` on, which did not
// move: the folders they made go again, innermost first, when empty. Only an
// empty folder is ever removed, never a file that took a folder's place.
void Run::remove_folders_from(std::size_t first) {
  for (std::size_t i = used_; i-- > first;) {
    const std::vector<std::string>& folders = group_[i].step.created_folders;
    if (!group_[i].rename) continue;
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) platform::remove_empty_folder(*it);
  }
}

// What the real run would meet: a target that exists (unless an earlier
// file of this run moves away from it, or it is the file itself), or a
// target that an earlier file of this run takes.
void Run::simulate(RenamePlan& plan) {
  step_.new_name = std::move(plan.new_name);
  const std::string target_key = normal_key(step_.target);
  const std::string source_key = normal_key(step_.source);
  if (planned_targets_.count(target_key) != 0) {
    problem("would fail", step_.source, step_.target,
            "another file is planned onto the same name", true);
    return;
  }
  std::error_code error;
  const bool exists = fs::exists(fs::symlink_status(step_.target, error));
  if (exists && moved_sources_.count(target_key) == 0 &&
      !fs::equivalent(step_.source, step_.target, error)) {
    problem("would fail", step_.source, step_.target, errno_reason(EEXIST), true);
    return;
  }
  planned_targets_.insert(target_key);
  moved_sources_.insert(source_key);
  renamed(step_);
}

// A file planned onto a name that is taken gets the first free name of
// "NAME (1).mp3", "NAME (2).mp3", ...: taken are the names planned by the run
// before and those that exist, unless an earlier file moves away from them
// or they are the file itself. The dry run and the real run judge alike.
void Run::give_free_name(const std::string& source, std::string_view base_folder,
                         RenamePlan& plan) {
  std::string target;
  const auto is_taken = [&](const std::string& name) {
    resolve_into(target, name, base_folder);
    const std::string key = normal_key(target);
    if (planned_targets_.count(key) != 0) return true;
    std::error_code error;
    return fs::exists(fs::symlink_status(target, error)) && moved_sources_.count(key) == 0 &&
           !fs::equivalent(source, target, error);
  };
  const std::optional<std::string> name = first_free_name(
      plan.new_name, is_taken,
      rules_.portable ? kMaxNamePart : std::numeric_limits<std::size_t>::max());
  // Without a free name the file keeps its own and fails as a collision.
  if (name) plan.new_name = *name;
}

void Run::renamed(const RenameStep& step) {
  ++counts_.renamed;
  if (options_.quiet) return;
  line_.clear();
  append_escaped(line_, step.source);
  line_ += " -> ";
  append_escaped(line_, step.target);
  line_ += '\n';
  std::fwrite(line_.data(), 1, line_.size(), console_.out);
}

void Run::problem(std::string_view kind, std::string_view path, std::string_view target,
                  std::string_view reason, bool failure) {
  if (planning_ != nullptr) {
    // Reported when the group is renamed, in the order of the files.
    planning_->kind.assign(kind);
    planning_->reason.assign(reason);
    planning_->failure = failure;
    return;
  }
  if (failure) {
    ++counts_.failed;
    failures_.add(escaped(path));
  } else {
    ++counts_.skipped;
    if (options_.quiet) return;
  }
  std::string line(kind);
  line += ": ";
  append_escaped(line, path);
  if (!target.empty()) {
    line += " -> ";
    append_escaped(line, target);
  }
  line += ": ";
  line += reason;
  print_err(line);
}

void Run::print_err(const std::string& line) {
  if (progress_shown_) {
    std::fputs("\r\x1b[K", console_.err);
    progress_shown_ = false;
  }
  // The standard output may hold renames printed before this line.
  std::fflush(console_.out);
  std::fprintf(console_.err, "%s\n", line.c_str());
}

void Run::show_progress() {
  if (options_.quiet) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - started_ < std::chrono::seconds(1)) return;
  if (progress_shown_ && now - last_progress_ < std::chrono::milliseconds(100)) return;
  last_progress_ = now;
  progress_shown_ = true;
  std::fprintf(console_.err, "\r%zu/%zu files", done_, total_);
  std::fflush(console_.err);
}

void Run::finish() {
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
  std::string summary;
  if (options_.dry_run) {
    summary = "dry run: " + std::to_string(counts_.renamed) + " to rename, " +
              std::to_string(counts_.skipped) + " skipped, " + std::to_string(counts_.failed) +
              " would fail";
  } else {
    summary = std::to_string(counts_.renamed) + " renamed, " + std::to_string(counts_.skipped) +
              " skipped, " + std::to_string(counts_.failed) + " failed";
  }
  print_err(summary);
}

int usage_error(Console& console, const std::string& message) {
  std::fprintf(console.err, "kestrune-cli: %s\nTry \"kestrune-cli --help\".\n", message.c_str());
  return kExitUsage;
}

}  // namespace

int run_renames(const Options& options, const std::string& format, Console& console,
                RunObserver* observer, RunCounts* counts) {
  Run run(options, format, console, observer);
  if (options.all_folder) {
    const std::string& folder = *options.all_folder;
    std::string prefix = folder;
    if (prefix.back() != platform::kSeparator) prefix += platform::kSeparator;
    // Taken whole before anything moves, so renamed files are not met again.
    run.rename_all(platform::list_mp3_files(folder), folder, prefix);
  } else {
    run.rename_all(options.files, {}, {});
  }
  run.finish();
  if (counts != nullptr) *counts = run.counts();
  const RunCounts& result = run.counts();
  return result.failed == 0 && !result.stopped && !run.error_log_failed() ? kExitOk
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
    std::error_code error;
    const std::string& folder = *options.all_folder;
    if (!fs::is_directory(folder, error)) {
      return usage_error(console, "--all needs a folder: " + escaped(folder) +
                                      (fs::exists(folder, error) ? " is not one" : " does not exist"));
    }
    fs::directory_iterator probe(folder, error);
    if (error) {
      std::fprintf(console.err, "kestrune-cli: cannot read the folder %s: %s\n",
                   escaped(folder).c_str(), errno_reason(error.value()).c_str());
      return kExitFailed;
    }
  }
  // The template's problems, once, before the first file; the run still
  // expands it as the dialog does.
  if (!options.quiet) {
    for (const std::string& warning : template_warnings(settings.format)) {
      std::fprintf(console.err, "kestrune-cli: warning: %s\n", warning.c_str());
    }
  }
  return run_journaled(options, settings.format, console);
}

}  // namespace kestrune::cli
