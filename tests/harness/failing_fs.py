#!/usr/bin/python3
# A disk that starts failing: a FUSE pass-through of BACKING at MOUNTPOINT whose
# writes fail with EIO (an I/O error, as a dying medium gives) wherever they
# would reach past byte FAIL_AFTER of a file. Everything else, free space
# included, is the backing directory's.
#
#   failing_fs.py BACKING MOUNTPOINT FAIL_AFTER
#
# Runs in the foreground until unmounted; volume.sh starts it in the background.
import errno
import os
import sys

try:
    from fusepy import FUSE, FuseOSError, Operations   # Debian's python3-fusepy
except ImportError:
    from fuse import FUSE, FuseOSError, Operations


class FailingDisk(Operations):
    def __init__(self, backing, fail_after):
        self.backing = backing
        self.fail_after = fail_after

    def _path(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

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
        os.chmod(self._path(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self._path(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self._path(path), times)

    def mkdir(self, path, mode):
        os.mkdir(self._path(path), mode)

    def rmdir(self, path):
        os.rmdir(self._path(path))

    def unlink(self, path):
        os.unlink(self._path(path))

    def rename(self, old, new):
        os.rename(self._path(old), self._path(new))

    def symlink(self, target, source):
        os.symlink(source, self._path(target))

    def readlink(self, path):
        return os.readlink(self._path(path))

    def open(self, path, flags):
        return os.open(self._path(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self._path(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        if offset + len(data) > self.fail_after:
            raise FuseOSError(errno.EIO)
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(self._path(path), length)

    def flush(self, path, fh):
        return 0

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
    if len(sys.argv) != 4:
        sys.exit("usage: failing_fs.py BACKING MOUNTPOINT FAIL_AFTER")
    FUSE(FailingDisk(sys.argv[1], size_in_bytes(sys.argv[3])), sys.argv[2], foreground=True,
         allow_other=True, nothreads=True)
