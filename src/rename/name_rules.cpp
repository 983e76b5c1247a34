#include "rename/name_rules.h"

#include <algorithm>
#include <iterator>

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

// Shortens [begin, end) to at most `limit` bytes without splitting a UTF-8
// character: the cut moves back while the first byte dropped continues one.
void cut(const std::string& name, std::size_t begin, std::size_t& end, std::size_t limit) {
  if (end - begin <= limit) return;
  end = begin + limit;
  while (end > begin && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
}

bool written_by_template(const std::vector<bool>& from_tag, std::size_t begin, std::size_t end) {
  return std::none_of(from_tag.begin() + static_cast<std::ptrdiff_t>(begin),
                      from_tag.begin() + static_cast<std::ptrdiff_t>(end),
                      [](bool flag) { return flag; });
}

constexpr std::string_view kFieldNames[] = {"title", "track", "artist", "album", "year", "comment"};

bool is_field_name(std::string_view name) {
  return std::any_of(std::begin(kFieldNames), std::end(kFieldNames), [&](std::string_view field) {
    return std::equal(name.begin(), name.end(), field.begin(), field.end(), [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
  });
}

}  // namespace

bool make_portable(std::string_view pattern, std::string& name, std::vector<bool>& from_tag) {
  from_tag.resize(name.size(), false);
  replace_in_tag_text(name, from_tag);

  // The template's own leading separators name a root; their empty parts stay.
  std::size_t rooted = 0;
  while (rooted < pattern.size() && is_separator(pattern[rooted])) ++rooted;

  std::string out;
  std::vector<bool> flags;
  auto append = [&](std::size_t begin, std::size_t end) {
    out.append(name, begin, end - begin);
    flags.insert(flags.end(), from_tag.begin() + static_cast<std::ptrdiff_t>(begin),
                 from_tag.begin() + static_cast<std::ptrdiff_t>(end));
  };
  auto append_text = [&](std::string_view text) {
    out.append(text);
    flags.insert(flags.end(), text.size(), false);
  };

  std::size_t start = 0;
  for (std::size_t part = 0;; ++part) {
    std::size_t stop = start;
    while (stop < name.size() && !is_separator(name[stop])) ++stop;
    const bool last = stop == name.size();
    std::size_t begin = start;
    std::size_t end = stop;
    const std::string_view text(name.data() + begin, end - begin);
    if (last) {
      trim(name, begin, end);
      if (ends_with_extension(std::string_view(name.data() + begin, end - begin))) {
        end -= kExtension.size();
      }
      cut(name, begin, end, kMaxNamePart - kExtension.size());
      if (begin == end) {
        append_text("_");
      } else {
        append(begin, end);
      }
      append_text(kExtension);
      break;
    }
    if (part < rooted ||
        ((text == "." || text == "..") && written_by_template(from_tag, begin, end))) {
      append(begin, end);
    } else {
      trim(name, begin, end);
      cut(name, begin, end, kMaxNamePart);
      trim(name, begin, end);
      if (begin == end) {
        append_text("_");
      } else {
        append(begin, end);
      }
    }
    append(stop, stop + 1);  // the template's separator, kept as written
    start = stop + 1;
  }
  name = std::move(out);
  from_tag = std::move(flags);
  return name.size() <= kMaxNewName;
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

void apply_track_digits(const TagV1& tag_v1, TagV2& tag_v2, int digits) {
  // Expanding the token alone gives exactly the text %track% would give.
  std::string track;
  if (!expand_template("%track%", tag_v1, tag_v2, track)) return;
  tag_v2.track = pad_track(track, digits);
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
