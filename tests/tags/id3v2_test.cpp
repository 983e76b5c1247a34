#include "tags/id3v2.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/tag_builder.h"
#include "tags/id3v2_any.h"

namespace kestrune {
namespace {

using namespace std::string_literals;
using namespace test;
using Text = std::optional<std::string>;
using K = Id3v2Kind;

struct Read { bool ok; TagV2 tag; };

// Reads `image` through a stream. The byte form, with the tag in the head or
// fetched bit by bit, agrees, and so does the reader of every version.
Read read(const std::string& image) {
  const platform::FilePtr file = memory_file(image);
  Read r{false, {}};
  r.tag.title = "stale";  // the reader clears the record first
  r.ok = read_tag_v2(r.tag, file.get());
  for (const std::size_t head : {std::size_t{0}, std::size_t{11}, image.size()}) {
    MemoryBytes memory(image, head);
    TagBytes bytes = memory.bytes();
    TagV2 tag, any;
    EXPECT_TRUE(read_tag_v2(tag, bytes) == r.ok && tag == r.tag) << head;
    EXPECT_TRUE(!r.ok || (read_tag_v2_any(any, bytes) && any == r.tag)) << head;
    ++bytes.file_size;  // lost its last byte after its size was taken: the same tag, or none
    EXPECT_TRUE(!read_tag_v2(tag, bytes) || tag == r.tag) << head;
  }
  return r;
}

TEST(Id3v2Reader, AcceptsOnlyAPlainVersion3HeaderAndTheProbeSaysWhatElseBeginsTheFile) {
  // image; read_tag_v2's answer, version, flags and size; the probe; read_tag_v2_any's answer
  const std::tuple<std::string, bool, int, int, int, K, bool> cases[] = {
      {"id3\x03\0\0\0\0\0\0"s, false, 0, 0, 0, K::kNone, false},  // magic is case-sensitive
      {"ID3\x03\0\0\x80\x80\x82\x81"s, true, 3, 0, 257, K::kId3v23, true},  // bit 7 ignored
      {id3v2_header(0, 3, 0xFF), true, 3, 0, 0, K::kId3v23, true},          // any revision
      {id3v2_header(9, 3, 0, 0x80), false, 3, 0x80, 0, K::kId3v23Unsynchronised, true},
      {id3v2_header(9, 3, 0, 0x40), false, 3, 0x40, 0, K::kId3v23OtherFlags, true},
      {id3v2_header(9, 4), false, 4, 0, 9, K::kId3v24, true},
      {id3v2_header(9, 2), false, 2, 0, 9, K::kId3v22, true},
      {id3v2_header(9, 2, 0, 0x40), false, 2, 0x40, 0, K::kId3v22, false},  // compressed
      {id3v2_header(9, 5), false, 5, 0, 9, K::kOtherVersion, false},
  };
  for (const auto& c : cases) {
    const Read r = read(std::get<0>(c));
    MemoryBytes bytes(std::get<0>(c), 10);
    TagV2 any;
    EXPECT_EQ(
        std::tuple(std::get<0>(c), r.ok, int{r.tag.version}, int{r.tag.flags}, int(r.tag.size),
                   probe_id3v2(bytes.bytes()), read_tag_v2_any(any, bytes.bytes())),
        c);
  }
}

TEST(Id3v2Reader, FramesOfEveryEncodingSizeAndFlagAndTheFramesAfterThemReadInPlace) {
  const auto t = [](const std::string& body) { return frame("TIT2", body); };
  const auto titles = [](std::vector<std::string> frames) {  // then a TPE1 frame
    frames.push_back(frame("TPE1", latin1_body("Next")));
    return id3v2_tag(frames);
  };
  const std::string kept = t(latin1_body("Kept"));
  const struct {
    std::string image;
    Text title, artist = "Next";
  } cases[] = {
      {titles({t(latin1_body("A")), t(latin1_body("B\0Junk"s, true))}), "B"},  // the last one wins
      {titles({t(latin1_body("A")), t(latin1_body(""))}), ""},  // even when its text is empty
      {titles({t(latin1_body("A")), t("\x02\xFE\xFF\0A\0\0"s), t("\x03UTF-8\0"s)}), "A"},
      {titles({t(utf16_body(u"Hi", false))}), "Hi"},
      {titles({t(utf16_body(u"Hi", true))}), "Hi"},
      {titles({t("\x01\0\0H\0i\0"s)}), "Hi"},                      // neither mark: little-endian
      {titles({t(utf16_body(u"Hi", false, false) + "X")}), "Hi"},  // odd size: last byte dropped
      {titles({t("\x01"s)}), ""},  // too short for their fixed parts
      {titles({t("\x01\xFF\xFEZ"s)}), ""},
      // a status flag, a format flag, another identifier (beyond the head), ids are exact
      {titles({t(latin1_body("Old")), frame("TIT2", latin1_body("Flagged"), 0x40, 0),
               frame("TIT2", latin1_body("Zip"), 0, 0x80), frame("APIC", std::string(70000, 'P')),
               frame("tit2", latin1_body("Lower"))}),
       "Old"},
      // a frame hidden behind the padding, inside the tag size
      {id3v2_tag({kept, std::string(10, '\0') + frame("TPE1", latin1_body("Hidden"))}), "Kept", {}},
      {id3v2_tag({kept}) + frame("TPE1", latin1_body("Audio")), "Kept", {}},  // no padding
      {id3v2_header(0x0FFFFFFF) + kept, "Kept", {}},  // tag size beyond the file
      {id3v2_tag({kept, frame("TPE1", latin1_body("x"), 0, 0, 0xFFFFFFFF)}), "Kept", {}},
      {id3v2_tag({kept, frame("APIC", "x", 0, 0, 0xFFFFFFFF)}), "Kept", {}},
      {id3v2_tag({kept, frame("TPE1", latin1_body("x"), 0, 0, 3)}), "Kept", {}},  // one byte beyond
      // the TPE1 frame's header ends inside the tag, its body after it
      {id3v2_header(kept.size() + 12) + kept + frame("TPE1", latin1_body("Long")), "Kept", "Long"},
#ifndef _WIN32  // the program's 8-bit text is UTF-8 on POSIX systems
      {titles({t(utf16_body(u"\U0001F3B5", true))}), "\U0001F3B5"},  // a surrogate pair, big-endian
      {titles({t(latin1_body("Caf\xE9"))}), "Caf\u00E9"},            // ISO-8859-1
#endif
  };
  for (const auto& c : cases) {
    const Read r = read(c.image);
    EXPECT_EQ(std::tuple(r.ok, r.tag.title, r.tag.artist), std::tuple(true, c.title, c.artist))
        << testing::PrintToString(c.image.substr(0, 80));
  }
}

TEST(Id3v2Reader, CommentFrameGivesTheCommentOfTheUndescribedFrame) {
  const std::string comment = frame("COMM", latin1_comment_body("", "Plain"));
  const std::pair<std::string, Text> cases[] = {
      // a COMM body after `comment`, the comment
      {latin1_comment_body("iTunNORM", " 0000"), "Plain"},  // described: passed over
      {"\1eng"s + utf16_string(u"") + utf16_string(u"Wide"), "Wide"},
      {"\1eng\xFF\xFE\0\0\xFE\xFF\0B\0E"s, "BE"},  // empty description, big-endian text
      {"\1eng\0\0\xFF\xFEO\0K\0"s, "OK"},          // empty description as a bare zero unit
      {"\1eng"s + utf16_string(u"ID") + utf16_string(u"x"), "Plain"},
      {"\0engNoEnd"s, "Plain"},  // described, without an end
      {"\1eng\xFF\xFEN\0"s, "Plain"},
      {"\0eng"s, ""},          // empty description, without an end
      {"\0en"s, ""},           // too short for the language
      {"\3eng\0x"s, "Plain"},  // encoding 3
  };
  for (const auto& [body, expected] : cases) {
    const Read r = read(id3v2_tag({comment, frame("COMM", body), frame("TIT2", latin1_body("Z"))}));
    EXPECT_EQ(r.tag.comment, expected) << testing::PrintToString(body);
    EXPECT_EQ(r.tag.title, "Z") << testing::PrintToString(body);
  }
}

#ifndef _WIN32
TEST(Id3v2Reader, TextsAreKeptAsFarAsANameCanUseEvenFromA4GiBFrameInASparseFile) {
  const std::string longest_name(1023, 'n');
  const platform::FilePtr file =
      memory_file(id3v2_header(0x0FFFFFFF) + frame("TIT2", latin1_body(longest_name)) +
                  frame("TPE1", utf16_body(std::u16string(10000, u'a')), 0, 0, 0xFFFFFFF0));
  ASSERT_EQ(ftruncate(fileno(file.get()), (off_t{1} << 32) + 4096), 0);  // all holes
  TagV2 tag;
  ASSERT_TRUE(read_tag_v2(tag, file.get()));
  EXPECT_EQ(tag.title, longest_name);
  const std::size_t kept = tag.artist.value_or("").size();
  EXPECT_TRUE(kept >= kTagTextReach && kept <= 8192) << kept;
}
#endif

TEST(Id3v2Reader, ReadsTheSixFramesAndACutTagNeverInventsText) {
  const std::string full = id3v2_tag(
      {frame("TIT2", utf16_body(u"Title")), frame("TPE1", latin1_body("Artist")),
       frame("TALB", latin1_body("Album")), frame("TYER", latin1_body("1999")),
       frame("COMM", latin1_comment_body("", "Comment")), frame("TRCK", latin1_body("12"))},
      10);
  const auto fields = {&TagV2::title, &TagV2::artist,  &TagV2::album,
                       &TagV2::year,  &TagV2::comment, &TagV2::track};
  const Read whole = read(full);
  EXPECT_EQ(std::vector<Text>({whole.tag.title, whole.tag.artist, whole.tag.album, whole.tag.year,
                               whole.tag.comment, whole.tag.track}),
            std::vector<Text>({"Title", "Artist", "Album", "1999", "Comment", "12"}));
  for (std::size_t length = full.size(); length >= 1; --length) {
    const Read r = read(full.substr(0, length));
    EXPECT_EQ(r.ok, length >= 4) << length;
    for (auto field : fields) EXPECT_TRUE(!(r.tag.*field) || r.tag.*field == whole.tag.*field);
  }
}

}  // namespace
}  // namespace kestrune
