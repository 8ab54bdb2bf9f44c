#include "pool/worker_pool.hpp"

#include "index/mod/errors.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

using kesra::WorkerPool;

namespace {

// The threads that ran loop items. An item holds its thread until `expected` distinct
// threads have arrived, so every pool thread is forced to take part; the wait is bounded
// only to turn a missing thread into a failure instead of a hang.
struct ThreadLog {
    void arrive() {
        std::unique_lock lock(mutex);
        ids.insert(std::this_thread::get_id());
        arrived.notify_all();
        arrived.wait_for(lock, std::chrono::seconds(10), [&] { return ids.size() >= expected; });
    }
    std::size_t expected;
    std::mutex mutex;
    std::condition_variable arrived;
    std::set<std::thread::id> ids;
};

struct EnvGuard {
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) saved_ = v;
    }
    ~EnvGuard() {
        if (saved_) setenv(name_, saved_->c_str(), 1);
        else unsetenv(name_);
    }
    void set(const char* value) {
        if (value) setenv(name_, value, 1);
        else unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> saved_;
};

std::size_t cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

}  // namespace

class WorkerPoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolSizes, EveryThreadTakesPartWithOneStateEachAndTheCallerOnlyWaits) {
    const std::size_t n = GetParam();
    const std::size_t count = 300;
    ThreadLog log{n, {}, {}, {}};
    std::vector<std::atomic<int>> visits(count);
    std::atomic<std::size_t> states{0};
    std::thread::id task_thread;
    WorkerPool::run(n, [&](WorkerPool& pool) {
        task_thread = std::this_thread::get_id();
        EXPECT_EQ(pool.size(), n);
        pool.for_each(
            count,
            [&] {
                ++states;
                return std::this_thread::get_id();
            },
            [&](std::thread::id& owner, std::size_t i) {
                EXPECT_EQ(owner, std::this_thread::get_id());  // a state never moves between threads
                ++visits[i];
                log.arrive();
            });
    });
    EXPECT_NE(task_thread, std::this_thread::get_id());
    EXPECT_EQ(log.ids.size(), n);
    EXPECT_EQ(states.load(), n);
    EXPECT_EQ(log.ids.count(std::this_thread::get_id()), 0u);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(visits[i].load(), 1) << "item " << i;
}

INSTANTIATE_TEST_SUITE_P(Threads, WorkerPoolSizes, ::testing::Values(1, 2, 3));

TEST(WorkerPool, NestedLoopRunsInlineOnTheThreadOfTheOuterItem) {
    std::atomic<std::size_t> inner{0}, foreign{0};
    WorkerPool::run(3, [&](WorkerPool& pool) {
        pool.for_each(64, [&](std::size_t) {
            const auto outer_thread = std::this_thread::get_id();
            pool.for_each(50, [&](std::size_t) {
                ++inner;
                if (std::this_thread::get_id() != outer_thread) ++foreign;
            });
        });
    });
    EXPECT_EQ(inner.load(), 64u * 50u);
    EXPECT_EQ(foreign.load(), 0u);
}

TEST(WorkerPool, FailureIsRethrownAfterEveryThreadLeftTheLoopAndThePoolStaysUsable) {
    std::atomic<int> inside{0};
    int inside_at_catch = -1;
    std::atomic<std::size_t> second{0};
    WorkerPool::run(3, [&](WorkerPool& pool) {
        try {
            pool.for_each(2000, [&](std::size_t i) {
                ++inside;
                for (int spin = 0; spin < 200; ++spin) std::this_thread::yield();
                --inside;
                if (i == 20) throw kesra::InternalError("item 20");
            });
        } catch (const kesra::InternalError& e) {
            inside_at_catch = inside.load();
            EXPECT_STREQ(e.what(), "item 20");
        }
        pool.for_each(500, [&](std::size_t) { ++second; });
    });
    EXPECT_EQ(inside_at_catch, 0);
    EXPECT_EQ(second.load(), 500u);
}

TEST(WorkerPool, RunRethrowsWhatTheTaskOrAStateFactoryThrew) {
    EXPECT_THROW(WorkerPool::run(2, [](WorkerPool&) { throw kesra::InternalError("task"); }), kesra::InternalError);
    EXPECT_THROW(WorkerPool::run(3,
                                 [](WorkerPool& pool) {
                                     pool.for_each(
                                         100, []() -> int { throw std::bad_alloc(); }, [](int&, std::size_t) {});
                                 }),
                 std::bad_alloc);
}

TEST(ParseThreadCount, AcceptsOnlyUnsignedDecimalsThatFit) {
    std::size_t out = 99;
    EXPECT_TRUE(kesra::parse_thread_count("+5", out));
    EXPECT_EQ(out, 5u);
    EXPECT_TRUE(kesra::parse_thread_count("0", out));
    EXPECT_EQ(out, 0u);
    EXPECT_TRUE(kesra::parse_thread_count("0018446744073709551615", out));
    EXPECT_EQ(out, SIZE_MAX);
    out = 7;
    for (const char* bad : {"", "+", "-2", "abc", "4x", " 4", "4 ", "++4", "18446744073709551616", "99999999999999999999"}) {
        EXPECT_FALSE(kesra::parse_thread_count(bad, out)) << '"' << bad << '"';
        EXPECT_EQ(out, 7u) << "unchanged on failure";
    }
    EXPECT_FALSE(kesra::parse_thread_count(nullptr, out));
}

TEST(DefaultPoolSize, ThreadCountVariableFirstThenCpuVariableThenCpus) {
    EnvGuard threads("RAYON_NUM_THREADS"), cpu_var("RAYON_RS_NUM_CPUS");
    const std::size_t all = cpus();
    // Values that no test machine has as its CPU count, so a fallback cannot pass by luck.
    const struct {
        const char* threads;
        const char* cpu_var;
        std::size_t expected;
    } cases[] = {
        {nullptr, nullptr, all}, {"37", "53", 37},    {"+37", nullptr, 37},  {"0", "53", all},
        {"abc", "53", 53},       {"-2", "53", 53},    {nullptr, "53", 53},   {"", "53", 53},
        {nullptr, "0", all},     {nullptr, "x", all}, {"abc", "-1", all},
    };
    for (const auto& c : cases) {
        threads.set(c.threads);
        cpu_var.set(c.cpu_var);
        EXPECT_EQ(kesra::default_pool_size(), c.expected)
            << "RAYON_NUM_THREADS=" << (c.threads ? c.threads : "<unset>")
            << " RAYON_RS_NUM_CPUS=" << (c.cpu_var ? c.cpu_var : "<unset>");
    }
    threads.set("3");
    std::size_t size = 0;
    WorkerPool::run(0, [&](WorkerPool& pool) { size = pool.size(); });
    EXPECT_EQ(size, 3u);
}
