#include "wrapper/core/pickle_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace wrapper::model_file {

namespace {

// Pickle opcodes (protocols 4 and 5) that the pickler writes.
constexpr char kMark = '(', kStop = '.', kPop = '0', kPopMark = '1';
constexpr char kBinint = 'J', kBinint1 = 'K', kBinint2 = 'M', kLong1 = '\x8a', kLong4 = '\x8b';
constexpr char kNone = 'N', kNewtrue = '\x88', kNewfalse = '\x89', kBinfloat = 'G';
constexpr char kShortBinunicode = '\x8c', kBinunicode = 'X', kBinunicode8 = '\x8d';
constexpr char kShortBinbytes = 'C', kBinbytes = 'B', kBinbytes8 = '\x8e';
constexpr char kEmptyTuple = ')', kTuple = 't', kTuple1 = '\x85', kTuple2 = '\x86',
               kTuple3 = '\x87';
constexpr char kEmptyList = ']', kAppend = 'a', kAppends = 'e';
constexpr char kEmptyDict = '}', kSetitem = 's', kSetitems = 'u';
constexpr char kEmptySet = '\x8f', kAdditems = '\x90', kFrozenset = '\x91', kBytearray8 = '\x96';
constexpr char kStackGlobal = '\x93', kReduce = 'R', kBuild = 'b', kNewobj = '\x81',
               kNewobjEx = '\x92';
constexpr char kProto = '\x80', kFrame = '\x95', kMemoize = '\x94';
constexpr char kBinget = 'h', kLongBinget = 'j';

void put_le(std::string &out, uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
}

std::string header(char code, uint64_t n, int bytes) {
    std::string h(1, code);
    put_le(h, n, bytes);
    return h;
}

[[noreturn]] void unsupported(std::string why) {
    PyErr_Clear();
    throw Unsupported{std::move(why)};
}

Settings *g_settings = nullptr;
std::string *g_settings_error = nullptr;

Settings *make_settings(std::string *why) {
    auto s = std::make_unique<Settings>();
    nb::module_ pickle = nb::module_::import_("pickle");
    nb::module_ copyreg = nb::module_::import_("copyreg");
    nb::module_ numpy_pickle = nb::module_::import_("joblib.numpy_pickle");
    nb::object base = pickle.attr("_Pickler"), framer = pickle.attr("_Framer");
    nb::object joblib_pickler = numpy_pickle.attr("NumpyPickler");
    s->protocol = nb::cast<int>(pickle.attr("DEFAULT_PROTOCOL"));
    if (s->protocol != 4 && s->protocol != 5) {
        *why = "pickle protocol " + std::to_string(s->protocol);
        return nullptr;
    }
    if (PyObject_IsSubclass(joblib_pickler.ptr(), base.ptr()) != 1) {
        *why = "joblib's pickler is not the pure-Python pickler";
        return nullptr;
    }
    // Hooks that would change what save() does for every object.
    for (const char *hook : {"reducer_override", "dispatch_table"})
        if (nb::hasattr(joblib_pickler, hook)) {
            *why = std::string("joblib's pickler has ") + hook;
            return nullptr;
        }
    if (!joblib_pickler.attr("persistent_id").is(base.attr("persistent_id")) ||
        !nb::hasattr(joblib_pickler, "_create_array_wrapper")) {
        *why = "joblib's pickler is not the one this writer follows";
        return nullptr;
    }
    s->frame_size_target = nb::cast<size_t>(framer.attr("_FRAME_SIZE_TARGET"));
    s->frame_size_min = nb::cast<size_t>(framer.attr("_FRAME_SIZE_MIN"));
    s->batch_size = nb::cast<size_t>(joblib_pickler.attr("_BATCHSIZE"));
    // The types written natively must be dispatched to the pickler's own
    // methods; the other dispatched types are left to joblib.
    nb::dict dispatch = nb::borrow<nb::dict>(joblib_pickler.attr("dispatch"));
    nb::dict own = nb::borrow<nb::dict>(base.attr("dispatch"));
    nb::module_ types = nb::module_::import_("types");
    nb::handle handled[] = {reinterpret_cast<PyObject *>(Py_TYPE(Py_None)),
                            reinterpret_cast<PyObject *>(&PyBool_Type),
                            reinterpret_cast<PyObject *>(&PyLong_Type),
                            reinterpret_cast<PyObject *>(&PyFloat_Type),
                            reinterpret_cast<PyObject *>(&PyBytes_Type),
                            reinterpret_cast<PyObject *>(&PyUnicode_Type),
                            reinterpret_cast<PyObject *>(&PyTuple_Type),
                            reinterpret_cast<PyObject *>(&PyList_Type),
                            reinterpret_cast<PyObject *>(&PyDict_Type),
                            reinterpret_cast<PyObject *>(&PyType_Type),
                            reinterpret_cast<PyObject *>(&PySet_Type),
                            reinterpret_cast<PyObject *>(&PyFrozenSet_Type),
                            reinterpret_cast<PyObject *>(&PyByteArray_Type),
                            types.attr("FunctionType")};
    for (nb::handle t : handled)
        if (!dispatch.contains(t) || !own.contains(t) || !dispatch[t].is(own[t])) {
            *why = "the pickler dispatches " + nb::cast<std::string>(nb::str(t)) + " otherwise";
            return nullptr;
        }
    s->dispatch_types = nb::steal(pyface::check(PyFrozenSet_New(dispatch.ptr())));
    s->copyreg_dispatch = copyreg.attr("dispatch_table");
    s->extension_registry = copyreg.attr("_extension_registry");
    s->whichmodule = pickle.attr("whichmodule");
    s->encode_long = pickle.attr("encode_long");
    nb::module_ np = nb::module_::import_("numpy");
    s->array_types = nb::make_tuple(np.attr("ndarray"), np.attr("matrix"), np.attr("memmap"));
    s->array_types_plain = true;
    for (nb::handle t : s->array_types)
        if (!PyType_Check(t.ptr()) || Py_TYPE(t.ptr())->tp_richcompare != PyType_Type.tp_richcompare)
            s->array_types_plain = false;
    s->memmap = np.attr("memmap");
    s->asanyarray = np.attr("asanyarray");
    // The wrapper joblib pickles in an array's place, made by joblib for a
    // seekable uncompressed file (which a BytesIO is, as far as it looks).
    nb::object probe = joblib_pickler(nb::module_::import_("io").attr("BytesIO")());
    s->wrap_array = probe.attr("_create_array_wrapper");
    return s.release();
}

}  // namespace

const Settings *settings(std::string *why) {
    if (g_settings == nullptr && g_settings_error == nullptr) {
        std::string reason;
        try {
            g_settings = make_settings(&reason);
        } catch (nb::python_error &e) {
            if (pyface::is_stop_request(e)) throw;  // not settled: read again next time
            reason = e.what();
        }
        if (g_settings == nullptr) g_settings_error = new std::string(reason);
    }
    if (g_settings == nullptr && why != nullptr) *why = *g_settings_error;
    return g_settings;
}

// ---- sinks ------------------------------------------------------------------

void Sink::put_frame(std::string &frame, std::vector<External> &externals) {
    size_t from = 0;
    for (const External &e : externals) {
        put(frame.data() + from, e.at - from);
        put(e.data, e.size);
        from = e.at;
    }
    put(frame.data() + from, frame.size() - from);
    frame.clear();
    externals.clear();
}

