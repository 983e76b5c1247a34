#include "rename/text_case.h"

namespace kestrune {

namespace {

// Ranges where upper and lower case alternate: the upper case letter at an
// even (or odd, as `first` says) code point, its lower case one above.
struct PairedRange {
  char32_t first;  // the first upper case letter
  char32_t last;   // the last lower case letter
};

constexpr PairedRange kPaired[] = {
    {0x0100, 0x012F}, {0x0132, 0x0137}, {0x0139, 0x0148}, {0x014A, 0x0177},
    {0x0179, 0x017E}, {0x0460, 0x0481}, {0x048A, 0x04BF}, {0x04C1, 0x04CE},
    {0x04D0, 0x052F}, {0x1E00, 0x1E95}, {0x1EA0, 0x1EFF},
};

// Pairs that no rule above covers, upper case first.
struct CasePair {
  char32_t upper;
  char32_t lower;
};

constexpr CasePair kPairs[] = {
    {0x0178, 0x00FF}, {0x0386, 0x03AC}, {0x038C, 0x03CC},
    {0x038E, 0x03CD}, {0x038F, 0x03CE}, {0x04C0, 0x04CF},
};

// Lower case letters whose upper case is the upper case of another letter:
// only the direction to upper case holds.
constexpr CasePair kUpperOnly[] = {
    {0x039C, 0x00B5},  // micro sign
    {0x0049, 0x0131},  // dotless i
    {0x0053, 0x017F},  // long s
    {0x03A3, 0x03C2},  // final sigma
};

const PairedRange* paired_range(char32_t code) {
  for (const PairedRange& range : kPaired) {
    if (code >= range.first && code <= range.last) return &range;
  }
  return nullptr;
}

}  // namespace

Utf8Char utf8_char_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  Utf8Char c;
  c.code = lead;
  if (lead < 0x80) {
    c.valid = true;
    return c;
  }
  std::size_t size = 0;
  char32_t code = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return c;
  }
  if (size > text.size() - at) return c;
  for (std::size_t i = 1; i < size; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return c;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return c;
  c.code = code;
  c.size = size;
  c.valid = true;
  return c;
}

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

char32_t upper_case(char32_t code) {
  if (code >= 'a' && code <= 'z') return code - 0x20;
  if (code < 0x80) return code;
  // Latin-1 (not the division sign), Greek and the basic Cyrillic letters:
  // a fixed distance between the cases.
  if (code >= 0xE0 && code <= 0xFE && code != 0xF7) return code - 0x20;
  if (code >= 0x03B1 && code <= 0x03CB && code != 0x03C2) return code - 0x20;
  if (code >= 0x03AD && code <= 0x03AF) return code - 0x25;
  if (code >= 0x0430 && code <= 0x044F) return code - 0x20;
  if (code >= 0x0450 && code <= 0x045F) return code - 0x50;
  if (const PairedRange* range = paired_range(code)) {
    return (code - range->first) % 2 == 1 ? code - 1 : code;
  }
  for (const CasePair& pair : kPairs) {
    if (code == pair.lower) return pair.upper;
  }
  for (const CasePair& pair : kUpperOnly) {
    if (code == pair.lower) return pair.upper;
  }
  return code;
}

char32_t lower_case(char32_t code) {
  if (code >= 'A' && code <= 'Z') return code + 0x20;
  if (code < 0x80) return code;
  if (code >= 0xC0 && code <= 0xDE && code != 0xD7) return code + 0x20;
  if (code >= 0x0391 && code <= 0x03AB && code != 0x03A2) return code + 0x20;
  if (code >= 0x0388 && code <= 0x038A) return code + 0x25;
  if (code >= 0x0410 && code <= 0x042F) return code + 0x20;
  if (code >= 0x0400 && code <= 0x040F) return code + 0x50;
  if (code == 0x0130) return 'i';  // capital I with dot above
  if (const PairedRange* range = paired_range(code)) {
    return (code - range->first) % 2 == 0 ? code + 1 : code;
  }
  for (const CasePair& pair : kPairs) {
    if (code == pair.upper) return pair.lower;
  }
  return code;
}

bool is_word_character(char32_t code) {
  if (code < 0x80) {
    return (code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') ||
           (code >= 'a' && code <= 'z');
  }
  if (code < 0xC0 || code == 0xD7 || code == 0xF7) return false;
  return !(code >= 0x2000 && code <= 0x2BFF) && !(code >= 0x3000 && code <= 0x303F) &&
         !(code >= 0xFF00 && code <= 0xFF20);
}

}  // namespace kestrune
