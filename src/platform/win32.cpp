// The Win32 implementation of the platform layer.

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <io.h>

#include "platform/platform.h"

namespace kestrune::platform {

namespace {

constexpr DWORD kDirectoryBuffer = 512;

int errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    default:
      return EINVAL;
  }
}

bool ends_with_mp3(const char* name) {
  const std::size_t length = std::strlen(name);
  if (length < 4) return false;
  const char* ending = name + length - 4;
  return ending[0] == '.' && (ending[1] | 0x20) == 'm' && (ending[2] | 0x20) == 'p' &&
         ending[3] == '3';
}

bool write_all(HANDLE file, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1u << 30);
    DWORD wrote = 0;
    if (!WriteFile(file, bytes.data() + done, static_cast<DWORD>(chunk), &wrote, nullptr) ||
        wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return true;
}

// Where the reparse points (links, junctions) that `path` passes through
// lead: the final name of what it opens. False where that cannot be opened.
bool follow_links(std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string final_name(MAX_PATH, '\0');
  DWORD length = GetFinalPathNameByHandleA(file, final_name.data(), MAX_PATH, FILE_NAME_NORMALIZED);
  if (length >= MAX_PATH) {
    final_name.assign(length, '\0');
    length = GetFinalPathNameByHandleA(file, final_name.data(), length, FILE_NAME_NORMALIZED);
  }
  CloseHandle(file);
  if (length == 0 || length >= final_name.size()) return false;
  final_name.resize(length);
  path = final_name;
  return true;
}

// The most of an old file rewrite_in_place holds back to put it back.
constexpr LONGLONG kMaxKeptInPlace = LONGLONG{16} << 20;

// Writes `bytes` over the start of the file `path` and cuts it to their
// length. The whole old file is read first, so that when any step up to the
// flush fails, every old byte goes back and the old length with them. A file
// too large to hold back is left alone.
bool rewrite_in_place(const std::string& path, std::string_view bytes) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER old_size{};
  std::string old;
  bool read = GetFileSizeEx(file, &old_size) && old_size.QuadPart <= kMaxKeptInPlace;
  if (read) old.resize(static_cast<std::size_t>(old_size.QuadPart));
  for (std::size_t done = 0; read && done < old.size();) {
    DWORD got = 0;
    read = ReadFile(file, old.data() + done, static_cast<DWORD>(old.size() - done), &got, nullptr) &&
           got > 0;
    done += got;
  }
  const auto rewrite = [&](std::string_view with, LARGE_INTEGER size) {
    return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && write_all(file, with) &&
           SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
           FlushFileBuffers(file);
  };
  LARGE_INTEGER new_size{};
  new_size.QuadPart = static_cast<LONGLONG>(bytes.size());
  const bool ok = read && rewrite(bytes, new_size);
  if (!ok && read) rewrite(old, old_size);
  return CloseHandle(file) && ok;
}

}  // namespace

