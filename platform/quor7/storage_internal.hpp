// storage_internal.hpp - what the storage layer's modules share: the SQLite
// container of one open file, the objects behind file, group, dataset and
// attribute identifiers, path resolution and the filter pipeline.
#pragma once

#include "internal.hpp"
// The commit module's state and call frame (CommitState, Txn), which
// Container holds; that header includes this one back, at its end.
#include "storage_commit.hpp"

#include <sqlite3.h>
#include <sys/types.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace q7::storage {

// ---------------------------------------------------------------------
// Kinds of metadata item, for read-retry accounting (numbers are part of
// the documented file format: docs/file-format.md).
// ---------------------------------------------------------------------
enum RetryItem : unsigned {
    RI_HEADER = 0,          // application id and format version
    RI_SETTINGS = 1,        // file-wide settings (the `settings` table)
    RI_ROOT = 2,            // root group lookup
    RI_OBJECT = 3,          // object record (kind, link count)
    RI_LINK = 4,            // one link looked up by name
    RI_SOFT_VALUE = 5,      // soft-link target path
    RI_EXTERNAL_VALUE = 6,  // external-link file and object
    RI_LINK_LIST = 7,       // a group's links in name order
    RI_LINK_COUNT = 8,      // number of links of a group
    RI_DSET_TYPE = 9,       // dataset element type
    RI_DSET_SHAPE = 10,     // dataset extent and maximum extent
    RI_DSET_LAYOUT = 11,    // dataset chunk shape
    RI_DSET_PIPELINE = 12,  // dataset filter pipeline
    RI_CHUNK_LOOKUP = 13,   // one chunk found by its coordinates
    RI_CHUNK_LIST = 14,     // enumeration of a dataset's chunks
    RI_ATTR_LIST = 15,      // an object's attribute names
    RI_ATTR_VALUE = 16,     // an attribute's stored value
    RI_ATTR_SHAPE = 17,     // an attribute's type and shape
    RI_OBJECT_ATTR_COUNT = 18, // number of attributes of an object
    RI_ADDRESS = 19,        // allocation of a new object address
    RI_SNAPSHOT = 20,       // start of a consistent read snapshot
    RI_COUNT = 21
};
static_assert(RI_COUNT == Q7F_NUM_METADATA_READ_RETRY_TYPES);

// Format identity kept in every file.
constexpr int32_t kApplicationId = 0x51373746;  // "Q77F"
constexpr int32_t kFormatVersion = 1;

// Object kinds in the `objects` table.
enum ObjectKind : int { OK_GROUP = 0, OK_DATASET = 1 };

// ---------------------------------------------------------------------
// The container: one SQLite connection to one Quor7 file.
// ---------------------------------------------------------------------
struct Container {
    sqlite3 *db = nullptr;
    std::string name;           // file name as given to create/open
    unsigned flags = 0;         // Q7F_ACC_* of the open
    bool writable = false;
    bool concurrent_read = false;
    bool concurrent_write = false;  // writer kept in write-ahead-log mode for readers elsewhere
    bool sync = true;           // commits wait until the disk holds them
    uint64_t fileno = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t root = 0;           // address of the root group

    unsigned max_retries = 100;
    unsigned nbins = 3;         // decimal digits of max_retries
    std::array<std::vector<uint32_t>, RI_COUNT> retries;

    // Commit state: only the commit module (storage_commit.cpp) changes
    // it.  A writable file keeps one write transaction open across public
    // calls until the next commit point; each outermost call runs inside a
    // savepoint of its own.
    CommitState commit;
    // Raised whenever a dataset's extent or existence may have changed
    // (a new extent, a deletion, an undone call): a writer's dataset
    // handles re-read their extent only then, since no other process
    // writes the file.
    uint64_t shape_epoch = 1;
    // Raised whenever stored blocks may have changed by this process (a
    // block stored or deleted, a call undone): the decoded-chunk caches of
    // its datasets are emptied at their next read.
    uint64_t data_epoch = 1;
    // Files reached for writing through external links of this one: they
    // stay open while this file is, and commit with it.
    std::vector<std::shared_ptr<Container>> linked;
    std::unordered_map<const char *, sqlite3_stmt *> stmts;  // keyed by SQL text address

    // Rolls back anything not committed and closes the connection.
    ~Container();
    // Closes the connection (statements first); later use fails cleanly.
    // Whatever is not committed is rolled back.
    void close_db();

