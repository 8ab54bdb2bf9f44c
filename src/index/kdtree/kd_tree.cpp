#include "index/kdtree/kd_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "index/kdtree/median_select.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesra {

namespace {

// The box of items[0, count); a NaN coordinate fails both comparisons and leaves it as
// it is. `finite` when no coordinate is NaN or infinite.
PointBox item_box(const IndexedPoint* items, std::uint32_t count, bool* finite = nullptr) {
    PointBox box;
#if defined(__SSE2__)
    // minps(v, lo) is v < lo ? v : lo, as wanted; the fourth lane holds row bits and is
    // ignored. Four boxes at a time keep the min and max units busy.
    __m128 lo4[4], hi4[4], nan = _mm_setzero_ps();
    for (int j = 0; j < 4; ++j) {
        lo4[j] = _mm_set1_ps(INFINITY);
        hi4[j] = _mm_set1_ps(-INFINITY);
    }
    const float* f = &items->x;
    std::uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int j = 0; j < 4; ++j) {
            const __m128 v = _mm_loadu_ps(f + 4 * (i + j));
            lo4[j] = _mm_min_ps(v, lo4[j]);
            hi4[j] = _mm_max_ps(v, hi4[j]);
            if (finite != nullptr) nan = _mm_or_ps(nan, _mm_cmpunord_ps(v, v));
        }
    }
    for (; i < count; ++i) {
        const __m128 v = _mm_loadu_ps(f + 4 * i);
        lo4[0] = _mm_min_ps(v, lo4[0]);
        hi4[0] = _mm_max_ps(v, hi4[0]);
        if (finite != nullptr) nan = _mm_or_ps(nan, _mm_cmpunord_ps(v, v));
    }
    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, _mm_min_ps(_mm_min_ps(lo4[0], lo4[1]), _mm_min_ps(lo4[2], lo4[3])));
    _mm_store_ps(hi, _mm_max_ps(_mm_max_ps(hi4[0], hi4[1]), _mm_max_ps(hi4[2], hi4[3])));
    for (int d = 0; d < 3; ++d) {
        box.lo[d] = lo[d];
        box.hi[d] = hi[d];
    }
    if (finite != nullptr) *finite = (_mm_movemask_ps(nan) & 7) == 0;
#else
    box = {{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
    bool nan = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const float v[3] = {items[i].x, items[i].y, items[i].z};
        for (int d = 0; d < 3; ++d) {
            box.lo[d] = v[d] < box.lo[d] ? v[d] : box.lo[d];
            box.hi[d] = v[d] > box.hi[d] ? v[d] : box.hi[d];
            nan |= v[d] != v[d];
        }
    }
    if (finite != nullptr) *finite = !nan;
#endif
    if (finite != nullptr)
        for (int d = 0; d < 3; ++d) *finite = *finite && std::isfinite(box.lo[d]) && std::isfinite(box.hi[d]);
    return box;
}

// The box around the boxes of the blocks of a range (at least one).
PointBox merged_box(const std::vector<PointBox>& boxes) {
    PointBox box = boxes[0];
    for (const PointBox& b : boxes)
        for (int d = 0; d < 3; ++d) {
            box.lo[d] = std::min(box.lo[d], b.lo[d]);
            box.hi[d] = std::max(box.hi[d], b.hi[d]);
        }
    return box;
}

// The box of items[0, count) in blocks on the pool.
PointBox item_box(WorkerPool& pool, const IndexedPoint* items, std::uint32_t count) {
    constexpr std::uint32_t block = kd_select::SPLIT_BLOCK;
    std::vector<PointBox> boxes((count + block - 1) / block);
    pool.for_each_block(count, block, [&](std::size_t b, std::size_t begin, std::size_t end) {
        boxes[b] = item_box(items + begin, static_cast<std::uint32_t>(end - begin));
    });
    return merged_box(boxes);
}

