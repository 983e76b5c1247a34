#pragma once

// Everything the core needs of the operating system. posix.cpp and win32.cpp
// implement this header; nothing else in the core calls the system directly.

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform {

// The separator of the host's paths: a backslash on Windows, a slash elsewhere.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// --- Text --------------------------------------------------------------------

// Converts UTF-16 code units, up to the first zero unit and never past
// `count`, into the program's 8-bit text (UTF-8 on POSIX, the ANSI code page
// on Windows). An unpaired surrogate becomes U+FFFD on POSIX.
std::string text_from_utf16(const char16_t* units, std::size_t count);

// Converts ISO-8859-1 tag bytes into the program's 8-bit text. On Windows the
// bytes are kept as they are. On POSIX they are kept when they already form
// valid UTF-8, and otherwise each byte is read as Windows-1252.
std::string text_from_latin1(std::string_view bytes);

// --- Files and folders -------------------------------------------------------

// What a path names, after following links.
enum class EntryKind {
  kRegular,       // a regular file
  kMissing,       // nothing at all
  kDanglingLink,  // a link that leads to nothing (or to itself)
  kFolder,
  kDevice,        // a character or block device
  kFifo,
  kSocket,
  kOther,         // anything else the system has
  kUnknown,       // the system would not say (a folder on the way not searchable)
};

// Opens `path` for binary reading when it names a regular file (after
// following links). The entry is looked at first and nothing but a regular
// file is ever opened, so a device, a FIFO or a socket is left untouched.
// Otherwise gives null with `*error` set to an errno value (EISDIR for a
// folder, the system's own error for a missing entry or a dangling link
// (ENOENT mostly), EINVAL for the other kinds, the open's own error for a regular file) and `*kind` set to what the
// entry is.
FilePtr open_regular_file(const std::string& path, int* error = nullptr,
                          EntryKind* kind = nullptr);

struct EntryInfo;

// A regular file open for reading by offset, for the tag readers: at the
// least cost in system calls (on POSIX one open, one status call, a read per
// request and the close) and with no stream or buffer of its own.
class FileReader {
 public:
  FileReader() = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader() { close(); }

  // Opens `path` when it is a regular file, as open_regular_file does and
  // with its errno values and kinds; answers 0 or the errno value. `listed`
  // is what a folder listing said the entry is: kRegular opens it directly
  // (the kind is checked on what was opened), another known kind is not
  // opened at all, and kUnknown looks at the entry first, so that a device,
  // a FIFO or a socket is never opened.
  int open(const std::string& path, EntryKind* kind = nullptr,
           EntryKind listed = EntryKind::kUnknown);

  // The file's size when it was opened.
  std::uint64_t size() const { return size_; }

  // Reads up to `count` bytes at `offset` into `out` and answers how many it
  // read: fewer at the end of the file, fewer (0 included) with failed()
  // true after an error.
  std::size_t read_at(std::uint64_t offset, char* out, std::size_t count);
  bool failed() const { return failed_; }

  void close();

  // Opens `path` for an undo to trust: never through a link at its last
  // part (EINVAL), nothing but a regular file, and `*info` tells what the
  // file opened is, its owner and whether group or others may write it, so
  // that no file put in its place between a look and the open is trusted.
  int open_no_follow(const std::string& path, EntryInfo* info);

 private:
  friend class FileBatch;
  // Takes `fd`, just opened, when it is a regular file, as open() does.
  int adopt(int fd, EntryKind& what);

  std::intptr_t handle_ = -1;  // a descriptor on POSIX, a FILE* on Windows
  std::uint64_t size_ = 0;
  bool failed_ = false;
};

class IoRing;

// Opens a batch of files and reads the head and the tail of each. On Linux
// the opens of a batch, then its reads, go to the kernel together (io_uring):
// a cold disk is handed them at once, not one after the other, and a virtual
// one is told of them with one trap to its host instead of one per read.
// Elsewhere, or where the kernel has no io_uring or refuses it, one file
// after the other through FileReader. Either way each file is opened as
// FileReader::open opens it, with its errno values and kinds, and read as
// FileReader::read_at reads it.
class FileBatch {
 public:
  static constexpr std::size_t kMaxFiles = 64;

  // Heads of `head_size` bytes and tails of `tail_size`; `use_ring` false
  // reads one file after the other anyway.
  FileBatch(std::size_t head_size, std::size_t tail_size, bool use_ring = true);
  ~FileBatch();
  FileBatch(const FileBatch&) = delete;
  FileBatch& operator=(const FileBatch&) = delete;

  // Queues `path` (borrowed until clear()), with what a listing said it is
  // (FileReader::open); at most kMaxFiles between two clear() calls.
  void add(const std::string& path, EntryKind listed);
  // Opens each file queued and reads its first head_size bytes and, unless
  // those hold the whole file, its last tail_size bytes.
  void read();
  std::size_t size() const { return count_; }

  // What FileReader::open answered for the i-th file, and what it is.
  int error(std::size_t i) const { return slots_[i].error; }
  EntryKind kind(std::size_t i) const { return slots_[i].kind; }
  // The i-th file, open when error(i) is 0: its size, its failed() read,
  // and more of its bytes.
  FileReader& file(std::size_t i) { return slots_[i].file; }
  std::string_view head(std::size_t i) const;
  std::string_view tail(std::size_t i) const;  // empty where the head holds the file

  // Closes every file and empties the batch.
  void clear();

 private:
  static constexpr std::size_t kUnread = SIZE_MAX;
  struct Slot {
    const std::string* path = nullptr;
    EntryKind listed = EntryKind::kUnknown;
    EntryKind kind = EntryKind::kUnknown;
    bool opened = false;
    int error = 0;
    FileReader file;
    std::size_t head = kUnread;  // bytes read, or kUnread
    std::size_t tail = kUnread;
  };
  // Where the i-th file's head lies in bytes_; its tail follows.
  std::size_t head_at(std::size_t i) const { return i * (head_size_ + tail_size_); }
  char* head_bytes(std::size_t i) { return bytes_.data() + head_at(i); }
  char* tail_bytes(std::size_t i) { return head_bytes(i) + head_size_; }
  void open_one(Slot& slot);
  void read_rest(std::size_t i);
  void read_with_ring();

  std::size_t head_size_;
  std::size_t tail_size_;
  std::vector<char> bytes_;
  Slot slots_[kMaxFiles];
  std::size_t count_ = 0;
  std::unique_ptr<IoRing> ring_;  // null: one file after the other
};

// The entries of list_mp3_entries, or names to open given one by one: each
// bare name with its kind as the listing told it without another look
// (kUnknown where the system did not say, and for a link, which may lead
// anywhere). The names lie packed in one buffer, so that a folder of 100,000
// files costs about a third of what a string for each would.
class FileList {
 public:
  void add(std::string_view name, EntryKind kind = EntryKind::kUnknown) {
    entries_.push_back({names_.size(), static_cast<std::uint32_t>(name.size()), kind});
    names_.append(name);
  }
  void sort_by_name() {
    std::sort(entries_.begin(), entries_.end(),
              [this](const Entry& a, const Entry& b) { return name(a) < name(b); });
  }
  std::size_t size() const { return entries_.size(); }
  std::string_view name(std::size_t i) const { return name(entries_[i]); }
  EntryKind kind(std::size_t i) const { return entries_[i].kind; }

 private:
  struct Entry {
    std::size_t at;
    std::uint32_t size;  // a name is shorter than any file system allows a path
    EntryKind kind;
  };
  std::string_view name(const Entry& entry) const {
    return std::string_view(names_).substr(entry.at, entry.size);
  }

  std::string names_;
  std::vector<Entry> entries_;
};

// Turns a name that uses backslashes as folder separators into a host path.
// On POSIX each backslash becomes a slash, so a leading backslash means the
// root folder; on Windows the name is returned unchanged.
std::string host_path(std::string_view name);

// Whether a host path names its place without the current directory: a
// leading separator, or on Windows also a drive prefix such as "C:".
inline bool is_absolute_path(std::string_view path) {
#ifdef _WIN32
  return (!path.empty() && (path[0] == '\\' || path[0] == '/')) ||
         (path.size() >= 2 && path[1] == ':');
#else
  return !path.empty() && path[0] == '/';
#endif
}

// Where the last separator of a host path stands, or npos: on Windows a
// slash separates folders as a backslash does.
inline std::size_t last_separator(std::string_view path) {
#ifdef _WIN32
  return path.find_last_of("\\/");
#else
  return path.rfind('/');
#endif
}

// The longest name part (one file or folder name) that the file system of
// `folder` accepts, in the units of `name_part_length`. `folder` is a host
// path that need not exist yet: its nearest existing folder is asked, the
// current directory when it is empty. 255 when the system cannot say.
std::size_t name_part_limit(const std::string& folder);

// The length of one name part as the file system counts it: bytes on POSIX,
// UTF-16 units of the 8-bit text on Windows.
std::size_t name_part_length(std::string_view part);

// The longest path, from the root or the drive, that the system's calls
// accept, in the units of `name_part_length`: 259 on Windows (MAX_PATH with
// its terminator), PATH_MAX less its terminator elsewhere.
#ifdef _WIN32
inline constexpr std::size_t kMaxPath = 259;
#else
inline constexpr std::size_t kMaxPath = PATH_MAX - 1;
#endif

// Creates one folder. The result tells whether it was made; callers that
// follow the "failures are passed over" rule ignore it.
bool make_folder(const std::string& path);

// Renames `from` to `to` without ever replacing an existing file. Answers 0
// on success and an errno value on failure (EEXIST when the target exists).
// A target that is the source itself (the same file, perhaps under another
// letter case) is handed to the plain rename and is not a failure. Where the
// file system has neither a no-replace rename nor hard links, the target is
// first reserved by an exclusive create and renamed over only while it is
// still that empty file; a file saved there between that look and the
// rename can still be replaced, so without `allow_racy` nothing is done and
// the answer is EOPNOTSUPP. Before a second name of the file (a hard link)
// or a reservation is made at `to`, which a kill would leave behind,
// `before_second_name` is asked: false leaves everything as it is and
// answers ECANCELED.
int rename_no_replace(const std::string& from, const std::string& to, bool allow_racy = true,
                      const std::function<bool()>& before_second_name = nullptr);

// Removes `path` when it is a second name the rename of `original` to it
// left: the same file as `original`, or an empty regular file (a
// reservation). 0 when it was removed, else an errno value (EEXIST when
// something else is there).
int remove_second_name(const std::string& path, const std::string& original);

// The process's current directory, or nothing when it cannot be obtained.
std::optional<std::string> current_directory();

// Makes `path` the current directory; false when the system refuses.
bool change_directory(const std::string& path);

// The bare names of the entries of `folder` whose names end in ".mp3" in any
// letter case, sorted by name, taken whole before anything is renamed. An
// empty `folder` lists the current directory. A folder that cannot be read
// lists nothing.
std::vector<std::string> list_mp3_files(const std::string& folder);

// The same entries with what the listing told of each, for FileReader::open,
// from one reading of the folder. `*error`, when given, is set to 0, or to
// the errno value of a folder that cannot be read (ENOENT, ENOTDIR, EACCES,
// ...), which then lists what was read before the failure.
FileList list_mp3_entries(const std::string& folder, int* error = nullptr);

// What replace_file does with the name it is given.
enum class ReplacePolicy {
  // Only a regular file or nothing may stand at the name: a link, a folder,
  // a FIFO or a device there is left alone and nothing is written.
  kRegularFileOnly,
  // A chain of links is followed to the name it ends at, and the new file is
  // made in that name's folder, so the links stay and lead to the new bytes.
  // Where that folder refuses new files but the old file may be written,
  // the file is rewritten in place instead.
  kThroughLinks,
};

// Replaces the file at `path` with `bytes` so that a crash, a kill or a full
// disk leaves either the old file or the new one, never a partial one, and no
// temporary file behind. The one exception is the in-place rewrite of
// kThroughLinks, which puts the old bytes back when the new ones do not fit.
// The new file keeps the old one's permission bits; where there was none it
// gets those of any new file (0666 less the umask on POSIX). False with
// errno set when the new content could not be put in place.
bool replace_file(const std::string& path, std::string_view bytes, ReplacePolicy policy);

// Removes `path` only when it is an empty folder: never a file, a link or a
// folder that holds anything. Answers 0 on success, else an errno value.
int remove_empty_folder(const std::string& path);

// Flushes `file` and asks the system to put what it holds on the disk.
// False on failure with errno set. A file system that cannot sync (EINVAL)
// is not a failure: the flush is what tells of a full disk there.
bool sync_file(std::FILE* file);

// Puts the entries of `folder` (a file just created in it) on the disk where
// the system needs that to be asked for; false when it was asked and failed.
bool sync_folder(const std::string& folder);

// --- Runs and their journals -------------------------------------------------

// The folder for what the program keeps between runs: $XDG_STATE_HOME/kestrune
// (when that is an absolute path) or ~/.local/state/kestrune on POSIX,
// %LOCALAPPDATA%\Kestrune on Windows; nothing when none of these is set. It
// may not exist yet.
std::optional<std::string> state_folder();

// `name` below `folder` with one separator between them; `name` alone when
// it is absolute or `folder` is empty.
std::string join_path(std::string_view folder, std::string_view name);

// `path` with "." parts and doubled separators removed and "x/.." folded,
// without looking at the disk.
std::string normal_path(std::string_view path);

// Creates one folder and answers 0, or the errno value of the failure
// (EEXIST when anything has that name already).
int create_folder(const std::string& path);

// Creates `path` and the folders above it that are missing, each readable by
// the user alone; 0 or an errno value.
int create_private_folders(const std::string& path);

// What is at a path, without following a link there.
enum class EntryType { kMissing, kFile, kFolder, kLink, kOther };
struct EntryInfo {
  EntryType kind = EntryType::kMissing;
  bool owned_by_user = false;       // belongs to the user running the program
  bool writable_by_others = false;  // group or others may write it
  int error = 0;                    // errno when it could not be looked at
};
EntryInfo entry_info(const std::string& path);

// Whether `path` names a folder (after links) and, with `writable`, one in
// which this process may make and remove entries, asked of the system with
// its effective ids (so root passes, except on a read-only file system):
// 0, ENOENT, ENOTDIR, or the errno value of the refusal (EACCES, EROFS, ...).
// Windows, whose folders' rights a mode does not tell, answers for the kind.
int folder_state(const std::string& path, bool writable);

// Whether both paths name the same file (after links).
bool same_file(const std::string& a, const std::string& b);

// The names of the entries of `folder`, "." and ".." left out, unsorted;
// nothing with `*error` set when it cannot be read.
std::vector<std::string> list_folder(const std::string& folder, int* error = nullptr);

// Reads the whole of the regular file at `path` into `bytes`: 0, or an errno
// value (EFBIG when it holds more than `limit` bytes).
int read_file(const std::string& path, std::string& bytes,
              std::size_t limit = static_cast<std::size_t>(-1));

// Creates `path` for writing, never over anything that exists, readable and
// writable by the user alone. Null with `*error` set on failure.
FilePtr create_new_file(const std::string& path, int* error = nullptr);

// Creates the journal `path`, never over anything that exists, readable and
// writable by the user alone, with `head` already in it and on the disk when
// the name appears: written to an unnamed file (or a hidden temporary one)
// that is then linked (or renamed) into place. Where the file system can do
// neither without replacing a file, the journal is created under its name
// and `head` written then. The file holds the run lock of the journal for as
// long as it stays open. Null with `*error` set (EEXIST: the name is taken).
FilePtr create_journal(const std::string& path, std::string_view head, int* error = nullptr);

// The lock an undo holds on a journal while it reads, cuts and appends to it.
// Both locks belong to the open file, so a run or an undo killed in any way
// releases them, and a second one in the same process is refused as in any
// other.
class JournalLock {
 public:
  JournalLock() = default;
  JournalLock(const JournalLock&) = delete;
  JournalLock& operator=(const JournalLock&) = delete;
  ~JournalLock() { release(); }

  // Takes the undo lock of the journal at `path` (a link is not followed),
  // waiting while another undo holds it, never for a run: 0, EBUSY while
  // the run that writes the journal still holds it, or an errno value.
  int take(const std::string& path);
  void release();

 private:
  std::intptr_t handle_ = -1;  // a descriptor on POSIX, a HANDLE on Windows
};

// Whether a run still holds the journal at `path`, which it writes.
bool journal_in_use(const std::string& path);

// Opens the regular file at `path` for appending after cutting it to `size`
// bytes. Null with `*error` set on failure.
FilePtr open_for_append(const std::string& path, std::size_t size, int* error = nullptr);

// Hands `bytes` to `file`, a file this layer opened for writing: with
// `flush` to the system at once, with `sync` on to the disk (as sync_file).
// False with errno set on failure.
bool write_to(std::FILE* file, std::string_view bytes, bool flush, bool sync);

// Closes `file`; false with errno set when what it held could not be written.
bool close_file(FilePtr file);

// --- Below a folder, never through a link -----------------------------------

// A folder held open, and the entries below it reached one folder at a time
// without following any link, however long their paths are. On POSIX a
// descriptor: the folder stays the one opened wherever it is moved, and
// nothing below it is reached through a link put in a folder's place. On
// Windows the folder's path, each part of it checked for a reparse point as
// it is reached: that check and the use that follows it can race.
class OpenFolder {
 public:
  OpenFolder() = default;
  OpenFolder(OpenFolder&& other) noexcept;
  OpenFolder& operator=(OpenFolder&& other) noexcept;
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  ~OpenFolder() { close(); }

  // Opens the folder at `path` (the current directory when empty), links
  // on the way followed as any path is, however long it is: 0 or an errno
  // value.
  int open(const std::string& path);
  // Opens the folder `relative` (parts separated by the host's separator;
  // empty for `base` itself) below `base` without following any link: 0,
  // ELOOP when one of its parts is a link, else an errno value (ENOENT,
  // ENOTDIR...).
  int open_below(const OpenFolder& base, std::string_view relative);
  bool is_open() const { return handle_ != -1; }
  void close();

  // What `name` in this folder is, not following a link.
  EntryInfo entry(const std::string& name) const;
  // Renames `name` here to `to_name` in `to` as rename_no_replace() does,
  // never replacing anything: 0 or an errno value.
  int rename_no_replace(const std::string& name, const OpenFolder& to,
                        const std::string& to_name) const;
  // Removes `name` here only when it is an empty folder: 0 or an errno value
  // (ENOTDIR for a link).
  int remove_empty_folder(const std::string& name) const;
  // The entries of the folder `name` here, which must be no link, as
  // list_folder() gives them.
  std::vector<std::string> list(const std::string& name, int* error = nullptr) const;

 private:
  std::intptr_t handle_ = -1;  // a descriptor on POSIX; 0 once open on Windows
  std::string path_;           // Windows: the folder's path
};

}  // namespace kestrune::platform
