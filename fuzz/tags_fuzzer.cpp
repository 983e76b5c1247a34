// Reads an MP3 image with both tag readers through a stdio stream, expands a
// template over what they found and releases the texts.

#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "rename/name_template.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune;
  fuzz::FuzzInput input = fuzz::split_input(data, size);
  const platform::FilePtr file = fuzz::memory_stream(input.image);
  if (!file) return 0;

  TagV1 tag_v1;
  TagV2 tag_v2;
  const bool has_v1 = read_tag_v1(tag_v1, file.get());
  read_tag_v2(tag_v2, file.get());
  if (!has_v1) {
    // A reader that finds nothing leaves the block all zero.
    for (const char byte : std::string_view(reinterpret_cast<const char*>(&tag_v1), sizeof tag_v1)) {
      fuzz::require(byte == 0);
    }
  }

  std::string name;
  std::vector<bool> from_tag;
  const bool fits = expand_template(input.pattern, tag_v1, tag_v2, name, &from_tag);
  fuzz::require(from_tag.size() == name.size());
  fuzz::require(!fits || name.size() <= kMaxNewName);

  free_tag_v2(tag_v2);
  fuzz::require(!tag_v2.title && !tag_v2.artist && !tag_v2.album && !tag_v2.year &&
                !tag_v2.comment && !tag_v2.track);
  return 0;
}