// Splits the items in src[0, count) at the median of their widest axis into dst[0, count)
// (src is clobbered), on the pool if one is given. Returns the inner node without its
// child links.
Node split_at_median(IndexedPoint* src, IndexedPoint* dst, std::uint32_t count, WorkerPool* pool = nullptr) {
    const PointBox box = pool != nullptr ? item_box(*pool, src, count) : item_box(src, count);
    // The widest axis, ties to the lower one; a NaN extent never wins.
    unsigned dim = 0;
    for (unsigned d = 1; d < 3; ++d)
        if (box.hi[d] - box.lo[d] > box.hi[dim] - box.lo[dim]) dim = d;
    const std::uint32_t mid = count / 2;
    kd_select::select_into(src, dst, count, mid, dim, box.lo[dim], box.hi[dim], pool);
    float split;
    std::memcpy(&split, reinterpret_cast<const char*>(dst + mid) + 4 * dim, sizeof split);
    return {split, 0, 0, static_cast<std::uint8_t>(dim)};
}

// Writes the subtree over the items in src[0, count) in pre-order from nodes[at], and its
// points in tree order to `out` from position offset; dst[0, count) is scratch. Returns
// the index after its last node.
std::uint32_t build_range(IndexedPoint* src, IndexedPoint* dst, std::uint32_t count, std::uint32_t offset,
                          const TreeOrder& out, Node* nodes, std::uint32_t at) {
    if (count <= KD_LEAF_SIZE) {
        for (std::uint32_t i = 0; i < count; ++i) {
            out.points[offset + i] = {src[i].x, src[i].y, src[i].z};
            out.rows[offset + i] = src[i].row;
        }
        nodes[at] = {0.0f, offset, offset + count, KD_LEAF_DIM};
        return at + 1;
    }
    Node node = split_at_median(src, dst, count);
    const std::uint32_t mid = count / 2;
    // The items now lie in dst, and src is the scratch of the halves.
    node.first = at + 1;
    node.second = build_range(dst, src, mid, offset, out, nodes, node.first);
    nodes[at] = node;
    return build_range(dst + mid, src + mid, count - mid, offset + mid, out, nodes, node.second);
}

// A part of the build still to be done: the subtree over the items in src[0, count), with
// scratch dst[0, count), whose root goes to nodes[at].
struct PendingRange {
    IndexedPoint* src;
    IndexedPoint* dst;
    std::uint32_t count;
    std::uint32_t offset;
    std::uint32_t at;
};

}  // namespace

std::size_t kd_node_count(std::uint64_t count) {
    // Halving floor/ceil keeps the sizes of one depth within two adjacent values, so each
    // depth is `small` ranges of `size` points and `large` ranges of size + 1.
    std::size_t total = 0;
    std::uint64_t size = count, small = 1, large = 0;
    while (small + large > 0) {
        total += small + large;
        const std::uint64_t half = size / 2;
        std::uint64_t next_small = 0, next_large = 0;
        auto split = [&](std::uint64_t n, std::uint64_t times) {
            if (times == 0 || n <= KD_LEAF_SIZE) return;
            for (const std::uint64_t part : {n / 2, n - n / 2}) (part == half ? next_small : next_large) += times;
        };
        split(size, small);
        split(size + 1, large);
        size = half;
        small = next_small;
        large = next_large;
    }
    return total;
}

