#pragma once
// The selection of the kd build: moves the item of rank k on one axis to index k, with no
// larger coordinate before it and no smaller one after it. Items are ordered by an integer
// key that refines float <: -0 before +0, and NaN (which float < leaves unordered) at the
// ends, so every arrangement it gives is also valid for float <. The result depends only on
// the input order, never on threads.
//
// Each round moves every item once to a lower part, an upper part or a middle part that
// holds rank k and is then searched alone. Large ranges bound the middle part by two keys
// of a sample; smaller ones count the items into equal slices of their coordinate range
// and take the slice that holds rank k. The rounds write into a second buffer with
// branch-free stores instead of swapping in place, so they cost no mispredicted branch per
// item. The last few items are sorted by rank.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/kdtree/kd_tree.hpp"

namespace kesra::kd_select {

// Up to this many items are selected through slices of their range.
inline constexpr std::uint32_t SLICED_MAX = 2048;
// Up to this many items are simply sorted.
inline constexpr std::uint32_t RANKED_MAX = 32;
// Largest sample taken to bracket the rank in larger ranges.
inline constexpr std::uint32_t SAMPLE_MAX = 1024;

// Monotone in float order; NaNs go below -inf or above +inf by their sign bit.
inline std::int32_t order_key(const IndexedPoint& p, unsigned dim) {
    std::int32_t bits;
    std::memcpy(&bits, reinterpret_cast<const char*>(&p) + 4 * dim, sizeof bits);
    return bits ^ ((bits >> 31) & 0x7FFFFFFF);
}

// Which part an item goes to: the lower part when `lower` is negative, the upper part when
// `upper` is negative, otherwise the middle part.
struct Side {
    std::int64_t lower, upper;
};

// Moves src[0, n) into a lower part at the front of dst, an upper part at its back and a
// middle part compacted at the front of src (behind the read position), by
// side(i, item) < 0, > 0 or == 0. Each item is stored to all three places and only the
// cursor of its own part advances (a conditional move, not a branch). Returns the size of
// the lower part and the start of the upper one.
template <class SideOf>
inline std::pair<std::uint32_t, std::uint32_t> split_three_ways(IndexedPoint* src, IndexedPoint* dst,
                                                               std::uint32_t n, SideOf&& side_of) {
    IndexedPoint *lower = dst, *upper = dst + n - 1, *middle = src;
    for (std::uint32_t i = 0; i < n; ++i) {
        IndexedPoint item;
        std::memcpy(&item, src + i, sizeof item);
        const auto side = side_of(i, item);
        std::memcpy(lower, &item, sizeof item);
        std::memcpy(upper, &item, sizeof item);
        std::memcpy(middle, &item, sizeof item);
        // Sign masks, so that the compiler cannot turn the moves into branches.
        const std::uintptr_t to_lower = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(side.lower) >> 63) & 16;
        const std::uintptr_t to_upper = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(side.upper) >> 63) & 16;
        lower = reinterpret_cast<IndexedPoint*>(reinterpret_cast<char*>(lower) + to_lower);
        upper = reinterpret_cast<IndexedPoint*>(reinterpret_cast<char*>(upper) - to_upper);
        middle = reinterpret_cast<IndexedPoint*>(reinterpret_cast<char*>(middle) + (16 - to_lower - to_upper));
    }
    const auto below = static_cast<std::uint32_t>(lower - dst);
    return {below, below + static_cast<std::uint32_t>(middle - src)};
}

// Ranges of at least two blocks of this many items split on the pool.
inline constexpr std::uint32_t SPLIT_BLOCK = 1 << 14;

