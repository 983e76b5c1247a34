#include "runs/undo.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace kestrune::runs {

namespace {

bool ends_with_mp3(std::string_view name) {
  return name.size() > 4 && name.substr(name.size() - 4) == ".mp3";
}

// Where a recorded path is now, reached without following any link from the
// folder it is anchored at: the folder that holds its last part, open, that
// part, and what is there.
struct Place {
  const platform::OpenFolder* folder = nullptr;  // held by Places until its next look
  std::string name;
  int error = 0;  // ELOOP: a link stands where a folder was
  platform::EntryInfo info;

  bool through_link() const { return error == ELOOP; }
  // Nothing there, or nothing that can be looked at.
  bool missing() const { return error != 0 || info.kind == platform::EntryType::kMissing; }
};

// The folder part of `path` with its closing separator: "" for a bare name.
std::string folder_of(std::string_view path) {
  const std::size_t at = path.find_last_of(platform::kSeparator);
  return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
}

// Finds the recorded paths of a run on the disk. A path below the run's
// folder (where the run was started, and where its relative names begin) is
// looked up from that folder, held open, without following any link: a link
// put where the run made a folder, or where one stood, leads nowhere else.
// The run's folder itself is reached as any path is, however long its path.
// A path given to the run from elsewhere is anchored at the folder its file
// had in common with its new name, as the user named it.
class Places {
 public:
  // Looks kept apart, each holding the folder it opened last: the new names
  // and the old ones of a run mostly share one folder each.
  enum Look { kNewName, kOldName };

  explicit Places(const Journal& journal) {
    if (journal.folder.empty()) return;
    run_folder_path_ = platform::normal_path(journal.folder);
    if (run_folder_path_.back() != platform::kSeparator) run_folder_path_ += platform::kSeparator;
    run_folder_error_ = run_folder_.open(run_folder_path_);
  }

  // `path` (normalised), looked up from `anchor`, a folder above it that
  // ends in a separator, unless it lies below the run's folder.
  Place find(const std::string& path, const std::string& anchor, Look look) {
    Place place;
    const platform::OpenFolder* from = nullptr;
    std::string_view relative;
    std::string key;  // the anchor of the folder: empty for the run's folder
    if (!run_folder_path_.empty() && path.size() > run_folder_path_.size() &&
        path.compare(0, run_folder_path_.size(), run_folder_path_) == 0) {
      place.error = run_folder_error_;
      from = &run_folder_;
      relative = std::string_view(path).substr(run_folder_path_.size());
    } else {
      if (anchor != other_path_ || !other_.is_open()) {
        other_path_ = anchor;
        other_error_ = other_.open(anchor);
      }
      place.error = other_error_;
      from = &other_;
      relative = std::string_view(path).substr(std::min(anchor.size(), path.size()));
      key = anchor;
    }
    const std::size_t at = relative.find_last_of(platform::kSeparator);
    place.name = std::string(at == std::string_view::npos ? relative : relative.substr(at + 1));
    if (place.error != 0) return place;
    Last& last = last_[look];
    key.append("\n").append(at == std::string_view::npos ? std::string_view() : relative.substr(0, at));
    if (key != last.key || last.error != 0) {
      last.key = std::move(key);
      last.error = last.folder.open_below(
          *from, at == std::string_view::npos ? std::string_view() : relative.substr(0, at));
    }
    place.error = last.error;
    place.folder = &last.folder;
    if (place.error == 0) place.info = place.folder->entry(place.name);
    return place;
  }

 private:
  struct Last {
    std::string key;  // the anchor, a line break, the folder below it
    platform::OpenFolder folder;
    int error = 0;
  };

