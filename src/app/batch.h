#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "rename/rename.h"

namespace kestrune {

inline constexpr char kRequestTitle[] = "Rename MP3 Files...";
inline constexpr char kErrorLogName[] = "Error.log";

// The file-selection request. Selected picks one or more existing files of
// one folder; All Files picks one name in an existing folder, which need not
// exist. Neither shows a read-only check box.
struct FileRequest {
  std::string title = kRequestTitle;
  // Description and pattern; the first pair is in force when it opens.
  std::vector<std::pair<std::string, std::string>> filters = {
      {"MP3 Files (*.mp3)", "*.mp3"}, {"All Files (*.*)", "*.*"}};
  bool allow_multiple = false;
  bool file_must_exist = false;
};

// A confirmed choice, in one of two layouts: the full path of a single file
// with no names, or a folder and the bare names of the files picked in it.
struct FileChoice {
  std::string first;
  std::vector<std::string> names;
};

enum class MessageButtons { kOk, kYesNo };
enum class MessageIcon { kInformation, kWarning };

struct Message {
  std::string text;
  std::string caption;
  MessageButtons buttons = MessageButtons::kOk;
  MessageIcon icon = MessageIcon::kInformation;
};

// What a batch needs of the front end that runs it.
class BatchFrontEnd {
 public:
  virtual ~BatchFrontEnd() = default;
  // Runs the file-selection request; nothing when it was cancelled or failed.
  // After a confirmed choice the current directory is the chosen folder.
  virtual std::optional<FileChoice> choose_files(const FileRequest& request) = 0;
  // Shows a message box, modal to the dialog; true when the answer is Yes.
  virtual bool show_message(const Message& message) = 0;
};

// The first line of every failure list, and of every Error.log.
inline constexpr std::string_view kFailureHeader = "The following files couldn't be renamed:";

// The names of the files whose rename failed, one per line behind a header.
class FailureList {
 public:
  void add(std::string_view entry);
  bool empty() const { return entries_ == 0; }
  // The failure box: the list, an empty line and the offer to save it.
  std::string box_text() const;
  // "Error.log": the list without the last line break, every "\n" as CR LF.
  std::string log_bytes() const;

 private:
  std::string text_ = std::string(kFailureHeader) + "\n\n";
  std::size_t entries_ = 0;
};

// The request for the given rename method (0 = Selected, else All Files).
FileRequest file_request_for(std::int32_t method);

// The folder part of a path picked for All Files: everything up to and
// including its last separator, or empty (the current directory) when it
// has none.
std::string folder_of(const std::string& picked_path);

// Why write_error_list wrote nothing.
enum class ErrorListRefusal {
  kNone,            // written
  kLink,            // the name is a link, which is never written through
  kNotAFile,        // a folder, a device, a FIFO or a socket
  kNotAnErrorList,  // a file that is neither empty nor an earlier error list
  kFailed,          // the system refused; `error` says why
};
struct ErrorListResult {
  ErrorListRefusal refusal = ErrorListRefusal::kNone;
  int error = 0;  // errno value for kFailed
};

// Writes the error list `bytes` (FailureList::log_bytes) to `path` of the
// user's choosing as the dialog writes Error.log: never through a link, new
// beside it and renamed into place. A file already there is replaced only
// when it is empty or begins with the list's first line, so that a mistyped
// name costs no other file; otherwise nothing is written.
ErrorListResult write_error_list(const std::string& path, std::string_view bytes);

// Starts the journal of one run once the files are chosen; it hears of each
// folder and rename first, and ends the run when destroyed.
using JournalStart = std::unique_ptr<RenameWatcher> (*)();

// One press of "Rename Files": asks for files, renames each with the
// template, and ends with the success box or the failure box, writing
// "Error.log" in the current directory when the user answers Yes. With
// `start_journal` the renames are journaled; the journal changes nothing
// of the run.
void run_batch(const Settings& settings, BatchFrontEnd& front_end,
               JournalStart start_journal = nullptr);

}  // namespace kestrune
