// wrapper.cli: the command line (`wrapper index`, `wrapper search`) and its
// Python entry for hosts that bring their own pool of workers.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "cli_index.hpp"
#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;
using pyface::concat;
using pyface::truthy;

namespace {

nb::object positive_int(const Args &a) {
    nb::object value = nb::steal(pyface::check(PyNumber_Long(a[0].ptr())));
    if (nb::cast<long long>(value) < 1)
        pyface::raise_object(a.global("argparse").attr("ArgumentTypeError").ptr(),
                             concat(pyface::str(a[0]), " is not a positive integer"));
    return value;
}

// JSON for what the engines put in a hit: NumPy numbers, enumeration
// members; anything else as its text.
nb::object json_value(const Args &a) {
    nb::handle value = a[0];
    if (nb::hasattr(value, "item")) return value.attr("item")();
    if (PyObject_IsInstance(value.ptr(), a.global("enum").attr("Enum").ptr()) == 1)
        return value.attr("value");
    return pyface::str(value);
}

void add_pipeline_arguments(nb::handle parser) {
    nb::list engines, languages;
    for (const char *e : {"td", "sb"}) engines.append(nb::str(e));
    for (const char *l : {"pt", "en", "es"}) languages.append(nb::str(l));
    parser.attr("add_argument")("base", nb::arg("metavar") = "BASE",
                                nb::arg("help") = "the collection's base directory");
    parser.attr("add_argument")(
        "--engine", nb::arg("choices") = engines, nb::arg("default") = "td",
        nb::arg("help") = "search engine: td (TF-IDF) or sb (sentence embeddings); default td");
    parser.attr("add_argument")("--detect-language", nb::arg("action") = "store_true",
                                nb::arg("help") = "detect each document's language");
    parser.attr("add_argument")("--translate-to", nb::arg("choices") = languages,
                                nb::arg("help") = "translate every text into this language");
    parser.attr("add_argument")("-v", "--verbose", nb::arg("action") = "count",
                                nb::arg("default") = 0,
                                nb::arg("help") = "log progress (-v) or everything (-vv)");
}

nb::object build_parser(const Args &a) {
    nb::object argparse = a.global("argparse");
    nb::object parser = argparse.attr("ArgumentParser")(
        nb::arg("prog") = "wrapper",
        nb::arg("description") = "Index a folder of documents and search it.");
    nb::object commands = parser.attr("add_subparsers")(
        nb::arg("dest") = "command", nb::arg("required") = true, nb::arg("metavar") = "COMMAND");
    nb::object positive = a.global("positive_int");

    nb::object index = commands.attr("add_parser")(
        "index", nb::arg("help") = "compile and train every document under BASE",
        nb::arg("description") =
            "Compile every supported document under BASE (or only the given paths) in "
            "parallel and train them into BASE/models. Documents the model holds already "
            "are skipped, so an interrupted run resumes where it stopped.");
    add_pipeline_arguments(index);
    index.attr("add_argument")("paths", nb::arg("metavar") = "PATH", nb::arg("nargs") = "*",
                               nb::arg("help") = "documents or folders relative to BASE");
    index.attr("add_argument")("--workers", nb::arg("type") = positive,
                               nb::arg("help") = "parallel compiles (default: the core count)");
    index.attr("add_argument")("--batch-size", nb::arg("type") = positive,
                               nb::arg("default") = 500,
                               nb::arg("help") = "documents per model write (default 500)");
    index.attr("add_argument")(
        "--failures", nb::arg("metavar") = "FILE",
        nb::arg("help") = "failure report, JSON lines (default BASE/models/index-failures.jsonl)");
    index.attr("add_argument")(
        "--scheduler", nb::arg("metavar") = "ADDRESS",
        nb::arg("help") = "compile on the Dask cluster of this scheduler (workers must see BASE)");
    index.attr("add_argument")("-q", "--quiet", nb::arg("action") = "store_true",
                               nb::arg("help") = "no progress bar");

    nb::object search = commands.attr("add_parser")(
        "search", nb::arg("help") = "search the model of BASE",
        nb::arg("description") = "Print one page of hits for QUERY, best first.");
    add_pipeline_arguments(search);
    search.attr("add_argument")("query", nb::arg("metavar") = "QUERY");
    search.attr("add_argument")("--page", nb::arg("type") = positive, nb::arg("default") = 1);
    search.attr("add_argument")("--size", nb::arg("type") = positive, nb::arg("default") = 10,
                                nb::arg("help") = "hits per page (default 10)");
    nb::list languages;
    for (const char *l : {"pt", "en", "es"}) languages.append(nb::str(l));
    search.attr("add_argument")(
        "--language", nb::arg("choices") = languages,
        nb::arg("help") = "the query's language, when known (no detection then)");
    search.attr("add_argument")("--json", nb::arg("action") = "store_true",
                                nb::arg("help") = "print the page as JSON");
    return parser;
}

void eprint(const Args &a, nb::handle text) {
    a.global("print")(text, nb::arg("file") = a.global("sys").attr("stderr"));
}

nb::object run_index(const Args &a, nb::handle args) {
    nb::object sys = a.global("sys");
    pyface::Closing client;  // of the scheduler, closed however the run ends
    nb::object executor = nb::none();
    if (!args.attr("scheduler").is_none()) {
        try {
            client.reset(
                nb::module_::import_("distributed").attr("Client")(args.attr("scheduler")));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ImportError)) throw;
            eprint(a, concat("wrapper: cannot use the scheduler: ", pyface::str(e.value())));
            return nb::int_(2);
        }
        executor = client.get().attr("get_executor")();
    }
    const bool progress = !truthy(args.attr("quiet")) &&
                          truthy(sys.attr("stderr").attr("isatty")());
    nb::object summary;
    try {
        summary = a.global("index_documents")(
            args.attr("base"),
            truthy(args.attr("paths")) ? nb::object(args.attr("paths")) : nb::none(),
            args.attr("engine"),
            args.attr("detect_language"), args.attr("translate_to"), executor,
            args.attr("workers"), args.attr("batch_size"), args.attr("failures"), progress);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        client.close();
        eprint(a, nb::str("wrapper: interrupted; run the same command again to resume"));
        return nb::int_(130);
    }
    client.close();
    nb::object message = nb::str("indexed {indexed} documents, {skipped} already in the model, "
                                 "{failed} failed")
                             .attr("format_map")(summary);
    if (truthy(summary["failed"]))
        message = pyface::add(concat(message, " (see "), concat(summary["failures"], ")"));
    eprint(a, message);
    return nb::int_(truthy(summary["failed"]) ? 1 : 0);
}

