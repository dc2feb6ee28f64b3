#include "pyface/recycled_arrays.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace pyface {

namespace {

// NumPy's allocation policy, version 1 of its C layout (numpy/ndarraytypes.h:
// PyDataMemAllocator, PyDataMem_Handler), reached through NumPy's C API
// table as its own headers would reach it.
struct Allocator {
    void *ctx;
    void *(*malloc)(void *ctx, size_t size);
    void *(*calloc)(void *ctx, size_t nelem, size_t elsize);
    void *(*realloc)(void *ctx, void *ptr, size_t new_size);
    void (*free)(void *ctx, void *ptr, size_t size);
};
struct Handler {
    char name[127];
    uint8_t version;
    Allocator allocator;
};
constexpr size_t kFeatureVersionSlot = 211;  // PyArray_GetNDArrayCFeatureVersion
constexpr size_t kSetHandlerSlot = 304;      // PyDataMem_SetHandler
constexpr unsigned kPoliciesFeatureVersion = 0x0f;  // NumPy 1.22

// Blocks below this size are plain malloc: the C library recycles them.
constexpr size_t kLargeBlock = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

struct Pool {
    std::mutex mutex;
    std::unordered_map<void *, size_t> live;  // block -> capacity
    std::deque<std::pair<void *, size_t>> idle;  // oldest first
    size_t live_bytes = 0, idle_bytes = 0;
};

// Never destroyed: arrays made from it may outlive every module.
Pool &pool() {
    static Pool *p = new Pool();
    return *p;
}

// A block a little larger than asked for, so that an array growing by a
// document per training keeps fitting in the block it freed.
void *map_block(size_t size, size_t &capacity) {
    capacity = (size + size / 32 + kHugePage - 1) / kHugePage * kHugePage;
    void *p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, capacity, MADV_HUGEPAGE);  // as NumPy asks for its large arrays
#endif
    return p;
}

void *take(size_t size, bool zeroed) {
    Pool &p = pool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        // The smallest idle block that holds the size without wasting more
        // than half of itself.
        auto best = p.idle.end();
        for (auto it = p.idle.begin(); it != p.idle.end(); ++it)
            if (it->second >= size && it->second / 2 <= size &&
                (best == p.idle.end() || it->second < best->second))
                best = it;
        if (best != p.idle.end()) {
            auto [block, capacity] = *best;
            p.idle.erase(best);
            p.idle_bytes -= capacity;
            p.live.emplace(block, capacity);
            p.live_bytes += capacity;
            if (zeroed) std::memset(block, 0, size);
            return block;
        }
    }
    size_t capacity = 0;
    void *block = map_block(size, capacity);  // fresh pages read as zeros
    if (block == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(p.mutex);
    p.live.emplace(block, capacity);
    p.live_bytes += capacity;
    return block;
}

// A freed block joins the idle ones (false: not a block of the pool). Idle
// blocks beyond the bytes still live go back to the system, oldest first;
// the ones kept may be reclaimed by the kernel if memory runs short.
bool give_back(void *block) {
    Pool &p = pool();
    size_t capacity = 0;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        auto it = p.live.find(block);
        if (it == p.live.end()) return false;
        capacity = it->second;
        p.live.erase(it);
        p.live_bytes -= capacity;
    }
#ifdef MADV_FREE
    madvise(block, capacity, MADV_FREE);
#endif
    std::deque<std::pair<void *, size_t>> released;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.idle.emplace_back(block, capacity);
        p.idle_bytes += capacity;
        while (p.idle_bytes > p.live_bytes && !p.idle.empty()) {
            released.push_back(p.idle.front());
            p.idle_bytes -= p.idle.front().second;
            p.idle.pop_front();
        }
    }
    for (auto [b, size] : released) munmap(b, size);
    return true;
}

void *pool_malloc(void *, size_t size) {
    return size < kLargeBlock ? std::malloc(size) : take(size, false);
}

