#include "runs/journal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace kestrune::runs {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

std::optional<std::size_t> parse_count(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}

// The entry that "done N" and the like speak of; entries are numbered from 1.
JournalEntry* entry_at(Journal& journal, std::string_view number) {
  const std::optional<std::size_t> n = parse_count(number);
  if (!n || *n == 0 || *n > journal.entries.size()) return nullptr;
  return &journal.entries[*n - 1];
}

// "2026-12-06T22-59-04Z" from a journal's file name, and its number in that
// second (1 for the first run).
std::pair<std::string, std::size_t> name_order(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string stem = slash == std::string::npos ? path : path.substr(slash + 1);
  stem.resize(stem.size() - std::strlen(kJournalExtension));
  const std::size_t underscore = stem.find('_');
  if (underscore == std::string::npos) return {stem, 1};
  const std::optional<std::size_t> number = parse_count(std::string_view(stem).substr(underscore + 1));
  return {stem.substr(0, underscore), number.value_or(0)};
}

std::string journal_name(std::int64_t started, std::size_t number) {
  // Colons are kept out of the name: some file systems refuse them.
  std::string name = format_utc(started);
  std::replace(name.begin(), name.end(), ':', '-');
  if (number > 1) name.append("_").append(std::to_string(number));
  return name.append(kJournalExtension);
}

}  // namespace

// --- Encoding ---------------------------------------------------------------

void append_field(std::string& out, std::string_view bytes) {
  std::size_t plain = 0;  // bytes kept as they are, not yet appended
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x21 && b != '%' && b < 0x7F) continue;
    out.append(bytes.substr(plain, i - plain));
    const char escape[3] = {'%', kHex[b >> 4], kHex[b & 0x0F]};
    out.append(escape, sizeof escape);
    plain = i + 1;
  }
  out.append(bytes.substr(plain));
}

std::string escape_field(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_field(out, bytes);
  return out;
}

