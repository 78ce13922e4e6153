// storage_commit.cpp - the commit policy of every file (see
// storage_commit.hpp for the rules): transactions across calls, a
// savepoint per call, commit points, finishing, busy answers, side files.
#include "storage_commit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <thread>

namespace q7::storage {

using Phase = CommitState::Phase;

const char *CommitState::name(Phase p) {
    switch (p) {
    case Phase::Idle: return "Idle";
    case Phase::Reading: return "Reading";
    case Phase::WriteOpen: return "WriteOpen";
    case Phase::InCall: return "InCall";
    case Phase::Doomed: return "Doomed";
    case Phase::Committing: return "Committing";
    }
    return "?";
}

// The commit module's access to the private commit state of a container,
// with the invariants of each phase (storage_commit.hpp).
struct CommitAccess {
    static CommitState &of(Container &c) { return c.commit; }

    static bool holds(const CommitState &s) {
        switch (s.phase_) {
        case Phase::Idle:
            return s.depth_ == 0 && !s.savepoint_ && !s.snapshot_ && s.pending_bytes_ == 0;
        case Phase::WriteOpen:
        case Phase::Committing:
            return s.depth_ == 0 && !s.savepoint_ && !s.snapshot_;
        case Phase::Reading:
            return s.depth_ > 0 && s.snapshot_ && !s.savepoint_ && s.pending_bytes_ == 0;
        case Phase::InCall:
            return s.depth_ > 0 && !s.snapshot_;
        case Phase::Doomed:
            return s.depth_ > 0 && !(s.snapshot_ && s.savepoint_);
        }
        return false;
    }

    // Always-on check of a transition (NDEBUG builds drop assert): a
    // broken invariant fails the call with an internal-error record.
    static bool check(const Container &c, const char *where) {
        if (holds(c.commit)) return true;
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: commit state of %s broken (%s, depth %u) at %s",
                c.name.c_str(), CommitState::name(c.commit.phase_), c.commit.depth_, where);
        return false;
    }

    static void set(Container &c, Phase p) { c.commit.phase_ = p; }
    static void add_pending(Container &c, uint64_t bytes) { c.commit.pending_bytes_ += bytes; }
    // The connection is gone, and every transaction with it.
    static void reset(Container &c) { c.commit = CommitState(); }

    // Forgets the write transaction after SQLite ended it (a commit, or a
    // rollback SQLite made by itself after an I/O error).
    static void forget_write(Container &c) {
        ++c.shape_epoch;
        c.commit.phase_ = Phase::Idle;
        c.commit.pending_bytes_ = 0;
    }

    // Ends a call cut short without its scopes unwinding (the process exits
    // from inside a call): a write call's changes are undone, a read
    // snapshot ended; the calls before it stay pending.
    static void abandon_call(Container &c);
};

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
// Never throws: the commit state is changed around it.  A statement that
// the cache cannot take (for want of memory) runs once uncached, so that
// ending or undoing a call does not depend on one more allocation of ours.
int run_policy(Container &c, const char *sql) noexcept {
    if (!c.db) return SQLITE_MISUSE;
    sqlite3_stmt *s = nullptr;
    bool cached = true;
    try {
        s = c.prepare(sql, false);
    } catch (...) {
        s = nullptr;
    }
    if (!s) {
        cached = false;
        int rc = sqlite3_prepare_v2(c.db, sql, -1, &s, nullptr);
        if (rc != SQLITE_OK) return rc;
    }
    struct Finalize {
        sqlite3_stmt *s;
        bool cached;
        ~Finalize() {
            if (!cached) sqlite3_finalize(s);
        }
    } finalize{s, cached};
    for (unsigned n = 0;; ++n) {
        int rc = sqlite3_step(s);
        // The step's own code is the answer; reset only repeats it.
        sqlite3_reset(s);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
            q7::no_throw(false, [&] { c.count_retries(RI_SNAPSHOT, n); return true; });
            return SQLITE_OK;
        }
        if (!retry_busy(c, rc, n)) {
            q7::no_throw(false, [&] { c.count_retries(RI_SNAPSHOT, n); return true; });
            return rc;
        }
    }
}

