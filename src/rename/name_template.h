#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace kestrune {

// The longest new name, ".mp3" included.
inline constexpr std::size_t kMaxNewName = 1023;

// Expands the name template: each %name% token ("Title", "Track", "Artist",
// "Album", "Year", "Comment", any ASCII case) is replaced by the ID3v2 text
// when it is present and not empty, else by the ID3v1 field. Other names and
// the empty name yield nothing; a lone % and the text after it are copied.
//
// `new_name` receives the whole name. When `from_tag` is given, it receives
// one flag per byte of the name, true where the byte came from tag text. The
// result is false when the name is longer than `kMaxNewName`.
bool expand_template(std::string_view pattern, const TagV1& tag_v1, const TagV2& tag_v2,
                     std::string& new_name, std::vector<bool>* from_tag = nullptr);

}  // namespace kestrune
