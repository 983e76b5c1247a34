#include "rename/name_rules.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/platform.h"
#include "rename/name_template.h"

namespace kestrune {

namespace {

constexpr std::string_view kExtension = ".mp3";

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool ends_with_extension(std::string_view text) {
  return text.size() >= kExtension.size() &&
         text.substr(text.size() - kExtension.size()) == kExtension;
}

// Whether tag text byte `c` must not reach a name. Control characters and
// what Windows, FAT and exFAT refuse; the separators keep tag text in its part.
bool is_unportable(unsigned char c) {
  return c < 0x20 || c == 0x7F ||
         std::string_view("/\\?:*\"<>|").find(static_cast<char>(c)) != std::string_view::npos;
}

// Replaces what tag text may not bring into a name; template text stays.
void replace_in_tag_text(std::string& name, std::vector<bool>& from_tag) {
  std::string out;
  std::vector<bool> flags;
  out.reserve(name.size());
  flags.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    bool replace = from_tag[i] && is_unportable(c);
#ifndef _WIN32
    // A C1 control in UTF-8: C2 followed by 80 to 9F.
    if (from_tag[i] && c == 0xC2 && i + 1 < name.size() && from_tag[i + 1]) {
      const auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        replace = true;
        ++i;
      }
    }
#endif
    out += replace ? '_' : name[i];
    flags.push_back(from_tag[i]);
  }
  name = std::move(out);
  from_tag = std::move(flags);
}

// [begin, end) of one part without leading spaces and trailing spaces and dots.
void trim(const std::string& name, std::size_t& begin, std::size_t& end) {
  while (begin < end && name[begin] == ' ') ++begin;
  while (end > begin && (name[end - 1] == ' ' || name[end - 1] == '.')) --end;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Shortens [begin, end) to at most `limit` bytes without splitting a UTF-8
// character: the cut moves back while the first byte dropped continues one.
void cut(const std::string& name, std::size_t begin, std::size_t& end, std::size_t limit) {
  if (end - begin <= limit) return;
  end = begin + limit;
  while (end > begin && is_continuation(name[end])) --end;
}

bool written_by_template(const std::vector<bool>& from_tag, std::size_t begin, std::size_t end) {
  return std::none_of(from_tag.begin() + static_cast<std::ptrdiff_t>(begin),
                      from_tag.begin() + static_cast<std::ptrdiff_t>(end),
                      [](bool flag) { return flag; });
}

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether Windows keeps `name` for a device, in any letter case.
bool is_device_name(std::string_view name) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), ascii_upper);
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
  return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
         upper[3] >= '1' && upper[3] <= '9';
}

// One folder or file name of a portable name. The file name's text leaves
// out its ".mp3", which make_portable adds when it joins the parts.
struct Part {
  std::string text;
  std::vector<bool> from_tag;
  bool as_written = false;  // a root's empty part, or the template's own "." or ".."
  bool file = false;
  bool spent = false;       // no tag text left that a cut could take
  std::size_t units = 0;    // platform::name_part_length(text)

