// A native writer of joblib's uncompressed file format: the pickle stream
// that joblib's NumpyPickler (the pure-Python pickler plus array hook)
// writes, opcode for opcode and frame for frame, with NumPy arrays written
// as their raw bytes after their wrapper, as joblib does. Every object is
// handled the way the pure-Python pickler handles it (the same dispatch by
// exact type, then copyreg's table, then __reduce_ex__), so no class needs
// to be known here. What the installed versions decide (protocol, frame
// size, batch size, the array wrapper) is read from them once; whether the
// result really is what they write is checked by the caller (see
// model_file_writer.hpp), which falls back to joblib itself otherwise.
#pragma once

#include <nanobind/nanobind.h>
#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace wrapper::model_file {
namespace nb = nanobind;

// Thrown when the stream cannot be written natively (an object kind the
// native writer leaves to the library): the caller writes the file with
// joblib instead. No Python error is pending when it is thrown.
struct Unsupported {
    std::string why;
};

// A piece of a frame written from its owner's memory, which the owner
// keeps as it is until the stream is closed: it goes before the frame's
// byte at `at`.
struct External {
    size_t at;
    const char *data;
    size_t size;
    nb::object owner;
};

// Where the stream goes. `position` is the number of bytes written so far,
// which joblib's array padding depends on.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void put(const char *data, size_t n) = 0;
    // A frame's body: `frame` with the external pieces in their places.
    // Leaves both empty (`frame` may then hold another buffer, which the
    // caller fills next).
    virtual void put_frame(std::string &frame, std::vector<External> &externals);
    uint64_t position() const { return position_; }

protected:
    uint64_t position_ = 0;
};

class StringSink final : public Sink {
public:
    void put(const char *data, size_t n) override {
        bytes.append(data, n);
        position_ += n;
    }
    std::string bytes;
};

// A file opened for writing (created or truncated, mode 0666 less umask,
// as Python's open(path, "wb")), written with few system calls; large
// pieces and external ones go straight from the caller's memory to the
// file (small ones are gathered in a buffer, and all go in one writev).
class FileSink final : public Sink {
public:
    explicit FileSink(const std::string &path);
    ~FileSink() override;
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;
    void put(const char *data, size_t n) override;
    // Keeps the frame's buffer until it is written, a megabyte of frames
    // at a time (one write call per frame costs more than the copy).
    void put_frame(std::string &frame, std::vector<External> &externals) override;
    void close();  // flushes; raises OSError like Python's close would

private:
    void flush();
    void buffered(const char *data, size_t n);
    void piece(const char *data, size_t n);
    void write_all(const char *data, size_t n);
    [[noreturn]] void fail(int error) const;  // OSError on the file
    int fd_ = -1;
    std::string path_;
    std::string buffer_;  // never grown: `pending_` points into it
    std::vector<iovec> pending_;  // in order: parts of buffer_, frames, external pieces
    std::deque<std::string> frames_, spares_;  // pending frames; emptied ones
    std::vector<nb::object> owners_;
    size_t pending_size_ = 0;  // bytes pending outside buffer_
};

// What the installed pickle and joblib decide, read once.
struct Settings {
    int protocol = 0;
    size_t frame_size_target = 0, frame_size_min = 0, batch_size = 0;
    nb::object dispatch_types;  // the exact types the joblib pickler dispatches on
    nb::object copyreg_dispatch, extension_registry;
    nb::object whichmodule, encode_long;
    nb::object array_types;     // (ndarray, matrix, memmap)
    bool array_types_plain = false;  // all of them of a metaclass comparing by identity
    nb::object memmap, asanyarray;
    nb::object wrap_array;      // array -> the wrapper joblib pickles in its place
};
// Null with a reason when the installed versions are ones this writer does
// not know how to follow (the caller then always uses joblib).
const Settings *settings(std::string *why);