std::string text_from_utf16(const char16_t* units, std::size_t count) {
  std::size_t length = 0;
  while (length < count && units[length] != 0) ++length;
  if (length == 0) return std::string();
  // A tag body is far below 2 GiB; the clamp only keeps the cast honest.
  const int wide = static_cast<int>(std::min<std::size_t>(length, 0x7FFFFFFF));
  const auto* source = reinterpret_cast<const wchar_t*>(units);
  // No flags and no default character of ours: characters the ANSI code page
  // lacks become the conversion's own best-fit or default character.
  const int needed = WideCharToMultiByte(CP_ACP, 0, source, wide, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string out(static_cast<std::size_t>(needed), '\0');
  const int wrote = WideCharToMultiByte(CP_ACP, 0, source, wide, out.data(), needed, nullptr, nullptr);
  out.resize(wrote > 0 ? static_cast<std::size_t>(wrote) : 0);
  return out;
}

std::string text_from_latin1(std::string_view bytes) { return std::string(bytes); }

FilePtr open_regular_file(const std::string& path, int* error, EntryKind* kind) {
  int ignored_error = 0;
  EntryKind ignored_kind = EntryKind::kRegular;
  int& result = error != nullptr ? *error : ignored_error;
  EntryKind& what = kind != nullptr ? *kind : ignored_kind;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    result = errno_from_last_error();
    what = result == ENOENT ? EntryKind::kMissing : EntryKind::kUnknown;
    return nullptr;
  }
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    what = folder ? EntryKind::kFolder : EntryKind::kDevice;
    result = folder ? EISDIR : EINVAL;
    return nullptr;
  }
  // The attributes of a link are its own; one that leads nowhere fails here.
  HANDLE probe = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    result = errno_from_last_error();
    if (result == ENOENT) {
      const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      what = link ? EntryKind::kDanglingLink : EntryKind::kMissing;
      return nullptr;
    }
  } else {
    // Reserved names such as "CON" or "NUL" pass the attribute test but
    // name a character device, which would block or read nothing.
    const DWORD type = GetFileType(probe);
    CloseHandle(probe);
    if (type != FILE_TYPE_DISK) {
      what = type == FILE_TYPE_PIPE ? EntryKind::kFifo : EntryKind::kDevice;
      result = EINVAL;
      return nullptr;
    }
  }
  what = EntryKind::kRegular;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    result = errno != 0 ? errno : EACCES;
    return nullptr;
  }
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    std::fclose(file);
    what = EntryKind::kDevice;
    result = EINVAL;
    return nullptr;
  }
  result = 0;
  return FilePtr(file);
}

int FileReader::open(const std::string& path, EntryKind* kind, EntryKind listed) {
  close();
  EntryKind ignored_kind = EntryKind::kRegular;
  EntryKind& what = kind != nullptr ? *kind : ignored_kind;
  if (listed != EntryKind::kUnknown && listed != EntryKind::kRegular) {
    what = listed;
    return listed == EntryKind::kFolder ? EISDIR : EINVAL;
  }
  int error = 0;
  FilePtr file = open_regular_file(path, &error, &what);
  if (!file) return error;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) return errno_from_last_error();
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  failed_ = false;
  handle_ = reinterpret_cast<std::intptr_t>(file.release());
  return 0;
}

std::size_t FileReader::read_at(std::uint64_t offset, char* out, std::size_t count) {
  if (handle_ == -1) return 0;
  std::FILE* file = reinterpret_cast<std::FILE*>(handle_);
  if (_fseeki64(file, static_cast<long long>(offset), SEEK_SET) != 0) {
    failed_ = true;
    return 0;
  }
  const std::size_t done = std::fread(out, 1, count, file);
  if (std::ferror(file)) failed_ = true;
  return done;
}

int FileReader::open_no_follow(const std::string& path, EntryInfo* info) {
  // The attributes are looked at before the open: a reparse point put in
  // the file's place in between is not noticed here.
  const EntryInfo seen = entry_info(path);
  if (seen.kind == EntryType::kLink || seen.kind == EntryType::kOther) return EINVAL;
  const int error = open(path);
  if (error == 0 && info != nullptr) *info = seen;
  return error;
}

void FileReader::close() {
  if (handle_ != -1) std::fclose(reinterpret_cast<std::FILE*>(handle_));
  handle_ = -1;
  size_ = 0;
}

std::size_t name_part_limit(const std::string&) { return 255; }

std::size_t name_part_length(std::string_view part) {
  if (part.empty()) return 0;
  const int units = MultiByteToWideChar(CP_ACP, 0, part.data(),
                                        static_cast<int>(std::min<std::size_t>(part.size(), 0x7FFFFFFF)),
                                        nullptr, 0);
  return units > 0 ? static_cast<std::size_t>(units) : part.size();
}

std::string host_path(std::string_view name) { return std::string(name); }

