#include "rename/template_script.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "rename/name_template.h"
#include "rename/text_case.h"
#include "tags/genres.h"

namespace kestrune {

namespace {

constexpr std::size_t kMaxDepth = 32;
// No text between two steps of an expansion grows beyond this: tag texts
// are a few KiB at most, and $replace could otherwise double them at each
// level of nesting.
constexpr std::size_t kMaxPiece = 65536;
constexpr std::size_t kAnyNumber = std::numeric_limits<std::size_t>::max();

enum class Function {
  kIf,
  kIf2,
  kUpper,
  kLower,
  kTitle,
  kLeft,
  kRight,
  kNum,
  kReplace,
  kTrim,
  kSwapPrefix,
  kInitial,
};

struct FunctionInfo {
  std::string_view name;
  Function function;
  std::size_t min_arguments;
  std::size_t max_arguments;
};

constexpr FunctionInfo kFunctions[] = {
    {"if", Function::kIf, 2, 3},
    {"if2", Function::kIf2, 2, kAnyNumber},
    {"upper", Function::kUpper, 1, 1},
    {"lower", Function::kLower, 1, 1},
    {"title", Function::kTitle, 1, 1},
    {"left", Function::kLeft, 2, 2},
    {"right", Function::kRight, 2, 2},
    {"num", Function::kNum, 2, 2},
    {"replace", Function::kReplace, 3, 3},
    {"trim", Function::kTrim, 1, 1},
    {"swapprefix", Function::kSwapPrefix, 1, kAnyNumber},
    {"initial", Function::kInitial, 1, 1},
};

enum class Field {
  kTitle,
  kTrack,
  kArtist,
  kAlbum,
  kYear,
  kComment,
  kAlbumArtist,
  kDisc,
  kGenre,
  kComposer,
  kFileName,
};

struct FieldName {
  std::string_view name;
  Field field;
};

constexpr FieldName kFields[] = {
    {"title", Field::kTitle},
    {"track", Field::kTrack},
    {"artist", Field::kArtist},
    {"album", Field::kAlbum},
    {"year", Field::kYear},
    {"comment", Field::kComment},
    {"albumartist", Field::kAlbumArtist},
    {"disc", Field::kDisc},
    {"genre", Field::kGenre},
    {"composer", Field::kComposer},
    {"filename", Field::kFileName},
};

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

struct Node;
using Nodes = std::vector<Node>;

struct Node {
  enum class Kind { kText, kField, kCall };
  Kind kind = Kind::kText;
  std::string text;                        // kText
  std::optional<Field> field;              // kField; nullopt for a name that is none
  const FunctionInfo* function = nullptr;  // kCall
  std::vector<Nodes> arguments;            // kCall
};

class Parser {
 public:
  explicit Parser(std::string_view pattern) : p_(pattern) {}

  // The whole template; false with `error` set when it does not parse.
  bool parse(Nodes& out) { return parse_nodes(out, 0); }

  std::optional<TemplateError> error;
  std::vector<std::string> warnings;

 private:
  bool fail(std::size_t at, std::string message) {
    std::size_t column = 1;
    for (std::size_t i = 0; i < at; ++i) {
      if ((static_cast<unsigned char>(p_[i]) & 0xC0) != 0x80) ++column;
    }
    error = TemplateError{column, std::move(message)};
    return false;
  }

  void warn(std::string warning) {
    if (std::find(warnings.begin(), warnings.end(), warning) == warnings.end()) {
      warnings.push_back(std::move(warning));
    }
  }

  // Whether a call starts at `at`: '$', a letter, letters and digits, '('.
  // `open` receives the position of the '('.
  bool call_starts(std::size_t at, std::size_t* open = nullptr) const {
    if (at + 2 >= p_.size() || p_[at] != '$' || !is_ascii_letter(p_[at + 1])) return false;
    std::size_t end = at + 2;
    while (end < p_.size() && (is_ascii_letter(p_[end]) || is_ascii_digit(p_[end]))) ++end;
    if (end == p_.size() || p_[end] != '(') return false;
    if (open != nullptr) *open = end;
    return true;
  }

  static void add_text(Nodes& out, std::string_view text) {
    if (out.empty() || out.back().kind != Node::Kind::kText) out.emplace_back();
    out.back().text.append(text);
  }

  void add_field(Nodes& out, std::string_view name) {
    Node node;
    node.kind = Node::Kind::kField;
    for (const FieldName& field : kFields) {
      if (equals_ignoring_ascii_case(name, field.name)) node.field = field.field;
    }
    if (!node.field) warn("unknown field %" + std::string(name) + "%");
    out.push_back(std::move(node));
  }