FileSink::FileSink(const std::string &path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) fail(errno);
    buffer_.reserve(1 << 16);
}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::fail(int error) const {
    pyface::raise_errno(error, nb::str(path_.c_str(), path_.size()));
}

void FileSink::write_all(const char *data, size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd_, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        data += done;
        n -= static_cast<size_t>(done);
    }
}

void FileSink::buffered(const char *data, size_t n) {
    // Within the capacity reserved when the file was opened: the buffer is
    // not moved, and the pieces pending in it stay where they are.
    const size_t offset = buffer_.size();
    buffer_.append(data, n);
    char *at = buffer_.data() + offset;
    if (!pending_.empty() && static_cast<char *>(pending_.back().iov_base) +
                                     pending_.back().iov_len == at)
        pending_.back().iov_len += n;
    else
        pending_.push_back({at, n});
}

void FileSink::flush() {
    size_t i = 0;
    while (i < pending_.size()) {
        const int count = static_cast<int>(std::min<size_t>(pending_.size() - i, IOV_MAX));
        ssize_t done = ::writev(fd_, &pending_[i], count);
        if (done < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        while (done > 0) {
            iovec &v = pending_[i];
            if (static_cast<size_t>(done) >= v.iov_len) {
                done -= static_cast<ssize_t>(v.iov_len);
                ++i;
            } else {
                v.iov_base = static_cast<char *>(v.iov_base) + done;
                v.iov_len -= static_cast<size_t>(done);
                done = 0;
            }
        }
        while (i < pending_.size() && pending_[i].iov_len == 0) ++i;
    }
    pending_.clear();
    buffer_.clear();
    owners_.clear();
    pending_size_ = 0;
    for (std::string &f : frames_) {
        f.clear();
        if (spares_.size() < 32) spares_.push_back(std::move(f));
    }
    frames_.clear();
}

void FileSink::put(const char *data, size_t n) {
    position_ += n;
    if (buffer_.size() + n <= buffer_.capacity()) {
        buffered(data, n);
        return;
    }
    flush();
    if (n < buffer_.capacity()) {
        buffered(data, n);
        return;
    }
    if (n >= (1u << 20)) {
        // Large pieces (array data, long texts) are read-only views held by
        // the caller: the interpreter may run meanwhile.
        PyThreadState *state = PyEval_SaveThread();
        try {
            write_all(data, n);
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
        PyEval_RestoreThread(state);
        return;
    }
    write_all(data, n);
}

void FileSink::piece(const char *data, size_t n) {
    if (n == 0) return;
    position_ += n;
    pending_.push_back({const_cast<char *>(data), n});
    pending_size_ += n;
}

void FileSink::put_frame(std::string &frame, std::vector<External> &externals) {
    if (externals.empty() && frame.size() < 4096) {
        Sink::put_frame(frame, externals);
        return;
    }
    frames_.push_back(std::move(frame));
    const std::string &bytes = frames_.back();
    if (!spares_.empty()) {
        frame = std::move(spares_.back());
        spares_.pop_back();
    } else {
        frame = std::string();
        frame.reserve(bytes.capacity());
    }
    size_t from = 0;
    for (External &e : externals) {
        piece(bytes.data() + from, e.at - from);
        piece(e.data, e.size);
        owners_.push_back(std::move(e.owner));
        from = e.at;
    }
    piece(bytes.data() + from, bytes.size() - from);
    externals.clear();
    if (pending_.size() >= 512 || pending_size_ >= (1u << 20)) flush();
}

void FileSink::close() {
    if (fd_ < 0) return;
    flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
}

// ---- pickler ------------------------------------------------------------------

StreamPickler::StreamPickler(const Settings &s, Sink &out) : s_(s), out_(out) {
    frame_.reserve(s.frame_size_target * 2);
}

void StreamPickler::commit_frame(bool force) {
    if (recording_ && force) rec_forced_ = true;
    if (!framing_) return;
    const size_t size = framed();
    if (size >= s_.frame_size_target || force) {
        if (recording_ && !force) {
            rec_bytes_.append(frame_, rec_from_, std::string::npos);
            rec_from_ = 0;
        }
        if (size >= s_.frame_size_min) {
            std::string h = header(kFrame, size, 8);
            out_.put(h.data(), h.size());
        }
        for (LoggedPayload &p : frame_payloads_) {
            p.at += out_.position();
            payloads_.push_back(std::move(p));
        }
        frame_payloads_.clear();
        out_.put_frame(frame_, externals_);
        external_bytes_ = 0;
        if (frame_.capacity() < s_.frame_size_target * 2) frame_.reserve(s_.frame_size_target * 2);
        ++flushes_;
    }
}

void StreamPickler::log_payload(size_t frame_offset, size_t n) {
    nb::object owner = reducing_.empty() ? nb::object() : nb::borrow(reducing_.back());
    frame_payloads_.push_back({frame_offset, n, std::move(owner)});
}

void StreamPickler::write_large(const std::string &head, const char *data, size_t n) {
    // The pickler ends the open frame and writes header and payload outside
    // any frame.
    commit_frame(true);
    out_.put(head.data(), head.size());
    out_.put(data, n);
}

bool StreamPickler::memo_lookup(PyObject *obj, uint32_t *index) const {
    if (memo_.find(obj, index)) return true;
    uint32_t at;
    if (deferred_count_ > 0 && PyUnicode_CheckExact(obj) && kept_->may_hold(obj) &&
        kept_->index.find(obj, &at) && at < deferred_count_) {
        *index = deferred_base_ + at;
        return true;
    }
    return false;
}

void StreamPickler::memoize(PyObject *obj) {
    op(kMemoize);
    memo_.insert(obj, next_index_++);
    alive_.push_back(nb::borrow(obj));
}

void StreamPickler::get(uint32_t index) {
    if (recording_ && index < recording_from_) outside_gets_.push_back(index);
    if (index < 256) {
        op(kBinget);
        frame_.push_back(static_cast<char>(index));
    } else {
        op(kLongBinget);
        put_le(frame_, index, 4);
    }
}

namespace {

// How many objects the last stream of a top-level object of the same type
// and length memoised: a model file is written again and again with about
// as many, so its memo is sized once instead of grown (and rehashed) a
// dozen times per write.
std::unordered_map<uint64_t, size_t> *g_memo_sizes = nullptr;  // per process, GIL held

uint64_t memo_size_key(PyObject *top) {
    const Py_ssize_t n = PyDict_Check(top) ? PyDict_GET_SIZE(top) : -1;
    return reinterpret_cast<uintptr_t>(Py_TYPE(top)) ^ (static_cast<uint64_t>(n) << 48);
}

}  // namespace

void StreamPickler::dump(nb::handle obj) {
    if (g_memo_sizes == nullptr) g_memo_sizes = new std::unordered_map<uint64_t, size_t>();
    const uint64_t key = memo_size_key(obj.ptr());
    if (auto it = g_memo_sizes->find(key); it != g_memo_sizes->end()) {
        memo_.reserve(it->second);
        alive_.reserve(it->second);
    }
    char proto[2] = {kProto, static_cast<char>(s_.protocol)};
    out_.put(proto, 2);
    framing_ = true;
    save(obj);
    op(kStop);
    commit_frame(true);
    framing_ = false;
    (*g_memo_sizes)[key] = memo_.size();
}

void StreamPickler::begin_dict(nb::handle dict) {
    const size_t n = PyDict_Check(dict.ptr()) ? static_cast<size_t>(PyDict_Size(dict.ptr())) : 0;
    if (!PyDict_CheckExact(dict.ptr()) || n < 2 || n > s_.batch_size)
        unsupported("not a dict written in one batch");
    char proto[2] = {kProto, static_cast<char>(s_.protocol)};
    out_.put(proto, 2);
    framing_ = true;
    commit_frame(false);
    op(kEmptyDict);
    memoize(dict.ptr());
    op(kMark);
}

void StreamPickler::save_item(nb::handle key, nb::handle value) {
    save(key);
    save(value);
}

void StreamPickler::end_dict() {
    op(kSetitems);
    op(kStop);
    commit_frame(true);
    framing_ = false;
}

PrefixState StreamPickler::snapshot(StringSink &&sink) const {
    // Objects memoised through kept items are held by the caller's cache,
    // not by the state that would be kept here.
    if (kept_used_) unsupported("a prefix with kept items");
    if (!externals_.empty()) unsupported("a prefix with external pieces");
    PrefixState state;
    state.bytes = std::move(sink.bytes);
    state.committed = state.bytes.size();
    state.frame = frame_;
    state.memo = memo_;
    state.next_index = next_index_;
    state.alive = alive_;
    state.payloads = payloads_;
    for (const LoggedPayload &p : frame_payloads_)
        state.payloads.push_back({state.bytes.size() + p.at, p.size, p.owner});
    return state;
}

bool PrefixState::live_data(std::vector<const char *> *data) const {
    data->clear();
    for (const LiveSpan &span : live) {
        size_t size = 0;
        const char *at = read_live(span.source.ptr(), &size);
        if (at == nullptr || size != span.size) return false;
        data->push_back(at);
    }
    return true;
}

void make_live(PrefixState &state, LiveSourceFn find_source, LiveReadFn read) {
    if (!state.live.empty()) throw std::logic_error("live spans taken twice");
    const uint64_t committed = state.committed;
    std::vector<LiveSpan> live;
    for (const LoggedPayload &p : state.payloads) {
        if (!p.owner.is_valid()) continue;
        nb::object source = find_source(p.owner.ptr());
        if (!source.is_valid()) continue;
        size_t size = 0;
        const char *memory = read(source.ptr(), &size);
        if (memory == nullptr || size == 0 || size > p.size) continue;
        // The memory ends the payload (its start is the saved form's own
        // header): checked once here, byte for byte. A payload lies in one
        // frame or outside any.
        const uint64_t at = p.at + p.size - size;
        const char *kept = nullptr;
        if (at + size <= committed)
            kept = state.bytes.data() + at;
        else if (at >= committed && at + size <= committed + state.frame.size())
            kept = state.frame.data() + (at - committed);
        if (kept != nullptr && std::memcmp(kept, memory, size) == 0)
            live.push_back({at, size, std::move(source)});
    }
    std::sort(live.begin(), live.end(),
              [](const LiveSpan &x, const LiveSpan &y) { return x.at < y.at; });
    std::string bytes;
    uint64_t from = 0;
    for (const LiveSpan &span : live) {
        if (span.at >= committed) break;
        bytes.append(state.bytes, from, span.at - from);
        from = span.at + span.size;
    }
    bytes.append(state.bytes, from, std::string::npos);
    state.bytes = std::move(bytes);
    state.live = std::move(live);
    state.read_live = read;
    state.payloads.clear();
}

void StreamPickler::replay(const PrefixState &state, const std::vector<const char *> &live,
                           PyObject *old_top, nb::handle top) {
    // The committed frames, the live spans among them read where they are.
    const uint64_t committed = state.committed;
    uint64_t whole = 0;
    size_t kept = 0, k = 0;
    for (; k < state.live.size() && state.live[k].at < committed; ++k) {
        const LiveSpan &span = state.live[k];
        const auto run = static_cast<size_t>(span.at - whole);
        out_.put(state.bytes.data() + kept, run);
        out_.put(live[k], span.size);
        kept += run;
        whole = span.at + span.size;
    }
    out_.put(state.bytes.data() + kept, state.bytes.size() - kept);
    framing_ = true;
    frame_ = state.frame;
    for (; k < state.live.size(); ++k) {
        const LiveSpan &span = state.live[k];
        std::memcpy(frame_.data() + (span.at - committed), live[k], span.size);
    }
    memo_ = state.memo;
    next_index_ = state.next_index;
    alive_ = state.alive;
    uint32_t index;
    if (old_top != top.ptr() && memo_.find(old_top, &index)) {
        // The old dict stays alive in `state`, so its address is not reused.
        memo_.erase(old_top);
        memo_.insert(top.ptr(), index);
        alive_[index] = nb::borrow(top);
    }
}

void SubtreeCache::begin() {
    if (open_) entries_.clear();  // the last dump ended early: its order is lost
    next_.clear();
    next_.reserve(entries_.size() + 16);
    cursor_ = taken_ = 0;
    indexed_ = false;
    open_ = true;
}

SubtreeCache::Entry *SubtreeCache::find(PyObject *obj) {
    // The memo answers for an object met again, so each is looked for once.
    if (cursor_ < entries_.size() && entries_[cursor_].obj.ptr() == obj) {
        found_ = cursor_++;
        ++taken_;
        return &entries_[found_];
    }
    if (taken_ == entries_.size()) return nullptr;  // a new object after all the kept ones
    if (!indexed_) {
        index_ = Memo();
        index_.reserve(entries_.size());
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].obj.is_valid())
                index_.insert(entries_[i].obj.ptr(), static_cast<uint32_t>(i));
        indexed_ = true;
    }
    uint32_t at;
    if (!index_.find(obj, &at) || !entries_[at].obj.is_valid() ||
        entries_[at].obj.ptr() != obj)
        return nullptr;
    found_ = at;
    cursor_ = at + 1;
    ++taken_;
    return &entries_[found_];
}

