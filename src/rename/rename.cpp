#include "rename/rename.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/platform.h"
#include "rename/name_rules.h"
#include "rename/name_template.h"
#include "rename/template_script.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "tags/tag_bytes.h"

namespace kestrune {

namespace {

constexpr std::string_view kExtension = ".mp3";

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Where a name starts: relative to a folder, at the root, or on Windows at
// a drive (its root or its current folder) or a network share.
enum class Anchor { kRelative, kRoot, kDriveRoot, kDriveRelative, kNetwork };

Anchor anchor_of(std::string_view name) {
#ifdef _WIN32
  if (name.size() >= 2 && is_separator(name[0]) && is_separator(name[1])) return Anchor::kNetwork;
  if (name.size() >= 2 && name[1] == ':') {
    return name.size() >= 3 && is_separator(name[2]) ? Anchor::kDriveRoot : Anchor::kDriveRelative;
  }
#endif
  if (!name.empty() && is_separator(name[0])) return Anchor::kRoot;
  return Anchor::kRelative;
}

// Tag text may make folders below the place the template names, but a ".."
// of its own would carry the file elsewhere, and so would a name that starts
// somewhere the template does not (a leading separator or a drive from tag
// text, or empty fields before the template's first backslash).
bool leaves_folder(const std::string& name, const std::vector<bool>& from_tag,
                   std::string_view pattern) {
  const Anchor anchor = anchor_of(name);
  if (anchor != Anchor::kRelative && anchor != anchor_of(pattern)) return true;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !is_separator(name[end])) ++end;
    if (end - start == 2 && name.compare(start, 2, "..") == 0 &&
        (from_tag[start] || from_tag[start + 1])) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool has_control_character(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    // A zero byte would cut the name short where the system reads it.
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x20 || byte == 0x7F) return true;
#ifndef _WIN32
    // The C1 controls U+0080 to U+009F in UTF-8; the ANSI code pages of
    // Windows have printable characters there.
    if (byte == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
      return true;
    }
#endif
  }
  return false;
}

bool ends_with_extension(std::string_view name) {
  return name.size() >= kExtension.size() &&
         name.substr(name.size() - kExtension.size()) == kExtension;
}

// Whether a file or folder name in `name` is longer than the file system
// where the file goes accepts.
bool has_part_over_limit(std::string_view name, const std::string& base_folder, PartLimits* limits,
                         std::size_t& limit) {
  const std::size_t last = name.rfind('\\');
  const std::string folder = last == std::string_view::npos
                                 ? base_folder
                                 : resolve_name(name.substr(0, last == 0 ? 1 : last), base_folder);
  limit = limits != nullptr ? limits->of(folder) : platform::name_part_limit(folder);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(name.find('\\', start), name.size());
    if (platform::name_part_length(name.substr(start, end - start)) > limit) return true;
    if (end == name.size()) return false;
    start = end + 1;
  }
}

// The plan of a file whose tags were read into `tag_v1` and `tag_v2`.
RenamePlan plan_from_tags(const TagsFound& found, const TagV1& tag_v1, TagV2& tag_v2,
                          std::string_view pattern, const std::string& base_folder,
                          const NameRules& rules, PartLimits* limits = nullptr,
                          std::string_view source = {}) {
  RenamePlan plan;
  // With an ID3v1 trailer the ID3v2 answer does not matter: whatever the
  // reader found is used, and ID3v1 stands in for the rest.
  if (!found.v1 && !found.v2) {
    plan.outcome = PlanOutcome::kSkipNoTag;
    plan.tag_kind = found.v2_kind;
    return plan;
  }
  std::string no_track;
  if (rules.track_digits > 0 && !apply_track_digits(tag_v1, tag_v2, rules.track_digits)) {
    no_track = without_track(pattern);
  }

  std::string name;
  std::vector<bool> from_tag;
  const std::string_view used = no_track.empty() ? pattern : std::string_view(no_track);
  bool fits = true;
  if (!rules.functions) {
    fits = expand_template(used, tag_v1, tag_v2, name, &from_tag);
  } else {
    const ScriptResult result =
        expand_template_script(used, tag_v1, tag_v2, file_name_field(source), name, &from_tag);
    if (result == ScriptResult::kBadTemplate) return RenamePlan();
    fits = result == ScriptResult::kExpanded;
  }
  if (fits && rules.template_folders_only) folders_from_template(name, from_tag);
  if (fits && rules.portable) {
    // A name the template roots is a whole path of its own.
    PartLimits own;
    const std::size_t room = anchor_of(pattern) != Anchor::kRelative
                                 ? platform::kMaxPath
                                 : (limits != nullptr ? *limits : own).path_room(base_folder);
    fits = make_portable(pattern, name, from_tag, room);
  }
  // The checks look at the name exactly as the system will see it.
  if (fits && !ends_with_extension(name)) {
    name += kExtension;
    from_tag.resize(name.size(), false);
  }
  if (!fits || name.size() > kMaxNewName) {
    plan.outcome = PlanOutcome::kRefuseTooLong;
  } else if (leaves_folder(name, from_tag, pattern)) {
    plan.outcome = PlanOutcome::kRefuseLeavesFolder;
  } else if (has_control_character(name)) {
    plan.outcome = PlanOutcome::kRefuseControlCharacter;
  } else if (name.find('/') != std::string::npos) {
    // Only the backslash makes folders, and both systems read '/' as one.
    plan.outcome = PlanOutcome::kRefuseSlash;
  } else if (has_part_over_limit(name, base_folder, limits, plan.part_limit)) {
    plan.outcome = PlanOutcome::kRefusePartTooLong;
  } else {
    plan.outcome = PlanOutcome::kRename;
    plan.new_name = std::move(name);
  }
  return plan;
}

}  // namespace