nb::object run_search(const Args &a, nb::handle args) {
    nb::object kinds = a.global("EngineKind");
    nb::object kind = pyface::equals(args.attr("engine"), nb::str("sb")) ? kinds.attr("SB")
                                                                          : kinds.attr("TD");
    nb::object translate_to = args.attr("translate_to");
    if (!translate_to.is_none()) translate_to = a.global("Tongue")(translate_to);
    nb::object pipeline =
        a.global("Process")(args.attr("base"), args.attr("detect_language"), translate_to, kind);
    nb::object language = args.attr("language");
    if (!language.is_none()) language = a.global("Tongue")(language);
    nb::object page_result;
    try {
        page_result = pipeline.attr("search")(args.attr("query"), language, args.attr("page"),
                                              args.attr("size"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        eprint(a, pyface::add(concat("wrapper: search failed: ", pyface::type_name(e.value())),
                              concat(": ", pyface::str(e.value()))));
        return nb::int_(1);
    }
    // An engine without any model answers with an empty result.
    std::vector<nb::object> result = {nb::borrow(args.attr("query")), nb::list()};
    if (truthy(page_result)) result = pyface::unpack(page_result, 2);
    nb::list hits;
    for (nb::handle row : result[1]) {
        nb::dict hit = nb::borrow<nb::dict>(a.global("dict")(row));
        nb::object name = hit.contains("name") ? nb::object(hit["name"]) : nb::none();
        hit["path"] = pyface::is_str(name) ? name : nb::none();
        hits.append(hit);
    }
    nb::object print = a.global("print");
    if (truthy(args.attr("json"))) {
        nb::dict page;
        page["query"] = result[0];
        page["hits"] = hits;
        print(a.global("json").attr("dumps")(page, nb::arg("ensure_ascii") = false,
                                             nb::arg("default") = a.global("json_value")));
        return nb::int_(0);
    }
    print(concat("query: ", pyface::str(result[0])));
    Py_ssize_t rank = nb::cast<Py_ssize_t>(nb::int_(args.attr("size"))) *
                      (nb::cast<Py_ssize_t>(nb::int_(args.attr("page"))) - 1);
    for (nb::handle item : hits) {
        nb::dict hit = nb::borrow<nb::dict>(item);
        nb::object score = nb::str("");
        for (auto [key, value] : hit)
            if (!pyface::contains(nb::make_tuple("name", "language", "path"), key)) {
                score = nb::hasattr(value, "__float__")
                            ? nb::str("{:.4f}").attr("format")(a.global("float")(value))
                            : pyface::str(value);
                break;
            }
        nb::object hit_language =
            hit.contains("language") ? nb::object(hit["language"]) : nb::none();
        if (!hit_language.is_none()) hit_language = a.global("json_value")(hit_language);
        nb::object line = nb::str("{:>4}  {:>8}  {:<4}  {}").attr("format")(
            ++rank, score, hit_language.is_none() ? nb::str("-") : pyface::str(hit_language),
            hit["path"].is_none() ? pyface::str(hit["name"]) : nb::object(hit["path"]));
        print(line);
    }
    return nb::int_(0);
}

nb::object run_command_line(const Args &a) {
    nb::object parser = build_parser(a);
    nb::object args = parser.attr("parse_args")(a[0]);
    const long verbose = nb::cast<long>(args.attr("verbose"));
    nb::object logging = a.global("logging");
    // Quiet by default: failed documents are in the failure report, and the
    // library logs an ERROR for every PDF whose OCR falls back.
    logging.attr("basicConfig")(
        nb::arg("level") = logging.attr(verbose >= 2 ? "DEBUG" : verbose == 1 ? "INFO" : "ERROR"),
        nb::arg("stream") = a.global("sys").attr("stderr"),
        nb::arg("format") = "%(levelname)s %(message)s");
    if (!truthy(a.global("os").attr("path").attr("isdir")(args.attr("base"))))
        parser.attr("error")(concat("not a directory: ", args.attr("base")));
    if (pyface::equals(args.attr("command"), nb::str("index"))) {
        try {
            return run_index(a, args);
        } catch (nb::python_error &e) {
            // Paths named outside BASE or missing: a mistake on the command line.
            if (!e.matches(PyExc_FileNotFoundError) && !e.matches(PyExc_ValueError)) throw;
            parser.attr("error")(pyface::str(e.value()));
        }
    }
    return run_search(a, args);
}

}  // namespace

NB_MODULE(cli, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("argparse");
    mod.import_module("enum");
    mod.import_module("json");
    mod.import_module("logging");
    mod.import_module("multiprocessing");
    mod.import_module("os");
    mod.import_module("signal");
    mod.import_module("sys");
    mod.import_module("select");
    mod.import_module("tempfile");
    mod.import_module("threading");
    mod.import_module("time");
    mod.import_module("concurrent.futures", "futures");
    mod.import_from("tqdm", {"tqdm"});
    mod.import_from(".Process", {"Process"});
    mod.import_from(".core.PDF", {"PDF"});
    mod.import_from(".infra.EngineKind", {"EngineKind"});
    mod.import_from(".infra.Tongue", {"Tongue"});

    nb::object none = nb::none();
    mod.def("main", {{"argv", none}}, run_command_line,
            "Run the command line with `argv` (default: sys.argv[1:]); returns the exit "
            "status: 0 all indexed, 1 some documents failed, 2 usage error, 130 interrupted.");
    mod.def("index_documents",
            {"base_path", {"paths", none}, {"engine", "td"}, {"is_detect_language", false},
             {"translate_to", none}, {"executor", none}, {"workers", none},
             {"batch_size", 500}, {"failures", none}, {"progress", false}},
            wrapper::cli::index_documents,
            "Compile the documents under `base_path` (or the given relative `paths`) on "
            "`executor` (default: a process pool of `workers`) and train them here, in "
            "batches of `batch_size`. Returns counts of documents, skipped, indexed, failed.");
    mod.def("find_documents", {"base_path", {"paths", none}}, wrapper::cli::find_documents,
            "Relative paths (their identifiers) of the documents under `base_path`.");
    mod.def("compile_document",
            {"base_path", "relative_path", {"is_detect_language", false}, {"translate_to", none}},
            wrapper::cli::compile_document,
            "The featured record of one document, its id set to its relative path.");
    mod.def("init_worker", {{"log_level", none}, {"trainer_pid", none}}, wrapper::cli::init_worker);
    mod.def("watch_trainer", {"pid"}, wrapper::cli::watch_trainer);
    mod.def("positive_int", {"text"}, positive_int);
    mod.def("json_value", {"value"}, json_value);
}