// split_three_ways with the same result, in blocks of SPLIT_BLOCK items spread over the
// pool: a first pass counts each block's lower and upper items, which gives every block
// its own slots; the second stores each item once, to the slot its side selects (blocks
// write next to each other, so no item may be stored where it does not belong), with the
// middle items compacted within their own block of src; the middle parts are then joined
// in block order.
template <class SideOf>
inline std::pair<std::uint32_t, std::uint32_t> split_three_ways(WorkerPool& pool, IndexedPoint* src, IndexedPoint* dst,
                                                               std::uint32_t n, SideOf&& side_of) {
    const std::uint32_t blocks = (n + SPLIT_BLOCK - 1) / SPLIT_BLOCK;
    std::vector<std::uint32_t> lower(blocks + 1), upper(blocks + 1);  // counts, then items before block b
    pool.for_each_block(n, SPLIT_BLOCK, [&](std::size_t b, std::size_t begin, std::size_t end) {
        for (auto i = static_cast<std::uint32_t>(begin); i < end; ++i) {
            const Side side = side_of(i, src[i]);
            lower[b + 1] += side.lower < 0;
            upper[b + 1] += side.upper < 0;
        }
    });
    for (std::uint32_t b = 0; b < blocks; ++b) {
        lower[b + 1] += lower[b];
        upper[b + 1] += upper[b];
    }
    pool.for_each_block(n, SPLIT_BLOCK, [&](std::size_t b, std::size_t begin, std::size_t end) {
        // Byte addresses, so that a mask can select among the three.
        auto address = [](IndexedPoint* p) { return reinterpret_cast<std::uintptr_t>(p); };
        std::uintptr_t low = address(dst + lower[b]), up = address(dst + (n - 1 - upper[b])), mid = address(src + begin);
        for (auto i = static_cast<std::uint32_t>(begin); i < end; ++i) {
            IndexedPoint item;
            std::memcpy(&item, src + i, sizeof item);
            const Side side = side_of(i, item);
            const auto to_lower = static_cast<std::uintptr_t>(side.lower >> 63);  // all ones or zero
            const auto to_upper = static_cast<std::uintptr_t>(side.upper >> 63);
            std::uintptr_t at = mid ^ ((mid ^ low) & to_lower);
            at ^= (at ^ up) & to_upper;
            std::memcpy(reinterpret_cast<void*>(at), &item, sizeof item);
            low += to_lower & sizeof item;
            up -= to_upper & sizeof item;
            mid += ~(to_lower | to_upper) & sizeof item;
        }
    });
    std::uint32_t middle = 0;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t begin = b * SPLIT_BLOCK, end = std::min(n, begin + SPLIT_BLOCK);
        const std::uint32_t count = end - begin - (lower[b + 1] - lower[b]) - (upper[b + 1] - upper[b]);
        std::memmove(src + middle, src + begin, count * sizeof *src);
        middle += count;
    }
    return {lower[blocks], lower[blocks] + middle};
}

// Sorts src[0, n) on `dim` into dst[0, n) (n <= RANKED_MAX): every item goes straight to
// its rank, the number of smaller keys plus the number of equal keys before it. Each pair
// is compared once: i < j adds [key j < key i] to rank i and the opposite to rank j.
inline void sort_by_rank(const IndexedPoint* src, IndexedPoint* dst, std::uint32_t n, unsigned dim) {
    alignas(16) std::int32_t keys[RANKED_MAX + 4], rank[RANKED_MAX + 4] = {};
    for (std::uint32_t i = 0; i < n; ++i) keys[i] = order_key(src[i], dim);
    for (std::uint32_t i = n; i % 4 != 0; ++i) keys[i] = INT32_MAX;  // ranks past n are never read
#if defined(__SSE2__)
    const __m128i one = _mm_set1_epi32(1);
    for (std::uint32_t i = 0; i + 1 < n; ++i) {
        const __m128i key = _mm_set1_epi32(keys[i]);
        // The block holding j = i + 1 also holds j <= i, which are masked out.
        std::uint32_t j = (i + 1) & ~3u;
        const __m128i after = _mm_cmpgt_epi32(_mm_add_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(static_cast<int>(j))),
                                              _mm_set1_epi32(static_cast<int>(i)));
        __m128i less = _mm_and_si128(after, _mm_cmpgt_epi32(key, _mm_load_si128(reinterpret_cast<const __m128i*>(keys + j))));
        __m128i* r = reinterpret_cast<__m128i*>(rank + j);
        _mm_store_si128(r, _mm_add_epi32(_mm_load_si128(r), _mm_add_epi32(_mm_and_si128(after, one), less)));
        __m128i mine = less;
        for (j += 4; j < n; j += 4) {
            less = _mm_cmpgt_epi32(key, _mm_load_si128(reinterpret_cast<const __m128i*>(keys + j)));
            r = reinterpret_cast<__m128i*>(rank + j);
            _mm_store_si128(r, _mm_add_epi32(_mm_load_si128(r), _mm_add_epi32(one, less)));
            mine = _mm_add_epi32(mine, less);
        }
        // mine counts -1 per later smaller key.
        mine = _mm_add_epi32(mine, _mm_shuffle_epi32(mine, _MM_SHUFFLE(1, 0, 3, 2)));
        mine = _mm_add_epi32(mine, _mm_shuffle_epi32(mine, _MM_SHUFFLE(2, 3, 0, 1)));
        rank[i] -= _mm_cvtsi128_si32(mine);
    }
