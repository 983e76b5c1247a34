#include "cli/journal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/report.h"
#include "platform/platform.h"

namespace kestrune::cli {

namespace {

namespace fs = std::filesystem;

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

std::string join(std::string folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() != platform::kSeparator && folder.back() != '/') folder += platform::kSeparator;
  return folder + name;
}

// "2026-12-06T22-59-04Z" from a journal's file name, and its number in that
// second (1 for the first run).
std::pair<std::string, std::size_t> name_order(const std::string& path) {
  std::string stem = fs::path(path).filename().string();
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

namespace {

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

}  // namespace

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

std::optional<Journal> parse_journal(std::string_view bytes) {
  Journal journal;
  std::size_t start = 0;
  bool first = true;
  // Only whole lines count: one without its line break is a torn write.
  for (std::size_t end = bytes.find('\n'); end != std::string_view::npos;
       start = end + 1, end = bytes.find('\n', start)) {
    const std::string_view line = bytes.substr(start, end - start);
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
    } else if (kind == "rename" && fields.size() >= 4) {
      // Numbers run from 1 without gaps; anything else is not ours.
      if (parse_count(fields[1]) != journal.entries.size() + 1) continue;
      JournalEntry entry;
      std::optional<std::string> old_path = unescape_field(fields[2]);
      std::optional<std::string> new_path = unescape_field(fields[3]);
      if (!old_path || !new_path || old_path->empty() || new_path->empty()) continue;
      entry.old_path = std::move(*old_path);
      entry.new_path = std::move(*new_path);
      bool whole = true;
      for (std::size_t i = 4; i < fields.size(); ++i) {
        std::optional<std::string> folder = unescape_field(fields[i]);
        if (!folder || folder->empty()) whole = false;
        if (!whole) break;
        entry.made_folders.push_back(std::move(*folder));
      }
      if (whole) journal.entries.push_back(std::move(entry));
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

std::optional<Journal> read_journal(const std::string& path, int* error) {
  int ignored = 0;
  int& result = error != nullptr ? *error : ignored;
  const platform::FilePtr file = platform::open_regular_file(path, &result);
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes.append(buffer, got);
  if (std::ferror(file.get())) {
    result = EIO;
    return std::nullopt;
  }
  std::optional<Journal> journal = parse_journal(bytes);
  if (!journal) {
    result = EINVAL;
    return std::nullopt;
  }
  journal->path = path;
  result = 0;
  return journal;
}

// --- Where the journals live ------------------------------------------------

std::optional<std::string> runs_folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && platform::is_absolute_path(state)) {
    return join(join(state, "kestrune"), "runs");
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  return join(join(join(join(home, ".local"), "state"), "kestrune"), "runs");
}

std::vector<std::string> list_journals(const std::string& folder) {
  std::vector<std::string> paths;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::size_t ext = std::strlen(kJournalExtension);
    if (name.size() > ext && name.compare(name.size() - ext, ext, kJournalExtension) == 0 &&
        it->is_regular_file(error)) {
      paths.push_back(it->path().string());
    }
  }
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return name_order(a) < name_order(b);
  });
  return paths;
}

// --- Paths of a run ---------------------------------------------------------

std::string absolute_path(const std::string& path) {
  if (platform::is_absolute_path(path)) return path;
  return join(platform::current_directory().value_or(std::string()), path);
}

namespace {

// `path` made absolute against `folder`, the current directory, into `out`.
void absolute_into(std::string& out, const std::string& folder, const std::string& path) {
  out.clear();
  if (!platform::is_absolute_path(path) && !folder.empty()) {
    out.append(folder);
    if (out.back() != platform::kSeparator && out.back() != '/') out += platform::kSeparator;
  }
  out.append(path);
}

}  // namespace

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
  if (!error_.empty()) return;
  error_.assign(what).append(" ").append(escaped(path_)).append(": ");
  error_.append(error == EEXIST ? std::string("it exists already") : errno_reason(error));
}

bool JournalWriter::open() {
  std::FILE* file = nullptr;
  if (path_.empty() && runs_folder_.empty()) {
    error_ = "no folder for the journals: neither XDG_STATE_HOME nor HOME is set; "
             "give --journal FILE or --no-journal";
    return false;
  }
  if (runs_folder_.empty()) {
    // "x": never write over another file, least of all an older journal.
    file = std::fopen(path_.c_str(), "wbx");
    if (file == nullptr) {
      fail("cannot create the journal", errno);
      return false;
    }
  } else {
    std::error_code made;
    fs::create_directories(runs_folder_, made);
    for (std::size_t number = 1; file == nullptr; ++number) {
      path_ = join(runs_folder_, journal_name(started_, number));
      file = std::fopen(path_.c_str(), "wbx");
      if (file == nullptr && (errno != EEXIST || number >= 1000)) {
        fail("cannot create the journal", errno);
        return false;
      }
    }
  }
  file_.reset(file);
  // Room for the records of a whole group, written out with its commit.
  std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
  std::string head(kJournalHeader);
  head.append("\nstarted ").append(format_utc(started_));
  head.append("\nfolder ").append(escape_field(folder_)).append("\n");
  if (!write(head, Write::kSync)) return false;
  // The new name of the journal is on the disk only once its folder is.
  platform::sync_folder(fs::path(path_).parent_path().string());
  return true;
}

