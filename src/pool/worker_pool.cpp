#include "pool/worker_pool.hpp"

#include <sched.h>

#include <cstdlib>
#include <system_error>

namespace kesra {

bool parse_thread_count(const char* text, std::size_t& out) {
    if (text == nullptr) return false;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return false;
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (value > (SIZE_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

static std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

std::size_t default_pool_size() {
    std::size_t n = 0;
    if (parse_thread_count(std::getenv("RAYON_NUM_THREADS"), n)) return n > 0 ? n : available_cpus();
    if (parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS"), n) && n > 0) return n;
    return available_cpus();
}

void WorkerPool::run(std::size_t threads, const std::function<void(WorkerPool&)>& task) {
    if (threads == 0) threads = default_pool_size();
    const std::shared_ptr<WorkerPool> pool(new WorkerPool);
    pool->size_ = threads;
    std::exception_ptr error;
    // The task starts first and the helpers while it runs, so their start-up overlaps the
    // work; loops hand items to whichever helpers have started.
    try {
        // The task thread signals the end of the task and then only drops its share; it
        // never touches `task` or `error` again.
        std::thread([&task, &error, pool] {
            pool->task_thread_ = std::this_thread::get_id();
            std::exception_ptr failure;
            try {
                task(*pool);
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(pool->mutex_);
            error = failure;
            pool->task_done_ = true;
            pool->task_finished_.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        throw PoolBuildError(e.what());
    }
    std::exception_ptr start_failure;
    try {
        for (std::size_t started = 1; started < threads; ++started)
            std::thread([pool] { pool->helper_loop(); }).detach();
    } catch (const std::system_error& e) {
        start_failure = std::make_exception_ptr(PoolBuildError(e.what()));
    }
    {
        std::unique_lock lock(pool->mutex_);
        pool->task_finished_.wait(lock, [&] { return pool->task_done_; });
    }
    pool->release_helpers();
    // A pool that could not be built fails the call even though its task ran.
    if (start_failure) std::rethrow_exception(start_failure);
    if (error) std::rethrow_exception(error);
}

void WorkerPool::run_here(const std::function<void(WorkerPool&)>& task) {
    WorkerPool pool;
    pool.task_thread_ = std::this_thread::get_id();
    task(pool);
}

void WorkerPool::release_helpers() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void WorkerPool::helper_loop() {
    std::uint64_t seen = 0;
    for (;;) {
        const std::function<void()>* job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            job = job_;
            if (job == nullptr) continue;
            ++active_;
        }
        (*job)();
        {
            std::lock_guard lock(mutex_);
            --active_;
        }
        idle_.notify_all();
    }
}

void WorkerPool::dispatch(const std::function<void()>& job) {
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        ++generation_;
    }
    wake_.notify_all();
    job();
    std::unique_lock lock(mutex_);
    job_ = nullptr;
    idle_.wait(lock, [&] { return active_ == 0; });
}

}  // namespace kesra
