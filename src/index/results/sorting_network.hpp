#pragma once
// Sorting networks for 4, 8 and 16 keys: fixed sequences of compare-exchanges, each a
// pair of selects, so a short row sorts without data-dependent branches (an insertion
// sort mispredicts about once per key). Longer rows: networks of 16, then merges.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kesra {

struct KeyExchange {
    std::uint8_t lo, hi;
};

// Green's 60-exchange network for 16 keys and the optimal ones for 8 and 4.
inline constexpr KeyExchange NETWORK_16[] = {
    {0, 13}, {1, 12}, {2, 15}, {3, 14}, {4, 8},  {5, 6},   {7, 11},  {9, 10},  {0, 5},   {1, 7},  {2, 9},  {3, 4},
    {6, 13}, {8, 14}, {10, 15}, {11, 12}, {0, 1}, {2, 3},   {4, 5},   {6, 8},   {7, 9},   {10, 11}, {12, 13}, {14, 15},
    {0, 2},  {1, 3},  {4, 10}, {5, 11}, {6, 7},  {8, 9},   {12, 14}, {13, 15}, {1, 2},   {3, 12}, {4, 6},  {5, 7},
    {8, 10}, {9, 11}, {13, 14}, {1, 4}, {2, 6},  {5, 8},   {7, 10},  {9, 13},  {11, 14}, {2, 4},  {3, 6},  {9, 12},
    {11, 13}, {3, 5}, {6, 8},  {7, 9},  {10, 12}, {3, 4},  {5, 6},   {7, 8},   {9, 10},  {11, 12}, {6, 7},  {8, 9}};
inline constexpr KeyExchange NETWORK_8[] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6},
                                            {3, 7}, {0, 1}, {2, 3}, {4, 5}, {6, 7}, {2, 4}, {3, 5},
                                            {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6}};
inline constexpr KeyExchange NETWORK_4[] = {{0, 1}, {2, 3}, {0, 2}, {1, 3}, {1, 2}};

template <std::size_t N>
[[gnu::always_inline]] inline void run_network(const KeyExchange (&network)[N], std::uint64_t* keys) {
#pragma GCC unroll 64
    for (std::size_t e = 0; e < N; ++e) {
        const std::uint64_t a = keys[network[e].lo], b = keys[network[e].hi];
        const bool swap = b < a;
        keys[network[e].lo] = swap ? b : a;
        keys[network[e].hi] = swap ? a : b;
    }
}

// Sorts keys[0, width) ascending, for width 4, 8 or 16.
inline void sort_keys_by_network(std::uint64_t* keys, std::size_t width) {
    if (width <= 4) run_network(NETWORK_4, keys);
    else if (width <= 8) run_network(NETWORK_8, keys);
    else run_network(NETWORK_16, keys);
}

// Merges the ascending runs a[0, na) and b[0, nb) into out, choosing by selects.
inline void merge_runs(const std::uint64_t* a, std::size_t na, const std::uint64_t* b, std::size_t nb,
                       std::uint64_t* out) {
    std::size_t i = 0, j = 0;
    while (i < na && j < nb) {
        const std::uint64_t x = a[i], y = b[j];
        const bool take_b = y < x;
        *out++ = take_b ? y : x;
        j += take_b;
        i += !take_b;
    }
    out = std::copy(a + i, a + na, out);
    std::copy(b + j, b + nb, out);
}

// Sorts keys[0, n) ascending: blocks of 16 by the network (padded with keys that sort
// last), then merged pairwise. keys and scratch each hold at least n rounded up to a
// multiple of 16; returns the one that holds the result.
inline std::uint64_t* sort_keys_by_merging(std::uint64_t* keys, std::uint64_t* scratch, std::size_t n) {
    const std::size_t padded = (n + 15) / 16 * 16;
    std::fill(keys + n, keys + padded, UINT64_MAX);
    for (std::size_t b = 0; b < padded; b += 16) run_network(NETWORK_16, keys + b);
    for (std::size_t width = 16; width < padded; width *= 2) {
        for (std::size_t lo = 0; lo < padded; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, padded), hi = std::min(lo + 2 * width, padded);
            merge_runs(keys + lo, mid - lo, keys + mid, hi - mid, scratch + lo);
        }
        std::swap(keys, scratch);
    }
    return keys;
}

}  // namespace kesra
