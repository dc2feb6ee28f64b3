"""A stand-in for a module's `joblib` global whose writes fail the way a full
disk does: the target file gets a partial write, then the OSError."""
import errno

import joblib


class DiskFull:
    load = staticmethod(joblib.load)

    @staticmethod
    def dump(value, filename):
        with open(filename, "wb") as f:
            f.write(b"partial")
        raise OSError(errno.ENOSPC, "No space left on device")
