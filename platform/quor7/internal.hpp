// internal.hpp - what the parts of libquor7 share inside the library.
//
// The library has two layers:
//   core    (identifiers, error stacks, datatypes, dataspaces and
//            selections, property lists, skip lists, allocator, fault
//            injection, portability) - files core_*.cpp, in-memory only;
//   storage (the SQLite container, files, groups, links, objects,
//            attributes, datasets, the filter pipeline, built-in filters
//            and the plug-in loader) - files storage_*.cpp.
// Storage builds on core through this header only.
#pragma once

#include "quor7.h"
#include "quor7_fault.h"

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace q7 {

// ---------------------------------------------------------------------
// Identifiers
// ---------------------------------------------------------------------

// Everything an identifier can stand for derives from Object.
struct Object {
    virtual ~Object() = default;
};

// Registers obj under a new positive identifier of the given kind.
// Identifiers are never reused within a process.
q7id_t register_id(Q7I_type_t kind, std::shared_ptr<Object> obj);
// The object behind id if id is open and of that kind; null otherwise
// (pushes nothing).
std::shared_ptr<Object> find_id(q7id_t id, Q7I_type_t kind);
// Kind of an open identifier, Q7I_BADID otherwise.
Q7I_type_t kind_of(q7id_t id);
// Closes id if it is open and of that kind (predefined identifiers are
// never released); false otherwise.  Pushes nothing.
bool release_id(q7id_t id, Q7I_type_t kind);
// Marks id as predefined: release_id refuses it, Q7close keeps nothing of it.
void mark_predefined(q7id_t id);
bool is_predefined(q7id_t id);
// Releases every open identifier (Q7close).
void release_all_ids();

// find_id + a cast; pushes "invalid <kind> identifier <id>" when absent.
template <class T>
std::shared_ptr<T> get(q7id_t id, Q7I_type_t kind);

// ---------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------

// Pushes one record of the library's own class on the default stack.
// file is the module name (basename, no directory), func the public
// function being served.
void push(const char *file, const char *func, unsigned line, q7id_t maj, q7id_t min, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

// Basename of __FILE__ at compile time.
constexpr const char *module_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/') base = p + 1;
    return base;
}

#define Q7_PUSH(maj, min, ...) ::q7::push(::q7::module_name(__FILE__), __func__, __LINE__, maj, min, __VA_ARGS__)

// The state of one public call, set up and torn down by api_call below:
//  - the library is opened (Q7open) if it is not yet;
//  - one global recursive lock is held for the whole call;
//  - at the outermost public call the default error stack is cleared on
//    entry, and when the call is marked failed the automatic error report
//    of the default stack runs on the way out;
//  - the call is counted by the fault injector; faulted() tells whether
//    an injected fault is armed for this call (it also pushes a record
//    "injected fault in <Name>").
// Neither the constructor nor the destructor throws: a call that could not
// even start (the library failed to open for want of memory) is reported
// by started() and fails at once.
class ApiCall {
public:
    explicit ApiCall(const char *name) noexcept;
    ~ApiCall();
    ApiCall(const ApiCall &) = delete;
    ApiCall &operator=(const ApiCall &) = delete;

    bool started() const { return started_; }
    bool faulted() const { return faulted_; }
    // Marks the call failed and returns value, for `return api_.fail(-1);`
    template <class R>
    R fail(R value) {
        failed_ = true;
        return value;
    }
    bool failed() const { return failed_; }
    const char *name() const { return name_; }

    // The records of an exception that reached the frame.  Neither throws:
    // when not even the record can be made, the call still fails.
    void push_out_of_memory() noexcept;
    void push_internal_error(const char *what) noexcept;

private:
    const char *name_;
    const char *outer_name_ = nullptr;  // name of the enclosing call, if any
    bool outermost_ = false;
    bool started_ = false;
    bool faulted_ = false;
    bool failed_ = false;
    bool task_ = false;  // made from a pipeline task (TaskMode)
    std::unique_lock<std::recursive_mutex> lock_;
};

// The frame of every public call of the library.  A public function is
//
//     q7status_t Q7Xdo(q7id_t id) {
//         return q7::api_call("Q7Xdo", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
//             ...                        // failures: return api_.fail(-1);
//         });
//     }
//
// and nothing else: a public function whose body does not start so stands
// out in review.  The frame sets up the call (ApiCall), fails it at once
// with failval when an injected fault is armed for it, and catches every
// exception of the body: std::bad_alloc becomes an "out of memory" record,
// anything else an internal-error record, and the call returns failval.
// The body's own scopes (transactions, savepoints) unwind first, so a call
// that fails by an exception undoes exactly its own changes.  Nothing the
// body throws ever reaches a C caller.
template <class R, class Body>
R api_call(const char *name, R failval, Body &&body) noexcept {
    ApiCall api_(name);
    if (!api_.started() || api_.faulted()) return api_.fail(failval);
    try {
        return body(api_);
    } catch (const std::bad_alloc &) {
        api_.push_out_of_memory();
    } catch (const std::exception &e) {
        api_.push_internal_error(e.what());
    } catch (...) {
        api_.push_internal_error(nullptr);
    }
    return api_.fail(failval);
}

// Runs fn for a C caller of ours that must not see an exception (a SQLite
// VFS method, a callback handed to another library): an exception becomes
// onfail.  Records are left to the public call that is being served.
template <class R, class Fn>
R no_throw(R onfail, Fn &&fn) noexcept {
    try {
        return fn();
    } catch (...) {
        return onfail;
    }
}

// ---- records of work done for a call on other threads -----------------
//
// A multi-chunk read or write runs its filters as tasks on worker threads
// while the calling thread holds the library lock and does the file I/O
// (storage_workers.hpp).  What a task pushes (Q7_PUSH, and Q7Epush2 onto
// the default stack from a plug-in) goes to the task's RecordSink instead
// of an error stack, touching neither the stacks nor the identifier
// registry; the caller replays the records of the first task, in chunk
// order, that failed, so the caller's stack reads as if every filter had
// run on the calling thread.
struct PendingRecord {
    q7id_t stack = 0;      // stack named by Q7Epush2 (library records: 0)
    q7id_t cls = 0, maj = 0, min = 0;
    unsigned line = 0;
    std::string func, file, desc;
    bool client = false;   // made by Q7Epush2: its identifiers are checked at replay
    bool has_msg = true;   // Q7Epush2 was given a message
};
struct RecordSink {
    const char *api = nullptr;  // the public call served, named by the records
    std::vector<PendingRecord> records;
};
// Sends the records made on this thread to `sink` while it lives.
class CaptureRecords {
public:
    explicit CaptureRecords(RecordSink &sink) noexcept;
    ~CaptureRecords();
    CaptureRecords(const CaptureRecords &) = delete;
    CaptureRecords &operator=(const CaptureRecords &) = delete;

private:
    RecordSink *prev_;
};
// This thread's sink, or null.
RecordSink *record_sink();
// Pushes the records onto their stacks, in order (caller thread, lock held).
void replay_records(const RecordSink &sink);

// While a TaskMode lives, this thread runs a filter for a pipeline task.
// Public calls made from it take no lock and leave the caller's call
// state alone; only the allocator (Q7allocate_memory, Q7free_memory),
// Q7Epush2, Q7open and the version calls are served, any other call fails
// with a record saying why.
class TaskMode {
public:
    TaskMode() noexcept;
    ~TaskMode();
    TaskMode(const TaskMode &) = delete;
    TaskMode &operator=(const TaskMode &) = delete;

private:
    bool prev_;
};
bool in_task_mode();

// True when a fault is armed for some operation (core_fault.cpp): the
// pipeline then runs on the calling thread only, so that the nth call of
// an operation is the same call for every thread count.
bool any_fault_armed();

// Frees the large blocks the allocator keeps for reuse (Q7close).
void release_kept_blocks();

// True while the library is open (between Q7open and Q7close).
bool library_is_open();
// Name of the innermost public call being served, null outside any.
// Records pushed with Q7_PUSH name this function, wherever the check
// stands, so a report shows what the caller called.
const char *current_api();

// Lock shared by all public calls (taken by ApiCall).
std::recursive_mutex &library_lock();

// ---------------------------------------------------------------------
// Datatypes
// ---------------------------------------------------------------------

struct Datatype;

struct Member {
    std::string name;
    size_t offset = 0;
    std::shared_ptr<const Datatype> type;
};

struct Datatype : Object {
    int32_t cls = Q7T_NO_CLASS;     // Q7T_class_t
    size_t size = 0;                // bytes per element
    int32_t sign = Q7T_SGN_NONE;    // integers: 0 unsigned, 1 two's complement
    int32_t order = Q7T_ORDER_NONE; // integer, float, bit-field: LE or BE
    bool predefined = false;        // predefined types cannot be changed
    std::vector<Member> members;    // compound members, in insertion order

    // Stable byte form kept in files; decode returns null on bad bytes.
    std::string encode() const;
    static std::shared_ptr<Datatype> decode(const void *bytes, size_t len);
    bool equal(const Datatype &other) const;
};

// How elements of src become elements of dst.
enum class Conversion {
    Copy,    // identical layout: bytes are copied
    Swap,    // same class and size, other byte order: bytes are reversed
    Refused  // anything else; callers push an error naming both types
};
Conversion conversion_between(const Datatype &src, const Datatype &dst);
// Reverses the bytes of each of nelem elements of elem_size bytes in place.
void swap_bytes(void *buf, size_t nelem, size_t elem_size);
// Human-readable description, e.g. "32-bit little-endian signed integer".
std::string describe(const Datatype &t);
// A changeable deep copy (predefined cleared).
std::shared_ptr<Datatype> copy_type(const Datatype &t);

// ---------------------------------------------------------------------
// Dataspaces and selections
// ---------------------------------------------------------------------

struct Hyperslab {
    std::vector<q7size_t> start, stride, count, block;
};

// Part of a selection: `length` consecutive elements in row-major order,
// from linear element index `start` of the extent.
struct Run {
    q7size_t start;
    q7size_t length;
};

struct Dataspace : Object {
    enum class Selection { All, None, Slabs };

    int rank = 0;
    std::vector<q7size_t> dims, maxdims;
    Selection sel = Selection::All;
    std::vector<Hyperslab> slabs;   // united when more than one

    q7size_t extent_points() const; // product of dims
    q7size_t selected_points() const;
    // The selected elements as ascending, disjoint, merged runs.
    std::vector<Run> runs() const;
};

// ---------------------------------------------------------------------
// Property lists
// ---------------------------------------------------------------------

struct FilterEntry {
    q7filter_t id = 0;
    unsigned flags = 0;             // Q7Z_FLAG_OPTIONAL or mandatory
    std::vector<unsigned> cd_values;
    std::string name;               // known name when stored, may be empty
};

// Bytes of decoded chunks an open dataset keeps by default, so that
// reading a chunk piece by piece (row by row, column by column) decodes it
// once.  32 MiB holds a whole row or column of chunks of datasets of a few
// hundred MiB in chunks of about 1 MiB; see docs/performance.md.
constexpr size_t kDefaultChunkCacheBytes = (size_t)32 << 20;

struct Plist : Object {
    q7id_t cls = -1;                    // one of the Q7P_CLS_*_ID_g values
    std::vector<q7size_t> chunk;        // empty: contiguous layout
    std::vector<FilterEntry> pipeline;  // dataset creation lists
    bool sync = true;                   // file access lists: commits wait for the disk
    std::string fill;                   // dataset creation: fill value, one element of fill_type
    std::shared_ptr<const Datatype> fill_type;  // null: no fill value (zeros)
    size_t chunk_cache = kDefaultChunkCacheBytes;  // dataset access: decoded-chunk cache
    int nthreads = 0;                   // transfer lists: pipeline threads, 0 the default
    bool same_extent = false;           // transfer lists: the file dataspace must have the dataset's extent
};

// ---------------------------------------------------------------------
// Start-up hooks of the storage layer
// ---------------------------------------------------------------------

// Implemented by the storage layer (storage_hooks.cpp), called by core:
// Q7close calls storage_shutdown() before identifiers are released (it
// commits and closes every open file: false when one could not commit);
// Q7Pget_filter2 asks filter_name() for the name of a filter whose entry
// carries none ("" when the filter is not available).
bool storage_shutdown();
std::string filter_name(q7filter_t id);

// ---------------------------------------------------------------------
// Start-up and shutdown steps of the core layer (core_*.cpp only)
// ---------------------------------------------------------------------
namespace core {
void open_errors();      // library error class, messages, default handler
void open_datatypes();   // predefined datatypes
void open_plists();      // property list classes
void close_errors();     // forgets the records of the default stack
void reset_globals();    // sets every predefined identifier global to -1
void clear_default_stack();
void run_auto_report();  // the default stack's automatic handler, if any
void arm_faults_from_env();
} // namespace core

} // namespace q7


// ---- template definitions --------------------------------------------
namespace q7 {
void push_bad_id(q7id_t id, Q7I_type_t kind);

template <class T>
std::shared_ptr<T> get(q7id_t id, Q7I_type_t kind) {
    auto obj = find_id(id, kind);
    if (!obj) {
        push_bad_id(id, kind);
        return nullptr;
    }
    return std::dynamic_pointer_cast<T>(obj);
}
} // namespace q7
