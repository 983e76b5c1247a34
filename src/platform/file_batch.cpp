#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/platform.h"

#ifdef KESTRUNE_IO_RING
#include "platform/io_ring.h"
#include "platform/posix_reader.h"
#else
namespace kestrune::platform {
class IoRing {};
}  // namespace kestrune::platform
#endif

namespace kestrune::platform {

FileBatch::FileBatch(std::size_t head_size, std::size_t tail_size, bool use_ring)
    : head_size_(head_size),
      tail_size_(tail_size),
      bytes_(kMaxFiles * (head_size + tail_size)) {
#ifdef KESTRUNE_IO_RING
  // Each file's head and tail may be in flight at once.
  if (use_ring) ring_ = IoRing::create(2 * kMaxFiles);
#else
  (void)use_ring;
#endif
}

FileBatch::~FileBatch() = default;

void FileBatch::add(const std::string& path, EntryKind listed) {
  Slot& slot = slots_[count_++];
  slot.path = &path;
  slot.listed = listed;
}

void FileBatch::clear() {
  for (std::size_t i = 0; i < count_; ++i) {
    Slot& slot = slots_[i];
    slot.file.close();
    slot.opened = false;
    slot.error = 0;
    slot.head = slot.tail = kUnread;
  }
  count_ = 0;
}

std::string_view FileBatch::head(std::size_t i) const {
  const std::size_t size = slots_[i].head == kUnread ? 0 : slots_[i].head;
  return {bytes_.data() + head_at(i), size};
}

std::string_view FileBatch::tail(std::size_t i) const {
  const std::size_t size = slots_[i].tail == kUnread ? 0 : slots_[i].tail;
  return {bytes_.data() + head_at(i) + head_size_, size};
}

void FileBatch::open_one(Slot& slot) {
  slot.kind = slot.listed;
  slot.error = slot.file.open(*slot.path, &slot.kind, slot.listed);
  slot.opened = true;
}

// Whatever the ring did not do, the way FileReader does it.
void FileBatch::read_rest(std::size_t i) {
  Slot& slot = slots_[i];
  if (!slot.opened) open_one(slot);
  if (slot.error != 0) return;
  FileReader& file = slot.file;
  if (slot.head == kUnread) slot.head = file.read_at(0, head_bytes(i), head_size_);
  // A head that holds the whole file holds its tail too.
  if (slot.tail == kUnread && slot.head < file.size()) {
    const std::uint64_t size = file.size();
    const std::uint64_t at = size > tail_size_ ? size - tail_size_ : 0;
    slot.tail = file.read_at(at, tail_bytes(i), static_cast<std::size_t>(size - at));
  }
}

void FileBatch::read() {
  if (ring_) read_with_ring();
  for (std::size_t i = 0; i < count_; ++i) read_rest(i);
}

#ifdef KESTRUNE_IO_RING

void FileBatch::read_with_ring() {
  constexpr int kNotDone = INT_MIN;
  int results[2 * kMaxFiles];
  // The opens of the files a listing says are regular; the others are
  // looked at first, one by one.
  std::fill(results, results + count_, kNotDone);
  std::size_t opens = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (slots_[i].listed != EntryKind::kRegular) continue;
    io_uring_sqe& open = ring_->add(i);
    open.opcode = IORING_OP_OPENAT;
    open.fd = AT_FDCWD;
    open.addr = reinterpret_cast<std::uintptr_t>(slots_[i].path->c_str());
    open.open_flags = kListedOpenFlags;
    ++opens;
  }
  bool ring_ok = opens == 0 || ring_->run({results, count_});
  for (std::size_t i = 0; i < count_; ++i) {
    Slot& slot = slots_[i];
    const int result = results[i];
    if (slot.listed != EntryKind::kRegular) {
      open_one(slot);
    } else if (result == -ELOOP) {
      // A link put in the file's place since the listing: looked at first.
      slot.opened = true;
      slot.error = slot.file.open(*slot.path, &slot.kind, EntryKind::kUnknown);
    } else if (result != kNotDone) {
      slot.opened = true;
      slot.kind = EntryKind::kRegular;
      if (result >= 0) {
        slot.error = slot.file.adopt(result, slot.kind);
      } else {
        slot.error = -result;
        if (slot.error == ENOENT) slot.kind = EntryKind::kMissing;
      }
    }
  }
  if (!ring_ok) {
    ring_.reset();
    return;
  }

  // The heads and the tails of the files opened.
  std::fill(results, results + 2 * count_, kNotDone);
  std::size_t reads = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    Slot& slot = slots_[i];
    if (!slot.opened || slot.error != 0) continue;
    const int fd = static_cast<int>(slot.file.handle_);
    const std::uint64_t size = slot.file.size();
    io_uring_sqe& head = ring_->add(2 * i);
    head.opcode = IORING_OP_READ;
    head.fd = fd;
    head.addr = reinterpret_cast<std::uintptr_t>(head_bytes(i));
    head.len = static_cast<std::uint32_t>(head_size_);
    ++reads;
    if (size > head_size_ && size > tail_size_) {
      io_uring_sqe& tail = ring_->add(2 * i + 1);
      tail.opcode = IORING_OP_READ;
      tail.fd = fd;
      tail.addr = reinterpret_cast<std::uintptr_t>(tail_bytes(i));
      tail.len = static_cast<std::uint32_t>(tail_size_);
      tail.off = size - tail_size_;
      ++reads;
    }
  }
  ring_ok = reads == 0 || ring_->run({results, 2 * count_});
  for (std::size_t i = 0; i < count_; ++i) {
    Slot& slot = slots_[i];
    if (!slot.opened || slot.error != 0) continue;
    const std::uint64_t size = slot.file.size();
    // A read that failed is left to read_rest(), which reads it again and
    // notes a second failure; a short one, before the end, is finished here
    // as FileReader::read_at would finish it.
    if (const int got = results[2 * i]; got >= 0) {
      slot.head = static_cast<std::size_t>(got);
      if (slot.head < head_size_ && slot.head < size) {
        slot.head += slot.file.read_at(slot.head, head_bytes(i) + slot.head, head_size_ - slot.head);
      }
    }
    if (const int got = results[2 * i + 1]; got >= 0) {
      slot.tail = static_cast<std::size_t>(got);
      if (slot.tail < tail_size_) {
        slot.tail += slot.file.read_at(size - tail_size_ + slot.tail, tail_bytes(i) + slot.tail,
                                       tail_size_ - slot.tail);
      }
    }
  }
  if (!ring_ok) ring_.reset();
}

#else

void FileBatch::read_with_ring() {}

#endif

}  // namespace kestrune::platform