bool in_transaction(const Container &c) { return c.db && !sqlite3_get_autocommit(c.db); }

// Undoes the changes of the current call (InCall or Doomed, savepoint
// held): back to WriteOpen.  If SQLite has already rolled the whole
// transaction back (it does so after some I/O errors), every pending
// change is gone, the record says so, and the file is Idle.
void undo_call(Container &c) {
    CommitState &st = CommitAccess::of(c);
    ++c.shape_epoch;  // the call may have changed an extent it now takes back
    if (in_transaction(c) && run_policy(c, kRollbackTo) == SQLITE_OK && run_policy(c, kRelease) == SQLITE_OK) {
        CommitAccess::set(c, Phase::WriteOpen);
        return;
    }
    if (in_transaction(c)) run_policy(c, kRollback);
    if (st.write_open())
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "changes to %s since it was last flushed are lost; the file is as last flushed",
                c.name.c_str());
    CommitAccess::forget_write(c);
}

// After some failures (out of memory in a statement, mostly) SQLite rolls
// the whole transaction back by itself.  When that took the open write
// transaction, every pending change is gone: the call that saw it says so,
// and the file is as last committed.  True when that happened.
bool lose_vanished_write(Container &c) {
    CommitState &st = CommitAccess::of(c);
    if (!st.write_open() || in_transaction(c)) return false;
    Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "changes to %s since it was last flushed are lost; the file is as last flushed",
            c.name.c_str());
    CommitAccess::forget_write(c);
    return true;
}

// Ends the current call's own read snapshot (Reading or Doomed): Idle.
void end_snapshot(Container &c) {
    if (in_transaction(c) && run_policy(c, kCommit) != SQLITE_OK) run_policy(c, kRollback);
    CommitAccess::set(c, Phase::Idle);
}

// Commits c and, first, the files kept open through its links.  Files
// with a call on them, reached through links, stay pending.
bool commit_tree(Container &c) {
    CommitState &st = CommitAccess::of(c);
    if (st.phase() == Phase::Committing || st.in_call()) return true;
    if (!CommitAccess::check(c, "a commit")) return false;
    const Phase before = st.phase();  // Idle or WriteOpen
    CommitAccess::set(c, Phase::Committing);
    bool linked_ok = true;
    for (auto &l : c.linked) linked_ok = commit_tree(*l) && linked_ok;
    CommitAccess::set(c, before);
    if (before != Phase::WriteOpen) return linked_ok;
    if (!c.db) {
        CommitAccess::forget_write(c);
        return false;
    }
    CommitAccess::set(c, Phase::Committing);
    bool injected = Q7fault_should_fail("storage:commit");
    int rc = injected ? SQLITE_IOERR : run_policy(c, kCommit);
    if (rc == SQLITE_OK) {
        CommitAccess::forget_write(c);
        return CommitAccess::check(c, "the end of a commit") && linked_ok;
    }
    if (injected) {
        Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "injected fault at the commit of %s", c.name.c_str());
    } else if (is_busy(rc) && in_transaction(c)) {
        CommitAccess::set(c, Phase::WriteOpen);
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g,
                "cannot commit changes to %s: readers kept it busy after %u retries; the changes stay pending",
                c.name.c_str(), c.max_retries);
        return false;
    } else {
        c.push_sqlite_error("committing", rc);
    }
    if (in_transaction(c)) run_policy(c, kRollback);
    CommitAccess::forget_write(c);
    Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g,
            "cannot commit changes to %s; they are lost and the file is as last flushed", c.name.c_str());
    return false;
}

} // namespace

void CommitAccess::abandon_call(Container &c) {
    CommitState &st = c.commit;
    if (!st.in_call()) return;
    st.depth_ = 0;
    if (st.savepoint_) {
        st.savepoint_ = false;
        undo_call(c);
    } else if (st.snapshot_) {
        st.snapshot_ = false;
        end_snapshot(c);
    } else {
        st.phase_ = Phase::WriteOpen;
    }
}

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