  void lone_percent(Nodes& out, std::size_t end) {
    warn("lone % kept as written: \"" + std::string(p_.substr(pos_, end - pos_)) + "\"");
    add_text(out, "%");
    ++pos_;
  }

  // Nodes up to the end of the template (depth 0) or of one argument of a
  // call at `depth`: the ',' or ')' after it, or the end of the template.
  bool parse_nodes(Nodes& out, std::size_t depth) {
    while (pos_ < p_.size()) {
      const char c = p_[pos_];
      std::size_t open = 0;
      if (c == '$' && call_starts(pos_, &open)) {
        if (!parse_call(out, open, depth + 1)) return false;
      } else if (c == '%' && depth == 0) {
        // The dialog's rule, unless a call starts before the next %.
        const std::size_t close = p_.find('%', pos_ + 1);
        std::size_t call = pos_ + 1;
        while (call < std::min(close, p_.size()) && !call_starts(call)) ++call;
        if (close == std::string_view::npos || call < close) {
          lone_percent(out, call);
        } else {
          add_field(out, p_.substr(pos_ + 1, close - pos_ - 1));
          pos_ = close + 1;
        }
      } else if (c == '%') {
        std::size_t close = pos_ + 1;
        while (close < p_.size() &&
               std::string_view("%,()$'").find(p_[close]) == std::string_view::npos) {
          ++close;
        }
        if (close < p_.size() && p_[close] == '%') {
          add_field(out, p_.substr(pos_ + 1, close - pos_ - 1));
          pos_ = close + 1;
        } else {
          lone_percent(out, close);
        }
      } else if (depth == 0) {
        const std::size_t end = std::min(p_.find_first_of("$%", pos_ + 1), p_.size());
        add_text(out, p_.substr(pos_, end - pos_));
        pos_ = end;
      } else if (c == ',' || c == ')') {
        return true;
      } else if (c == '(') {
        return fail(pos_, "a parenthesis in a call's arguments is written between quotes: '('");
      } else if (c == '\'') {
        if (!parse_quote(out)) return false;
      } else {
        const std::size_t end = std::min(p_.find_first_of("$%,()'", pos_ + 1), p_.size());
        add_text(out, p_.substr(pos_, end - pos_));
        pos_ = end;
      }
    }
    return true;
  }

  // Text between single quotes; "''" is one quote, in or out of them.
  bool parse_quote(Nodes& out) {
    if (p_.substr(pos_, 2) == "''") {
      add_text(out, "'");
      pos_ += 2;
      return true;
    }
    const std::size_t start = pos_++;
    for (;;) {
      if (pos_ >= p_.size()) return fail(start, "the quote is not closed");
      if (p_.substr(pos_, 2) == "''") {
        add_text(out, "'");
        pos_ += 2;
      } else if (p_[pos_] == '\'') {
        ++pos_;
        return true;
      } else {
        add_text(out, p_.substr(pos_++, 1));
      }
    }
  }

  bool parse_call(Nodes& out, std::size_t open, std::size_t depth) {
    const std::size_t start = pos_;
    const std::string name(p_.substr(start + 1, open - start - 1));
    if (depth > kMaxDepth) return fail(start, "calls are nested more than 32 deep");
    const FunctionInfo* function = nullptr;
    for (const FunctionInfo& info : kFunctions) {
      if (equals_ignoring_ascii_case(name, info.name)) function = &info;
    }
    if (function == nullptr) return fail(start, "$" + name + " is not a function");
    Node node;
    node.kind = Node::Kind::kCall;
    node.function = function;
    pos_ = open + 1;
    for (;;) {
      node.arguments.emplace_back();
      if (!parse_nodes(node.arguments.back(), depth)) return false;
      if (pos_ >= p_.size()) return fail(start, "$" + name + "( is not closed by a ')'");
      if (p_[pos_++] == ')') break;
    }
    const std::size_t count = node.arguments.size();
    if (count < function->min_arguments || count > function->max_arguments) {
      std::string wanted = std::to_string(function->min_arguments);
      if (function->max_arguments == kAnyNumber) {
        wanted = "at least " + wanted;
      } else if (function->max_arguments != function->min_arguments) {
        wanted += " or " + std::to_string(function->max_arguments);
      }
      return fail(start, "$" + name + " takes " + wanted +
                             (wanted == "1" ? " argument" : " arguments") + ", not " +
                             std::to_string(count));
    }
    out.push_back(std::move(node));
    return true;
  }

