#pragma once

// Genre names: the ID3v1 genre byte and the references to it that ID3v2
// content type frames (TCON) hold.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

// The name of ID3v1 genre number `number`: the 80 genres of ID3v1 and the
// Winamp extension up to 191. Empty for any other number (255 is "none").
std::string_view id3v1_genre_name(unsigned number);

// The genre that an ID3v2 content type text names, with numbers resolved:
// - ID3v2.3 references, "(17)" gives "Rock"; after the references a
//   refinement, "(4)Eurodisco", is the genre; without one the names of the
//   references are joined with ", " ("(4)(17)" gives "Disco, Rock").
//   "(RX)" is "Remix", "(CR)" "Cover"; "((" begins text that starts with "(".
// - ID3v2.4 values: a plain number, "17", gives "Rock"; "RX" and "CR" as above.
// Any other text, and a number with no name, is kept as it is.
std::string resolve_genre(std::string_view content_type);

}  // namespace kestrune
