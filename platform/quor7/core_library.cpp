// core_library.cpp - start-up and shutdown of libquor7, the public-call
// frame (lock, error-stack clearing, automatic reports, fault points), the
// identifier registry, the allocator and the portability calls.
#include "internal.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <unordered_map>

namespace q7 {

namespace {

// Library state lives on the heap and is never destroyed, so that calls
// made while the process exits (from other objects' destructors) still
// find it.
struct Registry {
    struct Entry {
        Q7I_type_t kind;
        std::shared_ptr<Object> obj;
        bool predefined;
    };
    std::unordered_map<q7id_t, Entry> entries;
    q7id_t next_id = 1;
};

// The registry and the library lock are never destroyed (calls may come
// at process exit), and are made in static storage rather than on the
// heap, so that not even the first call can fail for want of memory
// before it could record why.
Registry &registry() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry *r = new (storage) Registry;
    return *r;
}

bool g_open = false;
bool g_opening = false;
int g_depth = 0;  // nesting of public calls on the thread holding the lock
const char *g_current_api = nullptr;  // innermost public call being served

// Calls whose outermost entry must not clear the default error stack: the
// error API itself, so that a caller can inspect what the last failing
// call left behind.
bool keeps_error_stack(const char *name) { return std::strncmp(name, "Q7E", 3) == 0; }

void do_open() {
    g_opening = true;
    core::open_errors();
    core::open_datatypes();
    core::open_plists();
    static bool faults_read = false;
    if (!faults_read) {
        core::arm_faults_from_env();  // arming again after a failed open is harmless
        faults_read = true;
    }
    g_open = true;
    g_opening = false;
    // No exit-time Q7close: objects of other layers that it would release
    // may already be destroyed by then.  Programs close what they open;
    // the container keeps every finished write safe without it.
}

// The records of an exception that reached a frame (ApiCall's, Q7close's).
void push_out_of_memory_record() noexcept {
    try {
        Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory");
    } catch (...) {
    }
}

void push_internal_error_record(const char *what) noexcept {
    try {
        if (what)
            Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal failure: %s", what);
        else
            Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal failure");
    } catch (...) {
    }
}

// do_open, or on failure (out of memory) an "out of memory" record and
// false, with nothing of the attempt left: the identifiers it registered
// are released and the globals reset, so that the next call opens the
// library anew.  Before the library is open no other identifier exists.
bool open_library() noexcept {
    try {
        do_open();
        return true;
    } catch (...) {
        g_opening = false;
        release_all_ids();
        core::close_errors();
        core::reset_globals();
        push_out_of_memory_record();
        return false;
    }
}

const char *kind_name(Q7I_type_t kind) {
    switch (kind) {
    case Q7I_FILE: return "file";
    case Q7I_GROUP: return "group";
    case Q7I_DATATYPE: return "datatype";
    case Q7I_DATASPACE: return "dataspace";
    case Q7I_DATASET: return "dataset";
    case Q7I_ATTR: return "attribute";
    case Q7I_GENPROP_CLS: return "property list class";
    case Q7I_GENPROP_LST: return "property list";
    case Q7I_ERROR_CLASS: return "error class";
    case Q7I_ERROR_MSG: return "error message";
    case Q7I_ERROR_STACK: return "error stack";
    default: return "object";
    }
}

q7id_t major_for_kind(Q7I_type_t kind) {
    switch (kind) {
    case Q7I_FILE: return Q7E_FILE_g;
    case Q7I_GROUP: return Q7E_SYM_g;
    case Q7I_DATATYPE: return Q7E_DATATYPE_g;
    case Q7I_DATASPACE: return Q7E_DATASPACE_g;
    case Q7I_DATASET: return Q7E_DATASET_g;
    case Q7I_ATTR: return Q7E_ATTR_g;
    case Q7I_GENPROP_CLS:
    case Q7I_GENPROP_LST: return Q7E_PLIST_g;
    case Q7I_ERROR_CLASS:
    case Q7I_ERROR_MSG:
    case Q7I_ERROR_STACK: return Q7E_ERROR_g;
    default: return Q7E_ID_g;
    }
}

} // namespace

std::recursive_mutex &library_lock() {
    alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
    static std::recursive_mutex *m = new (storage) std::recursive_mutex;
    return *m;
}

const char *current_api() { return g_current_api; }

bool library_is_open() {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    return g_open;
}

// ---------------------------------------------------------------------
// The public-call frame
// ---------------------------------------------------------------------