RenamePlan plan_unopened(platform::EntryKind kind, int error) {
  RenamePlan plan;
  plan.error = error;
  plan.kind = kind;
  const bool regular = kind == platform::EntryKind::kRegular || kind == platform::EntryKind::kUnknown;
  plan.outcome = regular ? PlanOutcome::kFailUnreadable : PlanOutcome::kSkipNotRegular;
  return plan;
}

std::size_t PartLimits::of(const std::string& folder) {
  const auto known = known_.find(folder);
  if (known != known_.end()) return known->second;
  return known_.emplace(folder, platform::name_part_limit(folder)).first->second;
}

std::size_t PartLimits::path_room(const std::string& folder) {
  const auto known = rooms_.find(folder);
  if (known != rooms_.end()) return known->second;
  std::string absolute = folder;
  if (!platform::is_absolute_path(folder)) {
    absolute = platform::join_path(platform::current_directory().value_or(std::string()), folder);
  }
  absolute = platform::normal_path(absolute);
  while (absolute.size() > 1 && is_separator(absolute.back())) absolute.pop_back();
  const std::size_t used = platform::name_part_length(absolute) + 1;
  return rooms_.emplace(folder, platform::kMaxPath > used ? platform::kMaxPath - used : 0)
      .first->second;
}

RenamePlan plan_rename(const TagBytes& bytes, std::string_view pattern,
                       const std::string& base_folder, const NameRules& rules,
                       PartLimits* limits, std::string_view source) {
  if (pattern.empty()) return RenamePlan();
  TagV1 tag_v1;
  TagV2 tag_v2;
  const TagsFound found = read_tags(tag_v1, tag_v2, bytes, rules.reader);
  return plan_from_tags(found, tag_v1, tag_v2, pattern, base_folder, rules, limits, source);
}

namespace {

RenamePlan plan_stream(std::FILE* file, std::string_view pattern, const std::string& base_folder,
                       const NameRules& rules, std::string_view source) {
  if (file == nullptr || pattern.empty()) return RenamePlan();
  StreamBytes more(file);
  std::string head;
  TagBytes bytes = more.read_head(head);
  char tail[kTagTailSize];
  if (head.size() < bytes.file_size) {
    bytes.tail = std::string_view(
        tail, more.read_at(tail_offset(bytes.file_size), tail, tail_size(bytes.file_size)));
  }
  TagV1 tag_v1;
  TagV2 tag_v2;
  const TagsFound found = read_tags(tag_v1, tag_v2, bytes, rules.reader);
  // A failed read is not the end of the file: a name made from what came
  // before it would be wrong, so the file is left as one that cannot be read.
  if (std::ferror(file)) return plan_unopened(platform::EntryKind::kRegular, EIO);
  return plan_from_tags(found, tag_v1, tag_v2, pattern, base_folder, rules, nullptr, source);
}

}  // namespace

RenamePlan plan_rename(std::FILE* file, std::string_view pattern, const std::string& base_folder,
                       const NameRules& rules) {
  return plan_stream(file, pattern, base_folder, rules, {});
}

RenamePlan plan_rename(std::FILE* file, std::string_view pattern, const std::string& base_folder) {
  return plan_rename(file, pattern, base_folder, NameRules());
}

RenamePlan plan_rename(const std::string& path, std::string_view pattern,
                       const std::string& base_folder, const NameRules& rules) {
  if (path.empty() || pattern.empty()) return RenamePlan();
  int error = 0;
  platform::EntryKind kind = platform::EntryKind::kRegular;
  const platform::FilePtr file = platform::open_regular_file(path, &error, &kind);
  if (!file) return plan_unopened(kind, error);
  return plan_stream(file.get(), pattern, base_folder, rules, path);
}

RenamePlan plan_rename(const std::string& path, std::string_view pattern,
                       const std::string& base_folder) {
  return plan_rename(path, pattern, base_folder, NameRules());
}

