// The POSIX implementation of the platform layer.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define KESTRUNE_HAS_OPENAT2 1
#endif

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

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

// Writes `bytes` to a new file in `folder` (the folder of `target`), flushed
// to the disk and named beside `target`. It gets the permission bits
// `old_mode` of the file it is to replace, or those any new file gets (0666
// less the umask) when there is none. Answers the new name, or "" with
// `error` set; nothing is left behind then.
std::string write_beside(const std::string& target, const std::string& folder,
                         std::string_view bytes, std::optional<mode_t> old_mode, int& error) {
  // The system takes the umask off the mode of a file it creates.
  const mode_t create_mode = old_mode ? 0600 : 0666;
  const auto keep_mode = [&](int fd) { return !old_mode || ::fchmod(fd, *old_mode) == 0; };
  auto temporary_name = [&](int attempt) {
    return target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
  };
  // An unnamed file first, where the file system offers one: a kill while it
  // is written or flushed leaves nothing behind. It gets a name only once its
  // bytes are on disk.
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, create_mode);
  if (fd >= 0) {
    std::string named;
    if (keep_mode(fd) && write_all(fd, bytes) && synced(fd)) {
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
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
    if (fd < 0) {
      error = errno;
      if (error != EEXIST) return std::string();
      continue;
    }
    bool ok = keep_mode(fd) && write_all(fd, bytes);
    ok = ok && synced(fd);
    error = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok) return name;
    ::unlink(name.c_str());
    return std::string();
  }
  return std::string();
}

// The most of an old file rewrite_in_place holds back to put it back.
constexpr off_t kMaxKeptInPlace = off_t{16} << 20;

