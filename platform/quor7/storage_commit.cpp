// storage_commit.cpp - the commit policy of every file (see
// storage_commit.hpp for the rules): transactions across calls, a
// savepoint per call, the transactions of a call, commit points,
// finishing, busy answers.  Building a new file and the settings of a
// connection are in storage_commit_build.cpp, side files and file-level
// steps in storage_commit_files.cpp.
#include "storage_commit.hpp"

#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <new>
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
    ++c.data_epoch;   // and blocks
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
    ++c.data_epoch;
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
    ++c.data_epoch;
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
// The transactions of a call
// ---------------------------------------------------------------------

int WriteTxn::changes() const { return sqlite3_changes(container().db); }

int64_t WriteTxn::last_insert_rowid() const { return sqlite3_last_insert_rowid(container().db); }

bool WriteTxn::exec(const char *sql) { return container().exec(sql); }

CallTxns::~CallTxns() {
    // Newest first, each undoing the call's own changes.
    while (n_ > 0) end_at(n_ - 1, false);
}

ReadTxn *CallTxns::find(const Container &c) const {
    for (unsigned i = 0; i < n_; ++i)
        if (open_[i]->c_.get() == &c) return open_[i];
    return nullptr;
}

template <class T>
T *CallTxns::begin(const std::shared_ptr<Container> &c) {
    if (n_ == kMaxOpen) {
        Q7_PUSH(Q7E_LINK_g, Q7E_BADRANGE_g, "one call reaches more than %u files (at %s)", kMaxOpen, c->name.c_str());
        return nullptr;
    }
    T *t = nullptr;
    unsigned slot = 0;
    while (slot < kInline && slot_used_[slot]) ++slot;
    if (slot < kInline) {
        t = new (slot_[slot]) T(c);
        slot_used_[slot] = true;
    } else {
        t = new T(c);
    }
    if (!t->txn_.ok()) {
        destroy(t);
        return nullptr;
    }
    open_[n_++] = t;
    return t;
}

void CallTxns::destroy(ReadTxn *t) {
    for (unsigned slot = 0; slot < kInline; ++slot)
        if (static_cast<void *>(t) == static_cast<void *>(slot_[slot])) {
            t->~ReadTxn();
            slot_used_[slot] = false;
            return;
        }
    delete t;
}

ReadTxn *CallTxns::read(const std::shared_ptr<Container> &c) {
    if (ReadTxn *t = find(*c)) return t;
    return begin<ReadTxn>(c);
}

WriteTxn *CallTxns::write(const std::shared_ptr<Container> &c) {
    if (ReadTxn *t = find(*c)) {
        if (t->write_) return static_cast<WriteTxn *>(t);
        // Writing now would commit with the snapshot's end, outside the
        // commit policy.
        Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal: a change to %s began inside a read", c->name.c_str());
        return nullptr;
    }
    return begin<WriteTxn>(c);
}

bool CallTxns::end_at(unsigned i, bool success) {
    ReadTxn *t = open_[i];
    for (unsigned k = i + 1; k < n_; ++k) open_[k - 1] = open_[k];
    --n_;
    bool ok = success ? t->txn_.commit() : true;
    destroy(t);  // without a commit: the call's changes are undone
    return ok;
}

bool CallTxns::end(const Container &c, bool success) {
    for (unsigned i = 0; i < n_; ++i)
        if (open_[i]->c_.get() == &c) return end_at(i, success);
    return true;
}

bool CallTxns::end_all() {
    bool ok = true;
    while (n_ > 0) ok = end_at(n_ - 1, ok) && ok;
    return ok;
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

} // namespace q7::storage
