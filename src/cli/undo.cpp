#include "cli/undo.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "cli/report.h"
#include "platform/platform.h"

namespace kestrune::cli {

namespace {

namespace fs = std::filesystem;

// Whether anything (a dangling link included) is at `path`. A path that
// cannot be examined counts as taken: the undo then leaves it alone.
bool exists(const std::string& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::string normal(const std::string& path) {
  return fs::path(path).lexically_normal().string();
}

// In a dry run: whether `folder` would be empty once the files moving out
// and the folders removed before it are gone.
bool would_be_empty(const std::string& folder, const std::set<std::string>& leaving) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; it != end; it.increment(error)) {
    if (error || leaving.count(normal(it->path().string())) == 0) return false;
  }
  return !error;
}

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string local_time(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  char text[32] = "";
  if (const std::tm* local = std::localtime(&time)) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  }
  return text;
}

constexpr char kNoRunsFolder[] =
    "no folder for the journals: neither XDG_STATE_HOME nor HOME is set";

}  // namespace

UndoResult undo_run(const Journal& journal, bool dry_run,
                    const std::function<void(const UndoReport&)>& report) {
  UndoResult result;
  if (journal.undone) {
    result.already_undone = true;
    return result;
  }
  JournalAppender appender(journal.path);
  if (!dry_run && !appender.append("undo " + format_utc(now()) + "\n")) {
    result.journal_error = appender.error();
    return result;
  }

  std::set<std::string> leaving;  // dry run: what would have left its folder
  for (std::size_t i = journal.entries.size(); i-- > 0;) {
    const JournalEntry& entry = journal.entries[i];
    if (entry.back || entry.state == EntryState::kFailed) continue;
    // A rename without a word on how it went happened when the old name is
    // free and the new one taken.
    if (entry.state == EntryState::kPending && exists(entry.old_path)) continue;

    UndoReport step{UndoEvent::kMovedBack, entry.new_path, entry.old_path, 0};
    if (!exists(entry.new_path)) {
      step.event = UndoEvent::kGone;
    } else if (dry_run) {
      if (exists(entry.old_path)) step.event = UndoEvent::kNameTaken;
    } else {
      step.error = platform::rename_no_replace(entry.new_path, entry.old_path);
      if (step.error == EEXIST) {
        step.event = UndoEvent::kNameTaken;
      } else if (step.error == ENOENT && !exists(entry.new_path)) {
        step.event = UndoEvent::kGone;
      } else if (step.error != 0) {
        step.event = UndoEvent::kFailed;
      }
    }
    if (step.event == UndoEvent::kMovedBack) {
      ++result.moved_back;
      leaving.insert(normal(entry.new_path));
    } else {
      ++result.left;
    }
    report(step);
    // Not synced: a lost mark only makes a later undo report the file gone.
    if (!dry_run && step.event == UndoEvent::kMovedBack &&
        !appender.append("back " + std::to_string(i + 1) + "\n", false)) {
      result.journal_error = appender.error();
      return result;
    }
  }

  // Each folder was made after the ones before it, so the reverse order
  // removes the deepest first.
  std::vector<const std::string*> folders;
  for (const JournalEntry& entry : journal.entries) {
    for (const std::string& folder : entry.made_folders) folders.push_back(&folder);
  }
  std::set<std::string> seen;
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    const std::string& folder = **it;
    if (!seen.insert(normal(folder)).second || !exists(folder)) continue;
    UndoReport step{UndoEvent::kFolderRemoved, folder, std::string(), 0};
    if (dry_run) {
      if (!would_be_empty(folder, leaving)) step.event = UndoEvent::kFolderKept;
    } else {
      step.error = platform::remove_empty_folder(folder);
      if (step.error == ENOTEMPTY || step.error == EEXIST || step.error == ENOTDIR) {
        step.event = UndoEvent::kFolderKept;
      } else if (step.error == ENOENT) {
        continue;
      } else if (step.error != 0) {
        step.event = UndoEvent::kFolderFailed;
      }
    }
    if (step.event == UndoEvent::kFolderRemoved) {
      ++result.folders_removed;
      leaving.insert(normal(folder));
    } else if (step.event == UndoEvent::kFolderFailed) {
      ++result.folders_failed;
    }
    report(step);
  }

  if (!dry_run && !appender.append("undone " + format_utc(now()) + "\n")) {
    result.journal_error = appender.error();
  }
  return result;
}

std::string last_run_to_undo(const std::string& runs_folder) {
  const std::vector<std::string> journals = list_journals(runs_folder);
  for (auto it = journals.rbegin(); it != journals.rend(); ++it) {
    const std::optional<Journal> journal = read_journal(*it);
    if (journal && !journal->undone) return *it;
  }
  return std::string();
}

