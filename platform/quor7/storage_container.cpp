// storage_container.cpp - the SQLite container behind one open Quor7 file:
// opening and creating it, its schema, its identity and its statements.
// When changes reach the disk is storage_commit.cpp's business.
#include "storage_chunks.hpp"
#include "storage_commit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <new>
#include <thread>
#include <tuple>

namespace q7::storage {

namespace {

const char *const kSchema =
    "CREATE TABLE settings(key TEXT PRIMARY KEY NOT NULL, value) WITHOUT ROWID;"
    "CREATE TABLE objects(addr INTEGER PRIMARY KEY AUTOINCREMENT, kind INTEGER NOT NULL,"
    "  nlinks INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE links(parent INTEGER NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL,"
    "  target INTEGER, value BLOB, PRIMARY KEY(parent, name)) WITHOUT ROWID;"
    "CREATE TABLE datasets(addr INTEGER PRIMARY KEY, type BLOB NOT NULL, dims BLOB NOT NULL,"
    "  maxdims BLOB NOT NULL, chunk BLOB);"
    "CREATE TABLE filters(dset INTEGER NOT NULL, position INTEGER NOT NULL, id INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL, cd_values BLOB NOT NULL, name TEXT NOT NULL,"
    "  PRIMARY KEY(dset, position)) WITHOUT ROWID;"
    "CREATE TABLE chunks(dset INTEGER NOT NULL, coord BLOB NOT NULL, mask INTEGER NOT NULL,"
    "  data BLOB NOT NULL, UNIQUE(dset, coord));"
    "CREATE TABLE attributes(owner INTEGER NOT NULL, name TEXT NOT NULL, type BLOB NOT NULL,"
    "  dims BLOB NOT NULL, value BLOB NOT NULL, PRIMARY KEY(owner, name)) WITHOUT ROWID;";

// Open containers of this process, by device and inode, so that a file
// opened twice shares one connection (and one transaction state).
// Never destroyed: containers may close from an exit handler.
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Container>> &open_files() {
    static auto *m = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Container>>;
    return *m;
}

// The last guard against a statement that runs away: SQLite calls the
// progress handler every kTickOps virtual-machine instructions, and one
// step of a statement (one row, or the whole of a statement without rows)
// may take at most kBaseTicks calls, plus kTicksPerPage for every page the
// file and its page cache may hold.  The library's statements visit each
// page a few times at most per step (a count or a deletion of every chunk
// of a dataset is one step), so legitimate work stays far below that;
// anything past it is refused as damage.  Views and triggers are off and
// the schema is checked at open, so nothing should ever come near it.
constexpr int kTickOps = 4096;
constexpr uint64_t kBaseTicks = (uint64_t)1 << 14;  // 67 M instructions
constexpr uint64_t kTicksPerPage = 64;              // 262,144 instructions per page
constexpr uint64_t kCachePages = 4096;              // the page cache: cache_size=-16384 KiB over 4 KiB pages or more
thread_local uint64_t step_ticks = 0;

// Pages that the file, its log and its cache may hold together.
uint64_t pages_of(const Container &c) {
    uint64_t bytes = 0;
    struct stat st;
    if (::stat(c.name.c_str(), &st) == 0) bytes += (uint64_t)st.st_size;
    if (::stat((c.name + "-wal").c_str(), &st) == 0) bytes += (uint64_t)st.st_size;
    return bytes / 4096 + kCachePages;
}

int progress(void *arg) {
    ++step_ticks;
    // The file's size is looked at only once a step has run long.
    if (step_ticks <= kBaseTicks || step_ticks % 1024 != 0) return 0;
    const Container &c = *static_cast<const Container *>(arg);
    return step_ticks > kBaseTicks + kTicksPerPage * pages_of(c) ? 1 : 0;
}

uint32_t be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Checks the first bytes of a file before SQLite sees it, so that a
// foreign or cut-short file is refused without being touched.
bool check_header(const std::string &name, off_t size) {
    // Non-blocking: a FIFO or device swapped in after the caller's stat
    // must not hold the open; it is refused by the fstat below.
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "cannot open file %s: %s", name.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "%s is not a regular file, not a Quor7 file", name.c_str());
        return false;
    }
    unsigned char h[100];
    ssize_t got = ::pread(fd, h, sizeof h, 0);
    ::close(fd);
    if (got != (ssize_t)sizeof h || memcmp(h, "SQLite format 3", 16) != 0) {
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s", name.c_str());
        return false;
    }
    uint32_t page = (uint32_t)h[16] << 8 | h[17];
    if (page == 1) page = 65536;
    uint32_t pages = be32(h + 28);
    // The page count in the header is trusted only when it was written by
    // the same change as the header's version stamp, and only while no
    // journal or log lies beside the file (a writer grows the file page by
    // page after writing the header, and a journal left by a crash is
    // rolled back when SQLite opens the file).
    if (!has_journal(name) && be32(h + 92) == be32(h + 24) && (uint64_t)pages * page > (uint64_t)size) {
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (truncated: %llu of %llu bytes)", name.c_str(),
                (unsigned long long)size, (unsigned long long)pages * page);
        return false;
    }
    return true;
}

