#include "pyface/file_lock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace pyface {

struct FileLock::Entry {
    std::mutex m;  // never held while calling into Python
    std::condition_variable released;
    std::thread::id owner;  // default: nobody
    unsigned depth = 0;
    int fd = -1;
};

namespace {

using Key = std::pair<dev_t, ino_t>;

struct Registry {
    std::mutex m;
    std::map<Key, std::shared_ptr<FileLock::Entry>> entries;
};

Registry *g_registry = nullptr;

// A forked child has only the thread that forked: entries owned by the
// parent's other threads would be waited for forever, and a mutex locked
// at the moment of the fork stays locked. The child starts afresh (the old
// registry is left alone: its mutexes may be locked).
void after_fork_in_child() { g_registry = new Registry(); }

Registry &registry() {
    static const bool once = [] {
        g_registry = new Registry();
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        return true;
    }();
    (void)once;
    return *g_registry;
}

void debug(nb::handle logging, nb::handle message) { logging.attr("debug")(message); }

int open_lock_file(const std::string &path, int &error) {
    nb::gil_scoped_release unlocked;
    int fd;
    do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    error = errno;
    if (fd < 0 && (error == EACCES || error == EROFS)) {
        // A lock file someone else created, in a directory this process
        // may only read: flock needs no write access. Failing that, the
        // refusal to create it is the error to report.
        do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
    }
    return fd;
}

// Gives up the in-process lock of an entry whose flock was never taken.
void abandon(FileLock::Entry &e) {
    std::lock_guard<std::mutex> guard(e.m);
    e.owner = std::thread::id();
    e.released.notify_all();
}

}  // namespace

FileLock::FileLock(nb::handle lock_path, nb::handle logging) {
    nb::module_ os = nb::module_::import_("os");
    nb::object shown = os.attr("fsdecode")(lock_path);
    nb::bytes encoded = nb::borrow<nb::bytes>(os.attr("fsencode")(lock_path));
    const std::string path(encoded.c_str(), encoded.size());

    int error = 0;
    const int fd = open_lock_file(path, error);
    if (fd < 0) raise_errno(error, shown);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        raise_errno(error, shown);
    }
    std::shared_ptr<Entry> e;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.m);
        auto &slot = r.entries[Key(st.st_dev, st.st_ino)];
        if (!slot) slot = std::make_shared<Entry>();
        e = slot;
    }

    const auto me = std::this_thread::get_id();
    bool other_thread = false;
    {
        std::lock_guard<std::mutex> guard(e->m);
        if (e->owner == me) {  // taken again by its holder
            ++e->depth;
            ::close(fd);
            entry_ = std::move(e);
            return;
        }
        if (e->owner == std::thread::id())
            e->owner = me;
        else
            other_thread = true;
    }
    const auto start = std::chrono::steady_clock::now();
    bool waited = false;
    try {
        if (other_thread) {
            waited = true;
            debug(logging, concat(concat("Waiting for the lock ", shown),
                                  " held by another thread of this process"));
            nb::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> guard(e->m);
            e->released.wait(guard, [&] { return e->owner == std::thread::id(); });
            e->owner = me;
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    // From here this thread owns the in-process lock.
    try {
        int result = ::flock(fd, LOCK_EX | LOCK_NB);
        error = errno;
        if (result != 0 && error == EWOULDBLOCK) {
            waited = true;
            debug(logging, concat(concat("Waiting for the lock ", shown),
                                  " held by another process"));
            for (;;) {
                {
                    nb::gil_scoped_release unlocked;
                    result = ::flock(fd, LOCK_EX);
                    error = errno;
                }
                if (result == 0) break;
                if (error != EINTR) raise_errno(error, shown);
                if (PyErr_CheckSignals() != 0) throw nb::python_error();
            }
        } else if (result != 0) {
            raise_errno(error, shown);
        }
    } catch (...) {
        ::close(fd);
        abandon(*e);
        throw;
    }
    {
        std::lock_guard<std::mutex> guard(e->m);
        e->fd = fd;
        e->depth = 1;
    }
    entry_ = std::move(e);
    if (waited) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char text[64];
        std::snprintf(text, sizeof text, " after %.3f s", seconds);
        try {
            debug(logging, concat(concat("Took the lock ", shown), text));
        } catch (...) {
            // The lock is held and must be let go with the error.
            release();
            throw;
        }
    }
}

FileLock::~FileLock() { release(); }

void FileLock::release() noexcept {
    if (!entry_) return;
    std::shared_ptr<Entry> held = std::move(entry_);
    Entry &e = *held;
    std::lock_guard<std::mutex> guard(e.m);
    if (e.depth == 0 || --e.depth > 0) return;
    ::flock(e.fd, LOCK_UN);  // also for a copy of the descriptor a child inherited
    ::close(e.fd);
    e.fd = -1;
    e.owner = std::thread::id();
    e.released.notify_all();
}

}  // namespace pyface
