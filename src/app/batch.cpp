#include "app/batch.h"

#include <cerrno>

#include "platform/platform.h"
#include "rename/rename.h"

namespace kestrune {

namespace {

constexpr std::string_view kQuestion = "\nSave list to file? (Error.log)";
constexpr char kSuccessText[] = "Successfuly renamed all selected files!";

// The run's renames, each told to its journal (if any) first.
struct Renamer {
  const std::string& pattern;
  RenameWatcher* journal;
  bool operator()(const std::string& path) const {
    return rename_by_tags(path.c_str(), pattern.c_str(), journal) != -1;
  }
};

void walk_selected(const FileChoice& choice, const Renamer& renamed, FailureList& failures) {
  if (!choice.first.empty() && choice.names.empty()) {
    if (!renamed(choice.first)) failures.add(choice.first);
    return;
  }
  for (const std::string& name : choice.names) {
    // An empty name ends the list, as in the request's own result layout.
    if (name.empty()) break;
    if (!renamed(choice.first + platform::kSeparator + name)) failures.add(name);
  }
}

void walk_all_files(const FileChoice& choice, const Renamer& renamed, FailureList& failures) {
  // Bare names resolve in the current directory, which is the chosen folder.
  for (const std::string& name : platform::list_mp3_files(folder_of(choice.first))) {
    if (!renamed(name)) failures.add(name);
  }
}

}  // namespace

void FailureList::add(std::string_view entry) {
  text_.append(entry);
  text_ += '\n';
  ++entries_;
}

std::string FailureList::box_text() const { return text_ + std::string(kQuestion); }

std::string FailureList::log_bytes() const {
  const std::string_view list(text_.data(), text_.size() - 1);
  std::string bytes;
  bytes.reserve(list.size() + entries_ + 2);
  for (const char c : list) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

ErrorListResult write_error_list(const std::string& path, std::string_view bytes) {
  using Refusal = ErrorListRefusal;
  const platform::EntryInfo info = platform::entry_info(path);
  switch (info.kind) {
    case platform::EntryType::kLink:
      return {Refusal::kLink};
    case platform::EntryType::kFolder:
    case platform::EntryType::kOther:
      return {Refusal::kNotAFile};
    case platform::EntryType::kMissing:
      if (info.error != ENOENT) return {Refusal::kFailed, info.error};
      break;
    case platform::EntryType::kFile: {
      platform::FileReader file;
      platform::EntryKind kind{};
      if (const int error = file.open(path, &kind); error != 0) {
        return kind == platform::EntryKind::kRegular || kind == platform::EntryKind::kMissing
                   ? ErrorListResult{Refusal::kFailed, error}
                   : ErrorListResult{Refusal::kNotAFile};
      }
      std::string head(kFailureHeader.size(), '\0');
      head.resize(file.read_at(0, head.data(), head.size()));
      if (file.failed()) return {Refusal::kFailed, EIO};
      if (file.size() != 0 && head != kFailureHeader) return {Refusal::kNotAnErrorList};
      break;
    }
  }
  errno = 0;
  if (!platform::replace_file(path, bytes, platform::ReplacePolicy::kRegularFileOnly)) {
    return {Refusal::kFailed, errno != 0 ? errno : EIO};
  }
  return {};
}

FileRequest file_request_for(std::int32_t method) {
  FileRequest request;
  request.allow_multiple = method == 0;
  request.file_must_exist = method == 0;
  return request;
}

std::string folder_of(const std::string& picked_path) {
  const std::size_t separator = platform::last_separator(picked_path);
  return separator == std::string::npos ? std::string() : picked_path.substr(0, separator + 1);
}

void run_batch(const Settings& settings, BatchFrontEnd& front_end, JournalStart start_journal) {
  const std::optional<FileChoice> choice = front_end.choose_files(file_request_for(settings.method));
  if (!choice) return;

  FailureList failures;
  {
    const std::unique_ptr<RenameWatcher> journal = start_journal ? start_journal() : nullptr;
    const Renamer renamed{settings.format, journal.get()};
    if (settings.method == 0) {
      walk_selected(*choice, renamed, failures);
    } else {
      walk_all_files(*choice, renamed, failures);
    }
  }

  if (failures.empty()) {
    front_end.show_message({kSuccessText, "Success", MessageButtons::kOk, MessageIcon::kInformation});
    return;
  }
  if (front_end.show_message(
          {failures.box_text(), "Error", MessageButtons::kYesNo, MessageIcon::kWarning})) {
    // Never through a link, and never a half-written list over an old one.
    platform::replace_file(kErrorLogName, failures.log_bytes(),
                           platform::ReplacePolicy::kRegularFileOnly);
  }
}

}  // namespace kestrune