int run_undo(const std::string& journal_path, bool dry_run, bool quiet, std::FILE* out,
             std::FILE* err) {
  std::string path = journal_path;
  if (path.empty()) {
    const std::optional<std::string> folder = runs_folder();
    if (!folder) {
      std::fprintf(err, "kestrune-cli: %s\n", kNoRunsFolder);
      return 1;
    }
    path = last_run_to_undo(*folder);
    if (path.empty()) {
      if (!quiet) std::fprintf(err, "nothing to undo: no run in %s is left to undo\n", escaped(*folder).c_str());
      return 0;
    }
  }
  int error = 0;
  const std::optional<Journal> journal = read_journal(path, &error);
  if (!journal) {
    std::fprintf(err, "kestrune-cli: cannot read the journal %s: %s\n", escaped(path).c_str(),
                 error == EINVAL ? "not a journal of kestrune-cli" : errno_reason(error).c_str());
    return 1;
  }
  const std::string run = "the run of " + local_time(journal->started) + " in " +
                          escaped(journal->folder);
  if (journal->undone) {
    if (!quiet) {
      std::fprintf(err, "nothing to undo: %s was undone on %s\n", run.c_str(),
                   local_time(journal->undone_at).c_str());
    }
    return 0;
  }
  if (!quiet) {
    std::fprintf(err, "%s %s (%s)\n", dry_run ? "would undo" : "undoing", run.c_str(),
                 escaped(path).c_str());
  }

  std::string line;
  const UndoResult result = undo_run(*journal, dry_run, [&](const UndoReport& step) {
    line.clear();
    append_escaped(line, step.from);
    if (step.event == UndoEvent::kMovedBack) {
      if (quiet) return;
      line += " -> ";
      append_escaped(line, step.to);
      std::fprintf(out, "%s\n", line.c_str());
      return;
    }
    std::string reason;
    switch (step.event) {
      case UndoEvent::kMovedBack:
        break;
      case UndoEvent::kGone:
        reason = "no file has the new name any more";
        break;
      case UndoEvent::kNameTaken:
        reason = errno_reason(EEXIST);
        break;
      case UndoEvent::kFailed:
        reason = errno_reason(step.error);
        break;
      case UndoEvent::kFolderRemoved:
        if (!quiet) std::fprintf(err, "%s: %s\n", dry_run ? "would remove folder" : "removed folder", line.c_str());
        return;
      case UndoEvent::kFolderKept:
        if (!quiet) std::fprintf(err, "kept folder: %s: not empty\n", line.c_str());
        return;
      case UndoEvent::kFolderFailed:
        std::fprintf(err, "kept folder: %s: %s\n", line.c_str(), errno_reason(step.error).c_str());
        return;
    }
    std::fflush(out);
    std::fprintf(err, "%s: %s -> %s: %s\n", dry_run ? "would be left" : "left", line.c_str(),
                 escaped(step.to).c_str(), reason.c_str());
  });
  std::fflush(out);
  if (!result.journal_error.empty()) {
    std::fprintf(err, "kestrune-cli: %s; the undo stopped there\n", result.journal_error.c_str());
  }
  if (!quiet) {
    if (dry_run) {
      std::fprintf(err, "dry run: %zu to move back, %zu would be left, %zu %s to remove\n",
                   result.moved_back, result.left, result.folders_removed,
                   result.folders_removed == 1 ? "folder" : "folders");
    } else {
      std::fprintf(err, "undo: %zu moved back, %zu left, %zu %s removed\n", result.moved_back,
                   result.left, result.folders_removed,
                   result.folders_removed == 1 ? "folder" : "folders");
    }
  }
  return result.failed() ? 1 : 0;
}

int list_runs(std::FILE* out, std::FILE* err) {
  const std::optional<std::string> folder = runs_folder();
  if (!folder) {
    std::fprintf(err, "kestrune-cli: %s\n", kNoRunsFolder);
    return 1;
  }
  int status = 0;
  for (const std::string& path : list_journals(*folder)) {
    int error = 0;
    const std::optional<Journal> journal = read_journal(path, &error);
    if (!journal) {
      std::fprintf(err, "kestrune-cli: cannot read the journal %s: %s\n", escaped(path).c_str(),
                   error == EINVAL ? "not a journal of kestrune-cli" : errno_reason(error).c_str());
      status = 1;
      continue;
    }
    std::size_t renamed = 0;
    for (const JournalEntry& entry : journal->entries) {
      if (entry.state != EntryState::kFailed) ++renamed;
    }
    const char* state = journal->undone         ? "undone"
                        : journal->undo_started ? "undo cut short"
                        : journal->ended        ? "not undone"
                                                : "cut short, not undone";
    std::fprintf(out, "%s  %s  %zu %s  %s  %s\n", local_time(journal->started).c_str(),
                 escaped(journal->folder).c_str(), renamed, renamed == 1 ? "file" : "files", state,
                 escaped(path).c_str());
  }
  return status;
}

}  // namespace kestrune::cli
