#include "tags/frame_reading.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace kestrune::tags {

namespace {

// Beyond the head, bytes are fetched a window at a time, so that the frame
// headers behind a picture cost one read together.
constexpr std::size_t kWindowSize = 4096;

// UTF-8 into UTF-16 units; a byte that starts no valid sequence gives U+FFFD.
std::u16string utf16_from_utf8(std::string_view bytes) {
  std::u16string units;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = b < 0x80   ? 1
                               : b < 0xC2 ? 0
                               : b < 0xE0 ? 2
                               : b < 0xF0 ? 3
                               : b < 0xF5 ? 4
                                          : 0;
    char32_t c = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
    bool valid = length != 0 && length <= bytes.size() - i;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text.
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && c >= least[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    if (!valid) {
      units.push_back(u'\uFFFD');
      ++i;
    } else if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      i += length;
    } else {
      units.push_back(static_cast<char16_t>(c));
      i += length;
    }
  }
  return units;
}

std::string from_utf16(const std::u16string& units) {
  return platform::text_from_utf16(units.data(), units.size());
}

// One string of `encoding` at the cursor, up to its terminator:
// 0 ISO-8859-1, 1 UTF-16 with a byte-order mark, 2 UTF-16BE, 3 UTF-8.
std::string read_text(ByteCursor& cursor, unsigned encoding) {
  switch (encoding) {
    case 0:
      return platform::text_from_latin1(cursor.read_latin1_string());
    case 1:
      return from_utf16(cursor.read_utf16_string());
    case 2:
      return from_utf16(cursor.read_utf16_units(true));
    default:
      return from_utf16(utf16_from_utf8(cursor.read_latin1_string()));
  }
}

}  // namespace

std::uint32_t big_endian_32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

std::uint32_t syncsafe_32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0] & 0x7F) << 21 |
         static_cast<std::uint32_t>(bytes[1] & 0x7F) << 14 |
         static_cast<std::uint32_t>(bytes[2] & 0x7F) << 7 |
         static_cast<std::uint32_t>(bytes[3] & 0x7F);
}

std::optional<unsigned char> ByteCursor::read_byte() {
  if (remaining() < 1) return std::nullopt;
  return static_cast<unsigned char>(bytes_[pos_++]);
}

bool ByteCursor::skip(std::size_t n) {
  if (n > remaining()) return false;
  pos_ += n;
  return true;
}

std::string_view ByteCursor::read_latin1_string(bool* terminated) {
  const std::string_view rest = bytes_.substr(pos_);
  const std::size_t zero = rest.find('\0');
  if (terminated != nullptr) *terminated = zero != std::string_view::npos;
  pos_ += zero == std::string_view::npos ? rest.size() : zero + 1;
  return rest.substr(0, zero);
}

std::u16string ByteCursor::read_utf16_string(bool* terminated) {
  bool big_endian = false;
  if (remaining() >= 2) {
    big_endian = static_cast<unsigned char>(bytes_[pos_]) == 0xFE &&
                 static_cast<unsigned char>(bytes_[pos_ + 1]) == 0xFF;
    pos_ += 2;
  } else {
    pos_ = bytes_.size();
  }
  return read_utf16_units(big_endian, terminated);
}

std::u16string ByteCursor::read_utf16_units(bool big_endian, bool* terminated) {
  std::u16string units;
  if (terminated != nullptr) *terminated = false;
  while (remaining() >= 2) {
    const auto b0 = static_cast<unsigned char>(bytes_[pos_]);
    const auto b1 = static_cast<unsigned char>(bytes_[pos_ + 1]);
    pos_ += 2;
    const char16_t unit =
        big_endian ? static_cast<char16_t>(b0 << 8 | b1) : static_cast<char16_t>(b1 << 8 | b0);
    if (unit == 0) {
      if (terminated != nullptr) *terminated = true;
      break;
    }
    units.push_back(unit);
  }
  return units;
}

bool ByteCursor::at_zero_unit() const {
  return remaining() >= 2 && bytes_[pos_] == '\0' && bytes_[pos_ + 1] == '\0';
}

bool read_tag_header(TagFile& file, unsigned char (&header)[kHeaderSize]) {
  const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(kHeaderSize, file.size()));
  const auto bytes = file.read(0, got);
  if (!bytes || got < 3 || bytes->substr(0, 3) != "ID3") return false;
  std::memset(header, 0, kHeaderSize);
  std::memcpy(header, bytes->data(), got);
  return true;
}

std::optional<std::string_view> TagFile::read(std::uint64_t offset, std::size_t count) {
  const std::uint64_t size = bytes_.file_size;
  if (count > size || offset > size - count) return std::nullopt;
  const std::string_view head = bytes_.head;
  if (offset <= head.size() && count <= head.size() - offset) {
    return head.substr(static_cast<std::size_t>(offset), count);
  }
  if (offset >= window_offset_ && offset - window_offset_ <= window_.size() &&
      count <= window_.size() - (offset - window_offset_)) {
    return std::string_view(window_).substr(static_cast<std::size_t>(offset - window_offset_),
                                            count);
  }
  if (bytes_.more == nullptr) return std::nullopt;
  // Never more than the file still holds, so a window costs no more than
  // the bytes that are there.
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max(count, kWindowSize), size - offset));
  window_.resize(want);
  window_.resize(bytes_.more->read_at(offset, window_.data(), want));
  window_offset_ = offset;
  if (window_.size() < count) return std::nullopt;
  return std::string_view(window_).substr(0, count);
}

void apply_text_frame(std::string_view body, std::optional<std::string>& field,
                      unsigned last_encoding) {
  ByteCursor cursor(body);
  const auto encoding = cursor.read_byte();
  if (encoding && *encoding <= last_encoding) field = read_text(cursor, *encoding);
}

void apply_comment_frame(std::string_view body, std::optional<std::string>& field,
                         unsigned last_encoding) {
  ByteCursor cursor(body);
  const auto encoding = cursor.read_byte();
  if (!encoding || *encoding > last_encoding) return;
  if (!cursor.skip(3)) {  // the language code
    field = std::string();
    return;
  }
  // A described frame is passed over whole, whether or not its description
  // ends inside the body.
  bool terminated = false;
  if (*encoding == 0 || *encoding == 3) {
    if (!cursor.read_latin1_string(&terminated).empty()) return;
  } else if (cursor.at_zero_unit()) {
    cursor.skip(2);
    terminated = true;
  } else if (!(*encoding == 1 ? cursor.read_utf16_string(&terminated)
                              : cursor.read_utf16_units(true, &terminated))
                  .empty()) {
    return;
  }
  field = terminated ? read_text(cursor, *encoding) : std::string();
}

}  // namespace kestrune::tags
