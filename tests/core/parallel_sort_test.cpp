#include "pool/parallel_sort.hpp"
#include "pool/radix_sort.hpp"

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

// Any cut of a merge into pieces writes what one std::merge writes, ties included (the
// left run's equal items first), so a sort's result does not depend on the pool size.
TEST(ParallelSort, MergePiecesEqualOneMerge) {
    using Item = std::pair<int, int>;  // (key, run and position)
    const auto less = [](const Item& a, const Item& b) { return a.first < b.first; };
    std::mt19937 rng(7);
    for (const std::size_t left : {0, 1, 5, 40}) {
        std::vector<Item> from;
        for (std::size_t i = 0; i < left + 37; ++i) from.push_back({static_cast<int>(rng() % 6), static_cast<int>(i)});
        std::sort(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(left), less);
        std::sort(from.begin() + static_cast<std::ptrdiff_t>(left), from.end(), less);
        std::vector<Item> expected(from.size());
        std::merge(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(left), from.begin() + static_cast<std::ptrdiff_t>(left),
                   from.end(), expected.begin(), less);
        for (const std::size_t pieces : {1, 2, 3, 7}) {
            std::vector<Item> to(from.size());
            for (std::size_t p = 0; p < pieces; ++p)
                kesra::merge_piece(from, to, 0, left, from.size(), from.size() * p / pieces, from.size() * (p + 1) / pieces, less);
            EXPECT_EQ(to, expected) << left << " " << pieces;
        }
    }
}

// Against std::stable_sort on the same bits: keys with many equal values, a digit every
// key shares (bits 20 to 31), one that nine keys in ten share, a last digit narrower than
// the others, and items that carry their first place, so that the order of ties shows.
// On three threads the sort makes the items itself.
TEST(RadixSort, MatchesStableSortOnTheSortedBits) {
    using Item = std::pair<std::uint64_t, std::uint32_t>;
    for (const std::size_t threads : {1, 3}) {
        for (const auto& [n, low, high] : {std::tuple{std::size_t{1}, 0u, 8u}, {3000, 4u, 4u}, {70000, 3u, 44u}}) {
            std::mt19937_64 rng(n + threads);
            std::vector<Item> items(n);
            for (std::uint32_t i = 0; i < n; ++i)
                items[i] = {(rng() % 5000) | (rng() % 10 == 0 ? rng() % 7 : 3) << 32 | 0xABCull << 20, i};
            auto expected = items;
            const auto bits = [low, high](const Item& a) { return (a.first >> low) & ((1ull << (high - low)) - 1); };
            std::stable_sort(expected.begin(), expected.end(),
                             [&](const Item& a, const Item& b) { return bits(a) < bits(b); });
            std::vector<Item> made(n), scratch(n);
            const Item* sorted = nullptr;
            WorkerPool::run(threads, [&](WorkerPool& pool) {
                const auto key = [](const Item& a) { return a.first; };
                sorted = threads == 1
                             ? kesra::radix_sort(pool, items.data(), scratch.data(), n, low, high, key)
                             : kesra::radix_sort(pool, made.data(), scratch.data(), n, low, high, key,
                                                 [&](std::size_t i) { return items[i]; });
            });
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), sorted)) << "n=" << n << " threads=" << threads;
        }
    }
}