#else
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = i + 1; j < n; ++j) {
            const bool less = keys[j] < keys[i];
            rank[i] += less;
            rank[j] += !less;
        }
#endif
    for (std::uint32_t i = 0; i < n; ++i) dst[rank[i]] = src[i];
}

inline float coordinate(const IndexedPoint& p, unsigned dim) {
    float v;
    std::memcpy(&v, reinterpret_cast<const char*>(&p) + 4 * dim, sizeof v);
    return v;
}

// Smallest and largest coordinate on `dim`, NaN ignored.
inline std::pair<float, float> coordinate_range(const IndexedPoint* items, std::uint32_t n, unsigned dim) {
    float lo = INFINITY, hi = -INFINITY;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float v = coordinate(items[i], dim);
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    return {lo, hi};
}

// Rank k of dst[0, n) in place with std::nth_element: the way out for the rare ranges
// where the faster selections would not shrink the part to search, such as heavily
// repeated keys or infinite coordinates.
inline void select_in_place(IndexedPoint* dst, std::uint32_t n, std::uint32_t k, unsigned dim) {
    std::nth_element(dst, dst + k, dst + n, [dim](const IndexedPoint& a, const IndexedPoint& b) {
        return order_key(a, dim) < order_key(b, dim);
    });
}

// Rank k of src[0, n) on `dim` into dst[0, n) (n <= SLICED_MAX), whose coordinates other
// than NaN lie in [lo, hi]; src is clobbered. Items are counted into equal slices of that
// range; the slice that holds rank k becomes the middle part, and only it is ordered
// further. The slice number is monotone in the coordinate, so the order is valid however
// the range falls; NaN goes to slice 0, which float < allows as much as any place.
inline void select_by_slices(IndexedPoint* src, IndexedPoint* dst, std::uint32_t n, std::uint32_t k, unsigned dim,
                             float lo, float hi) {
    if (n <= RANKED_MAX) return sort_by_rank(src, dst, n, dim);
    if (lo == hi || lo > hi) {
        // All coordinates equal or NaN: any order will do. (A NaN bound, which a sample
        // key can give, fails both tests.)
        std::memcpy(dst, src, n * sizeof *src);
        return;
    }
    const std::uint32_t slices = std::clamp<std::uint32_t>(n / 4, 2, 256);
    const float scale = static_cast<float>(slices) / (hi - lo), last = static_cast<float>(slices - 1);
    if (!std::isfinite(scale) || !(scale > 0.0f)) {
        std::memcpy(dst, src, n * sizeof *src);
        return select_in_place(dst, n, k, dim);
    }
    std::uint8_t slice_of[SLICED_MAX];
    std::uint32_t count[256];
    std::fill_n(count, slices, 0u);
    for (std::uint32_t i = 0; i < n; ++i) {
        const float t = std::min(std::max(0.0f, (coordinate(src[i], dim) - lo) * scale), last);
        const auto s = static_cast<std::uint8_t>(t);
        slice_of[i] = s;
        ++count[s];
    }
    std::uint32_t middle_slice = 0, before = 0;
    while (before + count[middle_slice] <= k) before += count[middle_slice++];

    const auto [below, above] = split_three_ways(src, dst, n, [&](std::uint32_t i, const IndexedPoint&) {
        const std::int64_t slice = slice_of[i];
        return Side{slice - middle_slice, middle_slice - slice};
    });
    const std::uint32_t middle = above - below;
    if (middle == n) {
        std::memcpy(dst, src, n * sizeof *src);
        return select_in_place(dst, n, k, dim);
    }
    const auto [mlo, mhi] = coordinate_range(src, middle, dim);
    select_by_slices(src, dst + below, middle, k - below, dim, mlo, mhi);
}

