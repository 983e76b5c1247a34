#include "tags/id3v2_any.h"

#include <algorithm>
#include <cstring>

#include "tags/frame_reading.h"
#include "tags/read_tags.h"

namespace kestrune {

namespace {

using tags::kHeaderSize;
// Beyond a frame's bytes, an unsynchronised body can hold as many zero bytes
// again; a grouping byte and a data length indicator may come first.
constexpr std::size_t kKeptRawBody = 5 + 2 * tags::kKeptBody;
// Unsynchronised bytes are decoded a window of this many at a time, and no
// more than kScanBudget of them for one tag: behind that many bytes of
// pictures, a name has nothing to gain that is worth the time.
constexpr std::size_t kScanChunk = 65536;
constexpr std::uint64_t kScanBudget = std::uint64_t{4} << 20;
// Frames walked in one tag at most; real tags hold a few dozen.
constexpr std::size_t kFrameBudget = 4096;

enum class Rule { kText, kComment, kDate };

struct FrameKind {
  const char* id;
  std::optional<std::string> TagV2::*field;
  Rule rule;
};

// In the order the identifiers are compared (ID3v2.2.0 section 4, ID3v2.3.0
// and ID3v2.4.0 section 4). TDRC is kept aside and preferred to TYER.
constexpr FrameKind kFramesV22[] = {
    {"TT2", &TagV2::title, Rule::kText},  {"TRK", &TagV2::track, Rule::kText},
    {"TP1", &TagV2::artist, Rule::kText}, {"TAL", &TagV2::album, Rule::kText},
    {"TYE", &TagV2::year, Rule::kText},   {"COM", &TagV2::comment, Rule::kComment},
    {"TP2", &TagV2::album_artist, Rule::kText}, {"TPA", &TagV2::disc, Rule::kText},
    {"TCO", &TagV2::genre, Rule::kText},        {"TCM", &TagV2::composer, Rule::kText},
};
constexpr FrameKind kFramesV23[] = {
    {"TIT2", &TagV2::title, Rule::kText},  {"TRCK", &TagV2::track, Rule::kText},
    {"TPE1", &TagV2::artist, Rule::kText}, {"TALB", &TagV2::album, Rule::kText},
    {"TYER", &TagV2::year, Rule::kText},   {"COMM", &TagV2::comment, Rule::kComment},
    {"TDRC", nullptr, Rule::kDate},
    {"TPE2", &TagV2::album_artist, Rule::kText}, {"TPOS", &TagV2::disc, Rule::kText},
    {"TCON", &TagV2::genre, Rule::kText},        {"TCOM", &TagV2::composer, Rule::kText},
};

// Removes the zero byte that unsynchronisation puts after each FF
// (ID3v2.4.0 section 6.1).
std::string resynchronise(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out += bytes[i];
    if (bytes[i] == '\xFF' && i + 1 < bytes.size() && bytes[i + 1] == '\0') ++i;
  }
  return out;
}

// The tag's bytes after its header, in order: read as they are, or, for an
// ID3v2.2 or ID3v2.3 tag with the unsynchronisation flag, with the zero
// byte after each FF removed, so that sizes count the bytes as written
// before unsynchronisation. Never beyond the end of the file, and never more
// than kScanBudget bytes of the file decoded: beyond those a name gains
// nothing that is worth the time.
class TagData {
 public:
  TagData(tags::TagFile& file, bool unsynchronised)
      : file_(file), unsynchronised_(unsynchronised) {}

  // The bytes left in the file: at least as many as the tag can still give.
  std::uint64_t physical_left() const {
    return file_.size() - position_ + (decoded_.size() - used_);
  }

  // The next `count` bytes (a few KiB at most), or nullopt when the file
  // ends first.
  std::optional<std::string_view> read(std::size_t count) {
    if (!unsynchronised_) {
      const auto bytes = file_.read(position_, count);
      if (bytes) position_ += count;
      return bytes;
    }
    while (decoded_.size() - used_ < count) {
      if (!decode_more()) return std::nullopt;
    }
    used_ += count;
    return std::string_view(decoded_).substr(used_ - count, count);
  }

  bool skip(std::uint64_t count) {
    if (count > physical_left()) return false;
    if (!unsynchronised_) {
      position_ += count;
      return true;
    }
    while (decoded_.size() - used_ < count) {
      count -= decoded_.size() - used_;
      used_ = decoded_.size();
      if (!decode_more()) return false;
    }
    used_ += static_cast<std::size_t>(count);
    return true;
  }

