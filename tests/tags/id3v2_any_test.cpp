#include "tags/id3v2_any.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/tag_builder.h"
#include "support/temp_folder.h"
#include "tags/read_tags.h"

namespace kestrune {
namespace {

using namespace std::string_literals;
using test::frame;
using test::id3v2_tag;
using test::latin1_body;
using Text = std::optional<std::string>;

TEST(AnyId3v2Reader, ReadsWhatDebiansTaggersWriteAndPlainId3v23AsTheId3v23Reader) {
  const test::TempFolder folder;
  const auto script = std::filesystem::path(__FILE__).parent_path() / "../support/make_tagged_library.py";
  if (std::system((script.string() + " " + folder.path().string()).c_str()) != 0) {
    GTEST_SKIP() << "no tagged library: install python3-mutagen, eyed3 and id3v2";
  }
  const std::string wide = "Caf\u00E9 \u2615", narrow = "Caf\u00E9";
  const struct {
    const char* file;
    Id3v2Kind kind;
    std::string title;
    const char* track = "3/12";
  } cases[] = {
      {"mutagen-v23-enc0.mp3", Id3v2Kind::kId3v23, narrow},
      {"mutagen-v23-enc1.mp3", Id3v2Kind::kId3v23, wide},
      {"mutagen-v24-enc0.mp3", Id3v2Kind::kId3v24, narrow},
      {"mutagen-v24-enc1.mp3", Id3v2Kind::kId3v24, wide},
      {"mutagen-v24-enc2.mp3", Id3v2Kind::kId3v24, wide},
      {"mutagen-v24-enc3.mp3", Id3v2Kind::kId3v24, wide},
      {"built-v22.mp3", Id3v2Kind::kId3v22, wide},
      {"built-v23-unsync-extended.mp3", Id3v2Kind::kId3v23Unsynchronised, wide},
      {"built-v24-unsync-dli-extended.mp3", Id3v2Kind::kId3v24, wide},
      {"built-v24-tag-unsync.mp3", Id3v2Kind::kId3v24, wide},
      {"eyed3-v2.3.mp3", Id3v2Kind::kId3v23, wide, "03/12"},
      {"eyed3-v2.4.mp3", Id3v2Kind::kId3v24, wide, "03/12"},
      {"id3v2.mp3", Id3v2Kind::kId3v23, narrow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    // A short head, so that most frames come through read_at.
    test::ImageBytes bytes(test::read_bytes(folder.path() / c.file), 64);
    TagV1 v1;
    TagV2 any, v23;
    const TagsFound found = read_tags(v1, any, bytes.bytes(), Id3v2Reader::kAnyId3v2);
    EXPECT_TRUE(found.v2);
    EXPECT_EQ(found.v2_kind, c.kind);
    EXPECT_EQ(any.title, c.title);
    EXPECT_EQ(any.artist, "Artist");  // the first of "Artist", "Other"
    EXPECT_EQ(any.album, "Album");
    EXPECT_EQ(any.year, "2004");
    EXPECT_EQ(any.track, c.track);
    EXPECT_EQ(any.comment, "Note");
    EXPECT_EQ(read_tag_v2(v23, bytes.bytes()), c.kind == Id3v2Kind::kId3v23);
    EXPECT_TRUE(c.kind != Id3v2Kind::kId3v23 || v23 == any);
  }
}

// The library above holds the other layouts (unsynchronisation, extended
// headers, ID3v2.4 frame flags, sizes over 127, TDRC and TYER).
TEST(AnyId3v2Reader, ProbesWhatBeginsTheFileAndTakesBadUtf8AsReplacementCharacters) {
  using K = Id3v2Kind;
  const std::string t = frame("TIT2", latin1_body("T"));
  const struct {
    std::string image;
    K kind;
    bool ok;
    Text title{};
  } cases[] = {
      {"MP3"s, K::kNone, false},
      {id3v2_tag({t}, 0, 5), K::kOtherVersion, false},
      {id3v2_tag({"TT2\0\0\2\0X"s}, 0, 2, 0x40), K::kId3v22, false},  // compressed
      // extended header: size 6 (flags and padding size), then the frames
      {id3v2_tag({"\0\0\0\6"s + std::string(6, '\0'), t}, 0, 3, 0x40), K::kId3v23OtherFlags, true, "T"},
#ifndef _WIN32  // the program's 8-bit text is UTF-8 on POSIX systems
      {id3v2_tag({frame("TIT2", "\x03\xE9t\xC3\xA9\0B"s)}, 0, 4), K::kId3v24, true, "\uFFFDt\u00E9"},
#endif
  };
  for (const auto& c : cases) {
    test::ImageBytes bytes(c.image, c.image.size());
    TagV1 v1;
    TagV2 tag;
    const TagsFound found = read_tags(v1, tag, bytes.bytes(), Id3v2Reader::kAnyId3v2);
    EXPECT_EQ(found.v2_kind, c.kind) << testing::PrintToString(c.image);
    EXPECT_EQ(found.v2, c.ok) << testing::PrintToString(c.image);
    EXPECT_EQ(tag.title, c.title) << testing::PrintToString(c.image);
  }
}

}  // namespace
}  // namespace kestrune