// Eight objects ahead is far enough for their lines to arrive before they
// are checked (4 and 16 measured the same on 10,000 stored embeddings).
void SubtreeCache::prefetch_ahead() const {
    constexpr size_t kAhead = 8;
    const size_t at = found_ + kAhead;
    if (at >= entries_.size()) return;
    const Entry &e = entries_[at];
    if (!e.obj.is_valid() || e.state == nullptr) return;
    // The object's header and what lies just before it (its dict pointer
    // on 3.11 and later).
    const char *obj = reinterpret_cast<const char *>(e.obj.ptr());
    __builtin_prefetch(obj - 32);
    __builtin_prefetch(obj + 32);
    const char *state = reinterpret_cast<const char *>(e.state.get());
    for (int k = 0; k < 3; ++k) __builtin_prefetch(state + 64 * k);
    for (size_t k = 0; k < std::min<size_t>(e.bytes.size(), 1024); k += 64)
        __builtin_prefetch(e.bytes.data() + k);
    __builtin_prefetch(e.outside.data());
    __builtin_prefetch(e.memoised.data());
    __builtin_prefetch(e.checks.data());
    e.state->prefetch();
}

void SubtreeCache::keep_found() {
    next_.push_back(std::move(entries_[found_]));
    entries_[found_].obj = nb::object();
}

void SubtreeCache::keep(Entry &&entry) { next_.push_back(std::move(entry)); }

void SubtreeCache::finish() {
    entries_.swap(next_);
    next_.clear();
    index_ = Memo();
    indexed_ = false;
    open_ = false;
}

