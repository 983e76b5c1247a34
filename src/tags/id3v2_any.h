#pragma once

// ID3v2 tags of every version in use, for callers that ask for more than the
// plain ID3v2.3 tags of read_tag_v2 (which stays as it is):
//
//   Id3v2Kind kind = probe_id3v2(bytes);   // why read_tag_v2 found no tag
//   bool ok = read_tag_v2_any(tag, bytes); // or read it anyway
//
// TagBytes is described in tags/tag_bytes.h; the same bytes serve every
// reader, and read_tags (tags/read_tags.h) calls them together.

#include <cstdio>

#include "tags/id3v2.h"
#include "tags/tag_bytes.h"

namespace kestrune {

// What begins the file, as far as the ID3v2 readers are concerned.
enum class Id3v2Kind {
  kNone,                  // no "ID3" at the start: the file has no ID3v2 tag
  kId3v23,                // ID3v2.3 without header flags: read_tag_v2 reads it
  kId3v23Unsynchronised,  // ID3v2.3 with the unsynchronisation flag
  kId3v23OtherFlags,      // ID3v2.3 with an extended header or other flags, not unsynchronised
  kId3v24,                // ID3v2.4
  kId3v22,                // ID3v2.2
  kOtherVersion,          // "ID3" and another major version (or a file cut after "ID3")
};

// Looks at the first 6 bytes only. The answer is kId3v23 exactly when
// read_tag_v2 answers true; read_tag_v2_any reads every kind but kNone and
// kOtherVersion (and a compressed ID3v2.2 tag).
Id3v2Kind probe_id3v2(const TagBytes& bytes);

// Reads the ID3v2.2, ID3v2.3 or ID3v2.4 tag at the start of the file into
// the same record as read_tag_v2, which is cleared first; `version`,
// `revision`, `flags` and `size` are the header's. Answers true when the
// header is one of these versions (an ID3v2.2 tag marked compressed is
// not), whatever its frames hold.
//
// - ID3v2.2: frames TT2, TP1, TAL, TYE, TRK and COM with 3-byte sizes, and
//   TP2, TPA, TCO and TCM for the fields of TPE2, TPOS, TCON and TCOM.
// - ID3v2.3: the frames of read_tag_v2 with the same rules, so a tag that
//   read_tag_v2 reads gives the same record unless it holds an empty frame
//   or a TDRC frame (below); besides, a tag with the unsynchronisation flag or an extended
//   header.
// - ID3v2.4: syncsafe frame sizes, unsynchronised frames (the tag's flag or
//   the frame's), data length indicators and grouping bytes, an extended
//   header; encodings 0 (ISO-8859-1), 1 (UTF-16 with a byte-order mark), 2
//   (UTF-16BE) and 3 (UTF-8). Of several values separated by zeros the first
//   is used. Compressed and encrypted frames are passed over.
// - ID3v2.3 and ID3v2.4: %year% comes from TDRC (its first four characters,
//   the year of the timestamp), or from TYER when there is no TDRC text;
//   taggers write either frame into tags of either version.
//
// A frame of size zero ends the walk as padding only when its identifier is
// not a frame's (four characters A-Z and 0-9, three in ID3v2.2); an empty
// frame with a proper identifier is passed over and the walk goes on, where
// read_tag_v2 stops.
//
// Texts are converted as read_tag_v2 converts them and are kept as far as
// a name can use. Whatever the sizes in the tag say, the walk ends after
// 4096 frames, and under the unsynchronisation of ID3v2.2 and ID3v2.3 after
// 4 MiB of the file decoded (a window of 64 KiB at a time), with the texts
// gathered so far; the reader's memory stays within a few hundred KiB.
// Texts are released with free_tag_v2.
bool read_tag_v2_any(TagV2& tag, const TagBytes& bytes);

// The same over `file` (borrowed, opened for binary reading, seekable),
// whose position is unspecified afterwards.
bool read_tag_v2_any(TagV2& tag, std::FILE* file);

}  // namespace kestrune
