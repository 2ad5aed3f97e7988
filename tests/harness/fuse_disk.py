#!/usr/bin/python3
# A disk that misbehaves on purpose: a FUSE pass-through of BACKING at
# MOUNTPOINT. Everything, free space included, is the backing directory's,
# but for one of these:
#
#   fuse_disk.py BACKING MOUNTPOINT fail FAIL_AFTER
#       writes fail with EIO (an I/O error, as a dying medium gives) wherever
#       they would reach past byte FAIL_AFTER of a file
#   fuse_disk.py BACKING MOUNTPOINT gate CONTROL
#       a request is held where a test wants a program to be: CONTROL (a file
#       outside the mount, replaced whole by the test) says
#           write BYTES [PART]   or   read BYTES [PART]
#       and the first write (read) that takes the bytes written (read) since
#       the control was last changed past BYTES waits until the control
#       changes again, or HOLD_LIMIT seconds have passed (a test that died
#       holding it must not hold the volume for good); only requests for paths
#       holding PART count. An empty or missing control holds nothing. While a
#       request waits, CONTROL.state says "held write|read PATH OFFSET", else
#       "open". A control that says
#           readonly
#       makes the volume one that has turned read-only (a disk that failed, a
#       card whose switch was moved): every change is refused with EROFS, as a
#       file system remounted read-only refuses it, a held request first let go.
#
# Reads and writes go to this process itself (direct_io), not the page cache,
# so that a held read is a read the program made. Runs in the foreground until
# unmounted; volume.sh starts it in the background.
import errno
import os
import sys
import threading
import time

try:
    from fusepy import FUSE, FuseOSError, Operations   # Debian's python3-fusepy
except ImportError:
    from fuse import FUSE, FuseOSError, Operations


HOLD_LIMIT = 120


class Gate:
    """Where the test wants a request held, read from its control file."""

    def __init__(self, control):
        self.control = control
        self.lock = threading.Lock()
        self.seen = None        # the control's identity as last read
        self.readonly = False   # every change refused
        self.kind = None        # "write" or "read", None: open
        self.limit = 0
        self.part = ""
        self.count = 0          # bytes of that kind since the control changed
        self.state("open")

    def state(self, text):
        temporary = self.control + ".state.new"
        with open(temporary, "w") as out:
            out.write(text + "\n")
        os.replace(temporary, self.control + ".state")

    def _identity(self):
        try:
            st = os.stat(self.control)
            return (st.st_ino, st.st_mtime_ns, st.st_size)
        except FileNotFoundError:
            return None

    def _refresh(self):
        """Re-reads a changed control; true when it changed (the count starts again)."""
        identity = self._identity()
        if identity == self.seen:
            return False
        self.seen = identity
        words = []
        if identity is not None:
            try:
                with open(self.control) as text:
                    words = text.read().split()
            except FileNotFoundError:
                pass
        self.kind, self.limit, self.part, self.count = None, 0, "", 0
        self.readonly = words[:1] == ["readonly"]
        if len(words) >= 2 and words[0] in ("write", "read"):
            self.kind, self.limit = words[0], int(words[1])
            self.part = words[2] if len(words) > 2 else ""
        return True

    def read_only(self):
        with self.lock:
            self._refresh()
            return self.readonly

    def passage(self, kind, path, offset, length):
        """Returns once the request may go on."""
        with self.lock:
            self._refresh()
            if self.kind != kind or self.part not in path:
                return
            if self.count + length <= self.limit:
                self.count += length
                return
            held = self.seen
            self.state("held %s %s %d" % (kind, path, offset))
        # held until the test changes the control; other requests go on meanwhile
        deadline = time.monotonic() + HOLD_LIMIT
        while self._identity() == held and time.monotonic() < deadline:
            time.sleep(0.002)
        with self.lock:
            self._refresh()
            self.state("open")
        # a new gate counts anew, this request first
        self.passage(kind, path, offset, length)


