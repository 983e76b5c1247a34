// The POSIX implementation of the platform layer.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"
#include "platform/posix_reader.h"

namespace kestrune::platform {

namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Windows-1252 characters for the bytes 0x80 to 0x9F; the five bytes that
// code page leaves undefined keep their ISO-8859-1 control characters.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2, c = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3, c = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4, c = b & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (length > bytes.size() - i) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

EntryKind entry_kind(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return EntryKind::kRegular;
  if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return EntryKind::kDevice;
  if (S_ISFIFO(info.st_mode)) return EntryKind::kFifo;
  if (S_ISSOCK(info.st_mode)) return EntryKind::kSocket;
  return EntryKind::kOther;
}

// Looks at `path` (after links) before it is opened: true for a regular
// file; otherwise false with `error` and `what` set as open_regular_file
// sets them.
bool looks_regular(const std::string& path, int& error, EntryKind& what) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error = errno;
    struct stat link {};
    if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
      const bool is_link = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
      what = is_link ? EntryKind::kDanglingLink : EntryKind::kMissing;
    } else {
      what = EntryKind::kUnknown;
    }
    return false;
  }
  what = entry_kind(info);
  if (what == EntryKind::kRegular) return true;
  error = what == EntryKind::kFolder ? EISDIR : EINVAL;
  return false;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int rename_by_link(const std::string& from, const std::string& to) {
  // link() fails with EEXIST when the target exists, atomically; between
  // the two calls the file has two names, never none.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  return 0;
}

int rename_over_reservation(const std::string& from, const std::string& to) {
  // File systems without hard links (vfat, exFAT, many FUSE ones): the
  // target is reserved by an exclusive create, which turns away anyone who
  // creates it after us. Whoever writes into the reservation or puts another
  // file in its place is noticed by the look right before the rename.
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  struct stat reserved;
  const bool known = ::fstat(fd, &reserved) == 0;
  const int error = errno;
  ::close(fd);
  if (!known) {
    ::unlink(to.c_str());
    return error;
  }
  const auto still_ours = [&] {
    struct stat now;
    return ::lstat(to.c_str(), &now) == 0 && same_file(now, reserved) && S_ISREG(now.st_mode) &&
           now.st_size == 0;
  };
  if (!still_ours()) return EEXIST;
  if (::rename(from.c_str(), to.c_str()) == 0) return 0;
  const int failed = errno;
  if (still_ours()) ::unlink(to.c_str());
  return failed;
}

bool write_all(int fd, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool write_all_at(int fd, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Asks the system to put the file on the disk; a file system that cannot
// (EINVAL) is no failure.
bool synced(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

// The folder part of `path` with its closing slash, or "" for a bare name.
std::string folder_prefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows `path` through symbolic links until it names something that is no
// link, or nothing. False on a loop or a link that cannot be read.
bool follow_links(std::string& path) {
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
    target.resize(static_cast<std::size_t>(length));
    path = target[0] == '/' ? target : folder_prefix(path) + target;
  }
  return false;
}

// Writes `bytes` with the permission bits `mode` to a new file in `folder`
// (the folder of `target`), flushed to the disk and named beside `target`.
// Answers the new name, or "" with `error` set; nothing is left behind then.
std::string write_beside(const std::string& target, const std::string& folder,
                         std::string_view bytes, mode_t mode, int& error) {
  auto temporary_name = [&](int attempt) {
    return target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
  };
  // An unnamed file first, where the file system offers one: a kill while it
  // is written or flushed leaves nothing behind. It gets a name only once its
  // bytes are on disk.
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    std::string named;
    if (::fchmod(fd, mode) == 0 && write_all(fd, bytes) && synced(fd)) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporary_name(attempt);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
          named = name;
          break;
        }
        if (errno != EEXIST) break;
      }
    }
    error = errno;
    ::close(fd);
    if (!named.empty() || error == ENOSPC || error == EFBIG || error == EDQUOT) return named;
  }

  // Otherwise a named file, created exclusively and removed on failure.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporary_name(attempt);
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = errno;
      if (error != EEXIST) return std::string();
      continue;
    }
    bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, bytes);
    ok = ok && synced(fd);
    error = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok) return name;
    ::unlink(name.c_str());
    return std::string();
  }
  return std::string();
}

// Writes `bytes` over the start of the regular file `path` and cuts it to
// their length. When that fails, the old bytes that were overwritten and the
// old length are put back.
bool rewrite_in_place(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  std::string old(bytes.size(), '\0');
  ssize_t kept = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) kept = ::pread(fd, old.data(), old.size(), 0);
  bool ok = kept >= 0 && write_all_at(fd, bytes) &&
            ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && synced(fd);
  if (!ok && kept >= 0) {
    old.resize(static_cast<std::size_t>(kept));
    write_all_at(fd, old);
    ::ftruncate(fd, info.st_size);
    ::fsync(fd);
  }
  return ::close(fd) == 0 && ok;
}

}  // namespace

