// storage_read_ahead.hpp - chunks decoded ahead of a scan, in the
// background.
//
// A read that continues a scan of a dataset (storage_io.cpp) fetches the
// next few stored blocks while it holds the library, and hands them to a
// pool of worker threads that lives from one call to the next.  The call
// returns as soon as its own blocks are in place, and the workers go on
// decoding while the caller does its own work (a Python loop, Dask's
// scheduler).  The next reads find the blocks pending in the dataset's
// cache: they wait for one being decoded, and decode one that no worker
// has started yet themselves.
//
// A block read ahead is decoded from bytes fetched in the read's snapshot,
// with the filters that read resolved (a plug-in stays loaded while a task
// holds it).  It touches neither the file nor the cache: the cache takes
// it only when a later read asks for it, under the library lock, after
// that read has checked that the file is still as it was.  A block that
// fails ahead is dropped with its records, and the read that needs it
// decodes it again and reports as on one thread.
//
// The pool stops at Q7close and at exit (queued blocks dropped, running
// ones waited for).  A child process after fork has none of its parent's
// workers: blocks pending from before the fork count as not read ahead,
// and the child starts a pool of its own.
#pragma once

#include "storage_chunk_cache.hpp"
#include "storage_chunks.hpp"

namespace q7::storage {

// Fetches the stored block `key` (coordinates bc) in t's snapshot and
// starts decoding it in the background, as a pending block of `kept`.
// Does nothing when the block is not stored or cannot be fetched (the read
// that needs it will say why).  `refs` come from resolve_for_tasks, and
// `nthreads` is the read's thread count, the calling thread included.
void read_ahead(ReadTxn &t, const DatasetObj &d, const Geometry &g, const std::vector<FilterRef> &refs,
                unsigned nthreads, const std::string &key, const q7size_t *bc, ChunkCache &kept);

// The decoded block of a pending task, once it is done: null when it
// failed or was dropped (Q7close, fork).  Calling thread, lock held.
std::shared_ptr<DecodedBlock> await_ahead(AheadTask &task);

// Stops the pool (library shutdown, exit).
void stop_read_ahead();

// Blocks handed to the pool, and blocks that reads took from it decoded,
// since the process started (for tests and measurements).
struct ReadAheadCounts {
    uint64_t handed = 0, taken = 0;
};
ReadAheadCounts read_ahead_counts();

} // namespace q7::storage
