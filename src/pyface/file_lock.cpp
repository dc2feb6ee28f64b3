#include "pyface/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>

namespace pyface {
namespace {

// One mutex per lock file (device, inode), kept for the life of the
// process: a mutex may be waited on at any time after it was handed out.
std::shared_ptr<std::mutex> mutex_for(dev_t device, ino_t inode) {
    static std::mutex guard;
    static std::map<std::pair<dev_t, ino_t>, std::shared_ptr<std::mutex>> mutexes;
    std::lock_guard<std::mutex> hold(guard);
    auto &slot = mutexes[{device, inode}];
    if (!slot) slot = std::make_shared<std::mutex>();
    return slot;
}

// OSError from the current errno, naming `path`.
[[noreturn]] void raise_os_error(nb::handle path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw nb::python_error();
}

}  // namespace

FileLock::FileLock(nb::handle lock_path, const std::function<void()> &on_wait) {
    nb::object encoded = nb::module_::import_("os").attr("fsencode")(lock_path);
    const std::string path(PyBytes_AS_STRING(encoded.ptr()),
                           static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    int error = 0;
    {
        nb::gil_scoped_release unlocked;
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        // A lock file another user made, in a directory this process may
        // not write: flock needs no write access.
        if (fd_ < 0 && (errno == EACCES || errno == EROFS))
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) error = errno;
    }
    if (fd_ < 0) {
        errno = error;
        raise_os_error(lock_path);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error = errno;
        ::close(fd_);
        errno = error;
        raise_os_error(lock_path);
    }
    mutex_ = mutex_for(st.st_dev, st.st_ino);
    if (!mutex_->try_lock()) {
        try {
            on_wait();
        } catch (...) {
            ::close(fd_);
            throw;
        }
        nb::gil_scoped_release unlocked;
        mutex_->lock();
    }
    int status = ::flock(fd_, LOCK_EX | LOCK_NB);
    error = status == 0 ? 0 : errno;
    if (error == EWOULDBLOCK) {
        try {
            on_wait();
        } catch (...) {
            mutex_->unlock();
            ::close(fd_);
            throw;
        }
        nb::gil_scoped_release unlocked;
        do status = ::flock(fd_, LOCK_EX);
        while (status != 0 && errno == EINTR);
        error = status == 0 ? 0 : errno;
    }
    if (error != 0) {
        mutex_->unlock();
        ::close(fd_);
        errno = error;
        raise_os_error(lock_path);
    }
}

FileLock::~FileLock() {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    mutex_->unlock();
}

}  // namespace pyface