  std::string_view p_;
  std::size_t pos_ = 0;
};

// Text with one flag per byte, true for tag text.
struct Piece {
  std::string text;
  std::vector<bool> tag;

  void add(std::string_view more, bool is_tag) {
    text.append(more);
    tag.insert(tag.end(), more.size(), is_tag);
  }
  void add(const Piece& more, std::size_t begin = 0, std::size_t end = std::string::npos) {
    end = std::min(end, more.text.size());
    text.append(more.text, begin, end - begin);
    tag.insert(tag.end(), more.tag.begin() + static_cast<std::ptrdiff_t>(begin),
               more.tag.begin() + static_cast<std::ptrdiff_t>(end));
  }
  bool any_tag(std::size_t begin = 0, std::size_t end = std::string::npos) const {
    end = std::min(end, tag.size());
    return std::any_of(tag.begin() + static_cast<std::ptrdiff_t>(begin),
                       tag.begin() + static_cast<std::ptrdiff_t>(end), [](bool f) { return f; });
  }
};

// The byte offsets where the characters of `text` begin, and its size last.
std::vector<std::size_t> character_starts(std::string_view text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); i += utf8_char_at(text, i).size) starts.push_back(i);
  starts.push_back(text.size());
  return starts;
}

// A count written as an argument: decimal digits, spaces around them
// allowed; anything else counts as 0. Large counts stop at kMaxPiece.
std::size_t count_of(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return 0;
  const std::size_t last = text.find_last_not_of(' ');
  std::size_t count = 0;
  for (std::size_t i = first; i <= last; ++i) {
    if (!is_ascii_digit(text[i])) return 0;
    count = std::min(kMaxPiece, count * 10 + static_cast<std::size_t>(text[i] - '0'));
  }
  return count;
}

bool trailer_is_empty(const TagV1& tag) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&tag);
  return std::all_of(bytes, bytes + sizeof tag, [](unsigned char b) { return b == 0; });
}

class Expander {
 public:
  Expander(const TagV1& tag_v1, const TagV2& tag_v2, std::string_view file_name)
      : v1_(tag_v1), v2_(tag_v2), file_name_(file_name) {}

  bool overflow() const { return overflow_; }

  // The top level: folder parts that hold an expansion and come out empty
  // are dropped with the separator after them.
  Piece top(const Nodes& nodes) {
    Piece out;
    std::size_t part_start = 0;
    bool part_expanded = false;
    for (const Node& node : nodes) {
      if (node.kind != Node::Kind::kText) {
        out.add(expand(node));
        part_expanded = true;
      } else {
        const std::string_view text = node.text;
        for (std::size_t at = 0; at < text.size();) {
          const std::size_t separator = std::min(text.find_first_of("\\/", at), text.size());
          out.add(text.substr(at, separator - at), false);
          if (separator == text.size()) break;
          if (!part_expanded || out.text.size() != part_start) {
            out.add(text.substr(separator, 1), false);
            part_start = out.text.size();
          }
          part_expanded = false;
          at = separator + 1;
        }
      }
      if (bounded(out)) break;
    }
    return out;
  }

 private:
  // Marks an expansion grown too long; true when it has.
  bool bounded(const Piece& piece) {
    if (piece.text.size() > kMaxPiece) overflow_ = true;
    return overflow_;
  }

  // Once the expansion has grown too long, nothing more is worked out.
  Piece expand(const Nodes& nodes) {
    Piece out;
    for (const Node& node : nodes) {
      if (node.kind == Node::Kind::kText) {
        out.add(node.text, false);
      } else {
        out.add(expand(node));
      }
      if (bounded(out)) return Piece();
    }
    return out;
  }

  Piece expand(const Node& node) {
    if (overflow_) return Piece();
    if (node.kind == Node::Kind::kField) return node.field ? field(*node.field) : Piece();
    Piece out = call(*node.function, node.arguments);
    return bounded(out) ? Piece() : out;
  }

  Piece field(Field field) {
    Piece out;
    const auto v2_only = [&](const std::optional<std::string>& text) {
      if (text) out.add(*text, true);
    };
    switch (field) {
      case Field::kTitle:
        return dialog_field(v2_.title, "%title%");
      case Field::kTrack:
        return dialog_field(v2_.track, "%track%");
      case Field::kArtist:
        return dialog_field(v2_.artist, "%artist%");
      case Field::kAlbum:
        return dialog_field(v2_.album, "%album%");
      case Field::kYear:
        return dialog_field(v2_.year, "%year%");
      case Field::kComment:
        return dialog_field(v2_.comment, "%comment%");
      case Field::kAlbumArtist:
        v2_only(v2_.album_artist);
        break;
      case Field::kDisc:
        v2_only(v2_.disc);
        break;
      case Field::kComposer:
        v2_only(v2_.composer);
        break;
      case Field::kGenre:
        if (v2_.genre && !v2_.genre->empty()) {
          out.add(resolve_genre(*v2_.genre), true);
        } else if (!trailer_is_empty(v1_)) {
          out.add(id3v1_genre_name(v1_.genre), true);
        }
        break;
      case Field::kFileName:
        out.add(file_name_, true);
        break;
    }
    return out;
  }