// One object of a file's SQL schema, as sqlite_schema lists it.
struct SchemaRow {
    std::string type, name, table, sql;  // sql "" for automatic indexes
    bool operator<(const SchemaRow &o) const { return std::tie(type, name) < std::tie(o.type, o.name); }
    bool operator==(const SchemaRow &o) const {
        return type == o.type && name == o.name && table == o.table && sql == o.sql;
    }
};

// Listed in storage order and sorted here: cheaper than SQLite's sorter
// at every open.
const char *const kSchemaQuery = "SELECT type, name, tbl_name, sql, rootpage FROM sqlite_schema";

// The current row of a schema listing.  False for an object without
// pages of its own: every object of ours has them, so a view (rootpage 0)
// or a virtual table cannot pass for one of our tables.
bool schema_row(sqlite3_stmt *s, SchemaRow &row) {
    auto text = [&](int i) {
        const unsigned char *p = sqlite3_column_text(s, i);
        if (!p && sqlite3_column_type(s, i) != SQLITE_NULL) throw std::bad_alloc();
        return p ? std::string((const char *)p, (size_t)sqlite3_column_bytes(s, i)) : std::string();
    };
    row = SchemaRow{text(0), text(1), text(2), text(3)};
    return sqlite3_column_type(s, 4) == SQLITE_INTEGER && sqlite3_column_int64(s, 4) > 0;
}

// The schema exactly as this library makes it: kSchema applied to an
// empty database in memory, listed as sqlite_schema lists it (automatic
// indexes and sqlite_sequence included), once per process.
const std::vector<SchemaRow> *own_schema() {
    static std::vector<SchemaRow> *rows = nullptr;
    if (rows) return rows;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr);
    std::vector<SchemaRow> made;
    sqlite3_stmt *s = nullptr;
    bool ok = rc == SQLITE_OK && sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, kSchemaQuery, -1, &s, nullptr) == SQLITE_OK;
    try {
        while (ok && (rc = sqlite3_step(s)) == SQLITE_ROW) {
            made.emplace_back();
            ok = schema_row(s, made.back());
        }
        ok = ok && rc == SQLITE_DONE;
        std::sort(made.begin(), made.end());
    } catch (...) {
        sqlite3_finalize(s);
        sqlite3_close(db);
        throw;
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    if (!ok) {
        Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory (while preparing the check of a file's schema)");
        return nullptr;
    }
    rows = new std::vector<SchemaRow>(std::move(made));
    return rows;
}

// A file's SQL schema must be exactly the library's own: any view,
// trigger, virtual table, index or table more, less or different would
// run SQL of the file's author inside our statements (views and triggers
// are also switched off on every connection), so such a file is refused.
bool check_schema(ReadTxn &t) {
    Container &c = t.container();
    const std::vector<SchemaRow> *own = own_schema();
    if (!own) return false;
    Stmt s(t, kSchemaQuery);
    if (!s) return false;
    std::vector<SchemaRow> found;
    bool listed = true;
    int rc;
    while ((rc = s.step(RI_HEADER)) == SQLITE_ROW) {
        found.emplace_back();
        listed = schema_row(s.get(), found.back()) && listed;
    }
    if (rc != SQLITE_DONE) return false;  // step pushed the record
    std::sort(found.begin(), found.end());
    if (listed && found.size() == own->size()) {
        size_t i = 0;
        while (i < found.size() && found[i] == (*own)[i]) ++i;
        if (i == found.size()) return true;
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (its SQL schema holds %s %s, which this library does not make)",
                c.name.c_str(), found[i].type.c_str(), found[i].name.c_str());
        return false;
    }
    Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g,
            "not a Quor7 file: %s (its SQL schema holds %zu objects, not the %zu that this library makes%s)",
            c.name.c_str(), found.size(), own->size(), listed ? "" : ", or one without pages of its own");
    return false;
}

