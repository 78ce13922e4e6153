// storage_commit_build.cpp - the commit module's part in building a new
// file (one write transaction, committed without syncs) and the settings
// of a freshly opened connection: sync level, caches, journal mode.
#include "storage_chunks.hpp"
#include "storage_commit.hpp"

#include <cstdio>
#include <cstring>

namespace q7::storage {

// ---------------------------------------------------------------------
// Building a new file
// ---------------------------------------------------------------------

namespace {
bool configure_connection(Container &c, bool sync_commits);
}

bool build_content(CallTxns &txns, const std::shared_ptr<Container> &cp, bool (*fill)(WriteTxn &t)) {
    Container &c = *cp;
    char page_size[40];
    snprintf(page_size, sizeof page_size, "PRAGMA page_size=%d", kPageSize);
    // Nothing reads the temporary file before it is complete, and it is
    // synced once, whole, before it is published: its commit needs no
    // syncs of its own.
    bool ok = c.exec(page_size) && configure_connection(c, false);
    if (ok) {
        // Identity, schema and root group in one transaction, ended here:
        // the file is committed and closed before the call goes on.
        WriteTxn *t = txns.write(cp);
        ok = t && fill(*t);
        ok = txns.end(c, ok) && ok;
    }
    ok = ok && commit_pending(c);
    // Leaves the file in rollback-journal mode, whatever the writer that
    // opens it next chooses.
    return ok && c.exec("PRAGMA journal_mode=DELETE");
}

// ---------------------------------------------------------------------
// Connection settings
// ---------------------------------------------------------------------

bool configure(Container &c) { return configure_connection(c, c.sync); }

// The largest value the library ever stores: a chunk of kMaxBlockBytes as
// the pipeline may grow it (storage_filters.cpp caps an encoded chunk at a
// sixteenth more), with room to spare.  Anything longer is damage, and
// SQLite refuses to build it (SQLITE_TOOBIG) rather than allocate it.
constexpr int kMaxValueBytes = (int)(kMaxBlockBytes + (kMaxBlockBytes >> 4) + ((q7size_t)1 << 20));
static_assert(kMaxBlockBytes + (kMaxBlockBytes >> 4) + ((q7size_t)1 << 20) < (q7size_t)1 << 30,
              "SQLite's own limit on a value is 1 GB");

void harden_connection(Container &c) {
    // SQLite's advice for files from untrusted sources: nothing in the
    // schema runs (views and triggers off, the schema's functions limited
    // to harmless ones), defensive mode, and a bound on value sizes.  The
    // schema itself is checked at open (storage_container.cpp).
    int unused = 0;
#ifdef SQLITE_DBCONFIG_ENABLE_VIEW
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, &unused);
#endif
#ifdef SQLITE_DBCONFIG_ENABLE_TRIGGER
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, &unused);
#endif
#ifdef SQLITE_DBCONFIG_DEFENSIVE
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_DEFENSIVE, 1, &unused);
#endif
#ifdef SQLITE_DBCONFIG_TRUSTED_SCHEMA
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &unused);
#endif
#ifdef SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, &unused);
#endif
    sqlite3_limit(c.db, SQLITE_LIMIT_LENGTH, kMaxValueBytes);
}

namespace {

bool configure_connection(Container &c, bool sync_commits) {
    // The page cache holds the pending changes of a call; past it, SQLite
    // spills pages to the file (appended chunk pages need no journal).
    // trusted_schema, cell_size_check and no memory-mapped reads are
    // SQLite's advice for files from others (with harden_connection).
    if (!c.exec("PRAGMA cache_size=-16384; PRAGMA temp_store=MEMORY; PRAGMA trusted_schema=OFF;"
                " PRAGMA cell_size_check=ON; PRAGMA mmap_size=0;"))
        return false;
    if (!c.writable) return true;
    // A commit that syncs finds most of a bulk write on disk already.
    int early = sync_commits ? 1 : 0;
    sqlite3_file_control(c.db, "main", kWritebackHintOp, &early);
    if (c.concurrent_write) {
        // Write-ahead log: readers in other processes go on reading while
        // the writer commits.  FULL syncs the log at every commit, so a
        // flush that returned is on disk; the log is folded into the main
        // file once it passes 512 MiB, and at the last close.
        return c.exec("PRAGMA journal_mode=WAL") &&
               c.exec(sync_commits ? "PRAGMA synchronous=FULL; PRAGMA wal_autocheckpoint=8192;"
                             : "PRAGMA synchronous=OFF; PRAGMA wal_autocheckpoint=8192;");
    }
    // Rollback journal: pages appended to the file (new chunks) are
    // written once, only pages that existed before are journaled.  EXTRA
    // is FULL plus a sync of the directory once the journal is deleted,
    // which is the moment a commit becomes permanent.
    // Run on the connection itself, as the other settings are: no call's
    // transaction is open on it yet.
    sqlite3_stmt *mode = c.prepare("PRAGMA journal_mode=DELETE");
    if (!mode) return false;
    int rc;
    for (unsigned n = 0;; ++n) {
        rc = sqlite3_step(mode);
        if (rc == SQLITE_ROW || !retry_busy(c, rc, n)) {
            c.count_retries(RI_SETTINGS, n);
            break;
        }
        sqlite3_reset(mode);
    }
    if (rc != SQLITE_ROW) {
        c.push_sqlite_error("changing file settings", rc);
        sqlite3_reset(mode);
        return false;
    }
    const unsigned char *now = sqlite3_column_text(mode, 0);
    bool in_log = !now || std::strcmp((const char *)now, "delete") != 0;
    sqlite3_reset(mode);
    if (in_log) {
        // Readers still hold the file in log mode: stay in it, with the
        // guarantees of that mode.
        c.concurrent_write = true;
        return c.exec(sync_commits ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    }
    return c.exec(sync_commits ? "PRAGMA synchronous=EXTRA" : "PRAGMA synchronous=OFF");
}

} // namespace

} // namespace q7::storage