void note_pending(Container &c, uint64_t bytes) { CommitAccess::add_pending(c, bytes); }

// ---------------------------------------------------------------------
// The per-call frame
// ---------------------------------------------------------------------

Txn::Txn(Container &c, bool write) : c_(c), write_(write) {
    if (!c_.db) {
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTOPENFILE_g, "file %s is already closed", c_.name.c_str());
        return;
    }
    CommitState &st = c_.commit;
    if (!CommitAccess::check(c_, "the start of a call")) return;
    switch (st.phase_) {
    case Phase::Committing:
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: a call on %s began during its commit", c_.name.c_str());
        return;
    case Phase::Reading:
    case Phase::InCall:
    case Phase::Doomed:
        // Nested scopes join the outermost one.  Writing from inside a
        // call that began as a read would commit with the read's end,
        // outside the commit policy.
        if (write_ && !st.savepoint_) {
            Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: a change to %s began inside a read", c_.name.c_str());
            return;
        }
        ++st.depth_;
        began_ = true;
        return;
    case Phase::Idle:
        if (!write_) {
            // One snapshot for the whole call: a concurrent writer's later
            // commits are not mixed into what it reads.
            int rc = run_policy(c_, kBeginRead);
            if (rc != SQLITE_OK) {
                c_.push_sqlite_error("starting to read", rc);
                return;
            }
            ++c_.shape_epoch;
            st.snapshot_ = true;
            st.depth_ = 1;
            st.phase_ = Phase::Reading;
            began_ = CommitAccess::check(c_, "the start of a read");
            return;
        }
        {
            int rc = run_policy(c_, kBeginWrite);
            if (rc != SQLITE_OK) {
                c_.push_sqlite_error("starting to write", rc);
                return;
            }
        }
        st.phase_ = Phase::WriteOpen;
        // Another process may have written the file since our last
        // transaction.
        ++c_.shape_epoch;
        [[fallthrough]];
    case Phase::WriteOpen:
        if (write_) {
            int rc = run_policy(c_, kSavepoint);
            if (rc != SQLITE_OK) {
                c_.push_sqlite_error("starting a change", rc);
                lose_vanished_write(c_);
                return;
            }
            st.savepoint_ = true;
        }
        st.depth_ = 1;
        st.phase_ = Phase::InCall;
        began_ = CommitAccess::check(c_, "the start of a call");
        return;
    }
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
    CommitState &st = c_.commit;
    if (!st.in_call()) {
        // The call's state was taken from under it (the file was finished).
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: the call on %s ended twice (%s)", c_.name.c_str(),
                CommitState::name(st.phase_));
        return false;
    }
    if (!success) st.phase_ = Phase::Doomed;
    if (--st.depth_ > 0) return st.phase_ != Phase::Doomed;
    bool ok = st.phase_ != Phase::Doomed;
    if (st.savepoint_) {
        st.savepoint_ = false;
        if (ok && run_policy(c_, kRelease) != SQLITE_OK) {
            c_.push_sqlite_error("finishing a change", sqlite3_extended_errcode(c_.db));
            ok = false;
        }
        if (!ok) {
            undo_call(c_);
        } else {
            st.phase_ = Phase::WriteOpen;
            if (st.pending_bytes_ >= kCommitBoundBytes) ok = commit_tree(c_);
        }
    } else if (st.snapshot_) {
        st.snapshot_ = false;
        end_snapshot(c_);
    } else {
        st.phase_ = Phase::WriteOpen;  // a read call on the pending state
        if (lose_vanished_write(c_)) ok = false;
    }
    return CommitAccess::check(c_, "the end of a call") && ok;
}

// ---------------------------------------------------------------------
// Commit points
// ---------------------------------------------------------------------

bool commit_pending(Container &c) {
    if (c.commit.in_call()) {
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: a commit of %s was asked from inside a call on it",
                c.name.c_str());
        return false;
    }
    return commit_tree(c);
}

