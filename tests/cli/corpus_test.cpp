#include "corpus/corpus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/tag_builder.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace kestrune {
namespace {

// The readers find every text the generator promises, whatever mix of
// encodings, picture frame and trailer a file has, and an MPEG frame sync
// follows the tag.
TEST(Corpus, EveryKindOfFileReadsBackItsTexts) {
  for (std::size_t index = 0; index < 12; ++index) {
    SCOPED_TRACE(index);
    const std::string bytes = corpus::make_mp3(index);
    EXPECT_EQ(bytes.size() > 64 * 1024, index % 4 == 3);

    auto file = test::memory_file(bytes);
    TagV2 tag;
    ASSERT_TRUE(read_tag_v2(tag, file.get()));
    EXPECT_EQ(tag.title, corpus::title_of(index));
    EXPECT_EQ(tag.artist, corpus::artist_of(index));
    EXPECT_EQ(tag.album, "Album " + std::to_string(index / 12));
    EXPECT_EQ(tag.year, std::to_string(1970 + index % 50));
    EXPECT_EQ(tag.track, std::to_string(index % 12 + 1) + "/12");
    EXPECT_EQ(tag.comment, "Corpus file " + std::to_string(index));

    const std::size_t tag_end = 10 + tag.size;
    ASSERT_LT(tag_end + 1, bytes.size());
    EXPECT_EQ(static_cast<unsigned char>(bytes[tag_end]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[tag_end + 1]) & 0xE0, 0xE0);
    free_tag_v2(tag);

    TagV1 trailer;
    EXPECT_EQ(read_tag_v1(trailer, file.get()), index % 2 == 1);
    if (index % 2 == 1) {
      EXPECT_EQ(std::string(trailer.title, strnlen(trailer.title, 30)), corpus::title_of(index));
      EXPECT_EQ(trailer.track_marker(), 0);
      EXPECT_EQ(trailer.track(), index % 12 + 1);
    }
  }
  EXPECT_EQ(corpus::file_name(1234567), "track_1234567.mp3");
}

}  // namespace
}  // namespace kestrune