bool StreamPickler::replay_subtree(PyObject *obj) {
    SubtreeCache::Entry *found = subtree_->find(obj);
    if (found == nullptr) return false;
    const SubtreeCache::Entry &e = *found;
    subtree_->prefetch_ahead();
    const char *live = nullptr;
    if (!e.state->unchanged(obj, &live)) return false;
    uint32_t index;
    for (const auto &[outside, at] : e.outside)
        if (!memo_lookup(outside.ptr(), &index) || index != at) return false;
    // What the subtree memoised must be new here too: an object already
    // written before it (a class, a function) would be referred to instead.
    for (const nb::object &m : e.memoised)
        if (m.is_valid() && memo_lookup(m.ptr(), &index)) return false;
    // Bytes [from, to) of the whole pickle: the kept bytes with the live
    // part put back in its place.
    const size_t live_at = e.state->live_at, live_size = e.state->live_size;
    const size_t whole = e.bytes.size() + live_size;
    auto append = [&](size_t from, size_t to) {
        const size_t live_end = live_at + live_size;
        if (from < live_at) frame_.append(e.bytes, from, std::min(to, live_at) - from);
        if (live_size > 0 && from < live_end && to > live_at) {
            const size_t a = std::max(from, live_at), b = std::min(to, live_end);
            frame_.append(live + (a - live_at), b - a);
        }
        if (to > live_end) {
            const size_t a = std::max(from, live_end);
            frame_.append(e.bytes, a - live_size, to - a);
        }
    };
    if (framed() + whole < s_.frame_size_target) {
        append(0, whole);
    } else {
        // The pickler would end the frame at the first object saved inside
        // once the frame reached its target size.
        size_t from = 0;
        for (const uint32_t at : e.checks) {
            append(from, at);
            from = at;
            commit_frame(false);
        }
        append(from, whole);
    }
    for (const nb::object &m : e.memoised) {
        // Objects made by the reduce itself can be referred to by nothing
        // else: they take their index but no memo entry.
        if (m.is_valid()) memo_.insert(m.ptr(), next_index_);
        ++next_index_;
        alive_.push_back(m.is_valid() ? m : nb::none());
    }
    subtree_->keep_found();
    return true;
}

namespace {

// The objects of `made` that nothing outside `made` refers to (their only
// references are the pickler's own and those of containers in `made`).
std::vector<bool> made_here(const std::vector<nb::object> &made) {
    std::unordered_map<PyObject *, Py_ssize_t> inside;
    for (const nb::object &m : made) inside.emplace(m.ptr(), 0);
    auto count = [&](PyObject *item) {
        auto it = inside.find(item);
        if (it != inside.end()) ++it->second;
    };
    for (const nb::object &m : made) {
        PyObject *o = m.ptr();
        if (PyTuple_CheckExact(o)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) count(PyTuple_GET_ITEM(o, i));
        } else if (PyList_CheckExact(o)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) count(PyList_GET_ITEM(o, i));
        } else if (PyDict_CheckExact(o)) {
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            while (PyDict_Next(o, &pos, &k, &v)) {
                count(k);
                count(v);
            }
        }
    }
    std::vector<bool> result;
    result.reserve(made.size());
    for (const nb::object &m : made) {
        // One reference is the pickler's (alive_), one is `made`'s.
        result.push_back(Py_REFCNT(m.ptr()) - 2 - inside[m.ptr()] <= 0);
    }
    return result;
}

}  // namespace

void StreamPickler::record_subtree(PyObject *obj) {
    recording_ = true;
    recording_from_ = next_index_;
    outside_gets_.clear();
    rec_bytes_.clear();
    rec_from_ = frame_.size();
    rec_checks_.clear();
    rec_payloads_.clear();
    rec_forced_ = false;
    try {
        save_reduce_of(obj);
    } catch (...) {
        recording_ = false;
        throw;
    }
    recording_ = false;
    if (rec_forced_) return;  // a large write or an array inside: not kept
    rec_bytes_.append(frame_, rec_from_, std::string::npos);
    SubtreeCache::Entry e;
    e.state = subtree_->capture(obj, rec_bytes_, rec_payloads_);
    if (!e.state) return;
    for (uint32_t index : outside_gets_) {
        if (!alive_[index].is_valid() || alive_[index].is_none()) return;
        e.outside.emplace_back(alive_[index], index);
    }
    std::vector<nb::object> made(alive_.begin() + recording_from_, alive_.end());
    const std::vector<bool> temporary = made_here(made);
    for (size_t i = 0; i < made.size(); ++i)
        e.memoised.push_back(temporary[i] && made[i].ptr() != obj ? nb::object() : made[i]);
    e.obj = nb::borrow(obj);
    // Kept at its size: 10^5 of them are kept at once.
    const size_t live_end = e.state->live_at + e.state->live_size;
    e.bytes.reserve(rec_bytes_.size() - e.state->live_size);
    e.bytes.append(rec_bytes_, 0, e.state->live_at).append(rec_bytes_, live_end);
    e.checks = std::move(rec_checks_);
    subtree_->keep(std::move(e));
}

void StreamPickler::save(nb::handle obj) {
    if (recording_) rec_checks_.push_back(static_cast<uint32_t>(recorded()));
    commit_frame(false);
    PyObject *o = obj.ptr();
    PyTypeObject *type = Py_TYPE(o);
    // Numbers, None and booleans are never memoised, so never looked up.
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || o == Py_None) {
        save_plain(o, type);
        return;
    }
    // joblib's hook comes before the memo: every array is written in full.
    if (type != &PyUnicode_Type && is_array_type(type)) {
        save_array(obj);
        return;
    }
    uint32_t index;
    if (memo_lookup(o, &index)) {
        get(index);
        return;
    }
    if (save_plain(o, type)) return;
    if (subtree_ != nullptr && !recording_ &&
        reinterpret_cast<PyObject *>(type) == subtree_->type.ptr()) {
        if (!replay_subtree(o)) record_subtree(o);
        return;
    }
    save_reduce_of(o);
}

// `type in (ndarray, matrix, memmap)`, as joblib asks it. Types compare by
// identity unless a metaclass says otherwise, so for the plain metaclass
// (the arrays' own, checked when the settings were read) the tuple's
// equality calls are left out.
bool StreamPickler::is_array_type(PyTypeObject *type) const {
    PyObject *t = reinterpret_cast<PyObject *>(type);
    if (s_.array_types_plain && Py_TYPE(t)->tp_richcompare == PyType_Type.tp_richcompare) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s_.array_types.ptr()); ++i)
            if (PyTuple_GET_ITEM(s_.array_types.ptr(), i) == t) return true;
        return false;
    }
    const int found = PySequence_Contains(s_.array_types.ptr(), t);
    if (found < 0) throw nb::python_error();
    return found == 1;
}

