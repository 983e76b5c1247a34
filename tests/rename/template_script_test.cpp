// The command line's template language: fields, functions, quotes, empty
// folder parts, tag-text flags and errors, against names worked out by hand.
#include "rename/template_script.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "rename/name_template.h"
#include "rename/text_case.h"
#include "support/tag_builder.h"
#include "tags/genres.h"
#include "tags/id3v2_any.h"

#ifndef _WIN32
#include <locale.h>
#endif

namespace kestrune {
namespace {

TagV1 v1(const test::TrailerFields& fields) {
  const std::string trailer = test::id3v1_trailer(fields);
  TagV1 tag;
  std::memcpy(&tag, trailer.data() + 3, sizeof tag);
  return tag;
}

TagV2 sample_tag() {
  TagV2 tag;
  tag.artist = "The Beatles";
  tag.title = "\xC3\xA7" "a plane pour moi";  // "ça plane pour moi"
  tag.album = "Abbey Road";
  tag.track = "3/12";
  tag.year = "1969";
  tag.disc = "1/2";
  tag.genre = "(17)";
  tag.composer = "  Lennon   McCartney  ";
  tag.comment = "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1";  // "Ωμέγα"
  return tag;
}

std::string expand(std::string_view pattern, const TagV2& tag = sample_tag(),
                   const TagV1& tag_v1 = TagV1{}, std::vector<bool>* from_tag = nullptr) {
  std::string name = "stale";
  EXPECT_EQ(expand_template_script(pattern, tag_v1, tag, "track01", name, from_tag),
            ScriptResult::kExpanded)
      << pattern;
  return name;
}

TEST(TemplateScript, FieldsFunctionsNestingQuotesAndEmptyFolderParts) {
  const struct { const char* pattern; const char* expected; } cases[] = {
      // Fields, the new ones in any case.
      {"%artist% - %title%", "The Beatles - \xC3\xA7" "a plane pour moi"},
      {"%Genre%|%DISC%|%composer%|%filename%|[%albumartist%]",
       "Rock|1/2|  Lennon   McCartney  |track01|[]"},
      // Functions, one by one.
      {"$if(%albumartist%,%albumartist%,%artist%)", "The Beatles"},
      {"$if(%album%,[%album%])|$if(%albumartist%,x)", "[Abbey Road]|"},
      {"$if2(%albumartist%,%year%,x)", "1969"},
      {"$upper(%title%)", "\xC3\x87" "A PLANE POUR MOI"},
      {"$title(%title%) $title(don''t stop-me)", "\xC3\x87" "a Plane Pour Moi Don't Stop-Me"},
      {"$lower(%comment%)|$upper(%comment%)",
       "\xCF\x89\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1|\xCE\xA9\xCE\x9C\xCE\x88\xCE\x93\xCE\x91"},
      {"$upper(\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0)", "\xD0\x81\xD0\x9B\xD0\x9A\xD0\x90"},  // ёлка
      {"$left(%title%,2)|$right(%comment%,2)|$left(ab,9)|$right(ab,0)",
       "\xC3\xA7" "a|\xCE\xB3\xCE\xB1|ab|"},
      {"$num(%track%,3)|$num(%disc%,1)|$num(%album%,2)|$num(007,2)|$num(1234,2)",
       "003|1||07|1234"},
      {"$replace(%album%, ,_)|$replace(aaa,a,bb)|$replace(abc,,x)", "Abbey_Road|bbbbbb|abc"},
      {"[$trim(%composer%)]", "[Lennon McCartney]"},
      {"$swapprefix(%artist%)|$swapprefix(A Tribe,The)|$swapprefix(die \xC3\x84rzte,Der,Die)",
       "Beatles, The|A Tribe|\xC3\x84rzte, die"},
      {"$swapprefix(The)|$swapprefix(Theatre)", "The|Theatre"},
      {"$initial(%artist%)$initial($swapprefix(%artist%))$initial(%title%)$initial(' (!)')",
       "TB\xC3\x87#"},
      // Nesting, and names of any case.
      {"$UPPER($left($swapprefix(%artist%),3))", "BEA"},
      {"$if($num(%disc%,1),CD$num(%disc%,1)/)%title%", "CD1/\xC3\xA7" "a plane pour moi"},
      // Quotes and literal characters inside calls.
      {"$if(%album%,'a,b (c)')|$if(x,it''s)|$if(x,'it''s')|$if(x,100%)", "a,b (c)|it's|it's|100%"},
      {"$if(x,$ cost,a\\b)", "$ cost"},
      // A % whose partner lies beyond the start of a call is a plain %.
      {"50% $upper(x)%year%", "50% X1969"},
      // Folder parts that hold a field or call and come out empty are dropped.
      {"%albumartist%\\%album%\\x", "Abbey Road\\x"},
      {"%albumartist%/$if(%albumartist%,a)/%title%", "\xC3\xA7" "a plane pour moi"},
      {"\\root\\%albumartist%\\x|a\\\\b| %albumartist%\\y", "\\root\\x|a\\\\b| \\y"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand(c.pattern), c.expected) << c.pattern;
}

TEST(TemplateScript, ATemplateWithoutACallMeansWhatItMeansInTheDialog) {
  TagV2 tag = sample_tag();
  tag.artist = "AC/DC, 'live' $1";
  const TagV1 trailer = v1({"T1", "A1", "Al1", "1999", "", 7, 17});
  const char* patterns[] = {
      "%artist% - %title%", "%artist%, it's $5 (live) 'x'", "%artist% 50% off", "a%title",
      "%%", "%title %", "%artistartist%", "$%artist%$", "$(x) $5(x) $ (x)", "%genre%%disc%",
      "50% $upper %year%", "a\\%album%\\%track%.mp3", "%year%%comment%",
  };
  for (TagV2 record : {tag, TagV2{}}) {
    for (const char* pattern : patterns) {
      std::string dialog;
      std::vector<bool> dialog_flags;
      ASSERT_TRUE(expand_template(pattern, trailer, record, dialog, &dialog_flags));
      std::vector<bool> flags;
      const std::string script = expand(pattern, record, trailer, &flags);
      // The dialog has no %genre% nor %disc%; its other names agree.
      if (std::string_view(pattern) == "%genre%%disc%") {
        EXPECT_EQ(script, record.genre ? "Rock1/2" : "Rock");
        continue;
      }
      EXPECT_EQ(script, dialog) << pattern;
      EXPECT_EQ(flags, dialog_flags) << pattern;
    }
  }
}

TEST(TemplateScript, WhatFunctionsMakeOfTagTextIsTagTextAndTemplateTextIsNot) {
  TagV2 tag = sample_tag();
  tag.title = "..";
  const auto flags_of = [&](std::string_view pattern) {
    std::vector<bool> flags;
    const std::string name = expand(pattern, tag, TagV1{}, &flags);
    std::string marks;
    for (const bool flag : flags) marks += flag ? 'T' : '-';
    EXPECT_EQ(marks.size(), name.size()) << pattern;
    return marks;
  };
  EXPECT_EQ(flags_of("$upper(%album%)/x"), "TTTTTTTTTT--");
  EXPECT_EQ(flags_of("$if(%album%,A/,B)"), "--");                 // the condition taints nothing
  EXPECT_EQ(flags_of("$replace(%year%,9,/)$replace(x9,9,.)"), "TTTT--");  // "1/6/" then "x."
  EXPECT_EQ(flags_of("$num(%track%,3)$num(5,2)"), "TTT--");
  EXPECT_EQ(flags_of("$swapprefix(%artist%)"), std::string(12, 'T'));
  EXPECT_EQ(flags_of("$lower(%title%)/$left(%title%,1)."), "TT-T-");
  EXPECT_EQ(flags_of("$initial(%album%)$initial(%composer%)$initial(-)"), "TT-");
  EXPECT_EQ(flags_of("%filename%"), "TTTTTTT");
}

TEST(TemplateScript, ErrorsNameTheirColumnAndEveryPrefixOfATemplateIsHandled) {
  std::string deep;
  for (int i = 0; i < 33; ++i) deep += "$upper(";
  const struct { std::string pattern; std::size_t column; const char* message; } cases[] = {
      {"$if(%album%,x", 1, "$if( is not closed by a ')'"},
      {"ab$foo(x)", 3, "$foo is not a function"},
      {"\xC3\xA9 $upper(a,b)", 3, "$upper takes 1 argument, not 2"},
      {"$if(x)", 1, "$if takes 2 or 3 arguments, not 1"},
      {"$if2(x)", 1, "$if2 takes at least 2 arguments, not 1"},
      {"$replace(a,b)", 1, "$replace takes 3 arguments, not 2"},
      {"\xC3\xA9$if(a,'b)", 8, "the quote is not closed"},
      {"$if(a,(b))", 7, "a parenthesis in a call's arguments is written between quotes: '('"},
      {"$if(a,$upper(b,c))", 7, "$upper takes 1 argument, not 2"},
      {deep, 1 + 7 * 32, "calls are nested more than 32 deep"},
  };
  for (const auto& c : cases) {
    const auto error = check_template_script(c.pattern);
    ASSERT_TRUE(error.has_value()) << c.pattern;
    EXPECT_EQ(error->column, c.column) << c.pattern;
    EXPECT_EQ(error->message, c.message) << c.pattern;
    std::string name = "stale";
    EXPECT_EQ(expand_template_script(c.pattern, TagV1{}, sample_tag(), "", name),
              ScriptResult::kBadTemplate);
    EXPECT_EQ(name, "");
  }
  EXPECT_EQ(describe_template_error({4, "x"}), "column 4: x");
  // Every prefix of a template rich in syntax either parses or names a column
  // within it, and expands without trouble.
  const std::string rich = "%artist%\\$if($num(%track%,2),'(a,b)''',$upper(x%y)) 50% $initial(é)";
  for (std::size_t n = 0; n <= rich.size(); ++n) {
    const std::string prefix = rich.substr(0, n);
    const auto error = check_template_script(prefix);
    if (error) {
      EXPECT_LE(error->column, prefix.size()) << prefix;
    }
    std::string name;
    expand_template_script(prefix, TagV1{}, sample_tag(), "f", name);
  }
}

TEST(TemplateScript, WarnsOfUnknownFieldsAndLonePercentsAndRefusesHugeNames) {
  EXPECT_EQ(template_script_warnings("%Titel% $if(%genre%,%x y%,50%) %Titel% 5%x"),
            (std::vector<std::string>{"unknown field %Titel%", "unknown field %x y%",
                                      "lone % kept as written: \"%\"",
                                      "lone % kept as written: \"%x\""}));
  EXPECT_TRUE(template_script_warnings("%albumartist%%DISC%%filename%").empty());
  std::string name;
  EXPECT_EQ(expand_template_script("$num(1,1023).mp3", TagV1{}, TagV2{}, "", name),
            ScriptResult::kTooLong);
  // Doubling at each level stops at a bound instead of growing to 2^30.
  std::string doubling = "%artist%";
  for (int i = 0; i < 30; ++i) doubling = "$replace(" + doubling + ",a,aa)";
  TagV2 tag;
  tag.artist = "a";
  EXPECT_EQ(expand_template_script("$left(" + doubling + ",3)", TagV1{}, tag, "", name),
            ScriptResult::kTooLong);
}

TEST(TemplateScript, GenreNumbersResolveAndTheId3v1ByteStandsInOnlyForATrailer) {
  const struct { const char* text; const char* name; } cases[] = {
      {"(17)", "Rock"},           {"17", "Rock"},     {"(4)Eurodisco", "Eurodisco"},
      {"(4)(17)", "Disco, Rock"}, {"(RX)", "Remix"},  {"((Mine)", "(Mine)"},
      {"(300)", "(300)"},         {"Rock", "Rock"},   {"(191)", "Psybient"},
      {"(17", "(17"},             {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(resolve_genre(c.text), c.name) << c.text;
  TagV2 no_genre;
  EXPECT_EQ(expand("[%genre%]", no_genre, v1({"T", "", "", "", "", -1, 80})), "[Folk]");
  EXPECT_EQ(expand("[%genre%]", no_genre, v1({"T", "", "", "", "", -1, 255})), "[]");
  EXPECT_EQ(expand("[%genre%]", no_genre, TagV1{}), "[]");  // no trailer, not "Blues"
}

TEST(TemplateScript, AnyVersionReaderFillsTheNewFields) {
  const auto v22 = [](std::string_view id, std::string_view body) {
    const char size[3] = {0, 0, static_cast<char>(body.size())};
    return std::string(id) + std::string(size, 3) + std::string(body);
  };
  const std::vector<std::vector<std::string>> tags = {
      {v22("TP2", test::latin1_body("AA")), v22("TPA", test::latin1_body("1/2")),
       v22("TCO", test::latin1_body("(17)")), v22("TCM", test::latin1_body("C"))},
      {test::frame("TPE2", test::latin1_body("AA")), test::frame("TPOS", test::latin1_body("1/2")),
       test::frame("TCON", test::latin1_body("(17)")), test::frame("TCOM", test::latin1_body("C"))},
  };
  for (std::uint8_t version : {2, 3, 4}) {
    const std::string image = test::id3v2_tag(tags[version == 2 ? 0 : 1], 0, version);
    TagV2 tag;
    ASSERT_TRUE(read_tag_v2_any(tag, TagBytes{image, {}, image.size(), nullptr}));
    EXPECT_EQ(expand("%albumartist%|%disc%|%genre%|%composer%", tag), "AA|1/2|Rock|C")
        << int{version};
  }
}

#ifndef _WIN32
// The case table against the C library's full Unicode tables of C.UTF-8,
// over the ranges it claims.
TEST(TextCase, AgreesWithTheCLibraryOverTheRangesItCovers) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (utf8 == static_cast<locale_t>(nullptr)) GTEST_SKIP() << "no C.UTF-8 locale";
  const std::pair<char32_t, char32_t> ranges[] = {
      {0x0000, 0x017F}, {0x0386, 0x03CE}, {0x0400, 0x052F}, {0x1E00, 0x1E95}, {0x1EA0, 0x1EFF},
  };
  for (const auto& [first, last] : ranges) {
    for (char32_t c = first; c <= last; ++c) {
      EXPECT_EQ(upper_case(c), static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), utf8)))
          << std::hex << static_cast<unsigned>(c);
      EXPECT_EQ(lower_case(c), static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8)))
          << std::hex << static_cast<unsigned>(c);
    }
  }
  freelocale(utf8);
}
#endif

}  // namespace
}  // namespace kestrune
