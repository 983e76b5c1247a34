#include "fault/fault_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "support/tag_builder.h"

namespace kestrune::test {

namespace {

constexpr uid_t kUnprivilegedId = 65534;  // "nobody"

struct FailingCookie {
  std::string bytes;
  std::size_t fail_at = 0;
  std::size_t position = 0;
};

ssize_t failing_read(void* cookie, char* buffer, std::size_t size) {
  auto& stream = *static_cast<FailingCookie*>(cookie);
  if (stream.position >= stream.bytes.size()) return 0;
  if (stream.position >= stream.fail_at) {
    errno = EIO;
    return -1;
  }
  const std::size_t count =
      std::min(size, std::min(stream.fail_at, stream.bytes.size()) - stream.position);
  std::memcpy(buffer, stream.bytes.data() + stream.position, count);
  stream.position += count;
  return static_cast<ssize_t>(count);
}

int failing_seek(void* cookie, off64_t* offset, int whence) {
  auto& stream = *static_cast<FailingCookie*>(cookie);
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off64_t>(stream.position)
                                            : static_cast<off64_t>(stream.bytes.size());
  if (*offset < -base) {
    errno = EINVAL;
    return -1;
  }
  stream.position = static_cast<std::size_t>(*offset += base);
  return 0;
}

int failing_close(void* cookie) {
  const std::unique_ptr<FailingCookie> owned(static_cast<FailingCookie*>(cookie));
  return 0;
}

}  // namespace

int run_unprivileged(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
         ::setuid(kUnprivilegedId) != 0)) {
      ::_exit(120);
    }
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void hand_to_unprivileged(const std::filesystem::path& root) {
  if (::geteuid() != 0) return;
  ::lchown(root.c_str(), kUnprivilegedId, kUnprivilegedId);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    ::lchown(entry.path().c_str(), kUnprivilegedId, kUnprivilegedId);
  }
}

PrivateTmpfs::PrivateTmpfs(const std::filesystem::path& folder, std::size_t bytes)
    : folder_(folder) {
  // Our own mount namespace keeps the mount out of everyone else's sight
  // and takes it away with the process, even one that crashes.
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  const char* step = ::unshare(CLONE_NEWNS) != 0 ? "unshare(CLONE_NEWNS)"
                     : ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                         ? "making / private"
                     : ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0
                         ? "mount -t tmpfs"
                         : nullptr;
  mounted_ = step == nullptr;
  if (!mounted_) why_not_ = std::string(step) + ": " + std::strerror(errno);
}

PrivateTmpfs::~PrivateTmpfs() {
  if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
}

void fill_file_system(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const std::string block(4096, '\0');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  while (::write(fd, block.data(), 1) > 0) {
  }
  ::close(fd);
}

platform::FilePtr failing_stream(std::string bytes, std::size_t fail_at) {
  auto cookie = std::make_unique<FailingCookie>(FailingCookie{std::move(bytes), fail_at, 0});
  const cookie_io_functions_t functions = {failing_read, nullptr, failing_seek, failing_close};
  std::FILE* file = ::fopencookie(cookie.get(), "rb", functions);
  if (file != nullptr) cookie.release();
  return platform::FilePtr(file);
}

std::string tagged_image(const std::string& artist, const std::string& title) {
  // A tag, then the header of an MPEG-1 Layer III frame and some silence.
  return id3v2_tag({frame("TPE1", latin1_body(artist)), frame("TIT2", latin1_body(title))}, 16) +
         std::string("\xFF\xFB\x90\x00", 4) + std::string(413, '\0');
}

}  // namespace kestrune::test