 private:
  // Decodes the next window of the file behind what is decoded and not yet
  // used. False at the end of the file or of the budget.
  bool decode_more() {
    const std::uint64_t left = file_.size() - position_;
    if (left == 0 || scanned_ >= kScanBudget) return false;
    const auto window = static_cast<std::size_t>(std::min<std::uint64_t>(kScanChunk, left));
    const auto raw = file_.read(position_, window);
    if (!raw) return false;
    decoded_.erase(0, used_);
    used_ = 0;
    // Every byte is written and the zero after an FF then overwritten, so
    // that the cost is the same whatever the bytes.
    const std::size_t start = decoded_.size();
    decoded_.resize(start + raw->size());
    char* out = decoded_.data() + start;
    std::size_t kept = 0;
    bool after_ff = after_ff_;
    for (const char byte : *raw) {
      out[kept] = byte;
      kept += after_ff && byte == '\0' ? 0 : 1;
      after_ff = byte == '\xFF';
    }
    after_ff_ = after_ff;
    decoded_.resize(start + kept);
    position_ += raw->size();
    scanned_ += raw->size();
    return true;
  }

  tags::TagFile& file_;
  bool unsynchronised_;
  bool after_ff_ = false;
  std::uint64_t position_ = kHeaderSize;  // in the file, behind what is decoded
  std::uint64_t scanned_ = 0;
  std::string decoded_;  // decoded bytes from the window, the first used_ of them used
  std::size_t used_ = 0;
};

const FrameKind* find_frame_kind(std::string_view id, int version) {
  const auto match = [&](const auto& table) -> const FrameKind* {
    for (const FrameKind& kind : table) {
      if (id == kind.id) return &kind;
    }
    return nullptr;
  };
  // TDRC is an ID3v2.4 frame, but taggers write it into ID3v2.3 tags too.
  return version == 2 ? match(kFramesV22) : match(kFramesV23);
}

// Four characters A-Z and 0-9 (three in ID3v2.2): ID3v2.3.0 section 4.
bool is_frame_id(std::string_view id) {
  return std::all_of(id.begin(), id.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// The year of an ID3v2.4 timestamp ("2004-05-06T07:08").
std::string year_of(const std::string& timestamp) {
  const bool starts_with_year =
      timestamp.size() > 4 && std::all_of(timestamp.begin(), timestamp.begin() + 4,
                                          [](char c) { return c >= '0' && c <= '9'; });
  return starts_with_year ? timestamp.substr(0, 4) : timestamp;
}

// An ID3v2.4 frame body as its format flags (ID3v2.4.0 section 4.1.2) leave
// it: the grouping byte and data length indicator dropped, unsynchronisation
// undone. nullopt for a compressed or encrypted frame, or flags not known.
std::optional<std::string> v24_body(std::string_view raw, unsigned format,
                                    bool tag_unsynchronised) {
  if ((format & ~0x43U) != 0) return std::nullopt;
  tags::ByteCursor cursor(raw);
  if ((format & 0x40) != 0 && !cursor.skip(1)) return std::nullopt;
  if ((format & 0x01) != 0 && !cursor.skip(4)) return std::nullopt;
  std::string_view body = raw.substr(raw.size() - cursor.remaining());
  std::string out =
      ((format & 0x02) != 0 || tag_unsynchronised) ? resynchronise(body) : std::string(body);
  if (out.size() > tags::kKeptBody) out.resize(tags::kKeptBody);
  return out;
}

}  // namespace

Id3v2Kind probe_id3v2(const TagBytes& bytes) {
  tags::TagFile file(bytes);
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(6, file.size()));
  const auto header = file.read(0, n);
  if (!header || n < 3 || header->substr(0, 3) != "ID3") return Id3v2Kind::kNone;
  const unsigned version = n > 3 ? static_cast<unsigned char>((*header)[3]) : 0;
  const unsigned flags = n > 5 ? static_cast<unsigned char>((*header)[5]) : 0;
  switch (version) {
    case 2:
      return Id3v2Kind::kId3v22;
    case 3:
      return flags == 0     ? Id3v2Kind::kId3v23
             : flags & 0x80 ? Id3v2Kind::kId3v23Unsynchronised
                            : Id3v2Kind::kId3v23OtherFlags;
    case 4:
      return Id3v2Kind::kId3v24;
    default:
      return Id3v2Kind::kOtherVersion;
  }
}

bool read_tag_v2_any(TagV2& tag, const TagBytes& bytes) {
  tag = TagV2();
  tags::TagFile file(bytes);
  unsigned char header[tags::kHeaderSize];
  if (!tags::read_tag_header(file, header)) return false;
  tag.version = header[3];
  tag.revision = header[4];
  tag.flags = header[5];
  tag.size = tags::syncsafe_32(header + 6);
  const int version = tag.version;
  if (version < 2 || version > 4) return false;
  if (version == 2 && (tag.flags & 0x40) != 0)
    return false;  // compressed: no scheme was ever defined
  const bool tag_unsynchronised = (tag.flags & 0x80) != 0;

  // Frames of ID3v2.4 tags are unsynchronised one by one, their headers not.
  TagData data(file, tag_unsynchronised && version < 4);
  std::uint64_t p = 0;  // bytes of the tag after its header walked so far
  if (version > 2 && (tag.flags & 0x40) != 0) {
    // Extended header (ID3v2.3.0 section 3.2, ID3v2.4.0 section 3.2): its
    // size is plain and leaves out the size itself in ID3v2.3, and is
    // syncsafe and counts itself in ID3v2.4.
    const auto size_bytes = data.read(4);
    if (!size_bytes) return true;
    const auto* b = reinterpret_cast<const unsigned char*>(size_bytes->data());
    const std::uint64_t extended =
        version == 3 ? 4 + std::uint64_t{tags::big_endian_32(b)} : tags::syncsafe_32(b);
    if (extended < 4 || !data.skip(extended - 4)) return true;
    p = extended;
  }

  const std::size_t frame_header_size = version == 2 ? 6 : 10;
  const std::size_t id_size = version == 2 ? 3 : 4;
  std::optional<std::string> date;
  for (std::size_t frames = 0; p < tag.size && frames < kFrameBudget; ++frames) {
    const auto frame_bytes = data.read(frame_header_size);
    if (!frame_bytes) break;
    const auto* frame = reinterpret_cast<const unsigned char*>(frame_bytes->data());
    const std::uint32_t s = version == 2   ? tags::big_endian_32(frame + 2) & 0xFFFFFF
                            : version == 3 ? tags::big_endian_32(frame + 4)
                                           : tags::syncsafe_32(frame + 4);
    if (s == 0) {
      // Padding, unless the identifier is a frame's: some taggers write an
      // empty frame (a TENC with nothing in it) and go on with the others.
      if (!is_frame_id(std::string_view(frame_bytes->data(), id_size))) break;
      p += frame_header_size;
      continue;
    }
    const unsigned status = version == 2 ? 0 : frame[8];
    const unsigned format = version == 2 ? 0 : frame[9];
    const FrameKind* kind =
        find_frame_kind(std::string_view(frame_bytes->data(), id_size), version);
    // As read_tag_v2 does, an ID3v2.3 frame with any flag is passed over; the
    // status flags of ID3v2.4 say nothing about the body.
    if (version == 3 && (status != 0 || format != 0)) kind = nullptr;
    // A body that the file cannot supply ends the walk.
    if (s > data.physical_left()) break;
    std::uint64_t left = s;
    if (kind != nullptr) {
      const std::size_t kept = static_cast<std::size_t>(
          std::min<std::uint64_t>(s, version == 4 ? kKeptRawBody : tags::kKeptBody));
      const auto raw = data.read(kept);
      if (!raw) break;
      left -= kept;
      const std::optional<std::string> body =
          version == 4 ? v24_body(*raw, format, tag_unsynchronised) : std::string(*raw);
      const unsigned last_encoding = version == 4 ? 3 : 1;
      std::optional<std::string>& field = kind->field != nullptr ? tag.*(kind->field) : date;
      if (body && kind->rule == Rule::kComment) {
        tags::apply_comment_frame(*body, field, last_encoding);
      } else if (body) {
        tags::apply_text_frame(*body, field, last_encoding);
      }
    }
    p += frame_header_size + std::uint64_t{s};
    // The rest of the body is passed over only when another frame follows.
    if (p < tag.size && !data.skip(left)) break;
  }
  if (date && !date->empty()) tag.year = year_of(*date);
  return true;
}

bool read_tag_v2_any(TagV2& tag, std::FILE* file) {
  StreamBytes more(file);
  std::string head;
  return read_tag_v2_any(tag, more.read_head(head));
}

TagsFound read_tags(TagV1& tag_v1, TagV2& tag_v2, const TagBytes& bytes, Id3v2Reader reader) {
  TagsFound found;
  found.v1 = read_tag_v1(tag_v1, bytes);
  found.v2 = reader == Id3v2Reader::kAnyId3v2 ? read_tag_v2_any(tag_v2, bytes)
                                              : read_tag_v2(tag_v2, bytes);
  found.v2_kind = probe_id3v2(bytes);
  return found;
}

}  // namespace kestrune