std::optional<std::string> unescape_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out += field[i];
      continue;
    }
    if (field.size() - i < 3) return std::nullopt;
    const int high = hex_value(field[i + 1]);
    const int low = hex_value(field[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return out;
}

std::string format_utc(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds time{std::chrono::seconds(seconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss<std::chrono::seconds> clock(time - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::optional<std::int64_t> parse_utc(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) {
    return parse_count(text.substr(at, length));
  };
  const auto y = number(0, 4), mo = number(5, 2), d = number(8, 2);
  const auto h = number(11, 2), mi = number(14, 2), s = number(17, 2);
  if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 60) return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{year(static_cast<int>(*y)), month(static_cast<unsigned>(*mo)),
                            day(static_cast<unsigned>(*d))};
  if (!date.ok()) return std::nullopt;
  const sys_seconds time = sys_days(date) + hours(*h) + minutes(*mi) + seconds(*s);
  return time.time_since_epoch().count();
}

std::int64_t now_utc() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Journal::text(Field field) const {
  return unescape_field(std::string_view(bytes).substr(field.at, field.size)).value_or(std::string());
}

std::optional<Journal> parse_journal(std::string bytes) {
  Journal journal;
  journal.bytes = std::move(bytes);
  const std::string_view all(journal.bytes);
  // Counted first, so that a large journal is held without spare room.
  const auto count = [&](std::string_view kind) {
    std::size_t n = 0;
    for (std::size_t at = all.find(kind); at != std::string_view::npos; at = all.find(kind, at + 1)) ++n;
    return n;
  };
  journal.entries.reserve(count("\nrename "));
  journal.made_folders.reserve(count("\nmkdir "));
  // A field checks out when it is not empty and unescapes.
  auto field = [&](std::string_view text, Field& out) {
    out = {static_cast<std::size_t>(text.data() - all.data()), text.size()};
    return !text.empty() && unescape_field(text).has_value();
  };
  std::size_t start = 0;
  bool first = true;
  // Only whole lines count: one without its line break is a torn write.
  for (std::size_t end = all.find('\n'); end != std::string_view::npos;
       start = end + 1, end = all.find('\n', start)) {
    const std::string_view line = all.substr(start, end - start);
    journal.whole_size = end + 1;
    if (first) {
      if (line != kJournalHeader) return std::nullopt;
      first = false;
      continue;
    }
    const std::vector<std::string_view> fields = split_fields(line);
    const std::string_view kind = fields[0];
    if (kind == "started" && fields.size() == 2) {
      journal.started = parse_utc(fields[1]).value_or(0);
    } else if (kind == "folder" && fields.size() == 2) {
      journal.folder = unescape_field(fields[1]).value_or(std::string());
    } else if (kind == "rename" && fields.size() == 4) {
      // Numbers run from 1 without gaps; anything else is not ours.
      if (parse_count(fields[1]) != journal.entries.size() + 1) continue;
      JournalEntry entry;
      if (field(fields[2], entry.old_path) && field(fields[3], entry.new_path)) {
        journal.entries.push_back(entry);
      }
    } else if (kind == "mkdir" && fields.size() == 2) {
      Field folder;
      if (field(fields[1], folder)) journal.made_folders.push_back(folder);
    } else if (kind == "done" && fields.size() == 2) {
      if (JournalEntry* entry = entry_at(journal, fields[1])) entry->state = EntryState::kDone;
    } else if (kind == "failed" && fields.size() == 3) {
      if (JournalEntry* entry = entry_at(journal, fields[1])) {
        entry->state = EntryState::kFailed;
        entry->error = static_cast<int>(parse_count(fields[2]).value_or(0));
      }
    } else if (kind == "end") {
      journal.ended = true;
    } else if (kind == "undo") {
      journal.undo_started = true;
    } else if (kind == "back" && fields.size() == 2) {
      if (JournalEntry* entry = entry_at(journal, fields[1])) entry->back = true;
    } else if (kind == "undone" && fields.size() == 2) {
      journal.undone = true;
      journal.undone_at = parse_utc(fields[1]).value_or(0);
    }
  }
  if (first) return std::nullopt;
  return journal;
}

std::optional<Journal> read_journal(const std::string& path, JournalProblem* problem,
                                    bool for_undo) {
  JournalProblem ignored;
  JournalProblem& result = problem != nullptr ? *problem : ignored;
  result = {};
  if (for_undo) {
    const platform::EntryInfo info = platform::entry_info(path);
    if (info.kind == platform::EntryType::kLink || info.kind == platform::EntryType::kOther) {
      result = {JournalProblem::kUnreadable, EINVAL};
      return std::nullopt;
    }
    if (info.kind == platform::EntryType::kFile && !info.owned_by_user) {
      result.kind = JournalProblem::kNotOwned;
      return std::nullopt;
    }
    if (info.kind == platform::EntryType::kFile && info.writable_by_others) {
      result.kind = JournalProblem::kWritableByOthers;
      return std::nullopt;
    }
  }
  std::string bytes;
  result.error = platform::read_file(path, bytes);
  if (result.error != 0) {
    result.kind = JournalProblem::kUnreadable;
    return std::nullopt;
  }
  std::optional<Journal> journal = parse_journal(std::move(bytes));
  if (!journal) {
    result.kind = JournalProblem::kNotAJournal;
    return std::nullopt;
  }
  journal->path = path;
  return journal;
}

// --- Where the journals live ------------------------------------------------

std::optional<std::string> runs_folder() {
  const std::optional<std::string> state = platform::state_folder();
  if (!state) return std::nullopt;
  return platform::join_path(*state, "runs");
}

std::vector<std::string> list_journals(const std::string& folder) {
  std::vector<std::string> paths;
  const std::size_t ext = std::strlen(kJournalExtension);
  for (const std::string& name : platform::list_folder(folder)) {
    if (name.size() > ext && name.compare(name.size() - ext, ext, kJournalExtension) == 0) {
      paths.push_back(platform::join_path(folder, name));
    }
  }
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return name_order(a) < name_order(b);
  });
  return paths;
}

// --- Writing ----------------------------------------------------------------

JournalWriter JournalWriter::at_path(std::string path, std::int64_t started, std::string folder) {
  JournalWriter writer;
  writer.path_ = std::move(path);
  writer.started_ = started;
  writer.folder_ = std::move(folder);
  return writer;
}

JournalWriter JournalWriter::in_folder(std::string runs_folder, std::int64_t started,
                                       std::string folder) {
  JournalWriter writer;
  writer.runs_folder_ = std::move(runs_folder);
  writer.started_ = started;
  writer.folder_ = std::move(folder);
  return writer;
}

JournalWriter::~JournalWriter() {
  if (file_ && !failed()) close();
}

void JournalWriter::fail(const char* what, int error) {
  if (failed()) return;
  error_ = {what, path_, error != 0 ? error : EIO};
}

bool JournalWriter::open() {
  int error = 0;
  if (runs_folder_.empty() && path_.empty()) {
    fail("cannot create the journal", ENOENT);
    return false;
  }
  if (runs_folder_.empty()) {
    file_ = platform::create_new_file(path_, &error);
  } else {
    error = platform::create_private_folders(runs_folder_);
    for (std::size_t number = 1; error == 0 && !file_; ++number) {
      path_ = platform::join_path(runs_folder_, journal_name(started_, number));
      file_ = platform::create_new_file(path_, &error);
      if (error == EEXIST && number < 1000) error = 0;
    }
  }
  if (!file_) {
    fail("cannot create the journal", error);
    return false;
  }
  // Room for the records of a whole group, written out with its commit.
  std::setvbuf(file_.get(), nullptr, _IOFBF, 1 << 16);
  std::string head(kJournalHeader);
  head.append("\nstarted ").append(format_utc(started_));
  head.append("\nfolder ").append(escape_field(folder_)).append("\n");
  if (!write(head, true)) return false;
  // The journal's name is on the disk only once its folder is.
  const std::size_t slash = path_.find_last_of("/\\");
  platform::sync_folder(slash == std::string::npos ? std::string() : path_.substr(0, slash + 1));
  return true;
}

bool JournalWriter::write(std::string_view line, bool sync) {
  if (failed()) return false;
  if (!platform::write_to(file_.get(), line, false, sync)) {
    fail("cannot write the journal", errno);
    return false;
  }
  return true;
}

bool JournalWriter::record(std::string_view old_path, std::string_view new_path) {
  if (failed() || (!file_ && !open())) return false;
  line_.assign("rename ").append(std::to_string(count_ + 1)).append(" ");
  append_field(line_, old_path);
  line_.append(" ");
  append_field(line_, new_path);
  line_.append("\n");
  if (!write(line_, false)) return false;
  ++count_;
  return true;
}

bool JournalWriter::record_folder(std::string_view folder, bool sync) {
  if (failed() || (!file_ && !open())) return false;
  line_.assign("mkdir ");
  append_field(line_, folder);
  line_.append("\n");
  return write(line_, sync);
}

bool JournalWriter::commit() {
  if (failed()) return false;
  return !file_ || write({}, true);
}

bool JournalWriter::mark(std::size_t number, int rename_error) {
  if (failed()) return false;
  if (number == 0 || number > count_) return true;
  // Marks wait for the next sync: a lost "done" leaves the disk to tell
  // that the rename happened, a lost "failed" that it did not.
  line_.assign(rename_error == 0 ? "done " : "failed ").append(std::to_string(number));
  if (rename_error != 0) line_.append(" ").append(std::to_string(rename_error));
  line_.append("\n");
  return write(line_, false);
}

bool JournalWriter::close() {
  if (!file_) return !failed();
  const bool wrote = write("end " + format_utc(now_utc()) + "\n", true);
  if (!platform::close_file(std::move(file_)) && wrote) {
    fail("cannot write the journal", errno);
    return false;
  }
  return wrote;
}

bool JournalAppender::append(std::string_view line, bool sync, bool flush) {
  if (error_.failed()) return false;
  int error = 0;
  if (!file_) file_ = platform::open_for_append(path_, whole_size_, &error);
  if (file_) {
    if (platform::write_to(file_.get(), line, flush, sync)) return true;
    error = errno;
  }
  error_ = {"cannot write the journal", path_, error != 0 ? error : EIO};
  return false;
}

}  // namespace kestrune::runs
