#include "wrapper/core/joblib_writer.hpp"

#include <map>
#include <string>

#include "pyface/errors.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"
#include "wrapper/core/pickle_stream.hpp"

namespace wrapper::model_file {

namespace {

struct Bound {
    pyface::OriginalGlobal joblib{"joblib", {"dump"}};
    nb::object dump;
    nb::object compressors;  // joblib's table of compressing extensions, or None
};
Bound *g_bound = nullptr;                        // per process, never destroyed
std::map<std::string, bool> *g_trusted = nullptr;  // kind -> native stream equals joblib's

// Objects of every kind the pickler treats differently: sizes around each
// opcode's limits, memo references past 256, more than one batch, texts
// past a frame and texts written from their own memory across frames,
// arrays of both orders, reduce values of every shape.
const char *const kGenericProbe = R"(
def probe():
    import collections, datetime, types
    import numpy as np
    words = ["w%d" % k for k in range(1100)]
    shared = "shared"
    return {
        "words": words, "index": dict(zip(words, range(1100))),
        "again": [words[5], words[300], shared, shared, ("t", words[7])],
        "texts": ["", "a" * 255, "b" * 256, "c" * 70000, "ação", "\ud800x", "中文" * 40000],
        "long": ["%d" % k + ("x" if k % 2 else "ç") * (1000 + 97 * k) for k in range(60)],
        "ints": [0, 255, 256, 65535, 65536, -1, -2**31, 2**31 - 1, 2**31, 2**40, -2**70, 7**3000],
        "floats": [0.0, -1.5, 1e300, float("inf")],
        "flags": [True, False, None],
        "bytes": [b"", b"x" * 300, b"y" * 70000],
        "tuples": [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)],
        "sets": [{"a", "b", 3}, set(), frozenset({1, "x"}), frozenset(), bytearray(b"xy"),
                 bytearray(), set(range(1500))],
        "arrays": [np.arange(10.0), np.arange(7, dtype=np.int32), np.zeros(0),
                   np.asfortranarray(np.arange(12.0).reshape(3, 4)), np.float32(2.5),
                   np.dtype("float32")],
        "objects": [collections.OrderedDict(a=1, b=[2]), datetime.date(2020, 1, 2),
                    types.SimpleNamespace(x=1, y="z"), int, len, np.ndarray],
        1: "int key",
    }
)";

nb::object generic_probe() {
    static nb::object factory;
    if (!factory.is_valid()) {
        nb::dict ns;
        ns["__builtins__"] = nb::module_::import_("builtins");
        nb::object code = nb::steal(
            pyface::check(Py_CompileString(kGenericProbe, "<model file probe>", Py_file_input)));
        nb::steal(pyface::check(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr())));
        factory = ns["probe"];
    }
    return factory();
}

std::string bytes_of(nb::handle bytes) {
    char *data;
    Py_ssize_t n;
    pyface::check_status(PyBytes_AsStringAndSize(bytes.ptr(), &data, &n));
    return std::string(data, static_cast<size_t>(n));
}

// The native stream of `value`, or why there is none.
bool native_bytes(nb::handle value, std::string *bytes, std::string *why) {
    const Settings *s = settings(why);
    if (s == nullptr) return false;
    StringSink sink;
    StreamPickler pickler(*s, sink);
    pickler.allow_external();
    try {
        pickler.dump(value);
    } catch (Unsupported &u) {
        *why = u.why;
        return false;
    }
    *bytes = std::move(sink.bytes);
    return true;
}

std::string joblib_bytes(nb::handle value) {
    nb::object buffer = nb::module_::import_("io").attr("BytesIO")();
    g_bound->dump(value, buffer);
    return bytes_of(buffer.attr("getvalue")());
}

bool same_stream(nb::handle value) {
    std::string native, why;
    if (!native_bytes(value, &native, &why)) return false;
    return native == joblib_bytes(value);
}

