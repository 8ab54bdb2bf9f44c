#pragma once
// Result rows in their written order: ascending by squared distance, equal squared
// distances by row number. A row is sorted as one 64-bit key per entry, the squared
// distance's bits in the IEEE total order above the row number, so that the written bytes
// depend only on the set of entries, never on the order in which a search found them.
// The key holds the squared distance, not its square root: two squared distances one unit
// in the last place apart often share a float32 square root, and a key of the root would
// then order the farther point first whenever its row number is lower.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/results/sorting_network.hpp"

namespace kesra {

// The bits of f, flipped so that signed integer order is the IEEE total order (-NaN
// first, +NaN last). Applying it twice gives the bits back.
inline std::int32_t total_order_bits(std::int32_t bits) {
    return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

inline std::uint64_t row_key(float dist_sq, std::uint32_t row) {
    const auto biased = static_cast<std::uint32_t>(total_order_bits(std::bit_cast<std::int32_t>(dist_sq))) ^ 0x80000000u;
    return static_cast<std::uint64_t>(biased) << 32 | row;
}

inline float key_dist_sq(std::uint64_t key) {
    const auto biased = static_cast<std::uint32_t>(key >> 32) ^ 0x80000000u;
    return std::bit_cast<float>(total_order_bits(static_cast<std::int32_t>(biased)));
}

// The distance written for a key: the square root is taken only here.
inline float key_distance(std::uint64_t key) { return std::sqrt(key_dist_sq(key)); }

inline std::uint32_t key_row(std::uint64_t key) { return static_cast<std::uint32_t>(key); }

// Sorts keys[0, n) ascending; `keys` has room for n rounded up to 16. Up to 16 keys go
// through a sorting network; longer rows through networks of 16 and merges, with
// `scratch` grown to fit. Returns where the sorted keys are (keys or scratch).
inline std::uint64_t* sort_row_keys(std::uint64_t* keys, std::size_t n, std::vector<std::uint64_t>& scratch) {
    if (n < 2) return keys;
    if (n <= 16) {
        const std::size_t width = n <= 4 ? 4 : n <= 8 ? 8 : 16;
        for (std::size_t i = n; i < width; ++i) keys[i] = UINT64_MAX;
        sort_keys_by_network(keys, width);
        return keys;
    }
    const std::size_t padded = (n + 15) / 16 * 16;
    if (scratch.size() < padded) scratch.resize(padded);
    return sort_keys_by_merging(keys, scratch.data(), n);
}

}  // namespace kesra
