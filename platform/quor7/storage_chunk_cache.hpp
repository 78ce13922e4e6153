// storage_chunk_cache.hpp - the decoded-chunk cache of an open dataset.
// Reading a chunk piece by piece (a row, a column at a time) would decode
// the whole chunk for every piece; the cache keeps recently decoded
// chunks, least recently used dropped first, up to a byte budget set on
// the dataset access list.  It only ever holds what the file holds: it is
// emptied when the file may have changed (a block stored or deleted by
// this process, a call undone, a commit of another process) and when the
// filters that decoded it may have (filters_epoch).
#pragma once

#include "storage_internal.hpp"

#include <list>

namespace q7::storage {

// A block being decoded in the background (storage_read_ahead.hpp).
struct AheadTask;

// A decoded block, shared by the cache and the reads using it.
struct DecodedBlock {
    BlockBuf buf;
    size_t bytes = 0;
};

class ChunkCache {
public:
    explicit ChunkCache(size_t capacity) : capacity_(capacity) {}
    size_t capacity() const { return capacity_; }

    // Empties the cache unless the file is exactly as when it was filled.
    // Called at the start of every read that uses it, inside the read's
    // snapshot.
    void check_current(Container &c);
    // The cached block with this key, or null.
    std::shared_ptr<DecodedBlock> find(const std::string &key);
    bool decoded(const std::string &key) const { return index_.count(key) != 0; }
    // Kept decoded, or pending.
    bool contains(const std::string &key) const { return index_.count(key) != 0 || pending_.count(key) != 0; }
    // Keeps a block (dropping the least recently used ones to make room).
    // A block larger than the whole budget is not kept.  Never throws: a
    // block that cannot be kept for want of memory is simply not cached.
    void insert(const std::string &key, std::shared_ptr<DecodedBlock> block) noexcept;
    size_t bytes() const { return bytes_; }

    // Blocks being decoded ahead of a scan, of `bytes` decoded bytes each:
    // counted by contains(), and taken out by the read that needs one.
    // They go with everything else when the file changes.
    void add_pending(const std::string &key, std::shared_ptr<AheadTask> task, size_t bytes);
    std::shared_ptr<AheadTask> take_pending(const std::string &key);
    size_t pending_bytes() const { return pending_bytes_; }

    // The key of the block just past the last one a scan of this dataset
    // planned (empty: none yet, or past the end).  Kept by the read-ahead
    // of storage_io.cpp.
    const std::string &scan_next() const { return next_; }
    void set_scan_next(std::string key) { next_ = std::move(key); }

private:
    using Lru = std::list<std::pair<std::string, std::shared_ptr<DecodedBlock>>>;
    void clear();

    size_t capacity_;
    size_t bytes_ = 0;
    Lru lru_;  // most recently used first
    std::unordered_map<std::string, Lru::iterator> index_;
    std::unordered_map<std::string, std::pair<std::shared_ptr<AheadTask>, size_t>> pending_;
    size_t pending_bytes_ = 0;
    uint64_t epoch_ = 0;         // the container's data_epoch when filled
    unsigned version_ = 0;       // SQLite's data version of the file then
    std::string next_;           // see scan_next()
    uint64_t filters_ = 0;       // filters_epoch() then
};

} // namespace q7::storage
