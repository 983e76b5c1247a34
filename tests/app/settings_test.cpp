#include "app/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

using test::describe_tree;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

TEST(Settings, WritesThreeCrLfLinesThatReadBackExactly) {
  TempFolder folder;
  const std::string path = settings_path(folder.path().string());
  Settings settings;
  read_settings(settings, path);  // no file: the defaults stay
  write_settings(settings, path);
  EXPECT_EQ(read_bytes(path), "[Core]\r\nMethod = 0\r\nFormat = %artist% - %title%");

  // Blanks at both ends, an "=", a lone CR: all survive, and the old file is replaced.
  const Settings odd{-7, "  =odd\r %title%  "};
  write_settings(odd, path);
  EXPECT_EQ(read_bytes(path), "[Core]\r\nMethod = -7\r\nFormat =   =odd\r %title%  ");
  Settings back;
  read_settings(back, path);
  EXPECT_EQ(back.method, -7);
  EXPECT_EQ(back.format, odd.format);
  EXPECT_EQ(describe_tree("."), "Kestrune.ini " + std::to_string(read_bytes(path).size()) + "\n");

  // A line break typed into the template is written as any other: CR LF.
  write_settings(Settings{1, "a\nb"}, path);
  EXPECT_EQ(read_bytes(path), "[Core]\r\nMethod = 1\r\nFormat = a\r\nb");

  // Only the first MiB of a huge file is read.
  write_bytes(path, "Format = early\r\n" + std::string(1 << 20, 'x') + "\r\nFormat = late");
  read_settings(back, path);
  EXPECT_EQ(back.format, "early");
}

TEST(Settings, PathKeepsTheDoubledSeparatorOfARootFolder) {
  const std::string separator(1, platform::kSeparator);
  EXPECT_EQ(settings_path("music"), "music" + separator + "Kestrune.ini");
  EXPECT_EQ(settings_path("root" + separator), "root" + separator + separator + "Kestrune.ini");
}

TEST(Settings, ParsesKeysAsLineInputAndFormattedInputWould) {
  struct Case {
    std::string text;
    std::int32_t method;
    std::string format;
  };
  const std::string piece_of_a(502, 'a');  // "Format = " and these fill 511
  const Case cases[] = {
      {"method = 1", 9, "keep"},  // "Method" counts case
      {"FORMAT = x", 9, "x"},     // "Format" does not
      {"Format=%artist%", 9, "artist%"},
      {"Method=7\r\n", 7, "keep"},
      {"Method \t=\t -3 and more", -3, "keep"},
      {"Method = + 4", 9, "keep"},
      {"Method = abc", 9, "keep"},
      {"[Core]\r\nFormat = a\r\nMethod = 1\r\nFormat = b\r\nMethod = 2", 2, "b"},
      {"Format", 9, "keep"},  // no "="
      {"Format =", 9, ""},
      {"Format =x", 9, ""},
      {"Format = x\r\nMethod = 1", 1, "x"},  // the line break is not part of the value
      {"Format = x\r\r\n", 9, "x\r"},  // only the line break goes, not the CR before it
      {"Format = a\rb", 9, "a\rb"},  // a lone CR stays
      {std::string("Format = ab\0cd", 14), 9, "ab"},
      {"Method = 2147483648", 9, "keep"},
      {"Method = -2147483648", INT32_MIN, "keep"},
      // A long line arrives in pieces of 511 characters, each a line of its own.
      {"Format = " + piece_of_a + "Method = 3\r\n", 3, piece_of_a},
      {"Format = " + piece_of_a + "tail", 9, piece_of_a},
  };
  for (const Case& c : cases) {
    Settings settings{9, "keep"};
    parse_settings(settings, c.text);
    EXPECT_EQ(settings.method, c.method) << c.text;
    EXPECT_EQ(settings.format, c.format) << c.text;
  }
}

}  // namespace
}  // namespace kestrune
