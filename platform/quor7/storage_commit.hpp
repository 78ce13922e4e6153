// storage_commit.hpp - when and how changes reach the disk.  This module
// owns the commit policy of every file: its journal mode and sync level,
// the commit state of each connection (CommitState, below, a member of
// Container that only this module changes), the write transaction that
// spans public calls with one savepoint per call (class Txn), the commit
// points (Q7Fflush, closing, the pending-size bound, the close at process
// exit), building a new file, finishing a file, the waiting-out of busy
// answers, and the side files SQLite keeps beside a file.
//
// The rules, as documented for users in docs/file-format.md:
//  - a file open for writing keeps one write transaction open; it is
//    committed at Q7Fflush, when the file is closed (Q7Fclose, the last
//    identifier of the file closed, Q7close, or the close at process
//    exit), and after any call that leaves more than kCommitBoundBytes
//    pending;
//  - each public call is atomic: a call that fails undoes its own changes
//    and keeps earlier pending ones;
//  - nothing commits from inside a call on the file (a filter or other
//    callback calling back into the library): Q7Fflush, Q7Fclose and the
//    close of any identifier of that file fail there with a record, the
//    identifier stays open and the changes stay pending, since committing
//    then would commit half a call and closing without committing would
//    drop the pending calls;
//  - a commit that returned is on disk (unless the file was opened with
//    syncs off); a commit that failed leaves the file at its last commit.
#pragma once

#include "internal.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace q7::storage {

struct Container;

// The commit state of one connection, named in the manner of SQLite's
// pager.  Its fields are private: only the commit module (Txn and the
// functions of storage_commit.cpp, through CommitAccess) changes them, and
// it checks the invariants below at every transition (always, not only in
// debug builds: a broken one fails the call with an internal-error record).
//
//   Idle        no transaction; the connection sees the file as last
//               committed.                     depth 0, nothing pending
//   Reading     a read call holds its own snapshot (BEGIN ... COMMIT around
//               the call), so that a concurrent writer's commits are not
//               mixed into what it reads.      depth > 0, snapshot, nothing pending
//   WriteOpen   the write transaction spanning calls is open, no call is on
//               it; the calls since the last commit are pending.   depth 0
//   InCall      a call runs on the open write transaction: a write call
//               holds the call savepoint, a read call sees the pending
//               state.                         depth > 0, no snapshot
//   Doomed      an inner scope of the current call (Reading or InCall)
//               failed: the call fails, and a write call's own changes are
//               undone at its outermost end.   depth > 0
//   Committing  the write transaction, and first those of the files kept
//               open through links, are being committed; a link cycle that
//               reaches the file again finds it here.   depth 0
//
// Transitions: Idle -> Reading -> Idle (a read call); Idle -> WriteOpen
// (BEGIN IMMEDIATE at the first write call); WriteOpen -> InCall ->
// WriteOpen (a call); InCall -> Doomed -> WriteOpen (a failed call undone;
// -> Idle when SQLite had already rolled everything back); WriteOpen ->
// Committing -> Idle (a commit; -> WriteOpen when readers kept the file
// busy and the changes stay pending).
class CommitState {
public:
    enum class Phase : uint8_t { Idle, Reading, WriteOpen, InCall, Doomed, Committing };

    Phase phase() const { return phase_; }
    // A call's scope is open on this connection (Reading, InCall, Doomed).
    bool in_call() const { return depth_ > 0; }
    // The write transaction spanning calls is open.
    bool write_open() const {
        return phase_ == Phase::WriteOpen || phase_ == Phase::InCall || phase_ == Phase::Committing ||
               (phase_ == Phase::Doomed && !snapshot_);
    }
    // Bytes stored since the last commit (an estimate, toward the bound).
    uint64_t pending_bytes() const { return pending_bytes_; }
    static const char *name(Phase p);

private:
    friend class Txn;
    friend struct CommitAccess;

    Phase phase_ = Phase::Idle;
    unsigned depth_ = 0;         // nesting of Txn scopes of the current call
    bool savepoint_ = false;     // the current call holds the call savepoint
    bool snapshot_ = false;      // the current call holds its own read snapshot
    uint64_t pending_bytes_ = 0;
};

// The transaction of one public call on one container, the engine under
// ReadTxn and WriteTxn below (only they make one).
//
// A write scope joins the file's open write transaction (beginning it if
// none is open) and takes a savepoint for the call: commit() releases it,
// so the call's changes stay pending until the next commit point
// (Q7Fflush, the file's close, or the pending-size bound); a scope that
// ends without commit() rolls back exactly the call's own changes.
// A read scope gives the call one consistent snapshot: the pending state
// of a file open for writing, otherwise the file as last committed.
// Scopes nested on the same container (a callback calling back into the
// library) join the outermost one; an inner scope that fails undoes the
// whole call.
class Txn {
public:
    ~Txn();
    Txn(const Txn &) = delete;
    Txn &operator=(const Txn &) = delete;
    bool ok() const { return began_; }
    bool commit();

private:
    friend class ReadTxn;
    Txn(Container &c, bool write);
    bool end(bool success);

