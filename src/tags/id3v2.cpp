#include "tags/id3v2.h"

#include <algorithm>
#include <cstring>

#include "tags/frame_reading.h"

namespace kestrune {

namespace {

using tags::kHeaderSize;
constexpr std::size_t kFrameHeaderSize = 10;

enum class BodyRule { kText, kComment };

struct FrameKind {
  char id[4];
  std::optional<std::string> TagV2::*field;
  BodyRule rule;
};

// In the order the identifiers are compared.
constexpr FrameKind kFrames[] = {
    {{'T', 'I', 'T', '2'}, &TagV2::title, BodyRule::kText},
    {{'T', 'R', 'C', 'K'}, &TagV2::track, BodyRule::kText},
    {{'T', 'P', 'E', '1'}, &TagV2::artist, BodyRule::kText},
    {{'T', 'A', 'L', 'B'}, &TagV2::album, BodyRule::kText},
    {{'T', 'Y', 'E', 'R'}, &TagV2::year, BodyRule::kText},
    {{'C', 'O', 'M', 'M'}, &TagV2::comment, BodyRule::kComment},
    {{'T', 'P', 'E', '2'}, &TagV2::album_artist, BodyRule::kText},
    {{'T', 'P', 'O', 'S'}, &TagV2::disc, BodyRule::kText},
    {{'T', 'C', 'O', 'N'}, &TagV2::genre, BodyRule::kText},
    {{'T', 'C', 'O', 'M'}, &TagV2::composer, BodyRule::kText},
};

const FrameKind* find_frame_kind(const unsigned char* id) {
  for (const FrameKind& kind : kFrames) {
    if (std::memcmp(kind.id, id, 4) == 0) return &kind;
  }
  return nullptr;
}

}  // namespace

bool read_tag_v2(TagV2& tag, const TagBytes& bytes) {
  tag = TagV2();
  tags::TagFile file(bytes);
  unsigned char header[tags::kHeaderSize];
  if (!tags::read_tag_header(file, header)) return false;
  tag.version = header[3];
  tag.revision = header[4];
  tag.flags = header[5];
  if (tag.flags != 0) return false;
  tag.size = tags::syncsafe_32(header + 6);
  if (tag.version != 3) return false;

  std::uint64_t p = 0;
  while (p < tag.size) {
    const auto frame_bytes = file.read(kHeaderSize + p, kFrameHeaderSize);
    if (!frame_bytes) break;
    const auto* frame = reinterpret_cast<const unsigned char*>(frame_bytes->data());
    const std::uint32_t s = tags::big_endian_32(frame + 4);
    if (s == 0) break;  // padding
    const FrameKind* kind = (frame[8] == 0 && frame[9] == 0) ? find_frame_kind(frame) : nullptr;
    // A body that the file cannot supply ends the walk before anything is
    // read for it, so a size field of 0xFFFFFFFF costs nothing.
    const std::uint64_t body_start = kHeaderSize + p + kFrameHeaderSize;
    if (body_start + s > file.size()) break;
    if (kind != nullptr) {
      // Only as much of the body as a name can use; the rest is skipped.
      const auto body = file.read(body_start, std::min<std::size_t>(s, tags::kKeptBody));
      if (!body) break;
      std::optional<std::string>& field = tag.*(kind->field);
      if (kind->rule == BodyRule::kText) {
        tags::apply_text_frame(*body, field, 1);
      } else {
        tags::apply_comment_frame(*body, field, 1);
      }
    }
    p += kFrameHeaderSize + static_cast<std::uint64_t>(s);
  }
  return true;
}

bool read_tag_v2(TagV2& tag, std::FILE* file) {
  StreamBytes more(file);
  std::string head;
  return read_tag_v2(tag, more.read_head(head));
}

void free_tag_v2(TagV2& tag) {
  tag.title.reset();
  tag.artist.reset();
  tag.album.reset();
  tag.year.reset();
  tag.comment.reset();
  tag.track.reset();
  tag.album_artist.reset();
  tag.disc.reset();
  tag.genre.reset();
  tag.composer.reset();
}

}  // namespace kestrune
