#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "tags/read_tags.h"

namespace kestrune {

// What the plan step decided for one file.
enum class PlanOutcome {
  kRename,           // `new_name` is the target
  kSkipNoArgument,   // the path or the template is empty
  kSkipNotRegular,   // not a regular file (or nothing at all); `kind` says what it is
  kSkipNoTag,        // no ID3v1 trailer nor an ID3v2 tag the reader reads; `tag_kind` says why
  kFailUnreadable,   // a regular file that could not be opened or read; `error` says why
  kRefuseLeavesFolder,  // the name would climb out of, or start above, the template's folder
  kRefuseControlCharacter,  // the name holds a byte 1 to 31, DEL or a C1 control
  kRefuseTooLong,    // the name, ".mp3" included, is over 1023 characters
  kRefuseSlash,      // the name holds a '/', which only the backslash may stand for
  kRefusePartTooLong,  // a file or folder name in it is over the file system's limit
};

struct RenamePlan {
  PlanOutcome outcome = PlanOutcome::kSkipNoArgument;
  // The new name as the template made it, ".mp3" appended where it did not
  // end in ".mp3"; backslashes separate folders. Set only for kRename.
  std::string new_name;
  int error = 0;  // errno value for kFailUnreadable
  platform::EntryKind kind = platform::EntryKind::kRegular;  // for kSkipNotRegular
  std::size_t part_limit = 0;  // for kRefusePartTooLong: the file system's limit
  Id3v2Kind tag_kind = Id3v2Kind::kNone;  // for kSkipNoTag: what begins the file
};

// The rules that make a name beyond the template, as the command line's
// options ask for them (rename/name_rules.h). The defaults are the dialog's:
// ID3v2.3 tags only, tag text put into the name unchanged.
struct NameRules {
  Id3v2Reader reader = Id3v2Reader::kId3v23;
  bool portable = false;  // make_portable: names every common file system accepts
  int track_digits = 0;   // %track% padded to this many digits; 0: as the tag holds it
  // The template language of rename/template_script.h instead of the
  // dialog's expand_template. The template must pass check_template_script;
  // one that does not makes no plan (kSkipNoArgument).
  bool functions = false;
};

// Skips count as success: the file is left alone and not reported.
inline bool is_skip(PlanOutcome outcome) {
  return outcome == PlanOutcome::kSkipNoArgument || outcome == PlanOutcome::kSkipNotRegular ||
         outcome == PlanOutcome::kSkipNoTag;
}

// Opens and reads `path` and computes its new name. Touches nothing on disk.
// A relative new name is meant to resolve against `base_folder` (a host
// path, the current directory when empty), whose file system sets the
// longest name part.
RenamePlan plan_rename(const std::string& path, std::string_view pattern,
                       const std::string& base_folder = std::string());

// The same on a file the caller has opened (borrowed, binary, seekable).
RenamePlan plan_rename(std::FILE* file, std::string_view pattern,
                       const std::string& base_folder = std::string());

// The same with `rules`: the tags are read with the chosen reader, then
// apply_track_digits, expand_template, make_portable, ".mp3" and the checks
// follow in that order. Default rules give the plan of the forms above.
RenamePlan plan_rename(std::FILE* file, std::string_view pattern, const std::string& base_folder,
                       const NameRules& rules);
RenamePlan plan_rename(const std::string& path, std::string_view pattern,
                       const std::string& base_folder, const NameRules& rules);

// The longest name part of the file system of each folder a run's names go
// to, asked of the system once per folder (platform::name_part_limit).
class PartLimits {
 public:
  std::size_t of(const std::string& folder);

 private:
  std::unordered_map<std::string, std::size_t> known_;
};

// The same on the bytes of a file the caller has read (tags/tag_bytes.h).
// `limits`, when given, keeps the limits of the folders across files.
// `source` is the file's path, whose name %filename% gives with the
// functions rule.
RenamePlan plan_rename(const TagBytes& bytes, std::string_view pattern,
                       const std::string& base_folder, const NameRules& rules,
                       PartLimits* limits = nullptr, std::string_view source = {});

// The plan of a file that platform::open_regular_file did not open.
RenamePlan plan_unopened(platform::EntryKind kind, int error);

// Hears of what the rename of one file is about to do, so that a journal
// can record it first. A run's journal implements it.
class RenameWatcher {
 public:
  virtual ~RenameWatcher() = default;
  // Before the folder `folder` (a host path) is made. False: it is not made
  // and the file does not move.
  virtual bool before_folder(const std::string& folder) = 0;
  // Before `from` moves to `to` (host paths), and after it, with 0 or the
  // errno value of the failure.
  virtual void before_rename(const std::string& from, const std::string& to) {
    (void)from;
    (void)to;
  }
  virtual void after_rename(int error) { (void)error; }
};

// The host path of `new_name` (backslashes separate folders): relative names
// resolve below `base_folder`, or the current directory when it is empty.
std::string resolve_name(std::string_view new_name, std::string_view base_folder);

// The folders that `new_name` names (only the backslash makes folders),
// outermost first, each resolved as resolve_name does, into `folders`.
void folders_named(const std::string& new_name, std::string_view base_folder,
                   std::vector<std::string>& folders);

// Makes the folders that `new_name` names, outermost first, each resolved as
// resolve_name does; only the backslash makes folders. Folders that exist
// already are passed by. `made` receives the folders made here. Answers 0,
// the errno value of the first creation that failed (no space left,
// permission denied, ...), or ECANCELED when `watcher` refused a folder.
int make_folders(const std::string& new_name, std::string_view base_folder,
                 std::vector<std::string>& made, RenameWatcher* watcher = nullptr);

// Removes the folders of `made` again, innermost first, each only when it is
// empty.
void remove_folders(const std::vector<std::string>& made);

// Creates the folders that `new_name` names and moves `path` there, never
// replacing an existing file. Answers 0 on success, else an errno value: the
// failed folder creation's, or the rename's. Folders made stay.
int apply_rename(const std::string& path, const std::string& new_name,
                 const std::string& base_folder = std::string(),
                 RenameWatcher* watcher = nullptr);

// Renames one file after its tags with the template `pattern`: 0 when it was
// renamed or skipped, -1 when it was refused or the rename failed. `watcher`
// hears of the folders and the rename first.
int rename_by_tags(const char* path, const char* pattern, RenameWatcher* watcher = nullptr);

}  // namespace kestrune
