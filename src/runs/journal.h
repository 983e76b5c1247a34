#pragma once

// The journal of one rename run, the command line's or the dialog's: what it
// renamed and which folders it made, each written before it happens, so that
// a crash or a kill leaves nothing the journal does not know; and what an
// undo of the run did.
//
// A journal is a text file of lines, one record each, fields separated by one
// space. Every byte below 0x21, the '%' and every byte from 0x7F up is written
// as '%' and two upper-case hex digits, so any name survives byte for byte:
//
//   kestrune-journal 1
//   started 2026-12-06T22:59:04Z
//   folder /home/ann/music
//   rename 1 /home/ann/music/a.mp3 /home/ann/music/Abba/Waterloo.mp3
//   rename 2 /home/ann/music/b%20c.mp3 /home/ann/music/Abba/SOS.mp3
//   mkdir /home/ann/music/Abba
//   done 1
//   failed 2 17
//   end 2026-12-06T22:59:05Z
//   undo 2026-12-07T08:00:00Z
//   back 1
//   undone 2026-12-07T08:00:00Z
//
// The file appears under its name with its first three lines on the disk,
// and the run holds it locked until it ends: an undo neither reads, cuts nor
// appends to the journal of a run that is still going.
// "rename N OLD NEW" is on the disk before file N moves; the records of a
// group of files are written and synced together, then the group is renamed.
// "mkdir FOLDER" is on the disk before the folder is made. "second N" is on
// the disk before a second name of file N is made at its new name (a hard
// link, or a reservation: an empty file), where the file system has no
// rename that never replaces; a kill can leave that name behind. "done N" or
// "failed N ERRNO" follows each rename and reaches the disk with the next
// sync; a "rename" without either was cut short, and the disk tells whether
// it happened. "undo" is written before an undo moves anything back, "back N"
// after file N is back, "undone" once nothing of the run is left to undo.
// Only whole lines count: a last line without its line break was torn by a
// kill and is cut off before anything is appended, and so is everything from
// a line longer than kMaxJournalLine on (no writer writes one). Lines that
// are not understood are passed over.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrune::runs {

inline constexpr char kJournalHeader[] = "kestrune-journal 1";
inline constexpr char kJournalExtension[] = ".journal";
// The longest line a journal holds: a rename of two paths as long as any
// system allows (32,767 UTF-16 units on Windows), every byte escaped.
inline constexpr std::size_t kMaxJournalLine = 1024 * 1024;

// How the run left one file.
enum class EntryState {
  kPending,  // recorded, but no word on the rename: killed in between
  kDone,     // renamed
  kFailed,   // the rename failed; the file kept its name
};

// A field of a record: where its escaped text lies in Journal::bytes.
struct Field {
  std::size_t at = 0;
  std::size_t size = 0;
};

struct JournalEntry {
  Field old_path;  // absolute host paths
  Field new_path;
  EntryState state = EntryState::kPending;
  int error = 0;      // errno value of a failed rename
  bool back = false;  // an undo moved it back to `old_path`
  bool second_name = false;  // a second name may have been made at `new_path`
};

class JournalFile;

// A journal as read back. Its names stay escaped in the journal until asked
// for: a journal read from its file keeps the file open and holds only a
// window of it, read again as text() asks beyond it, so that the undo of a
// run of any size needs little more memory than one entry per file.
struct Journal {
  std::string path;
  std::string bytes;           // the whole journal, when it was parsed from memory
  std::size_t whole_size = 0;  // the bytes up to the end of the last whole line
  std::int64_t started = 0;    // seconds since 1970 (UTC)
  std::string folder;          // the run's current directory
  std::vector<JournalEntry> entries;  // in the order of the run
  std::vector<Field> made_folders;    // in the order they were made
  bool ended = false;                 // the run reached its end
  bool running = false;               // the run still holds it (read not for an undo)
  bool undo_started = false;
  bool undone = false;
  std::int64_t undone_at = 0;
  std::shared_ptr<JournalFile> file;  // read from its file: where the fields are

  // Unescaped; empty when the field can no longer be read (the file was cut
  // since it was read).
  std::string text(Field field) const;
};

// --- Encoding ---------------------------------------------------------------

// One field: bytes below 0x21, '%' and bytes from 0x7F up as "%XX".
std::string escape_field(std::string_view bytes);
void append_field(std::string& out, std::string_view bytes);
// The reverse; nothing when a '%' is not followed by two hex digits.
std::optional<std::string> unescape_field(std::string_view field);