    Container &c_;
    bool write_;
    bool began_ = false;
    bool done_ = false;
};

// A transaction of the current call on one file, handed explicitly to
// every helper that runs a statement (its first argument): a helper that
// takes a ReadTxn only reads (a Stmt made from one refuses a statement
// that writes), one that takes a WriteTxn may write.  A WriteTxn serves
// wherever a ReadTxn is asked for.  Only a call's CallTxns makes them; it
// keeps the file open until the transaction ends.
class ReadTxn {
public:
    virtual ~ReadTxn() = default;
    ReadTxn(const ReadTxn &) = delete;
    ReadTxn &operator=(const ReadTxn &) = delete;

    Container &container() const { return *c_; }
    // True for a WriteTxn.
    bool writes() const { return write_; }

protected:
    ReadTxn(std::shared_ptr<Container> c, bool write) : c_(std::move(c)), write_(write), txn_(*c_, write) {}

private:
    friend class CallTxns;
    explicit ReadTxn(std::shared_ptr<Container> c) : ReadTxn(std::move(c), false) {}

    std::shared_ptr<Container> c_;  // declared first: outlives txn_
    bool write_;
    Txn txn_;
};

class WriteTxn final : public ReadTxn {
public:
    // Rows changed by the last statement, and the address of the last row
    // inserted, on this file.
    int changes() const;
    int64_t last_insert_rowid() const;
    // Runs statements without results (a new file's schema) in this
    // transaction; false with a record.
    bool exec(const char *sql);

private:
    friend class CallTxns;
    explicit WriteTxn(std::shared_ptr<Container> c) : ReadTxn(std::move(c), true) {}
};

// The transactions of one public call, one per file it touches, made by
// the storage frame below.  read() and write() join the transaction the
// call already holds on that file (a write one serves a read), or begin
// one; null with a record when it cannot begin (or when a change is asked
// of a file the call has only read so far).  When the body succeeds the
// frame ends every transaction, newest first; otherwise, or when the body
// throws, each rolls back exactly the call's own changes.
class CallTxns {
public:
    CallTxns() = default;
    ~CallTxns();
    CallTxns(const CallTxns &) = delete;
    CallTxns &operator=(const CallTxns &) = delete;

    ReadTxn *read(const std::shared_ptr<Container> &c);
    WriteTxn *write(const std::shared_ptr<Container> &c);
    // Ends the call's transaction on c early (kept when success is set,
    // undone otherwise); true when it ended well or there was none.  A
    // write transaction on one file is ended so before another file's is
    // taken, and a snapshot before callbacks run that may write the file.
    bool end(const Container &c, bool success = true);
    // Ends every transaction of the call, newest first; false (with a
    // record) when one of them did not end well.
    bool end_all();

private:
    static constexpr unsigned kMaxOpen = 40;  // files of one call, links followed included
    static constexpr unsigned kInline = 2;

    ReadTxn *find(const Container &c) const;
    template <class T>
    T *begin(const std::shared_ptr<Container> &c);
    bool end_at(unsigned i, bool success);
    void destroy(ReadTxn *t);

    ReadTxn *open_[kMaxOpen];  // in order of opening
    unsigned n_ = 0;
    // The first transactions live here, so that most calls allocate none.
    alignas(WriteTxn) unsigned char slot_[kInline][sizeof(WriteTxn)];
    bool slot_used_[kInline] = {};
};

// The frame of a public call that reads or writes files:
//
//     return storage::api_call("Q7Xdo", q7status_t{-1}, [&](ApiCall &api_, CallTxns &txns) -> q7status_t {
//         ReadTxn *t = txns.read(c);
//         if (!t || !some_helper(*t, ...)) return api_.fail(-1);
//         ...
//     });
//
// built on q7::api_call.  A body that returns without failing has every
// transaction ended, and a failed end fails the call with failval; a body
// that fails or throws has them rolled back.
template <class R, class Body>
R api_call(const char *name, R failval, Body &&body) noexcept {
    return q7::api_call(name, failval, [&](ApiCall &api_) -> R {
        CallTxns txns;
        R r = body(api_, txns);
        if (!api_.failed() && !txns.end_all()) return api_.fail(failval);
        return r;
    });
}

// Pending changes past this many bytes are committed at the end of the
// call that passed the mark, so that the journal and the page cache stay
// bounded.  A single call is never split: one larger call commits whole.
constexpr uint64_t kCommitBoundBytes = uint64_t{64} << 20;

// Page size of new files: large pages keep a chunk in few overflow pages.
constexpr int kPageSize = 16384;

// Suffixes of the side files SQLite may keep beside a file: the rollback
// journal, the write-ahead log and the log's shared index.
inline constexpr std::array<const char *, 3> kSideFileSuffixes = {"-journal", "-wal", "-shm"};