bool flush(Container &c) {
    if (c.commit.in_call()) {
        Q7_PUSH(Q7E_FILE_g, Q7E_WRITEERROR_g, "cannot flush %s from inside a call on it", c.name.c_str());
        return false;
    }
    // Commits what the calls since the last commit changed; with syncs on,
    // it is on disk when this returns.
    return commit_tree(c);
}

bool may_close(const Container &c) {
    if (!c.commit.in_call()) return true;
    Q7_PUSH(Q7E_FILE_g, Q7E_CANTCLOSEFILE_g,
            "cannot close %s from inside a call on it: it stays open and its changes pending", c.name.c_str());
    return false;
}

bool close_file(std::shared_ptr<Container> c) {
    bool committed = commit_pending(*c);
    return release_container(std::move(c)) && committed;
}

void forget_transaction(Container &c) { CommitAccess::reset(c); }

void Container::close_db() {
    for (auto &kv : stmts) sqlite3_finalize(kv.second);
    stmts.clear();
    // Closing with a transaction open rolls it back.
    if (db) sqlite3_close_v2(db);
    db = nullptr;
    forget_transaction(*this);
}

bool finish(Container &c) {
    if (!c.db) return true;
    // Only a process exiting from inside a call gets here with one on the
    // file: that call is undone, the calls before it commit.
    CommitAccess::abandon_call(c);
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
    CommitAccess::forget_write(c);
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

bool finish_all(void (*on_failure)(const std::string &name)) {
    bool ok = true;
    for (auto &c : open_containers()) {
        // One file that cannot even be reported on never keeps the others
        // from being finished.
        bool done = q7::no_throw(false, [&] { return finish(*c); });
        if (!done && on_failure) q7::no_throw(0, [&] {
            on_failure(c->name);
            return 0;
        });
        ok = done && ok;
    }
    return ok;
}

namespace {

// Only the process that opened files finishes them at exit (not a forked
// child), and only if no other thread is inside the library.
pid_t g_owner_pid = 0;

void report_exit_failure(const std::string &name) {
    std::fprintf(stderr, "quor7: changes to %s made since it was last flushed could not be committed at exit\n",
                 name.c_str());
}

void finish_files_at_exit() noexcept {
    if (getpid() != g_owner_pid) return;
    q7::no_throw(false, [] {
        std::unique_lock<std::recursive_mutex> lock(library_lock(), std::try_to_lock);
        return lock.owns_lock() && finish_all(report_exit_failure);
    });
}

} // namespace

void arrange_exit_commit() {
    if (g_owner_pid == getpid()) return;
    g_owner_pid = getpid();
    std::atexit(finish_files_at_exit);
}

// ---------------------------------------------------------------------
// Building a new file
// ---------------------------------------------------------------------

namespace {
bool configure_connection(Container &c, bool sync_commits);
}

bool build_content(Container &c, bool (*fill)(Container &c)) {
    char page_size[40];
    snprintf(page_size, sizeof page_size, "PRAGMA page_size=%d", kPageSize);
    // Nothing reads the temporary file before it is complete, and it is
    // synced once, whole, before it is published: its commit needs no
    // syncs of its own.
    bool ok = c.exec(page_size) && configure_connection(c, false);
    if (ok) {
        // Identity, schema and root group in one transaction.
        Txn t(c, true);
        ok = t.ok() && fill(c);
        ok = t.commit() && ok;
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
    Stmt mode(c, "PRAGMA journal_mode=DELETE");
    int rc = mode ? mode.step(RI_SETTINGS) : SQLITE_ERROR;
    if (rc != SQLITE_ROW) return false;
    if (mode.col_text(0) != "delete") {
        // Readers still hold the file in log mode: stay in it, with the
        // guarantees of that mode.
        c.concurrent_write = true;
        return c.exec(sync_commits ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    }
    return c.exec(sync_commits ? "PRAGMA synchronous=EXTRA" : "PRAGMA synchronous=OFF");
}

} // namespace

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
