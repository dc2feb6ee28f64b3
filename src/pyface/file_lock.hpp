// An exclusive advisory lock on a lock file, shared by the processes and
// the threads that work on one directory.
//
// Between processes it is flock(2): the kernel drops it when its holder
// dies, however it dies, so a killed process never leaves a stale lock.
// flock does not order the threads of one process (two descriptors of one
// process exclude each other, and a thread taking the lock it already
// holds would wait for itself), so in front of it sits an in-process lock
// per lock file, keyed by the file's identity (device, inode) rather than
// its spelling: the thread that holds it may take it again (the count is
// kept), any other thread of the process waits. Only the thread holding the
// in-process lock ever calls flock.
//
// Waiting releases the GIL, so the holder can go on running Python code,
// and is logged at DEBUG (when it starts and how long it took). There is
// no time-out: a wait ends when the holder lets go or dies. A signal
// handler that raises (KeyboardInterrupt) ends the wait with its error.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>

namespace pyface {
namespace nb = nanobind;

class FileLock {
public:
    // Takes the lock on `lock_path` (a str or os.PathLike; the file is
    // created, empty, when missing, and never removed, since removing a
    // lock file lets two processes lock two different files of one name).
    // `logging` is the module whose `debug` reports waits (pass the calling
    // module's `logging` global). Call with the GIL held. An OSError naming
    // the file when it cannot be opened (missing directory, no permission).
    FileLock(nb::handle lock_path, nb::handle logging);
    ~FileLock();  // releases; never throws

    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    struct Entry;

private:
    void release() noexcept;

    std::shared_ptr<Entry> entry_;
};

}  // namespace pyface
