// Renames from tags: the template expansion, the optional rules for new
// names, and the plan and the move of a file.
#include "rename/rename.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rename/name_rules.h"
#include "rename/name_template.h"
#include "support/dialog_names.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::describe_tree;
using test::read_bytes;
using test::TempFolder;
using test::titled;
using test::write_bytes;

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
  const struct { const char* pattern; const char* expected; } cases[] = {
      {"plain name.mp3", "plain name.mp3"}, {"%ARTIST%|%Artist%|%artist%", "Foo|Foo|Foo"},
      {"%title %", ""},                     {"x%genre%", "x"},
      {"a%%b", "ab"},                       {"%artist%%title%", "FooBar"},
      {"%artistartist%", ""},  // longer than any name
      {"%comment%%track%", "  50% \\ %artist%  3/12"},
      // A lone % and everything after it are copied.
      {"%artist% 50% off", "Foo 50% off"}, {"a%title", "a%title"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand(c.pattern, TagV1{}, tag), c.expected) << c.pattern;
  // Too long: refused without being built whole.
  std::string name;
  tag.title = std::string(1 << 20, 't');
  EXPECT_FALSE(expand_template("%title%", TagV1{}, tag, name));
  EXPECT_FALSE(expand_template(std::string(1024, 'x'), TagV1{}, TagV2{}, name));
}

