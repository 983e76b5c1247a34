#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

inline constexpr std::size_t kMaxFormat = 511;
inline constexpr char kSettingsFileName[] = "Kestrune.ini";
inline constexpr char kDefaultFormat[] = "%artist% - %title%";

// The rename method and the name template, alive from start to exit.
struct Settings {
  std::int32_t method = 0;  // 0 = Selected, anything else = All Files
  std::string format = kDefaultFormat;  // at most kMaxFormat characters
};

// The settings path: `folder`, one separator and "Kestrune.ini". A folder
// that already ends in a separator (a root folder) gives two in a row.
std::string settings_path(const std::string& folder);

// Updates `settings` from the first MiB of the file at `path`; fields it does
// not set keep their values. A missing or unreadable file changes nothing.
void read_settings(Settings& settings, const std::string& path);

// The same on the file's bytes: CR LF pairs read as "\n", lines taken in
// pieces of at most 511 characters, the last line that sets a field wins.
void parse_settings(Settings& settings, std::string_view bytes);

// Replaces the file at `path` with the three lines of `settings`, CR LF
// between them. The old file stays whole when the new one cannot be written;
// nothing is reported. A link at `path` is written through to its target; a
// file whose folder takes no new files is rewritten in place.
void write_settings(const Settings& settings, const std::string& path);

// The file's bytes as write_settings writes them.
std::string format_settings(const Settings& settings);

}  // namespace kestrune