void StreamPickler::save_reduce_of(PyObject *o) {
    nb::handle obj(o);
    PyTypeObject *type = Py_TYPE(o);
    nb::handle type_handle(reinterpret_cast<PyObject *>(type));
    if (PySet_Contains(s_.dispatch_types.ptr(), type_handle.ptr()) == 1)
        unsupported(std::string("objects of type ") + type->tp_name);
    nb::object rv;
    PyObject *reduce = PyDict_GetItemWithError(s_.copyreg_dispatch.ptr(), type_handle.ptr());
    if (reduce == nullptr && PyErr_Occurred()) throw nb::python_error();
    if (reduce != nullptr) {
        rv = nb::borrow(reduce)(obj);
    } else if (PyType_IsSubtype(type, &PyType_Type)) {
        save_global(obj, nb::none());
        return;
    } else {
        nb::object reduce_ex = nb::getattr(obj, "__reduce_ex__", nb::none());
        if (reduce_ex.is_none()) unsupported("an object without __reduce_ex__");
        rv = reduce_ex(s_.protocol);
    }
    if (PyUnicode_Check(rv.ptr())) {
        save_global(obj, rv);
        return;
    }
    if (!PyTuple_Check(rv.ptr()) || PyTuple_GET_SIZE(rv.ptr()) < 2 ||
        PyTuple_GET_SIZE(rv.ptr()) > 6)
        unsupported("a reduce value the pickler refuses");
    if (!logging_) {
        save_reduce(obj, rv);
        return;
    }
    reducing_.push_back(o);
    try {
        save_reduce(obj, rv);
    } catch (...) {
        reducing_.pop_back();
        throw;
    }
    reducing_.pop_back();
}

bool StreamPickler::save_plain(PyObject *o, PyTypeObject *type) {
    if (type == &PyUnicode_Type) {
        save_str(o);
    } else if (type == &PyLong_Type) {
        save_long(o);
    } else if (o == Py_None) {
        op(kNone);
    } else if (type == &PyBool_Type) {
        op(o == Py_True ? kNewtrue : kNewfalse);
    } else if (type == &PyFloat_Type) {
        const double d = PyFloat_AS_DOUBLE(o);
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        op(kBinfloat);
        for (int k = 7; k >= 0; --k) frame_.push_back(static_cast<char>((bits >> (8 * k)) & 0xff));
    } else if (type == &PyTuple_Type) {
        save_tuple(o);
    } else if (type == &PyList_Type) {
        save_list(o);
    } else if (type == &PyDict_Type) {
        save_dict(o);
    } else if (type == &PyBytes_Type) {
        save_bytes(o);
    } else if (type == &PySet_Type) {
        save_set(o);
    } else if (type == &PyFrozenSet_Type) {
        save_frozenset(o);
    } else if (type == &PyByteArray_Type) {
        save_bytearray(o);
    } else if (type == &PyType_Type || type == &PyFunction_Type) {
        save_global(nb::handle(o), nb::none());
    } else {
        return false;
    }
    return true;
}

void StreamPickler::save_str(PyObject *o) {
    nb::object encoded;
    const char *data;
    Py_ssize_t size;
    if (PyUnicode_IS_ASCII(o)) {
        data = static_cast<const char *>(PyUnicode_DATA(o));
        size = PyUnicode_GET_LENGTH(o);
    } else {
        encoded = nb::steal(pyface::check(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass")));
        data = PyBytes_AS_STRING(encoded.ptr());
        size = PyBytes_GET_SIZE(encoded.ptr());
    }
    const auto n = static_cast<uint64_t>(size);
    if (n <= 0xff) {
        op(kShortBinunicode);
        frame_.push_back(static_cast<char>(n));
        write(data, n);
    } else if (n > 0xffffffffULL) {
        write_large(header(kBinunicode8, n, 8), data, n);
    } else if (n >= s_.frame_size_target) {
        write_large(header(kBinunicode, n, 4), data, n);
    } else {
        op(kBinunicode);
        put_le(frame_, n, 4);
        if (external_allowed_ && n >= kExternalMin && !recording_ && !logging_) {
            // Written from the text's own memory (or its encoded copy, held
            // until then).
            externals_.push_back({frame_.size(), data, n,
                                  encoded.is_valid() ? std::move(encoded) : nb::borrow(o)});
            external_bytes_ += n;
        } else {
            write(data, n);
        }
    }
    memoize(o);
}

void StreamPickler::save_bytes(PyObject *o) {
    const char *data = PyBytes_AS_STRING(o);
    const auto n = static_cast<uint64_t>(PyBytes_GET_SIZE(o));
    if (n <= 0xff) {
        op(kShortBinbytes);
        frame_.push_back(static_cast<char>(n));
        if (recording_) rec_payloads_.push_back(Span{recorded(), n});
        if (logging_) log_payload(frame_.size(), n);
        write(data, n);
    } else if (n > 0xffffffffULL || n >= s_.frame_size_target) {
        write_large(n > 0xffffffffULL ? header(kBinbytes8, n, 8) : header(kBinbytes, n, 4), data,
                    n);
        if (logging_)
            payloads_.push_back({out_.position() - n, n,
                                 reducing_.empty() ? nb::object() : nb::borrow(reducing_.back())});
    } else {
        op(kBinbytes);
        put_le(frame_, n, 4);
        if (recording_) rec_payloads_.push_back(Span{recorded(), n});
        if (logging_) log_payload(frame_.size(), n);
        write(data, n);
    }
    memoize(o);
}

void StreamPickler::save_set(PyObject *o) {
    op(kEmptySet);
    memoize(o);
    nb::object it = nb::steal(pyface::check(PyObject_GetIter(o)));
    std::vector<nb::object> batch;
    while (true) {
        batch.clear();
        while (batch.size() < s_.batch_size) {
            PyObject *next = PyIter_Next(it.ptr());
            if (next == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            batch.push_back(nb::steal(next));
        }
        if (!batch.empty()) {
            op(kMark);
            for (auto &x : batch) save(x);
            op(kAdditems);
        }
        if (batch.size() < s_.batch_size) break;
    }
}

void StreamPickler::save_frozenset(PyObject *o) {
    nb::object keep = nb::borrow(o);
    op(kMark);
    nb::object it = nb::steal(pyface::check(PyObject_GetIter(o)));
    while (PyObject *next = PyIter_Next(it.ptr())) save(nb::steal(next));
    if (PyErr_Occurred()) throw nb::python_error();
    uint32_t index;
    if (memo_lookup(o, &index)) {
        op(kPopMark);
        get(index);
        return;
    }
    op(kFrozenset);
    memoize(o);
}

void StreamPickler::save_bytearray(PyObject *o) {
    nb::object keep = nb::borrow(o);
    if (s_.protocol < 5) {
        // Older protocols pickle it by reduce, with the bytes as argument.
        nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(&PyByteArray_Type));
        nb::object args = PyByteArray_GET_SIZE(o) == 0
                              ? nb::make_tuple()
                              : nb::make_tuple(nb::steal(pyface::check(PyBytes_FromObject(o))));
        save_reduce(keep, nb::make_tuple(cls, args));
        return;
    }
    const auto n = static_cast<uint64_t>(PyByteArray_GET_SIZE(o));
    const char *data = PyByteArray_AS_STRING(o);
    if (n >= s_.frame_size_target) {
        write_large(header(kBytearray8, n, 8), data, n);
    } else {
        frame_.append(header(kBytearray8, n, 8));
        write(data, n);
    }
    memoize(o);
}

void StreamPickler::save_long(PyObject *o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        if (v >= 0 && v <= 0xff) {
            op(kBinint1);
            frame_.push_back(static_cast<char>(v));
            return;
        }
        if (v >= 0 && v <= 0xffff) {
            op(kBinint2);
            put_le(frame_, static_cast<uint64_t>(v), 2);
            return;
        }
        if (v >= -0x80000000LL && v <= 0x7fffffffLL) {
            op(kBinint);
            put_le(frame_, static_cast<uint32_t>(static_cast<int32_t>(v)), 4);
            return;
        }
    }
    PyErr_Clear();
    nb::object encoded = s_.encode_long(nb::handle(o));
    const auto n = static_cast<uint64_t>(PyBytes_GET_SIZE(encoded.ptr()));
    if (n < 256) {
        op(kLong1);
        frame_.push_back(static_cast<char>(n));
    } else {
        op(kLong4);
        put_le(frame_, n, 4);
    }
    write(PyBytes_AS_STRING(encoded.ptr()), n);
}

void StreamPickler::save_tuple(PyObject *o) {
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (n == 0) {
        op(kEmptyTuple);
        return;
    }
    nb::object keep = nb::borrow(o);
    if (n > 3) op(kMark);
    for (Py_ssize_t i = 0; i < n; ++i) save(nb::handle(PyTuple_GET_ITEM(o, i)));
    uint32_t index;
    if (memo_lookup(o, &index)) {
        // Recursive: the tuple was made while its items were written.
        if (n > 3) {
            op(kPopMark);
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) op(kPop);
        }
        get(index);
        return;
    }
    static const char kSized[] = {kEmptyTuple, kTuple1, kTuple2, kTuple3};
    op(n <= 3 ? kSized[n] : kTuple);
    memoize(o);
}