std::string normal_name(std::string_view new_name) {
  std::size_t lead = 0;
  while (lead < new_name.size() && is_separator(new_name[lead])) ++lead;
  std::string name(new_name.substr(0, lead));
  std::size_t start = lead;
  while (start < new_name.size()) {
    std::size_t end = start;
    while (end < new_name.size() && !is_separator(new_name[end])) ++end;
    const std::string_view part = new_name.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (name.size() > lead) name += '\\';
      name += part;
    }
    start = end + 1;
  }
  return name;
}

std::string resolve_name(std::string_view new_name, std::string_view base_folder) {
  return platform::join_path(base_folder, platform::host_path(normal_name(new_name)));
}

void folders_named(const std::string& new_name, std::string_view base_folder,
                   std::vector<std::string>& folders) {
  folders.clear();
  const std::string name = normal_name(new_name);
  std::size_t lead = 0;
  while (lead < name.size() && name[lead] == '\\') ++lead;
  for (std::size_t i = name.find('\\', lead); i != std::string::npos; i = name.find('\\', i + 1)) {
    folders.push_back(resolve_name(std::string_view(name).substr(0, i), base_folder));
  }
}

int FolderStates::of(const std::string& folder, bool writable) {
  auto known = known_.find(folder);
  if (known == known_.end()) {
    const int kind = platform::folder_state(folder, false);
    if (kind == ENOENT) return kind;
    known = known_.emplace(folder, State{kind}).first;
  }
  State& state = known->second;
  if (state.kind != 0 || !writable) return state.kind;
  if (state.access < 0) state.access = platform::folder_state(folder, true);
  return state.access;
}

namespace {

// The folder a host path lies in: "." for a bare name.
std::string parent_of(const std::string& path) {
#ifdef _WIN32
  const std::size_t at = path.find_last_of("\\/");
#else
  const std::size_t at = path.rfind('/');
#endif
  if (at == std::string::npos) return ".";
  return path.substr(0, at == 0 ? 1 : at);
}

}  // namespace

int target_refusal(const std::string& source, const std::string& new_name,
                   std::string_view base_folder, FolderStates& states) {
  std::vector<std::string> folders;
  folders_named(new_name, base_folder, folders);
  std::string receiving;
  for (std::size_t i = 0; i < folders.size() && receiving.empty(); ++i) {
    const int state = states.of(folders[i], false);
    if (state == ENOENT) {
      receiving = i == 0 ? parent_of(folders[0]) : folders[i - 1];
    } else if (state != 0) {
      return state;
    }
  }
  if (receiving.empty()) {
    receiving = folders.empty() ? parent_of(resolve_name(new_name, base_folder)) : folders.back();
  }
  if (const int refusal = states.of(receiving, true); refusal != 0) return refusal;
  // The rename also takes the entry out of the source's folder.
  const std::string from = parent_of(source);
  return from == receiving ? 0 : states.of(from, true);
}

int make_folders(const std::string& new_name, std::string_view base_folder,
                 std::vector<std::string>& made, RenameWatcher* watcher) {
  made.clear();
  std::vector<std::string> folders;
  folders_named(new_name, base_folder, folders);
  for (std::string& folder : folders) {
    // Anything in the folder's place (a file included) is left to the rename
    // to report; only a missing folder is made, and announced first.
    if (platform::entry_info(folder).kind != platform::EntryType::kMissing) continue;
    if (watcher != nullptr && !watcher->before_folder(folder)) return ECANCELED;
    const int error = platform::create_folder(folder);
    if (error == 0) {
      made.push_back(std::move(folder));
    } else if (error != EEXIST) {
      return error;
    }
  }
  return 0;
}

void remove_folders(const std::vector<std::string>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) platform::remove_empty_folder(*it);
}

int apply_rename(const std::string& path, const std::string& new_name,
                 const std::string& base_folder, RenameWatcher* watcher) {
  std::vector<std::string> made;
  int error = make_folders(new_name, base_folder, made, watcher);
  if (error != 0) return error;
  const std::string target = resolve_name(new_name, base_folder);
  if (watcher != nullptr) watcher->before_rename(path, target);
  error = platform::rename_no_replace(path, target);
  if (watcher != nullptr) watcher->after_rename(error);
  return error;
}

int rename_by_tags(const char* path, const char* pattern, RenameWatcher* watcher) {
  if (path == nullptr || pattern == nullptr) return 0;
  const RenamePlan plan = plan_rename(std::string(path), std::string_view(pattern));
  if (is_skip(plan.outcome)) return 0;
  if (plan.outcome != PlanOutcome::kRename) return -1;
  return apply_rename(path, plan.new_name, std::string(), watcher) == 0 ? 0 : -1;
}

}  // namespace kestrune