std::string text_from_utf16(const char16_t* units, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && units[i] != 0; ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

std::string text_from_latin1(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    append_utf8(out, (b >= 0x80 && b < 0xA0) ? kWindows1252High[b - 0x80] : char32_t{b});
  }
  return out;
}

FilePtr open_regular_file(const std::string& path, int* error, EntryKind* kind) {
  int ignored_error = 0;
  EntryKind ignored_kind = EntryKind::kRegular;
  int& result = error != nullptr ? *error : ignored_error;
  EntryKind& what = kind != nullptr ? *kind : ignored_kind;
  // Looked at before it is opened: opening a device can act on it.
  if (!looks_regular(path, result, what)) return nullptr;
  struct stat info {};
  // O_NONBLOCK keeps a FIFO put in the file's place meanwhile from hanging
  // the open; the kind is checked again on what was opened.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result = errno;
    if (result == ENOENT) what = EntryKind::kMissing;
    return nullptr;
  }
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    what = entry_kind(info);
    result = what == EntryKind::kFolder ? EISDIR : EINVAL;
    ::close(fd);
    return nullptr;
  }
  // O_NONBLOCK has no effect on the reads of a regular file, so it stays.
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    result = errno;
    ::close(fd);
    return nullptr;
  }
  result = 0;
  return FilePtr(file);
}

int FileReader::open(const std::string& path, EntryKind* kind, EntryKind listed) {
  close();
  EntryKind ignored_kind = EntryKind::kRegular;
  EntryKind& what = kind != nullptr ? *kind : ignored_kind;
  what = listed;
  if (listed == EntryKind::kRegular) {
    const int fd = ::open(path.c_str(), kListedOpenFlags);
    if (fd >= 0) return adopt(fd, what);
    const int error = errno;
    if (error != ELOOP) {
      if (error == ENOENT) what = EntryKind::kMissing;
      return error;
    }
    // A link now where the listing saw a file: looked at as links are.
    return open(path, kind, EntryKind::kUnknown);
  }
  if (listed != EntryKind::kUnknown) return listed == EntryKind::kFolder ? EISDIR : EINVAL;
  // Looked at before it is opened: opening a device can act on it.
  int error = 0;
  if (!looks_regular(path, error, what)) return error;
  const int fd = ::open(path.c_str(), kReaderOpenFlags);
  if (fd < 0) {
    error = errno;
    if (error == ENOENT) what = EntryKind::kMissing;
    return error;
  }
  return adopt(fd, what);
}

int FileReader::adopt(int fd, EntryKind& what) {
  close();
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    what = entry_kind(info);
    ::close(fd);
    return what == EntryKind::kFolder ? EISDIR : EINVAL;
  }
  what = EntryKind::kRegular;
  handle_ = fd;
  size_ = static_cast<std::uint64_t>(info.st_size);
  failed_ = false;
  return 0;
}

std::size_t FileReader::read_at(std::uint64_t offset, char* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count && handle_ >= 0) {
    const ssize_t got = ::pread(static_cast<int>(handle_), out + done, count - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed_ = true;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
    // A regular file gives all it has at once: a short read is its end.
    if (offset + done >= size_) break;
  }
  return done;
}

void FileReader::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  size_ = 0;
}

std::size_t name_part_limit(const std::string& folder) {
  constexpr std::size_t kUnknown = 255;
  std::string probe = folder.empty() ? "." : folder;
  for (;;) {
    errno = 0;
    const long limit = ::pathconf(probe.c_str(), _PC_NAME_MAX);
    if (limit > 0) return static_cast<std::size_t>(limit);
    if (limit < 0 && errno == 0) return SIZE_MAX;  // the system sets no limit
    if ((errno != ENOENT && errno != ENOTDIR) || probe == "." || probe == "/") return kUnknown;
    // Not made yet: the folder it will be made in decides.
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    const std::size_t slash = probe.rfind('/');
    probe = slash == std::string::npos ? "." : probe.substr(0, slash == 0 ? 1 : slash);
  }
}

std::size_t name_part_length(std::string_view part) { return part.size(); }

std::string host_path(std::string_view name) {
  std::string host(name);
  std::replace(host.begin(), host.end(), '\\', '/');
  return host;
}

bool make_folder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

