#include "support/tag_builder.h"

#include <algorithm>

namespace kestrune::test {

std::string id3v2_header(std::uint32_t size, std::uint8_t version, std::uint8_t revision,
                         std::uint8_t flags) {
  return {'I', 'D', '3', static_cast<char>(version), static_cast<char>(revision),
          static_cast<char>(flags), static_cast<char>((size >> 21) & 0x7F),
          static_cast<char>((size >> 14) & 0x7F), static_cast<char>((size >> 7) & 0x7F),
          static_cast<char>(size & 0x7F)};
}

std::string frame(std::string_view id, std::string_view body, std::uint8_t status,
                  std::uint8_t format, std::int64_t size_field) {
  const auto size = static_cast<std::uint32_t>(size_field < 0 ? body.size() : size_field);
  return std::string(id) + std::string{static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                                       static_cast<char>(size >> 8), static_cast<char>(size),
                                       static_cast<char>(status), static_cast<char>(format)} +
         std::string(body);
}

std::string id3v2_tag(const std::vector<std::string>& frames, std::size_t padding,
                      std::uint8_t version, std::uint8_t flags) {
  std::string body;
  for (const std::string& f : frames) body += f;
  body.append(padding, '\0');
  return id3v2_header(static_cast<std::uint32_t>(body.size()), version, 0, flags) + body;
}

std::string latin1_body(std::string_view text, bool terminated) {
  return '\0' + std::string(text) + (terminated ? std::string(1, '\0') : std::string());
}

std::string utf16_string(std::u16string_view text, bool big_endian, bool terminated) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  std::u16string units(text);
  if (terminated) units += u'\0';
  for (const char16_t unit : units) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out += big_endian ? high : low;
    out += big_endian ? low : high;
  }
  return out;
}

std::string utf16_body(std::u16string_view text, bool big_endian, bool terminated) {
  return '\x01' + utf16_string(text, big_endian, terminated);
}

std::string latin1_comment_body(std::string_view description, std::string_view text,
                                std::string_view language) {
  return '\0' + std::string(language) + std::string(description) + '\0' + std::string(text);
}

std::string id3v1_trailer(const TrailerFields& fields) {
  std::string trailer(128, '\0');
  const auto put = [&](std::size_t offset, std::size_t width, std::string_view text) {
    std::copy_n(text.begin(), std::min(width, text.size()), trailer.begin() + offset);
  };
  put(0, 3, "TAG");
  put(3, 30, fields.title);
  put(33, 30, fields.artist);
  put(63, 30, fields.album);
  put(93, 4, fields.year);
  put(97, 30, fields.comment);
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

std::size_t ImageBytes::read_at(std::uint64_t offset, char* out, std::size_t count) {
  return offset > image.size() ? 0 : image.copy(out, count, static_cast<std::size_t>(offset));
}

TagBytes ImageBytes::bytes() {
  const std::string_view all = image;
  return {all.substr(0, head_size), all.substr(tail_offset(all.size())), all.size(), this};
}

}  // namespace kestrune::test
