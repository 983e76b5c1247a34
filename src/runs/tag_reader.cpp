#include "runs/tag_reader.h"

#include <cerrno>

namespace kestrune::runs {

RenamePlan TagReader::plan(const std::string& path, platform::EntryKind listed,
                           std::string_view pattern, const std::string& base_folder,
                           const NameRules& rules) {
  if (path.empty() || pattern.empty()) return RenamePlan();
  platform::EntryKind kind = platform::EntryKind::kRegular;
  if (const int error = file_.open(path, &kind, listed); error != 0) {
    return plan_unopened(kind, error);
  }
  TagBytes bytes;
  bytes.file_size = file_.size();
  bytes.more = &more_;
  const std::size_t head = file_.read_at(0, head_, sizeof head_);
  bytes.head = {head_, head};
  // A head that holds the whole file holds its trailer too.
  if (head < bytes.file_size) {
    const std::size_t tail =
        file_.read_at(tail_offset(bytes.file_size), tail_, tail_size(bytes.file_size));
    bytes.tail = {tail_, tail};
  }
  RenamePlan plan =
      file_.failed() ? RenamePlan() : plan_rename(bytes, pattern, base_folder, rules, &limits_);
  // A failed read is not the end of the file: a name made from what came
  // before it would be wrong.
  if (file_.failed()) plan = plan_unopened(platform::EntryKind::kRegular, EIO);
  file_.close();
  return plan;
}

}  // namespace kestrune::runs
