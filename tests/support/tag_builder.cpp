#include "support/tag_builder.h"

namespace kestrune::test {

using namespace std::string_literals;

namespace {
std::string bytes_of(std::uint32_t value, int bytes, int bits_per_byte = 8) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) {
    out += static_cast<char>((value >> (i * bits_per_byte)) & ((1U << bits_per_byte) - 1));
  }
  return out;
}
}  // namespace

std::string id3v2_header(std::uint32_t size, std::uint8_t version, std::uint8_t revision,
                         std::uint8_t flags) {
  return "ID3"s + static_cast<char>(version) + static_cast<char>(revision) +
         static_cast<char>(flags) + bytes_of(size, 4, 7);
}

std::string frame(std::string_view id, std::string_view body, std::uint8_t status,
                  std::uint8_t format, std::int64_t size_field) {
  const auto size = static_cast<std::uint32_t>(size_field < 0 ? body.size() : size_field);
  return std::string(id) + bytes_of(size, 4) + static_cast<char>(status) +
         static_cast<char>(format) + std::string(body);
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
  for (const char16_t unit : std::u16string(text) + (terminated ? u"\0"s : u""s)) {
    out += big_endian ? bytes_of(unit, 2)
                      : std::string{static_cast<char>(unit), static_cast<char>(unit >> 8)};
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

std::string id3v1_trailer(const TrailerFields& f) {
  const auto field = [](std::string text, std::size_t width) { return text.resize(width), text; };
  std::string trailer = "TAG" + field(f.title, 30) + field(f.artist, 30) + field(f.album, 30) +
                        field(f.year, 4) + field(f.comment, 30) + static_cast<char>(f.genre);
  if (f.track >= 0) trailer.replace(125, 2, {'\0', static_cast<char>(f.track)});
  return trailer;
}

std::string tagged_image(std::string_view artist, std::string_view title, std::string_view album) {
  std::vector<std::string> frames = {frame("TPE1", latin1_body(artist)),
                                     frame("TIT2", latin1_body(title))};
  if (!album.empty()) frames.push_back(frame("TALB", latin1_body(album)));
  return id3v2_tag(frames, 16) + std::string("\xFF\xFB\x90\x00", 4) + std::string(413, '\0');
}

std::string titled(std::string_view title, std::string_view audio) {
  return id3v2_tag({frame("TIT2", latin1_body(title))}) + std::string(audio);
}

platform::FilePtr memory_file(std::string_view bytes) {
  platform::FilePtr file(std::tmpfile());
  if (file) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  if (file) std::rewind(file.get());
  return file;
}

}  // namespace kestrune::test
