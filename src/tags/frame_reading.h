#pragma once

// Pieces shared by the ID3v2 readers; not for callers outside src/tags.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tags/tag_bytes.h"

namespace kestrune::tags {

// How much of a frame body the readers keep: the encoding byte, a language
// code, an empty UTF-16 description (mark and zero unit), a mark, and
// kTagTextReach characters even if each one takes a surrogate pair.
inline constexpr std::size_t kKeptBody = 16 + 4 * kTagTextReach;

// The ID3v2 tag header at the start of a file: "ID3", version, revision,
// flags and a syncsafe size.
inline constexpr std::size_t kHeaderSize = 10;

std::uint32_t big_endian_32(const unsigned char* bytes);
std::uint32_t syncsafe_32(const unsigned char* bytes);

// A read position over bytes already read that cannot run past their end:
// a read that asks for more than remains answers nullopt (or false) and
// does nothing.
class ByteCursor {
 public:
  explicit ByteCursor(std::string_view bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - pos_; }
  std::optional<unsigned char> read_byte();
  bool skip(std::size_t n);

  // The bytes up to the next zero byte, or to the end when there is none;
  // `*terminated` tells which, and the zero byte is consumed.
  std::string_view read_latin1_string(bool* terminated = nullptr);
  // A byte-order mark and the UTF-16 units after it, up to the next zero
  // unit or the last whole unit; the zero unit is consumed. FE FF means
  // big-endian units; anything else is read little-endian.
  std::u16string read_utf16_string(bool* terminated = nullptr);
  // UTF-16 units without a byte-order mark, as read_utf16_string.
  std::u16string read_utf16_units(bool big_endian, bool* terminated = nullptr);
  // Whether the next two bytes are a zero unit. Some taggers write an empty
  // UTF-16 string as the zero unit alone, without its byte-order mark.
  bool at_zero_unit() const;

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// Bytes of the file at any offset: from the head when it holds them,
// otherwise through the caller's MoreBytes, a window of a few KiB at a time.
class TagFile {
 public:
  explicit TagFile(const TagBytes& bytes) : bytes_(bytes) {}

  std::uint64_t size() const { return bytes_.file_size; }
  // Exactly `count` bytes at `offset`, or nullopt when the file cannot
  // supply them. The view lasts until the next call. `count` stays small
  // (a frame header, or a body cut to what the readers keep).
  std::optional<std::string_view> read(std::uint64_t offset, std::size_t count);

 private:
  const TagBytes& bytes_;
  std::string window_;
  std::uint64_t window_offset_ = 0;
};

// Reads the tag header at the start of `file` into `header`; bytes the file
// lacks count as zero. False when the file does not begin with "ID3".
bool read_tag_header(TagFile& file, unsigned char (&header)[kHeaderSize]);

// The text frame rule (ID3v2.3.0 section 4.2, ID3v2.4.0 section 4.2): an
// encoding byte, then the text, whose first string replaces `field`.
// Encodings above `last_encoding` leave the field as it was.
void apply_text_frame(std::string_view body, std::optional<std::string>& field,
                      unsigned last_encoding);

// The comment frame rule (ID3v2.3.0 section 4.11): encoding, language, a
// content description and the text. Only a frame with an empty description
// is the user's comment; described ones (players' private data) are passed
// over whole.
void apply_comment_frame(std::string_view body, std::optional<std::string>& field,
                         unsigned last_encoding);

}  // namespace kestrune::tags
