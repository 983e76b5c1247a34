#pragma once

// The journal of one kestrune-cli run: what it renamed, written ahead of each
// rename so that a crash or a kill leaves a record of what happened, and what
// an undo of the run did.
//
// A journal is a text file of lines, one record each, fields separated by one
// space. Every byte below 0x21, the '%' and every byte from 0x7F up is written
// as '%' and two upper-case hex digits, so any name survives byte for byte:
//
//   kestrune-journal 1
//   started 2026-12-06T22:59:04Z
//   folder /home/ann/music
//   rename 1 /home/ann/music/a.mp3 /home/ann/music/Abba/Waterloo.mp3 /home/ann/music/Abba
//   done 1
//   rename 2 /home/ann/music/b%20c.mp3 /home/ann/music/Abba/SOS.mp3
//   failed 2 17
//   end 2026-12-06T22:59:05Z
//   undo 2026-12-07T08:00:00Z
//   back 1
//   undone 2026-12-07T08:00:00Z
//
// "rename N OLD NEW FOLDER..." is on the disk before file N is renamed;
// FOLDER... are the folders the rename makes, outermost first. The records
// of a group of files are written and synced together, then the group is
// renamed. "done N" or "failed N ERRNO" follows each rename and reaches the
// disk with the next group's sync. A "rename" without either was cut short:
// the disk tells whether it happened. "undo" is written before
// an undo moves anything back, "back N" after file N is back, "undone" when
// the undo has ended. Lines that are not understood are passed over.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_run.h"

namespace kestrune::cli {

inline constexpr char kJournalHeader[] = "kestrune-journal 1";
inline constexpr char kJournalExtension[] = ".journal";

// How the run left one file.
enum class EntryState {
  kPending,  // recorded, but no word on the rename: killed in between
  kDone,     // renamed
  kFailed,   // the rename failed; the file kept its name
};

struct JournalEntry {
  std::string old_path;  // absolute host paths
  std::string new_path;
  std::vector<std::string> made_folders;  // absolute, outermost first
  EntryState state = EntryState::kPending;
  int error = 0;        // errno value of a failed rename
  bool back = false;    // an undo moved it back to `old_path`
};

// A journal as read back.
struct Journal {
  std::string path;
  std::int64_t started = 0;  // seconds since 1970 (UTC)
  std::string folder;        // the run's current directory
  std::vector<JournalEntry> entries;  // in the order of the run
  bool ended = false;        // the run reached its end
  bool undo_started = false;
  bool undone = false;
  std::int64_t undone_at = 0;
};

// --- Encoding ---------------------------------------------------------------

// One field: bytes below 0x21, '%' and bytes from 0x7F up as "%XX".
std::string escape_field(std::string_view bytes);
// The reverse; nothing when a '%' is not followed by two hex digits.
std::optional<std::string> unescape_field(std::string_view field);

// "2026-12-06T22:59:04Z" for a time in seconds since 1970; and back, nothing
// when the text is not such a time.
std::string format_utc(std::int64_t seconds);
std::optional<std::int64_t> parse_utc(std::string_view text);

// Reads a journal's bytes. Nothing when the header line is missing. A last
// line without its line break was cut short by a failed write and is passed
// over, as are lines that are not understood.
std::optional<Journal> parse_journal(std::string_view bytes);

// Reads the journal at `path`; nothing with `*error` set to an errno value
// (or EINVAL for a file that is not a journal) when it cannot be read.
std::optional<Journal> read_journal(const std::string& path, int* error = nullptr);

// --- Where the journals live ------------------------------------------------

// The folder of the journals: "$XDG_STATE_HOME/kestrune/runs" when that
// variable holds an absolute path, else "$HOME/.local/state/kestrune/runs";
// nothing when neither is set. The folder may not exist yet.
std::optional<std::string> runs_folder();

// The journals of `folder`, oldest first (by the start time in their names,
// then by their number within that second). A missing folder lists nothing.
std::vector<std::string> list_journals(const std::string& folder);

// --- Paths of a run ---------------------------------------------------------

// `path` made absolute against the current directory, without touching the
// disk otherwise ("a/../b" stays as it is: a link may make it mean more).
std::string absolute_path(const std::string& path);

// --- Writing ----------------------------------------------------------------

// Writes the journal of one run. The file is created with the first record,
// so a run that renames nothing leaves no journal. Every call answers false
// once anything failed to reach the disk, and error() says what; the run must
// then stop before its next rename.
class JournalWriter {
 public:
  // A journal at `path`, which must not exist yet.
  static JournalWriter at_path(std::string path, std::int64_t started, std::string folder);
  // A new journal in `runs_folder` (made when missing), named after
  // `started`; a second run in the same second gets the next number. An
  // empty `runs_folder` fails at the first record.
  static JournalWriter in_folder(std::string runs_folder, std::int64_t started,
                                 std::string folder);