std::vector<Node> kd_build_nodes(WorkerPool& pool, IndexedPoint* items, IndexedPoint* scratch, std::uint32_t count,
                                 std::uint32_t offset, const TreeOrder& out) {
    // Every subtree's size is known in advance, so each part of the build writes straight
    // into its own slice of the one array and the result is the same however the parts
    // were spread over threads.
    std::vector<Node> nodes(kd_node_count(count));
    Node* tree = nodes.data();
    if (count < KD_PARALLEL_MIN) {
        build_range(items, scratch, count, offset, out, tree, 0);
        return nodes;
    }
    // Split the top levels one depth per loop, the ranges of a depth in parallel, until
    // there are enough ranges to keep every thread busy or none is large enough to halve
    // in parallel; then build the remaining ranges whole.
    std::vector<PendingRange> ranges{{items, scratch, count, offset, 0}};
    const std::size_t wanted = 4 * pool.size();
    while (ranges.size() < wanted) {
        std::vector<std::size_t> halved;
        for (std::size_t i = 0; i < ranges.size(); ++i)
            if (ranges[i].count >= KD_PARALLEL_MIN) halved.push_back(i);
        if (halved.empty()) break;
        std::vector<PendingRange> next = ranges;
        next.resize(ranges.size() + halved.size());
        // Fewer ranges than threads: each split runs on the whole pool, one after the other.
        // A split on the pool reads its range twice (counts, then stores), so it only pays
        // with more than two threads; with two, one thread splits alone.
        const bool few = halved.size() < pool.size() && pool.size() > 2;
        auto split = [&](std::size_t j) {
            const PendingRange r = ranges[halved[j]];
            Node node = split_at_median(r.src, r.dst, r.count, few ? &pool : nullptr);
            const std::uint32_t mid = r.count / 2;
            node.first = r.at + 1;
            node.second = node.first + static_cast<std::uint32_t>(kd_node_count(mid));
            tree[r.at] = node;
            next[halved[j]] = {r.dst, r.src, mid, r.offset, node.first};
            next[ranges.size() + j] = {r.dst + mid, r.src + mid, r.count - mid, r.offset + mid, node.second};
        };
        if (few) {
            for (std::size_t j = 0; j < halved.size(); ++j) split(j);
        } else {
            pool.for_each(halved.size(), split);
        }
        ranges.swap(next);
    }
    pool.for_each(ranges.size(), [&](std::size_t i) {
        const PendingRange& r = ranges[i];
        build_range(r.src, r.dst, r.count, r.offset, out, tree, r.at);
    });
    return nodes;
}

KdTree KdTree::build(WorkerPool& pool, const PointsView& search_points) {
    check(search_points.cols >= 3, "search points need three columns");
    check(search_points.rows <= UINT32_MAX, "too many search points");
    KdTree tree;
    const std::size_t n = search_points.rows;
    if (n == 0) return tree;

    // The items and the scratch of the build in one uninitialised buffer. Each block also
    // gives the box of its points and whether they are all finite.
    const auto items = std::make_unique_for_overwrite<IndexedPoint[]>(2 * n);
    constexpr std::size_t block = std::size_t{1} << 15;
    std::vector<PointBox> boxes((n + block - 1) / block);
    std::unique_ptr<bool[]> finite(new bool[boxes.size()]);
    pool.for_each_block(n, block, [&](std::size_t b, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Point p = search_points.point(i);
            items[i] = {p.x, p.y, p.z, static_cast<std::uint32_t>(i)};
        }
        boxes[b] = item_box(items.get() + begin, static_cast<std::uint32_t>(end - begin), &finite[b]);
    });
    tree.points.resize(n);
    tree.original_indices.resize(n);
    tree.nodes = kd_build_nodes(pool, items.get(), items.get() + n, static_cast<std::uint32_t>(n), 0,
                                {tree.points.data(), tree.original_indices.data()});
    tree.finite_points = std::all_of(finite.get(), finite.get() + boxes.size(), [](bool f) { return f; });
    tree.box = merged_box(boxes);
    return tree;
}

PointBox bounding_box(const Point* points, std::size_t n) {
    PointBox box{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
    for (std::size_t i = 0; i < n; ++i) {
        const float v[3] = {points[i].x, points[i].y, points[i].z};
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = std::min(box.lo[a], v[a]);
            box.hi[a] = std::max(box.hi[a], v[a]);
        }
    }
    return box;
}

void KdTree::derive() {
    finite_points = all_finite(points.data(), points.size());
    box = bounding_box(points.data(), points.size());
}

std::size_t KdTree::memory_bytes() const {
    return points.capacity() * sizeof(Point) + original_indices.capacity() * sizeof(std::uint32_t) +
           nodes.capacity() * sizeof(Node);
}

}  // namespace kesra
