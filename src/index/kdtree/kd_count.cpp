#include <cstdint>

#include "index/kdtree/kd_tree.hpp"
#include "index/scan/distance_block.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesra {

namespace {

#if defined(__SSE2__)

// (a0^2 + a1^2) + a2^2, in the order of squared_distance.
float sum_of_squares(__m128 a) {
    const __m128 sq = _mm_mul_ps(a, a);
    return _mm_cvtss_f32(_mm_add_ss(_mm_add_ss(sq, _mm_shuffle_ps(sq, sq, 1)), _mm_shuffle_ps(sq, sq, 2)));
}

// The box of a subtree's region: the box of all the tree's points cut by the splitting
// planes above it. Lanes x, y, z; the fourth lane is 0.
struct Region {
    __m128 lo, hi;
};

// Per axis, |q - p| of a point p of the region is at least how far q lies outside the
// region and at most the distance to the region's farther face. Float rounding is
// monotone, so the sums of squares of these bound the squared distance of every point of
// the region from below and above, as squared_distance computes it.
float nearest_sq(const Region& r, __m128 q) {
    return sum_of_squares(_mm_max_ps(_mm_max_ps(_mm_sub_ps(r.lo, q), _mm_sub_ps(q, r.hi)), _mm_setzero_ps()));
}

float farthest_sq(const Region& r, __m128 q) { return sum_of_squares(_mm_max_ps(_mm_sub_ps(q, r.lo), _mm_sub_ps(r.hi, q))); }

// All bits set in lane `dim` only.
__m128 lane_mask(unsigned dim) {
    alignas(16) static constexpr std::int32_t masks[3][4] = {{-1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}};
    return _mm_load_ps(reinterpret_cast<const float*>(masks[dim]));
}

// v with the lanes of `mask` taken from `with`.
__m128 blend(__m128 v, __m128 mask, __m128 with) { return _mm_or_ps(_mm_and_ps(mask, with), _mm_andnot_ps(mask, v)); }

// The points of [first, second) within the bound, four at a time; a last partial block
// reads past `second` (within the points) and masks off the extra lanes.
std::uint32_t count_leaf(const Point& q, const DistanceBlock& four, const Point* points, std::uint32_t first,
                         std::uint32_t second, std::size_t num_points, __m128 bound) {
    std::uint32_t n = 0, p = first;
    for (; p + 4 <= second; p += 4) n += DistanceBlock::count_of(DistanceBlock::below(four.four(points + p), bound));
    if (p < second && p + 4 <= num_points) {
        const unsigned lanes = (1u << (second - p)) - 1;
        return n + DistanceBlock::count_of(DistanceBlock::below(four.four(points + p), bound) & lanes);
    }
    for (; p < second; ++p) n += !(squared_distance(q, points[p]) >= _mm_cvtss_f32(bound));
    return n;
}

// The number of points under node `index`: from the first position of its leftmost leaf
// to the end of its rightmost one, which a tree that passed its checks lays out in order.
// 0 with `known` false when either path is longer than a walk could descend.
std::uint32_t points_below(const Node* nodes, std::size_t num_nodes, std::uint32_t index, std::size_t num_points,
                           bool& known) {
    std::uint32_t left = index, right = index;
    for (std::size_t depth = 0; nodes[left].split_dim != KD_LEAF_DIM || nodes[right].split_dim != KD_LEAF_DIM; ++depth) {
        if (depth == KD_STACK_CAPACITY) {
            known = false;
            return 0;
        }
        if (nodes[left].split_dim != KD_LEAF_DIM) left = nodes[left].first;
        if (nodes[right].split_dim != KD_LEAF_DIM) right = nodes[right].second;
        check(left < num_nodes && right < num_nodes, "kd node index outside nodes");
    }
    const Node &first = nodes[left], &last = nodes[right];
    check(first.first <= last.second && last.second <= num_points, "kd leaf range outside points");
    known = true;
    return last.second - first.first;
}

// The plain count of a finite query over finite points: the count walk, which also adds a
// whole subtree's points without computing a distance when its region lies within the
// radius. A far child is pushed only when its region may hold a point within the radius;
// the indices are checked as in the general walk.
void count_by_regions(const Node* nodes, std::size_t num_nodes, std::uint32_t root, const Point* points,
                      std::size_t num_points, const Point& q, CountAccumulator& acc, const PointBox& box) {
    struct Entry {
        Region region;
        std::uint32_t node;
    };
    const float bound = acc.max_dist_sq();
    const __m128 bound4 = _mm_set1_ps(bound);
    const DistanceBlock four(q);
    const float qv[3] = {q.x, q.y, q.z};
    const __m128 q4 = _mm_setr_ps(q.x, q.y, q.z, 0.0f);
    Entry stack[KD_STACK_CAPACITY];
    std::size_t top = 0, steps = 0;
    const Region all{_mm_setr_ps(box.lo[0], box.lo[1], box.lo[2], 0.0f), _mm_setr_ps(box.hi[0], box.hi[1], box.hi[2], 0.0f)};
    if (nearest_sq(all, q4) < bound) stack[top++] = {all, root};
    std::uint64_t inside = 0;
    while (top > 0) {
        const Entry& entry = stack[--top];
        Region region = entry.region;
        std::uint32_t index = entry.node;
        check(index < num_nodes, "kd node index outside nodes");
        // Only a popped region is tried whole: the near child on the way down holds q and
        // is seldom within the radius before its leaf.
        if (farthest_sq(region, q4) < bound) {
            bool known;
            const std::uint32_t count = points_below(nodes, num_nodes, index, num_points, known);
            if (known) {
                inside += count;
                continue;
            }
        }
        for (;;) {
            check((index < num_nodes) & (++steps <= num_nodes), "kd node index outside nodes, or a node revisited");
            const Node& node = nodes[index];
            if (node.split_dim == KD_LEAF_DIM) {
                check((node.first <= node.second) & (node.second <= num_points), "kd leaf range outside points");
                inside += count_leaf(q, four, points, node.first, node.second, num_points, bound4);
                break;
            }
            check(node.split_dim < KD_LEAF_DIM, "kd split_dim above 3");
            const bool lower_is_near = qv[node.split_dim] - node.split_value < 0.0f;
            const __m128 mask = lane_mask(node.split_dim), split = _mm_set1_ps(node.split_value);
            Region far = region;
            if (lower_is_near) {
                far.lo = blend(region.lo, mask, split);
                region.hi = blend(region.hi, mask, split);
            } else {
                far.hi = blend(region.hi, mask, split);
                region.lo = blend(region.lo, mask, split);
            }
            if (nearest_sq(far, q4) < bound) {
                check(top + 2 <= KD_STACK_CAPACITY, "kd traversal stack overflow");
                stack[top++] = {far, lower_is_near ? node.second : node.first};
            }
            index = lower_is_near ? node.first : node.second;
        }
    }
    acc.add_count(inside);
}

#endif

}  // namespace

void kd_count_search(const Node* nodes, std::size_t num_nodes, std::uint32_t root, const Point* points,
                     std::size_t num_points, bool finite_points, const Point& q, CountAccumulator& acc,
                     const PointBox* box) {
    const bool tight = finite_points && is_finite(q);
#if defined(__SSE2__)
    // Weighted sums need every distance, in traversal order.
    if (tight && box != nullptr && !acc.weighted())
        return count_by_regions(nodes, num_nodes, root, points, num_points, q, acc, *box);
#endif
    const float bound = acc.max_dist_sq();
    kd_detail::walk(nodes, num_nodes, root, num_points, q, tight, box, [bound] { return bound; },
                    [&](std::uint32_t first, std::uint32_t second) {
                        count_range(q, points, first, second, acc);
                        return false;
                    },
                    [](float) {});
}

}  // namespace kesra