  void assign(const std::string& name, const std::vector<bool>& flags, std::size_t begin,
              std::size_t end) {
    text.assign(name, begin, end - begin);
    from_tag.assign(flags.begin() + static_cast<std::ptrdiff_t>(begin),
                    flags.begin() + static_cast<std::ptrdiff_t>(end));
  }
  void erase(std::size_t begin, std::size_t end) {
    text.erase(begin, end - begin);
    from_tag.erase(from_tag.begin() + static_cast<std::ptrdiff_t>(begin),
                   from_tag.begin() + static_cast<std::ptrdiff_t>(end));
  }
  void insert(std::size_t at, std::string_view plain) {
    // Built anew: GCC 12 warns of an overlap (-Wrestrict) that cannot be in
    // the inlined copy of string::insert.
    std::string joined;
    joined.reserve(text.size() + plain.size());
    joined.append(text, 0, at).append(plain).append(text, at, std::string::npos);
    text = std::move(joined);
    from_tag.insert(from_tag.begin() + static_cast<std::ptrdiff_t>(at), plain.size(), false);
  }
  // Trims a folder's name again; an empty name becomes "_".
  void settle() {
    std::size_t begin = 0, end = text.size();
    if (!file) trim(text, begin, end);
    erase(end, text.size());
    erase(0, begin);
    if (text.empty()) insert(0, "_");
  }
  // Where a name Windows keeps for a device ends, or npos: Windows reads the
  // name before the first '.', without trailing spaces, as a device.
  std::size_t device_end() const {
    std::size_t end = std::min(text.find('.'), text.size());
    while (end > 0 && text[end - 1] == ' ') --end;
    return is_device_name(std::string_view(text).substr(0, end)) ? end : std::string::npos;
  }
  // "CON" becomes "CON_", "con.txt" "con_.txt".
  void keep_off_devices() {
    if (const std::size_t end = device_end(); end != std::string::npos) insert(end, "_");
  }
  // Drops a character of tag text (drop_one); false when none can go. A cut
  // that makes a device name ("AUXX" to "AUX") cuts once more where it can.
  bool drop_tag_character() {
    if (!drop_one()) return false;
    while (device_end() != std::string::npos) {
      if (!drop_one()) {
        keep_off_devices();
        break;
      }
    }
    return true;
  }
  // Drops the last character of the part's longest run of tag text (the
  // later of equal ones), unless that run is down to one character.
  bool drop_one() {
    std::size_t first = 0, last = 0;  // the run [first, last)
    for (std::size_t end = 0; end < from_tag.size();) {
      std::size_t begin = end;
      while (begin < from_tag.size() && !from_tag[begin]) ++begin;
      end = begin;
      while (end < from_tag.size() && from_tag[end]) ++end;
      if (end > begin && end - begin >= last - first) first = begin, last = end;
    }
    std::size_t cut_at = last;
    while (cut_at > first && is_continuation(text[cut_at - 1])) --cut_at;
    if (cut_at > first) --cut_at;  // the lead byte of the last character
    if (cut_at == first) return false;
    erase(cut_at, last);
    settle();
    return true;
  }
  std::size_t measure() { return units = platform::name_part_length(text); }
};

constexpr std::string_view kFieldNames[] = {"title", "track", "artist", "album", "year", "comment"};

bool is_field_name(std::string_view name) {
  return std::any_of(std::begin(kFieldNames), std::end(kFieldNames), [&](std::string_view field) {
    return std::equal(name.begin(), name.end(), field.begin(), field.end(), [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
  });
}

}  // namespace

void folders_from_template(std::string& name, const std::vector<bool>& from_tag) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!is_separator(name[i])) continue;
    name[i] = i < from_tag.size() && from_tag[i] ? '_' : '\\';
  }
}

bool make_portable(std::string_view pattern, std::string& name, std::vector<bool>& from_tag,
                   std::size_t max_path) {
  from_tag.resize(name.size(), false);
  replace_in_tag_text(name, from_tag);

  // The template's own leading separators name a root; their empty parts stay.
  std::size_t rooted = 0;
  while (rooted < pattern.size() && is_separator(pattern[rooted])) ++rooted;

  std::vector<Part> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t stop = start;
    while (stop < name.size() && !is_separator(name[stop])) ++stop;
    Part& part = parts.emplace_back();
    part.file = stop == name.size();
    std::size_t begin = start;
    std::size_t end = stop;
    const std::string_view text(name.data() + begin, end - begin);
    if (part.file) {
      trim(name, begin, end);
      if (ends_with_extension(std::string_view(name.data() + begin, end - begin))) {
        end -= kExtension.size();
      }
      cut(name, begin, end, kMaxNamePart - kExtension.size());
    } else if (parts.size() <= rooted ||
               ((text == "." || text == "..") && written_by_template(from_tag, begin, end))) {
      part.as_written = true;
    } else {
      trim(name, begin, end);
      cut(name, begin, end, kMaxNamePart);
      trim(name, begin, end);
    }
    part.assign(name, from_tag, begin, end);
    if (!part.as_written) {
      part.settle();
      part.keep_off_devices();
    }
    if (part.file) break;
    start = stop + 1;
  }

  // Within the longest path: the part with the most units gives up its tag
  // text first, a character at a time, so that long parts end up alike.
  std::size_t total = kExtension.size() + parts.size() - 1;
  for (Part& part : parts) total += part.measure();
  while (total > max_path) {
    Part* longest = nullptr;
    for (Part& part : parts) {
      if (part.as_written || part.spent) continue;
      if (longest == nullptr || part.units >= longest->units) longest = &part;
    }
    if (longest == nullptr) break;
    const std::size_t before = longest->units;
    if (longest->drop_tag_character()) {
      total = total - before + longest->measure();
    } else {
      longest->spent = true;
    }
  }

  name.clear();
  from_tag.clear();
  for (const Part& part : parts) {
    name += part.text;
    from_tag.insert(from_tag.end(), part.from_tag.begin(), part.from_tag.end());
    name += part.file ? kExtension : "\\";
    from_tag.resize(name.size(), false);
  }
  return name.size() <= kMaxNewName && total <= max_path;
}

