#include "tags/id3v2.h"

#include <gtest/gtest.h>

#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif
#include <vector>

#include "support/tag_builder.h"

namespace kestrune {
namespace {

using namespace std::string_literals;
using test::frame;
using test::id3v2_header;
using test::id3v2_tag;
using test::latin1_body;
using test::latin1_comment_body;
using test::utf16_body;
using test::utf16_string;

using Text = std::optional<std::string>;

struct Read {
  bool ok;
  TagV2 tag;
};

Read read(const std::string& image) {
  const platform::FilePtr file = test::memory_file(image);
  EXPECT_NE(file, nullptr);
  Read r{false, {}};
  r.tag.title = "stale";  // the reader clears the record first
  r.ok = read_tag_v2(r.tag, file.get());
  // The byte form agrees, with the tag in the head or fetched bit by bit.
  for (const std::size_t head : {std::size_t{0}, std::size_t{11}, image.size()}) {
    test::ImageBytes bytes(image, head);
    TagV2 tag;
    EXPECT_EQ(read_tag_v2(tag, bytes.bytes()), r.ok) << head;
    EXPECT_TRUE(tag == r.tag) << head;
  }
  return r;
}

TEST(Id3v2Reader, AcceptsOnlyAPlainVersion3Header) {
  const struct {
    std::string image;
    bool ok;
    std::uint8_t version, flags;
    std::uint32_t size;
  } cases[] = {
      {"id3\x03\0\0\0\0\0\0"s, false, 0, 0, 0},           // magic is case-sensitive
      {id3v2_header(257), true, 3, 0, 257},               // size: 00 00 02 01
      {"ID3\x03\0\0\x80\x80\x82\x81"s, true, 3, 0, 257},  // bit 7 of size bytes ignored
      {id3v2_header(0, 3, 0xFF), true, 3, 0, 0},          // any revision
      {id3v2_header(99, 3, 0, 0x80), false, 3, 0x80, 0},  // unsynchronisation: size not read
      {id3v2_header(99, 3, 0, 0x40), false, 3, 0x40, 0},  // extended header
      {id3v2_header(99, 4), false, 4, 0, 99},             // ID3v2.4
      {id3v2_header(99, 2), false, 2, 0, 99},             // ID3v2.2
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.image));
    const Read r = read(c.image);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.tag.version, c.version);
    EXPECT_EQ(r.tag.flags, c.flags);
    EXPECT_EQ(r.tag.size, c.size);
    EXPECT_FALSE(r.tag.title);
  }
}

TEST(Id3v2Reader, ReadsTheSixFramesInBothEncodings) {
  const Read r = read(id3v2_tag(
      {frame("TIT2", latin1_body("Title\0Junk"s, true)), frame("TPE1", utf16_body(u"Artist")),
       frame("TALB", latin1_body("Album")), frame("TYER", latin1_body("1999")),
       frame("COMM", latin1_comment_body("", "Nice")), frame("TRCK", utf16_body(u"3/12"))},
      10));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.tag.title, "Title");
  EXPECT_EQ(r.tag.artist, "Artist");
  EXPECT_EQ(r.tag.album, "Album");
  EXPECT_EQ(r.tag.year, "1999");
  EXPECT_EQ(r.tag.comment, "Nice");
  EXPECT_EQ(r.tag.track, "3/12");
}

TEST(Id3v2Reader, SkipsFrameWithFlagsAndReadsTheNextInPlace) {
  const Read r = read(id3v2_tag({frame("TIT2", latin1_body("Old")),
                                 frame("TIT2", latin1_body("Flagged"), 0x40, 0),  // status flag
                                 frame("TPE1", latin1_body("Flagged"), 0, 0x80),  // compressed
                                 frame("APIC", std::string(70000, 'P')),  // other identifier
                                 frame("tit2", latin1_body("Lower")),     // ids are exact
                                 frame("TALB", latin1_body("Album"))}));
  EXPECT_EQ(r.tag.title, "Old");
  EXPECT_FALSE(r.tag.artist);
  EXPECT_EQ(r.tag.album, "Album");
}

