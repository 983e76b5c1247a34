#pragma once

// UTF-8 text one character at a time, and the letter case of the scripts
// that music tags are mostly written in. Pure functions, no locale.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

// One character of UTF-8 text: its code point and its length in bytes. A
// byte that does not begin a well-formed sequence is a character of its own,
// one byte long, with `valid` false; it is kept as it is by every function.
struct Utf8Char {
  char32_t code = 0;
  std::size_t size = 1;
  bool valid = false;
};

// The character that begins at `at` (< text.size()).
Utf8Char utf8_char_at(std::string_view text, std::size_t at);

// `code` (a valid code point) appended to `out` as UTF-8.
void append_utf8(std::string& out, char32_t code);

// The simple (one to one) upper and lower case of a code point, as Unicode
// gives it for ASCII, Latin-1, Latin Extended-A, Latin Extended Additional,
// the Greek letters U+0386 to U+03CE and Cyrillic U+0400 to U+052F. Other
// code points are returned unchanged. "ß" has no simple upper case and stays.
char32_t upper_case(char32_t code);
char32_t lower_case(char32_t code);

// Whether the code point is a letter or digit for $initial and $title:
// ASCII letters and digits, and from U+00C0 on everything but the
// multiplication and division signs and the punctuation and symbol blocks
// U+2000 to U+2BFF, U+3000 to U+303F and U+FF00 to U+FF20.
bool is_word_character(char32_t code);

}  // namespace kestrune
