#include "runs/engine.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_set>

#include "platform/platform.h"
#include "rename/name_rules.h"

namespace kestrune::runs {

namespace {

// The target of a file to rename, and whether the disk lets it move there:
// a run finds out here, before it records anything, and its dry run alike.
void set_target(PlannedFile& file, FolderStates& states) {
  file.target.clear();
  if (file.plan.outcome != PlanOutcome::kRename) return;
  file.target = resolve_name(file.plan.new_name, file.base_folder);
  const int refusal = target_refusal(file.source, file.plan.new_name, file.base_folder, states);
  if (refusal != 0) {
    file.plan.outcome = PlanOutcome::kFailTarget;
    file.plan.error = refusal;
  }
}

}  // namespace

void plan_file(PlannedFile& file, std::string_view pattern, TagReader& reader,
               const NameRules& rules) {
  file.plan = reader.plan(file.source, file.listed, pattern, file.base_folder, rules);
  set_target(file, reader.folder_states());
}

void plan_files(std::span<PlannedFile> files, std::string_view pattern, TagReader& reader,
                const NameRules& rules) {
  for (const PlannedFile& file : files) reader.add(file.source, file.listed);
  reader.read();
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].plan = reader.plan_read(i, pattern, files[i].base_folder, rules);
    set_target(files[i], reader.folder_states());
  }
  reader.done();
}

// Puts each folder's record on the journal's disk before the folder is made:
// the folders a group will make are recorded with its renames, in one sync;
// a folder missing since then is recorded on its own.
class Engine::FolderRecorder : public RenameWatcher {
 public:
  FolderRecorder(JournalWriter& journal, const std::string& current)
      : journal_(journal), current_(current) {}
  // Records the missing folders of `file` ahead, not yet synced.
  bool record_ahead(const PlannedFile& file) {
    folders_named(file.plan.new_name, file.base_folder, folders_);
    for (std::string& folder : folders_) {
      if (recorded_.count(folder) != 0 ||
          platform::entry_info(folder).kind != platform::EntryType::kMissing) {
        continue;
      }
      if (!journal_.record_folder(platform::join_path(current_, folder), false)) return false;
      recorded_.insert(std::move(folder));
    }
    return true;
  }
  void forget() { recorded_.clear(); }
  bool before_folder(const std::string& folder) override {
    return recorded_.count(folder) != 0 ||
           journal_.record_folder(platform::join_path(current_, folder), true);
  }

 private:
  JournalWriter& journal_;
  const std::string& current_;
  std::vector<std::string> folders_;
  std::unordered_set<std::string> recorded_;
};

Engine::Engine(const EngineOptions& options, RunListener& listener)
    : options_(options), listener_(listener) {
  options_.group_size = std::max<std::size_t>(options_.group_size, 1);
  if (options_.journal != nullptr && !options_.dry_run) {
    // The run never changes its current directory.
    current_ = platform::current_directory().value_or(std::string());
    recorder_ = std::make_unique<FolderRecorder>(*options_.journal, current_);
  }
}

Engine::~Engine() = default;

void Engine::take(PlannedFile&& file) {
  if (stopped_) return;
  if (options_.suffix_collisions) give_free_name(file);
  if (options_.dry_run) {
    simulate(file);
    return;
  }
  if (file.plan.outcome == PlanOutcome::kRename && options_.journal != nullptr) {
    if (!options_.journal->record(platform::join_path(current_, file.source),
                                  platform::join_path(current_, file.target))) {
      group_.push_back(std::move(file));
      stop_before(0);
      return;
    }
  }
  group_.push_back(std::move(file));
  // Cut by count alone: the same files make the same journal, however busy
  // the machine.
  if (group_.size() >= options_.group_size) flush();
}

void Engine::finish() {
  if (!stopped_) flush();
}

