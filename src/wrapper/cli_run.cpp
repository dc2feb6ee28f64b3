// The run of `wrapper index`: compiles on an Executor, a bounded number in
// flight; records come back to this process, which alone trains them, a
// batch per model write.
#include <string>

#include "cli_index.hpp"
#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/pyops.hpp"

namespace wrapper::cli {
using pyface::Args;
using pyface::concat;
using pyface::truthy;

namespace {

nb::object engine_kind(const Args &a, nb::handle engine) {
    nb::object kinds = a.global("EngineKind");
    if (pyface::is_str(engine)) {
        nb::object code = engine.attr("lower")();
        if (pyface::equals(code, nb::str("td"))) return kinds.attr("TD");
        if (pyface::equals(code, nb::str("sb"))) return kinds.attr("SB");
    } else if (pyface::equals(engine, kinds.attr("TD")) ||
               pyface::equals(engine, kinds.attr("SB"))) {
        return nb::borrow(engine);
    }
    pyface::raise_object(PyExc_ValueError,
                         concat("Unknown engine (use 'td' or 'sb'): ", pyface::str(engine)));
}

nb::object language(const Args &a, nb::handle value) {
    if (value.is_none() || !pyface::is_str(value)) return nb::borrow(value);
    return a.global("Tongue")(value);  // a code: "pt", "en", "es"
}

// Identifiers the engine holds already, from its model file.
nb::object held_ids(nb::handle engine) {
    engine.attr("load_model")();
    nb::object names = engine.attr("document_names");
    nb::set held;
    if (PyDict_Check(names.ptr())) {
        for (auto [key, ids] : nb::borrow<nb::dict>(names))
            for (nb::handle id : ids) held.add(id);
    } else {
        for (nb::handle id : names) held.add(id);
    }
    return held;
}

nb::object make_pool(const Args &a, nb::handle workers) {
    nb::object mp = a.global("multiprocessing");
    nb::object context;
    // Workers forked from a clean server that has the library imported
    // already: no per-worker import cost, and no fork of a process that
    // runs threads (the progress bar's, the pool's own).
    if (pyface::contains(mp.attr("get_all_start_methods")(), nb::str("forkserver"))) {
        context = mp.attr("get_context")("forkserver");
        nb::list preload;
        preload.append(nb::str("wrapper.cli"));
        context.attr("set_forkserver_preload")(preload);
    } else {
        context = mp.attr("get_context")();
    }
    nb::object level = a.global("logging").attr("getLogger")().attr("getEffectiveLevel")();
    return a.global("futures").attr("ProcessPoolExecutor")(
        nb::arg("max_workers") = workers, nb::arg("mp_context") = context,
        nb::arg("initializer") = a.global("init_worker"),
        nb::arg("initargs") = nb::make_tuple(level, a.global("os").attr("getpid")()));
}

struct Run {
    const Args &a;
    nb::object engine, report, bar;
    size_t indexed = 0, failed = 0;

    void fail(nb::handle rel, nb::handle error) {
        nb::dict line;
        line["path"] = rel;
        line["type"] = pyface::type_name(error);
        line["message"] = pyface::str(error);
        nb::object text = a.global("json").attr("dumps")(line, nb::arg("ensure_ascii") = false);
        report.attr("write")(concat(text, "\n"));
        report.attr("flush")();
        pyface::log(a, "info", pyface::add(concat("Could not index ", rel), concat(": ", text)));
        ++failed;
        bar.attr("set_postfix")(nb::arg("failed") = failed);
    }

    void train_batch(nb::handle records) { engine.attr("train_models")(records); }

    void train(const nb::list &records) {
        if (nb::len(records) == 0) return;
        try {
            train_batch(records);
            indexed += nb::len(records);
            return;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (nb::len(records) == 1) {
                fail(records[0].attr("id"), e.value());
                return;
            }
        }
        // A failed batch leaves the model as it was: find the record at
        // fault and keep the others.
        for (nb::handle record : records) {
            try {
                train_batch(nb::make_tuple(record));
                ++indexed;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                fail(record.attr("id"), e.value());
            }
        }
    }

