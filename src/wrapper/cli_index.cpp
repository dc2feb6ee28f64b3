#include "cli_index.hpp"

#include <string>

#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/pyops.hpp"

namespace wrapper::cli {
using pyface::Args;
using pyface::concat;
using pyface::truthy;

namespace {

bool ends_with(nb::handle text, const char *suffix) {
    return truthy(text.attr("endswith")(suffix));
}

bool starts_with(nb::handle text, const char *prefix) {
    return truthy(text.attr("startswith")(prefix));
}

// The identifier of a document: its path relative to the base directory,
// normalised and with "/" separators, so that it is the same on every run
// whichever way the path was given.
nb::object relative_id(nb::handle path, nb::handle full, nb::handle base) {
    nb::object rel = path.attr("relpath")(full, base);
    nb::object sep = path.attr("sep");
    if (!pyface::equals(sep, nb::str("/"))) rel = rel.attr("replace")(sep, "/");
    return rel;
}

// A folder walk in a stable order, leaving out hidden entries and, at the
// top of the base directory, what the library itself keeps there: the
// model directory and the OCR working copy.
void walk(const Args &a, nb::handle folder, nb::handle base, nb::list &found, nb::set &seen) {
    nb::object path = a.global("os").attr("path");
    nb::object sorted = a.global("sorted");
    auto add = [&](nb::handle full) {
        nb::object rel = relative_id(path, full, base);
        if (!pyface::contains(seen, rel)) {
            seen.add(rel);
            found.append(rel);
        }
    };
    for (nb::handle entry : a.global("os").attr("walk")(folder)) {
        auto parts = pyface::unpack(entry, 3);
        nb::object root = parts[0], dirs = parts[1], files = parts[2];
        const bool top = pyface::equals(path.attr("normpath")(root), base);
        nb::list keep;
        for (nb::handle name : sorted(dirs)) {
            if (starts_with(name, ".") || (top && pyface::equals(name, nb::str("models"))))
                continue;
            keep.append(name);
        }
        // os.walk descends into what is left in this very list.
        dirs.attr("clear")();
        dirs.attr("extend")(keep);
        for (nb::handle name : sorted(files)) {
            if (starts_with(name, ".") || (top && pyface::equals(name, nb::str("output.pdf"))))
                continue;
            add(path.attr("join")(root, name));
        }
    }
}

}  // namespace

nb::object find_documents(const Args &a) {
    nb::object path = a.global("os").attr("path");
    nb::object base =
        path.attr("normpath")(pyface::path_argument(a[0], "find_documents", "base_path"));
    if (!truthy(path.attr("isdir")(base)))
        pyface::raise_object(PyExc_NotADirectoryError, concat("Not a directory: ", base));
    nb::list roots;
    if (a[1].is_none())
        roots.append(nb::str("."));
    else if (pyface::is_str(a[1]))
        pyface::raise(PyExc_TypeError, "find_documents() argument 'paths' must be a list of paths, not str");
    else
        for (nb::handle p : a[1]) roots.append(p);

    nb::list found;
    nb::set seen;
    for (nb::handle given : roots) {
        nb::object p = pyface::path_argument(given, "find_documents", "paths");
        nb::object full = path.attr("normpath")(path.attr("join")(base, p));
        nb::object rel = relative_id(path, full, base);
        if (pyface::equals(rel, nb::str("..")) || starts_with(rel, "../"))
            pyface::raise_object(PyExc_ValueError,
                                 concat("Path outside the base directory: ", p));
        if (truthy(path.attr("isdir")(full))) {
            walk(a, full, base, found, seen);
        } else if (truthy(path.attr("exists")(full))) {
            // Named on purpose: kept even when the library cannot read it,
            // so that the failure report says why.
            if (!pyface::contains(seen, rel)) {
                seen.add(rel);
                found.append(rel);
            }
        } else {
            pyface::raise_object(PyExc_FileNotFoundError, concat("No such document: ", p));
        }
    }
    return found;
}

nb::object compile_document(const Args &a) {
    nb::handle base = a[0], rel = a[1], detect = a[2], translate_to = a[3];
    nb::object doc;
    if (pyface::is_str(rel) && ends_with(rel, ".pdf")) {
        // The PDF extractor writes its OCR working copy into the record's
        // base directory. Compiles running side by side would all take
        // turns on the one copy in the collection's directory; each gets a
        // directory of its own instead, and the record then carries the
        // collection's base directory as Process.compile would set it.
        nb::object scratch = a.global("tempfile").attr("TemporaryDirectory")(
            nb::arg("prefix") = "wrapper-ocr-", nb::arg("ignore_cleanup_errors") = true);
        try {
            doc = a.global("PDF")(scratch.attr("name"), detect, translate_to);
            doc.attr("create_features")(
                pyface::add(concat(pyface::format(base), "/"), pyface::format(rel)));
        } catch (...) {
            scratch.attr("cleanup")();
            throw;
        }
        scratch.attr("cleanup")();
        doc.attr("set_base_path")(base);
    } else {
        doc = a.global("Process").attr("compile")(base, rel, detect, translate_to);
    }
    doc.attr("id") = rel;
    // The engines skip a record without text without a word: it would be
    // compiled again on every run and never show up anywhere.
    if (!truthy(doc.attr("text")))
        pyface::raise_object(PyExc_ValueError, concat("No text found in document ", rel));
    return doc;
}

nb::object init_worker(const Args &a) {
    nb::object signal = a.global("signal");
    // Ctrl-C reaches every process of the terminal's group; the trainer
    // alone decides what happens then (it waits for the compiles in
    // progress and keeps them).
    signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
    if (!a[0].is_none())
        a.global("logging").attr("basicConfig")(nb::arg("level") = a[0],
                                                nb::arg("format") = "%(levelname)s %(message)s");
    // Every record prints its base directory when it is made; on a terminal
    // with a progress bar that is one useless line per document.
    nb::object sys = a.global("sys");
    sys.attr("stdout") = a.global("open")(a.global("os").attr("devnull"), "w");
    // A pool's workers outlive a trainer that is killed (they wait for work
    // forever); each watches the trainer and ends with it.
    if (!a[1].is_none())
        a.global("threading").attr("Thread")(nb::arg("target") = a.global("watch_trainer"),
                                             nb::arg("args") = nb::make_tuple(a[1]),
                                             nb::arg("daemon") = true)
            .attr("start")();
    return nb::none();
}

nb::object watch_trainer(const Args &a) {
    nb::object os = a.global("os");
    try {
        // Readable once the trainer has ended, even while it is a zombie.
        nb::object fd = os.attr("pidfd_open")(a[0]);
        a.global("select").attr("select")(nb::make_tuple(fd), nb::tuple(), nb::tuple());
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_AttributeError)) {
            // No process descriptors here: ask once a second instead.
            for (;;) {
                a.global("time").attr("sleep")(1.0);
                try {
                    os.attr("kill")(a[0], 0);
                } catch (nb::python_error &gone) {
                    if (!gone.matches(PyExc_ProcessLookupError)) throw;
                    break;
                }
            }
        } else if (!e.matches(PyExc_ProcessLookupError)) {
            throw;
        }
    }
    os.attr("_exit")(1);
    return nb::none();
}

}  // namespace wrapper::cli
