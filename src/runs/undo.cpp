#include "runs/undo.h"

#include <cerrno>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace kestrune::runs {

namespace {

bool exists(const std::string& path) {
  // A path that cannot be looked at counts as taken: the undo leaves it alone.
  return platform::entry_info(path).kind != platform::EntryType::kMissing;
}

bool ends_with_mp3(std::string_view name) {
  return name.size() > 4 && name.substr(name.size() - 4) == ".mp3";
}

// In a dry run: whether `folder` would be empty once the files moving out
// and the folders removed before it are gone.
bool would_be_empty(const std::string& folder, const std::unordered_set<std::string>& leaving) {
  int error = 0;
  for (const std::string& name : platform::list_folder(folder, &error)) {
    if (leaving.count(platform::normal_path(platform::join_path(folder, name))) == 0) return false;
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

  std::unordered_set<std::string> leaving;  // dry run: what would have left its folder
  UndoReport step;
  for (std::size_t i = journal.entries.size(); i-- > 0;) {
    const JournalEntry& entry = journal.entries[i];
    if (entry.back || entry.state == EntryState::kFailed) continue;
    step.from = journal.text(entry.new_path);
    step.to = journal.text(entry.old_path);
    // A rename without a word on how it went happened when the old name is
    // free and the new one taken.
    if (entry.state == EntryState::kPending && exists(step.to)) {
      // Killed after it made a second name at the new one (a hard link, or
      // a reservation), before the rename: that name goes, if it is still
      // the same file or an empty one.
      if (entry.second_name && !dry_run && ends_with_mp3(step.from)) {
        platform::remove_second_name(step.from, step.to);
      }
      continue;
    }
    const platform::EntryInfo at_new = platform::entry_info(step.from);
    // Gone from the new name and back at the old one: an earlier undo moved
    // it and its mark was lost.
    if (at_new.kind == platform::EntryType::kMissing && exists(step.to)) continue;

    step.event = UndoEvent::kMovedBack;
    step.error = 0;
    if (!ends_with_mp3(step.from)) {
      step.event = UndoEvent::kNotMp3;
    } else if (at_new.kind == platform::EntryType::kMissing) {
      step.event = UndoEvent::kGone;
    } else if (at_new.kind != platform::EntryType::kFile) {
      step.event = UndoEvent::kNotAFile;
    } else if (dry_run) {
      if (exists(step.to)) step.event = UndoEvent::kNameTaken;
    } else {
      step.error = platform::rename_no_replace(step.from, step.to);
      if (step.error == EEXIST) {
        step.event = UndoEvent::kNameTaken;
      } else if (step.error == ENOENT && !exists(step.from)) {
        step.event = UndoEvent::kGone;
      } else if (step.error != 0) {
        step.event = UndoEvent::kFailed;
      }
    }
    if (step.event == UndoEvent::kMovedBack) {
      ++result.moved_back;
      if (dry_run) leaving.insert(platform::normal_path(step.from));
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
    if (dry_run) {
      if (platform::entry_info(step.from).kind != platform::EntryType::kFolder ||
          leaving.count(platform::normal_path(step.from)) != 0) {
        continue;
      }
      if (!would_be_empty(step.from, leaving)) step.event = UndoEvent::kFolderKept;
    } else {
      step.error = platform::remove_empty_folder(step.from);
      if (step.error == ENOENT) continue;
      if (step.error == ENOTEMPTY || step.error == EEXIST || step.error == ENOTDIR) {
        step.event = UndoEvent::kFolderKept;
      } else if (step.error != 0) {
        step.event = UndoEvent::kFolderFailed;
      }
    }
    if (step.event == UndoEvent::kFolderRemoved) {
      ++result.folders_removed;
      if (dry_run) leaving.insert(platform::normal_path(step.from));
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