  JournalWriter(JournalWriter&&) = default;
  JournalWriter& operator=(JournalWriter&&) = default;
  ~JournalWriter();

  // Records a rename before it happens, as record number count() + 1,
  // handed to the system but not yet synced.
  bool record(const std::string& old_path, const std::string& new_path,
              const std::vector<std::string>& made_folders);
  // Puts everything written so far on the disk: the renames recorded may
  // then happen.
  bool commit();
  // Records how rename `number` went: 0 for done, else its errno. Kept in
  // the buffer until the next commit or close.
  bool mark(std::size_t number, int rename_error);
  // Writes the end of the run and closes the file. Nothing to do when no
  // record was written.
  bool close();

  // The journal's path, once the file exists (or always with at_path).
  const std::string& path() const { return path_; }
  // What failed, in plain words, naming the journal.
  const std::string& error() const { return error_; }
  bool failed() const { return !error_.empty(); }
  std::size_t count() const { return count_; }

 private:
  JournalWriter() = default;
  bool open();
  enum class Write { kBuffer, kFlush, kSync };
  bool write(std::string_view line, Write how);
  void fail(const char* what, int error);

  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::string runs_folder_;  // empty when the path was given
  std::string path_;
  std::int64_t started_ = 0;
  std::string folder_;
  std::string error_;
  std::size_t count_ = 0;
  std::string line_;  // reused for each record
};

// Appends lines to an existing journal (the marks of an undo), each handed
// to the system before the call returns and, with `sync`, put on the disk. A
// line left half-written by a failed write of the run is cut off first, so
// that it cannot join the new lines.
class JournalAppender {
 public:
  explicit JournalAppender(std::string path) : path_(std::move(path)) {}
  bool append(std::string_view line, bool sync = true);
  const std::string& error() const { return error_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::string path_;
  std::string error_;
};

// How many files a run records before one sync puts their records on the
// disk and they are renamed.
inline constexpr std::size_t kJournalGroup = 256;

// The journal as the run loop sees it: the renames of a group recorded, one
// sync, then each rename marked after it happens; the run stopped when the
// journal fails.
class JournalObserver : public RunObserver {
 public:
  explicit JournalObserver(JournalWriter writer, std::size_t group = kJournalGroup)
      : writer_(std::move(writer)), group_(group == 0 ? 1 : group) {}
  std::size_t group_size() const override { return group_; }
  bool before_rename(const RenameStep& step, std::string& message) override;
  bool commit(std::string& message) override;
  bool after_rename(const RenameStep& step, int error, std::string& message) override;
  JournalWriter& writer() { return writer_; }

 private:
  JournalWriter writer_;
  std::size_t group_;
  std::size_t recorded_ = 0;  // records of the group not yet committed
  std::size_t next_ = 0;      // the number of the next file to be renamed
  // Reused for each file: its paths made absolute.
  std::string old_path_;
  std::string new_path_;
  std::vector<std::string> folders_;
  std::optional<std::string> current_;  // the current directory
};

// A rename run as `options` ask for it, with its journal: none in a dry run
// or with --no-journal, the file of --journal, or else a new one in
// runs_folder(). A journal that cannot be written stops the run before its
// next rename. Answers the exit status, as run_renames does.
int run_journaled(const Options& options, const std::string& format, Console& console);

}  // namespace kestrune::cli
