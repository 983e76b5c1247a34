#pragma once

// Both tags of one file in one call, for the rename pipeline.

#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "tags/id3v2_any.h"
#include "tags/tag_bytes.h"

namespace kestrune {

// Which reader takes the ID3v2 tag.
enum class Id3v2Reader {
  kId3v23,    // read_tag_v2: plain ID3v2.3 tags only, as the dialog reads them
  kAnyId3v2,  // read_tag_v2_any: ID3v2.2, ID3v2.3 and ID3v2.4
};

struct TagsFound {
  bool v1 = false;                       // read_tag_v1's answer
  bool v2 = false;                       // the ID3v2 reader's answer
  Id3v2Kind v2_kind = Id3v2Kind::kNone;  // what begins the file, read or not
};

// Reads the ID3v1 trailer into `tag_v1` and the ID3v2 tag into `tag_v2`
// (both cleared first) with the chosen reader. A file with neither `v1` nor
// `v2` is skipped by the rename; `v2_kind` then tells why ("no ID3 tag" for
// kNone, an ID3v2.4 tag not read, ...). Release `tag_v2` with free_tag_v2.
TagsFound read_tags(TagV1& tag_v1, TagV2& tag_v2, const TagBytes& bytes,
                    Id3v2Reader reader = Id3v2Reader::kId3v23);

}  // namespace kestrune
