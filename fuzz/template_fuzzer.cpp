// Parses and expands a template of the command line's language over tag
// records taken from the input: the template, a zero byte, the 125 bytes of
// an ID3v1 trailer body, then the ID3v2 texts title, artist, album, year,
// comment, track, album artist, disc, genre and composer and the file name,
// each ended by a zero byte (a text the input does not reach is absent).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "rename/name_template.h"
#include "rename/template_script.h"

namespace {

bool names_a_new_field(std::string pattern) {
  for (char& c : pattern) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* name : {"albumartist", "disc", "genre", "composer", "filename"}) {
    if (pattern.find(name) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t zero = input.find('\0');
  const std::string pattern(input.substr(0, zero));
  input = zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1);

  TagV1 tag_v1{};
  const std::size_t v1_size = std::min(input.size(), sizeof tag_v1);
  if (v1_size > 0) std::memcpy(&tag_v1, input.data(), v1_size);
  input.remove_prefix(v1_size);
  TagV2 tag_v2;
  std::optional<std::string>* texts[] = {
      &tag_v2.title,        &tag_v2.artist, &tag_v2.album, &tag_v2.year,  &tag_v2.comment,
      &tag_v2.track,        &tag_v2.album_artist, &tag_v2.disc, &tag_v2.genre, &tag_v2.composer};
  for (std::optional<std::string>* text : texts) {
    if (input.empty()) break;
    const std::size_t end = std::min(input.find('\0'), input.size());
    *text = std::string(input.substr(0, end));
    input.remove_prefix(std::min(end + 1, input.size()));
  }
  const std::string file_name(input.substr(0, input.find('\0')));

  const std::optional<TemplateError> error = check_template_script(pattern);
  std::string name;
  std::vector<bool> from_tag;
  const ScriptResult result =
      expand_template_script(pattern, tag_v1, tag_v2, file_name, name, &from_tag);
  template_script_warnings(pattern);
  if (error) {
    // An error names a column of the template (or just past its end).
    fuzz::require(result == ScriptResult::kBadTemplate && name.empty() && from_tag.empty());
    fuzz::require(error->column >= 1 && error->column <= pattern.size() + 1);
    return 0;
  }
  fuzz::require(result != ScriptResult::kBadTemplate);
  fuzz::require(from_tag.size() == name.size());
  if (result == ScriptResult::kTooLong) return 0;
  fuzz::require(name.size() <= kMaxNewName);

  // Text written in the template is never flagged as tag text.
  if (pattern.find('%') == std::string::npos) {
    for (const bool flag : from_tag) fuzz::require(!flag);
  }
  // Without a call, a separator or a field the dialog lacks, the dialog's
  // expansion gives the same name and the same flags.
  if (pattern.find_first_of("$\\/") == std::string::npos && !names_a_new_field(pattern)) {
    std::string dialog;
    std::vector<bool> dialog_flags;
    fuzz::require(expand_template(pattern, tag_v1, tag_v2, dialog, &dialog_flags));
    fuzz::require(dialog == name && dialog_flags == from_tag);
  }
  // The same input expands the same way again.
  std::string again;
  fuzz::require(expand_template_script(pattern, tag_v1, tag_v2, file_name, again) == result &&
                again == name);
  return 0;
}