bool JournalWriter::write(std::string_view line, Write how) {
  if (failed()) return false;
  errno = 0;
  bool wrote = line.empty() || std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size();
  if (wrote && how == Write::kFlush) wrote = std::fflush(file_.get()) == 0;
  if (wrote && how == Write::kSync) wrote = platform::sync_file(file_.get());
  if (!wrote) {
    fail("cannot write the journal", errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

bool JournalWriter::record(const std::string& old_path, const std::string& new_path,
                           const std::vector<std::string>& made_folders) {
  if (failed()) return false;
  if (!file_ && !open()) return false;
  std::string& line = line_;
  line.assign("rename ").append(std::to_string(count_ + 1));
  line.append(" ");
  append_field(line, old_path);
  line.append(" ");
  append_field(line, new_path);
  for (const std::string& folder : made_folders) {
    line.append(" ");
    append_field(line, folder);
  }
  line.append("\n");
  // A record that lists folders is handed to the system at once, so that a
  // kill before the commit still leaves the record of the folders made. The
  // others wait for the commit: before it, nothing of theirs has moved.
  if (!write(line, made_folders.empty() ? Write::kBuffer : Write::kFlush)) return false;
  ++count_;
  return true;
}

bool JournalWriter::commit() {
  if (failed()) return false;
  if (!file_) return true;
  return write({}, Write::kSync);
}

bool JournalWriter::mark(std::size_t number, int rename_error) {
  if (failed()) return false;
  if (number == 0 || number > count_) return true;
  // Marks wait for the next commit: a lost "done" leaves the disk to tell
  // that the rename happened, a lost "failed" that it did not.
  std::string& line = line_;
  line.assign(rename_error == 0 ? "done " : "failed ").append(std::to_string(number));
  if (rename_error != 0) line.append(" ").append(std::to_string(rename_error));
  line.append("\n");
  return write(line, Write::kBuffer);
}

bool JournalWriter::close() {
  if (!file_) return !failed();
  const auto now = std::chrono::system_clock::now();
  const std::int64_t seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  std::string line("end ");
  line.append(format_utc(seconds)).append("\n");
  const bool wrote = write(line, Write::kSync);
  std::FILE* file = file_.release();
  if (std::fclose(file) != 0 && wrote) {
    fail("cannot write the journal", errno);
    return false;
  }
  return wrote;
}

bool JournalObserver::before_rename(const RenameStep& step, std::string& message) {
  // The run never changes its current directory.
  if (!current_) current_ = platform::current_directory().value_or(std::string());
  folders_.resize(step.created_folders.size());
  for (std::size_t i = 0; i < folders_.size(); ++i) {
    absolute_into(folders_[i], *current_, step.created_folders[i]);
  }
  absolute_into(old_path_, *current_, step.source);
  absolute_into(new_path_, *current_, step.target);
  if (writer_.record(old_path_, new_path_, folders_)) {
    ++recorded_;
    return true;
  }
  message = writer_.error();
  return false;
}

bool JournalObserver::commit(std::string& message) {
  // The files of the group are renamed in the order they were recorded.
  next_ = writer_.count() - recorded_ + 1;
  recorded_ = 0;
  if (writer_.commit()) return true;
  message = writer_.error();
  return false;
}

bool JournalObserver::after_rename(const RenameStep&, int error, std::string& message) {
  if (writer_.mark(next_++, error)) return true;
  message = writer_.error();
  return false;
}

int run_journaled(const Options& options, const std::string& format, Console& console) {
  if (options.dry_run || options.no_journal) return run_renames(options, format, console, nullptr);
  const std::int64_t started = std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
  const std::string folder = platform::current_directory().value_or(std::string());
  std::optional<std::string> runs;
  if (!options.journal) runs = runs_folder();
  JournalObserver observer(options.journal
                               ? JournalWriter::at_path(absolute_path(*options.journal), started, folder)
                               : JournalWriter::in_folder(runs.value_or(std::string()), started, folder));
  int status = run_renames(options, format, console, &observer);
  const bool failed_before = observer.writer().failed();
  if (!observer.writer().close() && !failed_before) {
    std::fflush(console.out);
    std::fprintf(console.err, "kestrune-cli: %s\n", observer.writer().error().c_str());
    status = kExitFailed;
  }
  return status;
}

bool JournalAppender::append(std::string_view line, bool sync) {
  if (!error_.empty()) return false;
  if (!file_) {
    // Cut off a line that a failed write left without its line break.
    std::error_code error;
    const std::string bytes = [&] {
      std::string content;
      if (std::FILE* in = std::fopen(path_.c_str(), "rb")) {
        char buffer[65536];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) content.append(buffer, got);
        std::fclose(in);
      }
      return content;
    }();
    const std::size_t last = bytes.rfind('\n');
    const std::size_t keep = last == std::string::npos ? 0 : last + 1;
    if (keep < bytes.size()) fs::resize_file(path_, keep, error);
    file_.reset(std::fopen(path_.c_str(), "ab"));
    if (!file_ || error) {
      error_ = "cannot write the journal " + escaped(path_) + ": " +
               errno_reason(error ? error.value() : errno);
      return false;
    }
  }
  errno = 0;
  const bool wrote = std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size();
  if (!wrote || (sync ? !platform::sync_file(file_.get()) : std::fflush(file_.get()) != 0)) {
    error_ = "cannot write the journal " + escaped(path_) + ": " + errno_reason(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

}  // namespace kestrune::cli
