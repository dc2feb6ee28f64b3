// One holder at a time for a resource shared through the file system: an
// exclusive flock on a lock file, which the operating system releases when
// its process dies, plus an in-process mutex per lock file, so threads of
// one process queue up in order instead of racing for the file lock.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <mutex>

namespace pyface {
namespace nb = nanobind;

class FileLock {
public:
    // Creates `lock_path` when needed (it is never removed: removing a lock
    // file lets two holders lock two different files) and blocks until this
    // thread holds it. `on_wait` runs, with the GIL held, each time the lock
    // is found taken, before waiting with the GIL released. An error of the
    // file system is raised as OSError naming the lock file.
    FileLock(nb::handle lock_path, const std::function<void()> &on_wait);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_ = -1;
    std::shared_ptr<std::mutex> mutex_;
};

}  // namespace pyface