// True when a journal or log with content lies beside the file: a writer
// is at work or died before finishing, so the main file alone may not
// show the current state yet.
bool has_journal(const std::string &name);

// Removes the side files of `name` (and the file itself when `main_file`
// is set); a missing file is no failure.  Pushes a record on failure.
bool remove_file_set(const std::string &name, bool main_file);

// Makes an earlier file of this name consistent before it is replaced:
// a journal left by a crashed writer is rolled back (or a log folded in)
// by opening the file once, so that removing the side files afterwards
// can never leave a damaged file behind.
void settle_existing_file(const std::string &name);

// The file-level steps the library takes itself, outside SQLite: each
// does the system call (keeping errno) and reports it to a test observer
// (Q7fault_observe_files), so that tests can model what a disk holds.
bool fs_rename(const std::string &from, const std::string &to);
bool fs_link(const std::string &from, const std::string &to);
bool fs_unlink(const std::string &path);

// Syncs a file's contents, or the directory holding `path` (so that a
// rename or a creation in it is on disk).  Push a record on failure.
bool sync_file(const std::string &path);
bool sync_directory_of(const std::string &path);

// Name of the SQLite VFS that files are opened with (storage_vfs.cpp):
// it gathers consecutive page writes, and in test builds can fail syncs on
// demand.  Null if it could not be registered (then: the default one).
const char *vfs_name();
// File control of that layer: *(int *)arg non-zero asks it to start the
// kernel's write-back of a main file's bulk writes early (for files whose
// commits sync), zero stops it.
constexpr int kWritebackHintOp = 0x51370001;

// Sets the sync level (c.sync: commits wait for the disk), caches and,
// for a writer, the journal mode of a freshly opened connection: the
// rollback journal, or the write-ahead log when the writer shares the file
// with concurrent readers.
bool configure(Container &c);
// Locks a connection down before it reads a file that may come from
// anyone: views, triggers and schema-borne functions off, defensive mode,
// no value longer than the library writes (storage_commit_build.cpp).
void harden_connection(Container &c);

// Builds the content of a new file on the connection just opened on its
// temporary name: the page size, then fill() in one write transaction,
// committed; the file is left in rollback-journal mode, whatever the
// writer that opens it next chooses.  Its commits never sync, whatever
// c.sync asks: nothing reads the temporary file before it is complete, and
// publishing it syncs it once, whole (when c.sync is set).
bool build_content(CallTxns &txns, const std::shared_ptr<Container> &c, bool (*fill)(WriteTxn &t));

// Rolls back anything not committed and forgets the transaction state:
// the connection was closed (Container::close_db).
void forget_transaction(Container &c);

// Decides whether a busy or locked answer is waited out (and waits) or
// reported.  attempt counts from 0.
bool retry_busy(const Container &c, int rc, unsigned attempt);

// Notes bytes stored by the current call, toward the commit bound.
void note_pending(Container &c, uint64_t bytes);

// Commits the open write transaction, if any, and those of the files kept
// open through external links.  True when there was none or all
// committed.  On failure a record names the file: if readers kept the
// file busy the changes stay pending (a later flush or close tries again);
// otherwise they are dropped and the file stays at its last commit.
// A linked file with a call on it is left pending (it commits at its own
// commit points); c itself must have none (flush() and close_file() check).
bool commit_pending(Container &c);

// Q7Fflush: commits the pending changes.  From inside a call on the file
// it fails with a record and leaves them pending.
bool flush(Container &c);

// True when an identifier of the file may be closed now; from inside a
// call on the file, false with a record ("cannot close ... from inside a
// call on it"): the identifier stays open, the changes pending.
bool may_close(const Container &c);

// Q7Fclose, once the file identifier is released: commits, even while
// other identifiers keep the file open, and finishes the file when
// nothing else holds it.  False, with a record, when the commit or the
// close failed.
bool close_file(std::shared_ptr<Container> c);

// Commits and closes the connection.  False, with a record, when the
// commit or the close failed; the connection is closed either way.
bool finish(Container &c);

// Called when an identifier holding `c` has been released: finishes the
// file if nothing else holds it any more.
bool release_container(std::shared_ptr<Container> c);

// Keeps a file reached through an external link of `via` open as long as
// `via` is, so that changes made in it through the link are committed with
// via's flushes and at via's close, not dropped when the call ends.
void keep_linked(Container &via, const std::shared_ptr<Container> &target);

// Finishes every file open in this process (library close, process
// exit); on_failure, if given, is told the name of each file that could
// not be committed.  Every file is finished even when one fails.
bool finish_all(void (*on_failure)(const std::string &name) = nullptr);

// Files still open when the process exits normally are finished then
// (pending changes committed, a log folded in, the file standing alone):
// arranged once per process, by the process that opens files.
void arrange_exit_commit();

} // namespace q7::storage

// Everything else of the storage layer: files including this header keep
// seeing the container and the objects (storage_internal.hpp includes this
// header before it declares Container, whose member CommitState is).
#include "storage_internal.hpp"
