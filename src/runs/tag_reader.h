#pragma once

// Reads the tags of files at the system-call floor: per file one open, one
// status call, one read of the head, one of the tail where the head does not
// reach it, and the close; a batch of files has its opens and its reads
// handed to the system together (platform::FileBatch). One reader per
// thread, reused for every file of one run.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "rename/rename.h"
#include "tags/tag_bytes.h"

namespace kestrune::runs {

class TagReader {
 public:
  static constexpr std::size_t kBatch = platform::FileBatch::kMaxFiles;

  TagReader() : batch_(kTagHeadSize, kTagTailSize) {}
  TagReader(const TagReader&) = delete;
  TagReader& operator=(const TagReader&) = delete;

  // Opens `path`, reads its tags and plans its rename with `pattern` as
  // plan_rename does; the file is closed again before it returns. `listed` is
  // what a folder listing told of the entry (platform::FileReader::open).
  RenamePlan plan(const std::string& path, platform::EntryKind listed, std::string_view pattern,
                  const std::string& base_folder, const NameRules& rules);

  // The same for up to kBatch files at once: add() each (`path` borrowed
  // until done()), read() them together, then plan_read() the i-th added as
  // plan() would plan it, and done() closes them all.
  void add(const std::string& path, platform::EntryKind listed);
  void read() { batch_.read(); }
  RenamePlan plan_read(std::size_t i, std::string_view pattern, const std::string& base_folder,
                       const NameRules& rules);
  void done() { batch_.clear(); }

  // The folders of the targets, kept across the files of the run as the
  // part limits are.
  FolderStates& folder_states() { return folder_states_; }

 private:
  // The bytes beyond the head, read from the open file on demand.
  class More final : public MoreBytes {
   public:
    std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) override {
      return file->read_at(offset, out, count);
    }
    platform::FileReader* file = nullptr;
  };

  platform::FileBatch batch_;
  bool skipped_[kBatch] = {};  // no path to open
  const std::string* paths_[kBatch] = {};  // borrowed until done(), for %filename%
  More more_;
  PartLimits limits_;  // a run does not change its current directory
  FolderStates folder_states_;
};

}  // namespace kestrune::runs
