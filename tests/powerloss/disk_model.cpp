// disk_model.cpp - the recording VFS, the library's file observer, and the
// reconstruction of a directory after a power cut (see disk_model.hpp).
#include "disk_model.hpp"

#include "quor7_fault.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace q7pl {

namespace fs = std::filesystem;

Recorder &Recorder::get() {
    static Recorder *r = new Recorder;
    return *r;
}

std::string Recorder::base(const std::string &path) const { return fs::path(path).filename().string(); }

// Paths reach us as the library or SQLite spell them; compare them resolved.
bool Recorder::recording(const std::string &path) const {
    return on_ && fs::weakly_canonical(fs::absolute(path)).parent_path() == fs::path(dir_);
}

bool Recorder::recording_dir(const std::string &dir) const {
    return on_ && fs::weakly_canonical(fs::absolute(dir)) == fs::path(dir_);
}

void Recorder::start(const std::string &dir) {
    dir_ = fs::weakly_canonical(fs::absolute(dir)).string();
    live_.clear();
    start_names_.clear();
    start_content_.clear();
    log_.clear();
    for (const auto &e : fs::directory_iterator(dir_)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        int ino = next_inode_++;
        start_content_[ino] = ss.str();
        start_names_[e.path().filename().string()] = ino;
    }
    live_ = start_names_;
    on_ = true;
}

void Recorder::stop() { on_ = false; }

size_t Recorder::ops() const { return log_.size(); }

void Recorder::add(Op op) {
    switch (op.kind) {
    case Op::Unlink: live_.erase(op.name); break;
    case Op::Rename: {
        auto it = live_.find(op.name);
        if (it == live_.end()) return;
        int ino = it->second;
        live_.erase(it);
        live_[op.other] = ino;
        break;
    }
    case Op::Link: {
        auto it = live_.find(op.name);
        if (it == live_.end()) return;
        live_[op.other] = it->second;
        break;
    }
    default: break;
    }
    log_.push_back(std::move(op));
}

int Recorder::open_file(const std::string &path, bool create) {
    std::string name = base(path);
    auto it = live_.find(name);
    if (it != live_.end()) return it->second;
    if (!create) return -1;
    int ino = next_inode_++;
    live_[name] = ino;
    Op op{Op::Create};
    op.inode = ino;
    op.name = name;
    log_.push_back(op);
    return ino;
}

void Recorder::materialize(size_t cut, uint32_t seed, const std::string &out_dir, bool keep_all) const {
    struct Inode {
        std::string durable;
        std::vector<const Op *> pending;
    };
    std::map<int, Inode> inodes;
    for (const auto &[ino, content] : start_content_) inodes[ino].durable = content;
    std::map<std::string, int> dir = start_names_;
    std::vector<const Op *> pending_dir;

    auto apply = [](std::string &content, const Op &op, const std::vector<bool> *sectors) {
        if (op.kind == Op::Truncate) {
            content.resize((size_t)op.offset);
            return;
        }
        size_t end = (size_t)op.offset + op.data.size();
        if (content.size() < end) content.resize(end);
        if (!sectors) {
            content.replace((size_t)op.offset, op.data.size(), op.data);
            return;
        }
        for (size_t s = 0; s < sectors->size(); ++s) {
            if (!(*sectors)[s]) continue;
            size_t from = s * 512, n = std::min<size_t>(512, op.data.size() - from);
            content.replace((size_t)op.offset + from, n, op.data, from, n);
        }
    };
    auto apply_dir = [](std::map<std::string, int> &d, const Op &op) {
        switch (op.kind) {
        case Op::Create: d[op.name] = op.inode; break;
        case Op::Unlink: d.erase(op.name); break;
        case Op::Rename:
            if (d.count(op.name)) {
                d[op.other] = d[op.name];
                d.erase(op.name);
            }
            break;
        case Op::Link:
            if (d.count(op.name)) d[op.other] = d[op.name];
            break;
        default: break;
        }
    };

    for (size_t i = 0; i < cut && i < log_.size(); ++i) {
        const Op &op = log_[i];
        switch (op.kind) {
        case Op::Write:
        case Op::Truncate: inodes[op.inode].pending.push_back(&op); break;
        case Op::Sync: {
            Inode &n = inodes[op.inode];
            for (const Op *p : n.pending) apply(n.durable, *p, nullptr);
            n.pending.clear();
            break;
        }
        case Op::DirSync:
            for (const Op *p : pending_dir) apply_dir(dir, *p);
            pending_dir.clear();
            break;
        default: pending_dir.push_back(&op); break;
        }
    }

    std::mt19937 rng(seed);
    size_t dir_kept = keep_all ? pending_dir.size() : rng() % (pending_dir.size() + 1);
    for (size_t i = 0; i < dir_kept; ++i) apply_dir(dir, *pending_dir[i]);
    for (auto &[ino, n] : inodes) {
        for (const Op *p : n.pending) {
            if (keep_all) {
                apply(n.durable, *p, nullptr);
                continue;
            }
            if (rng() % 2) continue;  // never reached the disk
            if (p->kind == Op::Write && p->data.size() > 512 && rng() % 3 == 0) {
                std::vector<bool> sectors((p->data.size() + 511) / 512);
                for (size_t s = 0; s < sectors.size(); ++s) sectors[s] = rng() % 2;
                apply(n.durable, *p, &sectors);
            } else {
                apply(n.durable, *p, nullptr);
            }
        }
    }
    for (const auto &[name, ino] : dir) {
        std::ofstream out(fs::path(out_dir) / name, std::ios::binary | std::ios::trunc);
        const std::string &c = inodes[ino].durable;
        out.write(c.data(), (std::streamsize)c.size());
    }
}

