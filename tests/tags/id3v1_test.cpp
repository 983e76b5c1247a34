#include "tags/id3v1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/tag_builder.h"

namespace kestrune {
namespace {

using test::id3v1_trailer;
using test::memory_file;

bool read(const std::string& image, TagV1& tag) {
  const platform::FilePtr file = memory_file(image);
  EXPECT_NE(file, nullptr);
  std::memset(&tag, 0x5A, sizeof tag);  // stale bytes must not survive
  return read_tag_v1(tag, file.get());
}

bool all_zero(const TagV1& tag) {
  const TagV1 zero{};
  return std::memcmp(&tag, &zero, sizeof tag) == 0;
}

TEST(Id3v1Reader, CopiesTheLast125BytesUntouchedBehindAnId3v2TagAndAudio) {
  std::string trailer = id3v1_trailer({.title = std::string(30, 'T'),  // fills the field
                                       .artist = "Artist  ",           // trailing blanks kept
                                       .year = "1999",
                                       .comment = "note",
                                       .track = 7,
                                       .genre = 17});
  const std::string image = "ID3\x03" + std::string(300, '\xFF') + trailer;
  TagV1 tag;
  ASSERT_TRUE(read(image, tag));
  EXPECT_EQ(std::memcmp(&tag, trailer.data() + 3, sizeof tag), 0);
  EXPECT_EQ(std::string(tag.artist, 8), "Artist  ");  // the title did not spill over
  EXPECT_EQ(tag.track(), 7);
  EXPECT_EQ(tag.track_marker(), 0);
  EXPECT_EQ(tag.genre, 17);
}

TEST(Id3v1Reader, ReadsAFileThatIsOnlyTheTrailer) {
  TagV1 tag;
  ASSERT_TRUE(read(id3v1_trailer({.title = "Only"}), tag));
  EXPECT_EQ(std::string(tag.title, 4), "Only");
}

TEST(Id3v1Reader, RejectsWrongMagicAndLeavesTheBlockZero) {
  const std::string good = id3v1_trailer({.title = "Title"});
  const struct {
    const char* what;
    std::string image;
  } cases[] = {
      {"lower case", "tag" + good.substr(3)},
      {"mixed case", "TaG" + good.substr(3)},
      {"magic one byte early", good + "x"},
      {"no trailer", std::string(4096, '\0')},
      {"empty file", ""},
  };
  for (const auto& c : cases) {
    TagV1 tag;
    EXPECT_FALSE(read(c.image, tag)) << c.what;
    EXPECT_TRUE(all_zero(tag)) << c.what;
  }
}

TEST(Id3v1Reader, TrailerCutAtEveryLengthIsRejectedWithoutCrash) {
  const std::string full = id3v1_trailer({.title = "Title", .track = 3});
  for (std::size_t length = full.size() - 1; length >= 1; --length) {
    TagV1 tag;
    EXPECT_FALSE(read(full.substr(0, length), tag)) << length;
    EXPECT_TRUE(all_zero(tag)) << length;
    EXPECT_EQ(tag.track(), 0) << length;
  }
}

}  // namespace
}  // namespace kestrune
