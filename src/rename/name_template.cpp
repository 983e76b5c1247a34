#include "rename/name_template.h"

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr std::size_t kMaxTokenName = 11;

enum class Field { kTitle, kTrack, kArtist, kAlbum, kYear, kComment };

struct Token {
  std::string_view name;
  Field field;
};

// In the order the names are compared.
constexpr Token kTokens[] = {
    {"title", Field::kTitle}, {"track", Field::kTrack}, {"artist", Field::kArtist},
    {"album", Field::kAlbum}, {"year", Field::kYear},   {"comment", Field::kComment},
};

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

std::optional<Field> find_field(std::string_view name) {
  if (name.size() > kMaxTokenName) return std::nullopt;
  for (const Token& token : kTokens) {
    if (equals_ignoring_ascii_case(name, token.name)) return token.field;
  }
  return std::nullopt;
}

// An ID3v1 text field up to its first zero byte, without trailing blanks.
std::string_view trimmed(const char* field, std::size_t width) {
  std::size_t end = 0;
  std::size_t length = 0;
  while (end < width && field[end] != '\0') {
    if (field[end] != ' ') length = end + 1;
    ++end;
  }
  return std::string_view(field, length);
}

const std::optional<std::string>& v2_text(const TagV2& tag, Field field) {
  switch (field) {
    case Field::kTitle: return tag.title;
    case Field::kTrack: return tag.track;
    case Field::kArtist: return tag.artist;
    case Field::kAlbum: return tag.album;
    case Field::kYear: return tag.year;
    case Field::kComment: return tag.comment;
  }
  return tag.title;
}

std::string v1_value(const TagV1& tag, Field field) {
  switch (field) {
    case Field::kTitle: return platform::text_from_latin1(trimmed(tag.title, sizeof tag.title));
    case Field::kArtist: return platform::text_from_latin1(trimmed(tag.artist, sizeof tag.artist));
    case Field::kAlbum: return platform::text_from_latin1(trimmed(tag.album, sizeof tag.album));
    case Field::kComment:
      return platform::text_from_latin1(trimmed(tag.comment, sizeof tag.comment));
    case Field::kYear: {
      std::size_t length = 0;
      while (length < sizeof tag.year && tag.year[length] != '\0') ++length;
      return platform::text_from_latin1(std::string_view(tag.year, length));
    }
    case Field::kTrack:
      // A plain ID3v1 comment may run into the track byte; only the ID3v1.1
      // marker says that the byte is a track number.
      return std::to_string(tag.track_marker() == 0 ? tag.track() : 0);
  }
  return std::string();
}

std::string field_value(const TagV1& tag_v1, const TagV2& tag_v2, Field field) {
  const std::optional<std::string>& text = v2_text(tag_v2, field);
  if (text && !text->empty()) return *text;
  return v1_value(tag_v1, field);
}

}  // namespace

bool expand_template(std::string_view pattern, const TagV1& tag_v1, const TagV2& tag_v2,
                     std::string& new_name, std::vector<bool>* from_tag) {
  new_name.clear();
  if (from_tag != nullptr) from_tag->clear();
  auto append = [&](std::string_view text, bool is_tag_text) {
    new_name.append(text);
    if (from_tag != nullptr) from_tag->insert(from_tag->end(), text.size(), is_tag_text);
  };

  std::size_t read = 0;
  while (read < pattern.size()) {
    const std::size_t open = pattern.find('%', read);
    const std::size_t close =
        open == std::string_view::npos ? std::string_view::npos : pattern.find('%', open + 1);
    if (close == std::string_view::npos) {
      // No token left: the rest, a lone % included, is plain text.
      append(pattern.substr(read), false);
      break;
    }
    append(pattern.substr(read, open - read), false);
    if (const std::optional<Field> field = find_field(pattern.substr(open + 1, close - open - 1))) {
      append(field_value(tag_v1, tag_v2, *field), true);
    }
    read = close + 1;
    // Tag text has no length limit; stop early rather than build a huge name.
    if (new_name.size() > kMaxNewName) break;
  }
  return new_name.size() <= kMaxNewName;
}

}  // namespace kestrune
