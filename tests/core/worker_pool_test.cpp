#include "pool/worker_pool.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <tuple>

#include "base/errors.hpp"

using kesra::WorkerPool;

class WorkerPoolSizes : public ::testing::TestWithParam<std::size_t> {};

// Each item holds its thread until every pool thread has arrived, so all must take part;
// the wait is bounded only to turn a missing thread into a failure instead of a hang.
TEST_P(WorkerPoolSizes, EveryThreadTakesPartWithOneStateEachAndTheCallerOnlyWaits) {
    const std::size_t n = GetParam(), count = 300;
    std::mutex mutex;
    std::condition_variable arrived;
    std::set<std::thread::id> ids;
    std::vector<std::atomic<int>> visits(count);
    std::atomic<std::size_t> states{0};
    WorkerPool::run(n, [&](WorkerPool& pool) {
        EXPECT_EQ(pool.size(), n);
        auto make_state = [&] { ++states; return std::this_thread::get_id(); };
        pool.for_each(count, make_state, [&](std::thread::id& owner, std::size_t i) {
            EXPECT_EQ(owner, std::this_thread::get_id());  // a state never moves between threads
            ++visits[i];
            std::unique_lock lock(mutex);
            ids.insert(owner);
            arrived.notify_all();
            arrived.wait_for(lock, std::chrono::seconds(10), [&] { return ids.size() >= n; });
        });
    });
    EXPECT_TRUE(ids.size() == n && states == n) << ids.size() << " threads took part, " << states << " states";
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(visits[i].load(), 1) << "item " << i;
}

INSTANTIATE_TEST_SUITE_P(Threads, WorkerPoolSizes, ::testing::Values(1, 3));

// A nested loop runs inline on the thread of its outer item. The first failure is
// rethrown once every thread has left the loop, and the pool stays usable.
TEST(WorkerPool, NestedLoopsAndFailures) {
    std::atomic<std::size_t> inner{0}, foreign{0}, second{0};
    std::atomic<int> inside{0};
    WorkerPool::run(3, [&](WorkerPool& pool) {
        pool.for_each(64, [&](std::size_t) {
            const auto outer_thread = std::this_thread::get_id();
            pool.for_each(50, [&](std::size_t) { ++inner; foreign += std::this_thread::get_id() != outer_thread; });
        });
        auto failing = [&](std::size_t i) {
            ++inside;
            for (int spin = 0; spin < 200; ++spin) std::this_thread::yield();
            --inside;
            if (i == 20) throw kesra::InternalError("item 20");
        };
        EXPECT_THROW(pool.for_each(2000, failing), kesra::InternalError);
        EXPECT_EQ(inside.load(), 0);
        pool.for_each(500, [&](std::size_t) { ++second; });
    });
    EXPECT_TRUE(inner == 64u * 50u && foreign == 0u) << inner << " inner items, " << foreign << " on another thread";
    EXPECT_EQ(second.load(), 500u);
    // run() rethrows what the task or a state factory threw.
    EXPECT_THROW(WorkerPool::run(2, [](WorkerPool&) { throw kesra::InternalError("task"); }), kesra::InternalError);
    auto state_fails = [](WorkerPool& pool) { pool.for_each(100, []() -> int { throw std::bad_alloc(); }, [](int&, auto) {}); };
    EXPECT_THROW(WorkerPool::run(3, state_fails), std::bad_alloc);
}

// RAYON_NUM_THREADS (0 = all CPUs), then RAYON_RS_NUM_CPUS (0 ignored), then the CPUs;
// a variable counts only as an unsigned decimal, with an optional '+', that fits.
TEST(DefaultPoolSize, ThreadCountVariableFirstThenCpuVariableThenCpus) {
    const char* names[] = {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};
    std::optional<std::string> saved[2];
    auto set = [&](int i, const char* v) { v ? setenv(names[i], v, 1) : unsetenv(names[i]); };
    for (int i = 0; i < 2; ++i)
        if (const char* v = std::getenv(names[i])) saved[i] = v;
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof(cpus), &cpus), 0);
    const auto all = static_cast<std::size_t>(CPU_COUNT(&cpus));
    // Values that no test machine has as its CPU count, so a fallback cannot pass by luck.
    const std::tuple<const char*, const char*, std::size_t> cases[] = {
        {nullptr, nullptr, all}, {"+37", "53", 37}, {"0", "53", all},    {"4x", "53", 53},    {"-2", "+53", 53},
        {"", "53", 53},          {nullptr, "0", all}, {nullptr, " 5", all}, {"18446744073709551616", "053", 53},
        {"0018446744073709551615", nullptr, SIZE_MAX}};
    for (const auto& [threads, cpu_var, expected] : cases) {
        set(0, threads);
        set(1, cpu_var);
        EXPECT_EQ(kesra::default_pool_size(), expected) << (threads ? threads : "-") << " " << (cpu_var ? cpu_var : "-");
    }
    set(0, "3");
    WorkerPool::run(0, [](WorkerPool& pool) { EXPECT_EQ(pool.size(), 3u); });
    for (int i = 0; i < 2; ++i) set(i, saved[i] ? saved[i]->c_str() : nullptr);
}