TEST(Id3v2Reader, WalkEndsAtPaddingAndAtTheEndOfTheTag) {
  // A frame hidden behind the padding, inside the tag size.
  const std::string padded =
      id3v2_tag({frame("TIT2", latin1_body("T")),
                 std::string(10, '\0') + frame("TPE1", latin1_body("Hidden"))});
  EXPECT_FALSE(read(padded).tag.artist);
  // A frame right behind a tag without padding belongs to the audio.
  const std::string tight =
      id3v2_tag({frame("TIT2", latin1_body("T"))}) + frame("TPE1", latin1_body("Audio"));
  EXPECT_EQ(read(tight).tag.title, "T");
  EXPECT_FALSE(read(tight).tag.artist);
}

TEST(Id3v2Reader, TitleFramesOfEveryEncodingAndTheNextFrameReadInPlace) {
  const struct {
    std::vector<std::string> bodies;  // of TIT2 frames, followed by a TPE1 frame
    Text expected;
  } cases[] = {
      {{latin1_body("A"), latin1_body("B")}, "B"},  // the last frame wins
      {{latin1_body("A"), latin1_body("")}, ""},    // even when its text is empty
      {{latin1_body("A"), "\x02\xFE\xFF\0A\0\0"s}, "A"},  // encodings 2 and 3: passed over
      {{latin1_body("A"), "\x03UTF-8\0"s}, "A"},
      {{utf16_body(u"Hi", false)}, "Hi"},
      {{utf16_body(u"Hi", true)}, "Hi"},
      {{"\x01\0\0H\0i\0"s}, "Hi"},                        // neither mark: little-endian
      {{utf16_body(u"Hi", false, false) + "X"}, "Hi"},  // size 8: the odd byte is dropped
      // Too short for their fixed parts.
      {{"\0"s}, ""},
      {{"\x01"s}, ""},
      {{"\x01\xFF"s}, ""},
      {{"\x01\xFF\xFE"s}, ""},
      {{"\x01\xFF\xFEZ"s}, ""},
  // The program's 8-bit text is UTF-8 on POSIX systems (the conversions are
  // tested with each platform layer).
#ifndef _WIN32
      {{utf16_body(u"Caf\u00E9", true)}, "Caf\u00E9"},
      {{utf16_body(u"\U0001F3B5", true)}, "\U0001F3B5"},  // a surrogate pair, big-endian
      {{latin1_body("Caf\xE9")}, "Caf\u00E9"},           // ISO-8859-1
#endif
  };
  for (const auto& c : cases) {
    std::vector<std::string> frames;
    for (const std::string& body : c.bodies) frames.push_back(frame("TIT2", body));
    frames.push_back(frame("TPE1", latin1_body("Next")));
    const Read r = read(id3v2_tag(frames));
    EXPECT_EQ(r.tag.title, c.expected) << testing::PrintToString(c.bodies.back());
    EXPECT_EQ(r.tag.artist, "Next") << testing::PrintToString(c.bodies.back());
  }
}

TEST(Id3v2Reader, CommentFrameGivesTheCommentOfTheUndescribedFrame) {
  const std::string comment = frame("COMM", latin1_comment_body("", "Plain"));
  const struct {
    const char* what;
    std::string later;  // a second COMM frame after `comment`
    Text expected;
  } cases[] = {
      {"described frame passed over", frame("COMM", latin1_comment_body("iTunNORM", " 0000")),
       "Plain"},
      {"later undescribed wins", frame("COMM", latin1_comment_body("", "Later", "deu")), "Later"},
      {"UTF-16 with its own marks", frame("COMM", "\1eng"s + utf16_string(u"") + utf16_string(u"Wide")), "Wide"},
      // encoding 1, "eng", empty description FF FE 00 00, big-endian text "BE"
      {"UTF-16 big-endian text", frame("COMM", "\1eng\xFF\xFE\0\0\xFE\xFF\0B\0E"s), "BE"},
      // encoding 1, "eng", empty description as a bare zero unit, text "OK"
      {"UTF-16 bare empty description", frame("COMM", "\1eng\0\0\xFF\xFEO\0K\0"s), "OK"},
      {"UTF-16 described passed over", frame("COMM", "\1eng"s + utf16_string(u"ID") + utf16_string(u"x")), "Plain"},
      {"described, unterminated", frame("COMM", "\0engNoEnd"s), "Plain"},
      {"UTF-16 described, unterminated", frame("COMM", "\1eng\xFF\xFEN\0"s), "Plain"},
      {"empty description, unterminated", frame("COMM", "\0eng"s), ""},
      {"too short for the language", frame("COMM", "\0en"s), ""},
      {"encoding 3 passed over", frame("COMM", "\3eng\0x"s), "Plain"},
  };
  for (const auto& c : cases) {
    const Read r = read(id3v2_tag({comment, c.later, frame("TIT2", latin1_body("After"))}));
    EXPECT_EQ(r.tag.comment, c.expected) << c.what;
    EXPECT_EQ(r.tag.title, "After") << c.what;
  }
}