  // The six fields of the dialog, exactly as its expansion gives them: the
  // ID3v2 text when there is one, else what the dialog makes of ID3v1.
  Piece dialog_field(const std::optional<std::string>& v2_text, std::string_view token) {
    Piece out;
    if (v2_text && !v2_text->empty()) {
      out.add(*v2_text, true);
      return out;
    }
    std::string text;
    expand_template(token, v1_, v2_, text);
    out.add(text, true);
    return out;
  }

  Piece call(const FunctionInfo& info, const std::vector<Nodes>& args) {
    switch (info.function) {
      case Function::kIf: {
        if (!expand(args[0]).text.empty()) return expand(args[1]);
        return args.size() > 2 ? expand(args[2]) : Piece();
      }
      case Function::kIf2:
        for (const Nodes& arg : args) {
          Piece value = expand(arg);
          if (!value.text.empty()) return value;
        }
        return Piece();
      case Function::kUpper:
        return map_case(expand(args[0]), upper_case);
      case Function::kLower:
        return map_case(expand(args[0]), lower_case);
      case Function::kTitle:
        return title(expand(args[0]));
      case Function::kLeft:
      case Function::kRight: {
        const Piece text = expand(args[0]);
        const std::size_t count = count_of(expand(args[1]).text);
        const std::vector<std::size_t> starts = character_starts(text.text);
        const std::size_t characters = starts.size() - 1;
        const std::size_t kept = std::min(count, characters);
        Piece out;
        if (info.function == Function::kLeft) {
          out.add(text, 0, starts[kept]);
        } else {
          out.add(text, starts[characters - kept]);
        }
        return out;
      }
      case Function::kNum:
        return number(expand(args[0]), count_of(expand(args[1]).text));
      case Function::kReplace:
        return replace(expand(args[0]), expand(args[1]), expand(args[2]));
      case Function::kTrim:
        return trim(expand(args[0]));
      case Function::kSwapPrefix: {
        const Piece text = expand(args[0]);
        if (args.size() == 1) {
          Piece the;
          the.add("The", false);
          Piece a;
          a.add("A", false);
          return swap_prefix(text, {the, a});
        }
        std::vector<Piece> prefixes;
        for (std::size_t i = 1; i < args.size(); ++i) prefixes.push_back(expand(args[i]));
        return swap_prefix(text, prefixes);
      }
      case Function::kInitial:
        return initial(expand(args[0]));
    }
    return Piece();
  }

  static Piece map_case(const Piece& text, char32_t (*map)(char32_t)) {
    Piece out;
    for (std::size_t i = 0; i < text.text.size();) {
      const Utf8Char c = utf8_char_at(text.text, i);
      if (c.valid) {
        std::string mapped;
        append_utf8(mapped, map(c.code));
        out.add(mapped, text.any_tag(i, i + c.size));
      } else {
        out.add(text, i, i + c.size);
      }
      i += c.size;
    }
    return out;
  }

  static Piece title(const Piece& text) {
    Piece out;
    bool in_word = false;
    for (std::size_t i = 0; i < text.text.size();) {
      const Utf8Char c = utf8_char_at(text.text, i);
      const bool word = c.valid && is_word_character(c.code);
      if (word && !in_word) {
        std::string mapped;
        append_utf8(mapped, upper_case(c.code));
        out.add(mapped, text.any_tag(i, i + c.size));
      } else {
        out.add(text, i, i + c.size);
      }
      // An apostrophe inside a word does not start a new one: "Don't".
      in_word = word || (in_word && c.valid && (c.code == '\'' || c.code == 0x2019));
      i += c.size;
    }
    return out;
  }

  static Piece number(const Piece& text, std::size_t digits) {
    std::size_t end = 0;
    while (end < text.text.size() && is_ascii_digit(text.text[end])) ++end;
    if (end == 0) return Piece();
    std::size_t first = 0;
    while (first + 1 < end && text.text[first] == '0') ++first;
    const bool is_tag = text.any_tag(0, end);
    Piece out;
    if (digits > end - first) out.add(std::string(digits - (end - first), '0'), is_tag);
    out.add(text.text.substr(first, end - first), is_tag);
    return out;
  }

