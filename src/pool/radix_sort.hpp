#pragma once
// Stable parallel LSD radix sort on a WorkerPool. Each pass counts its digit per block of
// items, lays the buckets out digit by digit and, within a digit, block by block, then
// scatters every block in order: equal keys keep their order, and the result does not
// depend on the pool size or the blocks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/worker_pool.hpp"

namespace kesra {

// The items are there already.
struct KeepItems {};

// Sorts items[0, n) stably by bits [low_bit, high_bit) of key(item), a std::uint64_t,
// with scratch[0, n) as the second buffer; n is below 2^32. Returns the buffer that
// holds the result. Given make(i), the first pass writes items[i] = make(i) as it counts
// them, instead of reading them.
template <class T, class Key, class Make = KeepItems>
T* radix_sort(WorkerPool& pool, T* items, T* scratch, std::size_t n, unsigned low_bit, unsigned high_bit, Key key,
              Make make = {}) {
    constexpr bool making = !std::is_same_v<Make, KeepItems>;
    constexpr std::size_t min_block = 1 << 12;
    const std::size_t blocks = std::clamp<std::size_t>(n / min_block, 1, 4 * pool.size());
    if (n < 2 || high_bit <= low_bit) {
        if constexpr (making)
            pool.for_each(blocks, [&](std::size_t b) {
                for (std::size_t i = n * b / blocks; i < n * (b + 1) / blocks; ++i) items[i] = make(i);
            });
        return items;
    }
    // Passes of at most 13 bits, as even as they come: a block's 8192 counts still fit in
    // the first-level cache, and a 26-bit key takes two passes.
    constexpr unsigned max_digit = 13;
    const unsigned bits = high_bit - low_bit, passes = (bits + max_digit - 1) / max_digit;
    const unsigned digit_bits = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit_bits;
    std::vector<std::uint32_t> offsets(blocks * buckets);
    for (unsigned shift = low_bit; shift < high_bit; shift += digit_bits) {
        const std::uint64_t mask = (std::uint64_t{1} << std::min(digit_bits, high_bit - shift)) - 1;
        // Everything a block's loop reads is copied into locals first: its stores could
        // otherwise alias the captured counts and bounds, which it would then reload.
        auto for_blocks = [&, shift, mask](auto&& body) {
            pool.for_each(blocks, [&, shift, mask](std::size_t b) {
                const auto digit = [key, shift, mask](const T& item) {
                    return static_cast<std::size_t>((key(item) >> shift) & mask);
                };
                body(items + n * b / blocks, items + n * (b + 1) / blocks, &offsets[b * buckets], digit);
            });
        };
        for_blocks([&](T* from, T* end, std::uint32_t* count, const auto& digit) {
            std::fill(count, count + buckets, 0);
            if constexpr (making) {
                if (shift == low_bit) {
                    for (std::size_t i = static_cast<std::size_t>(from - items); from != end; ++from, ++i) {
                        *from = make(i);
                        ++count[digit(*from)];
                    }
                    return;
                }
            }
            for (; from != end; ++from) ++count[digit(*from)];
        });
        std::uint32_t total = 0;
        bool constant = false;
        for (std::size_t d = 0; d < buckets; ++d) {
            const std::uint32_t first = total;
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::uint32_t count = offsets[b * buckets + d];
                offsets[b * buckets + d] = total;
                total += count;
            }
            constant |= total - first == n;
        }
        if (constant) continue;  // a digit that every item shares leaves the order as it is
        for_blocks([to = scratch](const T* from, const T* end, std::uint32_t* next, const auto& digit) {
            for (; from != end; ++from) to[next[digit(*from)]++] = *from;
        });
        std::swap(items, scratch);
    }
    return items;
}

}  // namespace kesra
