#pragma once

// Optional rules for new names, beyond the plain template expansion. Nothing
// applies them unless a caller asks; expand_template itself never changes.
//
// A caller that uses them handles one file in this order:
//   1. apply_track_digits(tag_v1, tag_v2, digits)      only with a track width
//      a false result: the file has no track, and the template expanded is
//      without_track(pattern), so that %track% gives nothing
//   2. expand_template(pattern, tag_v1, tag_v2, name, &from_tag)
//      a false result refuses the file as too long, as without the rules
//   3. folders_from_template(name, from_tag)           only when tag text
//      makes no folders
//   4. make_portable(pattern, name, from_tag, room)    only for portable names
//      a false result refuses the file as too long
//   5. append ".mp3" where the name does not end in ".mp3" (after step 4 it
//      always does), then the usual checks of the name
//   6. first_free_name(name, is_taken[, kMaxNamePart with portable names])
//      only when a collision gets a suffix; no answer means the file fails as
//      a collision, as it does without the rule
// template_warnings(pattern) is called once per run, before the first file.

#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rename/name_template.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace kestrune {

// --- Folders from the template alone ----------------------------------------

// Makes the template's '/' and '\' the separators of `name` and tag text an
// ordinary part of it: each '/' of template text becomes '\', and each '/'
// and '\' of tag text becomes '_'. `from_tag` is what expand_template
// produced for `name` (one flag per byte, true for tag text); the name keeps
// its length, so the flags stay valid.
void folders_from_template(std::string& name, const std::vector<bool>& from_tag);

// --- Portable names ---------------------------------------------------------

// The longest name part (folder or file name, ".mp3" included) that common
// file systems accept, in bytes.
inline constexpr std::size_t kMaxNamePart = 255;

// Makes an expanded name one that every common file system accepts.
// `name` and `from_tag` are what expand_template produced (one flag per byte,
// true for tag text); both are rewritten together. `pattern` is the template
// the name was expanded from.
//
// - In tag text, '/', '\', '?', ':', '*', '"', '<', '>', '|', the bytes 0 to
//   31 and 127 and (outside Windows, where text is UTF-8) the C1 controls
//   U+0080 to U+009F each become one '_'. Tag text thus never makes folders.
//   The template's '\' and '/' still separate parts; both are written '\'.
// - Each part between separators loses its leading spaces and its trailing
//   spaces and dots, and is cut to kMaxNamePart bytes at a UTF-8 character
//   boundary. The last part is the file name: ".mp3" is appended where it
//   does not end in ".mp3", and the cut and the trimming apply to the text
//   before the ".mp3", so the ".mp3" is always kept.
// - A part that is empty afterwards becomes "_", except the empty parts of
//   the leading separators that the template itself begins with ("\Music\..."
//   stays rooted) and a "." or ".." folder written wholly by the template.
// - A part that Windows reserves for a device (CON, PRN, AUX, NUL, COM1 to
//   COM9, LPT1 to LPT9 in any letter case, alone or before a '.', such as
//   "con.txt" or the file name "Nul.mp3") gets a '_' after the device name:
//   "CON_", "con_.txt", "Nul_.mp3".
// - While the name is longer than `max_path` units (platform::name_part_length,
//   separators included), the part with the most units that holds tag text
//   loses the last character of its longest run of tag text, ties going to
//   the part (and the run) nearer the end; a folder is trimmed again after
//   each cut. A run is cut down to one character at the least, and a cut that
//   would leave a device name cuts once more.
//
// Answers false when the result is longer than kMaxNewName or than
// `max_path`; the name is rewritten all the same.
bool make_portable(std::string_view pattern, std::string& name, std::vector<bool>& from_tag,
                   std::size_t max_path = kMaxNewName);

// --- Track numbers of a fixed width -----------------------------------------

inline constexpr int kMaxTrackDigits = 10;

// The number before any '/' of `track` written with `digits` digits, leading
// zeros added or dropped to fit ("3/12" with 2 gives "03", "007" with 2
// gives "07"); a longer number is kept whole ("12" with 1 gives "12"). A
// track that does not start with a number of ASCII digits followed by the end
// or a '/' is returned unchanged. `digits` is clamped to 1..kMaxTrackDigits.
std::string pad_track(std::string_view track, int digits);

// Makes %track% expand to pad_track of what it expands to now: the ID3v2
// track text, or else the ID3v1.1 track number, is padded and stored as
// `tag_v2.track`. Other fields are untouched. Call it after reading the tags
// and before expand_template. Answers false, and leaves the tags alone, when
// the file has no track: no ID3v2 track text and no ID3v1.1 track (or track
// 0); the caller then expands without_track(pattern), as a width cannot be
// given to nothing.
bool apply_track_digits(const TagV1& tag_v1, TagV2& tag_v2, int digits);

// `pattern` with each %track% token (any letter case) made the empty token
// %%, which expands to nothing; the other tokens pair up as before.
std::string without_track(std::string_view pattern);

// --- Template warnings ------------------------------------------------------

// The problems of a template, each once, in the order they first occur:
// "unknown field %Titel%" for each token whose name is none of the six (the
// empty name of "%%" included), and "lone % kept as written: \"...\"" for a %
// without a closing one, quoting it and the text after it. An empty list
// means the template is sound. The expansion itself is not affected.
std::vector<std::string> template_warnings(std::string_view pattern);

// --- Collisions with a suffix -----------------------------------------------

// The most suffixes tried before a collision is given up.
inline constexpr int kMaxCollisionSuffix = 10000;

// The first of `name`, "NAME (1).mp3", "NAME (2).mp3", ... up to
// kMaxCollisionSuffix for which `is_taken` answers false; the suffix goes
// before a final ".mp3" (at the end of a name without one). Where the file
// name (the text after the last '\' or '/') would grow beyond
// `max_file_name` bytes, the text before the suffix is cut at a UTF-8
// character boundary to fit (no limit by default; pass kMaxNamePart for
// portable names). No answer when every candidate is taken, or a candidate
// would be longer than kMaxNewName or could not keep any of its own text.
//
// `is_taken` must answer true for a name that exists in the folder or that
// the run has already planned for another file, compared as the file system
// compares names (so without regard to case on Windows). The file's own
// current name does not count as existing in the folder, so that a file
// already named right is not given a suffix.
std::optional<std::string> first_free_name(
    const std::string& name, const std::function<bool(const std::string&)>& is_taken,
    std::size_t max_file_name = std::numeric_limits<std::size_t>::max());

// The n-th candidate of first_free_name: `name` itself for 0, "NAME (n).mp3"
// for 1 to kMaxCollisionSuffix, cut as described there. No answer where
// first_free_name would give up at that candidate. A run that gives many
// files one name walks these itself, remembering how far it got, so that
// each file does not try again the candidates its predecessors took.
std::optional<std::string> suffixed_name(
    const std::string& name, int n,
    std::size_t max_file_name = std::numeric_limits<std::size_t>::max());

}  // namespace kestrune
