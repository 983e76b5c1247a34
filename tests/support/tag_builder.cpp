#include "support/tag_builder.h"

#include <algorithm>
#include <cstring>

namespace kestrune::test {

namespace {

std::string big_endian_32(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

void put_field(std::string& trailer, std::size_t offset, std::size_t width, std::string_view text) {
  std::memcpy(trailer.data() + offset, text.data(), std::min(width, text.size()));
}

}  // namespace

std::string id3v2_header(std::uint32_t size, std::uint8_t version, std::uint8_t revision,
                         std::uint8_t flags) {
  std::string header = "ID3";
  header += static_cast<char>(version);
  header += static_cast<char>(revision);
  header += static_cast<char>(flags);
  header += static_cast<char>((size >> 21) & 0x7F);
  header += static_cast<char>((size >> 14) & 0x7F);
  header += static_cast<char>((size >> 7) & 0x7F);
  header += static_cast<char>(size & 0x7F);
  return header;
}

std::string frame_sized(std::string_view id, std::string_view body, std::uint32_t size_field) {
  std::string out(id);
  out += big_endian_32(size_field);
  out += '\0';
  out += '\0';
  out += body;
  return out;
}

std::string frame(std::string_view id, std::string_view body, std::uint8_t status,
                  std::uint8_t format) {
  std::string out = frame_sized(id, body, static_cast<std::uint32_t>(body.size()));
  out[8] = static_cast<char>(status);
  out[9] = static_cast<char>(format);
  return out;
}

std::string id3v2_tag(const std::vector<std::string>& frames, std::size_t padding) {
  std::string body;
  for (const std::string& f : frames) body += f;
  body.append(padding, '\0');
  return id3v2_header(static_cast<std::uint32_t>(body.size())) + body;
}

std::string latin1_body(std::string_view text, bool terminated) {
  std::string body(1, '\0');
  body += text;
  if (terminated) body += '\0';
  return body;
}

std::string utf16_string(std::u16string_view text, bool big_endian, bool terminated) {
  std::string out = big_endian ? std::string("\xFE\xFF") : std::string("\xFF\xFE");
  auto put = [&](char16_t unit) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out += big_endian ? high : low;
    out += big_endian ? low : high;
  };
  for (const char16_t unit : text) put(unit);
  if (terminated) put(0);
  return out;
}

std::string utf16_body(std::u16string_view text, bool big_endian, bool terminated) {
  return std::string(1, '\x01') + utf16_string(text, big_endian, terminated);
}

std::string latin1_comment_body(std::string_view description, std::string_view text,
                                std::string_view language) {
  std::string body(1, '\0');
  body += language;
  body += description;
  body += '\0';
  body += text;
  return body;
}

std::string utf16_comment_body(std::u16string_view description, std::u16string_view text) {
  return std::string("\x01") + "eng" + utf16_string(description) + utf16_string(text);
}

std::string id3v1_trailer(const TrailerFields& fields) {
  std::string trailer(128, '\0');
  put_field(trailer, 0, 3, "TAG");
  put_field(trailer, 3, 30, fields.title);
  put_field(trailer, 33, 30, fields.artist);
  put_field(trailer, 63, 30, fields.album);
  put_field(trailer, 93, 4, fields.year);
  put_field(trailer, 97, 30, fields.comment);
  if (fields.track >= 0) {
    trailer[125] = '\0';
    trailer[126] = static_cast<char>(fields.track);
  }
  trailer[127] = static_cast<char>(fields.genre);
  return trailer;
}

platform::FilePtr memory_file(std::string_view bytes) {
  platform::FilePtr file(std::tmpfile());
  if (file) {
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::rewind(file.get());
  }
  return file;
}

}  // namespace kestrune::test
