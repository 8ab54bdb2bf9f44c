#pragma once
// A pool of worker threads made for one call. The call's task runs on a thread of the
// pool while the caller only waits; inside the task, `for_each` spreads a loop of
// independent items over every thread of the pool with dynamic hand-out. Each thread
// that takes part in a loop makes one work-state object (a candidate list, an
// accumulator, scratch) and reuses it for all the items it takes.
//
// Thread safety: one pool serves one call; `for_each` is called by the task thread.
// A `for_each` reached from inside a loop body runs its items inline. When the task has
// finished, the threads are told to exit and the call returns without waiting for them
// to end: each thread holds a share of the pool and the last one to leave frees it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace kesra {

// The pool could not be built (a thread could not be started).
class PoolBuildError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Default pool size: RAYON_NUM_THREADS (0 = all CPUs), then RAYON_RS_NUM_CPUS, then the
// number of CPUs available to the process. Reads the environment: callers that can,
// read it where no other thread changes it (the binding: before detaching).
std::size_t default_pool_size();

// Parses an unsigned decimal with an optional leading '+'; false when it does not parse.
bool parse_thread_count(const char* text, std::size_t& out);

class WorkerPool {
public:
    // Runs `task(pool)` on a fresh pool of `threads` threads (0 = default size) and
    // returns when it has finished; an exception thrown by the task is rethrown here.
    static void run(std::size_t threads, const std::function<void(WorkerPool&)>& task);
    // Runs `task(pool)` on the calling thread, on a pool of that thread alone: for calls
    // whose work is a single item, where starting threads would cost more than the work.
    static void run_here(const std::function<void(WorkerPool&)>& task);

    std::size_t size() const { return size_; }

    // Calls body(state, item) for every item in [0, count), each exactly once, spread over
    // all threads of the pool. make_state() is called once by each thread that takes an
    // item. The first exception stops the hand-out and is rethrown once every thread has
    // left the loop.
    template <class MakeState, class Body>
    void for_each(std::size_t count, MakeState&& make_state, Body&& body) {
        if (count == 0) return;
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::exception_ptr error;
        std::mutex error_mutex;
        auto participate = [&] {
            try {
                std::size_t item = next.fetch_add(1, std::memory_order_relaxed);
                if (item >= count || failed.load(std::memory_order_relaxed)) return;
                auto state = make_state();
                do {
                    body(state, item);
                    item = next.fetch_add(1, std::memory_order_relaxed);
                } while (item < count && !failed.load(std::memory_order_relaxed));
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        };
        if (size_ == 1 || std::this_thread::get_id() != task_thread_ || in_loop_) {
            participate();
        } else {
            in_loop_ = true;
            const std::function<void()> job = participate;
            dispatch(job);
            in_loop_ = false;
        }
        if (error) std::rethrow_exception(error);
    }

    // for_each without per-thread state.
    template <class Body>
    void for_each(std::size_t count, Body&& body) {
        struct NoState {};
        for_each(count, [] { return NoState{}; }, [&](NoState&, std::size_t i) { body(i); });
    }

    // Calls body(state, block, begin, end) for the blocks of `size` items that cover
    // [0, count), block b being [b * size, min(count, (b + 1) * size)), spread and with
    // states made as for for_each.
    template <class MakeState, class Body>
    void for_each_block(std::size_t count, std::size_t size, MakeState&& make_state, Body&& body) {
        for_each((count + size - 1) / size, make_state,
                 [&](auto& state, std::size_t b) { body(state, b, b * size, std::min(count, (b + 1) * size)); });
    }

    // for_each_block without per-thread state: body(block, begin, end).
    template <class Body>
    void for_each_block(std::size_t count, std::size_t size, Body&& body) {
        for_each((count + size - 1) / size, [&](std::size_t b) { body(b, b * size, std::min(count, (b + 1) * size)); });
    }

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    ~WorkerPool() = default;

private:
    WorkerPool() = default;
    // Tells every started helper to exit, without waiting for them to end.
    void release_helpers();
    void helper_loop();
    // Publishes `job` to every helper, runs it on this thread too, and returns when every
    // thread that took it has returned from it.
    void dispatch(const std::function<void()>& job);

    std::size_t size_ = 1;
    std::thread::id task_thread_;
    bool in_loop_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    const std::function<void()>* job_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t active_ = 0;
    bool stopping_ = false;
    bool task_done_ = false;
    std::condition_variable task_finished_;
};

}  // namespace kesra