namespace {

// The calls a filter running as a pipeline task may make: the allocator,
// Q7Epush2 (its records wait in the task's sink), and the version calls
// and Q7open, which touch nothing shared once the library is open.
bool callable_from_task(const char *name) {
    static const char *const kCallable[] = {"Q7allocate_memory", "Q7free_memory", "Q7Epush2",
                                            "Q7open",            "Q7get_libversion", "Q7check_version"};
    for (const char *c : kCallable)
        if (std::strcmp(name, c) == 0) return true;
    return false;
}

} // namespace

ApiCall::ApiCall(const char *name) noexcept : name_(name) {
    if (in_task_mode()) {
        // The calling thread of the read or write holds the lock and the
        // call state; nothing of it is touched from here.
        task_ = true;
        started_ = callable_from_task(name);
        // Counted as on the calling thread (a fault armed makes the
        // pipeline run there, so none fires here).
        faulted_ = started_ && Q7fault_should_fail(name) != 0;
        if (!started_) {
            try {
                Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g,
                        "%s cannot be called from a filter running on a worker thread (set QUOR7_NUM_THREADS=1 to "
                        "run filters on the calling thread)",
                        name);
            } catch (...) {
            }
        }
        return;
    }
    try {
        lock_ = std::unique_lock<std::recursive_mutex>(library_lock());
    } catch (...) {
        return;  // not even the lock: the call fails without touching anything
    }
    outermost_ = (g_depth == 0);
    ++g_depth;
    outer_name_ = g_current_api;
    g_current_api = name;
    try {
        if (outermost_ && !keeps_error_stack(name)) core::clear_default_stack();
    } catch (...) {
        return;  // the default stack could not even be made
    }
    if (!g_open && !g_opening && !open_library()) return;
    started_ = true;
    faulted_ = Q7fault_should_fail(name) != 0;
    if (faulted_) {
        try {
            Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "injected fault in %s", name);
        } catch (...) {
        }
    }
}

ApiCall::~ApiCall() {
    if (task_ || !lock_.owns_lock()) return;
    // The handler runs while this call still counts as open, so that the
    // public calls it makes are nested ones and leave the stack alone.
    if (failed_ && outermost_) {
        try {
            core::run_auto_report();
        } catch (...) {
        }
    }
    g_current_api = outer_name_;
    --g_depth;
}

void ApiCall::push_out_of_memory() noexcept { push_out_of_memory_record(); }

void ApiCall::push_internal_error(const char *what) noexcept { push_internal_error_record(what); }

// ---------------------------------------------------------------------
// Identifier registry
// ---------------------------------------------------------------------

q7id_t register_id(Q7I_type_t kind, std::shared_ptr<Object> obj) {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    auto &r = registry();
    q7id_t id = r.next_id++;
    r.entries.emplace(id, Registry::Entry{kind, std::move(obj), false});
    return id;
}

std::shared_ptr<Object> find_id(q7id_t id, Q7I_type_t kind) {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    auto &r = registry();
    auto it = r.entries.find(id);
    if (it == r.entries.end() || it->second.kind != kind) return nullptr;
    return it->second.obj;
}

Q7I_type_t kind_of(q7id_t id) {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    auto &r = registry();
    auto it = r.entries.find(id);
    return it == r.entries.end() ? Q7I_BADID : it->second.kind;
}

bool release_id(q7id_t id, Q7I_type_t kind) {
    std::shared_ptr<Object> doomed;  // destroyed after the lock is left
    {
        std::lock_guard<std::recursive_mutex> g(library_lock());
        auto &r = registry();
        auto it = r.entries.find(id);
        if (it == r.entries.end() || it->second.kind != kind || it->second.predefined) return false;
        doomed = std::move(it->second.obj);
        r.entries.erase(it);
    }
    return true;
}

void mark_predefined(q7id_t id) {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    auto &r = registry();
    auto it = r.entries.find(id);
    if (it != r.entries.end()) it->second.predefined = true;
}

bool is_predefined(q7id_t id) {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    auto &r = registry();
    auto it = r.entries.find(id);
    return it != r.entries.end() && it->second.predefined;
}

void release_all_ids() {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    auto &r = registry();
    // Objects may release other identifiers while being destroyed, so the
    // table is emptied first and the objects dropped afterwards.
    std::unordered_map<q7id_t, Registry::Entry> doomed;
    doomed.swap(r.entries);
    doomed.clear();
}

void push_bad_id(q7id_t id, Q7I_type_t kind) {
    Q7_PUSH(major_for_kind(kind), Q7E_BADID_g, "invalid %s identifier %lld", kind_name(kind), (long long)id);
}

} // namespace q7