void StreamPickler::save_list(PyObject *o) {
    op(kEmptyList);
    memoize(o);
    batch_appends(nb::handle(o));
}

void StreamPickler::save_dict(PyObject *o) {
    op(kEmptyDict);
    memoize(o);
    batch_setitems(nb::handle(o));
}

// Before items of a batch are written, the memo slots of the next few
// dozen are loaded in one tight loop: a large memo does not fit the cache,
// and one miss at a time, between the writing of items, costs more than
// the rest (software prefetches alone did not help here). Not the whole
// batch at once: a batch of long texts pushes the first slots out of the
// cache again before their items are written (64 ahead: a third fewer
// samples in the memo than 16, 256 or the whole batch, on a 32,000-text
// model file). Numbers are never looked up.
namespace {
constexpr size_t kTouchAhead = 64;
bool looked_up(PyObject *obj) {
    const PyTypeObject *type = Py_TYPE(obj);
    return type != &PyLong_Type && type != &PyFloat_Type;
}
}  // namespace

uintptr_t StreamPickler::touch(PyObject *obj) const {
    if (!looked_up(obj)) return 0;
    uintptr_t slot = memo_.touch(obj);
    if (deferred_count_ > 0 && PyUnicode_CheckExact(obj)) {
        // Where a miss looks next.
        if (const void *line = kept_->filter_line(obj))
            slot ^= *static_cast<const uintptr_t *>(line);
    }
    return slot;
}

void StreamPickler::touch_memo(const std::vector<nb::object> &batch, size_t from,
                              size_t to) const {
    uintptr_t sink = 0;
    for (size_t i = from; i < to; ++i) sink ^= touch(batch[i].ptr());
    asm volatile("" : : "r"(sink));
}

void StreamPickler::touch_memo(const std::vector<std::pair<nb::object, nb::object>> &batch,
                              size_t from, size_t to) const {
    uintptr_t sink = 0;
    for (size_t i = from; i < to; ++i) sink ^= touch(batch[i].first.ptr()) ^ touch(batch[i].second.ptr());
    asm volatile("" : : "r"(sink));
}