int rename_no_replace(const std::string& from, const std::string& to) {
  // The common case costs one system call; the checks below run only when
  // the target exists or the file system lacks RENAME_NOREPLACE.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  const bool no_flag = error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
  if (error != EEXIST && !no_flag) return error;

  struct stat source;
  struct stat target;
  if (::lstat(from.c_str(), &source) != 0) return errno;
  if (::lstat(to.c_str(), &target) == 0 && same_file(source, target)) {
    // The same file under its own name, or another letter case of it on a
    // file system that ignores case: nothing else can be replaced.
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  if (!no_flag) return error;

  error = rename_by_link(from, to);
  if (error != EPERM && error != EOPNOTSUPP && error != ENOSYS) return error;
  return rename_over_reservation(from, to);
}

std::optional<std::string> current_directory() {
  std::string buffer(512, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

bool change_directory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

FileList list_mp3_entries(const std::string& folder) {
  FileList files;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return files;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() < 4) continue;
    const std::string_view ending = name.substr(name.size() - 4);
    if (ending[0] != '.' || (ending[1] | 0x20) != 'm' || (ending[2] | 0x20) != 'p' ||
        ending[3] != '3') {
      continue;
    }
    EntryKind kind = EntryKind::kUnknown;  // DT_UNKNOWN, and DT_LNK: the link may lead anywhere
    switch (entry->d_type) {
      case DT_REG: kind = EntryKind::kRegular; break;
      case DT_DIR: kind = EntryKind::kFolder; break;
      case DT_CHR: case DT_BLK: kind = EntryKind::kDevice; break;
      case DT_FIFO: kind = EntryKind::kFifo; break;
      case DT_SOCK: kind = EntryKind::kSocket; break;
      default: break;
    }
    files.add(name, kind);
  }
  ::closedir(dir);
  files.sort_by_name();
  return files;
}

std::vector<std::string> list_mp3_files(const std::string& folder) {
  const FileList files = list_mp3_entries(folder);
  std::vector<std::string> names;
  names.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) names.emplace_back(files.name(i));
  return names;
}

bool write_file(const std::string& path, std::string_view bytes) {
  // O_NONBLOCK: a FIFO in the file's place fails at once instead of hanging.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = write_all(fd, bytes);
  return ::close(fd) == 0 && ok;
}

bool replace_file(const std::string& path, std::string_view bytes, ReplacePolicy policy) {
  std::string target = path;
  if (policy == ReplacePolicy::kThroughLinks && !follow_links(target)) return false;
  struct stat old;
  const bool exists = ::lstat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return false;
  // A link (when not followed), a folder, a FIFO or a device is left alone.
  if (exists && !S_ISREG(old.st_mode)) return false;

  const std::string prefix = folder_prefix(target);
  const std::string folder = prefix.empty() ? "." : prefix;
  int error = 0;
  const std::string temporary =
      write_beside(target, folder, bytes, exists ? old.st_mode & 07777 : 0666, error);
  if (temporary.empty()) {
    // A folder that takes no new files, around a file that may be written.
    const bool in_place = policy == ReplacePolicy::kThroughLinks && exists &&
                          (error == EACCES || error == EPERM);
    return in_place && rewrite_in_place(target, bytes);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself is durable only once the folder is flushed.
  sync_folder(folder);
  return true;
}

int remove_empty_folder(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }

bool sync_file(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  return ::fsync(::fileno(file)) == 0 || errno == EINVAL;
}

bool sync_folder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return synced;
}

// --- Runs and their journals -------------------------------------------------

std::optional<std::string> state_folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return join_path(state, "kestrune");
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  return join_path(home, ".local/state/kestrune");
}

std::string join_path(std::string_view folder, std::string_view name) {
  if (folder.empty() || is_absolute_path(name)) return std::string(name);
  std::string joined(folder);
  if (joined.back() != '/') joined += '/';
  return joined.append(name);
}

std::string normal_path(std::string_view path) {
  return std::filesystem::path(path).lexically_normal().string();
}

int create_folder(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

int create_private_folders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

EntryInfo entry_info(const std::string& path) {
  EntryInfo result;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    result.error = errno;
    return result;
  }
  result.kind = S_ISREG(info.st_mode)   ? EntryType::kFile
                : S_ISDIR(info.st_mode) ? EntryType::kFolder
                : S_ISLNK(info.st_mode) ? EntryType::kLink
                                        : EntryType::kOther;
  result.owned_by_user = info.st_uid == ::geteuid();
  result.writable_by_others = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return result;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::vector<std::string> list_folder(const std::string& folder, int* error) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) {
    if (error != nullptr) *error = errno;
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  if (error != nullptr) *error = 0;
  return names;
}

int read_file(const std::string& path, std::string& bytes, std::size_t limit) {
  bytes.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (static_cast<std::uint64_t>(info.st_size) > limit) {
    error = EFBIG;
  } else {
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error = errno;
      if (got <= 0) break;
      if (bytes.size() + static_cast<std::size_t>(got) > limit) {
        error = EFBIG;
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  if (error != 0) bytes.clear();
  return error;
}

FilePtr create_new_file(const std::string& path, int* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  FilePtr file(fd >= 0 ? ::fdopen(fd, "wb") : nullptr);
  if (!file) {
    if (error != nullptr) *error = errno;
    if (fd >= 0) ::close(fd);
  }
  return file;
}

FilePtr open_for_append(const std::string& path, std::size_t size, int* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  int failure = 0;
  if (fd < 0) {
    failure = errno;
  } else if (::fstat(fd, &info) != 0) {
    failure = errno;
  } else if (!S_ISREG(info.st_mode)) {
    failure = EINVAL;
  } else if (static_cast<std::uint64_t>(info.st_size) > size &&
             ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    failure = errno;
  }
  FilePtr file(failure == 0 ? ::fdopen(fd, "ab") : nullptr);
  if (!file) {
    if (failure == 0) failure = errno;
    if (fd >= 0) ::close(fd);
    if (error != nullptr) *error = failure;
  }
  return file;
}

}  // namespace kestrune::platform