// Writes `bytes` over the start of the regular file `path` and cuts it to
// their length. The whole old file is read first, so that when any step up
// to the sync fails, every old byte goes back and the old length with them.
// A file too large to hold back is left alone.
bool rewrite_in_place(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  std::string old;
  bool kept = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxKeptInPlace;
  if (kept) {
    old.resize(static_cast<std::size_t>(info.st_size));
    for (std::size_t done = 0; kept && done < old.size();) {
      const ssize_t got = ::pread(fd, old.data() + done, old.size() - done, static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      kept = got > 0;
      if (kept) done += static_cast<std::size_t>(got);
    }
  }
  const bool ok = kept && write_all_at(fd, bytes) &&
                  ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && synced(fd);
  if (!ok && kept) {
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

int FileReader::open_no_follow(const std::string& path, EntryInfo* info) {
  close();
  // Looked at first, as open() does, so that no device is ever opened; what
  // is trusted is what the descriptor then tells.
  EntryInfo seen = entry_info(path);
  if (seen.kind == EntryType::kLink || seen.kind == EntryType::kOther) return EINVAL;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? EINVAL : errno;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  if (info != nullptr) {
    info->kind = S_ISREG(opened.st_mode) ? EntryType::kFile : EntryType::kOther;
    info->owned_by_user = opened.st_uid == ::geteuid();
    info->writable_by_others = (opened.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    info->error = 0;
  }
  if (!S_ISREG(opened.st_mode)) {
    ::close(fd);
    return S_ISDIR(opened.st_mode) ? EISDIR : EINVAL;
  }
  handle_ = fd;
  size_ = static_cast<std::uint64_t>(opened.st_size);
  failed_ = false;
  return 0;
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

int rename_no_replace(const std::string& from, const std::string& to, bool allow_racy,
                      const std::function<bool()>& before_second_name) {
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

  if (before_second_name && !before_second_name()) return ECANCELED;
  error = rename_by_link(from, to);
  if (error != EPERM && error != EOPNOTSUPP && error != ENOSYS) return error;
  if (!allow_racy) return EOPNOTSUPP;
  return rename_over_reservation(from, to);
}

int remove_second_name(const std::string& path, const std::string& original) {
  struct stat second {};
  struct stat first {};
  if (::lstat(path.c_str(), &second) != 0) return errno;
  const bool same = ::lstat(original.c_str(), &first) == 0 && same_file(first, second);
  if (!S_ISREG(second.st_mode) || (!same && second.st_size != 0)) return EEXIST;
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
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

FileList list_mp3_entries(const std::string& folder, int* error) {
  FileList files;
  if (error != nullptr) *error = 0;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) {
    if (error != nullptr) *error = errno;
    return files;
  }
  for (;;) {
    errno = 0;  // readdir tells the end from a failure only by errno
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0 && error != nullptr) *error = errno;
      break;
    }
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

bool replace_file(const std::string& path, std::string_view bytes, ReplacePolicy policy) {
  std::string target = path;
  if (policy == ReplacePolicy::kThroughLinks && !follow_links(target)) return false;
  struct stat old;
  const bool exists = ::lstat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return false;
  // A link (when not followed), a folder, a FIFO or a device is left alone.
  if (exists && !S_ISREG(old.st_mode)) return errno = S_ISDIR(old.st_mode) ? EISDIR : EINVAL, false;

  const std::string prefix = folder_prefix(target);
  const std::string folder = prefix.empty() ? "." : prefix;
  int error = 0;
  const std::string temporary =
      write_beside(target, folder, bytes,
                   exists ? std::optional<mode_t>(old.st_mode & 07777) : std::nullopt, error);
  if (temporary.empty()) {
    // A folder that takes no new files, around a file that may be written.
    const bool in_place = policy == ReplacePolicy::kThroughLinks && exists &&
                          (error == EACCES || error == EPERM);
    if (in_place) return rewrite_in_place(target, bytes);
    return errno = error, false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
    ::unlink(temporary.c_str());
    return errno = error, false;
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

int folder_state(const std::string& path, bool writable) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  if (writable && ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

// What a status call told of an entry.
static EntryInfo info_of(const struct stat& info) {
  EntryInfo result;
  result.kind = S_ISREG(info.st_mode)   ? EntryType::kFile
                : S_ISDIR(info.st_mode) ? EntryType::kFolder
                : S_ISLNK(info.st_mode) ? EntryType::kLink
                                        : EntryType::kOther;
  result.owned_by_user = info.st_uid == ::geteuid();
  result.writable_by_others = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return result;
}

EntryInfo entry_info(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    EntryInfo result;
    result.error = errno;
    return result;
  }
  return info_of(info);
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// The names in `dir`, "." and ".." left out, unsorted; `dir` is closed.
static std::vector<std::string> names_in(DIR* dir, int* error) {
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  if (error != nullptr) *error = 0;
  return names;
}

std::vector<std::string> list_folder(const std::string& folder, int* error) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) {
    if (error != nullptr) *error = errno;
    return names;
  }
  return names_in(dir, error);
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

namespace {

// The bytes of a journal its two locks lie on (a lock may lie beyond the end
// of a file): the run holds the first, an undo the second.
constexpr off_t kRunLockAt = 0;
constexpr off_t kUndoLockAt = 1;

// Sets or tests a lock of the open file `fd` on the byte at `at`: 0 or an
// errno value (EAGAIN or EACCES when another holds it).
int file_lock(int fd, int command, short type, off_t at) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  while (::fcntl(fd, command, &lock) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Puts `head` into `fd` and on the disk, with the run lock taken: 0 or an
// errno value.
int fill_journal(int fd, std::string_view head) {
  if (!write_all(fd, head) || !synced(fd)) return errno != 0 ? errno : EIO;
  return file_lock(fd, F_OFD_SETLK, F_WRLCK, kRunLockAt);
}

FilePtr journal_stream(int fd, int* error) {
  FilePtr file(::fdopen(fd, "wb"));
  if (!file) {
    if (error != nullptr) *error = errno;
    ::close(fd);
  }
  return file;
}

}  // namespace

FilePtr create_journal(const std::string& path, std::string_view head, int* error) {
  int failure = 0;
  const std::string prefix = folder_prefix(path);
  const std::string folder = prefix.empty() ? "." : prefix;
  // An unnamed file first: a kill before it is linked leaves nothing.
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    failure = fill_journal(fd, head);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (failure == 0 &&
        ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return journal_stream(fd, error);
    }
    if (failure == 0) failure = errno;
    ::close(fd);
    if (failure == EEXIST || failure == ENOSPC || failure == EDQUOT) {
      if (error != nullptr) *error = failure;
      return nullptr;
    }
  }
  // Then a hidden temporary file, whose name ends in no journal's extension,
  // moved to its name without replacing anything.
  const std::string temporary = prefix + "." + path.substr(prefix.size()) + ".new" +
                                std::to_string(::getpid());
  fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    failure = fill_journal(fd, head);
    if (failure == 0) {
      if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        return journal_stream(fd, error);
      }
      failure = errno;
      if (failure == EINVAL || failure == ENOSYS || failure == EOPNOTSUPP) {
        failure = ::link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
        if (failure == 0) {
          ::unlink(temporary.c_str());
          return journal_stream(fd, error);
        }
      }
    }
    ::close(fd);
    ::unlink(temporary.c_str());
    const bool no_way = failure == EPERM || failure == EOPNOTSUPP || failure == ENOSYS;
    if (!no_way) {
      if (error != nullptr) *error = failure;
      return nullptr;
    }
  }
  // Neither: the journal is created under its name, its head written then.
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  failure = fd < 0 ? errno : fill_journal(fd, head);
  if (failure == 0) return journal_stream(fd, error);
  if (fd >= 0) {
    ::close(fd);
    ::unlink(path.c_str());
  }
  if (error != nullptr) *error = failure;
  return nullptr;
}

int JournalLock::take(const std::string& path) {
  release();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int failure = file_lock(fd, F_OFD_SETLKW, F_WRLCK, kUndoLockAt);
  // A shared lock on the run's byte: refused while the run holds it, and it
  // keeps journal_in_use() false for the undo.
  if (failure == 0) failure = file_lock(fd, F_OFD_SETLK, F_RDLCK, kRunLockAt);
  if (failure == EAGAIN || failure == EACCES) failure = EBUSY;
  if (failure != 0) {
    ::close(fd);
    return failure;
  }
  handle_ = fd;
  return 0;
}

void JournalLock::release() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool journal_in_use(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kRunLockAt;
  lock.l_len = 1;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
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

// --- Below a folder, never through a link -----------------------------------

namespace {

// A folder opened only to reach what is below it: search permission is all
// it needs.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Opens the folder `relative` below `base` with the kernel refusing every
// link on the way; -1 with errno set, ENOSYS where the kernel cannot.
int open_without_links(int base, const std::string& relative) {
#ifdef KESTRUNE_HAS_OPENAT2
  open_how how {};
  how.flags = kFolderFlags;
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(::syscall(SYS_openat2, base, relative.c_str(), &how, sizeof how));
#else
  (void)base;
  (void)relative;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

OpenFolder::OpenFolder(OpenFolder&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

void OpenFolder::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

int OpenFolder::open(const std::string& path) {
  close();
  if (path.empty()) {
    const int fd = ::open(".", kFolderFlags);
    if (fd < 0) return errno;
    handle_ = fd;
    return 0;
  }
  // A piece at a time, each shorter than the longest path the system takes.
  int fd = -1;
  for (std::size_t start = 0; start < path.size();) {
    std::size_t end = path.size();
    if (end - start >= PATH_MAX) {
      end = path.rfind('/', start + PATH_MAX - 1);
      if (end == std::string::npos || end <= start) end = start;
    }
    const int next = end == start ? -1
                                  : ::openat(fd < 0 ? AT_FDCWD : fd,
                                             path.substr(start, end - start).c_str(), kFolderFlags);
    const int error = end == start ? ENAMETOOLONG : errno;
    if (fd >= 0) ::close(fd);
    if (next < 0) return error;
    fd = next;
    start = end + 1;
  }
  handle_ = fd;
  return 0;
}

int OpenFolder::open_below(const OpenFolder& base, std::string_view relative) {
  close();
  const int at = static_cast<int>(base.handle_);
  const std::string whole = relative.empty() ? std::string(".") : std::string(relative);
  if (whole.size() < PATH_MAX) {
    const int fd = open_without_links(at, whole);
    if (fd >= 0) {
      handle_ = fd;
      return 0;
    }
    // Only a kernel without openat2, or one that refuses it here, leaves
    // the walk below to do.
    const int error = errno;
    if (error != ENOSYS && error != EPERM && error != EINVAL && error != E2BIG &&
        error != EAGAIN) {
      return error;
    }
  }
  // One folder at a time, none of them a link.
  int fd = ::openat(at, ".", kFolderFlags);
  if (fd < 0) return errno;
  for (std::size_t start = 0; start < whole.size();) {
    std::size_t end = whole.find('/', start);
    if (end == std::string::npos) end = whole.size();
    const std::string part = whole.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    const int next = ::openat(fd, part.c_str(), kFolderFlags | O_NOFOLLOW);
    int error = errno;
    struct stat info {};
    if (next < 0 && ::fstatat(fd, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
      error = ELOOP;
    }
    ::close(fd);
    if (next < 0) return error;
    fd = next;
  }
  handle_ = fd;
  return 0;
}

EntryInfo OpenFolder::entry(const std::string& name) const {
  struct stat info {};
  if (::fstatat(static_cast<int>(handle_), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    EntryInfo missing;
    missing.error = errno;
    return missing;
  }
  return info_of(info);
}

int OpenFolder::rename_no_replace(const std::string& name, const OpenFolder& to,
                                  const std::string& to_name) const {
  const int from_at = static_cast<int>(handle_);
  const int to_at = static_cast<int>(to.handle_);
  const char* from = name.c_str();
  const char* target = to_name.c_str();
  if (::renameat2(from_at, from, to_at, target, RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  const bool no_flag = error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
  if (error != EEXIST && !no_flag) return error;

  struct stat source {};
  struct stat taken {};
  if (::fstatat(from_at, from, &source, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (::fstatat(to_at, target, &taken, AT_SYMLINK_NOFOLLOW) == 0 && same_file(source, taken)) {
    // The same file under another letter case: nothing else can be replaced.
    return ::renameat(from_at, from, to_at, target) == 0 ? 0 : errno;
  }
  if (!no_flag) return error;

  // As rename_no_replace(): a hard link, which fails when the target exists.
  if (::linkat(from_at, from, to_at, target, 0) == 0) {
    if (::unlinkat(from_at, from, 0) == 0) return 0;
    error = errno;
    ::unlinkat(to_at, target, 0);
    return error;
  }
  error = errno;
  if (error != EPERM && error != EOPNOTSUPP && error != ENOSYS) return error;

  // No hard links either: the target reserved by an exclusive create and
  // renamed over only while it is still that empty file.
  const int fd = ::openat(to_at, target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  struct stat reserved {};
  const bool known = ::fstat(fd, &reserved) == 0;
  error = errno;
  ::close(fd);
  if (!known) {
    ::unlinkat(to_at, target, 0);
    return error;
  }
  const auto still_ours = [&] {
    struct stat now {};
    return ::fstatat(to_at, target, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, reserved) &&
           S_ISREG(now.st_mode) && now.st_size == 0;
  };
  if (!still_ours()) return EEXIST;
  if (::renameat(from_at, from, to_at, target) == 0) return 0;
  error = errno;
  if (still_ours()) ::unlinkat(to_at, target, 0);
  return error;
}

int OpenFolder::remove_empty_folder(const std::string& name) const {
  return ::unlinkat(static_cast<int>(handle_), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

std::vector<std::string> OpenFolder::list(const std::string& name, int* error) const {
  std::vector<std::string> names;
  const int fd = ::openat(static_cast<int>(handle_), name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (error != nullptr) *error = errno;
    if (fd >= 0) ::close(fd);
    return names;
  }
  return names_in(dir, error);
}

}  // namespace kestrune::platform