bool make_folder(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

int rename_no_replace(const std::string& from, const std::string& to, bool,
                      const std::function<bool()>&) {
  // MoveFileA never replaces an existing target, and renames a file to
  // another letter case of its own name.
  return MoveFileA(from.c_str(), to.c_str()) ? 0 : errno_from_last_error();
}

int remove_second_name(const std::string&, const std::string&) {
  return EEXIST;  // MoveFileA leaves no second name
}

std::optional<std::string> current_directory() {
  std::string buffer(kDirectoryBuffer, '\0');
  DWORD length = GetCurrentDirectoryA(kDirectoryBuffer, buffer.data());
  if (length >= kDirectoryBuffer) {
    // Too long for the usual buffer: the answer is the size it needs.
    buffer.assign(length, '\0');
    length = GetCurrentDirectoryA(length, buffer.data());
    if (length >= buffer.size()) return std::nullopt;
  }
  if (length == 0) return std::nullopt;
  buffer.resize(length);
  return buffer;
}

bool change_directory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

FileList list_mp3_entries(const std::string& folder, int* error) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/' &&
      pattern.back() != ':') {
    pattern += '\\';
  }
  pattern += "*.mp3";

  // The attributes of a found entry do not tell a reserved device name:
  // every entry is looked at when it is opened.
  FileList files;
  if (error != nullptr) *error = 0;
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    // No match and no folder fail alike: the folder itself tells them apart.
    if (error != nullptr) {
      const DWORD attributes = GetFileAttributesA(folder.empty() ? "." : folder.c_str());
      *error = attributes == INVALID_FILE_ATTRIBUTES                 ? errno_from_last_error()
               : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0        ? ENOTDIR
                                                                     : 0;
    }
    return files;
  }
  do {
    // The pattern also matches through 8.3 short names ("a.mp3x" as
    // "A~1.MP3"); only the long name counts.
    if (ends_with_mp3(entry.cFileName)) files.add(entry.cFileName);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
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
  DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (policy == ReplacePolicy::kRegularFileOnly || !follow_links(target)) return false;
    attributes = GetFileAttributesA(target.c_str());
  }
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  // Only a plain file is replaced: never a folder, a device or a link.
  constexpr DWORD kNotAFile =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
  if (exists && (attributes & kNotAFile) != 0) return errno = EINVAL, false;

  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; error == ERROR_FILE_EXISTS && attempt < 100; ++attempt) {
    temporary = target + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(attempt);
    file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  }
  if (file == INVALID_HANDLE_VALUE) {
    // A folder that takes no new files, around a file that may be written.
    if (policy == ReplacePolicy::kThroughLinks && exists && error == ERROR_ACCESS_DENIED) {
      return rewrite_in_place(target, bytes);
    }
    SetLastError(error);
    return errno = errno_from_last_error(), false;
  }
  bool ok = write_all(file, bytes);
  ok = FlushFileBuffers(file) && ok;
  ok = CloseHandle(file) && ok;
  if (!ok || !MoveFileExA(temporary.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const int failure = errno_from_last_error();
    DeleteFileA(temporary.c_str());
    return errno = failure, false;
  }
  return true;
}

int remove_empty_folder(const std::string& path) {
  // RemoveDirectoryA refuses files and folders that hold anything.
  if (RemoveDirectoryA(path.c_str())) return 0;
  const DWORD error = GetLastError();
  if (error == ERROR_DIR_NOT_EMPTY) return ENOTEMPTY;
  if (error == ERROR_DIRECTORY) return ENOTDIR;
  SetLastError(error);
  return errno_from_last_error();
}

bool sync_file(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  if (FlushFileBuffers(handle)) return true;
  errno = errno_from_last_error();
  return false;
}

// NTFS puts a new name on the disk with the file; there is nothing to ask.
bool sync_folder(const std::string&) { return true; }

// --- Runs and their journals -------------------------------------------------

std::optional<std::string> state_folder() {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || *local == '\0') return std::nullopt;
  return join_path(local, "Kestrune");
}

std::string join_path(std::string_view folder, std::string_view name) {
  if (folder.empty() || is_absolute_path(name)) return std::string(name);
  std::string joined(folder);
  if (joined.back() != '\\' && joined.back() != '/') joined += '\\';
  return joined.append(name);
}

