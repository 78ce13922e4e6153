// storage_commit.cpp - the commit policy of every file (see
// storage_commit.hpp for the rules): transactions across calls, a
// savepoint per call, commit points, finishing, busy answers, side files.
#include "storage_commit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace q7::storage {

namespace {

// Statements of the commit policy, prepared once per connection.
const char *const kBeginWrite = "BEGIN IMMEDIATE";
const char *const kBeginRead = "BEGIN";
const char *const kCommit = "COMMIT";
const char *const kRollback = "ROLLBACK";
const char *const kSavepoint = "SAVEPOINT q7call";
const char *const kRelease = "RELEASE q7call";
const char *const kRollbackTo = "ROLLBACK TO q7call";

// Runs one statement of the policy, waiting out busy answers.  Pushes
// nothing: callers word the record, since only they know what failed.
int run_policy(Container &c, const char *sql) {
    sqlite3_stmt *s = c.prepare(sql, false);
    if (!s) return c.db ? sqlite3_extended_errcode(c.db) : SQLITE_MISUSE;
    for (unsigned n = 0;; ++n) {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
            c.count_retries(RI_SNAPSHOT, n);
            return SQLITE_OK;
        }
        if (!retry_busy(c, rc, n)) {
            c.count_retries(RI_SNAPSHOT, n);
            return rc;
        }
    }
}

// Forgets the write transaction after SQLite ended it (a commit, or a
// rollback SQLite made by itself after an I/O error).
void forget_write(Container &c) {
    ++c.shape_epoch;
    c.write_open = false;
    c.pending_bytes = 0;
}

// Undoes the changes of the current call.  If SQLite has already rolled
// the whole transaction back (it does so after some I/O errors), every
// pending change is gone, and the record says so.
void undo_call(Container &c) {
    ++c.shape_epoch;  // the call may have changed an extent it now takes back
    if (c.db && !sqlite3_get_autocommit(c.db) && run_policy(c, kRollbackTo) == SQLITE_OK &&
        run_policy(c, kRelease) == SQLITE_OK)
        return;
    if (c.db && !sqlite3_get_autocommit(c.db)) run_policy(c, kRollback);
    if (c.write_open)
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "changes to %s since it was last flushed are lost; the file is as last flushed",
                c.name.c_str());
    forget_write(c);
}

} // namespace

bool retry_busy(const Container &c, int rc, unsigned attempt) {
    if (!is_busy(rc) || attempt >= c.max_retries) return false;
    wait_busy(attempt);
    return true;
}

bool is_busy(int rc) {
    int prim = rc & 0xff;
    return prim == SQLITE_BUSY || prim == SQLITE_LOCKED;
}

void wait_busy(unsigned attempt) {
    unsigned shift = attempt < 7 ? attempt : 7;
    std::this_thread::sleep_for(std::chrono::microseconds(100u << shift));
}

// ---------------------------------------------------------------------
// The per-call frame
// ---------------------------------------------------------------------

Txn::Txn(Container &c, bool write) : c_(c), write_(write) {
    if (!c_.db) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "file %s is already closed", c_.name.c_str());
        return;
    }
    if (c_.txn_depth == 0) {
        c_.txn_doomed = false;
        if (write_) {
            if (!c_.write_open) {
                int rc = run_policy(c_, kBeginWrite);
                if (rc != SQLITE_OK) {
                    c_.push_sqlite_error("starting to write", rc);
                    return;
                }
                c_.write_open = true;
                // Another process may have written the file since our last
                // transaction.
                ++c_.shape_epoch;
            }
            int rc = run_policy(c_, kSavepoint);
            if (rc != SQLITE_OK) {
                c_.push_sqlite_error("starting a change", rc);
                return;
            }
            c_.call_savepoint = true;
        } else if (!c_.write_open) {
            // One snapshot for the whole call: a concurrent writer's later
            // commits are not mixed into what it reads.
            int rc = run_policy(c_, kBeginRead);
            if (rc != SQLITE_OK) {
                c_.push_sqlite_error("starting to read", rc);
                return;
            }
            c_.read_open = true;
            ++c_.shape_epoch;
        }
    } else if (write_ && !c_.call_savepoint) {
        // Writing from inside a call that began as a read would commit
        // with the read's end, outside the commit policy.
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: a change to %s began inside a read", c_.name.c_str());
        return;
    }
    ++c_.txn_depth;
    began_ = true;
}

