#pragma once

// What FileReader and FileBatch share on POSIX.

#include <fcntl.h>

namespace kestrune::platform {

// How a file is opened for its tags. O_NONBLOCK keeps a FIFO put in the
// file's place since it was listed from hanging the open, O_NOCTTY a
// terminal from becoming ours; the kind is checked again on what was opened.
inline constexpr int kReaderOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// How a file that a listing says is regular is opened: without following a
// link, so that a link put in its place since (to a FIFO, whose writer an
// open would release, or to a device) is not opened but fails with ELOOP,
// and is then looked at first as any link is.
inline constexpr int kListedOpenFlags = kReaderOpenFlags | O_NOFOLLOW;

}  // namespace kestrune::platform
