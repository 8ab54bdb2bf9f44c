#include "query/row_order.hpp"

namespace kesra {

namespace {

// A sort key for the row at q, leaving the low WINDOW_BITS bits free: its cube of edge
// max_dist, as (x, y, z) with z fastest, each coordinate kept modulo 2^14 or 2^15 and
// rounded toward zero. Rows of one cube get equal keys and neighbouring cubes mostly near
// ones; nothing else depends on it. Non-finite coordinates give some key.
std::uint64_t spatial_key(const Point& q, float inv_edge) {
    auto cube = [inv_edge](float v) -> std::uint64_t {
        float t = v * inv_edge;
        if (!(t > -1e9f)) t = -1e9f;  // NaN and -inf included
        if (t > 1e9f) t = 1e9f;
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(t));
    };
    return ((cube(q.x) & 0x3FFF) << 50) | ((cube(q.y) & 0x7FFF) << 35) | ((cube(q.z) & 0x7FFF) << WINDOW_BITS);
}

// Sorts keys by their bits from WINDOW_BITS up, stably: a radix sort of 11 bits a pass,
// which skips the passes whose digit is the same for every key.
void sort_by_cube(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& scratch) {
    constexpr unsigned DIGIT_BITS = 11;
    constexpr std::uint64_t DIGIT_MASK = (1u << DIGIT_BITS) - 1;
    scratch.resize(keys.size());
    std::vector<std::size_t> next(std::size_t{1} << DIGIT_BITS);
    for (unsigned shift = WINDOW_BITS; shift < 64; shift += DIGIT_BITS) {
        std::fill(next.begin(), next.end(), 0);
        for (const std::uint64_t k : keys) ++next[(k >> shift) & DIGIT_MASK];
        if (next[(keys[0] >> shift) & DIGIT_MASK] == keys.size()) continue;
        std::size_t at = 0;
        for (std::size_t& n : next) at += std::exchange(n, at);
        for (const std::uint64_t k : keys) scratch[next[(k >> shift) & DIGIT_MASK]++] = k;
        keys.swap(scratch);
    }
}

}  // namespace

bool rows_jump_about(WorkerPool& pool, const PointsView& queries, float inv_edge, std::size_t first, std::size_t n) {
    // Whether the rows jump about is judged on every SAMPLE_STRIDE-th chunk, so that a
    // scan in its own order, which keeps its order, pays for a few keys only.
    constexpr std::size_t SAMPLE_STRIDE = 8;
    const std::size_t chunks = chunk_count(n);
    const std::size_t sampled = (chunks + SAMPLE_STRIDE - 1) / SAMPLE_STRIDE;
    std::vector<std::uint32_t> changes(sampled), rows(sampled);
    pool.for_each(sampled, [&](std::size_t s) {
        const auto [begin, end] = chunk_rows(s * SAMPLE_STRIDE, n);
        std::uint32_t changed = 0;
        std::uint64_t previous = spatial_key(queries.point(first + begin), inv_edge);
        for (std::size_t i = begin + 1; i < end; ++i) {
            const std::uint64_t key = spatial_key(queries.point(first + i), inv_edge);
            changed += key != previous;
            previous = key;
        }
        changes[s] = changed;
        rows[s] = static_cast<std::uint32_t>(end - begin);
    });
    std::size_t changed = 0, seen = 0;
    for (std::size_t s = 0; s < sampled; ++s) {
        changed += changes[s];
        seen += rows[s];
    }
    return 2 * changed >= seen;
}

bool put_in_order(WorkerPool& pool, const PointsView& queries, float inv_edge, std::size_t first, std::size_t n,
                  std::vector<std::uint64_t>& order, std::vector<std::uint64_t>& scratch) {
    if (!rows_jump_about(pool, queries, inv_edge, first, n)) return false;
    const std::size_t chunks = chunk_count(n);
    order.resize(n);
    pool.for_each(chunks, [&](std::size_t chunk) {
        const auto [begin, end] = chunk_rows(chunk, n);
        for (std::size_t i = begin; i < end; ++i) order[i] = spatial_key(queries.point(first + i), inv_edge) | i;
    });
    sort_by_cube(order, scratch);
    return true;
}

}  // namespace kesra