std::string pad_track(std::string_view track, int digits) {
  const std::string_view number = track.substr(0, track.find('/'));
  if (number.empty() ||
      !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::string(track);
  }
  const std::size_t width = static_cast<std::size_t>(std::clamp(digits, 1, kMaxTrackDigits));
  const std::size_t first = std::min(number.find_first_not_of('0'), number.size() - 1);
  const std::string_view significant = number.substr(first);
  std::string padded(width > significant.size() ? width - significant.size() : 0, '0');
  padded += significant;
  return padded;
}

bool apply_track_digits(const TagV1& tag_v1, TagV2& tag_v2, int digits) {
  const bool v2_track = tag_v2.track && !tag_v2.track->empty();
  // Without the ID3v1.1 marker the byte is the comment's; 0 is no track.
  if (!v2_track && (tag_v1.track_marker() != 0 || tag_v1.track() == 0)) return false;
  // Expanding the token alone gives exactly the text %track% would give.
  std::string track;
  if (!expand_template("%track%", tag_v1, tag_v2, track)) return true;
  tag_v2.track = pad_track(track, digits);
  return true;
}

std::string without_track(std::string_view pattern) {
  constexpr std::string_view kTrack = "track";
  std::string out;
  std::size_t read = 0;
  while (read < pattern.size()) {
    const std::size_t open = pattern.find('%', read);
    const std::size_t close =
        open == std::string_view::npos ? std::string_view::npos : pattern.find('%', open + 1);
    if (close == std::string_view::npos) break;
    const std::string_view name = pattern.substr(open + 1, close - open - 1);
    const auto same = [](char a, char b) { return (a | 0x20) == b; };
    const bool track = std::equal(name.begin(), name.end(), kTrack.begin(), kTrack.end(), same);
    out.append(pattern.substr(read, open - read));
    out.append(track ? "%%" : pattern.substr(open, close + 1 - open));
    read = close + 1;
  }
  out.append(pattern.substr(std::min(read, pattern.size())));
  return out;
}

std::vector<std::string> template_warnings(std::string_view pattern) {
  std::vector<std::string> warnings;
  auto add = [&](std::string warning) {
    if (std::find(warnings.begin(), warnings.end(), warning) == warnings.end()) {
      warnings.push_back(std::move(warning));
    }
  };
  std::size_t read = 0;
  while (read < pattern.size()) {
    const std::size_t open = pattern.find('%', read);
    if (open == std::string_view::npos) break;
    const std::size_t close = pattern.find('%', open + 1);
    if (close == std::string_view::npos) {
      add("lone % kept as written: \"" + std::string(pattern.substr(open)) + "\"");
      break;
    }
    const std::string_view field = pattern.substr(open + 1, close - open - 1);
    if (!is_field_name(field)) add("unknown field %" + std::string(field) + "%");
    read = close + 1;
  }
  return warnings;
}

std::optional<std::string> suffixed_name(const std::string& name, int n,
                                         std::size_t max_file_name) {
  if (name.size() > kMaxNewName || n < 0 || n > kMaxCollisionSuffix) return std::nullopt;
  if (n == 0) return name;
  const std::size_t file_start = name.find_last_of("\\/") + 1;  // 0 without a separator
  const std::size_t extension = ends_with_extension(name) ? kExtension.size() : 0;
  const std::size_t stem = name.size() - extension;
  const std::string suffix = " (" + std::to_string(n) + ")";
  if (suffix.size() + extension >= max_file_name) return std::nullopt;
  std::size_t end = stem;
  cut(name, file_start, end, max_file_name - suffix.size() - extension);
  if (end == file_start) return std::nullopt;
  std::string candidate = name.substr(0, end) + suffix + name.substr(stem);
  if (candidate.size() > kMaxNewName) return std::nullopt;
  return candidate;
}

std::optional<std::string> first_free_name(const std::string& name,
                                           const std::function<bool(const std::string&)>& is_taken,
                                           std::size_t max_file_name) {
  for (int n = 0; n <= kMaxCollisionSuffix; ++n) {
    std::optional<std::string> candidate = suffixed_name(name, n, max_file_name);
    if (!candidate || !is_taken(*candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace kestrune