// _batch_setitems over a dict (read in place) or any iterable of pairs.
void StreamPickler::batch_setitems(nb::handle items) {
    const bool dict = PyDict_CheckExact(items.ptr());
    if (dict && kept_items_apply(items.ptr())) {
        batch_setitems_kept(items.ptr());
        return;
    }
    nb::object it;
    if (!dict) it = nb::steal(pyface::check(PyObject_GetIter(items.ptr())));
    const Py_ssize_t size = dict ? PyDict_Size(items.ptr()) : 0;
    Py_ssize_t pos = 0;
    std::vector<std::pair<nb::object, nb::object>> batch;
    batch.reserve(dict ? std::min<size_t>(static_cast<size_t>(size), s_.batch_size) : 16);
    std::vector<std::pair<PyObject *, PyObject *>> read;  // a dict's batch, borrowed
    while (true) {
        batch.clear();
        if (dict) {
            // The batch's pairs are read first, then referenced with the
            // objects loaded a few pairs ahead: each is a cache miss, and
            // one at a time they cost more than the rest of the batch.
            read.clear();
            while (read.size() < s_.batch_size) {
                if (PyDict_Size(items.ptr()) != size) unsupported("a dict changed while written");
                PyObject *k, *v;
                if (!PyDict_Next(items.ptr(), &pos, &k, &v)) break;
                read.emplace_back(k, v);
            }
            constexpr size_t kAhead = 8;
            for (size_t i = 0; i < read.size(); ++i) {
                if (i + kAhead < read.size()) {
                    __builtin_prefetch(read[i + kAhead].first, 1);
                    __builtin_prefetch(read[i + kAhead].second, 1);
                }
                batch.emplace_back(nb::borrow(read[i].first), nb::borrow(read[i].second));
            }
        }
        while (!dict && batch.size() < s_.batch_size) {
            PyObject *next = PyIter_Next(it.ptr());
            if (next == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            nb::object pair = nb::steal(next);
            if (!PyTuple_Check(next) || PyTuple_GET_SIZE(next) != 2)
                unsupported("dict items that are not pairs");
            batch.emplace_back(nb::borrow(PyTuple_GET_ITEM(next, 0)),
                               nb::borrow(PyTuple_GET_ITEM(next, 1)));
        }
        // Several items go between MARK and SETITEMS, a single one is
        // followed by SETITEM.
        const size_t n = batch.size();
        if (n > 1) op(kMark);
        for (size_t i = 0; i < n; ++i) {
            if (i % kTouchAhead == 0) touch_memo(batch, i, std::min(n, i + kTouchAhead));
            save(batch[i].first);
            save(batch[i].second);
        }
        if (n > 0) op(n > 1 ? kSetitems : kSetitem);
        if (n < s_.batch_size) break;
    }
}

bool StreamPickler::kept_items_apply(PyObject *dict) const {
    if (kept_ == nullptr || kept_used_ || recording_ ||
        static_cast<size_t>(PyDict_GET_SIZE(dict)) < kMinKeptItems)
        return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    return PyDict_Next(dict, &pos, &k, &v) && PyUnicode_CheckExact(k) && PyLong_CheckExact(v);
}

// _batch_setitems over `dict` with the items kept from the last dump (see
// KeptItems). The dict's keys and values are read in place: nothing here
// runs Python code, except the encoding of an int past 32 bits, for which
// the pair is held.
//
// Items are written in three ways. While the dict's keys are the kept
// ones at the same places and the values ints, keys are memoised through
// the kept index and the kept bytes of unchanged items are written in
// runs. From the first other item on, each item is pickled on its own:
// from its kept bytes when its key and value are the kept ones (found at
// its place or a few places on, when items were removed), otherwise as
// the pickler would. The kept state for the next dump is built only from
// the first change on.
void StreamPickler::batch_setitems_kept(PyObject *dict) {
    kept_used_ = true;
    KeptItems &old = *kept_;
    const auto size = static_cast<size_t>(PyDict_GET_SIZE(dict));

    // The kept keys may be memoised through the index unless one of them
    // was memoised before the dict (it is then referred to, not written).
    size_t run_limit = std::min(old.indexed, size);
    for (size_t m = 0; m < alive_.size() && run_limit > 0; ++m) {
        uint32_t at;
        if (alive_[m].is_valid() && old.index.find(alive_[m].ptr(), &at)) run_limit = 0;
    }
    bool in_run = run_limit > 0;
    deferred_base_ = next_index_;
    deferred_count_ = 0;
    auto end_run = [&] {
        if (!in_run) return;
        in_run = false;
        next_index_ = deferred_base_ + static_cast<uint32_t>(deferred_count_);
        alive_.resize(alive_.size() + deferred_count_);  // held by the kept items
    };

    // Kept bytes not yet in the frame: [pending_from, pending_to) of old.bytes.
    size_t pending_from = 0, pending_to = 0;
    auto flush = [&] {
        if (pending_to > pending_from)
            frame_.append(old.bytes, pending_from, pending_to - pending_from);
        pending_from = pending_to = 0;
    };
    auto put_kept = [&](size_t at, size_t n) {
        if (pending_to != at) {
            flush();
            pending_from = pending_to = at;
        }
        pending_to += n;
    };
    // Where save() would look at the frame's size.
    auto save_point = [&] {
        if (framed() + (pending_to - pending_from) >= s_.frame_size_target) flush();
        commit_frame(false);
    };

    KeptItems next;
    bool building = false;  // from the first change on
    size_t j = 0;           // the place among the old items where the next is expected
    size_t same_places = 0;  // leading places holding the kept keys
    auto start_building = [&](size_t i) {
        building = true;
        next.items.reserve(size);
        for (size_t m = 0; m < i; ++m) next.items.push_back(std::move(old.items[m]));
        next.bytes.reserve(old.bytes.size() + old.bytes.size() / 8 + 64);
        next.bytes.assign(old.bytes, 0, i < old.items.size() ? old.items[i].at : old.bytes.size());
    };
    // The old item holding `key` at `j` or, once building, a few places on
    // (items removed since the last dump are skipped); null if none.
    auto match = [&](PyObject *key) -> KeptItems::Item * {
        const size_t skip = building ? 8 : 0;
        for (size_t at = j; at < old.items.size() && at <= j + skip; ++at)
            if (old.items[at].key.ptr() == key) {
                j = at + 1;
                return &old.items[at];
            }
        return nullptr;
    };

    try {
        Py_ssize_t pos = 0;
        size_t done = 0;
        while (true) {
            const size_t n = std::min(size - done, s_.batch_size);
            flush();
            if (n > 1) op(kMark);
            for (size_t b = 0; b < n; ++b) {
                const size_t i = done + b;
                if (static_cast<size_t>(PyDict_GET_SIZE(dict)) != size)
                    unsupported("a dict changed while written");
                PyObject *k, *v;
                if (!PyDict_Next(dict, &pos, &k, &v)) unsupported("a dict changed while written");
                KeptItems::Item *was = match(k);
                const bool at_place = was != nullptr && static_cast<size_t>(was - old.items.data()) == i;
                const bool value_kept = was != nullptr && was->value_size > 0 && was->value.ptr() == v;
                if (!value_kept && !building) start_building(i);
                if (at_place && same_places == i) same_places = i + 1;
                if (in_run && (i >= run_limit || !at_place)) end_run();
                if (!in_run && i % kTouchAhead == 0) {
                    // The memo slots of the keys expected next (see touch_memo).
                    uintptr_t sink = 0;
                    const size_t end = std::min(old.items.size(), j + kTouchAhead);
                    for (size_t at = j; at < end; ++at) sink ^= touch(old.items[at].key.ptr());
                    asm volatile("" : : "r"(sink));
                }
                KeptItems::Item item;
                item.at = static_cast<uint32_t>(building ? next.bytes.size() : 0);

                // The key.
                save_point();
                uint32_t index;
                if (in_run) {
                    // A kept key at its place: memoised through the index.
                    put_kept(was->at, was->key_size);
                    deferred_count_ = i + 1;
                } else if (was != nullptr && was->key_size > 0 && !memo_lookup(k, &index)) {
                    flush();
                    frame_.append(old.bytes, was->at, was->key_size);
                    memo_.insert(k, next_index_++);
                    alive_.emplace_back();  // held by the kept item
                } else {
                    flush();
                    nb::object held = nb::borrow(k);
                    const size_t from = frame_.size(), externals = externals_.size();
                    const uint64_t flushes = flushes_;
                    const uint32_t first = next_index_;
                    save(held);
                    const size_t written = frame_.size() - from;
                    if (building) {
                        item.key = std::move(held);
                        if (PyUnicode_CheckExact(k) && flushes_ == flushes &&
                            externals_.size() == externals && next_index_ == first + 1 &&
                            written <= 0xffff) {
                            next.bytes.append(frame_, from, written);
                            item.key_size = static_cast<uint16_t>(written);
                        }
                    }
                }
                if (building && was != nullptr && !item.key.is_valid()) {
                    next.bytes.append(old.bytes, was->at, was->key_size);
                    item.key = std::move(was->key);
                    item.key_size = was->key_size;
                }

                // The value: an int is not memoised, its pickle is its own.
                save_point();
                if (value_kept) {
                    const size_t at = was->at + was->key_size;
                    put_kept(at, was->value_size);
                    if (building) {
                        next.bytes.append(old.bytes, at, was->value_size);
                        item.value = std::move(was->value);
                        item.value_size = was->value_size;
                    }
                } else {
                    if (in_run && !PyLong_CheckExact(v)) end_run();  // it may be memoised
                    flush();
                    nb::object held = nb::borrow(v);
                    const size_t from = frame_.size();
                    const uint64_t flushes = flushes_;
                    save(held);
                    const size_t written = frame_.size() - from;
                    if (PyLong_CheckExact(v) && flushes_ == flushes && written <= 0xff) {
                        next.bytes.append(frame_, from, written);
                        item.value_size = static_cast<uint8_t>(written);
                    }
                    item.value = std::move(held);
                }
                if (building) next.items.push_back(std::move(item));
            }
            flush();
            if (n > 0) op(n > 1 ? kSetitems : kSetitem);
            done += n;
            if (n < s_.batch_size) break;
        }
        end_run();
        if (!building && j == old.items.size()) return;  // the same items: kept as they are
        if (!building) start_building(size);
    } catch (...) {
        deferred_count_ = 0;
        old.clear();  // partly taken: nothing is kept for the next dump
        throw;
    }
    // The index: places below `same_places` hold the same keys as before;
    // the rest is entered again.
    next.index = std::move(old.index);
    for (size_t m = same_places; m < old.indexed; ++m)
        if (old.items[m].key.is_valid()) next.index.erase(old.items[m].key.ptr());  // not taken
    next.indexed = 0;
    while (next.indexed < next.items.size() && next.items[next.indexed].key_size > 0)
        ++next.indexed;
    for (size_t m = same_places; m < next.items.size(); ++m) {
        PyObject *key = next.items[m].key.ptr();
        if (m < next.indexed)
            next.index.set(key, static_cast<uint32_t>(m));
        else
            next.index.erase(key);
    }
    // The filter: keys only added keep it, anything else builds it again
    // (it cannot forget a key).
    next.filter = std::move(old.filter);
    if (same_places < old.indexed || next.filter.size() * 64 < next.indexed * 5) {
        next.rebuild_filter(next.items.size());
    } else {
        for (size_t m = same_places; m < next.indexed; ++m) next.filter_add(next.items[m].key.ptr());
    }
    old = std::move(next);
}

void StreamPickler::batch_appends(nb::handle items) {
    const bool list = PyList_CheckExact(items.ptr());
    nb::object it;
    if (!list) it = nb::steal(pyface::check(PyObject_GetIter(items.ptr())));
    Py_ssize_t pos = 0;
    std::vector<nb::object> batch;
    while (true) {
        batch.clear();
        while (batch.size() < s_.batch_size) {
            if (list) {
                const Py_ssize_t length = PyList_GET_SIZE(items.ptr());
                if (pos >= length) break;
                if (pos + 8 < length) __builtin_prefetch(PyList_GET_ITEM(items.ptr(), pos + 8), 1);
                batch.push_back(nb::borrow(PyList_GET_ITEM(items.ptr(), pos++)));
            } else {
                PyObject *next = PyIter_Next(it.ptr());
                if (next == nullptr) {
                    if (PyErr_Occurred()) throw nb::python_error();
                    break;
                }
                batch.push_back(nb::steal(next));
            }
        }
        const size_t n = batch.size();
        if (n > 1) op(kMark);
        for (size_t i = 0; i < n; ++i) {
            if (i % kTouchAhead == 0) touch_memo(batch, i, std::min(n, i + kTouchAhead));
            save(batch[i]);
        }
        if (n > 0) op(n > 1 ? kAppends : kAppend);
        if (n < s_.batch_size) break;
    }
}

void StreamPickler::save_global(nb::handle obj, nb::handle given_name) {
    nb::object name = nb::borrow(given_name);
    if (name.is_none()) name = nb::getattr(obj, "__qualname__", nb::none());
    if (name.is_none()) name = nb::getattr(obj, "__name__", nb::none());
    if (!PyUnicode_Check(name.ptr())) unsupported("a global without a name");
    nb::object module_name = s_.whichmodule(obj, name);
    // The pickler refuses a global that its module does not give back.
    try {
        nb::module_::import_(nb::cast<std::string>(module_name).c_str());
        nb::object found = nb::module_::import_("sys").attr("modules")[module_name];
        for (nb::handle part : name.attr("split")("."))
            found = found.attr(part);
        if (!found.is(obj)) unsupported("a global that is not found by its name");
    } catch (nb::python_error &e) {
        if (pyface::is_stop_request(e)) throw;
        unsupported("a global that cannot be imported");
    }
    nb::object key = nb::make_tuple(module_name, name);
    PyObject *code = PyDict_GetItemWithError(s_.extension_registry.ptr(), key.ptr());
    if (code == nullptr && PyErr_Occurred()) throw nb::python_error();
    if (code != nullptr) unsupported("a global with an extension code");
    save(module_name);
    save(name);
    op(kStackGlobal);
    memoize(obj.ptr());
}

void StreamPickler::save_reduce(nb::handle obj, nb::handle rv) {
    const Py_ssize_t size = PyTuple_GET_SIZE(rv.ptr());
    auto part = [&](Py_ssize_t i) {
        return i < size ? nb::borrow(PyTuple_GET_ITEM(rv.ptr(), i)) : nb::none();
    };
    nb::object func = part(0), args = part(1), state = part(2), listitems = part(3),
               dictitems = part(4), state_setter = part(5);
    if (!PyTuple_Check(args.ptr()) || !PyCallable_Check(func.ptr()))
        unsupported("a reduce value the pickler refuses");
    nb::object func_name = nb::getattr(func, "__name__", nb::str(""));
    nb::object cls_of = nb::getattr(obj, "__class__", nb::none());
    if (PyUnicode_Check(func_name.ptr()) &&
        PyUnicode_CompareWithASCIIString(func_name.ptr(), "__newobj_ex__") == 0) {
        if (PyTuple_GET_SIZE(args.ptr()) != 3) unsupported("__newobj_ex__ arguments");
        nb::handle cls = PyTuple_GET_ITEM(args.ptr(), 0);
        if (!nb::hasattr(cls, "__new__") || !cls.is(cls_of)) unsupported("__newobj_ex__ class");
        save(cls);
        save(nb::handle(PyTuple_GET_ITEM(args.ptr(), 1)));
        save(nb::handle(PyTuple_GET_ITEM(args.ptr(), 2)));
        op(kNewobjEx);
    } else if (PyUnicode_Check(func_name.ptr()) &&
               PyUnicode_CompareWithASCIIString(func_name.ptr(), "__newobj__") == 0) {
        if (PyTuple_GET_SIZE(args.ptr()) < 1) unsupported("__newobj__ arguments");
        nb::handle cls = PyTuple_GET_ITEM(args.ptr(), 0);
        if (!nb::hasattr(cls, "__new__") || !cls.is(cls_of)) unsupported("__newobj__ class");
        nb::object rest = nb::steal(
            pyface::check(PyTuple_GetSlice(args.ptr(), 1, PyTuple_GET_SIZE(args.ptr()))));
        save(cls);
        save(rest);
        op(kNewobj);
    } else {
        save(func);
        save(args);
        op(kReduce);
    }
    uint32_t index;
    if (memo_lookup(obj.ptr(), &index)) {
        op(kPop);
        get(index);
    } else {
        memoize(obj.ptr());
    }
    if (!listitems.is_none()) batch_appends(listitems);
    if (!dictitems.is_none()) batch_setitems(dictitems);
    if (!state.is_none()) {
        if (state_setter.is_none()) {
            save(state);
            op(kBuild);
        } else {
            save(state_setter);
            save(obj);
            save(state);
            op(kTuple2);
            op(kReduce);
            op(kPop);
        }
    }
}

void StreamPickler::save_array(nb::handle given) {
    nb::object array = nb::borrow(given);
    if (Py_TYPE(array.ptr()) == reinterpret_cast<PyTypeObject *>(s_.memmap.ptr()))
        array = s_.asanyarray(array);
    nb::object wrapper = s_.wrap_array(array);
    save(wrapper);
    commit_frame(true);
    if (pyface::truthy(array.attr("dtype").attr("hasobject")))
        unsupported("an array of Python objects");
    nb::object order = wrapper.attr("order");
    const bool fortran = PyUnicode_Check(order.ptr()) &&
                         PyUnicode_CompareWithASCIIString(order.ptr(), "F") == 0;
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view,
                           fortran ? PyBUF_F_CONTIGUOUS : PyBUF_C_CONTIGUOUS) != 0)
        unsupported("an array not contiguous in the order it is written");
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    nb::object alignment =
        nb::hasattr(wrapper, "safe_get_numpy_array_alignment_bytes")
            ? wrapper.attr("safe_get_numpy_array_alignment_bytes")()
            : nb::getattr(wrapper, "numpy_array_alignment_bytes", nb::none());
    if (!alignment.is_none()) {
        const auto align = nb::cast<uint64_t>(alignment);
        const uint64_t padding = align - ((out_.position() + 1) % align);
        if (padding > 0xff) unsupported("array padding");
        std::string pad(1, static_cast<char>(padding));
        pad.append(padding, '\xff');
        out_.put(pad.data(), pad.size());
    }
    out_.put(static_cast<const char *>(view.buf), static_cast<size_t>(view.len));
}

}  // namespace wrapper::model_file