void *pool_calloc(void *, size_t count, size_t item) {
    if (item != 0 && count > SIZE_MAX / item) return nullptr;
    const size_t size = count * item;
    // (Zero bytes are asked for as one, so the block is a real one.)
    return size < kLargeBlock ? std::calloc(1, std::max<size_t>(size, 1)) : take(size, true);
}

void pool_free(void *, void *ptr, size_t) {
    if (ptr != nullptr && !give_back(ptr)) std::free(ptr);
}

void *pool_realloc(void *ctx, void *ptr, size_t size) {
    if (ptr == nullptr) return pool_malloc(ctx, size);
    size_t capacity = 0;
    {
        Pool &p = pool();
        std::lock_guard<std::mutex> lock(p.mutex);
        auto it = p.live.find(ptr);
        if (it != p.live.end()) capacity = it->second;
    }
    if (capacity == 0) return std::realloc(ptr, size);  // a malloc block stays one
    if (size <= capacity) return ptr;
    void *moved = take(size, false);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, ptr, capacity);
    give_back(ptr);
    return moved;
}

Handler g_handler = {"wrapper_recycling_allocator", 1,
                     {nullptr, pool_malloc, pool_calloc, pool_realloc, pool_free}};

using SetHandler = PyObject *(*)(PyObject *);

struct Policy {
    SetHandler set_handler = nullptr;
    PyObject *capsule = nullptr;  // held for the process's lifetime
};

// NumPy's C API table, found as NumPy's import_array finds it; no policy
// when the installed NumPy predates allocation policies.
const Policy &policy() {
    static const Policy found = [] {
        Policy p;
        PyObject *module = PyImport_ImportModule("numpy._core._multiarray_umath");
        if (module == nullptr) {
            PyErr_Clear();
            module = PyImport_ImportModule("numpy.core._multiarray_umath");
        }
        PyObject *api = module != nullptr ? PyObject_GetAttrString(module, "_ARRAY_API") : nullptr;
        Py_XDECREF(module);
        void **table = api != nullptr && PyCapsule_CheckExact(api)
                           ? static_cast<void **>(PyCapsule_GetPointer(api, nullptr))
                           : nullptr;
        Py_XDECREF(api);
        PyErr_Clear();
        if (table == nullptr) return p;
        auto feature_version = reinterpret_cast<unsigned (*)()>(table[kFeatureVersionSlot]);
        if (feature_version() < kPoliciesFeatureVersion) return p;
        p.capsule = PyCapsule_New(&g_handler, "mem_handler", nullptr);
        if (p.capsule == nullptr) {
            PyErr_Clear();
            return p;
        }
        p.set_handler = reinterpret_cast<SetHandler>(table[kSetHandlerSlot]);
        return p;
    }();
    return found;
}

// While it lives, NumPy arrays this thread makes (in this context) take
// their memory from the pool. The policy is NumPy's per context: no other
// thread's arrays, nor this one's once the scope ends, get the pool's
// memory.
class RecycledArrays {
public:
    RecycledArrays() {
        const Policy &p = policy();
        if (p.set_handler == nullptr) return;
        previous_ = p.set_handler(p.capsule);
        if (previous_ == nullptr) throw nb::python_error();
    }
    // Called on every path out, an error perhaps in flight: it stays the
    // caller's.
    ~RecycledArrays() {
        if (previous_ == nullptr) return;
        PyObject *error_type, *error_value, *error_trace;
        PyErr_Fetch(&error_type, &error_value, &error_trace);
        PyObject *ours = policy().set_handler(previous_);
        if (ours == nullptr) PyErr_Clear();
        Py_XDECREF(ours);
        Py_DECREF(previous_);
        PyErr_Restore(error_type, error_value, error_trace);
    }
    RecycledArrays(const RecycledArrays &) = delete;
    RecycledArrays &operator=(const RecycledArrays &) = delete;

private:
    PyObject *previous_ = nullptr;  // the policy to put back
};

}  // namespace

nb::object recycled_empty(nb::handle numpy_empty, size_t n, nb::handle dtype) {
    const RecycledArrays scope;
    return numpy_empty(n, nb::arg("dtype") = dtype);
}

}  // namespace pyface