TEST(Id3v2Reader, HostileSizesEndTheWalkAndKeepEarlierTexts) {
  const std::string first = frame("TIT2", latin1_body("Kept"));
  const struct {
    const char* what;
    std::string image;
    Text artist{};
  } cases[] = {
      // tag size: 0x0FFFFFFF, far beyond the file
      {"tag size beyond file", id3v2_header(0x0FFFFFFF) + first},
      // frame size: 0xFFFFFFFF, must not allocate 4 GiB
      {"frame size 0xFFFFFFFF",
       id3v2_tag({first, frame("TPE1", latin1_body("x"), 0, 0, 0xFFFFFFFF)})},
      {"frame size 0xFFFFFFFF skipped id",
       id3v2_tag({first, frame("APIC", "x", 0, 0, 0xFFFFFFFF)})},
      // frame size: one byte more than the file holds
      {"frame size beyond file", id3v2_tag({first, frame("TPE1", latin1_body("x"), 0, 0, 3)})},
      // tag size: the TPE1 frame's header ends inside the tag, its body after it
      {"frame past the tag inside the file",
       id3v2_header(first.size() + 12) + first + frame("TPE1", latin1_body("Long")) + "audio",
       "Long"},
  };
  for (const auto& c : cases) {
    const Read r = read(c.image);
    EXPECT_TRUE(r.ok) << c.what;
    EXPECT_EQ(r.tag.title, "Kept") << c.what;
    EXPECT_EQ(r.tag.artist, c.artist) << c.what;
  }
}

#ifndef _WIN32
TEST(Id3v2Reader, TextsAreKeptAsFarAsANameCanUseEvenFromA4GiBFrameInASparseFile) {
  const std::string longest_name(1023, 'n');
  const platform::FilePtr file = test::memory_file(
      id3v2_header(0x0FFFFFFF) + frame("TIT2", latin1_body(longest_name)) +
      frame("TPE1", utf16_body(std::u16string(10000, u'a')), 0, 0, 0xFFFFFFF0));
  ASSERT_EQ(ftruncate(fileno(file.get()), (off_t{1} << 32) + 4096), 0);  // all holes
  TagV2 tag;
  ASSERT_TRUE(read_tag_v2(tag, file.get()));
  EXPECT_EQ(tag.title, longest_name);
  EXPECT_GE(tag.artist.value_or("").size(), kTagTextReach);
  EXPECT_LE(tag.artist.value_or("").size(), 8192u);
}
#endif

TEST(Id3v2Reader, TagCutAtEveryLengthNeverInventsText) {
  const std::string full = id3v2_tag({frame("TIT2", utf16_body(u"Title")),
                                      frame("COMM", latin1_comment_body("", "Comment")),
                                      frame("TRCK", latin1_body("12"))});
  const Read whole = read(full);
  for (std::size_t length = full.size(); length >= 1; --length) {
    const Read r = read(full.substr(0, length));
    EXPECT_EQ(r.ok, length >= 4) << length;
    for (auto field : {&TagV2::title, &TagV2::artist, &TagV2::album, &TagV2::year, &TagV2::comment,
                       &TagV2::track}) {
      if (r.tag.*field) {
        EXPECT_EQ(r.tag.*field, whole.tag.*field) << length;
      }
    }
  }
}

}  // namespace
}  // namespace kestrune
