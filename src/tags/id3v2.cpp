#include "tags/id3v2.h"

#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr std::size_t kHeaderSize = 10;
constexpr std::size_t kFrameHeaderSize = 10;

enum class BodyRule { kText, kComment };

struct FrameKind {
  char id[4];
  std::optional<std::string> TagV2::*field;
  BodyRule rule;
};

// In the order the identifiers are compared.
constexpr FrameKind kFrames[] = {
    {{'T', 'I', 'T', '2'}, &TagV2::title, BodyRule::kText},
    {{'T', 'R', 'C', 'K'}, &TagV2::track, BodyRule::kText},
    {{'T', 'P', 'E', '1'}, &TagV2::artist, BodyRule::kText},
    {{'T', 'A', 'L', 'B'}, &TagV2::album, BodyRule::kText},
    {{'T', 'Y', 'E', 'R'}, &TagV2::year, BodyRule::kText},
    {{'C', 'O', 'M', 'M'}, &TagV2::comment, BodyRule::kComment},
};

const FrameKind* find_frame_kind(const unsigned char* id) {
  for (const FrameKind& kind : kFrames) {
    if (std::memcmp(kind.id, id, 4) == 0) return &kind;
  }
  return nullptr;
}

// A read position over one frame body that cannot run past its end.
class BodyReader {
 public:
  explicit BodyReader(std::string_view body) : body_(body) {}

  std::size_t remaining() const { return body_.size() - pos_; }

  std::optional<unsigned char> read_byte() {
    if (remaining() < 1) return std::nullopt;
    return static_cast<unsigned char>(body_[pos_++]);
  }

  bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

  // The bytes up to the next zero byte, or to the end of the body when
  // there is none; `*terminated` tells which, and the zero byte is consumed.
  std::string_view read_latin1_string(bool* terminated = nullptr) {
    const std::string_view rest = body_.substr(pos_);
    const std::size_t zero = rest.find('\0');
    if (terminated != nullptr) *terminated = zero != std::string_view::npos;
    const std::string_view text = rest.substr(0, zero);
    pos_ += zero == std::string_view::npos ? rest.size() : zero + 1;
    return text;
  }

  // A byte-order mark and the UTF-16 units after it, up to the next zero unit
  // or the last whole unit of the body; the zero unit is consumed. FE FF
  // means big-endian units; anything else is read little-endian.
  std::u16string read_utf16_string(bool* terminated = nullptr) {
    bool big_endian = false;
    if (remaining() >= 2) {
      big_endian = static_cast<unsigned char>(body_[pos_]) == 0xFE &&
                   static_cast<unsigned char>(body_[pos_ + 1]) == 0xFF;
      pos_ += 2;
    } else {
      pos_ = body_.size();
    }
    std::u16string units;
    if (terminated != nullptr) *terminated = false;
    while (remaining() >= 2) {
      const auto b0 = static_cast<unsigned char>(body_[pos_]);
      const auto b1 = static_cast<unsigned char>(body_[pos_ + 1]);
      pos_ += 2;
      const char16_t unit = big_endian ? static_cast<char16_t>(b0 << 8 | b1)
                                       : static_cast<char16_t>(b1 << 8 | b0);
      if (unit == 0) {
        if (terminated != nullptr) *terminated = true;
        break;
      }
      units.push_back(unit);
    }
    return units;
  }

  // Whether the next two bytes are a zero unit. Some taggers write an empty
  // UTF-16 string as the zero unit alone, without its byte-order mark.
  bool at_zero_unit() const {
    return remaining() >= 2 && body_[pos_] == '\0' && body_[pos_ + 1] == '\0';
  }

 private:
  std::string_view body_;
  std::size_t pos_ = 0;
};

std::string convert_latin1(std::string_view bytes) { return platform::text_from_latin1(bytes); }

std::string convert_utf16(const std::u16string& units) {
  return platform::text_from_utf16(units.data(), units.size());
}

// ID3v2.3.0, section 4.2: one encoding byte, then the text.
// Anything other than encodings 0 and 1 leaves the field as it was.
void apply_text_frame(std::string_view body, std::optional<std::string>& field) {
  BodyReader reader(body);
  const auto encoding = reader.read_byte();
  if (encoding == 0) {
    field = convert_latin1(reader.read_latin1_string());
  } else if (encoding == 1) {
    field = convert_utf16(reader.read_utf16_string());
  }
}