bool read_identity(ReadTxn &t) {
    Container &c = t.container();
    int64_t app = 0, ver = 0;
    {
        Stmt s(t, "PRAGMA application_id");
        if (!s || s.step(RI_HEADER) != SQLITE_ROW) return false;
        app = s.col_int(0);
    }
    {
        Stmt s(t, "PRAGMA user_version");
        if (!s || s.step(RI_HEADER) != SQLITE_ROW) return false;
        ver = s.col_int(0);
    }
    if (app != kApplicationId) {
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s", c.name.c_str());
        return false;
    }
    if (ver < 1 || ver > kFormatVersion) {
        Q7_PUSH(Q7E_FILE_g, Q7E_VERSION_g, "file %s has format version %lld; this library reads 1 to %d",
                c.name.c_str(), (long long)ver, kFormatVersion);
        return false;
    }
    if (!check_schema(t)) return false;
    Stmt s(t, "SELECT value FROM settings WHERE key = 'root'");
    if (!s) return false;
    int rc = s.step(RI_ROOT);
    if (rc != SQLITE_ROW || s.col_int(0) <= 0) {
        if (rc == SQLITE_ROW || rc == SQLITE_DONE)
            Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (no root group)", c.name.c_str());
        return false;
    }
    c.root = s.col_int(0);
    return true;
}

} // namespace

// Container::close_db is the commit module's (storage_commit.cpp): it
// forgets the transaction state.

Container::~Container() {
    close_db();
    auto &m = open_files();
    auto it = m.find({dev, ino});
    if (it != m.end() && it->second.expired()) m.erase(it);
}

sqlite3_stmt *Container::prepare(const char *sql, bool report) {
    if (!db) {
        if (report) Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "file %s is already closed", name.c_str());
        return nullptr;
    }
    auto it = stmts.find(sql);
    if (it != stmts.end()) return it->second;
    sqlite3_stmt *s = nullptr;
    int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
        if (report) push_sqlite_error("preparing a statement", rc);
        return nullptr;
    }
    // A statement the cache cannot hold is finalized at once: one left
    // behind would keep the connection from closing.
    try {
        stmts.emplace(sql, s);
    } catch (...) {
        sqlite3_finalize(s);
        throw;
    }
    return s;
}

bool Container::exec(const char *sql) {
    if (!db) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "file %s is already closed", name.c_str());
        return false;
    }
    for (unsigned n = 0;; ++n) {
        char *msg = nullptr;
        step_ticks = 0;
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
        sqlite3_free(msg);
        if (rc == SQLITE_OK) {
            if (n) count_retries(RI_SETTINGS, n);
            return true;
        }
        if (retry_busy(*this, rc, n)) continue;
        push_sqlite_error("changing file settings", rc);
        return false;
    }
}

