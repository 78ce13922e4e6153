// storage_chunk_cache.cpp - the decoded-chunk cache of an open dataset.
#include "storage_chunk_cache.hpp"

namespace q7::storage {

void ChunkCache::check_current(Container &c) {
    unsigned version = 0;
    // The pager's counter moves with every change of the file's content,
    // by this connection or another; our own epoch also covers what an
    // undone call took back, and the filters' epoch a filter replaced.
    if (!c.db || sqlite3_file_control(c.db, "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK) {
        clear();
        epoch_ = 0;
        return;
    }
    if (version != version_ || c.data_epoch != epoch_ || filters_epoch() != filters_) {
        clear();
        version_ = version;
        epoch_ = c.data_epoch;
        filters_ = filters_epoch();
    }
}

std::shared_ptr<DecodedBlock> ChunkCache::find(const std::string &key) {
    auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->second;
}

void ChunkCache::insert(const std::string &key, std::shared_ptr<DecodedBlock> block) noexcept {
    if (!block || block->bytes > capacity_ || epoch_ == 0) return;
    try {
        auto old = index_.find(key);
        if (old != index_.end()) {
            bytes_ -= old->second->second->bytes;
            lru_.erase(old->second);
            index_.erase(old);
        }
        while (bytes_ + block->bytes > capacity_ && !lru_.empty()) {
            bytes_ -= lru_.back().second->bytes;
            index_.erase(lru_.back().first);
            lru_.pop_back();
        }
        lru_.emplace_front(key, block);
        try {
            index_.emplace(key, lru_.begin());
        } catch (...) {
            lru_.pop_front();
            throw;
        }
        bytes_ += block->bytes;
    } catch (...) {
        // Not cached: the read goes on with its own reference.
    }
}

void ChunkCache::add_pending(const std::string &key, std::shared_ptr<AheadTask> task, size_t bytes) {
    if (epoch_ == 0 || !pending_.emplace(key, std::make_pair(std::move(task), bytes)).second) return;
    pending_bytes_ += bytes;
}

std::shared_ptr<AheadTask> ChunkCache::take_pending(const std::string &key) {
    auto it = pending_.find(key);
    if (it == pending_.end()) return nullptr;
    std::shared_ptr<AheadTask> task = std::move(it->second.first);
    pending_bytes_ -= it->second.second;
    pending_.erase(it);
    return task;
}

void ChunkCache::clear() {
    index_.clear();
    lru_.clear();
    bytes_ = 0;
    pending_.clear();
    pending_bytes_ = 0;
}

} // namespace q7::storage
