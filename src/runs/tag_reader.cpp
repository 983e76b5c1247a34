#include "runs/tag_reader.h"

#include <cerrno>

namespace kestrune::runs {

RenamePlan TagReader::plan(const std::string& path, platform::EntryKind listed,
                           std::string_view pattern, const std::string& base_folder,
                           const NameRules& rules) {
  if (path.empty() || pattern.empty()) return RenamePlan();
  add(path, listed);
  read();
  RenamePlan plan = plan_read(0, pattern, base_folder, rules);
  done();
  return plan;
}

void TagReader::add(const std::string& path, platform::EntryKind listed) {
  skipped_[batch_.size()] = path.empty();
  paths_[batch_.size()] = &path;
  // An empty path is given a kind that is not opened.
  batch_.add(path, path.empty() ? platform::EntryKind::kOther : listed);
}

RenamePlan TagReader::plan_read(std::size_t i, std::string_view pattern,
                                const std::string& base_folder, const NameRules& rules) {
  if (skipped_[i] || pattern.empty()) return RenamePlan();
  if (const int error = batch_.error(i); error != 0) return plan_unopened(batch_.kind(i), error);
  platform::FileReader& file = batch_.file(i);
  more_.file = &file;
  TagBytes bytes{batch_.head(i), batch_.tail(i), file.size(), &more_};
  RenamePlan plan =
      file.failed() ? RenamePlan() : plan_rename(bytes, pattern, base_folder, rules, &limits_, *paths_[i]);
  // A failed read is not the end of the file: a name made from what came
  // before it would be wrong.
  if (file.failed()) plan = plan_unopened(platform::EntryKind::kRegular, EIO);
  return plan;
}

}  // namespace kestrune::runs
