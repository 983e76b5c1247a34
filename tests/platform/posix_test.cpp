// The POSIX platform layer: renames and text; the Windows one has its own suite.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#if defined(__linux__) && __has_include(<linux/io_uring.h>)
#include "platform/io_ring.h"
#endif
#include "support/temp_folder.h"

namespace {

// The fallbacks for file systems without RENAME_NOREPLACE (NFS, FUSE) or
// without hard links (vfat, exFAT) cannot be provoked on the disks the tests
// run on. These two definitions stand in for the C library's: they pass every
// call through, and refuse as such a file system would when asked to.
enum class Refuse { kNothing, kNoReplaceFlag, kNoReplaceFlagAndLinks };
Refuse g_refuse = Refuse::kNothing;
int g_link_calls = 0;

}  // namespace

extern "C" int renameat2(int old_dir, const char* old_path, int new_dir, const char* new_path,
                         unsigned int flags) noexcept {
  if (g_refuse != Refuse::kNothing && (flags & RENAME_NOREPLACE) != 0) return errno = EINVAL, -1;
  return static_cast<int>(::syscall(SYS_renameat2, old_dir, old_path, new_dir, new_path, flags));
}

extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to,
                      int flags) noexcept {
  ++g_link_calls;
  if (g_refuse == Refuse::kNoReplaceFlagAndLinks) return errno = EPERM, -1;
  return static_cast<int>(::syscall(SYS_linkat, from_dir, from, to_dir, to, flags));
}

