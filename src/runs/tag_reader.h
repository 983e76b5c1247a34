#pragma once

// Reads the tags of one file at a time at the system-call floor: one open,
// one status call, one read of the head, one of the tail where the head does
// not reach it, and the close. One reader per thread, reused for every file
// of one run.

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "rename/rename.h"
#include "tags/tag_bytes.h"

namespace kestrune::runs {

class TagReader {
 public:
  TagReader() = default;
  TagReader(const TagReader&) = delete;
  TagReader& operator=(const TagReader&) = delete;

  // Opens `path`, reads its tags and plans its rename with `pattern` as
  // plan_rename does; the file is closed again before it returns. `listed` is
  // what a folder listing told of the entry (platform::FileReader::open).
  RenamePlan plan(const std::string& path, platform::EntryKind listed, std::string_view pattern,
                  const std::string& base_folder, const NameRules& rules);

 private:
  // The bytes beyond the head, read from the open file on demand.
  class More final : public MoreBytes {
   public:
    explicit More(platform::FileReader& file) : file_(file) {}
    std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) override {
      return file_.read_at(offset, out, count);
    }

   private:
    platform::FileReader& file_;
  };

  platform::FileReader file_;
  More more_{file_};
  PartLimits limits_;  // a run does not change its current directory
  char head_[kTagHeadSize];
  char tail_[kTagTailSize];
};

}  // namespace kestrune::runs
