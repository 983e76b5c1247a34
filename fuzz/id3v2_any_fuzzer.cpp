// Reads an MP3 image with read_tag_v2_any, from a head that holds it all,
// from a short head with the rest fetched on demand and as the start of a
// sparse file, and checks its promises against the ID3v2.3 reader and the
// probe.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz_input.h"
#include "tags/frame_reading.h"
#include "tags/read_tags.h"

namespace {

using namespace kestrune;

bool texts_bounded(const TagV2& tag) {
  // A UTF-8 character takes at most 3 bytes per UTF-16 unit kept.
  for (auto field : {&TagV2::title, &TagV2::artist, &TagV2::album, &TagV2::year, &TagV2::comment,
                     &TagV2::track}) {
    if ((tag.*field).value_or("").size() > 3 * tags::kKeptBody) return false;
  }
  return true;
}

// Whether the image holds, anywhere, what could be an empty frame: a frame
// identifier and a zero size. read_tag_v2 stops at one, read_tag_v2_any
// passes it over, so their records may then differ.
bool may_hold_empty_frame(std::string_view image) {
  const auto id_char = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
  for (std::size_t i = 0; i + 8 <= image.size(); ++i) {
    if (std::all_of(image.begin() + i, image.begin() + i + 4, id_char) &&
        image.substr(i + 4, 4) == std::string_view("\0\0\0\0", 4)) {
      return true;
    }
  }
  return false;
}

// The image as the start of a sparse file: 4 GiB of holes (zero bytes)
// follow it, as a file truncated to a larger size has them. Sizes in the tag
// that the image cannot supply are then all there to be walked.
class SparseBytes final : public MoreBytes {
 public:
  static constexpr std::uint64_t kHoles = std::uint64_t{1} << 32;
  explicit SparseBytes(std::string_view image) : image_(image) {}
  std::size_t read_at(std::uint64_t offset, char* out, std::size_t count) override {
    if (offset >= size()) return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size() - offset));
    const std::size_t copied =
        offset < image_.size() ? image_.copy(out, count, static_cast<std::size_t>(offset)) : 0;
    std::memset(out + copied, 0, count - copied);
    return count;
  }
  std::uint64_t size() const { return image_.size() + kHoles; }
  TagBytes bytes() { return {image_.substr(0, 64), {}, size(), this}; }

 private:
  std::string_view image_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the image's bytes, for the sanitizers.
  std::vector<char> image(data, data + size);
  const std::string_view file(image.data(), image.size());
  MemoryBytes whole_head(file, size), short_head(file, size == 0 ? 0 : data[0] % 64);
  const TagBytes whole = whole_head.bytes(), fetched = short_head.bytes();

  TagV1 tag_v1;
  TagV2 any, any_fetched, v23;
  const TagsFound found = read_tags(tag_v1, any, whole, Id3v2Reader::kAnyId3v2);
  fuzz::require(read_tag_v2_any(any_fetched, fetched) == found.v2 && any_fetched == any);
  fuzz::require(texts_bounded(any));
  // A tag the ID3v2.3 reader reads is read the same, unless an empty frame
  // ends its walk, or but for the year where a TDRC frame gives it (the
  // ID3v2.3 reader knows TYER alone); the probe says which.
  const bool plain = read_tag_v2(v23, whole);
  fuzz::require(plain == (found.v2_kind == Id3v2Kind::kId3v23));
  TagV2 compared = any;
  if (file.find("TDRC") != std::string_view::npos) compared.year = v23.year;
  fuzz::require(!plain || (found.v2 && (v23 == compared || may_hold_empty_frame(file))));
  fuzz::require(found.v2 || found.v2_kind == Id3v2Kind::kNone ||
                found.v2_kind == Id3v2Kind::kOtherVersion || found.v2_kind == Id3v2Kind::kId3v22);

  // Whatever the sizes in the tag say, the walk ends within what a name can
  // use, and its texts stay as bounded (the fuzzer's time and memory limits
  // watch this one).
  SparseBytes sparse(file);
  TagV2 any_sparse;
  fuzz::require(read_tag_v2_any(any_sparse, sparse.bytes()) == found.v2);
  fuzz::require(texts_bounded(any_sparse));

  free_tag_v2(any_sparse);
  free_tag_v2(any);
  free_tag_v2(any_fetched);
  free_tag_v2(v23);
  return 0;
}