  std::string run_folder_path_;  // with its closing separator
  platform::OpenFolder run_folder_;
  int run_folder_error_ = 0;
  std::string other_path_;  // the last anchor outside the run's folder
  platform::OpenFolder other_;
  int other_error_ = 0;
  Last last_[2];
};

// The folder that two paths have in common, with its closing separator.
std::string common_folder(std::string_view a, std::string_view b) {
  std::size_t same = 0;
  while (same < a.size() && same < b.size() && a[same] == b[same]) ++same;
  return folder_of(a.substr(0, same));
}

// In a dry run: whether `folder` would be empty once the files moving out
// and the folders removed before it are gone.
bool would_be_empty(const Place& folder, const std::string& path,
                    const std::unordered_set<std::string>& leaving) {
  int error = 0;
  for (const std::string& name : folder.folder->list(folder.name, &error)) {
    if (leaving.count(platform::normal_path(platform::join_path(path, name))) == 0) return false;
  }
  return error == 0;
}

}  // namespace

UndoResult undo_run(const Journal& journal, bool dry_run,
                    const std::function<void(const UndoReport&)>& report) {
  UndoResult result;
  if (journal.undone) {
    result.already_undone = true;
    return result;
  }
  JournalAppender appender(journal);
  if (!dry_run && !appender.append("undo " + format_utc(now_utc()) + "\n")) {
    result.journal_error = appender.error();
    return result;
  }

  Places places(journal);
  std::unordered_set<std::string> leaving;  // dry run: what would have left its folder
  // The folders the files were looked up from, for the folders the run made
  // outside its own folder; a run has a few, and the cap bounds the memory.
  std::unordered_set<std::string> anchors;
  UndoReport step;
  for (std::size_t i = journal.entries.size(); i-- > 0;) {
    const JournalEntry& entry = journal.entries[i];
    if (entry.back || entry.state == EntryState::kFailed) continue;
    step.from = journal.text(entry.new_path);
    step.to = journal.text(entry.old_path);
    const std::string from_path = platform::normal_path(step.from);
    const std::string to_path = platform::normal_path(step.to);
    const std::string anchor = common_folder(from_path, to_path);
    if (anchors.size() < 10000) anchors.insert(anchor);
    const Place from = places.find(from_path, anchor, Places::kNewName);
    const Place to = places.find(to_path, anchor, Places::kOldName);
    if (!from.through_link() && !to.through_link()) {
      // A rename without a word on how it went happened when the old name
      // is free and the new one taken.
      if (entry.state == EntryState::kPending && !to.missing()) {
        // Killed after it made a second name at the new one (a hard link,
        // or a reservation), before the rename: that name goes, if it is
        // still the same file or an empty one.
        if (entry.second_name && !dry_run && ends_with_mp3(step.from)) {
          platform::remove_second_name(step.from, step.to);
        }
        continue;
      }
      // Gone from the new name and back at the old one: an earlier undo
      // moved it and its mark was lost.
      if (from.missing() && !to.missing()) continue;
    }

    step.event = UndoEvent::kMovedBack;
    step.error = 0;
    if (!ends_with_mp3(step.from)) {
      step.event = UndoEvent::kNotMp3;
    } else if (from.through_link() || to.through_link()) {
      step.event = UndoEvent::kThroughLink;
    } else if (from.error != 0 && from.error != ENOENT && from.error != ENOTDIR) {
      step.event = UndoEvent::kFailed;
      step.error = from.error;
    } else if (from.missing()) {
      step.event = UndoEvent::kGone;
    } else if (from.info.kind != platform::EntryType::kFile) {
      step.event = UndoEvent::kNotAFile;
    } else if (dry_run) {
      if (!to.missing()) step.event = UndoEvent::kNameTaken;
    } else {
      step.error = to.error != 0 ? to.error
                                 : from.folder->rename_no_replace(from.name, *to.folder, to.name);
      if (step.error == EEXIST) {
        step.event = UndoEvent::kNameTaken;
      } else if (step.error == ENOENT && to.error == 0 &&
                 from.folder->entry(from.name).kind == platform::EntryType::kMissing) {
        step.event = UndoEvent::kGone;
      } else if (step.error != 0) {
        step.event = UndoEvent::kFailed;
      }
    }
    if (step.event == UndoEvent::kMovedBack) {
      ++result.moved_back;
      if (dry_run) leaving.insert(from_path);
    } else {
      ++result.left;
    }
    report(step);
    // Buffered: a lost mark only makes a later undo find the file back.
    if (!dry_run && step.event == UndoEvent::kMovedBack &&
        !appender.append("back " + std::to_string(i + 1) + "\n", false, false)) {
      result.journal_error = appender.error();
      return result;
    }
  }

  // A folder is recorded after the one it lies in, so the reverse order
  // removes the deepest first, each with one call.
  for (auto it = journal.made_folders.rbegin(); it != journal.made_folders.rend(); ++it) {
    step = {UndoEvent::kFolderRemoved, journal.text(*it), std::string(), 0};
    const std::string path = platform::normal_path(step.from);
    // Outside the run's folder, anchored where a file of the run was.
    std::string anchor = folder_of(path);
    for (std::string above = anchor; !above.empty();
         above = folder_of(std::string_view(above).substr(0, above.size() - 1))) {
      if (anchors.count(above) != 0) {
        anchor = above;
        break;
      }
    }
    const Place place = places.find(path, anchor, Places::kNewName);
    if (place.through_link() || (place.error == 0 && place.info.kind == platform::EntryType::kLink)) {
      step.event = UndoEvent::kFolderThroughLink;
    } else if (dry_run) {
      if (place.missing() || place.info.kind != platform::EntryType::kFolder ||
          leaving.count(path) != 0) {
        continue;
      }
      if (!would_be_empty(place, step.from, leaving)) step.event = UndoEvent::kFolderKept;
    } else {
      step.error = place.error != 0 ? place.error : place.folder->remove_empty_folder(place.name);
      if (step.error == ENOENT) continue;
      if (step.error == ENOTEMPTY || step.error == EEXIST || step.error == ENOTDIR) {
        step.event = UndoEvent::kFolderKept;
      } else if (step.error != 0) {
        step.event = UndoEvent::kFolderFailed;
      }
    }
    if (step.event == UndoEvent::kFolderRemoved) {
      ++result.folders_removed;
      if (dry_run) leaving.insert(path);
    } else if (step.event == UndoEvent::kFolderFailed) {
      ++result.folders_failed;
    }
    report(step);
  }

  // Files left stay recorded as not undone, for a later undo to retry.
  if (!dry_run && result.left == 0 &&
      !appender.append("undone " + format_utc(now_utc()) + "\n")) {
    result.journal_error = appender.error();
  }
  return result;
}

