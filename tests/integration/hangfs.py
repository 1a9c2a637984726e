"""A FUSE file system that shows a folder as it is until a flag file
exists, then stops answering: the call that finds the flag waits forever,
and with one thread to serve, every call after it waits unread in the
kernel, as with a server that is stopped or gone.

Usage: hangfs.py FOLDER MOUNTPOINT FLAG
"""
import errno
import os
import sys
import threading

from fusepy import FUSE, FuseOSError, Operations  # python3-fusepy


class HangingFolder(Operations):
    def __init__(self, folder, flag):
        self.folder, self.flag = folder, flag

    def __call__(self, op, *args):
        if os.path.exists(self.flag):
            threading.Event().wait()
        try:
            return super().__call__(op, *args)
        except OSError as error:
            raise FuseOSError(error.errno or errno.EIO) from error

    def getattr(self, path, fh=None):
        st = os.lstat(self.folder + path)
        return {key: getattr(st, key) for key in ('st_mode', 'st_nlink', 'st_size', 'st_uid', 'st_gid',
                                                  'st_atime', 'st_mtime', 'st_ctime')}

    def readdir(self, path, fh):
        return ['.', '..', *os.listdir(self.folder + path)]

    def access(self, path, mode):
        if not os.access(self.folder + path, mode):
            raise FuseOSError(errno.EACCES)

    def statfs(self, path):
        st = os.statvfs(self.folder + path)
        return {key: getattr(st, key) for key in ('f_bsize', 'f_frsize', 'f_blocks', 'f_bfree', 'f_bavail',
                                                  'f_files', 'f_ffree', 'f_namemax')}


if __name__ == '__main__':
    # Nothing cached in the kernel: every look at the share asks the server.
    FUSE(HangingFolder(sys.argv[1], sys.argv[3]), sys.argv[2], foreground=True, nothreads=True,
         attr_timeout=0, entry_timeout=0, negative_timeout=0)