// The module's joblib is the library bound at import, and the file is one
// that joblib writes uncompressed.
bool native_applies(const pyface::Args &a, nb::handle filename) {
    if (g_bound == nullptr) return false;
    if (!g_bound->joblib.is_pristine(a)) return false;
    if (!PyUnicode_CheckExact(filename.ptr())) return false;
    if (g_bound->compressors.is_none())
        return pyface::truthy(filename.attr("endswith")(".pkl"));
    for (auto [name, compressor] : nb::borrow<nb::dict>(g_bound->compressors))
        if (pyface::truthy(filename.attr("endswith")(compressor.attr("extension")))) return false;
    return true;
}

std::string fs_path(nb::handle filename) {
    nb::object encoded = nb::module_::import_("os").attr("fsencode")(filename);
    return bytes_of(encoded);
}

// The cyclic collector paused while a stream is written: the reduce calls
// allocate many short-lived containers, and each collection would traverse
// every object the dump keeps alive. Nothing the dump makes is cyclic
// garbage worth collecting meanwhile.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    bool was_enabled_;
};

}  // namespace

struct PrefixCache {
    nb::object dict;   // the top-level dict the prefix was written for
    nb::object key, value, fingerprint;
    PrefixState state;
};

void PrefixCacheDeleter::operator()(PrefixCache *cache) const { delete cache; }

void init(nb::handle globals) {
    if (g_bound != nullptr) return;
    auto *b = new Bound();
    b->joblib.capture(globals);
    b->dump = nb::borrow(b->joblib.value()).attr("dump");
    nb::module_ numpy_pickle = nb::module_::import_("joblib.numpy_pickle");
    b->compressors = nb::getattr(numpy_pickle, "_COMPRESSORS", nb::none());
    if (!b->compressors.is_none() && !PyDict_Check(b->compressors.ptr()))
        b->compressors = nb::none();
    g_bound = b;
    g_trusted = new std::map<std::string, bool>();
}

bool trusted(const char *kind, const ProbeFactory &probes) {
    auto it = g_trusted->find(kind);
    if (it != g_trusted->end()) return it->second;
    bool ok = false;
    try {
        ok = same_stream(generic_probe()) && same_stream(probes());
    } catch (nb::python_error &e) {
        if (pyface::is_stop_request(e)) throw;  // not settled: probed again next time
        ok = false;  // a probe that cannot be built or written: use joblib
    }
    (*g_trusted)[kind] = ok;
    return ok;
}

void dump(const pyface::Args &a, nb::handle value, nb::handle filename, const char *kind,
          const ProbeFactory &probes, KeptItems *kept) {
    if (native_applies(a, filename) && trusted(kind, probes)) {
        const Settings *s = settings(nullptr);
        CollectorPause paused;
        FileSink sink(fs_path(filename));
        StreamPickler pickler(*s, sink);
        pickler.use_kept_items(kept);
        pickler.allow_external();
        try {
            pickler.dump(value);
            sink.close();
            return;
        } catch (Unsupported &) {
            // Something in this value is left to the library: it rewrites
            // the file from the start.
        }
    }
    a.global("joblib").attr("dump")(value, filename);
}