std::string normal_path(std::string_view path) {
  return std::filesystem::path(std::string(path)).lexically_normal().string();
}

int create_folder(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) ? 0 : errno_from_last_error();
}

int create_private_folders(const std::string& path) {
  // The folders below %LOCALAPPDATA% are the user's alone already.
  for (std::size_t at = path.find_first_of("\\/", 3);; at = path.find_first_of("\\/", at + 1)) {
    const std::string part = path.substr(0, at);
    if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return errno_from_last_error();
    }
    if (at == std::string::npos) break;
  }
  return 0;
}

EntryInfo entry_info(const std::string& path) {
  EntryInfo result;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    result.error = errno_from_last_error();
    return result;
  }
  result.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryType::kLink
                : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? EntryType::kFolder
                                                                 : EntryType::kFile;
  // Files below the user's profile are the user's; there is no mode to check.
  result.owned_by_user = true;
  return result;
}

int folder_state(const std::string& path, bool writable) {
  (void)writable;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return errno_from_last_error();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ENOTDIR;
}

bool same_file(const std::string& a, const std::string& b) {
  auto id = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return id(a, first) && id(b, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

std::vector<std::string> list_folder(const std::string& folder, int* error) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(join_path(folder.empty() ? "." : folder, "*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = errno_from_last_error();
    return names;
  }
  do {
    const std::string_view name(entry.cFileName);
    if (name != "." && name != "..") names.emplace_back(name);
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  if (error != nullptr) *error = 0;
  return names;
}

int read_file(const std::string& path, std::string& bytes, std::size_t limit) {
  bytes.clear();
  int error = 0;
  FilePtr file = open_regular_file(path, &error);
  if (!file) return error;
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    if (bytes.size() + got > limit) {
      bytes.clear();
      return EFBIG;
    }
    bytes.append(buffer, got);
  }
  if (std::ferror(file.get())) {
    bytes.clear();
    return EIO;
  }
  return 0;
}

FilePtr create_new_file(const std::string& path, int* error) {
  FilePtr file(std::fopen(path.c_str(), "wbx"));
  if (!file && error != nullptr) *error = errno;
  return file;
}

namespace {

// The bytes of a journal its two locks lie on, far beyond any journal's end
// so that the locks, which Windows enforces, never stand in a read's way:
// the run holds the first, an undo the second.
constexpr DWORD kRunLockHigh = 0x40000000;
constexpr DWORD kUndoLockHigh = 0x40000001;

// Locks one byte at kRunLockHigh or kUndoLockHigh of `handle`; false with
// the system's error when it cannot (or, without `wait`, not at once).
bool lock_byte(HANDLE handle, DWORD high, bool exclusive, bool wait) {
  OVERLAPPED at{};
  at.OffsetHigh = high;
  const DWORD flags =
      (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  return LockFileEx(handle, flags, 0, 1, 0, &at) != 0;
}

// The system frees the locks of a closed handle only some time later: they
// are given back first.
void unlock_byte(HANDLE handle, DWORD high) {
  OVERLAPPED at{};
  at.OffsetHigh = high;
  UnlockFileEx(handle, 0, 1, 0, &at);
}

}  // namespace

FilePtr create_journal(const std::string& path, std::string_view head, int* error) {
  int ignored = 0;
  int& failure = error != nullptr ? *error : ignored;
  // A temporary file, moved to its name once its head is on the disk; the
  // handle lets it be moved while open, and keeps others from writing it.
  const std::string temporary = path + ".new";
  const HANDLE handle =
      CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    failure = errno_from_last_error();
    return nullptr;
  }
  DWORD wrote = 0;
  const bool ok =
      WriteFile(handle, head.data(), static_cast<DWORD>(head.size()), &wrote, nullptr) &&
      wrote == head.size() && FlushFileBuffers(handle) &&
      lock_byte(handle, kRunLockHigh, true, false) &&
      MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    failure = errno_from_last_error();
    DeleteFileA(temporary.c_str());
    CloseHandle(handle);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), 0);
  if (fd < 0) {
    failure = errno;
    CloseHandle(handle);
    return nullptr;
  }
  FilePtr file(_fdopen(fd, "wb"));
  if (!file) {
    failure = errno;
    _close(fd);
  }
  return file;
}