void Container::count_retries(RetryItem item, unsigned n) {
    if (n == 0 || item >= RI_COUNT) return;
    auto &bins = retries[item];
    if (bins.empty()) bins.assign(nbins, 0);
    unsigned bin = 0;
    for (unsigned v = n; v >= 10 && bin + 1 < nbins; v /= 10) ++bin;
    ++bins[bin];
}

void Container::push_sqlite_error(const char *what, int rc) const {
    int prim = rc & 0xff;
    if (prim == SQLITE_NOMEM)
        // The same record as any other allocation failure of a call.
        Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory (file %s, while %s)", name.c_str(), what);
    else if (prim == SQLITE_NOTADB || prim == SQLITE_CORRUPT)
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (%s while %s)", name.c_str(), sqlite3_errstr(rc),
                what);
    else if (prim == SQLITE_INTERRUPT)
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (a statement ran far longer than its content "
                "allows while %s: the file is damaged)", name.c_str(), what);
    else if (prim == SQLITE_TOOBIG)
        Q7_PUSH(Q7E_FILE_g, Q7E_NOTQUOR7_g, "not a Quor7 file: %s (a stored value is larger than this library "
                "writes, while %s)", name.c_str(), what);
    else if (is_busy(rc))
        Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "file %s stayed busy after %u retries while %s", name.c_str(),
                max_retries, what);
    else
        Q7_PUSH(Q7E_IO_g, Q7E_READERROR_g, "file %s: %s while %s", name.c_str(), db ? sqlite3_errmsg(db) : sqlite3_errstr(rc),
                what);
}

int Stmt::step(RetryItem item) {
    if (!s_) return SQLITE_MISUSE;
    if (refused_) {
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: a read of %s tried to run a statement that writes (%s)",
                c_.name.c_str(), sqlite3_sql(s_));
        return SQLITE_READONLY;
    }
    if (bind_rc_ != SQLITE_OK) {
        // A value is missing: the statement must not run without it.
        if ((bind_rc_ & 0xff) == SQLITE_NOMEM)
            c_.push_sqlite_error("binding a value", bind_rc_);
        else
            Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "file %s: %s while binding a value", c_.name.c_str(),
                    sqlite3_errstr(bind_rc_));
        return bind_rc_;
    }
    bool fresh = !sqlite3_stmt_busy(s_);
    for (unsigned n = 0;; ++n) {
        step_ticks = 0;
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            c_.count_retries(item, n);
            return rc;
        }
        // A busy answer before the first row can be retried from the start.
        if (fresh && is_busy(rc)) {
            sqlite3_reset(s_);
            if (retry_busy(c_, rc, n)) continue;
        }
        c_.count_retries(item, n);
        c_.push_sqlite_error("reading or writing the file", rc);
        sqlite3_reset(s_);
        return rc;
    }
}

std::shared_ptr<Container> find_open_container(const std::string &name) {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) return nullptr;
    auto &m = open_files();
    auto it = m.find({st.st_dev, st.st_ino});
    return it == m.end() ? nullptr : it->second.lock();
}

void forget_containers() { open_files().clear(); }

std::vector<std::shared_ptr<Container>> open_containers() {
    std::vector<std::shared_ptr<Container>> out;
    for (auto &kv : open_files())
        if (auto c = kv.second.lock()) out.push_back(std::move(c));
    return out;
}