TEST(ExpandTemplate, EmptyOrAbsentId3v2TextFallsBackToTrimmedId3v1ForEachToken) {
  const TagV1 old = v1(
      {.title = "T1", .artist = "A1", .album = "L1", .year = "1971", .comment = "C1", .track = 9});
  TagV2 empty;
  empty.title = empty.artist = empty.album = empty.year = empty.comment = empty.track = "";
  // The year is read as four characters although the comment follows it directly.
  const char* pattern = "%title%,%artist%,%album%,%year%,%comment%,%track%";
  EXPECT_EQ(expand(pattern, old, empty), "T1,A1,L1,1971,C1,9");
  EXPECT_EQ(expand(pattern, old, TagV2{}), "T1,A1,L1,1971,C1,9");
  // ID3v1 fields lose trailing blanks, and the track counts only behind the marker.
  const struct { std::string title; const char* expected; } cases[] = {
      // Bytes after the first zero are never used.
      {"  Hi  ", "  Hi"}, {"     ", ""}, {"A\0B"s, "A"},
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

std::string portable(std::string_view pattern, const std::string& title, bool fits = true,
                     std::size_t max_path = kMaxNewName, const std::string& album = "") {
  TagV2 tag;
  tag.artist = "AC/DC";
  tag.title = title;
  tag.album = album;
  std::string name;
  std::vector<bool> from_tag;
  EXPECT_TRUE(expand_template(pattern, TagV1{}, tag, name, &from_tag)) << pattern;
  EXPECT_EQ(make_portable(pattern, name, from_tag, max_path), fits) << pattern;
  EXPECT_EQ(from_tag.size(), name.size());
  return name;
}

TEST(MakePortable, ReplacesInTagTextTrimsAndCutsEachPart) {
  const std::string a251(251, 'a'), a254(254, 'a');
  const struct { const char* pattern; std::string title; std::string expected; } cases[] = {
      {"%artist%\\%title%", "Back: In? *Black*", "AC_DC\\Back_ In_ _Black_.mp3"},
      {"%title%", "a\\b/c\"<>|\t\x7F", "a_b_c______.mp3"},
      // Template text stays as written, and its '/' separates parts too.
      {"Mix/%artist% ?\\%title%.mp3", "x", "Mix\\AC_DC ?\\x.mp3"},
      {"%title%\\%artist%", "  Mr. T. . ", "Mr. T\\AC_DC.mp3"},
      {"%title%", " Song. ", "Song.mp3"}, {"%title% .mp3. ", "Song", "Song .mp3"},
      // Empty parts, but not the template's own root or "..".
      {"%title%\\%album%\\%title%", "", "_\\_\\_.mp3"},
      {"\\Music\\%title%\\x", "..", "\\Music\\_\\x.mp3"},
      {"%title%\\%artist%", "\\", "_\\AC_DC.mp3"}, {"..\\%title%", "x", "..\\x.mp3"},
      // Cuts: ".mp3" kept at exactly 255 bytes, never inside a character.
      {"%title%", std::string(300, 'a'), a251 + ".mp3"}, {"%title%.mp3", a251, a251 + ".mp3"},
      {"%title%", std::string(250, 'a') + "\xC3\xA9", std::string(250, 'a') + ".mp3"},
      {"%title%\\x", a254 + "\xC3\xA9", a254 + "\\x.mp3"},
      {"%title%\\x", a254 + " b", a254 + "\\x.mp3"},  // trimmed again after the cut
#ifndef _WIN32
      {"%title%", "c\u0085d\u00A0", "c_d\u00A0.mp3"},  // a C1 control; a no-break space
#endif
      // Windows' device names, whoever wrote them, with or without a '.' after them.
      {"%title%\\Aux\\x", "con", "con_\\Aux_\\x.mp3"},
      {"%title%\\y", "LpT9.tar ", "LpT9_.tar\\y.mp3"}, {"%title%", "nul .mp3", "nul_ .mp3"},
      {"%title%", "COM1.x", "COM1_.x.mp3"}, {"%title%", "COM0", "COM0.mp3"},
      {"%title%", "CONSOLE", "CONSOLE.mp3"},
  };
  for (const auto& c : cases) EXPECT_EQ(portable(c.pattern, c.title), c.expected) << c.pattern;

  // Within a path's limit: the longest part of tag text loses characters
  // first, ties go to the part nearer the end, template text stays.
  const std::string title = "Long Title \xC3\xA9t\xC3\xA9";  // 14 characters, 16 bytes
  const struct { std::size_t max_path; const char* album; std::string expected; bool fits; }
      limits[] = {
          {39, "Album", "AC_DC\\Album\\" + title + " (live).mp3", true},
          {38, "Album", "AC_DC\\Album\\Long Title \xC3\xA9t (live).mp3", true},  // no half é
          {34, "Album", "AC_DC\\Album\\Long Title  (live).mp3", true},
          {24, "Album", "AC_DC\\Album\\L (live).mp3", true},  // a character of tag text kept
          {20, "Album", "AC_\\Alb\\L (live).mp3", true},
          {15, "Album", "A\\A\\L (live).mp3", false},
          {23, "Bam Bam...", "AC_DC\\Bam\\L (live).mp3", true},  // a folder trimmed again
          {21, "AUXX", "AC_D\\AU\\L (live).mp3", true},  // cut past a device name
      };
  for (const auto& l : limits) {
    const std::string name = portable("%artist%\\%album%\\%title% (live)", title, l.fits,
                                      l.max_path, l.album);
    EXPECT_EQ(name, l.expected) << l.max_path;
    EXPECT_TRUE(!l.fits || name.size() <= l.max_path) << l.max_path;
  }
  std::string parts;
  for (int i = 0; i < 510; ++i) parts += "x\\";
  EXPECT_EQ(portable(parts + "x", "", false).size(), 1025u);
}

TEST(TrackDigits, PadsTheNumberBeforeTheSlashAndKeepsOtherText) {
  const struct { const char* track; int digits; const char* expected; } cases[] = {
      {"3/12", 2, "03"},   {"12", 1, "12"},  {"0/12", 2, "00"},      {"007", 2, "07"},
      {"3/", 3, "003"},    {"5", 0, "5"},    {"5", 99, "0000000005"}, {"abc", 2, "abc"},
      {"/12", 2, "/12"},   {" 3", 2, " 3"},  {"3a/12", 2, "3a/12"},  {"", 2, ""},
      {"1234567890", 2, "1234567890"},       {"99999999999999999999", 3, "99999999999999999999"},
  };
  for (const auto& c : cases) EXPECT_EQ(pad_track(c.track, c.digits), c.expected) << c.track;
  auto expanded = [](const test::TrailerFields& fields, std::optional<std::string> v2_track) {
    const TagV1 tag_v1 = v1(fields);
    TagV2 tag_v2;
    tag_v2.title = "t";
    tag_v2.track = std::move(v2_track);
    const std::string pattern = "%title%%TRACK%";
    return expand(apply_track_digits(tag_v1, tag_v2, 2) ? pattern : without_track(pattern),
                  tag_v1, tag_v2);
  };
  EXPECT_EQ(expanded({.track = 7}, std::nullopt), "t07");
  EXPECT_EQ(expanded({.track = 7}, ""), "t07");
  EXPECT_EQ(expanded({.track = 7}, "3/12"), "t03");
  // No track at all stays empty: no ID3v1.1 track, or its 0.
  EXPECT_EQ(expanded({.comment = std::string(30, 'c')}, std::nullopt), "t");
  EXPECT_EQ(expanded({.track = 0}, ""), "t");
  EXPECT_EQ(expanded({.track = 0}, "0"), "t00");
  EXPECT_EQ(without_track("%track%%Track% %title%50%track"), "%%%% %title%50%track");
}

// Names taken in the folder and by the plan: the command line's suffix test.
TEST(FirstFreeName, StaysWithinTheLimitsOfANameAndOfItsFilePart) {
  const std::string fits = std::string(1015, 'x') + ".mp3";  // 1023 with " (1)"
  const std::string file = "d\\" + std::string(246, 'a') + "\xC3\xA9" "aaa.mp3";  // 255 bytes
  std::set<std::string> folder = {"B", fits, fits + "x", file};
  auto taken = [&](const std::string& name) { return folder.count(name) > 0; };
  EXPECT_EQ(first_free_name("B", taken), "B (1)");
  EXPECT_EQ(first_free_name(fits, taken)->size(), kMaxNewName);
  EXPECT_FALSE(first_free_name(fits + "x", taken));
  EXPECT_EQ(first_free_name(file, taken, kMaxNamePart), "d\\" + std::string(246, 'a') + " (1).mp3");
  int asked = 0;
  EXPECT_FALSE(first_free_name("C.mp3", [&](const std::string&) { return ++asked > 0; }));
  EXPECT_EQ(asked, kMaxCollisionSuffix + 1);
}

TEST(RenameByTags, SkipsAnswerZeroFailuresMinusOneAndNeitherChangesAnything) {
  TempFolder folder;
  write_bytes("T.mp3", titled("T"));
  write_bytes("plain.mp3", std::string(300, 'x'));
  // An ID3v2.4 header and no trailer: neither tag is usable.
  write_bytes("v24.mp3", test::id3v2_header(20, 4) + std::string(40, 'x'));
  write_bytes("long.mp3", titled(std::string(1020, 'a')));  // 1024 with ".mp3"
  write_bytes("other.mp3", titled("T"));
  write_bytes("T", "a file where the new folder goes");
  // Exactly 1023 bytes in names of 255, with ".mp3" from the tag or added: planned.
  const std::string part(255, 'p');
  const std::string longest = part + '\\' + part + '\\' + part + '\\' + part.substr(4) + ".mp3";
  write_bytes("a.mp3", titled(longest));
  write_bytes("b.mp3", titled(longest.substr(0, 1019)));
  const std::string before = describe_tree(".");
  EXPECT_EQ(rename_by_tags(nullptr, "%title%"), 0);
  EXPECT_EQ(rename_by_tags("T.mp3", nullptr), 0);
  EXPECT_EQ(rename_by_tags("T.mp3", ""), 0);
  for (const char* path : {"", "plain.mp3", "v24.mp3", "T.mp3", "./T.mp3"}) {
    EXPECT_EQ(rename_by_tags(path, "%title%"), 0) << path;
  }
  EXPECT_EQ(rename_by_tags("long.mp3", "%title%"), -1);
  EXPECT_EQ(rename_by_tags("other.mp3", "%title%"), -1);  // T.mp3 is taken
  EXPECT_EQ(rename_by_tags("other.mp3", "%title%\\x"), -1);
  EXPECT_EQ(plan_rename(std::string("long.mp3"), "%title%").outcome, PlanOutcome::kRefuseTooLong);
  for (const char* path : {"a.mp3", "b.mp3"}) {
    EXPECT_EQ(plan_rename(std::string(path), "%title%").new_name, longest) << path;
  }
  EXPECT_EQ(describe_tree("."), before);
}

TEST(RenameByTags, BackslashesMakeFoldersWhereverTheyComeFromAndMp3IsAppendedUnlessThere) {
  TempFolder folder;
  const std::vector<test::DialogName> cases = test::dialog_names(folder.path().string());
  for (const auto& c : cases) {
    write_bytes("source", titled(c.title));
    EXPECT_EQ(rename_by_tags("source", c.pattern.c_str()), 0) << c.title;
    EXPECT_EQ(read_bytes(c.expected), titled(c.title)) << c.title;
    EXPECT_FALSE(fs::exists("source")) << c.title;
  }
}

TEST(RenameByTags, ConcurrentRenamesOntoOneNameLetExactlyOneWin) {
  TempFolder folder;
  constexpr int kFiles = 8;
  auto name = [](int i) { return "f" + std::to_string(i) + ".mp3"; };
  std::latch start(kFiles);
  std::vector<int> results(kFiles);
  std::vector<std::jthread> threads;
  for (int i = 0; i < kFiles; ++i) write_bytes(name(i), titled("Same", name(i)));
  for (int i = 0; i < kFiles; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[i] = rename_by_tags(name(i).c_str(), "%title%");
    });
  }
  threads.clear();  // joins them all
  EXPECT_EQ(std::count(results.begin(), results.end(), -1), kFiles - 1);
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(read_bytes(results[i] == 0 ? "Same.mp3" : name(i)), titled("Same", name(i)));
  }
}

}  // namespace
}  // namespace kestrune
