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
  const std::optional<std::size_t> number =
      parse_count(std::string_view(stem).substr(underscore + 1));
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

namespace {

// Reads a journal line by line into a Journal, as each_line() hands them
// over: each line with its offset in the journal, so that fields are found
// there again.
class JournalParser {
 public:
  explicit JournalParser(Journal& journal) : journal_(journal) {}

  // False after a first line that is not the header: not a journal.
  bool operator()(std::string_view line, std::size_t offset);
  // Whether the first line was whole and the header.
  bool is_journal() const { return header_; }

 private:
  // A field checks out when it is not empty and unescapes.
  bool field(std::string_view text, std::string_view line, std::size_t offset, Field& out) {
    out = {offset + static_cast<std::size_t>(text.data() - line.data()), text.size()};
    return !text.empty() && unescape_field(text).has_value();
  }

  Journal& journal_;
  bool first_ = true;
  bool header_ = false;
};

bool JournalParser::operator()(std::string_view line, std::size_t offset) {
  journal_.whole_size = offset + line.size() + 1;
  if (first_) {
    first_ = false;
    header_ = line == kJournalHeader;
    return header_;
  }
  const std::vector<std::string_view> fields = split_fields(line);
  const std::string_view kind = fields[0];
  if (kind == "started" && fields.size() == 2) {
    journal_.started = parse_utc(fields[1]).value_or(0);
  } else if (kind == "folder" && fields.size() == 2) {
    journal_.folder = unescape_field(fields[1]).value_or(std::string());
  } else if (kind == "rename" && fields.size() == 4) {
    // Numbers run from 1 without gaps; anything else is not ours.
    if (parse_count(fields[1]) != journal_.entries.size() + 1) return true;
    JournalEntry entry;
    if (field(fields[2], line, offset, entry.old_path) &&
        field(fields[3], line, offset, entry.new_path)) {
      journal_.entries.push_back(entry);
    }
  } else if (kind == "mkdir" && fields.size() == 2) {
    Field folder;
    if (field(fields[1], line, offset, folder)) journal_.made_folders.push_back(folder);
  } else if (kind == "second" && fields.size() == 2) {
    if (JournalEntry* entry = entry_at(journal_, fields[1])) entry->second_name = true;
  } else if (kind == "done" && fields.size() == 2) {
    if (JournalEntry* entry = entry_at(journal_, fields[1])) entry->state = EntryState::kDone;
  } else if (kind == "failed" && fields.size() == 3) {
    if (JournalEntry* entry = entry_at(journal_, fields[1])) {
      entry->state = EntryState::kFailed;
      entry->error = static_cast<int>(parse_count(fields[2]).value_or(0));
    }
  } else if (kind == "end") {
    journal_.ended = true;
  } else if (kind == "undo") {
    journal_.undo_started = true;
  } else if (kind == "back" && fields.size() == 2) {
    if (JournalEntry* entry = entry_at(journal_, fields[1])) entry->back = true;
  } else if (kind == "undone" && fields.size() == 2) {
    journal_.undone = true;
    journal_.undone_at = parse_utc(fields[1]).value_or(0);
  }
  return true;
}

// Calls `line(text, offset)` for each whole line of `text`, which starts at
// `offset` of the journal, until it answers false or a line is longer than
// kMaxJournalLine; answers how many bytes the whole lines took. A last line
// without its line break is a torn write and is left over.
template <class Line>
std::size_t each_line(std::string_view text, std::size_t offset, bool& go_on, Line&& line) {
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); go_on && end != std::string_view::npos;
       start = end + 1, end = text.find('\n', start)) {
    go_on = end - start <= kMaxJournalLine &&
            line(text.substr(start, end - start), offset + start);
  }
  return start;
}