int JournalLock::take(const std::string& path) {
  release();
  const HANDLE handle = CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return errno_from_last_error();
  if (!lock_byte(handle, kUndoLockHigh, true, true)) {
    const int failure = errno_from_last_error();
    CloseHandle(handle);
    return failure;
  }
  if (!lock_byte(handle, kRunLockHigh, false, false)) {
    const bool held = GetLastError() == ERROR_LOCK_VIOLATION;
    const int failure = held ? EBUSY : errno_from_last_error();
    unlock_byte(handle, kUndoLockHigh);
    CloseHandle(handle);
    return failure;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  return 0;
}

void JournalLock::release() {
  if (handle_ != -1) {
    const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    unlock_byte(handle, kRunLockHigh);
    unlock_byte(handle, kUndoLockHigh);
    CloseHandle(handle);
  }
  handle_ = -1;
}

bool journal_in_use(const std::string& path) {
  const HANDLE handle = CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool taken = lock_byte(handle, kRunLockHigh, false, false);
  const bool held = !taken && GetLastError() == ERROR_LOCK_VIOLATION;
  if (taken) unlock_byte(handle, kRunLockHigh);
  CloseHandle(handle);
  return held;
}

FilePtr open_for_append(const std::string& path, std::size_t size, int* error) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = errno_from_last_error();
    return nullptr;
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  LARGE_INTEGER current{};
  GetFileSizeEx(handle, &current);
  if (current.QuadPart > end.QuadPart &&
      (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle))) {
    if (error != nullptr) *error = errno_from_last_error();
    CloseHandle(handle);
    return nullptr;
  }
  CloseHandle(handle);
  FilePtr file(std::fopen(path.c_str(), "ab"));
  if (!file && error != nullptr) *error = errno;
  return file;
}

// --- Below a folder, never through a link -----------------------------------

// The folder's path, with each part below the base checked for a reparse
// point as it is reached; the use that follows the check can race with it.

OpenFolder::OpenFolder(OpenFolder&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)) {
  other.handle_ = -1;
}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
  if (this != &other) {
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = -1;
  }
  return *this;
}

void OpenFolder::close() {
  handle_ = -1;
  path_.clear();
}

int OpenFolder::open(const std::string& path) {
  close();
  const std::string folder = path.empty() ? std::string(".") : path;
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return errno_from_last_error();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
  path_ = folder;
  handle_ = 0;
  return 0;
}

int OpenFolder::open_below(const OpenFolder& base, std::string_view relative) {
  close();
  std::string folder = base.path_;
  for (std::size_t start = 0; start < relative.size();) {
    std::size_t end = relative.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string_view part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    folder = join_path(folder, part);
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return errno_from_last_error();
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ELOOP;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
  }
  path_ = folder;
  handle_ = 0;
  return 0;
}

EntryInfo OpenFolder::entry(const std::string& name) const {
  return entry_info(join_path(path_, name));
}

int OpenFolder::rename_no_replace(const std::string& name, const OpenFolder& to,
                                  const std::string& to_name) const {
  return platform::rename_no_replace(join_path(path_, name), join_path(to.path_, to_name));
}

int OpenFolder::remove_empty_folder(const std::string& name) const {
  const std::string folder = join_path(path_, name);
  if (entry_info(folder).kind == EntryType::kLink) return ENOTDIR;
  return platform::remove_empty_folder(folder);
}

std::vector<std::string> OpenFolder::list(const std::string& name, int* error) const {
  const std::string folder = join_path(path_, name);
  if (entry_info(folder).kind == EntryType::kLink) {
    if (error != nullptr) *error = ENOTDIR;
    return {};
  }
  return list_folder(folder, error);
}

}  // namespace kestrune::platform