    // A finished compile: its record joins `ready`, or its error the report.
    void collect(nb::handle future, nb::handle rel, nb::list &ready, bool stopping = false) {
        nb::object error = future.attr("exception")();
        if (error.is_none()) {
            ready.append(future.attr("result")());
        } else if (PyObject_IsInstance(error.ptr(), PyExc_Exception) == 1) {
            fail(rel, error);
        } else if (!stopping) {
            // KeyboardInterrupt or SystemExit from inside a worker: not the
            // document's fault; stop as if it happened here.
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
            throw nb::python_error();
        }
        bar.attr("update")(1);
    }
};

}  // namespace

nb::object index_documents(const Args &a) {
    nb::object os = a.global("os");
    nb::object base = os.attr("path").attr("abspath")(
        pyface::path_argument(a[0], "index_documents", "base_path"));
    nb::object kind = engine_kind(a, a[2]);
    nb::object detect = a[3].is_none() ? nb::object(nb::bool_(false)) : nb::borrow(a[3]);
    nb::object translate_to = language(a, a[4]);
    nb::handle executor_arg = a[5], workers_arg = a[6];
    const Py_ssize_t batch_size = nb::cast<Py_ssize_t>(nb::int_(a[7]));
    if (batch_size < 1) pyface::raise(PyExc_ValueError, "batch_size must be at least 1");
    nb::object workers = workers_arg.is_none() ? os.attr("cpu_count")() : nb::borrow(workers_arg);
    if (workers.is_none()) workers = nb::int_(1);
    if (nb::cast<Py_ssize_t>(nb::int_(workers)) < 1)
        pyface::raise(PyExc_ValueError, "workers must be at least 1");

    nb::list documents = nb::borrow<nb::list>(a.global("find_documents")(base, a[1]));
    nb::object pipeline = a.global("Process")(base, detect, translate_to, kind);
    Run run{a, pipeline.attr("document_search"), nb::object(), nb::object()};
    nb::object held = held_ids(run.engine);
    nb::list todo;
    for (nb::handle rel : documents)
        if (!pyface::contains(held, rel)) todo.append(rel);
    const size_t total = nb::len(documents), skipped = total - nb::len(todo);
    pyface::log(a, "info",
                concat(pyface::str(nb::int_(nb::len(todo))),
                       " documents to compile, " + std::to_string(skipped) +
                           " already in the model"));

    nb::object failures = a[8].is_none() ? concat(pipeline.attr("modeldir"), "/index-failures.jsonl")
                                         : pyface::path_argument(a[8], "index_documents", "failures");
    run.report = a.global("open")(failures, "w", nb::arg("encoding") = "utf-8");
    run.bar = a.global("tqdm")(nb::arg("total") = nb::len(todo), nb::arg("unit") = "doc",
                               nb::arg("desc") = "indexing",
                               nb::arg("file") = a.global("sys").attr("stderr"),
                               nb::arg("disable") = !truthy(a[9]), nb::arg("smoothing") = 0.1);
    run.bar.attr("set_postfix")(nb::arg("failed") = 0);

    const bool own_pool = executor_arg.is_none();
    nb::object executor = own_pool ? make_pool(a, workers) : nb::borrow(executor_arg);
    // Enough compiles queued to keep every worker busy, few enough that
    // finished records do not pile up in memory.
    const size_t window =
        own_pool ? 2 * nb::cast<size_t>(nb::int_(workers)) : std::max<size_t>(64, 2 * nb::cast<size_t>(nb::int_(workers)));
    nb::object wait = a.global("futures").attr("wait");
    nb::object first_completed = a.global("futures").attr("FIRST_COMPLETED");
    nb::object compile = a.global("compile_document");
    nb::object broken = nb::module_::import_("concurrent.futures.process").attr("BrokenProcessPool");

    nb::dict pending;  // future -> relative path
    nb::list ready;
    size_t next = 0;
    auto finish = [&](bool cancel) {
        run.bar.attr("close")();
        run.report.attr("close")();
        if (own_pool)
            executor.attr("shutdown")(nb::arg("wait") = true, nb::arg("cancel_futures") = cancel);
    };
    try {
        for (;;) {
            while (nb::len(pending) < window && next < nb::len(todo)) {
                nb::handle rel = todo[next];
                nb::object future;
                try {
                    future = executor.attr("submit")(compile, base, rel, detect, translate_to);
                } catch (nb::python_error &e) {
                    // A worker of our own pool died (a crash in a native
                    // library, the OOM killer): the documents it had are in
                    // the report; a fresh pool goes on with the rest.
                    if (!own_pool || !e.matches(broken)) throw;
                    executor.attr("shutdown")(nb::arg("wait") = false);
                    executor = make_pool(a, workers);
                    continue;
                }
                pending[future] = rel;
                ++next;
            }
            if (nb::len(pending) == 0) break;
            nb::object done = wait(pending, nb::arg("return_when") = first_completed)[0];
            for (nb::handle future : done) {
                nb::object rel = pending[future];
                PyDict_DelItem(pending.ptr(), future.ptr());
                run.collect(future, rel, ready);
            }
            if (nb::len(ready) >= static_cast<size_t>(batch_size)) {
                run.train(ready);
                ready = nb::list();
            }
        }
        run.train(ready);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) {
            finish(true);
            throw;
        }
        // Interrupted: what has not started is dropped, what is running is
        // waited for, and everything compiled is trained, so the next run
        // starts where this one stopped.
        for (auto [future, rel] : pending) future.attr("cancel")();
        pyface::log(a, "warning", "Interrupted: keeping the documents compiled so far");
        for (auto [future, rel] : pending) {
            if (truthy(future.attr("cancelled")())) continue;
            run.collect(future, rel, ready, true);
        }
        run.train(ready);
        finish(true);
        throw;
    }
    finish(false);

    nb::dict summary;
    summary["documents"] = total;
    summary["skipped"] = skipped;
    summary["indexed"] = run.indexed;
    summary["failed"] = run.failed;
    summary["failures"] = failures;
    return summary;
}

}  // namespace wrapper::cli