  // A replacement counts as tag text where the text it replaces does.
  static Piece replace(const Piece& text, const Piece& from, const Piece& to) {
    if (from.text.empty()) return text;
    Piece out;
    std::size_t read = 0;
    for (std::size_t at = text.text.find(from.text); at != std::string::npos;
         at = text.text.find(from.text, read)) {
      out.add(text, read, at);
      const bool replaced_tag = text.any_tag(at, at + from.text.size());
      const std::size_t first = out.text.size();
      out.add(to);
      if (replaced_tag)
        std::fill(out.tag.begin() + static_cast<std::ptrdiff_t>(first), out.tag.end(), true);
      read = at + from.text.size();
      if (out.text.size() > kMaxPiece) return out;
    }
    out.add(text, read);
    return out;
  }

  static Piece trim(const Piece& text) {
    Piece out;
    for (std::size_t i = 0; i < text.text.size(); ++i) {
      if (text.text[i] == ' ' && (out.text.empty() || out.text.back() == ' ')) continue;
      out.add(text, i, i + 1);
    }
    if (!out.text.empty() && out.text.back() == ' ') {
      out.text.pop_back();
      out.tag.pop_back();
    }
    return out;
  }

  static Piece swap_prefix(const Piece& text, const std::vector<Piece>& prefixes) {
    for (const Piece& prefix : prefixes) {
      const std::size_t size = prefix.text.size();
      if (size == 0 || text.text.size() <= size + 1 || text.text[size] != ' ' ||
          !equals_ignoring_ascii_case(std::string_view(text.text).substr(0, size), prefix.text)) {
        continue;
      }
      const std::size_t rest = text.text.find_first_not_of(' ', size);
      if (rest == std::string::npos) continue;
      Piece out;
      out.add(text, rest);
      out.add(", ", text.any_tag());
      out.add(text, 0, size);
      return out;
    }
    return text;
  }

  static Piece initial(const Piece& text) {
    Piece out;
    for (std::size_t i = 0; i < text.text.size();) {
      const Utf8Char c = utf8_char_at(text.text, i);
      if (c.valid && is_word_character(c.code)) {
        std::string mapped;
        append_utf8(mapped, upper_case(c.code));
        out.add(mapped, text.any_tag(i, i + c.size));
        return out;
      }
      i += c.size;
    }
    out.add("#", text.any_tag());
    return out;
  }

  const TagV1& v1_;
  const TagV2& v2_;
  std::string_view file_name_;
  bool overflow_ = false;
};

}  // namespace

std::optional<TemplateError> check_template_script(std::string_view pattern) {
  Parser parser(pattern);
  Nodes nodes;
  parser.parse(nodes);
  return parser.error;
}

std::string describe_template_error(const TemplateError& error) {
  return "column " + std::to_string(error.column) + ": " + error.message;
}

std::vector<std::string> template_script_warnings(std::string_view pattern) {
  Parser parser(pattern);
  Nodes nodes;
  if (!parser.parse(nodes)) return {};
  return parser.warnings;
}

std::string_view file_name_field(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.size() >= 4 && equals_ignoring_ascii_case(name.substr(name.size() - 4), ".mp3")) {
    name.remove_suffix(4);
  }
  return name;
}

ScriptResult expand_template_script(std::string_view pattern, const TagV1& tag_v1,
                                    const TagV2& tag_v2, std::string_view file_name,
                                    std::string& new_name, std::vector<bool>* from_tag) {
  new_name.clear();
  if (from_tag != nullptr) from_tag->clear();
  // A run expands one template for every file: each thread keeps the last
  // one it parsed.
  struct Parsed {
    std::string pattern;
    Nodes nodes;
    bool valid = false;
  };
  thread_local Parsed parsed;
  if (!parsed.valid || parsed.pattern != pattern) {
    Parser parser(pattern);
    parsed.nodes.clear();
    parsed.valid = parser.parse(parsed.nodes);
    parsed.pattern = pattern;
    if (!parsed.valid) return ScriptResult::kBadTemplate;
  }
  Expander expander(tag_v1, tag_v2, file_name);
  Piece name = expander.top(parsed.nodes);
  new_name = std::move(name.text);
  if (from_tag != nullptr) *from_tag = std::move(name.tag);
  return expander.overflow() || new_name.size() > kMaxNewName ? ScriptResult::kTooLong
                                                              : ScriptResult::kExpanded;
}

}  // namespace kestrune
