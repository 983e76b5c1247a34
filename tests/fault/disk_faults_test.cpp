// File systems without links, read-only folders, a full disk and things that
// are not files where the program writes: no file is lost or replaced, and
// nothing is half-written.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/batch.h"
#include "app/settings.h"
#include "fault/fault_support.h"
#include "support/tag_builder.h"
#include "support/fake_front_end.h"
#include "support/temp_folder.h"

namespace {

// A disk that fails to put what it was given on the platter cannot be had on
// demand; this definition stands in for the C library's and fails as such a
// disk does while the flag is set.
bool g_sync_fails = false;

}  // namespace

extern "C" int fsync(int fd) noexcept {
  if (g_sync_fails) return errno = EIO, -1;
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr char kTemplate[] = "%artist% - %title%";

// Error.log and Kestrune.ini wherever a hostile or unlucky folder can put them,
// written by a user without root's privileges. Error.log goes only into a regular
// file of its own, new and renamed into place; the settings follow a link to its
// target and are rewritten in place where their folder takes no new files. Neither
// is ever half-written (the settings not even at the file size limit); nothing else changes.
TEST(WriteTargets, EachFileIsWrittenWhollyOrNotAtAllAndOnlyWhereItBelongs) {
  // `make` puts the place at the file's name; `target` is what gets the settings.
  const struct { const char* place; void (*make)(const fs::path&); const char* target; } rows[] = {
      {"a link to a file elsewhere",
       [](const fs::path& file) { fs::create_symlink("../elsewhere/target", file); },
       "elsewhere/target"},
      {"a link to a full device",
       [](const fs::path& file) { fs::create_symlink("/dev/full", file); }, nullptr},
      {"a FIFO", [](const fs::path& file) { ::mkfifo(file.c_str(), 0666); }, nullptr},
      {"a writable file in a read-only folder",
       [](const fs::path& file) { write_bytes(file, "old"); ::chmod("place", 0555); },
       "place/Kestrune.ini"},
      {"a full disk", [](const fs::path& file) { write_bytes(file, "old"); }, nullptr},
      // Rewritten in place over a longer old file: the sync fails after the cut.
      {"a read-only folder on a disk that fails to sync",
       [](const fs::path& file) {
         write_bytes(file, format_settings(Settings{1, std::string(300, 'y')}));
         ::chmod("place", 0555);
         g_sync_fails = true;
       },
       nullptr},
  };
  for (const auto& row : rows) {
    for (const std::string name : {"Error.log", "Kestrune.ini"}) {
      SCOPED_TRACE(name + " in " + row.place);
      TempFolder folder;
      fs::create_directory("place");
      fs::create_directory("elsewhere");
      write_bytes("elsewhere/target", "old");
      const fs::path place = folder.path() / "place";
      const bool full_disk = std::string_view(row.place) == "a full disk";
      // The full disk: a tmpfs of 256 KiB in a mount namespace of this process
      // alone, gone with it even when it crashes.
      if (full_disk && (::unshare(CLONE_NEWNS) != 0 ||
                        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                        ::mount("tmpfs", place.c_str(), "tmpfs", 0, "size=256k,mode=0777") != 0)) {
        GTEST_SKIP() << "tmpfs: " << std::strerror(errno);
      }
      write_bytes("place/a.mp3", tagged_image("Artist", "Title"));
      write_bytes("place/Artist - Title.mp3", "taken");
      row.make(place / name);
      if (full_disk) std::system("cat /dev/zero >place/filler 2>/dev/null");  // to the last byte
      hand_to_unprivileged(folder.path());
      const fs::file_type type = fs::symlink_status(place / name).type();
      const std::string before = describe_tree(".");
      const bool regular = type == fs::file_type::regular;
      const std::string old_bytes = regular ? read_bytes(place / name) : "";
      const bool settings = name == "Kestrune.ini";
      EXPECT_EQ(run_unprivileged([&] {
        if (settings) {
          write_settings(Settings{0, "new"}, (place / name).string());
          const rlimit small{64, 64};
          ::signal(SIGXFSZ, SIG_IGN);
          ::setrlimit(RLIMIT_FSIZE, &small);
          write_settings(Settings{0, std::string(100, 'x')}, (place / name).string());
          return 0;
        }
        // The rename fails and is listed; nothing is said of the log.
        FakeFrontEnd front_end(FileChoice{place.string(), {"a.mp3"}}, true);
        run_batch(Settings{0, kTemplate}, front_end);
        return front_end.messages.size() == 1 &&
               front_end.messages[0].text == failure_box_text({"a.mp3"}) ? 0 : 1;
      }), 0);
      g_sync_fails = false;
      ::chmod("place", 0755);
      EXPECT_EQ(fs::symlink_status(place / name).type(), type);
      if (settings && row.target != nullptr) {
        EXPECT_EQ(read_bytes(row.target), format_settings(Settings{0, "new"}));
        EXPECT_EQ(describe_tree(".").find(".tmp"), std::string::npos);
      } else {
        EXPECT_EQ(describe_tree("."), before);
        if (regular) {
          EXPECT_EQ(read_bytes(place / name), old_bytes);
        }
      }
      if (full_disk) ::umount2(place.c_str(), MNT_DETACH);
    }
  }
}

// Where the file system has neither a no-replace rename nor hard links, the
// target is reserved first: a neighbour who saves a file under the same name
// is turned away, or keeps what it wrote into the reservation.
TEST(WriteTargets, NoFileSystemWithoutLinksLetsARenameReplaceANeighboursFile) {
  TempFolder folder;
  fs::create_directory("backing");
  fs::create_directory("mnt");
  const fs::path script = KESTRUNE_NOLINK_FS;
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no FUSE here: /dev/fuse is missing";
  if (std::system((script.string() + " backing mnt 2>mount.log").c_str()) != 0) {
    GTEST_SKIP() << "mounting a FUSE file system is not permitted: " << read_bytes("mount.log");
  }
  // Unmounting ends the file system's process.
  const std::unique_ptr<const char, void (*)(const char*)> unmount("mnt", [](const char* mount) {
    if (::umount2(mount, MNT_DETACH) != 0) std::system("fusermount -uz mnt");
  });
  const struct { std::string from, to; int error; } cases[] = {
      {"a.mp3", "free.mp3", 0}, {"b.mp3", "free.mp3", EEXIST},
      {"c.mp3", "contested.mp3", 0},   // the neighbour finds the name reserved
      {"d.mp3", "stolen.mp3", EEXIST},  // the neighbour wrote into the reservation
  };
  for (const auto& c : cases) write_bytes("mnt/" + c.from, c.from);
  for (const auto& c : cases) {
    EXPECT_EQ(platform::rename_no_replace("mnt/" + c.from, "mnt/" + c.to), c.error) << c.to;
    EXPECT_EQ(read_bytes("mnt/" + (c.error == 0 ? c.to : c.from)), c.from) << c.to;
  }
  EXPECT_EQ(read_bytes("backing/neighbour.log"), "stolen.mp3\n");
  EXPECT_EQ(read_bytes("backing/stolen.mp3"), "theirs");
  EXPECT_EQ(describe_tree("backing"),
            "b.mp3 5\ncontested.mp3 5\nd.mp3 5\nfree.mp3 5\nneighbour.log 11\nstolen.mp3 6\n");
}

}  // namespace
}  // namespace kestrune