// Calls `line(text, offset)` for each whole line of the open journal `file`,
// read in pieces, until it answers false or a line runs longer than
// kMaxJournalLine, which is torn there. False when reading failed.
template <class Line>
bool each_line(platform::FileReader& file, Line&& line) {
  constexpr std::size_t kPiece = 256 * 1024;
  std::string buffer;  // a line torn by the piece's end, then the next piece
  std::size_t buffer_at = 0;
  bool go_on = true;
  while (go_on && buffer_at + buffer.size() < file.size()) {
    const std::size_t kept = buffer.size();
    const std::size_t next = buffer_at + kept;
    buffer.resize(kept + static_cast<std::size_t>(
                             std::min<std::uint64_t>(kPiece, file.size() - next)));
    buffer.resize(kept + file.read_at(next, buffer.data() + kept, buffer.size() - kept));
    if (file.failed()) return false;
    if (buffer.size() == kept) break;  // cut since it was opened
    const std::size_t used = each_line(buffer, buffer_at, go_on, line);
    buffer.erase(0, used);
    buffer_at += used;
    // The rest of a line is kept and searched again with the next piece: a
    // bound on it bounds the memory and the time of any file.
    if (buffer.size() > kMaxJournalLine) break;
  }
  return true;
}

// How many "rename" and "mkdir" lines there are, at most: the journal's
// entries are reserved from it, so that a large one is held without spare
// room.
struct LineCounts {
  std::size_t renames = 0;
  std::size_t folders = 0;
  bool operator()(std::string_view line, std::size_t) {
    if (line.substr(0, 7) == "rename ") ++renames;
    if (line.substr(0, 6) == "mkdir ") ++folders;
    return true;
  }
};

}  // namespace

// The open file of a journal read back, and the window of it last read.
class JournalFile {
 public:
  platform::JournalLock undo_lock;  // held for an undo
  platform::FileReader reader;

  // The escaped text of `field`; empty when it cannot be read.
  std::string_view view(Field field) {
    const std::size_t end = field.at + field.size;
    if (field.at < window_at_ || end > window_at_ + window_.size()) {
      // Asked for a field before the window (the undo goes backwards), the
      // new window ends with the field; otherwise it starts with it.
      std::size_t from = field.at;
      if (field.at < window_at_) from = std::min(field.at, end > kWindow ? end - kWindow : 0);
      window_.resize(std::max(end - from, kWindow));
      window_.resize(reader.read_at(from, window_.data(), window_.size()));
      window_at_ = from;
      if (window_.size() < end - from) return {};
    }
    return std::string_view(window_).substr(field.at - window_at_, field.size);
  }

 private:
  static constexpr std::size_t kWindow = 64 * 1024;
  std::string window_;
  std::size_t window_at_ = 0;
};

std::string Journal::text(Field field) const {
  const std::string_view escaped =
      file ? file->view(field)
           : std::string_view(bytes).substr(std::min(field.at, bytes.size()), field.size);
  return unescape_field(escaped).value_or(std::string());
}

std::optional<Journal> parse_journal(std::string bytes) {
  Journal journal;
  journal.bytes = std::move(bytes);
  LineCounts counts;
  bool go_on = true;
  each_line(journal.bytes, 0, go_on, counts);
  journal.entries.reserve(counts.renames);
  journal.made_folders.reserve(counts.folders);
  JournalParser parser(journal);
  each_line(journal.bytes, 0, go_on, parser);
  if (!parser.is_journal()) return std::nullopt;
  return journal;
}

