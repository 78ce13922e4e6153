// storage_vfs.cpp - the layer between SQLite and the file system that
// every Quor7 file is opened through.  It does two things:
//
//  - It gathers SQLite's page-by-page writes to a main file in rollback-
//    journal mode that follow one another into writes of up to 112 KiB,
//    so bulk chunk data costs a fraction of the system calls.  The
//    gathered bytes are handed on before anything else happens to any file
//    (a read, a sync, a lock change, a size query, deleting a journal), so
//    SQLite's ordering of writes, syncs and journal deletion holds as if
//    nothing were gathered, and a killed process can lose only writes that
//    SQLite had not yet made permanent.
//  - In builds with fault injection, its syncs can be made to fail on
//    demand (fault point "storage:sync"), so that tests can show what a
//    failed sync at a commit leaves behind.
#include "storage_commit.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <vector>

namespace q7::storage {

namespace {

// SQLite's file layer hands at most 128 KiB - 1 to one write system call
// (it masks the count), so gathered writes stay below that: seven 16 KiB
// pages.
constexpr size_t kGatherBytes = 112 << 10;

struct ShimFile {
    sqlite3_file base;
    sqlite3_file *real;
    std::vector<unsigned char> *pending;  // main files only: gathered writes
    sqlite3_int64 pending_at;             // file offset of pending->front()
    const char *name;                     // the file's name, valid while it is open
    int hint_fd;                          // for starting write-back early; -1: none
    sqlite3_int64 unhinted_from;          // first byte written since the last hint
    sqlite3_int64 unhinted_to;            // end of what was written since then
};

// After this many bytes written to a main file, the kernel is asked to
// start writing them to disk, so that a commit's sync finds most of a bulk
// write already there instead of waiting for all of it.  Only a hint: what
// is durable still rests on the syncs.
constexpr sqlite3_int64 kWritebackBytes = sqlite3_int64{8} << 20;

void hint_writeback(ShimFile *s, sqlite3_int64 off, sqlite3_int64 n) {
#ifdef __linux__
    if (s->hint_fd < 0) return;
    if (s->unhinted_to <= s->unhinted_from) {
        s->unhinted_from = off;
        s->unhinted_to = off + n;
    } else if (off == s->unhinted_to) {
        s->unhinted_to += n;
    } else {
        s->unhinted_from = off;
        s->unhinted_to = off + n;
        return;
    }
    if (s->unhinted_to - s->unhinted_from >= kWritebackBytes) {
        sync_file_range(s->hint_fd, s->unhinted_from, s->unhinted_to - s->unhinted_from, SYNC_FILE_RANGE_WRITE);
        s->unhinted_from = s->unhinted_to;
    }
#else
    (void)s, (void)off, (void)n;
#endif
}

// Every function SQLite calls here runs through guard(): an exception
// never unwinds into SQLite's C frames.  A failed allocation becomes
// SQLITE_NOMEM, anything else the I/O error the method stands for.
template <class Fn>
int guard(int ioerr, Fn &&fn) noexcept {
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        return SQLITE_NOMEM;
    } catch (...) {
        return ioerr;
    }
}

ShimFile *shim(sqlite3_file *f) { return reinterpret_cast<ShimFile *>(f); }
sqlite3_file *real_of(sqlite3_file *f) { return shim(f)->real; }

// Main files with gathered writes; SQLite calls in from one thread per
// connection, and the library serialises its callers, but keep the set
// safe on its own.
std::mutex g_open_mutex;
std::set<ShimFile *> &open_main_files() {
    static auto *s = new std::set<ShimFile *>;
    return *s;
}

int hand_on(ShimFile *s) {
    if (!s->pending || s->pending->empty()) return SQLITE_OK;
    int rc = s->real->pMethods->xWrite(s->real, s->pending->data(), (int)s->pending->size(), s->pending_at);
    if (rc == SQLITE_OK) hint_writeback(s, s->pending_at, (sqlite3_int64)s->pending->size());
    s->pending->clear();
    return rc;
}

int hand_on(sqlite3_file *f) { return hand_on(shim(f)); }

int hand_on_all() {
    std::lock_guard<std::mutex> g(g_open_mutex);
    int first = SQLITE_OK;
    for (ShimFile *s : open_main_files()) {
        int rc = hand_on(s);
        if (first == SQLITE_OK) first = rc;
    }
    return first;
}

// Stops gathering the writes of a main file (they must be handed on
// first).  The file must leave the set before SQLite frees it, so this
// cannot fail half way: it is noexcept, and a lock that cannot be taken
// (only a broken program gets there) ends the process rather than unwind
// into SQLite.  The set exists, since the file is in it.
void stop_gathering(ShimFile *s) noexcept {
    if (!s->pending) return;
    {
        std::lock_guard<std::mutex> g(g_open_mutex);
        open_main_files().erase(s);
    }
    delete s->pending;
    s->pending = nullptr;
}

int shim_close_do(sqlite3_file *f) {
    int rc = hand_on(f);
    stop_gathering(shim(f));
    if (shim(f)->hint_fd >= 0) ::close(shim(f)->hint_fd);
    shim(f)->hint_fd = -1;
    sqlite3_file *r = real_of(f);
    int rc2 = r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
    return rc != SQLITE_OK ? rc : rc2;
}
int shim_read_do(sqlite3_file *f, void *p, int n, sqlite3_int64 off) {
    int rc = hand_on(f);
    return rc != SQLITE_OK ? rc : real_of(f)->pMethods->xRead(real_of(f), p, n, off);
}
int shim_write_do(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
    ShimFile *s = shim(f);
    if (!s->pending) return s->real->pMethods->xWrite(s->real, p, n, off);
    auto &buf = *s->pending;
    bool follows = !buf.empty() && off == s->pending_at + (sqlite3_int64)buf.size();
    if (!follows || buf.size() + (size_t)n > kGatherBytes) {
        int rc = hand_on(s);
        if (rc != SQLITE_OK) return rc;
    }
    if ((size_t)n >= kGatherBytes) {
        int rc = s->real->pMethods->xWrite(s->real, p, n, off);
        if (rc == SQLITE_OK) hint_writeback(s, off, n);
        return rc;
    }
    if (buf.empty()) s->pending_at = off;
    const auto *b = static_cast<const unsigned char *>(p);
    buf.insert(buf.end(), b, b + n);
    return SQLITE_OK;
}
int shim_truncate_do(sqlite3_file *f, sqlite3_int64 size) {
    int rc = hand_on(f);
    return rc != SQLITE_OK ? rc : real_of(f)->pMethods->xTruncate(real_of(f), size);
}
int shim_sync_do(sqlite3_file *f, int flags) {
    int rc = hand_on(f);
    if (rc != SQLITE_OK) return rc;
    if (Q7fault_should_fail("storage:sync")) return SQLITE_IOERR_FSYNC;
    return real_of(f)->pMethods->xSync(real_of(f), flags);
}
int shim_file_size_do(sqlite3_file *f, sqlite3_int64 *size) {
    int rc = hand_on(f);
    return rc != SQLITE_OK ? rc : real_of(f)->pMethods->xFileSize(real_of(f), size);
}
int shim_lock_do(sqlite3_file *f, int level) {
    int rc = hand_on(f);
    return rc != SQLITE_OK ? rc : real_of(f)->pMethods->xLock(real_of(f), level);
}
int shim_unlock_do(sqlite3_file *f, int level) {
    // Readers in other processes may look once the lock is gone.
    int rc = hand_on(f);
    int rc2 = real_of(f)->pMethods->xUnlock(real_of(f), level);
    return rc != SQLITE_OK ? rc : rc2;
}
int shim_check_reserved_do(sqlite3_file *f, int *out) {
    return real_of(f)->pMethods->xCheckReservedLock(real_of(f), out);
}
int shim_file_control_do(sqlite3_file *f, int op, void *arg) {
    ShimFile *s = shim(f);
    if (op == kWritebackHintOp) {
        // Only files whose commits sync gain from early write-back; for the
        // others it would only compete with the writer.
        bool on = arg && *static_cast<int *>(arg) != 0;
        if (on && s->hint_fd < 0 && s->name) s->hint_fd = ::open(s->name, O_RDONLY | O_CLOEXEC);
        if (!on && s->hint_fd >= 0) {
            ::close(s->hint_fd);
            s->hint_fd = -1;
        }
        return SQLITE_OK;
    }
    int rc = hand_on(f);
    if (rc != SQLITE_OK) return rc;
    return real_of(f)->pMethods->xFileControl(real_of(f), op, arg);
}
int shim_sector_size(sqlite3_file *f) noexcept { return real_of(f)->pMethods->xSectorSize(real_of(f)); }
int shim_device_characteristics(sqlite3_file *f) noexcept {
    return real_of(f)->pMethods->xDeviceCharacteristics(real_of(f));
}
int shim_shm_map_do(sqlite3_file *f, int page, int size, int extend, void volatile **p) {
    // A file in log mode has readers that learn from shared memory, not
    // from locks, what the file holds: its writes are never gathered.
    ShimFile *s = shim(f);
    if (s->pending) {
        int rc = hand_on(s);
        if (rc != SQLITE_OK) return rc;
        stop_gathering(s);
    }
    return real_of(f)->pMethods->xShmMap(real_of(f), page, size, extend, p);
}
int shim_shm_lock_do(sqlite3_file *f, int offset, int n, int flags) {
    int rc = hand_on(f);
    return rc != SQLITE_OK ? rc : real_of(f)->pMethods->xShmLock(real_of(f), offset, n, flags);
}
void shim_shm_barrier(sqlite3_file *f) noexcept {
    // Nothing to report a failure to: a write that fails here fails again
    // at the next sync.
    guard(SQLITE_IOERR, [&] { return hand_on(f); });
    real_of(f)->pMethods->xShmBarrier(real_of(f));
}
int shim_shm_unmap_do(sqlite3_file *f, int del) { return real_of(f)->pMethods->xShmUnmap(real_of(f), del); }
int shim_fetch_do(sqlite3_file *f, sqlite3_int64 off, int n, void **p) {
    int rc = hand_on(f);
    return rc != SQLITE_OK ? rc : real_of(f)->pMethods->xFetch(real_of(f), off, n, p);
}
int shim_unfetch_do(sqlite3_file *f, sqlite3_int64 off, void *p) {
    return real_of(f)->pMethods->xUnfetch(real_of(f), off, p);
}

sqlite3_vfs g_shim;
sqlite3_vfs *g_real = nullptr;
int shim_open_do(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags);
int shim_delete_do(sqlite3_vfs *, const char *name, int sync_dir);

int shim_close(sqlite3_file *f) noexcept {
    return guard(SQLITE_IOERR_CLOSE, [&] { return shim_close_do(f); });
}

int shim_read(sqlite3_file *f, void *p, int n, sqlite3_int64 off) noexcept {
    return guard(SQLITE_IOERR_READ, [&] { return shim_read_do(f, p, n, off); });
}

int shim_write(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) noexcept {
    return guard(SQLITE_IOERR_WRITE, [&] { return shim_write_do(f, p, n, off); });
}

int shim_truncate(sqlite3_file *f, sqlite3_int64 size) noexcept {
    return guard(SQLITE_IOERR_TRUNCATE, [&] { return shim_truncate_do(f, size); });
}

int shim_sync(sqlite3_file *f, int flags) noexcept {
    return guard(SQLITE_IOERR_FSYNC, [&] { return shim_sync_do(f, flags); });
}

int shim_file_size(sqlite3_file *f, sqlite3_int64 *size) noexcept {
    return guard(SQLITE_IOERR_FSTAT, [&] { return shim_file_size_do(f, size); });
}

int shim_lock(sqlite3_file *f, int level) noexcept {
    return guard(SQLITE_IOERR_LOCK, [&] { return shim_lock_do(f, level); });
}

int shim_unlock(sqlite3_file *f, int level) noexcept {
    return guard(SQLITE_IOERR_UNLOCK, [&] { return shim_unlock_do(f, level); });
}

int shim_check_reserved(sqlite3_file *f, int *out) noexcept {
    return guard(SQLITE_IOERR_CHECKRESERVEDLOCK, [&] { return shim_check_reserved_do(f, out); });
}

int shim_file_control(sqlite3_file *f, int op, void *arg) noexcept {
    return guard(SQLITE_IOERR, [&] { return shim_file_control_do(f, op, arg); });
}

int shim_shm_map(sqlite3_file *f, int page, int size, int extend, void volatile **p) noexcept {
    return guard(SQLITE_IOERR_SHMMAP, [&] { return shim_shm_map_do(f, page, size, extend, p); });
}

int shim_shm_lock(sqlite3_file *f, int offset, int n, int flags) noexcept {
    return guard(SQLITE_IOERR_SHMLOCK, [&] { return shim_shm_lock_do(f, offset, n, flags); });
}

int shim_shm_unmap(sqlite3_file *f, int del) noexcept {
    return guard(SQLITE_IOERR, [&] { return shim_shm_unmap_do(f, del); });
}

int shim_fetch(sqlite3_file *f, sqlite3_int64 off, int n, void **p) noexcept {
    return guard(SQLITE_IOERR_MMAP, [&] { return shim_fetch_do(f, off, n, p); });
}

int shim_unfetch(sqlite3_file *f, sqlite3_int64 off, void *p) noexcept {
    return guard(SQLITE_IOERR_MMAP, [&] { return shim_unfetch_do(f, off, p); });
}

int shim_open(sqlite3_vfs *vfs, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags) noexcept {
    return guard(SQLITE_CANTOPEN, [&] { return shim_open_do(vfs, name, f, flags, out_flags); });
}

int shim_delete(sqlite3_vfs *vfs, const char *name, int sync_dir) noexcept {
    return guard(SQLITE_IOERR_DELETE, [&] { return shim_delete_do(vfs, name, sync_dir); });
}

// Method tables by the version the real file offers, so that SQLite never
// calls a method the real file lacks.
const sqlite3_io_methods kMethods[3] = {
    {1, shim_close, shim_read, shim_write, shim_truncate, shim_sync, shim_file_size, shim_lock, shim_unlock,
     shim_check_reserved, shim_file_control, shim_sector_size, shim_device_characteristics, nullptr, nullptr,
     nullptr, nullptr, nullptr, nullptr},
    {2, shim_close, shim_read, shim_write, shim_truncate, shim_sync, shim_file_size, shim_lock, shim_unlock,
     shim_check_reserved, shim_file_control, shim_sector_size, shim_device_characteristics, shim_shm_map,
     shim_shm_lock, shim_shm_barrier, shim_shm_unmap, nullptr, nullptr},
    {3, shim_close, shim_read, shim_write, shim_truncate, shim_sync, shim_file_size, shim_lock, shim_unlock,
     shim_check_reserved, shim_file_control, shim_sector_size, shim_device_characteristics, shim_shm_map,
     shim_shm_lock, shim_shm_barrier, shim_shm_unmap, shim_fetch, shim_unfetch},
};

int shim_open_do(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags) {
    ShimFile *s = shim(f);
    s->real = reinterpret_cast<sqlite3_file *>(s + 1);
    s->real->pMethods = nullptr;
    s->pending = nullptr;
    s->pending_at = 0;
    s->name = nullptr;
    s->hint_fd = -1;
    s->unhinted_from = s->unhinted_to = 0;
    int rc = g_real->xOpen(g_real, name, s->real, flags, out_flags);
    const sqlite3_io_methods *m = s->real->pMethods;
    if (!m) {
        f->pMethods = nullptr;
        return rc;
    }
    int version = m->iVersion < 1 ? 1 : m->iVersion > 3 ? 3 : m->iVersion;
    f->pMethods = &kMethods[version - 1];
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_MAIN_DB)) {
        s->name = name;
        // Gathering is an optimisation: without memory for its buffer (or
        // its place in the set) the file's writes go straight through.
        try {
            auto buf = std::make_unique<std::vector<unsigned char>>();
            buf->reserve(kGatherBytes);  // so that gathering never allocates
            std::lock_guard<std::mutex> g(g_open_mutex);
            open_main_files().insert(s);
            s->pending = buf.release();
        } catch (...) {
            s->pending = nullptr;
        }
    }
    return rc;
}

int shim_delete_do(sqlite3_vfs *, const char *name, int sync_dir) {
    // Deleting a journal makes a commit permanent: everything written
    // before must be in the files first.
    int rc = hand_on_all();
    if (rc != SQLITE_OK) return rc;
    if (sync_dir && Q7fault_should_fail("storage:sync")) return SQLITE_IOERR_DIR_FSYNC;
    return g_real->xDelete(g_real, name, sync_dir);
}

} // namespace

const char *vfs_name() {
    static const char *name = []() -> const char * {
        g_real = sqlite3_vfs_find(nullptr);
        if (!g_real) return nullptr;
        g_shim = *g_real;
        g_shim.szOsFile = (int)sizeof(ShimFile) + g_real->szOsFile;
        g_shim.zName = "quor7";
        g_shim.pNext = nullptr;
        g_shim.xOpen = shim_open;
        g_shim.xDelete = shim_delete;
        return sqlite3_vfs_register(&g_shim, 0) == SQLITE_OK ? g_shim.zName : nullptr;
    }();
    return name;
}

} // namespace q7::storage
