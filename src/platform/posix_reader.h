#pragma once

// What FileReader and FileBatch share on POSIX.

#include <fcntl.h>

namespace kestrune::platform {

// How a file is opened for its tags. O_NONBLOCK keeps a FIFO put in the
// file's place since it was listed from hanging the open, O_NOCTTY a
// terminal from becoming ours; the kind is checked again on what was opened.
inline constexpr int kReaderOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace kestrune::platform