using namespace q7;

// ---------------------------------------------------------------------
// Library
// ---------------------------------------------------------------------

extern "C" q7status_t Q7open(void) {
    return q7::api_call("Q7open", q7status_t{-1}, [&](q7::ApiCall &) -> q7status_t {
        return 0;
    });
}

// Q7close has a frame of its own, for rules no other call has: it never
// opens the library, it is refused from inside a public call (a callback
// of the library), it clears no error stack and is no fault point.  The
// shutdown always completes once begun: the library ends closed even when
// a file could not commit or an exception interrupted the storage layer,
// whose records are shown before the error stacks go.
extern "C" q7status_t Q7close(void) {
    try {
        std::lock_guard<std::recursive_mutex> g(library_lock());
        if (!g_open) return 0;
        if (g_depth != 0) return -1;  // not from inside a callback of the library
        ++g_depth;
        const char *outer_name = g_current_api;
        g_current_api = "Q7close";
        bool committed = false;
        try {
            committed = storage_shutdown();
        } catch (const std::bad_alloc &) {
            push_out_of_memory_record();
        } catch (const std::exception &e) {
            push_internal_error_record(e.what());
        } catch (...) {
            push_internal_error_record(nullptr);
        }
        // The records of a failed commit would go with the error stacks:
        // show them now, as the automatic report would.
        if (!committed) Q7Eprint2(0, stderr);
        release_all_ids();
        release_kept_blocks();
        core::close_errors();
        core::reset_globals();
        g_open = false;
        g_current_api = outer_name;
        --g_depth;
        return committed ? 0 : -1;
    } catch (...) {
        return -1;  // not even the lock: nothing was touched
    }
}

extern "C" q7status_t Q7check_version(unsigned majnum, unsigned minnum, unsigned relnum) {
    return q7::api_call("Q7check_version", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (majnum == Q7_VERS_MAJOR && minnum == Q7_VERS_MINOR && relnum == Q7_VERS_RELEASE) return 0;
        std::fprintf(stderr,
                     "Warning: this program was built against Quor7 %u.%u.%u, but the library in use is "
                     "Quor7 %d.%d.%d. The program may misbehave; rebuild it against the library in use.\n",
                     majnum, minnum, relnum, Q7_VERS_MAJOR, Q7_VERS_MINOR, Q7_VERS_RELEASE);
        Q7_PUSH(Q7E_FUNC_g, Q7E_VERSION_g, "version mismatch: program built for %u.%u.%u, library is %d.%d.%d", majnum,
                minnum, relnum, Q7_VERS_MAJOR, Q7_VERS_MINOR, Q7_VERS_RELEASE);
        return api_.fail(-1);
    });
}

extern "C" q7status_t Q7get_libversion(unsigned *majnum, unsigned *minnum, unsigned *relnum) {
    return q7::api_call("Q7get_libversion", q7status_t{-1}, [&](q7::ApiCall &) -> q7status_t {
        if (majnum) *majnum = Q7_VERS_MAJOR;
        if (minnum) *minnum = Q7_VERS_MINOR;
        if (relnum) *relnum = Q7_VERS_RELEASE;
        return 0;
    });
}

// ---------------------------------------------------------------------
// Allocator
// ---------------------------------------------------------------------

namespace {

// Large blocks freed through Q7free_memory are kept for the next request
// of about their size instead of going back to malloc.  Chunk buffers of a
// megabyte or so are allocated and freed several times per chunk; malloc
// returns such blocks to the system (mmap, heap trimming) and the next one
// costs a page fault per 4 KiB, which halved the speed of reading lz4
// chunks.  Kept blocks are ordinary malloc blocks, so a caller may still
// release what Q7allocate_memory gave with free().  Its own lock: filters
// on worker threads allocate while the caller holds the library lock.
class BlockReuse {
public:
    static constexpr size_t kMinBytes = (size_t)64 << 10;
    static constexpr size_t kMaxBlocks = 16;
    static constexpr size_t kMaxBytes = (size_t)64 << 20;

