#pragma once
// Unstable parallel sort on a WorkerPool: blocks are sorted in parallel, then merged
// pairwise in parallel rounds through one scratch buffer.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "worker_pool.hpp"

namespace kesra {

template <class T, class Less>
void parallel_sort(WorkerPool& pool, std::vector<T>& items, Less less) {
    const std::size_t n = items.size();
    constexpr std::size_t min_block = 1 << 14;
    std::size_t blocks = 1;
    while (blocks < 4 * pool.size() && n / (blocks * 2) >= min_block) blocks *= 2;
    if (blocks == 1) {
        std::sort(items.begin(), items.end(), less);
        return;
    }
    auto bound = [&](std::size_t b) { return n * b / blocks; };
    pool.for_each(blocks, [&](std::size_t b) { std::sort(items.begin() + bound(b), items.begin() + bound(b + 1), less); });

    std::vector<T> scratch(n);
    std::vector<T>* from = &items;
    std::vector<T>* to = &scratch;
    for (std::size_t width = 1; width < blocks; width *= 2) {
        pool.for_each(blocks / (2 * width), [&](std::size_t pair) {
            const std::size_t lo = bound(2 * width * pair);
            const std::size_t mid = bound(2 * width * pair + width);
            const std::size_t hi = bound(2 * width * (pair + 1));
            std::merge(from->begin() + lo, from->begin() + mid, from->begin() + mid, from->begin() + hi,
                       to->begin() + lo, less);
        });
        std::swap(from, to);
    }
    if (from != &items) items.swap(*from);
}

}  // namespace kesra