namespace {

// Opens the SQLite connection of a container, through the library's VFS.
bool connect(Container &c, const std::string &path, int oflags, q7id_t minor, const char *failure) {
    // A file name is only ever a name: one that looks like a URI
    // ("file:...") is made a relative path, so that no query parameters
    // of it (vfs=, mode=, immutable=, ...) are obeyed even where SQLite
    // was built or configured to read URIs.
    const std::string opened = path.compare(0, 5, "file:") == 0 ? "./" + path : path;
    int rc = sqlite3_open_v2(opened.c_str(), &c.db, oflags | SQLITE_OPEN_NOMUTEX, vfs_name());
    if (rc != SQLITE_OK) {
        if ((rc & 0xff) == SQLITE_NOMEM)
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory (file %s, while opening it)", c.name.c_str());
        else
            Q7_PUSH(Q7E_FILE_g, minor, "%s %s: %s", failure, c.name.c_str(),
                    c.db ? sqlite3_errmsg(c.db) : sqlite3_errstr(rc));
        c.close_db();
        return false;
    }
    sqlite3_extended_result_codes(c.db, 1);
    harden_connection(c);
    sqlite3_progress_handler(c.db, kTickOps, progress, &c);
    return true;
}

// The content of a new file: format identity, schema, root group.
bool fill_new_file(WriteTxn &t) {
    Container &c = t.container();
    char identity[100];
    snprintf(identity, sizeof identity, "PRAGMA application_id=%d; PRAGMA user_version=%d;", kApplicationId,
             kFormatVersion);
    if (!t.exec(identity) || !t.exec(kSchema)) return false;
    int64_t root = new_object(t, OK_GROUP);
    if (root <= 0) return false;
    Stmt s(t, "INSERT INTO settings(key, value) VALUES('root', ?)");
    if (!s) return false;
    s.bind(1, root);
    if (!s.run(RI_SETTINGS)) return false;
    c.root = root;
    return true;
}

// Builds a complete new file at `tmp` (how it commits is the commit
// module's decision: build_content).
bool build_new_file(CallTxns &txns, const std::shared_ptr<Container> &cp, const std::string &tmp) {
    Container &c = *cp;
    if (!connect(c, tmp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, Q7E_CANTCREATE_g, "cannot create file")) return false;
    bool ok = build_content(txns, cp, fill_new_file);
    c.close_db();
    return ok;
}

// Moves a complete new file into place under `name`.
bool publish_new_file(Container &c, const std::string &tmp, const std::string &name, unsigned flags) {
    if (c.sync && !sync_file(tmp)) return false;
    // A journal or log of an earlier file of this name must never be
    // applied to the new one; the earlier file is first made consistent,
    // so that it stays whole should we die before the rename.
    settle_existing_file(name);
    bool removed = false;
    for (const char *suffix : kSideFileSuffixes) removed = fs_unlink(name + suffix) || removed;
    // The removal must be on disk before the rename can be.
    if (removed && c.sync && !sync_directory_of(name)) return false;
    bool ok;
    if (flags & Q7F_ACC_TRUNC) {
        ok = fs_rename(tmp, name);
    } else {
        // link() refuses to replace a file that appeared meanwhile.
        struct stat st;
        ok = fs_link(tmp, name);
        if (!ok && errno == EEXIST) {
            Q7_PUSH(Q7E_FILE_g, Q7E_EXISTS_g, "file %s already exists", name.c_str());
            return false;
        }
        if (!ok && ::stat(name.c_str(), &st) != 0)  // no hard links here
            ok = fs_rename(tmp, name);
    }
    if (!ok) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot move the new file into place as %s: %s", name.c_str(),
                strerror(errno));
        return false;
    }
    return !c.sync || sync_directory_of(name);
}

// Closes a file this process has just created and removes it again.
void discard_new_file(Container &c, const std::string &name) noexcept {
    c.close_db();
    q7::no_throw(false, [&] { return remove_file_set(name, true); });
}

} // namespace

