// Reads arbitrary bytes as the settings file, then writes the result and
// reads it back.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/settings.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune;
  Settings settings;
  parse_settings(settings, std::string_view(reinterpret_cast<const char*>(data), size));
  fuzz::require(settings.format.size() <= kMaxFormat);

  // What was read is written back whole and reads back the same, as long as
  // the "Format" line fits in one piece of a line.
  constexpr std::size_t kLongestWholeLine = 511 - std::string_view("Format = ").size();
  Settings again;
  again.method = settings.method == 0 ? 1 : 0;
  again.format = "?";
  parse_settings(again, format_settings(settings));
  fuzz::require(again.method == settings.method);
  fuzz::require(settings.format.size() > kLongestWholeLine || again.format == settings.format);
  return 0;
}
