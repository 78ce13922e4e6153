// storage_chunk_tasks.cpp - blocks encoded and decoded on the worker pool.
#include "storage_chunk_tasks.hpp"

namespace q7::storage {

// ---- writing ---------------------------------------------------------

struct ChunkEncoder::Task final : PipelineTask {
    const DatasetObj *d = nullptr;
    const std::vector<FilterRef> *refs = nullptr;
    std::string key;
    BlockBuf buf;
    const void *src = nullptr;  // the input, when not in buf
    size_t raw = 0, size = 0, nbytes = 0;
    uint32_t mask = 0;

    bool run() override { return encode_block(*d, refs, buf, &size, &nbytes, &mask, src); }
};

ChunkEncoder::ChunkEncoder(WriteTxn &t, const DatasetObj &d, const Geometry &g, unsigned nthreads,
                           size_t total_bytes)
    : t_(t), d_(d), g_(g) {
    if (nthreads > 1 && !g.contiguous && !d.pipeline.empty() && total_bytes >= kMinParallelBytes &&
        total_bytes > g.block_elems * g.elem && resolve_for_tasks(d.pipeline, false, refs_))
        pool_.emplace(nthreads, current_api());
}

ChunkEncoder::~ChunkEncoder() = default;

bool ChunkEncoder::put(const q7size_t *bc, BlockBuf buf, const void *src) {
    if (!pool_) return encode_store(t_, d_, g_, bc, std::move(buf), src);
    auto task = std::make_shared<Task>();
    task->d = &d_;
    task->refs = &refs_;
    task->key = g_.key(bc);
    task->raw = task->size = task->nbytes = g_.stored_bytes(bc);
    task->buf = std::move(buf);
    task->src = src;
    pending_.push_back(task);
    in_flight_ += task->raw;
    pool_->submit(std::move(task));
    // Store what is done already, and wait for the oldest while too much
    // is in flight.
    while (!pending_.empty() && (in_flight_ > kMaxInFlightBytes || pending_.size() > pool_->max_in_flight() ||
                                 pool_->done(*pending_.front())))
        if (!store_oldest()) return false;
    return true;
}

bool ChunkEncoder::store_oldest() {
    std::shared_ptr<Task> task = std::move(pending_.front());
    pending_.pop_front();
    pool_->wait(*task);
    in_flight_ -= task->raw;
    if (!task->ok) {
        replay_records(task->records);
        return false;
    }
    return store_block(t_, d_.addr, task->key, task->mask, task->buf.get(), task->nbytes);
}

bool ChunkEncoder::finish() {
    while (!pending_.empty())
        if (!store_oldest()) return false;
    return true;
}

// ---- reading ---------------------------------------------------------

struct ChunkDecoder::Task final : PipelineTask {
    const DatasetObj *d = nullptr;
    const std::vector<FilterRef> *refs = nullptr;
    std::string key;
    std::vector<q7size_t> bc;
    size_t expect = 0, bytes = 0;
    uint32_t mask = 0;
    int found = -1;        // 1 stored, 0 not stored, -1 the fetch failed
    BlockBuf buf;
    void *dest = nullptr;  // decoded there instead of into buf
    struct Placed {
        q7size_t block_off;
        unsigned char *to;
        q7size_t n;
    };
    std::vector<Placed> pieces;  // copied to the caller's memory once decoded
    size_t elem = 0;
    bool swap = false, place = true;

    bool run() override {
        if (!decode_block(*d, refs, mask, buf, bytes, bytes, expect, dest)) return false;
        if (dest || !place) return true;
        const auto *from = static_cast<const unsigned char *>(buf.get());
        for (const Placed &p : pieces) {
            memcpy(p.to, from + p.block_off * elem, (size_t)(p.n * elem));
            if (swap) swap_bytes(p.to, (size_t)p.n, elem);
        }
        return true;
    }
};

ChunkDecoder::ChunkDecoder(ReadTxn &t, const DatasetObj &d, const Geometry &g, unsigned nthreads)
    : t_(t), d_(d), g_(g), nthreads_(nthreads) {
    may_run_ = nthreads > 1 && !g.contiguous && !d.pipeline.empty() && resolve_for_tasks(d.pipeline, true, refs_);
}

ChunkDecoder::~ChunkDecoder() = default;

size_t ChunkDecoder::plan(const std::string &key, const q7size_t *bc, void *dest) {
    auto task = std::make_shared<Task>();
    task->dest = dest;
    task->elem = g_.elem;
    task->d = &d_;
    task->refs = &refs_;
    task->key = key;
    task->bc.assign(bc, bc + g_.dims.size());
    task->expect = g_.stored_bytes(bc);
    planned_bytes_ += task->expect;
    index_.emplace(key, plan_.size());
    plan_.push_back(std::move(task));
    return plan_.size() - 1;
}

void ChunkDecoder::place(size_t index, q7size_t block_off, unsigned char *to, q7size_t n, bool swap) {
    Task &task = *plan_[index];
    if (task.dest || !task.place) return;
    if (task.pieces.size() == kMaxPlacedPieces) {
        task.place = false;
        task.pieces = {};
        return;
    }
    task.swap = swap;
    task.pieces.push_back({block_off, to, n});
}

void ChunkDecoder::start() {
    if (plan_.size() >= 2 && planned_bytes_ >= kMinParallelBytes) {
        pool_.emplace(nthreads_, current_api());
        return;
    }
    plan_.clear();
    index_.clear();
}

void ChunkDecoder::submit_through(size_t index) {
    while (next_submit_ < plan_.size() &&
           (next_submit_ <= index ||
            (in_flight_ < kMaxInFlightBytes && next_submit_ - index <= pool_->max_in_flight()))) {
        Task &task = *plan_[next_submit_++];
        // The fetch runs here, on the calling thread, but its records wait
        // with the task's until the walk reaches this block.
        task.records.api = current_api();
        {
            CaptureRecords capture(task.records);
            int64_t rowid = 0;
            task.found = find_block(t_, d_.addr, task.key, &rowid, &task.mask, &task.bytes);
            if (task.found == 1) {
                task.buf = fetch_block(t_, rowid, task.bytes);
                if (!task.buf) task.found = -1;
            }
        }
        if (task.found != 1) continue;
        in_flight_ += task.expect;
        pool_->submit(plan_[next_submit_ - 1]);
    }
}

std::shared_ptr<ChunkDecoder::Task> ChunkDecoder::finish(size_t index) {
    submit_through(index);
    std::shared_ptr<Task> task = std::move(plan_[index]);
    if (task->found == 1) {
        pool_->wait(*task);
        in_flight_ -= task->expect;
    }
    return task;
}

int ChunkDecoder::take(const std::string &key, std::shared_ptr<DecodedBlock> &out, bool *in_dest, bool *placed) {
    if (!pool_) return 0;
    auto it = index_.find(key);
    if (it == index_.end()) return 0;
    size_t index = it->second;
    index_.erase(it);
    std::shared_ptr<Task> task = finish(index);
    if (task->found == 0) {
        out.reset();
        return 1;
    }
    if (task->found < 0 || !task->ok) {
        replay_records(task->records);
        return -1;
    }
    if (task->dest) {
        out.reset();
        if (in_dest) *in_dest = true;
        return 1;
    }
    if (placed) *placed = task->place && !task->pieces.empty();
    out = std::make_shared<DecodedBlock>();
    out->buf = std::move(task->buf);
    out->bytes = task->expect;
    return 1;
}

} // namespace q7::storage
