// storage_commit.hpp - when and how changes reach the disk.  This module
// owns the commit policy of every file: its journal mode and sync level,
// the write transaction that spans public calls with one savepoint per
// call (class Txn, declared in storage_internal.hpp), the commit points
// (Q7Fflush, closing, the pending-size bound), finishing a file, the
// waiting-out of busy answers, and the side files SQLite keeps beside a
// file.
//
// The rules, as documented for users in docs/file-format.md:
//  - a file open for writing keeps one write transaction open; it is
//    committed at Q7Fflush, when the file is closed (Q7Fclose, the last
//    identifier of the file closed, Q7close, or the close at process
//    exit), and after any call that leaves more than kCommitBoundBytes
//    pending;
//  - each public call is atomic: a call that fails undoes its own changes
//    and keeps earlier pending ones;
//  - a commit that returned is on disk (unless the file was opened with
//    syncs off); a commit that failed leaves the file at its last commit.
#pragma once

#include "storage_internal.hpp"

#include <array>

namespace q7::storage {

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

// Sets the sync level, caches and, for a writer, the journal mode of a
// freshly opened connection: the rollback journal, or the write-ahead
// log when the writer shares the file with concurrent readers.
bool configure(Container &c);

// Decides whether a busy or locked answer is waited out (and waits) or
// reported.  attempt counts from 0.
bool retry_busy(const Container &c, int rc, unsigned attempt);

// Notes bytes stored by the current call, toward the commit bound.
inline void note_pending(Container &c, uint64_t bytes) { c.pending_bytes += bytes; }

// Commits the open write transaction, if any, and those of the files kept
// open through external links.  True when there was none or all committed.  On failure a record names the file: if readers kept
// the file busy the changes stay pending (a later flush or close tries
// again); otherwise they are dropped and the file stays at its last
// commit.
bool commit_pending(Container &c);

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

// Finishes every file open in this process (library close, process exit).
bool finish_all();

} // namespace q7::storage
