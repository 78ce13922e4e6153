// storage_workers.cpp - the pipeline's worker threads.
#include "storage_workers.hpp"

#include <cstdlib>

namespace q7::storage {

unsigned pipeline_threads(int requested) {
    if (any_fault_armed()) return 1;
    long n = requested;
    if (n <= 0) {
        const char *env = std::getenv("QUOR7_NUM_THREADS");
        char *end = nullptr;
        long v = env && *env ? std::strtol(env, &end, 10) : 0;
        // Asked once: glibc opens and reads a file of /sys for it each time,
        // a cost every small read call would pay.
        static const long cores = (long)std::thread::hardware_concurrency();
        n = env && *env && end && *end == '\0' && v > 0 ? v : cores;
    }
    if (n < 1) n = 1;
    if (n > Q7_MAX_THREADS) n = Q7_MAX_THREADS;
    return (unsigned)n;
}

WorkerPool::WorkerPool(unsigned nthreads, const char *api)
    : workers_wanted_(nthreads > 1 ? nthreads - 1 : 0), api_(api) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
        queue_.clear();
    }
    work_cv_.notify_all();
    for (std::thread &t : threads_) t.join();
}

void WorkerPool::start_workers() {
    // A thread that cannot be started leaves its share to the caller,
    // which runs queued tasks while it waits.
    while (threads_.size() < workers_wanted_) {
        try {
            threads_.emplace_back([this] { worker_loop(); });
        } catch (...) {
            workers_wanted_ = (unsigned)threads_.size();
        }
    }
}

void WorkerPool::submit(std::shared_ptr<PipelineTask> task) {
    task->records.api = api_;
    {
        std::lock_guard<std::mutex> g(m_);
        queue_.push_back(std::move(task));
    }
    work_cv_.notify_one();
    if (threads_.size() < workers_wanted_) start_workers();
}

bool WorkerPool::done(const PipelineTask &task) {
    std::lock_guard<std::mutex> g(m_);
    return task.state_ == PipelineTask::State::Done;
}

void WorkerPool::run_next(std::unique_lock<std::mutex> &lk) {
    std::shared_ptr<PipelineTask> task = std::move(queue_.front());
    queue_.pop_front();
    task->state_ = PipelineTask::State::Running;
    ++running_;
    lk.unlock();
    run_task(*task);
    lk.lock();
    task->state_ = PipelineTask::State::Done;
    done_cv_.notify_all();
    // When nobody waits for it any more (a block read ahead that its cache
    // dropped), the task goes here: its buffers go back through
    // Q7free_memory, which must neither take the library lock on a worker
    // nor run under this pool's lock.
    lk.unlock();
    {
        TaskMode mode;
        task.reset();
    }
    lk.lock();
    if (--running_ == 0) done_cv_.notify_all();
}

void WorkerPool::hold_for_fork() {
    std::unique_lock<std::mutex> lk(m_);
    done_cv_.wait(lk, [this] { return running_ == 0; });
    lk.release();
}

void WorkerPool::release_after_fork() { m_.unlock(); }

void WorkerPool::wait(PipelineTask &task) {
    std::unique_lock<std::mutex> lk(m_);
    while (task.state_ != PipelineTask::State::Done) {
        if (!queue_.empty())
            run_next(lk);
        else
            done_cv_.wait(lk);
    }
}

void WorkerPool::worker_loop() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        work_cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        run_next(lk);
    }
}

void WorkerPool::run_task(PipelineTask &task) noexcept {
    TaskMode mode;
    CaptureRecords capture(task.records);
    try {
        task.ok = task.run();
    } catch (const std::bad_alloc &) {
        task.ok = false;
        try {
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory");
        } catch (...) {
        }
    } catch (...) {
        task.ok = false;
        try {
            Q7_PUSH(Q7E_FUNC_g, Q7E_CANTINIT_g, "internal failure");
        } catch (...) {
        }
    }
}

} // namespace q7::storage