std::optional<Journal> read_journal(const std::string& path, JournalProblem* problem,
                                    bool for_undo) {
  JournalProblem ignored;
  JournalProblem& result = problem != nullptr ? *problem : ignored;
  result = {};
  Journal journal;
  journal.file = std::make_shared<JournalFile>();
  if (for_undo) {
    result.error = journal.file->undo_lock.take(path);
    if (result.error == EBUSY) {
      result = {JournalProblem::kRunGoing, 0};
      return std::nullopt;
    }
  }
  platform::FileReader& file = journal.file->reader;
  if (for_undo) {
    // Judged on the file opened, never through a link: a file put in the
    // journal's place after a look at the name is not the one trusted.
    platform::EntryInfo info;
    if (result.error == 0) result.error = file.open_no_follow(path, &info);
    if (result.error == 0 && !info.owned_by_user) {
      result.kind = JournalProblem::kNotOwned;
      return std::nullopt;
    }
    if (result.error == 0 && info.writable_by_others) {
      result.kind = JournalProblem::kWritableByOthers;
      return std::nullopt;
    }
  } else {
    result.error = file.open(path);
  }
  LineCounts counts;
  if (result.error == 0 && !each_line(file, counts)) result.error = EIO;
  journal.entries.reserve(counts.renames);
  journal.made_folders.reserve(counts.folders);
  JournalParser parser(journal);
  if (result.error == 0 && !each_line(file, parser)) result.error = EIO;
  if (result.error != 0) {
    result.kind = JournalProblem::kUnreadable;
    return std::nullopt;
  }
  if (!parser.is_journal()) {
    result.kind = JournalProblem::kNotAJournal;
    return std::nullopt;
  }
  journal.path = path;
  journal.running = !for_undo && !journal.ended && platform::journal_in_use(path);
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
  std::string head(kJournalHeader);
  head.append("\nstarted ").append(format_utc(started_));
  head.append("\nfolder ").append(escape_field(folder_)).append("\n");
  if (head.size() > kMaxJournalLine) {
    fail("cannot create the journal", ENAMETOOLONG);
    return false;
  }
  if (runs_folder_.empty()) {
    file_ = platform::create_journal(path_, head, &error);
  } else {
    error = platform::create_private_folders(runs_folder_);
    for (std::size_t number = 1; error == 0 && !file_; ++number) {
      path_ = platform::join_path(runs_folder_, journal_name(started_, number));
      file_ = platform::create_journal(path_, head, &error);
      if (error == EEXIST && number < 1000) error = 0;
    }
  }
  if (!file_) {
    fail("cannot create the journal", error);
    return false;
  }
  // The records of a whole group and the marks of the one before wait in
  // pending_ and go to the system with its commit in one call.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  // The journal's name is on the disk only once its folder is.
  const std::size_t slash = path_.find_last_of("/\\");
  platform::sync_folder(slash == std::string::npos ? std::string() : path_.substr(0, slash + 1));
  return true;
}

bool JournalWriter::write(std::string_view line, bool sync) {
  if (failed()) return false;
  pending_.append(line);
  if (!sync) return true;
  if (!platform::write_to(file_.get(), pending_, true, true)) {
    fail("cannot write the journal", errno);
    return false;
  }
  pending_.clear();
  return true;
}

bool JournalWriter::record(std::string_view old_path, std::string_view new_path) {
  if (failed() || (!file_ && !open())) return false;
  line_.assign("rename ").append(std::to_string(count_ + 1)).append(" ");
  append_field(line_, old_path);
  line_.append(" ");
  append_field(line_, new_path);
  line_.append("\n");
  if (line_.size() > kMaxJournalLine) {
    fail("cannot write the journal", ENAMETOOLONG);
    return false;
  }
  if (!write(line_, false)) return false;
  ++count_;
  return true;
}

bool JournalWriter::record_folder(std::string_view folder, bool sync) {
  if (failed() || (!file_ && !open())) return false;
  line_.assign("mkdir ");
  append_field(line_, folder);
  line_.append("\n");
  if (line_.size() > kMaxJournalLine) {
    fail("cannot write the journal", ENAMETOOLONG);
    return false;
  }
  return write(line_, sync);
}

bool JournalWriter::commit() {
  if (failed()) return false;
  return !file_ || write({}, true);
}

bool JournalWriter::record_second_name(std::size_t number) {
  if (failed()) return false;
  line_.assign("second ").append(std::to_string(number)).append("\n");
  return write(line_, true);
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