namespace {

// ---------------------------------------------------------------------
// The recording VFS
// ---------------------------------------------------------------------

struct RecFile {
    sqlite3_file base;
    sqlite3_file *real;
    int inode;       // -1: not recorded
    bool dir_sync;   // the first sync also syncs the directory
};

sqlite3_vfs *g_real = nullptr;
sqlite3_vfs g_vfs;

RecFile *rec(sqlite3_file *f) { return reinterpret_cast<RecFile *>(f); }
sqlite3_file *real(sqlite3_file *f) { return rec(f)->real; }

int x_close(sqlite3_file *f) { return real(f)->pMethods ? real(f)->pMethods->xClose(real(f)) : SQLITE_OK; }
int x_read(sqlite3_file *f, void *p, int n, sqlite3_int64 off) { return real(f)->pMethods->xRead(real(f), p, n, off); }
int x_write(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
    int rc = real(f)->pMethods->xWrite(real(f), p, n, off);
    if (rc == SQLITE_OK && rec(f)->inode >= 0 && Recorder::get().on()) {
        Op op{Op::Write};
        op.inode = rec(f)->inode;
        op.offset = off;
        op.data.assign(static_cast<const char *>(p), (size_t)n);
        Recorder::get().add(std::move(op));
    }
    return rc;
}
int x_truncate(sqlite3_file *f, sqlite3_int64 size) {
    int rc = real(f)->pMethods->xTruncate(real(f), size);
    if (rc == SQLITE_OK && rec(f)->inode >= 0 && Recorder::get().on()) {
        Op op{Op::Truncate};
        op.inode = rec(f)->inode;
        op.offset = size;
        Recorder::get().add(std::move(op));
    }
    return rc;
}
int x_sync(sqlite3_file *f, int flags) {
    int rc = real(f)->pMethods->xSync(real(f), flags);
    if (rc == SQLITE_OK && rec(f)->inode >= 0 && Recorder::get().on()) {
        Op op{Op::Sync};
        op.inode = rec(f)->inode;
        Recorder::get().add(std::move(op));
        if (rec(f)->dir_sync) {
            rec(f)->dir_sync = false;
            Recorder::get().add(Op{Op::DirSync});
        }
    }
    return rc;
}
int x_file_size(sqlite3_file *f, sqlite3_int64 *size) { return real(f)->pMethods->xFileSize(real(f), size); }
int x_lock(sqlite3_file *f, int level) { return real(f)->pMethods->xLock(real(f), level); }
int x_unlock(sqlite3_file *f, int level) { return real(f)->pMethods->xUnlock(real(f), level); }
int x_check_reserved(sqlite3_file *f, int *out) { return real(f)->pMethods->xCheckReservedLock(real(f), out); }
int x_file_control(sqlite3_file *f, int op, void *arg) { return real(f)->pMethods->xFileControl(real(f), op, arg); }
int x_sector_size(sqlite3_file *f) { return real(f)->pMethods->xSectorSize(real(f)); }
int x_device(sqlite3_file *f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); }
int x_shm_map(sqlite3_file *f, int pg, int sz, int ext, void volatile **p) {
    return real(f)->pMethods->xShmMap(real(f), pg, sz, ext, p);
}
int x_shm_lock(sqlite3_file *f, int off, int n, int flags) { return real(f)->pMethods->xShmLock(real(f), off, n, flags); }
void x_shm_barrier(sqlite3_file *f) { real(f)->pMethods->xShmBarrier(real(f)); }
int x_shm_unmap(sqlite3_file *f, int del) { return real(f)->pMethods->xShmUnmap(real(f), del); }