bool Txn::commit() {
    if (!began_ || done_) return false;
    return end(true);
}

Txn::~Txn() {
    if (began_ && !done_) end(false);
}

bool Txn::end(bool success) {
    done_ = true;
    if (!success) c_.txn_doomed = true;
    if (--c_.txn_depth > 0) return !c_.txn_doomed;
    bool ok = !c_.txn_doomed;
    if (c_.call_savepoint) {
        c_.call_savepoint = false;
        if (ok && run_policy(c_, kRelease) != SQLITE_OK) {
            c_.push_sqlite_error("finishing a change", sqlite3_extended_errcode(c_.db));
            ok = false;
        }
        if (!ok) {
            undo_call(c_);
        } else if (c_.pending_bytes >= kCommitBoundBytes) {
            ok = commit_pending(c_);
        }
    } else if (c_.read_open) {
        c_.read_open = false;
        if (c_.db && !sqlite3_get_autocommit(c_.db) && run_policy(c_, kCommit) != SQLITE_OK)
            run_policy(c_, kRollback);
    }
    return ok;
}

// ---------------------------------------------------------------------
// Commit points
// ---------------------------------------------------------------------

bool commit_pending(Container &c) {
    if (c.committing) return true;
    bool linked_ok = true;
    c.committing = true;
    for (auto &l : c.linked) linked_ok = commit_pending(*l) && linked_ok;
    c.committing = false;
    if (!c.write_open) return linked_ok;
    if (!c.db) {
        forget_write(c);
        return false;
    }
    bool injected = Q7fault_should_fail("storage:commit");
    int rc = injected ? SQLITE_IOERR : run_policy(c, kCommit);
    if (rc == SQLITE_OK) {
        forget_write(c);
        return linked_ok;
    }
    if (injected)
        Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "injected fault at the commit of %s", c.name.c_str());
    else if (is_busy(rc) && !sqlite3_get_autocommit(c.db)) {
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g,
                "cannot commit changes to %s: readers kept it busy after %u retries; the changes stay pending",
                c.name.c_str(), c.max_retries);
        return false;
    } else {
        c.push_sqlite_error("committing", rc);
    }
    if (!sqlite3_get_autocommit(c.db)) run_policy(c, kRollback);
    forget_write(c);
    Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g,
            "cannot commit changes to %s; they are lost and the file is as last flushed", c.name.c_str());
    return false;
}

bool finish(Container &c) {
    if (!c.db) return true;
    bool ok = commit_pending(c);
    auto linked = std::move(c.linked);
    c.linked.clear();
    for (auto &l : linked) ok = release_container(std::move(l)) && ok;
    for (auto &kv : c.stmts) sqlite3_finalize(kv.second);
    c.stmts.clear();
    // In log mode the last connection to close folds the log into the
    // main file and removes it, so that the file stands alone.
    int rc = sqlite3_close(c.db);
    if (rc != SQLITE_OK) {
        c.push_sqlite_error("closing", rc);
        sqlite3_close_v2(c.db);
        ok = false;
    }
    c.db = nullptr;
    forget_write(c);
    return ok;
}

bool release_container(std::shared_ptr<Container> c) {
    if (!c || c.use_count() > 1) return true;
    return finish(*c);
}

void keep_linked(Container &via, const std::shared_ptr<Container> &target) {
    if (!via.writable || target.get() == &via) return;
    for (auto &l : via.linked)
        if (l == target) return;
    via.linked.push_back(target);
}

bool finish_all() {
    bool ok = true;
    for (auto &c : open_containers()) ok = finish(*c) && ok;
    return ok;
}

// ---------------------------------------------------------------------
// Connection settings
// ---------------------------------------------------------------------

