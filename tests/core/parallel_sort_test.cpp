#include "pool/parallel_sort.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "cloud.hpp"

using kesra::WorkerPool;

// Blocks hold at least 2^14 items: one block just below two, an odd count over two, and a
// large input that splits into as many blocks and merge rounds as the pool allows. Values
// below 1000 give many equal keys.
TEST(ParallelSort, MatchesStdSortAcrossBlockBoundariesAndPoolSizes) {
    for (const std::size_t threads : {1, 3}) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{32767}, std::size_t{32769}, 2 * kesra_test::LARGE}) {
            std::mt19937_64 rng(n * 31 + threads);
            std::vector<std::uint64_t> items(n);
            for (auto& x : items) x = rng() % 1000;
            auto expected = items;
            std::sort(expected.begin(), expected.end(), std::greater<>());
            WorkerPool::run(threads, [&](WorkerPool& pool) { kesra::parallel_sort(pool, items, std::greater<>()); });
            ASSERT_EQ(items, expected) << "n=" << n << " threads=" << threads;
        }
    }
}
