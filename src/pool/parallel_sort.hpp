#pragma once
// Unstable parallel sort on a WorkerPool: blocks are sorted in parallel, then merged
// pairwise in parallel rounds through one scratch buffer, each merge cut into pieces.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "pool/worker_pool.hpp"

namespace kesra {

// Writes outputs [k0, k1) of merging [lo, mid) and [mid, hi) of `from` into the same
// places of `to`, exactly as std::merge of the whole runs would (on ties the left run
// first). Where the piece starts in each run is found by a binary search along the merge
// path, so pieces of one merge are independent.
template <class T, class Less>
void merge_piece(const std::vector<T>& from, std::vector<T>& to, std::size_t lo, std::size_t mid, std::size_t hi,
                 std::size_t k0, std::size_t k1, Less less) {
    // How many of the first k outputs come from the left run.
    auto split = [&](std::size_t k) {
        std::size_t a = k > hi - mid ? k - (hi - mid) : 0, b = std::min(k, mid - lo);
        while (a < b) {
            const std::size_t i = a + (b - a) / 2;
            // The left's next one goes before the right's last taken one: take more left.
            if (!less(from[mid + (k - i - 1)], from[lo + i])) a = i + 1;
            else b = i;
        }
        return a;
    };
    const std::size_t i0 = split(k0), i1 = split(k1);
    const auto at = [&](std::size_t i) { return from.begin() + static_cast<std::ptrdiff_t>(i); };
    std::merge(at(lo + i0), at(lo + i1), at(mid + k0 - i0), at(mid + k1 - i1),
               to.begin() + static_cast<std::ptrdiff_t>(lo + k0), less);
}

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
        // Every round is cut into `blocks` pieces, so the last rounds, with fewer pairs
        // than threads, still keep every thread busy.
        const std::size_t per_pair = 2 * width;
        pool.for_each(blocks, [&](std::size_t piece) {
            const std::size_t pair = piece / per_pair, part = piece % per_pair;
            const std::size_t lo = bound(per_pair * pair), mid = bound(per_pair * pair + width),
                              hi = bound(per_pair * (pair + 1));
            merge_piece(*from, *to, lo, mid, hi, (hi - lo) * part / per_pair, (hi - lo) * (part + 1) / per_pair, less);
        });
        std::swap(from, to);
    }
    if (from != &items) items.swap(*from);
}

}  // namespace kesra
