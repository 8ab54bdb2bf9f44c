#pragma once
// Sorting networks for 4, 8 and 16 keys: fixed sequences of compare-exchanges, each a
// pair of selects, so a short row sorts without data-dependent branches (an insertion
// sort mispredicts about once per key).
#include <cstddef>
#include <cstdint>

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

}  // namespace kesra
