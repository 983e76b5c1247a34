#!/usr/bin/python3
"""A passthrough file system without hard links or rename flags, shared with
a neighbour who races for the names that renames take.

Usage: nolink_fs.py BACKING MOUNTPOINT

Mirrors the files of the folder BACKING at MOUNTPOINT, as far as reading,
writing and renaming them go, from the background once the mount stands (the
exit status tells whether it does) until it is unmounted. link() is refused
with EPERM, and libfuse 2 knows no rename flags, so the kernel
refuses renameat2() with RENAME_NOREPLACE. Another process is played at two
moments, chosen by the name a rename is about to take:

  contested*  right before a rename onto the name, the neighbour saves its
              own file there, created exclusively;
  stolen*     when an empty file of that name is closed, the neighbour
              writes into it, as one who saves without an exclusive create.

Each file the neighbour saves holds b"theirs" and is noted, one name a line,
in BACKING/neighbour.log.
"""

import errno
import os
import sys

try:  # Debian's python3-fusepy names the module after the project.
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:
    from fuse import FUSE, FuseOSError, Operations

THEIRS = b"theirs"


class NoLinks(Operations):
    def __init__(self, root):
        self.root = root

    def _full(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def _neighbour_saves(self, path, flags):
        try:
            fd = os.open(self._full(path), flags, 0o644)
        except FileExistsError:
            return
        try:
            os.write(fd, THEIRS)
        finally:
            os.close(fd)
        with open(os.path.join(self.root, "neighbour.log"), "a") as log:
            log.write(path.lstrip("/") + "\n")

    # Names and attributes.
    def getattr(self, path, fh=None):
        st = os.lstat(self._full(path))
        keys = ("st_mode", "st_ino", "st_nlink", "st_uid", "st_gid", "st_size",
                "st_atime", "st_mtime", "st_ctime")
        return {key: getattr(st, key) for key in keys}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._full(path))

    # Changes to names.
    def unlink(self, path):
        os.unlink(self._full(path))

    def link(self, target, source):
        raise FuseOSError(errno.EPERM)

    def rename(self, old, new):
        if os.path.basename(new).startswith("contested"):
            self._neighbour_saves(new, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
        os.rename(self._full(old), self._full(new))

    # File contents.
    def create(self, path, mode, fi=None):
        # The kernel asks only after its lookup found nothing, so the create
        # is exclusive here, as an O_EXCL open needs it to be.
        return os.open(self._full(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def open(self, path, flags):
        return os.open(self._full(path), flags)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(self._full(path), length)

    def flush(self, path, fh):
        full = self._full(path)
        if os.path.basename(path).startswith("stolen") and os.path.getsize(full) == 0:
            self._neighbour_saves(path, os.O_WRONLY)

    def release(self, path, fh):
        os.close(fh)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    # No caching of names or attributes: every look sees what is there now.
    try:
        FUSE(NoLinks(os.path.abspath(sys.argv[1])), sys.argv[2], foreground=False,
             use_ino=True, entry_timeout=0, attr_timeout=0, negative_timeout=0)
    except RuntimeError:
        sys.exit("nolink_fs: cannot mount on " + sys.argv[2])