// "2026-12-06T22:59:04Z" for a time in seconds since 1970; and back, nothing
// when the text is not such a time.
std::string format_utc(std::int64_t seconds);
std::optional<std::int64_t> parse_utc(std::string_view text);
std::int64_t now_utc();

// Reads a journal's bytes. Nothing when the header line is missing.
std::optional<Journal> parse_journal(std::string bytes);

// Why a journal could not be read, or may not be trusted for an undo.
struct JournalProblem {
  enum Kind {
    kNone,
    kUnreadable,
    kNotAJournal,
    kNotOwned,
    kWritableByOthers,
    kRunGoing,  // the run that writes it still holds it
  } kind = kNone;
  int error = 0;  // errno value for kUnreadable
};

// Reads the journal at `path`. With `for_undo`, a journal that another user
// owns or that group or others may write is refused: its paths would steer
// the undo; so is a journal whose run is still going. Otherwise the journal
// read holds the undo's lock until it is destroyed (waiting first for
// another undo of it to end), so that it is undone by one undo at a time.
std::optional<Journal> read_journal(const std::string& path, JournalProblem* problem = nullptr,
                                    bool for_undo = false);

// --- Where the journals live ------------------------------------------------

// The folder of the journals: "runs" in the state folder; nothing when the
// system names no state folder.
std::optional<std::string> runs_folder();

// The journals of `folder`, oldest first (by the start time in their names,
// then by their number within that second). A missing folder lists nothing.
std::vector<std::string> list_journals(const std::string& folder);

// --- Writing ----------------------------------------------------------------

// What went wrong with a journal: what was being done, to which file, errno.
struct JournalError {
  std::string what;  // "cannot create the journal", "cannot write the journal"
  std::string path;
  int error = 0;
  bool failed() const { return error != 0; }
};

// Writes the journal of one run. The file is created with the first record,
// so a run that changes nothing leaves no journal. A record longer than
// kMaxJournalLine fails with ENAMETOOLONG. Every call answers false
// once anything failed to reach the disk, and error() says what; the run
// must then change nothing more.
class JournalWriter {
 public:
  // A journal at `path`, which must not exist yet.
  static JournalWriter at_path(std::string path, std::int64_t started, std::string folder);
  // A new journal in `runs_folder` (made when missing), named after
  // `started`; a second run in the same second gets the next number. An
  // empty `runs_folder` fails at the first record with ENOENT.
  static JournalWriter in_folder(std::string runs_folder, std::int64_t started,
                                 std::string folder);

  JournalWriter(JournalWriter&&) = default;
  JournalWriter& operator=(JournalWriter&&) = default;
  ~JournalWriter();

  // Records a rename before it happens, as record number count() + 1,
  // handed to the system but not yet synced.
  bool record(std::string_view old_path, std::string_view new_path);
  // Records a folder about to be made; with `sync` puts it on the disk at
  // once, else with the next commit.
  bool record_folder(std::string_view folder, bool sync = true);
  // Puts everything written so far on the disk: the renames recorded may
  // then happen.
  bool commit();
  // Records, on the disk at once, that a second name of rename `number`
  // is about to be made at its new name.
  bool record_second_name(std::size_t number);
  // Records how rename `number` went: 0 for done, else its errno. Kept in
  // the buffer until the next commit or close.
  bool mark(std::size_t number, int rename_error);
  // Writes the end of the run and closes the file. Nothing to do when no
  // record was written.
  bool close();

  const std::string& path() const { return path_; }
  const JournalError& error() const { return error_; }
  bool failed() const { return error_.failed(); }
  std::size_t count() const { return count_; }

 private:
  JournalWriter() = default;
  bool open();
  bool write(std::string_view line, bool sync);
  void fail(const char* what, int error);

  platform::FilePtr file_;
  std::string runs_folder_;  // empty when the path was given
  std::string path_;
  std::int64_t started_ = 0;
  std::string folder_;
  JournalError error_;
  std::size_t count_ = 0;
  std::string line_;  // reused for each record
  std::string pending_;  // written since the last sync, handed over with the next
};

// Appends lines to a journal read before (the marks of an undo), after
// cutting off a torn last line, so that it cannot join the new ones.
class JournalAppender {
 public:
  explicit JournalAppender(const Journal& journal)
      : path_(journal.path), whole_size_(journal.whole_size) {}
  // Hands `line` to the system at once, or with `sync` to the disk; with
  // neither, it waits in the buffer for the next line that is.
  bool append(std::string_view line, bool sync = true, bool flush = true);
  const JournalError& error() const { return error_; }

 private:
  platform::FilePtr file_;
  std::string path_;
  std::size_t whole_size_;
  JournalError error_;
};

}  // namespace kestrune::runs
