#pragma once

// The command line's template language: the dialog's templates with more
// fields and with functions. A template that holds no call means what it
// means in the dialog (expand_template), apart from the empty folder parts
// dropped below; the dialog itself keeps expand_template.
//
// - Fields, %name% in any ASCII case: the dialog's six (title, track,
//   artist, album, year, comment, with their ID3v1 fallbacks), albumartist
//   (TPE2), disc (TPOS), genre (TCON with genre numbers resolved, else the
//   ID3v1 genre byte), composer (TCOM) and filename (the file's name before
//   the run, without ".mp3"). Another name yields nothing. At the top level
//   % signs pair up from left to right as in the dialog, except that a %
//   whose partner lies beyond the start of a call is a plain %.
// - Calls: `$`, a name (an ASCII letter, then letters and digits) and `(`,
//   e.g. $upper(%artist%); any other `$` is plain text. The arguments, split at
//   commas, are templates themselves. Inside them a field is %name% with no
//   `%`, `,`, `(`, `)`, `$` or `'` in the name (else the % is plain), text
//   between single quotes is plain (`''` anywhere stands for one quote), and
//   a parenthesis must be quoted.
// - Backslashes and slashes are plain text everywhere: they separate folders.
// - A folder part of the top level (the text between two separators written
//   there) that holds a field or a call and expands to nothing is dropped
//   with its separator: "%albumartist%\%album%\%title%" without an album
//   artist gives "Album\Title".
// - Tag text and the file name are flagged as tag text in `from_tag`, and so
//   is what a function makes of them; plain template text is not.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace kestrune {

// A template the language cannot read: where (1-based, in characters) and why.
struct TemplateError {
  std::size_t column = 0;
  std::string message;
};

// nullopt when `pattern` parses; otherwise its first error. Errors: a call not
// closed, an unknown function, the wrong number of arguments, a quote not
// closed, an unquoted "(" in the arguments, calls nested over 32 deep.
std::optional<TemplateError> check_template_script(std::string_view pattern);

// "column 7: $uper is not a function"
std::string describe_template_error(const TemplateError& error);

// The problems of a template that parses, each once, worded as
// template_warnings words them: "unknown field %Titel%" and "lone % kept as
// written: ...". Empty for a template that does not parse.
std::vector<std::string> template_script_warnings(std::string_view pattern);

// The %filename% of a file: the last part of `path` (after the last '/' or
// '\') without a final ".mp3" in any letter case.
std::string_view file_name_field(std::string_view path);

enum class ScriptResult {
  kExpanded,     // `new_name` holds the name
  kTooLong,      // longer than kMaxNewName (or an intermediate text over 64 KiB)
  kBadTemplate,  // check_template_script finds an error; `new_name` is empty
};

// Expands `pattern` for one file. `new_name` and `from_tag` (one flag per
// byte, true for tag text) as expand_template fills them; `file_name` is
// what %filename% gives, as file_name_field makes it.
ScriptResult expand_template_script(std::string_view pattern, const TagV1& tag_v1,
                                    const TagV2& tag_v2, std::string_view file_name,
                                    std::string& new_name, std::vector<bool>* from_tag = nullptr);

}  // namespace kestrune
