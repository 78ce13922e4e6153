// storage_workers.hpp - the threads that run the filter pipeline of one
// multi-chunk read or write (and, living from one call to the next, the
// read-ahead's: storage_read_ahead.hpp).
//
// The calling thread holds the library lock for the whole call and does
// all container I/O; the filters of each chunk run as a task on a worker
// thread (or on the caller, while it waits).  A worker therefore never
// takes the library lock: while it runs a task it is in TaskMode, where
// the allocator and Q7Epush2 are served without the lock and every other
// public call fails with a record, and what it pushes is kept in the
// task's RecordSink.  The caller takes results back in chunk order and
// replays the records of the first task that failed, so a failing filter
// leaves the same records as on the calling thread alone.
#pragma once

#include "storage_internal.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace q7::storage {

// Bytes of blocks handed to the workers and not yet taken back by the
// calling thread: a read or write holds at most this much in flight (plus
// what its codecs need), whatever its size.
constexpr size_t kMaxInFlightBytes = (size_t)64 << 20;
// ... and at most this many blocks per thread: enough to keep every thread
// busy, few enough that the buffers of blocks in flight are reused by the
// allocator instead of being fresh memory, page-faulted anew.
constexpr size_t kTasksPerThread = 2;
// Calls moving less than this through the pipeline stay on one thread:
// starting a worker would cost more than it saves.
constexpr size_t kMinParallelBytes = (size_t)256 << 10;

// Threads (the calling one included) for a call whose transfer list asks
// for `requested` (0: QUOR7_NUM_THREADS, else the number of cores).  1
// while a fault is armed, so that fault points count the same calls.
unsigned pipeline_threads(int requested);

class PipelineTask {
public:
    virtual ~PipelineTask() = default;
    // What run() returned (false also when it threw), and what it pushed.
    bool ok = false;
    RecordSink records;

protected:
    // The filter work of one block; records go to `records`.
    virtual bool run() = 0;

private:
    friend class WorkerPool;
    enum class State { Queued, Running, Done };
    State state_ = State::Queued;
};

class WorkerPool {
public:
    // nthreads in all, the caller included; workers start at the first
    // submit.  `api` names the public call in the tasks' records.
    WorkerPool(unsigned nthreads, const char *api);
    // Drops the tasks nobody started and waits for the running ones.
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void submit(std::shared_ptr<PipelineTask> task);
    // Returns once `task` has run; the caller runs queued tasks meanwhile.
    void wait(PipelineTask &task);
    bool done(const PipelineTask &task);
    // Blocks worth keeping in flight for this pool's threads.
    size_t max_in_flight() const { return kTasksPerThread * (workers_wanted_ + 1); }
    // Raises the pool to nthreads in all (it never shrinks); the new
    // workers start at the next submit.
    void want_threads(unsigned nthreads) {
        if (nthreads > workers_wanted_ + 1) workers_wanted_ = nthreads - 1;
    }

    // Around fork(): hold_for_fork waits until no task runs and keeps
    // the workers from starting another (so that no lock a task may hold,
    // the allocator's among them, is copied held into the child);
    // release_after_fork lets them go on, in the parent and the child.
    void hold_for_fork();
    void release_after_fork();

private:
    void start_workers();
    void worker_loop();
    // Runs the oldest queued task (lock held on entry and on return).
    void run_next(std::unique_lock<std::mutex> &lk);
    void run_task(PipelineTask &task) noexcept;

    std::mutex m_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<std::shared_ptr<PipelineTask>> queue_;
    std::vector<std::thread> threads_;
    unsigned workers_wanted_;
    bool stop_ = false;
    unsigned running_ = 0;  // tasks being run, or their buffers freed
    const char *api_;
};

} // namespace q7::storage
