#pragma once

// Builders for the byte images the tag readers see.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrune::test {

// The 10-byte ID3v2 header with `size` written as a syncsafe integer.
std::string id3v2_header(std::uint32_t size, std::uint8_t version = 3, std::uint8_t revision = 0,
                         std::uint8_t flags = 0);

// A frame: identifier, big-endian size (the body's own unless `size_field`
// is given), the status and format flag bytes, then the body.
std::string frame(std::string_view id, std::string_view body, std::uint8_t status = 0,
                  std::uint8_t format = 0, std::int64_t size_field = -1);

// A whole tag: header, frames and `padding` zero bytes, sized to fit.
std::string id3v2_tag(const std::vector<std::string>& frames, std::size_t padding = 0,
                      std::uint8_t version = 3, std::uint8_t flags = 0);

// Text frame bodies: encoding 0 with Latin-1 bytes, or encoding 1 with a byte-order
// mark and UTF-16 units in the mark's byte order (utf16_string: the mark and units only).
std::string latin1_body(std::string_view text, bool terminated = false);
std::string utf16_body(std::u16string_view text, bool big_endian = false, bool terminated = true);
std::string utf16_string(std::u16string_view text, bool big_endian = false, bool terminated = true);

// A comment frame body (ID3v2.3.0, section 4.11) of encoding 0.
std::string latin1_comment_body(std::string_view description, std::string_view text,
                                std::string_view language = "eng");

// A 128-byte ID3v1 trailer. Fields are zero-padded to their width; `track`
// set makes it an ID3v1.1 trailer (zero marker byte, then the track).
struct TrailerFields {
  std::string title{}, artist{}, album{}, year{}, comment{};
  int track = -1;
  std::uint8_t genre = 0;
};
std::string id3v1_trailer(const TrailerFields& fields);

// An MP3 image: an ID3v2.3 tag of the artist, title and (when given) album
// frames, the header of an MPEG-1 Layer III frame and some silence.
std::string tagged_image(std::string_view artist, std::string_view title,
                         std::string_view album = {});

// An ID3v2.3 tag of the title frame alone, then `audio`.
std::string titled(std::string_view title, std::string_view audio = "audio");

// An anonymous file holding `bytes`, positioned at its start.
platform::FilePtr memory_file(std::string_view bytes);

}  // namespace kestrune::test