// The keys of `count` items spread evenly over src[0, n), ranks lo and hi of them (lo < hi).
inline std::pair<std::int32_t, std::int32_t> sample_keys(const IndexedPoint* src, std::uint32_t n, unsigned dim,
                                                         std::uint32_t count, std::uint32_t lo, std::uint32_t hi) {
    std::int32_t keys[SAMPLE_MAX];
    for (std::uint32_t i = 0; i < count; ++i) keys[i] = order_key(src[(2 * std::uint64_t{i} + 1) * n / (2 * count)], dim);
    std::nth_element(keys, keys + lo, keys + count);
    std::nth_element(keys + lo + 1, keys + hi, keys + count);
    return {keys[lo], keys[hi]};
}

// The coordinate whose order key is `key` (the key map is its own inverse).
inline float key_coordinate(std::int32_t key) {
    const std::int32_t bits = key ^ ((key >> 31) & 0x7FFFFFFF);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Rank k of src[0, n) on `dim` into dst[0, n); src is clobbered. The coordinates lie in
// [lo, hi], which only steers the slices of small ranges. With a pool, large ranges are
// split on it, with the same result.
inline void select_into(IndexedPoint* src, IndexedPoint* dst, std::uint32_t n, std::uint32_t k, unsigned dim,
                        float lo, float hi, WorkerPool* pool = nullptr) {
    if (n <= SLICED_MAX) return select_by_slices(src, dst, n, k, dim, lo, hi);
    // Two sample keys that bracket rank k of the sample with a margin of three standard
    // deviations of a sample rank bound the middle part.
    const std::uint32_t count = n >= 16 * SAMPLE_MAX ? SAMPLE_MAX : SAMPLE_MAX / 4;
    const std::uint32_t margin = count == SAMPLE_MAX ? 48 : 24;
    const auto at = static_cast<std::uint32_t>(static_cast<std::uint64_t>(k) * count / n);
    const std::uint32_t lo_rank = at > margin ? at - margin : 0;
    // Plain variables, not a structured binding: the lambda below captures them, which
    // older compilers (clang before 16) refuse for bindings.
    const auto bracket =
        sample_keys(src, n, dim, count, lo_rank, std::max(std::min(at + margin, count - 1), lo_rank + 1));
    const auto first = bracket.first, last = bracket.second;

    auto side_of = [&](std::uint32_t, const IndexedPoint& item) {
        const std::int64_t key = order_key(item, dim);
        return Side{key - first, last - key};
    };
    const bool blocks = pool != nullptr && pool->size() > 1 && n >= 2 * SPLIT_BLOCK;
    const auto [below, above] = blocks ? split_three_ways(*pool, src, dst, n, side_of) : split_three_ways(src, dst, n, side_of);
    const std::uint32_t middle = above - below;
    if (k >= below && k < above) {
        if (first == last || middle > n / 4 * 3) {
            // Equal keys need no order; a middle part this large means repeated keys.
            std::memcpy(dst + below, src, middle * sizeof *src);
            if (first != last) select_in_place(dst + below, middle, k - below, dim);
            return;
        }
        return select_into(src, dst + below, middle, k - below, dim, key_coordinate(first), key_coordinate(last), pool);
    }
    // The sample missed rank k: select again in the part that holds it.
    std::memcpy(dst + below, src, middle * sizeof *src);
    const bool lower = k < below;
    const std::uint32_t begin = lower ? 0 : above, end = lower ? below : n;
    if (end - begin > n / 4 * 3) return select_in_place(dst + begin, end - begin, k - begin, dim);
    select_into(dst + begin, src, end - begin, k - begin, dim, lower ? lo : key_coordinate(last),
                lower ? key_coordinate(first) : hi);
    std::memcpy(dst + begin, src, (end - begin) * sizeof *src);
}

}  // namespace kesra::kd_select
