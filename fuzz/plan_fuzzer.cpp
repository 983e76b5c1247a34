// Plans the rename of an MP3 image with a template; nothing touches the disk.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_input.h"
#include "rename/name_template.h"
#include "rename/rename.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune;
  fuzz::FuzzInput input = fuzz::split_input(data, size);
  const platform::FilePtr file = fuzz::memory_stream(input.image);
  if (!file) return 0;

  const RenamePlan plan = plan_rename(file.get(), input.pattern);
  if (plan.outcome != PlanOutcome::kRename) {
    fuzz::require(plan.new_name.empty());
    return 0;
  }
  // A name to rename to is never empty or too long, ends in ".mp3" and holds
  // no control character.
  const std::string_view name = plan.new_name;
  fuzz::require(name.size() >= 4 && name.size() <= kMaxNewName);
  fuzz::require(name.substr(name.size() - 4) == ".mp3");
  for (const char c : name) fuzz::require(static_cast<unsigned char>(c) >= 0x20);

  // Tag text never climbs out of the folder: when the template itself holds
  // no dot and no separator, no part of the name is ".." and the name does
  // not start at the root.
  if (input.pattern.find_first_of("./\\") == std::string::npos) {
    const auto is_separator = [](char c) { return c == '/' || c == '\\'; };
    fuzz::require(!is_separator(name[0]));
    std::size_t start = 0;
    while (start <= name.size()) {
      std::size_t end = start;
      while (end < name.size() && !is_separator(name[end])) ++end;
      fuzz::require(name.substr(start, end - start) != "..");
      start = end + 1;
    }
  }

  // The same stream planned again gives the same name.
  const RenamePlan again = plan_rename(file.get(), input.pattern);
  fuzz::require(again.outcome == PlanOutcome::kRename && again.new_name == plan.new_name);
  return 0;
}
