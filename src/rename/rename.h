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
  kSkipNotMp3Name,   // the command line's file name does not end in ".mp3"; nothing was read
  kFailUnreadable,   // a regular file that could not be opened or read; `error` says why
  kRefuseLeavesFolder,  // the name would climb out of, or start above, the template's folder
  kRefuseControlCharacter,  // the name holds a byte 1 to 31, DEL or a C1 control
  kRefuseTooLong,    // the name, ".mp3" included, is over 1023 characters
  kRefuseSlash,      // the name holds a '/', which only the backslash may stand for
  kRefusePartTooLong,  // a file or folder name in it is over the file system's limit
  kFailTarget,       // the rename to `new_name` cannot succeed as the disk stands
                     // (target_refusal); `error` says why
};

struct RenamePlan {
  PlanOutcome outcome = PlanOutcome::kSkipNoArgument;
  // The new name as the template made it, ".mp3" appended where it did not
  // end in ".mp3"; backslashes separate folders. Set for kRename and
  // kFailTarget.
  std::string new_name;
  int error = 0;  // errno value for kFailUnreadable and kFailTarget
  platform::EntryKind kind = platform::EntryKind::kRegular;  // for kSkipNotRegular
  std::size_t part_limit = 0;  // for kRefusePartTooLong: the file system's limit
  Id3v2Kind tag_kind = Id3v2Kind::kNone;  // for kSkipNoTag: what begins the file
};

// The rules that make a name beyond the template, as the command line's
// options ask for them (rename/name_rules.h). The defaults are the dialog's:
// ID3v2.3 tags only, tag text put into the name unchanged.
struct NameRules {
  Id3v2Reader reader = Id3v2Reader::kId3v23;
  // folders_from_template: the template's '/' and '\' make folders, tag
  // text makes none (its '/' and '\' become '_').
  bool template_folders_only = false;
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
         outcome == PlanOutcome::kSkipNoTag || outcome == PlanOutcome::kSkipNotMp3Name;
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
  // The units (platform::name_part_length) left for a new name below
  // `folder` within platform::kMaxPath, counted from the folder's absolute
  // path and one separator.
  std::size_t path_room(const std::string& folder);

 private:
  std::unordered_map<std::string, std::size_t> known_;
  std::unordered_map<std::string, std::size_t> rooms_;
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

// `new_name` in the one form in which its target and its folders are
// recorded, printed and compared: without empty parts and "." parts, so that
// "Burial\\Track.mp3" (an empty field between two backslashes) names the
// folder "Burial" once, and without a trailing separator. Leading separators
// (a root, a network share) and ".." parts stay as written.
std::string normal_name(std::string_view new_name);

// The host path of normal_name(new_name) (backslashes separate folders):
// relative names resolve below `base_folder`, or the current directory when
// it is empty.
std::string resolve_name(std::string_view new_name, std::string_view base_folder);

// The folders that `new_name` names (only the backslash makes folders),
// outermost first, each once, resolved as resolve_name does, into `folders`.
void folders_named(const std::string& new_name, std::string_view base_folder,
                   std::vector<std::string>& folders);

// What a run knows of the folders its names go to: whether each is a
// folder, and whether the process may write it (platform::folder_state),
// asked once per folder. A missing folder is asked again each time: the run
// may make it meanwhile.
class FolderStates {
 public:
  int of(const std::string& folder, bool writable);

 private:
  struct State {
    int kind = 0;     // folder_state without `writable`
    int access = -1;  // with it; -1 until asked
  };
  std::unordered_map<std::string, State> known_;
};

// Why moving `source` to the target of `new_name` (resolved as resolve_name
// does) would fail as the disk stands now, or 0: ENOTDIR when a folder of
// the new name exists as something else, or the errno value with which the
// system refuses the process the folder that would receive the new entry
// (the target's folder, or where its first missing folder would be made) or
// the source's own folder (EACCES, EROFS, ...). Asks the file system through
// `states`; changes nothing. A dry run and a run thus fail such a file alike.
int target_refusal(const std::string& source, const std::string& new_name,
                   std::string_view base_folder, FolderStates& states);

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
