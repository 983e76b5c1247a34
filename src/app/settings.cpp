#include "app/settings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr std::size_t kMaxLinePiece = 511;
constexpr std::size_t kMaxSettingsRead = std::size_t{1} << 20;

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Matches "Method = %d": the key as written, white space, "=", white space
// and a decimal integer with an optional sign that fits in 32 bits.
void parse_method(Settings& settings, std::string_view line) {
  if (line.substr(0, 6) != "Method") return;
  std::size_t i = 6;
  while (i < line.size() && is_c_space(line[i])) ++i;
  if (i >= line.size() || line[i] != '=') return;
  ++i;
  while (i < line.size() && is_c_space(line[i])) ++i;
  std::size_t digits = i;
  if (digits < line.size() && (line[digits] == '+' || line[digits] == '-')) ++digits;
  std::size_t end = digits;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  if (end == digits) return;
  const std::string number(line.substr(i, end - i));
  errno = 0;
  const long long value = std::strtoll(number.c_str(), nullptr, 10);
  if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return;
  settings.method = static_cast<std::int32_t>(value);
}

// "Format" in any letter case; the value starts two characters after the
// first "=" and loses the line's own line break.
void parse_format(Settings& settings, std::string_view line) {
  if (line.size() < 6) return;
  constexpr std::string_view kKey = "format";
  for (std::size_t i = 0; i < kKey.size(); ++i) {
    if (ascii_lower(line[i]) != kKey[i]) return;
  }
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  std::string_view value = equals + 2 <= line.size() ? line.substr(equals + 2) : std::string_view();
  // Only the line break goes: a CR before it was a lone CR in the file.
  if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
  settings.format = std::string(value.substr(0, kMaxFormat));
}

}  // namespace

std::string settings_path(const std::string& folder) {
  return folder + platform::kSeparator + kSettingsFileName;
}

void parse_settings(Settings& settings, std::string_view bytes) {
  // Text mode: each CR LF becomes "\n"; a lone CR stays.
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text += bytes[i];
  }
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    std::size_t length = newline == std::string::npos ? text.size() - start : newline - start + 1;
    if (length > kMaxLinePiece) length = kMaxLinePiece;
    std::string_view line(text.data() + start, length);
    // A line is C text: a zero byte ends it, as the line input would.
    line = line.substr(0, line.find('\0'));
    parse_method(settings, line);
    parse_format(settings, line);
    start += length;
  }
}

void read_settings(Settings& settings, const std::string& path) {
  const platform::FilePtr file = platform::open_regular_file(path);
  if (!file) return;
  // The file is three short lines; whatever lies beyond the first MiB of a
  // huge or foreign one is not read.
  std::string bytes(kMaxSettingsRead, '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  parse_settings(settings, bytes);
}

std::string format_settings(const Settings& settings) {
  std::string bytes = "[Core]\r\nMethod = " + std::to_string(settings.method) + "\r\nFormat = ";
  // Text output: the template ends at a zero byte, and a line break in it
  // reaches the file as CR LF like every other.
  for (const char c : std::string_view(settings.format.c_str())) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

void write_settings(const Settings& settings, const std::string& path) {
  // Settings kept as a link elsewhere are written there, and the link stays.
  platform::replace_file(path, format_settings(settings), platform::ReplacePolicy::kThroughLinks);
}

}  // namespace kestrune
