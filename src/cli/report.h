#pragma once

// The words the command line prints: file names made safe for a terminal,
// and the reasons for a skip, a refusal or a failure in plain words.

#include <string>
#include <string_view>

#include "rename/rename.h"

namespace kestrune::cli {

// Appends `name` to `out` with every byte that could move the cursor or
// forge a line escaped: the backslash as "\\", tab, line feed and carriage
// return as "\t", "\n", "\r", the other bytes 0x00 to 0x1F and 0x7F as
// "\xHH", and the C1 controls U+0080 to U+009F (UTF-8 C2 80 to C2 9F) as
// "\xC2\xHH". Every other byte, invalid UTF-8 included, is kept.
void append_escaped(std::string& out, std::string_view name);
std::string escaped(std::string_view name);

// Why a file was not renamed, for a plan that is not kRename. `any_id3v2`
// tells whether the plan read the tags with the reader of every ID3v2
// version, so that a skip does not point to --any-id3v2 once given.
std::string plan_reason(const RenamePlan& plan, bool any_id3v2 = false);

// A system error (an errno value) in plain words: "target exists",
// "permission denied", "name too long", ...
std::string errno_reason(int error);

}  // namespace kestrune::cli