// The journal failed: nothing moves any more. The files of the group from
// `from` on are not reported yet; the problems met before the first file
// left alone are reported in their turn.
void Engine::stop_before(std::size_t from) {
  stopped_ = true;
  std::size_t i = from;
  for (; i < group_.size() && group_[i].plan.outcome != PlanOutcome::kRename; ++i) {
    listener_.file_done(group_[i], FileResult::kNotRenamed, 0);
  }
  if (i < group_.size()) listener_.stopped(group_[i], false, options_.journal->error());
  group_.clear();
}

void Engine::flush() {
  const auto renames = [](const PlannedFile& file) {
    return file.plan.outcome == PlanOutcome::kRename;
  };
  JournalWriter* journal = options_.journal;
  std::size_t number = first_number_;
  if (journal != nullptr && std::any_of(group_.begin(), group_.end(), renames)) {
    bool recorded = true;
    for (const PlannedFile& file : group_) {
      if (renames(file) && !recorder_->record_ahead(file)) recorded = false;
    }
    if (!recorded || !journal->commit()) {
      stop_before(0);
      return;
    }
  }
  for (std::size_t i = 0; i < group_.size(); ++i) {
    const PlannedFile& file = group_[i];
    if (!renames(file)) {
      listener_.file_done(file, FileResult::kNotRenamed, 0);
      continue;
    }
    int error = make_folders(file.plan.new_name, file.base_folder, made_, recorder_.get());
    if (error == ECANCELED && journal != nullptr && journal->failed()) {
      remove_folders(made_);
      stop_before(i);
      return;
    }
    if (error == 0) {
      listener_.before_rename(file);
      error = platform::rename_no_replace(file.source, file.target, options_.allow_racy_rename, [&] {
        return journal == nullptr || journal->record_second_name(number);
      });
    }
    // A file that did not move leaves no folder of its own behind.
    if (error != 0) remove_folders(made_);
    if (error == ENOENT && file.planned_after < groups_done_.load(std::memory_order_relaxed) &&
        replan(group_[i])) {
      listener_.file_done(file, FileResult::kNotRenamed, 0);
    } else {
      listener_.file_done(file, error == 0 ? FileResult::kRenamed : FileResult::kFailed, error);
    }
    if (journal != nullptr && !journal->mark(number++, error)) {
      stopped_ = true;
      listener_.stopped(file, true, journal->error());
      group_.clear();
      return;
    }
  }
  first_number_ = number;
  group_.clear();
  if (recorder_) recorder_->forget();
  groups_done_.fetch_add(1, std::memory_order_release);
}

// `file` was planned ahead, before the groups in front of it were renamed,
// and is gone at its rename: it is planned again, as a run that planned it
// in its turn would have. True when that plan says it is not renamed.
bool Engine::replan(PlannedFile& file) {
  if (!replanner_) replanner_ = std::make_unique<TagReader>();
  PlannedFile again;
  again.source = file.source;
  again.base_folder = file.base_folder;
  plan_file(again, options_.pattern, *replanner_, options_.rules);
  if (again.plan.outcome == PlanOutcome::kRename) return false;
  file.plan = std::move(again.plan);
  return true;
}

