#include "rename/name_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "rename/name_template.h"
#include "support/tag_builder.h"

namespace kestrune {
namespace {

std::string portable(std::string_view pattern, const std::string& title, bool fits = true) {
  TagV2 tag;
  tag.artist = "AC/DC";
  tag.title = title;
  std::string name;
  std::vector<bool> from_tag;
  EXPECT_TRUE(expand_template(pattern, TagV1{}, tag, name, &from_tag)) << pattern;
  EXPECT_EQ(make_portable(pattern, name, from_tag), fits) << pattern;
  EXPECT_EQ(from_tag.size(), name.size());
  return name;
}

TEST(MakePortable, ReplacesInTagTextTrimsAndCutsEachPart) {
  const std::string a251(251, 'a'), a254(254, 'a');
  const struct {
    const char* pattern;
    std::string title;
    std::string expected;
  } cases[] = {
      {"%artist%\\%title%", "Back: In? *Black*", "AC_DC\\Back_ In_ _Black_.mp3"},
      {"%title%", "a\\b/c\"<>|\t\x7F", "a_b_c______.mp3"},
      // Template text stays as written, and its '/' separates parts too.
      {"Mix/%artist% ?\\%title%.mp3", "x", "Mix/AC_DC ?\\x.mp3"},
      {"%title%\\%artist%", "  Mr. T. . ", "Mr. T\\AC_DC.mp3"},
      {"%title%", " Song. ", "Song.mp3"},
      {"%title% .mp3. ", "Song", "Song .mp3"},
      // Empty parts, but not the template's own root or "..".
      {"%title%\\%album%\\%title%", "", "_\\_\\_.mp3"},
      {"\\Music\\%title%\\x", "..", "\\Music\\_\\x.mp3"},
      {"%title%\\%artist%", "\\", "_\\AC_DC.mp3"},
      {"..\\%title%", "x", "..\\x.mp3"},
      // Cuts: ".mp3" kept at exactly 255 bytes, never inside a character.
      {"%title%", std::string(300, 'a'), a251 + ".mp3"},
      {"%title%.mp3", a251, a251 + ".mp3"},
      {"%title%", std::string(250, 'a') + "\xC3\xA9", std::string(250, 'a') + ".mp3"},
      {"%title%\\x", a254 + "\xC3\xA9", a254 + "\\x.mp3"},
      {"%title%\\x", a254 + " b", a254 + "\\x.mp3"},  // trimmed again after the cut
#ifndef _WIN32
      {"%title%", "c\u0085d\u00A0", "c_d\u00A0.mp3"},  // a C1 control; a no-break space
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(portable(c.pattern, c.title), c.expected) << c.pattern;

  std::string parts;
  for (int i = 0; i < 510; ++i) parts += "x\\";
  EXPECT_EQ(portable(parts + "x", "", false).size(), 1025u);
}

TEST(TrackDigits, PadsTheNumberBeforeTheSlashAndKeepsOtherText) {
  const struct {
    const char* track;
    int digits;
    const char* expected;
  } cases[] = {
      {"3/12", 2, "03"},   {"12", 1, "12"},  {"0/12", 2, "00"},      {"007", 2, "07"},
      {"3/", 3, "003"},    {"5", 0, "5"},    {"5", 99, "0000000005"}, {"abc", 2, "abc"},
      {"/12", 2, "/12"},   {" 3", 2, " 3"},  {"3a/12", 2, "3a/12"},  {"", 2, ""},
      {"1234567890", 2, "1234567890"},       {"99999999999999999999", 3, "99999999999999999999"},
  };
  for (const auto& c : cases) EXPECT_EQ(pad_track(c.track, c.digits), c.expected) << c.track;

  auto expanded = [](const test::TrailerFields& fields, std::optional<std::string> v2_track) {
    const std::string trailer = test::id3v1_trailer(fields);
    TagV1 tag_v1;
    std::memcpy(&tag_v1, trailer.data() + 3, sizeof tag_v1);
    TagV2 tag_v2;
    tag_v2.title = "t";
    tag_v2.track = std::move(v2_track);
    apply_track_digits(tag_v1, tag_v2, 2);
    std::string name;
    expand_template("%title%%track%", tag_v1, tag_v2, name);
    return name;
  };
  EXPECT_EQ(expanded({.track = 7}, std::nullopt), "t07");
  EXPECT_EQ(expanded({.track = 7}, ""), "t07");
  EXPECT_EQ(expanded({.track = 7}, "3/12"), "t03");
  EXPECT_EQ(expanded({.comment = std::string(30, 'c')}, std::nullopt), "t00");  // no ID3v1.1 track
}

TEST(TemplateWarnings, NamesEachUnknownFieldOnceAndALonePercent) {
  using List = std::vector<std::string>;
  const struct {
    const char* pattern;
    List expected;
  } cases[] = {
      {"%artist% - %TITLE%\\%Track%%year%%album%%comment%", {}},
      {"%Titel% %titel% %Titel%", {"unknown field %Titel%", "unknown field %titel%"}},
      {"a%%b%title %", {"unknown field %%", "unknown field %title %"}},
      {"100%", {"lone % kept as written: \"%\""}},
      {"%genre% 50% off", {"unknown field %genre%", "lone % kept as written: \"% off\""}},
  };
  for (const auto& c : cases) EXPECT_EQ(template_warnings(c.pattern), c.expected) << c.pattern;
}

TEST(FirstFreeName, CountsUpPastTheFolderAndThePlanWithinTheLimits) {
  std::set<std::string> folder = {"A (1).mp3", "B"}, plan;
  int asked = 0;
  auto taken = [&](const std::string& name) {
    ++asked;
    return folder.count(name) > 0 || plan.count(name) > 0;
  };
  for (const char* expected : {"A.mp3", "A (2).mp3", "A (3).mp3"}) {
    const std::optional<std::string> name = first_free_name("A.mp3", taken);
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, expected);
    plan.insert(*name);
  }
  EXPECT_EQ(first_free_name("B", taken), "B (1)");

  const std::string fits = std::string(1015, 'x') + ".mp3";  // 1023 with " (1)"
  const std::string file = "d\\" + std::string(246, 'a') + "\xC3\xA9" "aaa.mp3";  // 255 bytes
  folder = {fits, fits + "x", file};
  EXPECT_EQ(first_free_name(fits, taken)->size(), kMaxNewName);
  EXPECT_FALSE(first_free_name(fits + "x", taken));
  EXPECT_EQ(first_free_name(file, taken, kMaxNamePart), "d\\" + std::string(246, 'a') + " (1).mp3");

  asked = 0;
  EXPECT_FALSE(first_free_name("C.mp3", [&](const std::string&) { return ++asked > 0; }));
  EXPECT_EQ(asked, kMaxCollisionSuffix + 1);
}

}  // namespace
}  // namespace kestrune