// The memo: object address -> memo index, open addressing (the pickler
// looks every str and container up, so this is its hottest table).
class Memo {
public:
    Memo() { slots_.assign(1024, Slot{}); }
    bool find(PyObject *key, uint32_t *index) const {
        for (size_t i = hash(key) & mask(); ; i = (i + 1) & mask()) {
            const Slot &s = slots_[i];
            if (s.key == key) {
                *index = s.index;
                return true;
            }
            if (s.key == nullptr) return false;
        }
    }
    void insert(PyObject *key, uint32_t index) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        place(key, index);
        ++used_;
        ++size_;
    }
    // Inserts `key` or gives it `index` if it is there.
    void set(PyObject *key, uint32_t index) {
        for (size_t i = hash(key) & mask(); slots_[i].key != nullptr; i = (i + 1) & mask())
            if (slots_[i].key == key) {
                slots_[i].index = index;
                return;
            }
        insert(key, index);
    }
    // The key stops being found (its slot stays taken).
    void erase(PyObject *key) {
        for (size_t i = hash(key) & mask(); slots_[i].key != nullptr; i = (i + 1) & mask())
            if (slots_[i].key == key) {
                slots_[i].key = tombstone();
                --size_;
                return;
            }
    }
    size_t size() const { return size_; }
    // Loads the slot where `key` would be found into the cache and returns
    // it, so that a loop of touches over many keys keeps many misses in
    // flight at once.
    uintptr_t touch(PyObject *key) const {
        return reinterpret_cast<uintptr_t>(slots_[hash(key) & mask()].key);
    }
    // Room for `n` keys without growing (growing rehashes every key).
    void reserve(size_t n) {
        size_t slots = slots_.size();
        while ((n + 1) * 2 > slots) slots *= 2;
        if (slots == slots_.size()) return;
        std::vector<Slot> old(slots);
        old.swap(slots_);
        for (const Slot &s : old)
            if (s.key != nullptr && s.key != tombstone()) place(s.key, s.index);
        used_ = size_;
    }

private:
    struct Slot {
        PyObject *key = nullptr;
        uint32_t index = 0;
    };
    // A removed slot: an address no Python object can have.
    static PyObject *tombstone() {
        static char removed;
        return reinterpret_cast<PyObject *>(&removed);
    }
    static size_t hash(PyObject *p) {
        uint64_t x = reinterpret_cast<uintptr_t>(p) >> 4;
        x *= 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(x ^ (x >> 29));
    }
    size_t mask() const { return slots_.size() - 1; }
    void place(PyObject *key, uint32_t index) {
        size_t i = hash(key) & mask();
        while (slots_[i].key != nullptr) i = (i + 1) & mask();
        slots_[i] = {key, index};
    }
    void grow() {
        // Twice the slots, or as many when removed keys took the room.
        std::vector<Slot> old((size_ + 1) * 4 > slots_.size() ? slots_.size() * 2 : slots_.size());
        old.swap(slots_);
        for (const Slot &s : old)
            if (s.key != nullptr && s.key != tombstone()) place(s.key, s.index);
        used_ = size_;
    }
    std::vector<Slot> slots_;
    size_t used_ = 0, size_ = 0;
};

// A bytes payload of a logged stream: where its bytes are in the stream,
// and the innermost object whose reduce was being written then (whose
// reduce value holds the bytes object).
struct LoggedPayload {
    uint64_t at = 0;
    size_t size = 0;
    nb::object owner;
};

// A part of a kept prefix that is a copy of some object's memory (a torch
// storage, saved whole): not kept, but read from that memory at every
// replay, so that the prefix stays what a new pickle would write however
// the memory was changed (through .data or a NumPy view, which no version
// counter sees).
struct LiveSpan {
    uint64_t at = 0;  // in the whole prefix: committed frames, then the open one
    size_t size = 0;
    nb::object source;
};
// The address of `source`'s memory and its size; null when it cannot be
// read (no Python error pending either way).
using LiveReadFn = const char *(*)(PyObject *source, size_t *size);

