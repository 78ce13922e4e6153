// storage_commit_build.cpp - the commit module's part in building a new
// file (one write transaction, committed without syncs) and the settings
// of a freshly opened connection: sync level, caches, journal mode.
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

namespace {

bool configure_connection(Container &c, bool sync_commits) {
    // The page cache holds the pending changes of a call; past it, SQLite
    // spills pages to the file (appended chunk pages need no journal).
    if (!c.exec("PRAGMA cache_size=-16384; PRAGMA temp_store=MEMORY;")) return false;
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
