#include "wrapper/core/shared_model.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/native_state.hpp"
#include "pyface/pyops.hpp"

namespace wrapper::shared_model {
namespace {

// What an engine last read or wrote, kept on the engine but not among its
// attributes (a fixed, documented set): pyface/native_state.hpp. Touched
// with the GIL held only.
struct Seen {
    static constexpr const char *kStateName = "shared_model";
    bool known = false;
    Stamp stamp;
};

std::string file_system_path(nb::handle path) {
    nb::bytes encoded =
        nb::borrow<nb::bytes>(nb::module_::import_("os").attr("fsencode")(path));
    return std::string(encoded.c_str(), encoded.size());
}

Stamp stamp_of(const std::string &path) {
    Stamp s;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return s;
}

nb::object lock_path(nb::handle engine) {
    return pyface::concat(engine.attr("model_filename"), ".lock");
}

// Reads the model file again through the engine's own load_model, which
// checks a file whole before it changes anything. On failure the engine
// is as it was, loaded flag included.
void reload(const pyface::Args &a, nb::handle engine) {
    pyface::log(a, "debug", pyface::concat(pyface::concat("Reading the model file ",
                                                          pyface::str(engine.attr("model_filename"))),
                                           " again: another writer replaced it"));
    nb::object was = engine.attr("is_loaded");
    engine.attr("is_loaded") = nb::bool_(false);
    try {
        engine.attr("load_model")();
    } catch (...) {
        engine.attr("is_loaded") = was;
        throw;
    }
    if (!pyface::truthy(engine.attr("is_loaded"))) engine.attr("is_loaded") = was;
}

// `name` is ".tmp-<pid>-<count>-<base>", as pyface::atomic_replace names
// the temporary file of `base`: the pid, or 0 when it is not.
pid_t temporary_owner(const char *name, const std::vector<std::string> &bases) {
    static const char prefix[] = ".tmp-";
    const std::string text(name);
    if (text.compare(0, sizeof prefix - 1, prefix) != 0) return 0;
    size_t at = sizeof prefix - 1;
    const size_t pid_end = text.find('-', at);
    if (pid_end == std::string::npos || pid_end == at) return 0;
    const size_t count_end = text.find('-', pid_end + 1);
    if (count_end == std::string::npos || count_end == pid_end + 1) return 0;
    for (size_t i = at; i < count_end; ++i)
        if (i != pid_end && (text[i] < '0' || text[i] > '9')) return 0;
    bool ours = false;
    for (const std::string &base : bases)
        ours = ours || text.compare(count_end + 1, std::string::npos, base) == 0;
    if (!ours) return 0;
    const long pid = std::strtol(text.c_str() + at, nullptr, 10);
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// A writer killed between writing its temporary file and renaming it
// leaves the file behind, each as large as a model. Such a file is
// removed once no process of its pid lives: a live writer may still rename
// it (one that does not take the lock, or one of a pid reused since, keeps
// its file until it ends). Called under the lock.
void remove_dead_temporaries(const pyface::Args &a, nb::handle engine) {
    const std::string model = file_system_path(engine.attr("model_filename"));
    const std::string debug = file_system_path(engine.attr("debug_model_filename"));
    const size_t slash = model.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : model.substr(0, slash + 1);
    std::vector<std::string> bases = {model.substr(slash + 1)};
    if (debug.compare(0, slash + 1, model, 0, slash + 1) == 0)
        bases.push_back(debug.substr(slash + 1));

    std::vector<std::pair<std::string, pid_t>> dead;
    {
        nb::gil_scoped_release unlocked;
        DIR *d = ::opendir(dir.c_str());
        if (d == nullptr) return;
        while (const dirent *entry = ::readdir(d)) {
            const pid_t pid = temporary_owner(entry->d_name, bases);
            if (pid == 0 || pid == ::getpid()) continue;
            if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
            const std::string path = (slash == std::string::npos ? "" : dir) + entry->d_name;
            if (::unlink(path.c_str()) == 0) dead.emplace_back(path, pid);
        }
        ::closedir(d);
    }
    nb::module_ os = nb::module_::import_("os");
    for (const auto &[path, pid] : dead) {
        nb::object shown = os.attr("fsdecode")(nb::bytes(path.data(), path.size()));
        nb::object line = pyface::concat(pyface::concat("Removed ", shown),
                                         ", the temporary file of a writer that ended (pid " +
                                             std::to_string(pid) + ") before renaming it");
        pyface::log(a, "info", line);
    }
}

}  // namespace

Stamp stamp(nb::handle engine) {
    return stamp_of(file_system_path(engine.attr("model_filename")));
}

void remember(nb::handle engine, const Stamp &seen) {
    // An object without the state remembers nothing, so every check reads
    // the file again (slower, never wrong).
    if (Seen *state = pyface::native_state<Seen>(engine)) {
        state->known = true;
        state->stamp = seen;
    }
}

void written(nb::handle engine) { remember(engine, stamp(engine)); }

bool stale(nb::handle engine, const Stamp &now) {
    if (!now.exists) return false;
    const Seen *state = pyface::native_state<Seen>(engine);
    return state == nullptr || !state->known || !(state->stamp == now);
}

DirectoryLock::DirectoryLock(const pyface::Args &a, nb::handle engine, bool reading) {
    try {
        lock_.emplace(lock_path(engine), a.global("logging"));
    } catch (nb::python_error &e) {
        if (!reading || !e.matches(PyExc_OSError)) throw;
        nb::object code = nb::getattr(e.value(), "errno", nb::none());
        if (code.is_none()) throw;
        const long number = nb::cast<long>(code);
        if (number != EACCES && number != EPERM && number != EROFS) throw;
    }
}

Training::Training(const pyface::Args &a, nb::handle engine) : lock_(a, engine) {
    remove_dead_temporaries(a, engine);
    // An engine not loaded yet reads the file in its own load_model.
    if (pyface::truthy(engine.attr("is_loaded")) && stale(engine, stamp(engine)))
        reload(a, engine);
}

void refresh(const pyface::Args &a, nb::handle engine) {
    if (!pyface::truthy(engine.attr("is_loaded")) || !stale(engine, stamp(engine))) return;
    try {
        // Under the lock: a training of this process is not changing the
        // engine half-way, and the file is one a writer finished.
        DirectoryLock lock(a, engine, true);
        if (stale(engine, stamp(engine))) reload(a, engine);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object message = pyface::concat(
            pyface::concat("Cannot read the model file ", pyface::str(engine.attr("model_filename"))),
            " again; searching the model in memory: ");
        message = pyface::add(message, pyface::type_name(e.value()));
        nb::object detail = pyface::str(e.value());
        if (pyface::truthy(detail)) message = pyface::add(pyface::concat(message, ": "), detail);
        pyface::log(a, "error", message);
    }
}

}  // namespace wrapper::shared_model