std::shared_ptr<Container> open_container(CallTxns &txns, const std::string &name, unsigned flags, bool create,
                                          bool sync) {
    if (name.empty()) {
        Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "empty file name");
        return nullptr;
    }
    struct stat st;
    bool exists = ::stat(name.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "%s is a directory, not a Quor7 file", name.c_str());
        return nullptr;
    }
    // A FIFO, device or socket is never opened: opening one may block
    // for ever, or read something that is no file.
    if (exists && !create && !S_ISREG(st.st_mode)) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "%s is not a regular file, not a Quor7 file", name.c_str());
        return nullptr;
    }
    auto c = std::make_shared<Container>();
    c->name = name;
    c->flags = flags;
    c->sync = sync;
    c->concurrent_write = (flags & Q7F_ACC_CONCURRENT_WRITE) != 0;
    for (unsigned v = c->max_retries, d = 0; v; v /= 10) c->nbins = ++d;

    if (create) {
        if (exists && (flags & Q7F_ACC_TRUNC) == 0) {
            Q7_PUSH(Q7E_FILE_g, Q7E_EXISTS_g, "file %s already exists", name.c_str());
            return nullptr;
        }
        if (exists && find_open_container(name)) {
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot replace file %s: it is open", name.c_str());
            return nullptr;
        }
        // The new file is built under a temporary name beside the final one
        // and moved into place only when complete, so a process killed while
        // creating leaves the earlier file or none, never a half-made one
        // that no longer opens.
        const std::string tmp = name + ".creating." + std::to_string((long)getpid());
        if (!remove_file_set(tmp, true)) return nullptr;
        c->writable = true;
        bool ok = build_new_file(txns, c, tmp);
        bool published = ok && publish_new_file(*c, tmp, name, flags);
        // Once in place, the new file goes again if it cannot be opened (for
        // want of memory, mostly): a failed create leaves no file of its own
        // behind.  One it replaced is gone; the record says so.
        auto discard = [&] { discard_new_file(*c, name); };
        try {
            remove_file_set(tmp, true);
            ok = published && connect(*c, name, SQLITE_OPEN_READWRITE, Q7E_CANTCREATE_g, "cannot open new file") &&
                 configure(*c);
        } catch (...) {
            if (published) discard();
            throw;
        }
        if (!ok || ::stat(name.c_str(), &st) != 0) {
            if (published) {
                discard();
                if (exists)
                    Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "the earlier file %s was replaced and is gone",
                            name.c_str());
            }
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot create file %s", name.c_str());
            return nullptr;
        }
    } else {
        if (!exists) {
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "cannot open file %s: %s", name.c_str(), strerror(errno));
            return nullptr;
        }
        if (auto shared = find_open_container(name)) {
            if ((flags & Q7F_ACC_RDWR) && !shared->writable) {
                Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "file %s is already open read-only in this process",
                        name.c_str());
                return nullptr;
            }
            return shared;
        }
        if (!check_header(name, st.st_size)) return nullptr;
        c->writable = (flags & Q7F_ACC_RDWR) != 0;
        c->concurrent_read = (flags & Q7F_ACC_CONCURRENT_READ) != 0;
        // A reader that may write the file opens it for writing but makes
        // the connection query-only: then it can roll back a journal that a
        // crashed writer left, and the last one to close removes a log and
        // its index, which a read-only connection would leave behind.
        // Without write permission it opens read-only.
        bool may_write = c->writable || ::access(name.c_str(), W_OK) == 0;
        if (!connect(*c, name, may_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, Q7E_CANTOPENFILE_g,
                     "cannot open file"))
            return nullptr;
        if (may_write && !c->writable && !c->exec("PRAGMA query_only=1")) return nullptr;
        ReadTxn *t = configure(*c) ? txns.read(c) : nullptr;
        if (!t || !read_identity(*t)) {
            // The file is closed again at once, not at the end of the call.
            if (t) txns.end(*c, false);
            Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "cannot open file %s", name.c_str());
            return nullptr;
        }
    }
    c->dev = st.st_dev;
    c->ino = st.st_ino;
    c->fileno = ((uint64_t)st.st_dev << 32) ^ (uint64_t)st.st_ino;
    try {
        open_files()[{st.st_dev, st.st_ino}] = c;
        arrange_exit_commit();
    } catch (...) {
        if (create) discard_new_file(*c, name);
        throw;
    }
    return c;
}

} // namespace q7::storage
