// storage_chunk_tasks.hpp - the blocks of one Q7Dwrite or Q7Dread, encoded
// or decoded by the worker pool while the calling thread does the I/O.
//
// Writing, finished blocks are handed over in the order the walk finishes
// them and stored in that same order; reading, the walk first lists the
// blocks it will need, in the order it will need them, and the caller
// fetches them ahead (within kMaxInFlightBytes) while the workers decode.
// A block's records, of its fetch or its filters, are replayed only when
// the walk reaches it, so the first failing block in walk order is the
// one reported, exactly as on one thread.
#pragma once

#include "storage_chunk_cache.hpp"
#include "storage_chunks.hpp"
#include "storage_workers.hpp"

#include <optional>

namespace q7::storage {

class ChunkEncoder {
public:
    // Runs the pipeline on the pool when the call moves `total_bytes`
    // through it with more than one thread; else each block is encoded
    // and stored at once, on the calling thread.
    ChunkEncoder(WriteTxn &t, const DatasetObj &d, const Geometry &g, unsigned nthreads, size_t total_bytes);
    ~ChunkEncoder();
    // Encodes and stores a block of stored_bytes(bc) bytes (perhaps later),
    // held in `buf` or, given `src`, read from there: the caller's memory,
    // which stays as it is until finish().
    bool put(const q7size_t *bc, BlockBuf buf, const void *src = nullptr);
    // Stores every block handed over; false at the first that fails.
    bool finish();

private:
    struct Task;
    bool store_oldest();

    WriteTxn &t_;
    const DatasetObj &d_;
    const Geometry &g_;
    std::vector<FilterRef> refs_;
    std::deque<std::shared_ptr<Task>> pending_;
    size_t in_flight_ = 0;
    std::optional<WorkerPool> pool_;  // after pending_: joined before the tasks go
};

class ChunkDecoder {
public:
    ChunkDecoder(ReadTxn &t, const DatasetObj &d, const Geometry &g, unsigned nthreads);
    ~ChunkDecoder();
    // Whether planning is worth a walk: a filtered, chunked dataset and
    // more than one thread.
    bool may_run() const { return may_run_; }
    // The filters resolved for worker threads (when may_run()).
    const std::vector<FilterRef> &refs() const { return refs_; }
    // Adds the next block the walk will need (each block once); with
    // `dest`, a worker decodes it straight there (the caller's memory, the
    // block's stored size).  Returns the block's place in the plan.
    size_t plan(const std::string &key, const q7size_t *bc, void *dest = nullptr);
    // Where the planned block `index` is the caller's: `n` elements from
    // `block_off` in the block go to `to` in the caller's memory, bytes
    // swapped with `swap`.  The worker that decodes the block copies them
    // there, so that the calling thread does only the I/O; beyond
    // kMaxPlacedPieces pieces for one block, the calling thread copies
    // all of them instead.
    void place(size_t index, q7size_t block_off, unsigned char *to, q7size_t n, bool swap);
    static constexpr size_t kMaxPlacedPieces = 4096;
    size_t planned_bytes() const { return planned_bytes_; }
    // Starts the pool when the plan is worth it; else forgets it.
    void start();
    // The planned block `key`: 1 with `out` set (null: the block is not
    // stored, or *in_dest is set when it was decoded into its planned
    // destination; *placed is set when its pieces are in the caller's
    // memory already), 0 when it was not planned, -1 when its fetch or
    // decoding failed (its records are then on the caller's stack).
    int take(const std::string &key, std::shared_ptr<DecodedBlock> &out, bool *in_dest = nullptr,
             bool *placed = nullptr);

private:
    struct Task;
    void submit_through(size_t index);
    // Takes the task of `index` out of the plan, fetched and, when it was
    // stored, decoded (its records still held).
    std::shared_ptr<Task> finish(size_t index);

    ReadTxn &t_;
    const DatasetObj &d_;
    const Geometry &g_;
    unsigned nthreads_;
    bool may_run_ = false;
    std::vector<FilterRef> refs_;
    std::vector<std::shared_ptr<Task>> plan_;
    std::unordered_map<std::string, size_t> index_;
    size_t planned_bytes_ = 0, next_submit_ = 0, in_flight_ = 0;
    std::optional<WorkerPool> pool_;  // after plan_: joined before the tasks go
};

} // namespace q7::storage
