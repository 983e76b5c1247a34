#include "tags/id3v1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/tag_builder.h"

namespace kestrune {
namespace {

// Reads `image` through a stream into `tag`; the byte form agrees, with the
// trailer in the tail or in a head that holds the whole file.
bool read(const std::string& image, TagV1& tag) {
  const platform::FilePtr file = test::memory_file(image);
  std::memset(&tag, 0x5A, sizeof tag);  // stale bytes must not survive
  const bool ok = read_tag_v1(tag, file.get());
  for (const std::size_t head : {std::size_t{0}, image.size()}) {
    MemoryBytes bytes(image, head);
    TagV1 v1;
    EXPECT_TRUE(read_tag_v1(v1, bytes.bytes()) == ok && std::memcmp(&v1, &tag, sizeof tag) == 0);
  }
  return ok;
}

TEST(Id3v1Reader, CopiesTheLast125BytesUntouchedAloneOrBehindAnId3v2TagAndAudio) {
  const std::string trailer = test::id3v1_trailer({.title = std::string(30, 'T'),  // fills it
                                                   .artist = "Artist  ",  // trailing blanks kept
                                                   .comment = "note",
                                                   .track = 7,
                                                   .genre = 17});
  for (const std::string& before : {std::string(), "ID3\x03" + std::string(300, '\xFF')}) {
    TagV1 tag;
    ASSERT_TRUE(read(before + trailer, tag)) << before.size();
    EXPECT_EQ(std::memcmp(&tag, trailer.data() + 3, sizeof tag), 0) << before.size();
    EXPECT_EQ(std::tuple(tag.track(), tag.track_marker(), tag.genre), std::tuple(7, 0, 17));
  }
}

TEST(Id3v1Reader, WrongMagicOrTrailerCutAtAnyLengthIsRejectedAndLeavesTheBlockZero) {
  const std::string good = test::id3v1_trailer({.title = "Title", .track = 3});
  std::vector<std::string> images = {"tag" + good.substr(3), "TaG" + good.substr(3),
                                     good + "x",  // magic one byte early
                                     std::string(4096, '\0'), ""};
  for (std::size_t length = good.size() - 1; length >= 1; --length) {
    images.push_back(good.substr(0, length));
  }
  const TagV1 zero{};
  for (const std::string& image : images) {
    TagV1 tag;
    EXPECT_FALSE(read(image, tag)) << testing::PrintToString(image);
    EXPECT_EQ(std::memcmp(&tag, &zero, sizeof tag), 0) << testing::PrintToString(image);
  }
}

}  // namespace
}  // namespace kestrune
