// storage_read_ahead.cpp - the background pool that decodes blocks ahead
// of a scan.
#include "storage_read_ahead.hpp"

#include "storage_workers.hpp"

#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

namespace q7::storage {

struct AheadTask final : PipelineTask {
    std::vector<FilterEntry> pipeline;
    std::vector<FilterRef> refs;
    uint32_t mask = 0;
    BlockBuf buf;
    size_t bytes = 0, expect = 0;
    uint64_t generation = 0;  // of the pool it was handed to

    bool run() override {
        size_t size = bytes ? bytes : 1, nbytes = bytes;
        return pipeline_decode(pipeline, &refs, mask, buf, &size, &nbytes, expect);
    }
};

namespace {

// The pool and the process it belongs to.  Used by calling threads under
// the library lock only (and at exit).  A new generation starts whenever
// the pool goes: tasks of an older one are never waited for.
WorkerPool *g_pool = nullptr;
pid_t g_pid = 0;
uint64_t g_generation = 1;
ReadAheadCounts g_counts;

// Around fork(): see WorkerPool::hold_for_fork.  The pool is the
// parent's; the child leaves it alone (pool() below).
WorkerPool *g_held = nullptr;
void before_fork() {
    g_held = g_pool && g_pid == getpid() ? g_pool : nullptr;
    if (g_held) g_held->hold_for_fork();
}
void after_fork() {
    if (g_held) g_held->release_after_fork();
    g_held = nullptr;
}

WorkerPool &pool(unsigned nthreads) {
    if (g_pool && g_pid != getpid()) {
        // Forked: the workers are the parent's and do not run here.  The
        // pool is left alone, never touched.
        g_pool = nullptr;
        ++g_generation;
    }
    if (!g_pool) {
        static const bool hooked = [] {
            std::atexit(stop_read_ahead);
            pthread_atfork(before_fork, after_fork, after_fork);
            return true;
        }();
        (void)hooked;
        g_pool = new WorkerPool(nthreads, "Q7Dread");
        g_pid = getpid();
    }
    g_pool->want_threads(nthreads);
    return *g_pool;
}

} // namespace

void read_ahead(ReadTxn &t, const DatasetObj &d, const Geometry &g, const std::vector<FilterRef> &refs,
                unsigned nthreads, const std::string &key, const q7size_t *bc, ChunkCache &kept) {
    // Whatever goes wrong here is the business of the read that needs the
    // block, if one does: its records are not this call's.
    RecordSink dropped;
    CaptureRecords capture(dropped);
    try {
        auto task = std::make_shared<AheadTask>();
        int64_t rowid = 0;
        if (find_block(t, d.addr, key, &rowid, &task->mask, &task->bytes) != 1) return;
        task->buf = fetch_block(t, rowid, task->bytes);
        if (!task->buf) return;
        task->pipeline = d.pipeline;
        task->refs = refs;
        task->expect = g.stored_bytes(bc);
        WorkerPool &p = pool(nthreads);
        task->generation = g_generation;
        // Handed over first: a pending block that no pool had would be
        // waited for in vain.
        p.submit(task);
        ++g_counts.handed;
        kept.add_pending(key, std::move(task), g.stored_bytes(bc));
    } catch (const std::bad_alloc &) {
        // Not read ahead.
    }
}

std::shared_ptr<DecodedBlock> await_ahead(AheadTask &task) {
    if (!g_pool || task.generation != g_generation || g_pid != getpid()) return nullptr;
    g_pool->wait(task);
    if (!task.ok) return nullptr;
    ++g_counts.taken;
    auto block = std::make_shared<DecodedBlock>();
    block->buf = std::move(task.buf);
    block->bytes = task.expect;
    return block;
}

ReadAheadCounts read_ahead_counts() {
    std::lock_guard<std::recursive_mutex> g(library_lock());
    return g_counts;
}

void stop_read_ahead() {
    if (g_pool && g_pid == getpid()) delete g_pool;
    g_pool = nullptr;
    ++g_generation;
}

} // namespace q7::storage