// Writes through memory maps would bypass the log, so none are offered.
const sqlite3_io_methods kMethods = {2,           x_close,      x_read,         x_write,     x_truncate,
                                     x_sync,      x_file_size,  x_lock,         x_unlock,    x_check_reserved,
                                     x_file_control, x_sector_size, x_device,   x_shm_map,   x_shm_lock,
                                     x_shm_barrier, x_shm_unmap, nullptr,       nullptr};

int x_open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags) {
    RecFile *r = rec(f);
    r->real = reinterpret_cast<sqlite3_file *>(r + 1);
    r->real->pMethods = nullptr;
    r->inode = -1;
    r->dir_sync = false;
    int rc = g_real->xOpen(g_real, name, r->real, flags, out_flags);
    if (!r->real->pMethods) {
        f->pMethods = nullptr;
        return rc;
    }
    f->pMethods = &kMethods;
    Recorder &rd = Recorder::get();
    if (rc == SQLITE_OK && name && rd.recording(name)) {
        bool existed = rd.open_file(name, false) >= 0;
        r->inode = rd.open_file(name, (flags & SQLITE_OPEN_CREATE) != 0);
        r->dir_sync = !existed && (flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL | SQLITE_OPEN_SUPER_JOURNAL));
    }
    return rc;
}

int x_delete(sqlite3_vfs *, const char *name, int sync_dir) {
    int rc = g_real->xDelete(g_real, name, sync_dir);
    Recorder &rd = Recorder::get();
    if (rc == SQLITE_OK && rd.recording(name)) {
        Op op{Op::Unlink};
        op.name = rd.base(name);
        rd.add(op);
        if (sync_dir) rd.add(Op{Op::DirSync});
    }
    return rc;
}

// The library's own steps.
void seen_rename(void *, const char *from, const char *to, int result) {
    Recorder &rd = Recorder::get();
    if (result != 0 || !rd.recording(to)) return;
    Op op{Op::Rename};
    op.name = rd.base(from);
    op.other = rd.base(to);
    rd.add(op);
}
void seen_link(void *, const char *from, const char *to, int result) {
    Recorder &rd = Recorder::get();
    if (result != 0 || !rd.recording(to)) return;
    Op op{Op::Link};
    op.name = rd.base(from);
    op.other = rd.base(to);
    rd.add(op);
}
void seen_unlink(void *, const char *path, int result) {
    Recorder &rd = Recorder::get();
    if (result != 0 || !rd.recording(path)) return;
    Op op{Op::Unlink};
    op.name = rd.base(path);
    rd.add(op);
}
void seen_sync(void *, const char *path, int is_directory, int result) {
    Recorder &rd = Recorder::get();
    if (result != 0) return;
    if (is_directory) {
        if (rd.recording_dir(path)) rd.add(Op{Op::DirSync});
        return;
    }
    if (!rd.recording(path)) return;
    int ino = rd.open_file(path, false);
    if (ino < 0) return;
    Op op{Op::Sync};
    op.inode = ino;
    rd.add(op);
}

// Installed before main, so that every connection the library opens goes
// through the recorder.
const bool g_installed = [] {
    sqlite3_initialize();
    g_real = sqlite3_vfs_find(nullptr);
    g_vfs = *g_real;
    g_vfs.szOsFile = (int)sizeof(RecFile) + g_real->szOsFile;
    g_vfs.zName = "quor7-disk-model";
    g_vfs.pNext = nullptr;
    g_vfs.xOpen = x_open;
    g_vfs.xDelete = x_delete;
    static const Q7fault_file_observer observer = {seen_rename, seen_link, seen_unlink, seen_sync, nullptr};
    Q7fault_observe_files(&observer);
    return sqlite3_vfs_register(&g_vfs, 1) == SQLITE_OK;
}();

} // namespace

} // namespace q7pl