extern "C" int link(const char* from, const char* to) noexcept {
  return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

namespace kestrune::platform {
namespace {

namespace fs = std::filesystem;
using namespace test;
using namespace std::string_literals;

TEST(RenameNoReplace, MovesAFileButNeverReplacesAnotherNorFailsOnItself) {
  for (const Refuse refuse :
       {Refuse::kNothing, Refuse::kNoReplaceFlag, Refuse::kNoReplaceFlagAndLinks}) {
    SCOPED_TRACE(static_cast<int>(refuse));
    g_refuse = refuse;
    TempFolder folder;
    write_bytes("a.mp3", "audio-a");
    write_bytes("b.mp3", "audio-b");
    g_link_calls = 0;
    EXPECT_EQ(rename_no_replace("a.mp3", "moved.mp3"), 0);
    EXPECT_EQ(read_bytes("moved.mp3"), "audio-a");
    EXPECT_FALSE(fs::exists("a.mp3"));
    // Only the fallback links; nothing is left behind under the old name.
    EXPECT_EQ(g_link_calls > 0, refuse != Refuse::kNothing);
    EXPECT_EQ(rename_no_replace("b.mp3", "moved.mp3"), EEXIST);
    EXPECT_EQ(read_bytes("moved.mp3"), "audio-a");
    EXPECT_EQ(read_bytes("b.mp3"), "audio-b");
    // A link that points nowhere is still a name that must not be replaced.
    EXPECT_EQ(::symlink("nowhere", "dangling.mp3"), 0);
    EXPECT_EQ(rename_no_replace("b.mp3", "dangling.mp3"), EEXIST);
    EXPECT_TRUE(fs::is_symlink("dangling.mp3"));
    EXPECT_EQ(read_bytes("b.mp3"), "audio-b");
    EXPECT_EQ(rename_no_replace("missing.mp3", "other.mp3"), ENOENT);
    // The same file is no other file, under any of its names: nothing can be lost.
    EXPECT_EQ(rename_no_replace("b.mp3", "b.mp3"), 0);
    EXPECT_EQ(rename_no_replace("b.mp3", "./b.mp3"), 0);
    EXPECT_EQ(::syscall(SYS_linkat, AT_FDCWD, "b.mp3", AT_FDCWD, "c.mp3", 0), 0);
    EXPECT_EQ(rename_no_replace("b.mp3", "c.mp3"), 0);
    EXPECT_EQ(read_bytes("c.mp3"), "audio-b");
    // The same between two open folders, as an undo moves files back.
    fs::create_directory("sub");
    OpenFolder here, sub;
    ASSERT_EQ(here.open(""), 0);
    ASSERT_EQ(sub.open_below(here, "sub"), 0);
    EXPECT_EQ(here.rename_no_replace("c.mp3", sub, "c.mp3"), 0);
    EXPECT_EQ(read_bytes("sub/c.mp3"), "audio-b");
    EXPECT_EQ(sub.rename_no_replace("c.mp3", here, "moved.mp3"), EEXIST);
    EXPECT_EQ(sub.rename_no_replace("c.mp3", here, "dangling.mp3"), EEXIST);
    EXPECT_EQ(read_bytes("moved.mp3"), "audio-a");
    EXPECT_EQ(read_bytes("sub/c.mp3"), "audio-b");
  }
  g_refuse = Refuse::kNothing;
}

// Below an open folder nothing is reached through a link, whether the kernel
// refuses the links (a short path) or each folder is opened in turn (a path
// longer than the kernel takes in one call).
TEST(OpenFolder, ReachesWhatIsBelowItNeverThroughALink) {
  TempFolder folder;
  fs::create_directories("a/b/c");
  fs::create_directories("private/c");
  fs::create_directory_symlink("../private", "a/link");
  OpenFolder top, below;
  ASSERT_EQ(top.open((folder.path() / "a").string()), 0);
  std::string long_way;
  while (long_way.size() <= PATH_MAX) long_way += "./";
  for (const std::string& way : {std::string(), long_way}) {
    SCOPED_TRACE(way.size());
    EXPECT_EQ(below.open_below(top, way + "b/c"), 0);
    EXPECT_EQ(below.open_below(top, way + "link/c"), ELOOP);
    EXPECT_EQ(below.open_below(top, way + "link"), ELOOP);
    EXPECT_EQ(below.open_below(top, way + "missing/c"), ENOENT);
  }
  EXPECT_EQ(top.entry("link").kind, EntryType::kLink);
  EXPECT_EQ(top.remove_empty_folder("link"), ENOTDIR);
  EXPECT_TRUE(fs::exists("private/c"));
  EXPECT_EQ(top.remove_empty_folder("b/c"), 0);
}

// Kestrune.ini and Error.log: a new file is no more open to others than the
// umask lets any new file be, and a file replaced keeps the mode it had.
TEST(ReplaceFile, ANewFileGetsWhatTheUmaskAllowsAndAReplacedOneKeepsItsMode) {
  TempFolder folder;
  for (const mode_t mask : {022, 077}) {
    for (const ReplacePolicy policy : {ReplacePolicy::kRegularFileOnly, ReplacePolicy::kThroughLinks}) {
      SCOPED_TRACE(std::to_string(mask) + " " + std::to_string(int(policy)));
      const mode_t before = ::umask(mask);
      fs::remove("new");
      EXPECT_TRUE(replace_file("new", "bytes", policy));
      write_bytes("old", "old bytes");
      ::chmod("old", 0604);
      EXPECT_TRUE(replace_file("old", "bytes", policy));
      ::umask(before);
      struct stat made {}, kept {};
      ASSERT_EQ(::stat("new", &made) + ::stat("old", &kept), 0);
      EXPECT_EQ(made.st_mode & 07777, 0666 & ~mask);
      EXPECT_EQ(kept.st_mode & 07777, 0604u);
      EXPECT_EQ(read_bytes("old"), "bytes");
    }
  }
}

// Copies the units into a heap block of exactly their number, so that a read
// past `count` is caught by the address sanitizer.
std::string from_utf16(std::u16string_view units) {
  const auto block = std::make_unique<char16_t[]>(units.size() + 1);
  std::copy(units.begin(), units.end(), block.get());
  return text_from_utf16(block.get(), units.size());
}

TEST(TextFromUtf16, KeepsEveryCharacterAndReplacesUnpairedSurrogates) {
  const struct { std::u16string units; std::string expected; } cases[] = {
      {u"", ""},
      {u"Caf\u00E9 \u20AC \u65E5", "Caf\u00E9 \u20AC \u65E5"},  // two- and three-byte UTF-8
      {u"a\xD83C", "a\uFFFD"},                                  // high surrogate at the end
      {u"a\xDFB5z", "a\uFFFDz"},                                // low surrogate alone
      {u"\xD83C\xD83C\xDFB5", "\uFFFD\U0001F3B5"},              // high, then a pair
      {u"\xD83Cz", "\uFFFDz"},                                  // high before a plain unit
      {u"One\0Two"s, "One"},                                    // ends at the first zero unit
  };
  for (const auto& c : cases) EXPECT_EQ(from_utf16(c.units), c.expected) << c.expected;
  // A low surrogate behind `count` is never paired.
  const char16_t units[] = {u'x', 0xD83C, 0xDFB5};
  EXPECT_EQ(text_from_utf16(units, 2), "x\uFFFD");
}

TEST(TextFromLatin1, KeepsValidUtf8AndReadsAnythingElseAsWindows1252) {
  const struct { const char* what; std::string bytes; std::string expected; } cases[] = {
      {"UTF-8 of 2, 3 and 4 bytes", "\u00E9\u20AC\U0001F3B5", "\u00E9\u20AC\U0001F3B5"},
      {"Latin-1 letters", "Caf\xE9 \xFC\xDF\xA0\xFF", "Caf\u00E9 \u00FC\u00DF\u00A0\u00FF"},
      {"Windows-1252 range", "\x80\x85\x8A\x99\x9F", "\u20AC\u2026\u0160\u2122\u0178"},
      {"bytes Windows-1252 leaves undefined", "\x81\x8D\x8F\x90\x9D",
       "\u0081\u008D\u008F\u0090\u009D"},
      // Not valid UTF-8 as a whole, so every byte is converted.
      {"valid sequence beside a stray byte", "\xC3\xA9\xE9", "\u00C3\u00A9\u00E9"},
      {"cut sequence", "ab\xE2\x82", "ab\u00E2\u201A"},
      {"overlong slash", "\xC0\xAF", "\u00C0\u00AF"},
      {"encoded surrogate", "\xED\xA0\x80", "\u00ED\u00A0\u20AC"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\u00F4\u0090\u20AC\u20AC"},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", "\u00F8\u02C6\u20AC\u20AC\u20AC"},
  };
  for (const auto& c : cases) EXPECT_EQ(text_from_latin1(c.bytes), c.expected) << c.what;
}

// Only links and entries the listing cannot tell are looked at before they
// are opened; an entry no longer what the listing said is not read either.
TEST(Files, OpenOnlyRegularFilesThatAreThereAndReadByOffsetUpToTheEnd) {
  TempFolder folder;
  write_bytes("a.mp3", "0123456789");
  ASSERT_EQ(::mkfifo("fifo.mp3", 0600), 0);
  fs::create_symlink("/dev/null", "link.mp3");
  std::string kinds;
  int listing = -1;
  const FileList listed = list_mp3_entries("", &listing);
  for (std::size_t i = 0; i < listed.size(); ++i) kinds += std::to_string(int(listed.kind(i)));
  EXPECT_EQ(kinds, "058");  // regular, FIFO, unknown
  EXPECT_EQ(listing, 0);
  // A folder that cannot be listed says why, from the one reading.
  EXPECT_EQ(list_mp3_entries("missing", &listing).size() + listing, std::size_t{ENOENT});
  EXPECT_EQ(list_mp3_entries("a.mp3", &listing).size() + listing, std::size_t{ENOTDIR});
  FileReader file;
  EntryKind kind{};
  EXPECT_EQ(file.open("fifo.mp3", &kind, EntryKind::kRegular), EINVAL);  // swapped meanwhile
  EXPECT_EQ(file.open("link.mp3", &kind), EINVAL);
  EXPECT_EQ(kind, EntryKind::kDevice);
  ASSERT_EQ(file.open("a.mp3", &kind, EntryKind::kRegular), 0);
  char bytes[8] = {};
  EXPECT_EQ(std::string(bytes, file.read_at(6, bytes, sizeof bytes)) + std::to_string(file.size()),
            "678910");
  fs::resize_file("a.mp3", 3);  // cut after it was opened: the read stops at the new end
  EXPECT_EQ(file.read_at(0, bytes, sizeof bytes), 3u);
  int error = 0;
  EXPECT_TRUE(!open_for_append("missing.journal", 0, &error) && error == ENOENT);
}

// Read through the kernel's ring, a batch gives what one file after the
// other gives, at every edge of the head and the tail, for entries that are
// no regular file, and again once it is cleared.
TEST(Files, ABatchReadsWhatOneFileAfterTheOtherReads) {
  TempFolder folder;
  std::vector<std::pair<std::string, EntryKind>> entries;
  std::vector<std::string> contents;
  for (const std::size_t size : {0, 1, 127, 128, 129, 4095, 4096, 4097, 70000}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + size);
    entries.emplace_back("f" + std::to_string(size), EntryKind::kRegular);
    write_bytes(entries.back().first, bytes);
    contents.push_back(std::move(bytes));
  }
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  fs::create_directory("dir");
  fs::create_symlink("/dev/null", "device");
  fs::create_symlink("nowhere", "dangling");
  for (const auto& [name, kind] : std::vector<std::pair<std::string, EntryKind>>{
           {"missing", EntryKind::kRegular}, {"fifo", EntryKind::kRegular},
           {"dir", EntryKind::kRegular}, {"fifo", EntryKind::kUnknown},
           {"device", EntryKind::kUnknown}, {"dangling", EntryKind::kUnknown},
           {"f4097", EntryKind::kUnknown}, {"dir", EntryKind::kFolder}}) {
    entries.emplace_back(name, kind);
  }
  const auto read = [&](FileBatch& batch) {
    for (const auto& [name, kind] : entries) batch.add(name, kind);
    batch.read();
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      seen.push_back(std::to_string(batch.error(i)) + " " + std::to_string(int(batch.kind(i))) +
                     " " + std::string(batch.head(i)) + "|" + std::string(batch.tail(i)));
      if (i < contents.size()) {  // the head, and the tail unless the head holds the file
        const std::string& bytes = contents[i];
        EXPECT_EQ(batch.head(i), bytes.substr(0, 4096)) << i;
        EXPECT_EQ(batch.tail(i), bytes.size() > 4096 ? bytes.substr(bytes.size() - 128) : "");
      }
    }
    batch.clear();
    return seen;
  };
  FileBatch one_by_one(4096, 128, false);
  FileBatch ring(4096, 128);
  const std::vector<std::string> expected = read(one_by_one);
  EXPECT_EQ(read(ring), expected);
  EXPECT_EQ(read(ring), expected);
  EXPECT_EQ(expected[9], "2 1 |");    // missing
  EXPECT_EQ(expected[10], "22 5 |");  // a FIFO where the listing saw a file
  EXPECT_EQ(expected[11], "21 3 |");  // a folder
  EXPECT_EQ(expected[14], "2 2 |");   // a dangling link
}

// Entries listed as files and swapped for links before they are read: the
// link to a FIFO is looked at and never opened (a writer waiting on it stays
// waiting), the link to a file is read as links are; alone, in a batch and
// through the ring.
TEST(Files, ALinkSwappedInAfterTheListingIsLookedAtAndAFifoNeverOpened) {
  TempFolder folder;
  write_bytes("file", "file bytes");
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, "fifo", IN_OPEN), 0);
  for (const char* name : {"a.mp3", "b.mp3"}) write_bytes(name, "listed");
  const FileList listed = list_mp3_entries("");
  ASSERT_EQ(listed.size(), 2u);
  fs::remove("a.mp3");
  fs::create_symlink("fifo", "a.mp3");
  fs::remove("b.mp3");
  fs::create_symlink("file", "b.mp3");
  const std::string names[] = {std::string(listed.name(0)), std::string(listed.name(1))};
  std::vector<std::string> seen;
  FileReader file;
  for (std::size_t i = 0; i < 2; ++i) {
    EntryKind kind{};
    const int error = file.open(names[i], &kind, listed.kind(i));
    seen.push_back(std::to_string(error) + " " + std::to_string(int(kind)));
  }
  for (const bool use_ring : {false, true}) {
    FileBatch batch(16, 4, use_ring);
    for (std::size_t i = 0; i < 2; ++i) batch.add(names[i], listed.kind(i));
    batch.read();
    for (std::size_t i = 0; i < 2; ++i) {
      seen.push_back(std::to_string(batch.error(i)) + " " + std::to_string(int(batch.kind(i))) +
                     " " + std::string(batch.head(i)));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"22 5", "0 0", "22 5 ", "0 0 file bytes", "22 5 ",
                                            "0 0 file bytes"}));
  char event[sizeof(inotify_event) + 256];
  EXPECT_EQ(::read(watch, event, sizeof event), -1) << "the FIFO was opened";
  ::close(watch);
}

