#include "cli/undo_command.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "cli/report.h"
#include "runs/undo.h"

namespace kestrune::cli {

using namespace runs;

namespace {

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

std::string problem_text(const JournalProblem& problem) {
  switch (problem.kind) {
    case JournalProblem::kNotAJournal:
      return "not a journal of kestrune-cli";
    case JournalProblem::kNotOwned:
      return "it belongs to another user; an undo follows only the user's own journals";
    case JournalProblem::kWritableByOthers:
      return "others may write it; an undo follows only journals no one else can change";
    case JournalProblem::kRunGoing:
      return "the run is still going";
    case JournalProblem::kUnreadable:
      return problem.error == EINVAL ? "not a regular file" : errno_reason(problem.error);
    case JournalProblem::kNone:
      break;
  }
  return "unknown reason";
}

}  // namespace

int run_undo(const std::string& journal_path, bool dry_run, bool quiet, std::FILE* out,
             std::FILE* err) {
  std::string path = journal_path;
  std::optional<Journal> journal;
  if (path.empty()) {
    const std::optional<std::string> folder = runs_folder();
    if (!folder) {
      std::fprintf(err, "kestrune-cli: %s\n", kNoRunsFolder);
      return 1;
    }
    LastRun last = last_run_to_undo(*folder);
    for (const auto& [passed, why] : last.passed_over) {
      if (!quiet) {
        std::fprintf(err, "passing over the journal %s: %s\n", escaped(passed).c_str(),
                     problem_text(why).c_str());
      }
    }
    if (last.in_folder) {
      const char* why = last.problem.kind == JournalProblem::kNotOwned ? "it belongs to another user"
                        : last.problem.kind == JournalProblem::kWritableByOthers
                            ? "others may write it"
                            : "not a folder";
      std::fprintf(err,
                   "kestrune-cli: cannot undo from the runs folder %s: %s; an undo follows "
                   "only the user's own folder that no one else can change\n",
                   escaped(last.problem_path).c_str(), why);
      return 1;
    }
    if (last.problem.kind != JournalProblem::kNone) {
      std::fprintf(err,
                   "kestrune-cli: cannot tell the last run: the newest journal %s cannot be "
                   "read: %s; --undo JOURNAL undoes an older run\n",
                   escaped(last.problem_path).c_str(), problem_text(last.problem).c_str());
      return 1;
    }
    if (!last.journal) {
      if (!quiet) std::fprintf(err, "nothing to undo: no run in %s is left to undo\n", escaped(*folder).c_str());
      return 0;
    }
    journal = std::move(last.journal);
    path = journal->path;
  } else {
    JournalProblem problem;
    journal = read_journal(path, &problem, true);
    if (!journal) {
      std::fprintf(err, "kestrune-cli: cannot undo with the journal %s: %s\n",
                   escaped(path).c_str(), problem_text(problem).c_str());
      return 1;
    }
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
      case UndoEvent::kNotAFile:
        reason = "not a regular file";
        break;
      case UndoEvent::kNotMp3:
        reason = "not an .mp3 name";
        break;
      case UndoEvent::kNameTaken:
        reason = errno_reason(EEXIST);
        break;
      case UndoEvent::kThroughLink:
        reason = "a link stands where a folder was; an undo never goes through one";
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
      case UndoEvent::kFolderThroughLink:
        if (!quiet) {
          std::fprintf(err, "kept folder: %s: a link stands there or on the way\n", line.c_str());
        }
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
  if (result.journal_error.failed()) {
    std::fprintf(err, "kestrune-cli: %s; the undo stopped there\n",
                 journal_error_text(result.journal_error).c_str());
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
    JournalProblem problem;
    const std::optional<Journal> journal = read_journal(path, &problem);
    if (!journal) {
      std::fprintf(err, "kestrune-cli: cannot read the journal %s: %s\n", escaped(path).c_str(),
                   problem_text(problem).c_str());
      status = 1;
      continue;
    }
    std::size_t renamed = 0;
    for (const JournalEntry& entry : journal->entries) {
      if (entry.state != EntryState::kFailed) ++renamed;
    }
    const char* state = journal->undone         ? "undone"
                        : journal->running         ? "still going"
                        : journal->undo_started ? "partly undone"
                        : journal->ended        ? "not undone"
                                                : "cut short, not undone";
    std::fprintf(out, "%s  %s  %zu %s  %s  %s\n", local_time(journal->started).c_str(),
                 escaped(journal->folder).c_str(), renamed, renamed == 1 ? "file" : "files", state,
                 escaped(path).c_str());
  }
  return status;
}

std::string journal_error_text(const JournalError& error) {
  if (error.path.empty()) {
    // No journal was named: the runs folder is unknown, or could not be made.
    const std::optional<std::string> folder = runs_folder();
    const std::string problem =
        !folder ? std::string(kNoRunsFolder)
                : "cannot make the runs folder " + escaped(*folder) + ": " +
                      (error.error == ENOTDIR ? "a folder on its path is a file"
                                              : errno_reason(error.error));
    return problem + "; give --journal FILE or --no-journal";
  }
  return error.what + " " + escaped(error.path) + ": " +
         (error.error == EEXIST ? std::string("it exists already") : errno_reason(error.error));
}

}  // namespace kestrune::cli