// The pickler state that a stream prefix leaves behind, so that a prefix
// that does not change (for example large models written first) can be
// written from saved bytes instead of being pickled again.
struct PrefixState {
    std::string bytes;  // the committed frames, without their live spans
    std::string frame;  // the open frame, whole
    Memo memo;
    uint32_t next_index = 0;
    std::vector<nb::object> alive;  // keeps every memoised object (and its id) alive
    std::vector<LoggedPayload> payloads;  // when logged: every bytes payload
    std::vector<LiveSpan> live;           // in order
    LiveReadFn read_live = nullptr;
    uint64_t committed = 0;               // size of the committed frames, live spans included
    // The addresses of the live spans' memory now, or false when one of
    // them is not what it was (the prefix must then be pickled again).
    bool live_data(std::vector<const char *> *data) const;
};
// Makes the logged payloads of `state` that end with a copy of some
// object's memory live spans, and drops their bytes from the committed
// frames: `find_source` gives, for the object whose reduce wrote a
// payload, the object whose memory the payload may end with (or an
// invalid object); `read` reads that memory.
using LiveSourceFn = nb::object (*)(PyObject *owner);
void make_live(PrefixState &state, LiveSourceFn find_source, LiveReadFn read);
struct LiveMemory {
    LiveSourceFn source;
    LiveReadFn read;
};

// Where a bytes object's payload lies inside a recorded pickle.
struct Span {
    size_t at = 0, size = 0;
};

// What a kept object's pickle was made from, read again before its bytes
// are written in place of a new pickle of it. A part of the pickle that
// is a copy of the object's own memory (a tensor's storage) is not kept:
// it is read from that memory at every write, so a change there needs no
// new pickle and the kept bytes stay small.
class KeptState {
public:
    virtual ~KeptState() = default;
    // Whether `obj` would still be pickled as its kept pickle with the
    // live part taken from `*live` (set here when there is one).
    virtual bool unchanged(PyObject *obj, const char **live) const = 0;
    // Asks the cache for what `unchanged` will read (a hint, read nothing).
    virtual void prefetch() const {}
    // Where the live part lies in the whole pickle, and its size (0: none).
    size_t live_at = 0, live_size = 0;
};

// Reads the state of `obj` just pickled as `bytes` (`payloads`: its bytes
// objects); null when objects in that state are not kept.
using CaptureFn = std::unique_ptr<KeptState> (*)(PyObject *obj, const std::string &bytes,
                                                 const std::vector<Span> &payloads);

// The pickles of single objects of one exact type, kept by the caller
// between dumps, for objects that are costly to reduce and are mostly
// written again unchanged (stored embedding tensors): the bytes an object's
// pickle took, replayed where they are provably the same (the object reads
// as it did, the memo entries it referred to are the same objects at the
// same indices). Objects come back in the order of the previous dump, so
// they are matched by position, by address only when the order changed.
struct SubtreeCache {
    nb::object type;             // exact type of the objects kept
    CaptureFn capture = nullptr;
    struct Entry {
        nb::object obj;
        std::unique_ptr<KeptState> state;
        std::string bytes;  // the pickle without the state's live part
        // Offsets in `bytes` where the pickler looked at the frame's size
        // (the start of every object saved inside): a replay ends a frame
        // there when the pickler would have.
        std::vector<uint32_t> checks;
        std::vector<std::pair<nb::object, uint32_t>> outside;  // memo entries referred to
        std::vector<nb::object> memoised;                      // memoised inside, in order
    };

    // One dump: begin; for each object of `type` met, find its entry, then
    // keep_found (its bytes were written again) or keep (a new pickle);
    // finish drops what the dump did not write. A dump that ends otherwise
    // (an error) leaves nothing kept for the next.
    void begin();
    Entry *find(PyObject *obj);
    // Asks the cache for the entries expected a few objects after the one
    // found last (objects are met in the kept order).
    void prefetch_ahead() const;
    void keep_found();
    void keep(Entry &&entry);
    void finish();
    size_t size() const { return entries_.size(); }

private:
    std::vector<Entry> entries_;  // in the order the last dump wrote them
    std::vector<Entry> next_;
    size_t cursor_ = 0;   // where the next object is expected in `entries_`
    size_t found_ = 0;    // the entry find returned last
    size_t taken_ = 0;    // entries of `entries_` found in this dump
    bool open_ = false;
    bool indexed_ = false;
    Memo index_;          // address -> position in `entries_`, built on the first miss
};