LastRun last_run_to_undo(const std::string& runs_folder) {
  LastRun last;
  // Whoever else may write the folder may put a journal in it that steers
  // the undo, or one newer than the user's runs.
  const platform::EntryInfo folder = platform::entry_info(runs_folder);
  if (folder.kind == platform::EntryType::kMissing) return last;
  if (folder.kind != platform::EntryType::kFolder || !folder.owned_by_user ||
      folder.writable_by_others) {
    last.problem.kind = folder.kind != platform::EntryType::kFolder ? JournalProblem::kUnreadable
                        : !folder.owned_by_user ? JournalProblem::kNotOwned
                                                : JournalProblem::kWritableByOthers;
    last.problem.error = folder.kind != platform::EntryType::kFolder ? ENOTDIR : 0;
    last.problem_path = runs_folder;
    last.in_folder = true;
    return last;
  }
  const std::vector<std::string> journals = list_journals(runs_folder);
  for (auto it = journals.rbegin(); it != journals.rend(); ++it) {
    JournalProblem problem;
    std::optional<Journal> journal = read_journal(*it, &problem, true);
    if (journal && journal->undone) continue;
    if (journal) {
      last.journal = std::move(journal);
      break;
    }
    if (problem.kind == JournalProblem::kRunGoing || problem.kind == JournalProblem::kNotOwned ||
        problem.kind == JournalProblem::kWritableByOthers) {
      last.passed_over.emplace_back(*it, problem);
      continue;
    }
    // An older run is not the last one.
    last.problem = problem;
    last.problem_path = *it;
    break;
  }
  return last;
}

}  // namespace kestrune::runs
