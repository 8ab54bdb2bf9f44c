#include "index/kdtree/kd_tree.hpp"

#include <algorithm>
#include <limits>

namespace kesra {

namespace {

float coordinate(const IndexedPoint& p, std::uint8_t dim) { return dim == 0 ? p.x : dim == 1 ? p.y : p.z; }

// Chooses the widest axis of items[0, count) and moves the item of rank count / 2 on it
// to the middle. Returns the inner node without its child links.
Node split_at_median(IndexedPoint* items, std::uint32_t count) {
    const float inf = std::numeric_limits<float>::infinity();
    float lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
    for (std::uint32_t i = 0; i < count; ++i) {
        const float v[3] = {items[i].x, items[i].y, items[i].z};
        for (int d = 0; d < 3; ++d) {
            // A NaN coordinate fails both comparisons and leaves the box as it is.
            lo[d] = v[d] < lo[d] ? v[d] : lo[d];
            hi[d] = v[d] > hi[d] ? v[d] : hi[d];
        }
    }
    const float extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    std::uint8_t dim = 0;
    if (extent[1] > extent[dim]) dim = 1;
    if (extent[2] > extent[dim]) dim = 2;

    IndexedPoint* mid = items + count / 2;
    std::nth_element(items, mid, items + count, [dim](const IndexedPoint& a, const IndexedPoint& b) {
        return coordinate(a, dim) < coordinate(b, dim);
    });
    return {coordinate(*mid, dim), 0, 0, dim};
}

Node leaf(std::uint32_t offset, std::uint32_t count) { return {0.0f, offset, offset + count, KD_LEAF_DIM}; }

// Writes the subtree over items[0, count) in pre-order from nodes[at]; returns the index
// after its last node.
std::uint32_t build_range(IndexedPoint* items, std::uint32_t count, std::uint32_t offset, Node* nodes,
                          std::uint32_t at) {
    if (count <= KD_LEAF_SIZE) {
        nodes[at] = leaf(offset, count);
        return at + 1;
    }
    Node node = split_at_median(items, count);
    const std::uint32_t mid = count / 2;
    node.first = at + 1;
    node.second = build_range(items, mid, offset, nodes, node.first);
    nodes[at] = node;
    return build_range(items + mid, count - mid, offset + mid, nodes, node.second);
}

// A part of the build still to be done: the subtree over items[0, count), whose root goes
// to nodes[at].
struct PendingRange {
    IndexedPoint* items;
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

std::vector<Node> kd_build_nodes(WorkerPool& pool, IndexedPoint* items, std::uint32_t count,
                                 std::uint32_t offset) {
    // Every subtree's size is known in advance, so each part of the build writes straight
    // into its own slice of the one array and the result is the same however the parts
    // were spread over threads.
    std::vector<Node> nodes(kd_node_count(count));
    Node* out = nodes.data();
    if (count < KD_PARALLEL_MIN) {
        build_range(items, count, offset, out, 0);
        return nodes;
    }
    // Split the top levels one depth per loop, the ranges of a depth in parallel, until
    // there are enough ranges to keep every thread busy or none is large enough to halve
    // in parallel; then build the remaining ranges whole.
    std::vector<PendingRange> ranges{{items, count, offset, 0}};
    const std::size_t wanted = 4 * pool.size();
    while (ranges.size() < wanted) {
        std::vector<std::size_t> halved;
        for (std::size_t i = 0; i < ranges.size(); ++i)
            if (ranges[i].count >= KD_PARALLEL_MIN) halved.push_back(i);
        if (halved.empty()) break;
        std::vector<PendingRange> next = ranges;
        next.resize(ranges.size() + halved.size());
        pool.for_each(halved.size(), [&](std::size_t j) {
            const PendingRange r = ranges[halved[j]];
            Node node = split_at_median(r.items, r.count);
            const std::uint32_t mid = r.count / 2;
            node.first = r.at + 1;
            node.second = node.first + static_cast<std::uint32_t>(kd_node_count(mid));
            out[r.at] = node;
            next[halved[j]] = {r.items, mid, r.offset, node.first};
            next[ranges.size() + j] = {r.items + mid, r.count - mid, r.offset + mid, node.second};
        });
        ranges.swap(next);
    }
    pool.for_each(ranges.size(), [&](std::size_t i) {
        const PendingRange& r = ranges[i];
        build_range(r.items, r.count, r.offset, out, r.at);
    });
    return nodes;
}

void kd_count_search(const Node* nodes, std::size_t num_nodes, std::uint32_t root, const Point* points,
                     std::size_t num_points, bool finite_points, const Point& q, CountAccumulator& acc,
                     const PointBox* box) {
    const float bound = acc.max_dist_sq();
    kd_detail::walk(nodes, num_nodes, root, num_points, q, finite_points && is_finite(q), box,
                    [bound] { return bound; },
                    [&](std::uint32_t first, std::uint32_t second) {
                        count_range(q, points, first, second, acc);
                        return false;
                    },
                    [](float) {});
}

KdTree KdTree::build(WorkerPool& pool, const PointsView& search_points) {
    check(search_points.cols >= 3, "search points need three columns");
    check(search_points.rows <= UINT32_MAX, "too many search points");
    KdTree tree;
    const std::size_t n = search_points.rows;
    if (n == 0) return tree;

    constexpr std::size_t block = 1 << 15;
    std::vector<IndexedPoint> items(n);
    pool.for_each_block(n, block, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Point p = search_points.point(i);
            items[i] = {p.x, p.y, p.z, static_cast<std::uint32_t>(i)};
        }
    });
    tree.nodes = kd_build_nodes(pool, items.data(), static_cast<std::uint32_t>(n), 0);
    tree.points.resize(n);
    tree.original_indices.resize(n);
    pool.for_each_block(n, block, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            tree.points[i] = {items[i].x, items[i].y, items[i].z};
            tree.original_indices[i] = items[i].row;
        }
    });
    tree.finite_points = all_finite(tree.points.data(), n);
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

std::size_t KdTree::memory_bytes() const {
    return points.capacity() * sizeof(Point) + original_indices.capacity() * sizeof(std::uint32_t) +
           nodes.capacity() * sizeof(Node);
}

}  // namespace kesra
