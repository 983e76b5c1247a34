#pragma once

#include <cstdint>
#include <cstdio>

#include "tags/tag_bytes.h"

namespace kestrune {

// The 125 bytes that follow "TAG" in an ID3v1 trailer, kept byte for byte.
// Text fields are fixed-width and not terminated. `track` is the ID3v1.1 track
// number, which is also the last byte of `comment`; `comment[28]` is the
// ID3v1.1 marker byte, zero when `track` holds a track number.
struct TagV1 {
  char title[30];
  char artist[30];
  char album[30];
  char year[4];
  char comment[30];
  std::uint8_t genre;

  // The ID3v1.1 marker byte: zero when `track()` holds a track number.
  std::uint8_t track_marker() const { return static_cast<std::uint8_t>(comment[28]); }
  // The byte at offset 123, read whatever the marker byte holds.
  std::uint8_t track() const { return static_cast<std::uint8_t>(comment[29]); }
};
static_assert(sizeof(TagV1) == 125, "TagV1 is the flat 125-byte trailer body");

// Reads the ID3v1 trailer in the last 128 bytes of the file: `bytes.tail`,
// or the head when it holds the whole file. The block is cleared first; on
// false it stays all zero. Bytes that a short tail lacks stay zero.
bool read_tag_v1(TagV1& tag, const TagBytes& bytes);

// The same over `file` (borrowed, opened for binary reading, seekable),
// whose position is unspecified afterwards.
bool read_tag_v1(TagV1& tag, std::FILE* file);

}  // namespace kestrune