    void *take(size_t n) {
        if (n < kMinBytes) return nullptr;
        std::lock_guard<std::mutex> g(m_);
        for (size_t i = 0; i < count_; ++i)
            if (sizes_[i] >= n && sizes_[i] / 2 <= n) {
                void *p = blocks_[i];
                bytes_ -= sizes_[i];
                --count_;
                blocks_[i] = blocks_[count_];
                sizes_[i] = sizes_[count_];
                return p;
            }
        return nullptr;
    }
    bool keep(void *p) {
        size_t n = malloc_usable_size(p);
        if (n < kMinBytes || n > kMaxBytes / 4) return false;
        std::lock_guard<std::mutex> g(m_);
        if (count_ == kMaxBlocks || bytes_ + n > kMaxBytes) return false;
        blocks_[count_] = p;
        sizes_[count_++] = n;
        bytes_ += n;
        return true;
    }
    void release_all() {
        std::lock_guard<std::mutex> g(m_);
        for (size_t i = 0; i < count_; ++i) std::free(blocks_[i]);
        count_ = bytes_ = 0;
    }

private:
    std::mutex m_;
    void *blocks_[kMaxBlocks] = {};
    size_t sizes_[kMaxBlocks] = {};
    size_t count_ = 0, bytes_ = 0;
};

// Never destroyed: blocks may be freed at process exit.
BlockReuse &block_reuse() {
    alignas(BlockReuse) static unsigned char storage[sizeof(BlockReuse)];
    static BlockReuse *r = new (storage) BlockReuse;
    return *r;
}

} // namespace

void q7::release_kept_blocks() { block_reuse().release_all(); }

extern "C" void *Q7allocate_memory(size_t size, int clear) {
    return q7::api_call("Q7allocate_memory", static_cast<void *>(nullptr), [&](q7::ApiCall &api_) -> void * {
        // A request for 0 bytes still yields a block that Q7free_memory and
        // free() accept, as malloc does.
        size_t n = size ? size : 1;
        // No object can be larger than PTRDIFF_MAX bytes; such a request is a
        // size computed wrongly, refused here rather than handed to malloc
        // (which some allocators treat as a fatal error).
        void *p = n > (size_t)PTRDIFF_MAX ? nullptr : block_reuse().take(n);
        if (p && clear) std::memset(p, 0, n);
        if (!p) p = n > (size_t)PTRDIFF_MAX ? nullptr : clear ? std::calloc(1, n) : std::malloc(n);
        if (!p) {
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "cannot allocate %zu bytes", size);
            return api_.fail(nullptr);
        }
        return p;
    });
}

extern "C" q7status_t Q7free_memory(void *mem) {
    return q7::api_call("Q7free_memory", q7status_t{-1}, [&](q7::ApiCall &) -> q7status_t {
        if (mem && !block_reuse().keep(mem)) std::free(mem);
        return 0;
    });
}

// ---------------------------------------------------------------------
// Identifiers
// ---------------------------------------------------------------------

extern "C" Q7I_type_t Q7Iget_type(q7id_t id) {
    return q7::api_call("Q7Iget_type", Q7I_type_t{Q7I_BADID}, [&](q7::ApiCall &api_) -> Q7I_type_t {
        Q7I_type_t k = kind_of(id);
        if (k == Q7I_BADID) {
            Q7_PUSH(Q7E_ID_g, Q7E_BADID_g, "invalid identifier %lld", (long long)id);
            return api_.fail(Q7I_BADID);
        }
        return k;
    });
}

extern "C" q7tri_t Q7Iis_valid(q7id_t id) {
    return q7::api_call("Q7Iis_valid", q7tri_t{-1}, [&](q7::ApiCall &) -> q7tri_t {
        return kind_of(id) == Q7I_BADID ? 0 : 1;
    });
}

// ---------------------------------------------------------------------
// Portability
// ---------------------------------------------------------------------

namespace {
uint64_t g_rand_state = 0x853c49e6748fea9bULL;
}

extern "C" int QRfprintf(FILE *stream, const char *format, ...) {
    if (!stream || !format) return -1;
    va_list ap;
    va_start(ap, format);
    int n = std::vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}

// The generator has no error channel; only taking the lock can throw.
extern "C" int QRrand(void) {
    return q7::no_throw(0, [] {
        std::lock_guard<std::recursive_mutex> g(library_lock());
        // 64-bit linear congruential generator; the high bits are the good ones.
        g_rand_state = g_rand_state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (int)((g_rand_state >> 33) & 0x7fffffffULL);
    });
}

extern "C" void QRsrand(unsigned seed) {
    q7::no_throw(false, [&] {
        std::lock_guard<std::recursive_mutex> g(library_lock());
        g_rand_state = (uint64_t)seed * 0x9E3779B97F4A7C15ULL + 0x853c49e6748fea9bULL;
        return true;
    });
}

