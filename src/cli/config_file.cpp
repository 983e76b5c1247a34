#include "cli/config_file.h"

#include <algorithm>
#include <cstdlib>

#include "platform/platform.h"

namespace kestrune::cli {

namespace {

// The options that belong to one run or are an action of their own.
constexpr std::string_view kCommandLineOnly[] = {"all",       "journal", "undo",   "undo-last",
                                                 "list-runs", "help",    "version", "no-config"};

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

const OptionRow* find_row(std::string_view name) {
  for (const OptionRow& row : option_table()) {
    if (row.long_name == name) return &row;
  }
  return nullptr;
}

// The error of one line, or an empty string.
std::string apply_line(Options& options, std::string_view line) {
  const std::size_t equals = line.find('=');
  const std::string_view name = trimmed(line.substr(0, equals));
  const OptionRow* row = find_row(name);
  if (row == nullptr) return "unknown option \"" + std::string(name) + "\"";
  const std::string dashed = "--" + std::string(name);
  if (std::find(std::begin(kCommandLineOnly), std::end(kCommandLineOnly), name) !=
      std::end(kCommandLineOnly)) {
    return dashed + " belongs on the command line";
  }
  if (row->value_name.empty()) {
    if (equals != std::string_view::npos) return dashed + " takes no value";
    return row->apply(options, {});
  }
  if (equals == std::string_view::npos) return dashed + " needs a " + std::string(row->value_name);
  return row->apply(options, trimmed(line.substr(equals + 1)));
}

}  // namespace

std::optional<std::string> config_path() {
#ifdef _WIN32
  const char* appdata = std::getenv("APPDATA");
  if (appdata == nullptr || *appdata == '\0') return std::nullopt;
  return platform::join_path(appdata, "Kestrune\\kestrune-cli.conf");
#else
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') {
    return platform::join_path(config, "kestrune/kestrune-cli.conf");
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  return platform::join_path(home, ".config/kestrune/kestrune-cli.conf");
#endif
}

std::string apply_config(Options& options, std::string_view text, std::string_view path) {
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    const std::string error = apply_line(options, line);
    if (!error.empty()) return std::string(path) + ":" + std::to_string(number) + ": " + error;
  }
  return {};
}

bool wants_no_config(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--") return false;
    if (argument == "--no-config") return true;
  }
  return false;
}

}  // namespace kestrune::cli