#if defined(__linux__) && __has_include(<linux/io_uring.h>)
std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A ring whose io_uring_enter fails once the kernel holds the requests: the
// batch waits for what it handed over before it reads one file after the
// other, so no descriptor a late open made is left behind, and it reads
// what a batch without the ring reads.
TEST(Files, ABatchWhoseRingFailsWaitsForWhatItHandedOverAndLeaksNothing) {
  TempFolder folder;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    names.push_back("f" + std::to_string(i));
    write_bytes(names.back(), std::string(5000 + i, static_cast<char>('a' + i % 26)));
  }
  const auto read = [&](FileBatch& batch) {
    for (const std::string& name : names) batch.add(name, EntryKind::kRegular);
    batch.read();
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      seen.push_back(std::to_string(batch.error(i)) + std::string(batch.head(i)) + "|" +
                     std::string(batch.tail(i)));
    }
    batch.clear();
    return seen;
  };
  FileBatch one_by_one(4096, 128, false);
  const std::vector<std::string> expected = read(one_by_one);
  const IoRing::EnterCall real_enter = IoRing::enter_call;
  static int enters = 0, failing = 0;
  IoRing::enter_call = [](int fd, unsigned n, unsigned wait, unsigned flags) -> long {
    if (++enters != failing) return ::syscall(__NR_io_uring_enter, fd, n, wait, flags, nullptr, 0);
    ::syscall(__NR_io_uring_enter, fd, n, 0, 0, nullptr, 0);  // handed over, not waited for
    return errno = EIO, -1;
  };
  for (const int call : {1, 2}) {  // the opens' call, the reads' call
    SCOPED_TRACE(call);
    const std::size_t before = open_descriptors();
    enters = 0;
    failing = call;
    {
      FileBatch ring(4096, 128);
      EXPECT_EQ(read(ring), expected);
    }
    EXPECT_EQ(open_descriptors(), before);
  }
  IoRing::enter_call = real_enter;
}
#endif

}  // namespace
}  // namespace kestrune::platform

#endif  // _WIN32
