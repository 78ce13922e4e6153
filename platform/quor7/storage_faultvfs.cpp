// storage_faultvfs.cpp - in builds with fault injection, files are opened
// through a thin SQLite VFS over the default one whose syncs can be made
// to fail on demand (fault point "storage:sync"), so that tests can show
// what a failed sync at a commit leaves behind.  Everything else is passed
// through unchanged.  Installed builds open files with the default VFS.
#include "storage_commit.hpp"

namespace q7::storage {

#ifdef QUOR7_FAULT_INJECTION

namespace {

// A shim file: our methods first, the real file of the default VFS after.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file *real;
};

sqlite3_file *real_of(sqlite3_file *f) { return reinterpret_cast<ShimFile *>(f)->real; }

int shim_close(sqlite3_file *f) {
    sqlite3_file *r = real_of(f);
    return r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
}
int shim_read(sqlite3_file *f, void *p, int n, sqlite3_int64 off) {
    return real_of(f)->pMethods->xRead(real_of(f), p, n, off);
}
int shim_write(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
    return real_of(f)->pMethods->xWrite(real_of(f), p, n, off);
}
int shim_truncate(sqlite3_file *f, sqlite3_int64 size) { return real_of(f)->pMethods->xTruncate(real_of(f), size); }
int shim_sync(sqlite3_file *f, int flags) {
    if (Q7fault_should_fail("storage:sync")) return SQLITE_IOERR_FSYNC;
    return real_of(f)->pMethods->xSync(real_of(f), flags);
}
int shim_file_size(sqlite3_file *f, sqlite3_int64 *size) { return real_of(f)->pMethods->xFileSize(real_of(f), size); }
int shim_lock(sqlite3_file *f, int level) { return real_of(f)->pMethods->xLock(real_of(f), level); }
int shim_unlock(sqlite3_file *f, int level) { return real_of(f)->pMethods->xUnlock(real_of(f), level); }
int shim_check_reserved(sqlite3_file *f, int *out) {
    return real_of(f)->pMethods->xCheckReservedLock(real_of(f), out);
}
int shim_file_control(sqlite3_file *f, int op, void *arg) {
    return real_of(f)->pMethods->xFileControl(real_of(f), op, arg);
}
int shim_sector_size(sqlite3_file *f) { return real_of(f)->pMethods->xSectorSize(real_of(f)); }
int shim_device_characteristics(sqlite3_file *f) {
    return real_of(f)->pMethods->xDeviceCharacteristics(real_of(f));
}
int shim_shm_map(sqlite3_file *f, int page, int size, int extend, void volatile **p) {
    return real_of(f)->pMethods->xShmMap(real_of(f), page, size, extend, p);
}
int shim_shm_lock(sqlite3_file *f, int offset, int n, int flags) {
    return real_of(f)->pMethods->xShmLock(real_of(f), offset, n, flags);
}
void shim_shm_barrier(sqlite3_file *f) { real_of(f)->pMethods->xShmBarrier(real_of(f)); }
int shim_shm_unmap(sqlite3_file *f, int del) { return real_of(f)->pMethods->xShmUnmap(real_of(f), del); }
int shim_fetch(sqlite3_file *f, sqlite3_int64 off, int n, void **p) {
    return real_of(f)->pMethods->xFetch(real_of(f), off, n, p);
}
int shim_unfetch(sqlite3_file *f, sqlite3_int64 off, void *p) {
    return real_of(f)->pMethods->xUnfetch(real_of(f), off, p);
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

sqlite3_vfs g_shim;
sqlite3_vfs *g_real = nullptr;

int shim_open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags) {
    auto *shim = reinterpret_cast<ShimFile *>(f);
    shim->real = reinterpret_cast<sqlite3_file *>(shim + 1);
    shim->real->pMethods = nullptr;
    int rc = g_real->xOpen(g_real, name, shim->real, flags, out_flags);
    const sqlite3_io_methods *m = shim->real->pMethods;
    if (!m) {
        f->pMethods = nullptr;
        return rc;
    }
    int version = m->iVersion < 1 ? 1 : m->iVersion > 3 ? 3 : m->iVersion;
    f->pMethods = &kMethods[version - 1];
    return rc;
}

int shim_delete(sqlite3_vfs *, const char *name, int sync_dir) {
    if (sync_dir && Q7fault_should_fail("storage:sync")) return SQLITE_IOERR_DIR_FSYNC;
    return g_real->xDelete(g_real, name, sync_dir);
}

} // namespace

const char *vfs_name() {
    static const char *name = [] () -> const char * {
        g_real = sqlite3_vfs_find(nullptr);
        if (!g_real) return nullptr;
        g_shim = *g_real;
        g_shim.iVersion = g_real->iVersion;
        g_shim.szOsFile = (int)sizeof(ShimFile) + g_real->szOsFile;
        g_shim.zName = "quor7-faults";
        g_shim.pNext = nullptr;
        g_shim.xOpen = shim_open;
        g_shim.xDelete = shim_delete;
        return sqlite3_vfs_register(&g_shim, 0) == SQLITE_OK ? g_shim.zName : nullptr;
    }();
    return name;
}

#else

const char *vfs_name() { return nullptr; }

#endif

} // namespace q7::storage
