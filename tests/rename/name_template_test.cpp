#include "rename/name_template.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/tag_builder.h"

namespace kestrune {
namespace {

using namespace std::string_literals;

TagV1 v1(const test::TrailerFields& fields) {
  const std::string trailer = test::id3v1_trailer(fields);
  TagV1 tag;
  std::memcpy(&tag, trailer.data() + 3, sizeof tag);
  return tag;
}

std::string expand(std::string_view pattern, const TagV1& tag_v1, const TagV2& tag_v2 = {}) {
  std::string name = "stale";
  EXPECT_TRUE(expand_template(pattern, tag_v1, tag_v2, name)) << pattern;
  return name;
}

TEST(ExpandTemplate, TokensPairUpLeftToRightAndTagTextIsInsertedWholeAndNeverScanned) {
  TagV2 tag;
  tag.artist = "Foo";
  tag.title = "Bar";
  tag.comment = "  50% \\ %artist%  ";  // kept untrimmed, % and backslash are plain text
  tag.track = "3/12";
  const struct {
    const char* pattern;
    const char* expected;
  } cases[] = {
      {"plain name.mp3", "plain name.mp3"}, {"%ARTIST%|%Artist%|%artist%", "Foo|Foo|Foo"},
      {"%title %", ""},                     {"x%genre%", "x"},
      {"a%%b", "ab"},                       {"%artist%%title%", "FooBar"},
      {"%artistartist%", ""},  // longer than any name
      {"%comment%%track%", "  50% \\ %artist%  3/12"},
      // A lone % and everything after it are copied.
      {"%artist% 50% off", "Foo 50% off"}, {"a%title", "a%title"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand(c.pattern, TagV1{}, tag), c.expected) << c.pattern;
}

TEST(ExpandTemplate, EmptyOrAbsentId3v2TextFallsBackToId3v1ForEachToken) {
  const TagV1 old = v1(
      {.title = "T1", .artist = "A1", .album = "L1", .year = "1971", .comment = "C1", .track = 9});
  TagV2 empty;
  for (auto field : {&TagV2::title, &TagV2::artist, &TagV2::album, &TagV2::year, &TagV2::comment,
                     &TagV2::track}) {
    empty.*field = "";
  }
  // The year is read as four characters although the comment follows it directly.
  const char* pattern = "%title%,%artist%,%album%,%year%,%comment%,%track%";
  EXPECT_EQ(expand(pattern, old, empty), "T1,A1,L1,1971,C1,9");
  EXPECT_EQ(expand(pattern, old, TagV2{}), "T1,A1,L1,1971,C1,9");
}

TEST(ExpandTemplate, Id3v1FieldsLoseTrailingBlanksAndTheTrackCountsOnlyBehindTheMarker) {
  const struct {
    std::string title;
    const char* expected;
  } cases[] = {
      {"  Hi  ", "  Hi"}, {"     ", ""}, {"A\0B"s, "A"},  // bytes after the first zero are never used
      {std::string(30, 'x'), "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
#ifndef _WIN32
      {"Caf\xE9  ", "Caf\u00E9"},  // Latin-1, trimmed and then converted to UTF-8
#endif
  };
  for (const auto& c : cases) {
    // The longer artist before the title must not leak into it.
    EXPECT_EQ(expand("%artist%%title%", v1({.title = c.title, .artist = "LongerArtistName"})),
              "LongerArtistName"s + c.expected);
  }
  EXPECT_EQ(expand("%track%|%track%", v1({.track = 255})), "255|255");
  EXPECT_EQ(expand("%track%", TagV1{}), "0");
  // A plain ID3v1 comment of 30 letters ending in "e": no track 101.
  const TagV1 plain = v1({.comment = std::string(29, 'c') + "e"});
  EXPECT_EQ(expand("%comment%|%track%", plain), std::string(29, 'c') + "e|0");
  // Under ID3v1.1 the comment stops before the marker.
  EXPECT_EQ(expand("%comment%|%track%", v1({.comment = std::string(30, 'c'), .track = 4})),
            std::string(28, 'c') + "|4");
}

TEST(ExpandTemplate, NameLongerThan1023CharactersIsRefusedWithoutBeingBuiltWhole) {
  TagV2 tag;
  tag.title = std::string(1 << 20, 't');
  std::string name;
  EXPECT_FALSE(expand_template("%title%", TagV1{}, tag, name));
  EXPECT_FALSE(expand_template(std::string(1024, 'x'), TagV1{}, TagV2{}, name));
}

}  // namespace
}  // namespace kestrune
