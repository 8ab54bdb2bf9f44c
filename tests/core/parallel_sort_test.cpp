#include "pool/parallel_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "cloud.hpp"

namespace {

std::vector<std::uint64_t> random_values(std::size_t n, std::uint64_t range, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> v(n);
    for (auto& x : v) x = rng() % range;
    return v;
}

}  // namespace

TEST(ParallelSort, MatchesStdSortAcrossBlockBoundariesAndPoolSizes) {
    // Blocks are at least 2^14 items: sizes around 1, 2 and 4 blocks, plus a large one that
    // splits into several blocks and merge rounds.
    const std::size_t sizes[] = {0, 1, 2, 16383, 16384, 32767, 32768, 32769, 65535, 65536, 65537, 131071,
                                 kesra_test::LARGE * 2};
    for (const std::size_t threads : {1, 2, 3}) {
        for (const std::size_t n : sizes) {
            // A narrow value range gives many equal keys, a wide one almost none.
            for (const std::uint64_t range : {std::uint64_t{7}, ~std::uint64_t{0}}) {
                auto items = random_values(n, range, static_cast<std::uint32_t>(n * 31 + threads));
                auto expected = items;
                std::sort(expected.begin(), expected.end(), std::greater<>());
                kesra::WorkerPool::run(threads, [&](kesra::WorkerPool& pool) {
                    kesra::parallel_sort(pool, items, std::greater<>());
                });
                ASSERT_EQ(items, expected) << "n=" << n << " threads=" << threads << " range=" << range;
            }
        }
    }
}