// The items of one large dict of str keys and int values (a fitted
// vocabulary: 10^5 items, written again after every training, nearly all
// of them the same objects as last time), kept by the caller between
// dumps. An item whose key and value are the very objects kept at its
// place is written from the kept bytes without reading either object
// (both are immutable, and the kept references keep their addresses
// theirs). Other items are pickled as usual and kept for the next dump.
//
// The memo: the leading items' keys were each a new memo entry, at
// consecutive indices, so while the dict holds the same keys at the same
// places they are looked up in `index` (key -> place, kept between dumps)
// instead of being entered in the memo one by one.
struct KeptItems {
    struct Item {
        nb::object key, value;
        uint32_t at = 0;        // in `bytes`: the key's pickle, then the value's
        uint16_t key_size = 0;  // 0: not kept (a memo reference, or too long)
        uint8_t value_size = 0;
    };
    std::vector<Item> items;  // in the order of the last dict written
    std::string bytes;
    Memo index;          // key -> place, for every place below `indexed`
    size_t indexed = 0;  // the leading items whose keys are kept
    // A filter of the index's keys (two bits per key in one cache line of
    // `filter`, about ten bits per key): most objects pickled after the
    // dict are not among them, and the filter, unlike the index, stays in
    // the cache.
    std::vector<uint64_t> filter;
    bool may_hold(PyObject *key) const {
        if (filter.empty()) return false;
        const uint64_t h = filter_hash(key);
        const uint64_t *line = &filter[line_of(h)];
        return ((line[(h >> 6) & 7] >> (h & 63)) & 1) != 0 &&
               ((line[(h >> 15) & 7] >> ((h >> 9) & 63)) & 1) != 0;
    }
    const void *filter_line(PyObject *key) const {
        return filter.empty() ? nullptr : &filter[line_of(filter_hash(key))];
    }
    void filter_add(PyObject *key) {
        const uint64_t h = filter_hash(key);
        uint64_t *line = &filter[line_of(h)];
        line[(h >> 6) & 7] |= uint64_t{1} << (h & 63);
        line[(h >> 15) & 7] |= uint64_t{1} << ((h >> 9) & 63);
    }
    // Sized for `n` keys, the index's keys of places below `indexed` in it.
    void rebuild_filter(size_t n) {
        size_t words = 64;
        while (words * 64 < n * 10) words *= 2;
        filter.assign(words, 0);
        for (size_t m = 0; m < indexed; ++m) filter_add(items[m].key.ptr());
    }
    void clear() {
        items.clear();
        bytes.clear();
        index = Memo();
        indexed = 0;
        filter.clear();
    }

private:
    static uint64_t filter_hash(PyObject *key) {
        uint64_t x = reinterpret_cast<uintptr_t>(key) >> 4;
        x *= 0xD6E8FEB86659FD93ULL;
        return x ^ (x >> 32);
    }
    // The first word of the line (eight words) that hash `h` falls in.
    size_t line_of(uint64_t h) const { return ((h >> 32) & (filter.size() / 8 - 1)) * 8; }
};

class StreamPickler {
public:
    StreamPickler(const Settings &s, Sink &out);

    // The whole stream of `obj`: protocol header, frames, STOP.
    void dump(nb::handle obj);

    // The same stream of a dict (2 to batch-size items) written item by
    // item, so that the stream after its first items can be snapshotted:
    // begin_dict writes the header and the dict's opening, save_item one
    // item, end_dict the closing and STOP.
    void begin_dict(nb::handle dict);
    void save_item(nb::handle key, nb::handle value);
    void end_dict();
    // Snapshot and replay of everything written so far (only on a
    // StringSink for the snapshot).
    PrefixState snapshot(StringSink &&sink) const;
    // `top` is the dict being written, which takes the place of the one
    // the prefix was written for (`old_top`); `live` from state.live_data.
    void replay(const PrefixState &state, const std::vector<const char *> &live,
                PyObject *old_top, nb::handle top);
    // Logs every bytes payload from here on, for snapshot().
    void log_payloads() { logging_ = true; }