void dump_dict(const pyface::Args &a, nb::handle value, nb::handle filename, const char *kind,
               const ProbeFactory &probes, PrefixCachePtr &cache, nb::handle fingerprint,
               SubtreeCache *subtree, const LiveMemory *live) {
    if (!native_applies(a, filename) || !trusted(kind, probes) || !PyDict_CheckExact(value.ptr()) ||
        PyDict_Size(value.ptr()) < 2) {
        cache.reset();
        dump(a, value, filename, kind, probes);
        return;
    }
    const Settings *s = settings(nullptr);
    CollectorPause paused;
    if (fingerprint.is_none()) {
        cache.reset();
        try {
            FileSink sink(fs_path(filename));
            StreamPickler pickler(*s, sink);
            if (subtree != nullptr) {
                subtree->begin();
                pickler.use_subtree_cache(subtree);
            }
            pickler.dump(value);
            sink.close();
            if (subtree != nullptr) subtree->finish();
            return;
        } catch (Unsupported &) {
        }
        a.global("joblib").attr("dump")(value, filename);
        return;
    }
    nb::list items = nb::steal<nb::list>(pyface::check(PyDict_Items(value.ptr())));
    nb::handle first_key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), 0), 0);
    nb::handle first_value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), 0), 1);
    try {
        std::vector<const char *> live_now;
        const bool reuse = cache && cache->value.is(first_value) &&
                           pyface::equals(cache->key, first_key) &&
                           pyface::equals(cache->fingerprint, fingerprint) &&
                           cache->state.live_data(&live_now);
        if (!reuse) {
            StringSink prefix;
            StreamPickler pickler(*s, prefix);
            if (live != nullptr) pickler.log_payloads();
            pickler.begin_dict(value);
            pickler.save_item(first_key, first_value);
            PrefixCachePtr fresh(new PrefixCache());
            fresh->dict = nb::borrow(value);
            fresh->key = nb::borrow(first_key);
            fresh->value = nb::borrow(first_value);
            fresh->fingerprint = nb::borrow(fingerprint);
            fresh->state = pickler.snapshot(std::move(prefix));
            if (live != nullptr) make_live(fresh->state, live->source, live->read);
            cache.reset();
            if (!fresh->state.live_data(&live_now)) throw Unsupported{"memory that cannot be read"};
            cache = std::move(fresh);
        }
        FileSink sink(fs_path(filename));
        StreamPickler pickler(*s, sink);
        pickler.replay(cache->state, live_now, cache->dict.ptr(), value);
        if (subtree != nullptr) {
            subtree->begin();
            pickler.use_subtree_cache(subtree);
        }
        const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 1; i < n; ++i) {
            nb::handle item = PyList_GET_ITEM(items.ptr(), i);
            pickler.save_item(PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
        }
        pickler.end_dict();
        sink.close();
        if (subtree != nullptr) subtree->finish();
        return;
    } catch (Unsupported &) {
        cache.reset();
    }
    a.global("joblib").attr("dump")(value, filename);
}

}  // namespace wrapper::model_file

namespace wrapper::tfidf {

namespace {

// probe function, TfidfVectorizer, Tongue (never destroyed)
nb::object *g_tfidf_probe = nullptr;

// Model dicts as the engine writes them, fitted by the library itself on
// texts that reach the stream's limits (non-ASCII, lone surrogates, ids of
// every integer size), with languages as the records carry them.
nb::object tfidf_probe() {
    return g_tfidf_probe[0](g_tfidf_probe[1], g_tfidf_probe[2]);
}

const char *const kTfidfProbe = R"(
def probe(TfidfVectorizer, Tongue):
    ids = ["d%d" % k for k in range(300)] + [7, 70000, -5, 2**40, "relatório", "\ud800"]
    texts = ["casa %d dados ação %s" % (k, "x" * (k % 7)) for k in range(len(ids))]
    texts[3] = " ".join("palavra%d" % k for k in range(9000))
    vectorizer = TfidfVectorizer()
    matrix = vectorizer.fit_transform(texts)
    single = TfidfVectorizer()
    single.fit(texts[:1])
    languages = [Tongue.PORTUGUESE, None, Tongue.ENGLISH]
    return [{"matrix": m, "vectorizer": v, "document_names": ids,
             "detected_languages": {i: languages[k % 3] for k, i in enumerate(ids)},
             "cleaned_text": dict(zip(ids, texts))}
            for v, m in ((vectorizer, matrix), (single, single.transform(texts[:1])))]
)";

}  // namespace

void init_joblib_writer(nb::handle globals) {
    wrapper::model_file::init(globals);
    if (g_tfidf_probe != nullptr) return;
    nb::dict ns;
    ns["__builtins__"] = nb::module_::import_("builtins");
    nb::object code =
        nb::steal(pyface::check(Py_CompileString(kTfidfProbe, "<tfidf model probe>", Py_file_input)));
    nb::steal(pyface::check(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr())));
    g_tfidf_probe = new nb::object[3]{ns["probe"], nb::borrow(globals["TfidfVectorizer"]),
                                      nb::borrow(globals["Tongue"])};
}

void joblib_dump(const pyface::Args &a, nb::handle value, nb::handle filename,
                 model_file::KeptItems *kept) {
    wrapper::model_file::dump(a, value, filename, "tfidf", tfidf_probe, kept);
}

}  // namespace wrapper::tfidf
