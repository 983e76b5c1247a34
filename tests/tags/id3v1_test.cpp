#include "tags/id3v1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/tag_builder.h"

namespace kestrune {
namespace {

using test::id3v1_trailer;

bool read(const std::string& image, TagV1& tag) {
  const platform::FilePtr file = test::memory_file(image);
  EXPECT_NE(file, nullptr);
  std::memset(&tag, 0x5A, sizeof tag);  // stale bytes must not survive
  const bool ok = read_tag_v1(tag, file.get());
  // The byte form agrees, with the trailer in the tail or in a whole-file head.
  for (const std::size_t head : {std::size_t{0}, image.size()}) {
    test::ImageBytes bytes(image, head);
    TagV1 from_bytes;
    EXPECT_EQ(read_tag_v1(from_bytes, bytes.bytes()), ok) << head;
    EXPECT_EQ(std::memcmp(&from_bytes, &tag, sizeof tag), 0) << head;
  }
  return ok;
}

bool all_zero(const TagV1& tag) {
  const TagV1 zero{};
  return std::memcmp(&tag, &zero, sizeof tag) == 0;
}

TEST(Id3v1Reader, CopiesTheLast125BytesUntouchedAloneOrBehindAnId3v2TagAndAudio) {
  const std::string trailer = id3v1_trailer({.title = std::string(30, 'T'),  // fills the field
                                             .artist = "Artist  ",  // trailing blanks kept
                                             .comment = "note",
                                             .track = 7,
                                             .genre = 17});
  for (const std::string& before : {std::string(), "ID3\x03" + std::string(300, '\xFF')}) {
    TagV1 tag;
    ASSERT_TRUE(read(before + trailer, tag)) << before.size();
    EXPECT_EQ(std::memcmp(&tag, trailer.data() + 3, sizeof tag), 0) << before.size();
    EXPECT_EQ(tag.track(), 7);
    EXPECT_EQ(tag.track_marker(), 0);
    EXPECT_EQ(tag.genre, 17);
  }
}

TEST(Id3v1Reader, WrongMagicOrTrailerCutAtAnyLengthIsRejectedAndLeavesTheBlockZero) {
  const std::string good = id3v1_trailer({.title = "Title", .track = 3});
  std::vector<std::string> images = {"tag" + good.substr(3), "TaG" + good.substr(3),
                                     good + "x",  // magic one byte early
                                     std::string(4096, '\0'), ""};
  for (std::size_t length = good.size() - 1; length >= 1; --length) {
    images.push_back(good.substr(0, length));
  }
  for (const std::string& image : images) {
    TagV1 tag;
    EXPECT_FALSE(read(image, tag)) << testing::PrintToString(image);
    EXPECT_TRUE(all_zero(tag)) << testing::PrintToString(image);
  }
}

}  // namespace
}  // namespace kestrune
