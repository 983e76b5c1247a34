#include "tags/id3v2_any.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "support/tag_builder.h"
#include "support/temp_folder.h"
#include "tags/read_tags.h"

namespace kestrune {
namespace {

using Text = std::optional<std::string>;
using K = Id3v2Kind;

using namespace std::string_literals;
using namespace test;

TagV2 read_any(const std::string& image) {
  MemoryBytes bytes(image, 16);  // frames through read_at
  TagV2 tag;
  EXPECT_TRUE(read_tag_v2_any(tag, bytes.bytes()));
  return tag;
}

// An empty frame with a frame's identifier (a TENC some taggers write first)
// is passed over in every version; zero size behind anything else is padding.
TEST(AnyId3v2Reader, PassesOverAnEmptyFrameAndStopsAtPadding) {
  const std::string title = frame("TIT2", latin1_body("After"));
  const std::string v22_title = "TT2\0\0\x06\0After"s;  // ID3v2.2: 3-byte identifier and size
  const auto v22 = [](const std::string& frames) {
    return id3v2_header(static_cast<std::uint32_t>(frames.size()), 2) + frames;
  };
  const std::pair<std::string, Text> cases[] = {
      {id3v2_tag({frame("TENC", ""), title}), "After"},
      {id3v2_tag({frame("TENC", ""), frame("TXX9", ""), title}, 0, 4), "After"},
      {id3v2_tag({frame("TENC", ""), title}, 0, 3, 0x80), "After"},  // unsynchronised
      {v22("TEN\0\0\0"s + v22_title), "After"},
      {id3v2_tag({frame("TIT2", latin1_body("Kept")), frame("TENC", "")}), "Kept"},  // last
      {id3v2_tag({frame("tenc", ""), title}), {}},
      {id3v2_tag({frame("TEN\0"s, ""), title}), {}},
      {id3v2_tag({frame("TE-C", ""), title}), {}},
      {id3v2_tag({std::string(10, '\0'), title}), {}},
      {v22("TE\0\0\0\0"s + v22_title), {}},
  };
  for (const auto& [image, expected] : cases) {
    EXPECT_EQ(read_any(image).title, expected) << testing::PrintToString(image.substr(0, 40));
  }
}

// The image as the start of a sparse file of `holes` zero bytes more,
// counting the bytes the reader fetches beyond the head.
class SparseBytes final : public MoreBytes {
 public:
  SparseBytes(std::string_view image, std::uint64_t holes) : image_(image), holes_(holes) {}
  std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) override {
    const std::uint64_t size = image_.size() + holes_;
    count = offset >= size ? 0
                           : static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
    const std::size_t copied =
        offset < image_.size() ? image_.copy(out, count, static_cast<std::size_t>(offset)) : 0;
    std::fill(out + copied, out + count, '\0');
    fetched += count;
    return count;
  }
  TagBytes bytes() { return {image_.substr(0, 16), {}, image_.size() + holes_, this}; }
  std::uint64_t fetched = 0;

 private:
  std::string_view image_;
  std::uint64_t holes_;
};

// Sizes that promise far more than a name can use cost a bounded number of
// bytes, however large the file: an unsynchronised tag with a 4 GiB
// extended header in a sparse file, and one of very many frames.
TEST(AnyId3v2Reader, HostileSizesCostBoundedBytesWhateverTheFileHolds) {
  const std::string title = frame("TIT2", latin1_body("First"));
  std::string many = id3v2_header(0x0FFFFFFF, 3, 0, 0x80) + title;
  for (int i = 0; i < 20000; ++i) many += frame("TXXX", "x");
  const std::tuple<std::string, std::uint64_t, Text> cases[] = {
      // ID3v2.3: unsynchronised, an extended header of 0xFFFFFFFF bytes
      {id3v2_header(0x0FFFFFFF, 3, 0, 0xC0) + "\xFF\xFF\xFF\xFF"s, std::uint64_t{1} << 32, {}},
      {many, 0, "First"},
  };
  for (const auto& [image, holes, expected] : cases) {
    SparseBytes sparse(image, holes);
    TagV2 tag;
    EXPECT_TRUE(read_tag_v2_any(tag, sparse.bytes()));
    EXPECT_EQ(tag.title, expected);
    EXPECT_LE(sparse.fetched, std::uint64_t{16} << 20) << image.substr(0, 10);
  }
}

#ifndef _WIN32
// Files written by mutagen, eyeD3 and id3v2 (and tags for layouts they never write) on POSIX
// systems, whose 8-bit text is UTF-8. The artist is the first of "Artist" and "Other".
TEST(AnyId3v2Reader, ReadsWhatDebiansTaggersWriteAndPlainId3v23AsTheId3v23Reader) {
  // Taken before the temporary folder becomes the current one: __FILE__ may
  // be relative to the build folder (ccache's base directory).
  const auto script = std::filesystem::absolute(std::filesystem::path(__FILE__).parent_path() /
                                                "../support/make_tagged_library.py");
  const test::TempFolder folder;
  if (std::system((script.string() + " " + folder.path().string()).c_str()) != 0) {
    GTEST_SKIP() << "no tagged library: install python3-mutagen, eyed3 and id3v2";
  }
  const std::string wide = "Caf\u00E9 \u97F3", narrow = "Caf\u00E9";
  const std::tuple<const char*, K, std::string, const char*> cases[] = {
      {"mutagen-v23-enc0.mp3", K::kId3v23, narrow, "3/12"},
      {"mutagen-v23-enc1.mp3", K::kId3v23, wide, "3/12"},
      {"mutagen-v24-enc0.mp3", K::kId3v24, narrow, "3/12"},
      {"mutagen-v24-enc1.mp3", K::kId3v24, wide, "3/12"},
      {"mutagen-v24-enc2.mp3", K::kId3v24, wide, "3/12"},
      {"mutagen-v24-enc3.mp3", K::kId3v24, wide, "3/12"},
      {"built-v22.mp3", K::kId3v22, wide, "3/12"},
      {"built-v23-unsync-extended.mp3", K::kId3v23Unsynchronised, wide, "3/12"},
      {"built-v24-unsync-dli-extended.mp3", K::kId3v24, wide, "3/12"},
      {"built-v24-tag-unsync.mp3", K::kId3v24, wide, "3/12"},
      {"built-v24-bad-utf8.mp3", K::kId3v24, "Caf\u00E9 \uFFFD\uFFFD\uFFFD", "3/12"},
      {"eyed3-v2.3.mp3", K::kId3v23, wide, "03/12"},
      {"eyed3-v2.4.mp3", K::kId3v24, wide, "03/12"},
      {"id3v2.mp3", K::kId3v23, narrow, "3/12"},
  };
  for (const auto& [file, kind, title, track] : cases) {
    const std::string image = test::read_bytes(folder.path() / file);
    MemoryBytes bytes(image, 64);  // most frames through read_at
    TagV1 v1;
    TagV2 any, v23;
    const TagsFound found = read_tags(v1, any, bytes.bytes(), Id3v2Reader::kAnyId3v2);
    EXPECT_TRUE(found.v2 && found.v2_kind == kind) << file;
    EXPECT_EQ(
        std::vector<Text>({any.title, any.artist, any.album, any.year, any.track, any.comment}),
        std::vector<Text>({title, "Artist", "Album", "2004", track, "Note"}))
        << file;
    EXPECT_EQ(read_tag_v2(v23, bytes.bytes()), kind == K::kId3v23) << file;
    EXPECT_TRUE(kind != K::kId3v23 || v23 == any) << file;
  }
}
#endif

}  // namespace
}  // namespace kestrune
