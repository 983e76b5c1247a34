#pragma once

// The settings file of kestrune-cli: the options a user gives every run,
// one long option a line, read before the command line, which overrides
// them.
//
//   # kestrune-cli.conf
//   portable
//   track-digits = 2
//   format = %artist%/%album%/%title%

#include <optional>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace kestrune::cli {

// Where the settings file is: $XDG_CONFIG_HOME/kestrune/kestrune-cli.conf
// (when that is an absolute path), else ~/.config/kestrune/kestrune-cli.conf;
// %APPDATA%\Kestrune\kestrune-cli.conf on Windows. Nothing when none of
// these is set.
std::optional<std::string> config_path();

// Applies the lines of a settings file to `options`. A line is blank, a
// comment starting with '#', or one long option without its "--": a flag
// alone ("portable"), an option with a value after '=' ("jobs = 4"), blanks
// around the name and the value ignored. Only the options that shape every
// run are taken (not --all, --journal, the undo and the list of runs, nor
// --help and --version). Answers an empty string, or "PATH:LINE: what is
// wrong" for the first bad line, `path` being the name to report.
std::string apply_config(Options& options, std::string_view text, std::string_view path);

// Whether the command line asks to leave the settings file alone: a
// "--no-config" before any "--".
bool wants_no_config(const std::vector<std::string>& arguments);

}  // namespace kestrune::cli