namespace q7::core {

// After Q7close every predefined identifier is gone; the globals say so
// until the next Q7open hands out new ones.
void reset_globals() {
    q7id_t *const slots[] = {
        &Q7E_ERR_CLS_g, &Q7E_ARGS_g, &Q7E_RESOURCE_g, &Q7E_FILE_g, &Q7E_IO_g, &Q7E_DATASET_g, &Q7E_DATATYPE_g,
        &Q7E_DATASPACE_g, &Q7E_PLIST_g, &Q7E_LINK_g, &Q7E_SYM_g, &Q7E_ATTR_g, &Q7E_PLINE_g, &Q7E_PLUGIN_g,
        &Q7E_ERROR_g, &Q7E_ID_g, &Q7E_SLIST_g, &Q7E_FUNC_g, &Q7E_BADVALUE_g, &Q7E_BADTYPE_g, &Q7E_BADRANGE_g,
        &Q7E_BADID_g, &Q7E_NOSPACE_g, &Q7E_CANTOPENFILE_g, &Q7E_CANTCREATE_g, &Q7E_CANTCLOSEFILE_g,
        &Q7E_NOTQUOR7_g, &Q7E_EXISTS_g, &Q7E_NOTFOUND_g, &Q7E_READERROR_g, &Q7E_WRITEERROR_g,
        &Q7E_CANTCONVERT_g, &Q7E_UNSUPPORTED_g, &Q7E_CANTINIT_g, &Q7E_CANTLOAD_g, &Q7E_CALLBACK_g,
        &Q7E_CANTFILTER_g, &Q7E_NOFILTER_g, &Q7E_VERSION_g, &Q7E_CANTINSERT_g,
        &Q7T_NATIVE_SCHAR_g, &Q7T_NATIVE_UCHAR_g, &Q7T_NATIVE_SHORT_g, &Q7T_NATIVE_USHORT_g, &Q7T_NATIVE_INT_g,
        &Q7T_NATIVE_UINT_g, &Q7T_NATIVE_LONG_g, &Q7T_NATIVE_ULONG_g, &Q7T_NATIVE_LLONG_g, &Q7T_NATIVE_ULLONG_g,
        &Q7T_NATIVE_FLOAT_g, &Q7T_NATIVE_DOUBLE_g, &Q7T_NATIVE_INT8_g, &Q7T_NATIVE_UINT8_g, &Q7T_NATIVE_INT16_g,
        &Q7T_NATIVE_UINT16_g, &Q7T_NATIVE_INT32_g, &Q7T_NATIVE_UINT32_g, &Q7T_NATIVE_INT64_g,
        &Q7T_NATIVE_UINT64_g, &Q7T_NATIVE_B8_g, &Q7T_NATIVE_B16_g, &Q7T_NATIVE_B32_g, &Q7T_NATIVE_B64_g,
        &Q7T_STD_I8LE_g, &Q7T_STD_I16LE_g, &Q7T_STD_I32LE_g, &Q7T_STD_I64LE_g, &Q7T_STD_I8BE_g,
        &Q7T_STD_I16BE_g, &Q7T_STD_I32BE_g, &Q7T_STD_I64BE_g, &Q7T_STD_U8LE_g, &Q7T_STD_U16LE_g,
        &Q7T_STD_U32LE_g, &Q7T_STD_U64LE_g, &Q7T_STD_U8BE_g, &Q7T_STD_U16BE_g, &Q7T_STD_U32BE_g,
        &Q7T_STD_U64BE_g, &Q7T_STD_B8LE_g, &Q7T_STD_B16LE_g, &Q7T_STD_B32LE_g, &Q7T_STD_B64LE_g,
        &Q7T_STD_B8BE_g, &Q7T_STD_B16BE_g, &Q7T_STD_B32BE_g, &Q7T_STD_B64BE_g, &Q7T_IEEE_F32LE_g,
        &Q7T_IEEE_F64LE_g, &Q7T_IEEE_F32BE_g, &Q7T_IEEE_F64BE_g, &Q7T_C_S1_g,
        &Q7P_CLS_FILE_CREATE_ID_g, &Q7P_CLS_FILE_ACCESS_ID_g, &Q7P_CLS_DATASET_CREATE_ID_g,
        &Q7P_CLS_DATASET_ACCESS_ID_g, &Q7P_CLS_DATASET_XFER_ID_g, &Q7P_CLS_GROUP_CREATE_ID_g,
        &Q7P_CLS_LINK_CREATE_ID_g, &Q7P_CLS_LINK_ACCESS_ID_g,
    };
    for (q7id_t *s : slots) *s = -1;
}

} // namespace q7::core
