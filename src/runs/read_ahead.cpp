#include "runs/read_ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/types.h>

namespace kestrune::runs {

#if defined(__GLIBC__)

struct ReadAhead::Cookie {
  static ssize_t read(void* self, char* out, std::size_t count) {
    return static_cast<ReadAhead*>(self)->read(out, count);
  }
  static int seek(void* self, off64_t* offset, int whence) {
    auto& view = *static_cast<ReadAhead*>(self);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) {
      base = view.position_;
    } else if (whence == SEEK_END) {
      if (!view.find_size()) return -1;
      base = view.size_;
    } else if (whence != SEEK_SET) {
      errno = EINVAL;
      return -1;
    }
    if (*offset < 0 && static_cast<std::uint64_t>(-*offset) > base) {
      errno = EINVAL;
      return -1;
    }
    view.position_ = base + static_cast<std::uint64_t>(*offset);
    *offset = static_cast<off64_t>(view.position_);
    return 0;
  }
};

std::FILE* ReadAhead::open(platform::FilePtr file) {
  close();
  file_ = std::move(file);
  if (!file_) return nullptr;
  // Unbuffered: the head below is the only buffer, and the rare reads
  // beyond it go to the file in one piece.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  head_bytes_ = std::fread(head_, 1, sizeof head_, file_.get());
  head_is_whole_ = head_bytes_ < sizeof head_ && !std::ferror(file_.get());
  size_known_ = head_is_whole_;
  size_ = head_bytes_;
  tail_loaded_ = false;
  window_start_ = 0;
  window_bytes_ = 0;
  position_ = 0;
  view_.reset(fopencookie(this, "rb", {Cookie::read, nullptr, Cookie::seek, nullptr}));
  if (!view_) return file_.get();  // fall back to the plain stream
  // A small buffer of our own: unbuffered, the C library would fetch small
  // reads one byte per call, and its own buffer would be one allocation per file.
  std::setvbuf(view_.get(), stream_buffer_, _IOFBF, sizeof stream_buffer_);
  return view_.get();
}

void ReadAhead::close() {
  view_.reset();
  file_.reset();
}

bool ReadAhead::find_size() {
  if (size_known_) return true;
  if (std::fseek(file_.get(), 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file_.get());
  if (end < 0) return false;
  size_ = static_cast<std::uint64_t>(end);
  size_known_ = true;
  return true;
}

bool ReadAhead::load_tail() {
  if (tail_loaded_) return true;
  if (!find_size() || size_ < kTailSize) return false;
  if (std::fseek(file_.get(), static_cast<long>(size_ - kTailSize), SEEK_SET) != 0 ||
      std::fread(tail_, 1, kTailSize, file_.get()) != kTailSize) {
    return false;
  }
  tail_loaded_ = true;
  return true;
}

long ReadAhead::read(char* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    if (position_ < head_bytes_) {
      const std::size_t n = std::min<std::size_t>(count - done, head_bytes_ - position_);
      std::memcpy(out + done, head_ + position_, n);
      done += n;
      position_ += n;
      continue;
    }
    if (head_is_whole_) break;  // the end of the file
    if (!find_size()) return done > 0 ? static_cast<long>(done) : -1;
    if (position_ >= size_) break;
    if (size_ >= kTailSize && position_ >= size_ - kTailSize && load_tail()) {
      const std::uint64_t offset = position_ - (size_ - kTailSize);
      const std::size_t n = std::min<std::size_t>(count - done, kTailSize - offset);
      std::memcpy(out + done, tail_ + offset, n);
      done += n;
      position_ += n;
      continue;
    }
    // Between the head and the tail: through the window, refilled from the
    // file where it does not hold the position, never past the file's end.
    if (position_ < window_start_ || position_ >= window_start_ + window_bytes_) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(sizeof window_, size_ - position_));
      window_start_ = position_;
      window_bytes_ = 0;
      if (std::fseek(file_.get(), static_cast<long>(position_), SEEK_SET) != 0) {
        return done > 0 ? static_cast<long>(done) : -1;
      }
      window_bytes_ = std::fread(window_, 1, want, file_.get());
      if (window_bytes_ == 0) {
        if (std::ferror(file_.get()) && done == 0) return -1;
        break;
      }
    }
    const std::size_t offset = static_cast<std::size_t>(position_ - window_start_);
    const std::size_t n = std::min<std::size_t>(count - done, window_bytes_ - offset);
    std::memcpy(out + done, window_ + offset, n);
    done += n;
    position_ += n;
  }
  return static_cast<long>(done);
}

#else

std::FILE* ReadAhead::open(platform::FilePtr file) {
  close();
  file_ = std::move(file);
  if (file_) std::setvbuf(file_.get(), head_, _IOFBF, sizeof head_);
  return file_.get();
}

void ReadAhead::close() { file_.reset(); }

#endif

}  // namespace kestrune::runs
