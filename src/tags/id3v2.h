#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "tags/tag_bytes.h"

namespace kestrune {

// The header values of an ID3v2.3 tag and the texts the renamer uses: the six
// of the dialog's template, and four more that only the command line's
// template language names. Each text is absent (no readable frame), present
// and empty, or present.
struct TagV2 {
  std::uint8_t version = 0;
  std::uint8_t revision = 0;
  std::uint8_t flags = 0;
  std::uint32_t size = 0;
  std::optional<std::string> title;    // "TIT2"
  std::optional<std::string> artist;   // "TPE1"
  std::optional<std::string> album;    // "TALB"
  std::optional<std::string> year;     // "TYER"
  std::optional<std::string> comment;  // "COMM", only a frame with an empty description
  std::optional<std::string> track;    // "TRCK"
  std::optional<std::string> album_artist;  // "TPE2"
  std::optional<std::string> disc;          // "TPOS", e.g. "1/2"
  std::optional<std::string> genre;         // "TCON", as written: "(17)", "Rock", "17"
  std::optional<std::string> composer;      // "TCOM"

  friend bool operator==(const TagV2&, const TagV2&) = default;
};

// Reads the ID3v2.3 tag at the start of the file. The record is cleared
// first. Answers true when the file begins with an ID3v2.3 header without
// flags, whatever its frames hold; the frames that can be read fill the
// texts, and a frame cut short by the end of the file ends the walk. A body
// is read only as far as kTagTextReach characters of text reach (a longer
// text makes no name anyway); the rest is skipped, never read.
// Reads nothing beyond the file and allocates no more than a few KiB
// whatever the sizes in the tag say.
bool read_tag_v2(TagV2& tag, const TagBytes& bytes);

// The same over `file` (borrowed, opened for binary reading, seekable),
// whose position is unspecified afterwards.
bool read_tag_v2(TagV2& tag, std::FILE* file);

// Releases the texts of `tag`. They may not be used afterwards.
void free_tag_v2(TagV2& tag);

}  // namespace kestrune