    void use_subtree_cache(SubtreeCache *cache) { subtree_ = cache; }
    // Texts of at least kExternalMin bytes are handed to the sink to be
    // written from their own memory rather than copied into the frame
    // (for a plain dump: no recording, logging or snapshot).
    void allow_external() { external_allowed_ = true; }
    static constexpr size_t kExternalMin = 1024;
    // The first dict of at least kMinKeptItems items whose first item is a
    // str and an int is written through `kept` (KeptItems above).
    void use_kept_items(KeptItems *kept) { kept_ = kept; }
    static constexpr size_t kMinKeptItems = 16;

private:
    void save(nb::handle obj);
    bool save_plain(PyObject *obj, PyTypeObject *type);
    void save_str(PyObject *obj);
    void save_bytes(PyObject *obj);
    void save_long(PyObject *obj);
    void save_set(PyObject *obj);
    void save_frozenset(PyObject *obj);
    void save_bytearray(PyObject *obj);
    void save_tuple(PyObject *obj);
    void save_list(PyObject *obj);
    void save_dict(PyObject *obj);
    void save_global(nb::handle obj, nb::handle name);
    void save_reduce(nb::handle obj, nb::handle rv);
    void save_reduce_of(PyObject *obj);  // copyreg's table, a class, __reduce_ex__
    bool is_array_type(PyTypeObject *type) const;
    void save_array(nb::handle array);
    void batch_setitems(nb::handle items);
    bool kept_items_apply(PyObject *dict) const;
    void batch_setitems_kept(PyObject *dict);
    void batch_appends(nb::handle items);
    uintptr_t touch(PyObject *obj) const;  // loads where obj's memo lookup looks
    void touch_memo(const std::vector<nb::object> &batch, size_t from, size_t to) const;
    void touch_memo(const std::vector<std::pair<nb::object, nb::object>> &batch, size_t from,
                    size_t to) const;

    void write(const char *data, size_t n) { frame_.append(data, n); }
    // The open frame's size, external pieces included.
    size_t framed() const { return frame_.size() + external_bytes_; }
    void op(char c) { frame_.push_back(c); }
    void write_large(const std::string &header, const char *data, size_t n);
    void commit_frame(bool force);
    void memoize(PyObject *obj);
    void get(uint32_t index);
    bool replay_subtree(PyObject *obj);
    void record_subtree(PyObject *obj);
    size_t recorded() const { return rec_bytes_.size() + frame_.size() - rec_from_; }
    bool memo_lookup(PyObject *obj, uint32_t *index) const;

    const Settings &s_;
    Sink &out_;
    bool framing_ = false;
    std::string frame_;
    // Pieces of the open frame written from their owner's memory.
    bool external_allowed_ = false;
    std::vector<External> externals_;
    size_t external_bytes_ = 0;
    Memo memo_;
    uint32_t next_index_ = 0;  // memo indices are never reused
    std::vector<nb::object> alive_;  // by memo index: keeps memoised objects (and ids) alive
    SubtreeCache *subtree_ = nullptr;
    KeptItems *kept_ = nullptr;
    bool kept_used_ = false;  // memoised objects held by kept_, not alive_
    // The kept dict's first `deferred_count_` keys are memoised at indices
    // from `deferred_base_`, found through kept_->index.
    uint32_t deferred_base_ = 0;
    size_t deferred_count_ = 0;
    uint64_t flushes_ = 0;    // frames committed so far
    // While a subtree is pickled for keeping: its bytes in frames already
    // committed, where it starts in the open frame, the frame checks and
    // bytes payloads inside it, whether a frame was ended early (a large
    // write: not kept).
    bool recording_ = false;
    uint32_t recording_from_ = 0;         // first memo index of the subtree
    std::vector<uint32_t> outside_gets_;  // gets below it while recording
    std::string rec_bytes_;
    size_t rec_from_ = 0;
    std::vector<uint32_t> rec_checks_;
    std::vector<Span> rec_payloads_;
    bool rec_forced_ = false;
    // Payload logging: the objects being reduced (innermost last), the
    // payloads of the open frame (offsets in it) and of committed frames.
    bool logging_ = false;
    std::vector<PyObject *> reducing_;
    std::vector<LoggedPayload> frame_payloads_, payloads_;
    void log_payload(size_t frame_offset, size_t n);
};

}  // namespace wrapper::model_file