    // Cached prepared statement for a literal SQL text; null on failure,
    // with a record pushed when `report` is set.
    sqlite3_stmt *prepare(const char *sql, bool report = true);
    // Runs statements without results (schema, pragmas), waiting out busy
    // answers (counted under RI_SETTINGS).
    bool exec(const char *sql);
    // Records that a read of `item` needed `n` retries.
    void count_retries(RetryItem item, unsigned n);
    // Pushes a record describing the connection's last error.
    void push_sqlite_error(const char *what, int rc) const;
};

// True for SQLite's "busy" and "locked" answers, which are worth retrying.
bool is_busy(int rc);
// Sleeps a little longer on each attempt while the file is busy.
void wait_busy(unsigned attempt);

// Holds a cached statement for one use and resets it afterwards.  It is
// made from the call's transaction on the file: one made from a ReadTxn
// (a helper that only reads) refuses a statement that would write, with
// an internal-error record at its step, so reading code cannot write.
//
// A bind that fails (SQLite could not copy the value: out of memory, too
// big) is remembered: the first failing code sticks, and step() / run()
// then fail with a record naming the cause ("out of memory" for
// SQLITE_NOMEM) without stepping, so a statement never runs with a value
// missing and callers need no check of their own after each bind.
class Stmt {
public:
    Stmt(const ReadTxn &t, const char *sql) : c_(t.container()), s_(c_.prepare(sql)) {
        if (s_ && !sqlite3_stmt_readonly(s_)) refused_ = true;
    }
    Stmt(WriteTxn &t, const char *sql) : c_(t.container()), s_(c_.prepare(sql)) {}
    ~Stmt() {
        if (s_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;
    explicit operator bool() const { return s_ != nullptr; }
    sqlite3_stmt *get() const { return s_; }

    void bind(int i, int64_t v) {
        if (s_) note_bind(sqlite3_bind_int64(s_, i, v));
    }
    void bind_text(int i, const std::string &v) {
        if (s_) note_bind(sqlite3_bind_text64(s_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }
    void bind_blob(int i, const void *p, size_t n) {
        if (s_) note_bind(sqlite3_bind_blob64(s_, i, n ? p : "", n, SQLITE_TRANSIENT));
    }
    void bind_blob_static(int i, const void *p, size_t n) {
        if (s_) note_bind(sqlite3_bind_blob64(s_, i, n ? p : "", n, SQLITE_STATIC));
    }
    void bind_null(int i) {
        if (s_) note_bind(sqlite3_bind_null(s_, i));
    }
    // The first failed bind's code; SQLITE_OK when every bind held.
    int bind_status() const { return bind_rc_; }

    // One step, waiting out busy answers (counted under `item`).
    // SQLITE_ROW or SQLITE_DONE on success; anything else (a failed bind
    // before it included) pushed as an error.
    int step(RetryItem item);
    // step() expecting SQLITE_DONE.
    bool run(RetryItem item) { return step(item) == SQLITE_DONE; }

    int64_t col_int(int i) const { return sqlite3_column_int64(s_, i); }
    std::string col_text(int i) const {
        const unsigned char *t = sqlite3_column_text(s_, i);
        return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(s_, i)) : std::string();
    }
    const void *col_blob(int i) const { return sqlite3_column_blob(s_, i); }
    size_t col_bytes(int i) const { return (size_t)sqlite3_column_bytes(s_, i); }
    bool col_null(int i) const { return sqlite3_column_type(s_, i) == SQLITE_NULL; }

private:
    void note_bind(int rc) {
        if (rc != SQLITE_OK && bind_rc_ == SQLITE_OK) bind_rc_ = rc;
    }

    Container &c_;
    sqlite3_stmt *s_;
    int bind_rc_ = SQLITE_OK;
    bool refused_ = false;  // a statement that writes, made from a ReadTxn
};

// ReadTxn, WriteTxn and CallTxns, the transactions of one public call:
// storage_commit.hpp.

// The identifier of an object that a call creates, registered inside the
// call's change: released again when the call ends without keep(), so a
// change that is undone never leaves an identifier behind, and an
// identifier that cannot be made undoes the change.
class PendingId {
public:
    explicit PendingId(Q7I_type_t kind) : kind_(kind) {}
    ~PendingId() {
        if (id_ >= 0) release_id(id_, kind_);
    }
    PendingId(const PendingId &) = delete;
    PendingId &operator=(const PendingId &) = delete;
    bool make(std::shared_ptr<Object> obj) {
        id_ = register_id(kind_, std::move(obj));
        return id_ >= 0;
    }
    bool made() const { return id_ >= 0; }
    q7id_t keep() { return std::exchange(id_, -1); }

private:
    Q7I_type_t kind_;
    q7id_t id_ = -1;
};

// Opens or creates a container.  Pushes a record and returns null on
// failure.  flags: Q7F_ACC_* of the open; create: make a new file; sync:
// commits wait for the disk (off only for scratch files).
// A file opened anew has its identity read in a read transaction of the
// call (txns), which stays open as the call goes on.
std::shared_ptr<Container> open_container(CallTxns &txns, const std::string &name, unsigned flags, bool create,
                                          bool sync = true);
// Currently open container of a file, if any (same device and inode).
std::shared_ptr<Container> find_open_container(const std::string &name);
// Drops every container registration (library shutdown).
void forget_containers();
// Every container open in this process.
std::vector<std::shared_ptr<Container>> open_containers();

// ---------------------------------------------------------------------
// Objects behind identifiers
// ---------------------------------------------------------------------
struct FileObj : Object {
    std::shared_ptr<Container> c;
};

struct GroupObj : Object {
    std::shared_ptr<Container> c;
    int64_t addr = 0;
    std::string path;
};

class ChunkCache;

struct DatasetObj : Object {
    std::shared_ptr<Container> c;
    int64_t addr = 0;
    std::string path;
    std::shared_ptr<Datatype> type;
    std::vector<q7size_t> dims, maxdims, chunk;  // chunk empty: contiguous
    std::vector<FilterEntry> pipeline;
    std::string fill;  // value of elements never written, in `type`; empty: zeros
    uint64_t shape_epoch = 0;  // the container's epoch when dims were last read
    // Decoded chunks kept between reads (storage_chunk_cache.hpp); null
    // when the dataset access list turned the cache off.
    std::shared_ptr<ChunkCache> cache;
};

// Key of a dataset's fill value in the `settings` table ("fill/<address>"),
// for files that keep one: datasets without a row fill with zeros.
#define Q7_FILL_KEY "'fill/' || ?"

struct AttrObj : Object {
    std::shared_ptr<Container> c;
    int64_t owner = 0;
    std::string name;
    std::shared_ptr<Datatype> type;
    std::vector<q7size_t> dims;
};

// An object location: a container and an address, with the path that
// reached it.
struct Loc {
    std::shared_ptr<Container> c;
    int64_t addr = 0;
    std::string path;
};

// The location of a file, group or dataset identifier (files: their root
// group).  Pushes a record when id is none of those.
bool loc_of(q7id_t id, Loc &out);
// Kind (ObjectKind) of the object at an address; -1 with a record pushed
// when there is none.
int object_kind(ReadTxn &t, int64_t addr);
// True when the object at a location is of the wanted kind (ObjectKind);
// otherwise false with a record ("... is not a group" / "a dataset").
bool object_is(ReadTxn &t, const Loc &at, int want);
// Follows a path from a location to an object (following soft and
// external links on the way, and at the end), reading each file it enters
// under the call's transaction on it (txns.read).
bool resolve(CallTxns &txns, const Loc &from, const char *path, Loc &out);
// Resolves everything but the last component, which must be a plain name.
bool resolve_parent(CallTxns &txns, const Loc &from, const char *path, Loc &parent, std::string &leaf);
// Joins a group path and a link name.
std::string join_path(const std::string &dir, const std::string &name);
// Adds a hard link parent/name -> target and raises the target's count.
bool add_hard_link(WriteTxn &t, int64_t parent, const std::string &name, int64_t target);
// New object of the given kind (link count 0); its address, or 0.
int64_t new_object(WriteTxn &t, int kind);
// Closes a group, dataset or attribute identifier; the last one of a file
// finishes the file (commit and close).  1 closed, 0 not an open
// identifier of that kind (nothing pushed), -1 closed but the file could
// not be committed, or not closed since a call on the file is in progress
// (a callback closing it from inside; pushed).
int close_identifier(q7id_t id, Q7I_type_t kind);
// Reads a dataset's stored description into d (c and addr already set).
bool load_dataset(ReadTxn &t, DatasetObj &d);
// The dataset at a location, its description loaded; null with a record.
std::shared_ptr<DatasetObj> dataset_at(ReadTxn &t, const Loc &at);
// Re-reads only the extent.
bool reload_shape(ReadTxn &t, DatasetObj &d);

// ---------------------------------------------------------------------
// Byte forms
// ---------------------------------------------------------------------
std::string encode_dims(const std::vector<q7size_t> &dims);
bool decode_dims(const void *p, size_t n, std::vector<q7size_t> &out);

// ---------------------------------------------------------------------
// Filter pipeline
// ---------------------------------------------------------------------
// A block buffer from Q7allocate_memory, freed when its holder goes, so
// that a call failing half way (by an exception too) leaks none.
struct BlockFree {
    void operator()(void *p) const { Q7free_memory(p); }
};
using BlockBuf = std::unique_ptr<void, BlockFree>;

// Forward pass over buf (nbytes valid, *buf_size allocated).  On success
// buf may hold a new block; mask tells which filters were skipped.  On
// failure a record naming the filter is pushed; buf holds whatever block
// the filters left.  A filter callback that throws fails the pass.
// `refs`, when given, holds the filters resolved beforehand by
// resolve_for_tasks (a pass on a worker thread looks nothing up).
struct FilterRef;
// Forward pass.  With `src` (*nbytes bytes) the input is read from there
// instead of `buf` (then empty), and `buf` receives the result.
bool pipeline_encode(const std::vector<FilterEntry> &pipe, const std::vector<FilterRef> *refs, BlockBuf &buf,
                     size_t *buf_size, size_t *nbytes, uint32_t *mask, const void *src = nullptr);
// Reverse pass; the result must be exactly `expect` bytes.  With `dest`
// (room for `expect` bytes) the result lands there instead of in `buf`:
// the last filter undone writes it there when it can, else it is copied.
// On failure `dest` may hold part of a block.
bool pipeline_decode(const std::vector<FilterEntry> &pipe, const std::vector<FilterRef> *refs, uint32_t mask,
                     BlockBuf &buf, size_t *buf_size, size_t *nbytes, size_t expect, void *dest = nullptr);
// Resolves every filter of a pipeline for passes run as worker tasks
// (reading: decoders, else encoders).  False, with nothing pushed, when
// the pipeline must run on the calling thread instead: a filter that is
// missing where the pass would report it, or one the application
// registered itself.
bool resolve_for_tasks(const std::vector<FilterEntry> &pipe, bool reading, std::vector<FilterRef> &refs);
// Fills in values that a filter takes from the dataset (shuffle: the
// element size), as a dataset is created.
void pipeline_set_local(std::vector<FilterEntry> &pipe, const Datatype &type);

// Built-in filter records (1 deflate, 2 shuffle, 3 fletcher32, 10 zstd,
// 11 lz4, 12 bitshuffle).
const Q7Z_class2_t *builtin_filter(q7filter_t id);

// A built-in filter as the pipeline runs it.  Its reverse pass is told the
// most bytes it may produce (`limit`) and fails, with a record, as soon as
// its output would pass that bound, before allocating more.
using BoundedFilter = uint64_t (*)(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes,
                                   uint64_t *buf_size, void **buf, uint64_t limit);
// The reverse pass of a built-in writing its output straight into `out`,
// which holds `room` bytes, the block's expected size (used for the last
// filter undone when a block goes straight into the caller's memory):
// the bytes produced, at most `room`; 0 on failure, with a record; or
// kDeclined, before writing anything, when the block is one the ordinary
// pass must take (its records then say what is wrong with it).
using IntoFilter = uint64_t (*)(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, void *out,
                                uint64_t room);
constexpr uint64_t kDeclined = UINT64_MAX;
// The forward pass of a built-in reading its input from `in` (the
// caller's memory, left alone) into a new buffer: *out of *out_size bytes
// and the bytes produced; 0 on failure, with a record, and nothing
// allocated.
using FromFilter = uint64_t (*)(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes,
                                uint64_t *out_size, void **out);
struct BuiltinFilter {
    const Q7Z_class2_t *cls;  // the record find_filter hands out
    BoundedFilter run;
    IntoFilter into;          // null: the ordinary pass, then a copy
    FromFilter from;          // null: a copy of the input, then the ordinary pass
    // Most bytes any writer's forward pass makes of n input bytes (the
    // reverse pass of the filter undone before this one is bounded by it).
    uint64_t (*max_encoded)(uint64_t ncd, const uint32_t *cd, uint64_t n);
    const char *alias;           // a second accepted name, or null
    unsigned ndefaults;          // client data written out when none is given
    unsigned defaults[2];
};
// The one table of built-in filters (names, identifiers, defaults).
const BuiltinFilter *builtin_filters(size_t *count);
const BuiltinFilter *builtin_by_class(const Q7Z_class2_t *cls);
const BuiltinFilter *builtin_by_name(const char *name);
const BuiltinFilter *builtin_by_id(q7filter_t id);

// The codecs of storage_codecs.cpp and storage_bitshuffle.cpp.
uint64_t deflate_run(uint32_t, uint64_t, const uint32_t *, uint64_t, uint64_t *, void **, uint64_t limit);
uint64_t zstd_run(uint32_t, uint64_t, const uint32_t *, uint64_t, uint64_t *, void **, uint64_t limit);
uint64_t lz4_run(uint32_t, uint64_t, const uint32_t *, uint64_t, uint64_t *, void **, uint64_t limit);
uint64_t bitshuffle_run(uint32_t, uint64_t, const uint32_t *, uint64_t, uint64_t *, void **, uint64_t limit);
uint64_t deflate_from(uint64_t, const uint32_t *, const void *, uint64_t, uint64_t *, void **);
uint64_t zstd_from(uint64_t, const uint32_t *, const void *, uint64_t, uint64_t *, void **);
uint64_t lz4_from(uint64_t, const uint32_t *, const void *, uint64_t, uint64_t *, void **);
uint64_t bitshuffle_from(uint64_t, const uint32_t *, const void *, uint64_t, uint64_t *, void **);
uint64_t deflate_into(uint64_t, const uint32_t *, const void *, uint64_t, void *, uint64_t room);
uint64_t zstd_into(uint64_t, const uint32_t *, const void *, uint64_t, void *, uint64_t room);
uint64_t lz4_into(uint64_t, const uint32_t *, const void *, uint64_t, void *, uint64_t room);
uint64_t bitshuffle_into(uint64_t, const uint32_t *, const void *, uint64_t, void *, uint64_t room);
uint64_t deflate_max_encoded(uint64_t ncd, const uint32_t *cd, uint64_t n);
uint64_t zstd_max_encoded(uint64_t ncd, const uint32_t *cd, uint64_t n);
uint64_t lz4_max_encoded(uint64_t ncd, const uint32_t *cd, uint64_t n);
// Bytes of equal significance grouped (forward: out[b * n + e] =
// in[e * size + b]) or back again; shared by shuffle and bitshuffle.
void byte_transpose(const unsigned char *in, unsigned char *out, size_t size, size_t n, bool reverse);
// Block of elements bitshuffle transposes at once, for an element size.
unsigned bitshuffle_default_block(unsigned elem_size);
// Bit transposition of one element block with a chosen kernel, for tests
// that compare the kernels: 0 portable, 1 SSE2, 2 AVX2, 3 AVX2 with GFNI
// (the byte transposition that shuffle shares takes the same vector
// widths).  False when the processor lacks the kernel.  `count` is a multiple of 8.
bool bitshuffle_kernel(int kernel, bool reverse, const unsigned char *in, unsigned char *out, size_t elem_size,
                       size_t count, unsigned char *scratch);

// A filter class found for use, kept valid while the holder lives.
struct FilterRef {
    const Q7Z_class2_t *cls = nullptr;
    std::shared_ptr<void> keep;  // plug-in handle or registered record
};
// Looks a filter up: registered filters, then built-in ones, then
// plug-ins.  With report set, a failed lookup pushes the reasons of any
// refused plug-in and a "not available" record.
bool find_filter(q7filter_t id, FilterRef &out, bool report);
// Plug-in lookup alone (storage_plugin.cpp).
bool find_plugin_filter(q7filter_t id, FilterRef &out, bool report);
// Raised whenever the filter behind an identifier may have changed (a
// filter registered or unregistered, the plug-in search path set, plug-ins
// dropped): decoded chunks kept by datasets are then no longer trusted.
uint64_t filters_epoch();
void note_filters_changed();
// Drops plug-in cache and registrations (library shutdown).
void unload_plugins();
void forget_registered_filters();
// Removes a filter from the plug-in cache; true if it was there.
bool drop_plugin_filter(q7filter_t id);

} // namespace q7::storage