// ID3v2.3.0, section 4.11: encoding, language, a content description and the
// comment text. Only a comment with an empty description is the user's
// comment; described ones (players' private data) are passed over.
void apply_comment_frame(std::string_view body, std::optional<std::string>& field) {
  BodyReader reader(body);
  const auto encoding = reader.read_byte();
  if (encoding != 0 && encoding != 1) return;
  if (!reader.skip(3)) {
    field = std::string();
    return;
  }
  // A described frame is passed over whole, whether or not its description
  // ends inside the body.
  bool terminated = false;
  if (encoding == 0) {
    if (!reader.read_latin1_string(&terminated).empty()) return;
    field = terminated ? convert_latin1(reader.read_latin1_string()) : std::string();
    return;
  }
  if (reader.at_zero_unit()) {
    reader.skip(2);
    terminated = true;
  } else if (!reader.read_utf16_string(&terminated).empty()) {
    return;
  }
  field = terminated ? convert_utf16(reader.read_utf16_string()) : std::string();
}

std::uint32_t big_endian_32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

std::uint32_t syncsafe_32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0] & 0x7F) << 21 |
         static_cast<std::uint32_t>(bytes[1] & 0x7F) << 14 |
         static_cast<std::uint32_t>(bytes[2] & 0x7F) << 7 | static_cast<std::uint32_t>(bytes[3] & 0x7F);
}

// The number of bytes in `file`. A file too large for a `long` offset (where
// `long` has 32 bits) counts as the largest size the walk can seek to.
std::uint64_t file_size(std::FILE* file) {
  const long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1L;
  return static_cast<std::uint64_t>(end >= 0 ? end : std::numeric_limits<long>::max());
}

}  // namespace

bool read_tag_v2(TagV2& tag, std::FILE* file) {
  tag = TagV2();
  const std::uint64_t bytes_in_file = file_size(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;

  // Header bytes that the file lacks count as zero.
  unsigned char header[kHeaderSize] = {};
  const std::size_t got = std::fread(header, 1, sizeof header, file);
  if (got < 3 || std::memcmp(header, "ID3", 3) != 0) return false;
  tag.version = header[3];
  tag.revision = header[4];
  tag.flags = header[5];
  if (tag.flags != 0) return false;
  tag.size = syncsafe_32(header + 6);
  if (tag.version != 3) return false;
  // A header cut short by the end of the file has no frames to walk.
  if (got < kHeaderSize) return true;

  std::string body;
  std::uint64_t p = 0;
  while (p < tag.size) {
    if (std::fseek(file, static_cast<long>(kHeaderSize + p), SEEK_SET) != 0) break;
    unsigned char frame[kFrameHeaderSize];
    if (std::fread(frame, 1, sizeof frame, file) != sizeof frame) break;
    const std::uint32_t s = big_endian_32(frame + 4);
    if (s == 0) break;  // padding
    const FrameKind* kind = (frame[8] == 0 && frame[9] == 0) ? find_frame_kind(frame) : nullptr;
    // A body that the file cannot supply ends the walk before anything is
    // allocated for it, so a size field of 0xFFFFFFFF costs nothing.
    const std::uint64_t body_start = kHeaderSize + p + kFrameHeaderSize;
    if (body_start + s > bytes_in_file) break;
    if (kind != nullptr) {
      body.resize(s);
      if (std::fread(body.data(), 1, s, file) != s) break;
      std::optional<std::string>& field = tag.*(kind->field);
      if (kind->rule == BodyRule::kText) {
        apply_text_frame(body, field);
      } else {
        apply_comment_frame(body, field);
      }
    }
    p += kFrameHeaderSize + static_cast<std::uint64_t>(s);
  }
  return true;
}

void free_tag_v2(TagV2& tag) {
  tag.title.reset();
  tag.artist.reset();
  tag.album.reset();
  tag.year.reset();
  tag.comment.reset();
  tag.track.reset();
}

}  // namespace kestrune