// A file planned onto a taken name gets the first free one: taken are the
// names planned by the run before and those that exist, unless an earlier
// file moves away from them or they are the file itself. The dry run and the
// real run judge alike, before the journal records the name.
//
// The candidates of each name (suffixed_name) are judged once in their
// order: one planned stays taken for good, so the next file of that name
// starts after them; one taken by an entry on the disk is kept aside and
// judged again for each later file, which may be that entry itself or come
// after its file moved away. Thus a run of many files of one name costs no
// more per file than the entries of that name on the disk, not the whole
// run before it.
void Engine::give_free_name(PlannedFile& file) {
  if (file.plan.outcome != PlanOutcome::kRename) return;
  enum class Taken { kFree, kPlanned, kOnDisk };
  const auto judge = [&](const std::string& name) {
    const std::string target = resolve_name(name, file.base_folder);
    const std::string key = platform::normal_path(target);
    if (planned_targets_.count(key) != 0) return Taken::kPlanned;
    return platform::entry_info(target).kind != platform::EntryType::kMissing &&
                   moved_sources_.count(key) == 0 && !platform::same_file(file.source, target)
               ? Taken::kOnDisk
               : Taken::kFree;
  };
  std::optional<std::string> name;
  // A name is remembered from its first collision on, not for every file.
  const std::string key = platform::normal_path(file.target);
  auto known = suffixes_.find(key);
  if (known == suffixes_.end()) {
    const Taken taken = judge(file.plan.new_name);
    if (taken == Taken::kFree) name = file.plan.new_name;
    if (taken == Taken::kOnDisk) known = suffixes_.emplace(key, Suffixes{1, {0}}).first;
    if (taken == Taken::kPlanned) known = suffixes_.emplace(key, Suffixes{1, {}}).first;
  }
  if (!name) {
    Suffixes& suffixes = known->second;
    for (auto n = suffixes.on_disk.begin(); n != suffixes.on_disk.end() && !name;) {
      std::optional<std::string> candidate =
          suffixed_name(file.plan.new_name, *n, options_.max_file_name);
      const Taken taken = judge(*candidate);
      if (taken == Taken::kOnDisk) {
        ++n;
        continue;
      }
      if (taken == Taken::kFree) name = std::move(candidate);
      n = suffixes.on_disk.erase(n);  // planned now, or by another file
    }
    while (!name && suffixes.next <= kMaxCollisionSuffix) {
      std::optional<std::string> candidate =
          suffixed_name(file.plan.new_name, suffixes.next, options_.max_file_name);
      if (!candidate) break;
      const Taken taken = judge(*candidate);
      if (taken == Taken::kOnDisk) suffixes.on_disk.push_back(suffixes.next);
      ++suffixes.next;
      if (taken == Taken::kFree) name = std::move(candidate);
    }
  }
  // Without a free name the file keeps its own and fails as a collision.
  if (name) {
    file.plan.new_name = std::move(*name);
    file.target = resolve_name(file.plan.new_name, file.base_folder);
  }
  if (!options_.dry_run) {  // simulate() adds them in a dry run
    planned_targets_.insert(platform::normal_path(file.target));
    moved_sources_.insert(platform::normal_path(file.source));
  }
}

// What the real run would meet: a target that exists (unless an earlier
// file of this run moves away from it, or it is the file itself), or a
// target that an earlier file of this run takes.
void Engine::simulate(const PlannedFile& file) {
  if (file.plan.outcome != PlanOutcome::kRename) {
    listener_.file_done(file, FileResult::kNotRenamed, 0);
    return;
  }
  std::string target_key = platform::normal_path(file.target);
  if (planned_targets_.count(target_key) != 0) {
    listener_.file_done(file, FileResult::kPlannedTwice, EEXIST);
    return;
  }
  const bool exists = platform::entry_info(file.target).kind != platform::EntryType::kMissing;
  if (exists && moved_sources_.count(target_key) == 0 &&
      !platform::same_file(file.source, file.target)) {
    listener_.file_done(file, FileResult::kFailed, EEXIST);
    return;
  }
  planned_targets_.insert(std::move(target_key));
  moved_sources_.insert(platform::normal_path(file.source));
  listener_.file_done(file, FileResult::kRenamed, 0);
}

namespace {

class DialogJournal : public RenameWatcher {
 public:
  DialogJournal()
      : current_(platform::current_directory().value_or(std::string())),
        writer_(JournalWriter::in_folder(runs_folder().value_or(std::string()), now_utc(),
                                         current_)) {}
  ~DialogJournal() override { writer_.close(); }
  bool before_folder(const std::string& folder) override {
    writer_.record_folder(platform::join_path(current_, folder));
    return true;
  }
  void before_rename(const std::string& from, const std::string& to) override {
    if (writer_.record(platform::join_path(current_, from), platform::join_path(current_, to))) {
      writer_.commit();
    }
  }
  void after_rename(int error) override { writer_.mark(writer_.count(), error); }

 private:
  std::string current_;
  JournalWriter writer_;
};

}  // namespace

std::unique_ptr<RenameWatcher> start_dialog_journal() { return std::make_unique<DialogJournal>(); }

}  // namespace kestrune::runs