bool configure(Container &c) {
    // The page cache holds the pending changes of a call; past it, SQLite
    // spills pages to the file (appended chunk pages need no journal).
    if (!c.exec("PRAGMA cache_size=-16384; PRAGMA temp_store=MEMORY;")) return false;
    if (!c.writable) return true;
    // A commit that syncs finds most of a bulk write on disk already.
    int early = c.sync ? 1 : 0;
    sqlite3_file_control(c.db, "main", kWritebackHintOp, &early);
    if (c.concurrent_write) {
        // Write-ahead log: readers in other processes go on reading while
        // the writer commits.  FULL syncs the log at every commit, so a
        // flush that returned is on disk; the log is folded into the main
        // file once it passes 512 MiB, and at the last close.
        return c.exec("PRAGMA journal_mode=WAL") &&
               c.exec(c.sync ? "PRAGMA synchronous=FULL; PRAGMA wal_autocheckpoint=8192;"
                             : "PRAGMA synchronous=OFF; PRAGMA wal_autocheckpoint=8192;");
    }
    // Rollback journal: pages appended to the file (new chunks) are
    // written once, only pages that existed before are journaled.  EXTRA
    // is FULL plus a sync of the directory once the journal is deleted,
    // which is the moment a commit becomes permanent.
    Stmt mode(c, "PRAGMA journal_mode=DELETE");
    int rc = mode ? mode.step(RI_SETTINGS) : SQLITE_ERROR;
    if (rc != SQLITE_ROW) return false;
    if (mode.col_text(0) != "delete") {
        // Readers still hold the file in log mode: stay in it, with the
        // guarantees of that mode.
        c.concurrent_write = true;
        return c.exec(c.sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    }
    return c.exec(c.sync ? "PRAGMA synchronous=EXTRA" : "PRAGMA synchronous=OFF");
}

// ---------------------------------------------------------------------
// Side files and file-level steps
// ---------------------------------------------------------------------

bool has_journal(const std::string &name) {
    for (const char *suffix : kSideFileSuffixes) {
        if (std::string(suffix) == "-shm") continue;  // an index, never content
        struct stat st;
        if (::stat((name + suffix).c_str(), &st) == 0 && st.st_size > 0) return true;
    }
    return false;
}

bool fs_rename(const std::string &from, const std::string &to) {
    int rc = ::rename(from.c_str(), to.c_str());
    int err = errno;
    Q7fault_file_event(Q7FAULT_FILE_RENAMED, from.c_str(), to.c_str(), rc);
    errno = err;
    return rc == 0;
}

bool fs_link(const std::string &from, const std::string &to) {
    int rc = ::link(from.c_str(), to.c_str());
    int err = errno;
    Q7fault_file_event(Q7FAULT_FILE_LINKED, from.c_str(), to.c_str(), rc);
    errno = err;
    return rc == 0;
}

bool fs_unlink(const std::string &path) {
    int rc = ::unlink(path.c_str());
    int err = errno;
    if (rc == 0) Q7fault_file_event(Q7FAULT_FILE_UNLINKED, path.c_str(), nullptr, rc);
    errno = err;
    return rc == 0;
}

bool remove_file_set(const std::string &name, bool main_file) {
    auto remove_one = [](const std::string &n) {
        if (fs_unlink(n) || errno == ENOENT) return true;
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot remove %s: %s", n.c_str(), strerror(errno));
        return false;
    };
    bool ok = true;
    // The main file goes first: side files without it are never applied.
    if (main_file) ok = remove_one(name);
    for (const char *suffix : kSideFileSuffixes) ok = remove_one(name + suffix) && ok;
    return ok;
}

void settle_existing_file(const std::string &name) {
    if (!has_journal(name)) return;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

bool sync_file(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    Q7fault_file_event(Q7FAULT_FILE_SYNCED, path.c_str(), nullptr, ok ? 0 : -1);
    if (!ok) Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "cannot sync %s to disk: %s", path.c_str(), strerror(errno));
    if (fd >= 0) ::close(fd);
    return ok;
}

bool sync_directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && (::fsync(fd) == 0 || errno == EINVAL);  // some file systems cannot sync directories
    Q7fault_file_event(Q7FAULT_DIR_SYNCED, dir.c_str(), nullptr, ok ? 0 : -1);
    if (!ok) Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "cannot sync directory %s to disk: %s", dir.c_str(), strerror(errno));
    if (fd >= 0) ::close(fd);
    return ok;
}

} // namespace q7::storage