class Disk(Operations):
    def __init__(self, backing, fail_after=None, gate=None):
        self.backing = backing
        self.fail_after = fail_after
        self.gate = gate

    def _path(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

    def _change(self):
        """A change the volume refuses once it has turned read-only."""
        if self.gate and self.gate.read_only():
            raise FuseOSError(errno.EROFS)

    def access(self, path, mode):
        if not os.access(self._path(path), mode):
            raise FuseOSError(errno.EACCES)

    def getattr(self, path, fh=None):
        st = os.lstat(self._path(path))
        return {key: getattr(st, key) for key in (
            "st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime", "st_nlink", "st_size",
            "st_uid", "st_blocks")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def statfs(self, path):
        sv = os.statvfs(self._path(path))
        return {key: getattr(sv, key) for key in (
            "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
            "f_flag", "f_frsize", "f_namemax")}

    def chmod(self, path, mode):
        self._change()
        os.chmod(self._path(path), mode)

    def chown(self, path, uid, gid):
        self._change()
        os.chown(self._path(path), uid, gid)

    def utimens(self, path, times=None):
        self._change()
        os.utime(self._path(path), times)

    def mkdir(self, path, mode):
        self._change()
        os.mkdir(self._path(path), mode)

    def rmdir(self, path):
        self._change()
        os.rmdir(self._path(path))

    def unlink(self, path):
        self._change()
        os.unlink(self._path(path))

    def rename(self, old, new):
        self._change()
        os.rename(self._path(old), self._path(new))

    def link(self, target, source):
        self._change()
        os.link(self._path(source), self._path(target))

    def symlink(self, target, source):
        self._change()
        os.symlink(source, self._path(target))

    def readlink(self, path):
        return os.readlink(self._path(path))

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            self._change()
        return os.open(self._path(path), flags)

    def create(self, path, mode, fi=None):
        self._change()
        # read and write: with direct_io the program's reads come through this handle too
        return os.open(self._path(path), os.O_RDWR | os.O_CREAT | os.O_TRUNC, mode)

    def read(self, path, size, offset, fh):
        if self.gate:
            self.gate.passage("read", path, offset, size)
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        if self.fail_after is not None and offset + len(data) > self.fail_after:
            raise FuseOSError(errno.EIO)
        if self.gate:
            self.gate.passage("write", path, offset, len(data))
        self._change()
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        self._change()
        os.truncate(self._path(path), length)

    # Not supported, once and for all: the kernel asks no more, which makes a
    # file's creation or opening under Wine a few requests cheaper
    def flush(self, path, fh):
        raise FuseOSError(errno.ENOSYS)

    def getxattr(self, path, name, position=0):
        raise FuseOSError(errno.ENOSYS)

    def listxattr(self, path):
        raise FuseOSError(errno.ENOSYS)

    def setxattr(self, path, name, value, options, position=0):
        raise FuseOSError(errno.ENOSYS)

    def removexattr(self, path, name):
        raise FuseOSError(errno.ENOSYS)

    def fsync(self, path, datasync, fh):
        os.fsync(fh)
        return 0

    def release(self, path, fh):
        os.close(fh)
        return 0


def size_in_bytes(text):
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    return int(text[:-1]) * units[text[-1].lower()] if text[-1].lower() in units else int(text)


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[3] not in ("fail", "gate"):
        sys.exit("usage: fuse_disk.py BACKING MOUNTPOINT fail FAIL_AFTER | gate CONTROL")
    backing, mountpoint, mode, argument = sys.argv[1:]
    if mode == "fail":
        disk = Disk(backing, fail_after=size_in_bytes(argument))
    else:
        disk = Disk(backing, gate=Gate(argument))
    # big writes of up to 1 MiB and no page cache: about as fast as the tmpfs beneath
    FUSE(disk, mountpoint, foreground=True, allow_other=True, nothreads=False,
         big_writes=True, max_write=1 << 20, direct_io=True)
