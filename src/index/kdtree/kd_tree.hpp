#pragma once
// The "kdtree" structure: a balanced kd-tree split at the median of the widest axis, with
// leaves of at most KD_LEAF_SIZE points over contiguous ranges of `points`. The build and
// the two traversals take a root and a position offset so that the hybrid grid can reuse
// them for per-cell subtrees sharing one node array.
//
// Immutable after build: any number of threads may query one tree without locks.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "pool/worker_pool.hpp"
#include "index/results/count_accumulator.hpp"
#include "base/errors.hpp"
#include "index/results/neighbour_list.hpp"
#include "index/scan/range_scan.hpp"
#include "base/points_view.hpp"
#include "index/build_params.hpp"
#include "index/grid_stats.hpp"
#include "index/results/any_order_list.hpp"
#include "index/results/result_set.hpp"

namespace kesra {

inline constexpr std::uint32_t KD_LEAF_SIZE = 16;
inline constexpr std::uint32_t KD_PARALLEL_MIN = 16384;
inline constexpr std::size_t KD_STACK_CAPACITY = 64;
inline constexpr std::uint8_t KD_LEAF_DIM = 3;

// Inner node: children at `first` (lower) and `second` (upper) in the node array.
// Leaf (split_dim == KD_LEAF_DIM): the positions [first, second) of the points.
struct Node {
    float split_value;
    std::uint32_t first;
    std::uint32_t second;
    std::uint8_t split_dim;
};
// Four payload fields of 4+4+4+1 bytes cannot share 12 bytes without losing values a
// restored state may hold, so the record is padded to 16.
static_assert(sizeof(Node) == 16);

// A point with its row number, permuted in place by the build.
struct IndexedPoint {
    float x, y, z;
    std::uint32_t row;
};

// Number of nodes of the tree over `count` points; fixed by the halving rule alone.
std::size_t kd_node_count(std::uint64_t count);

// Where a build writes its points in tree order: the point at position p goes to
// points[p] and its row number to rows[p].
struct TreeOrder {
    Point* points;
    std::uint32_t* rows;
};

// Builds the nodes over items[0, count) and writes the items in tree order to positions
// offset to offset + count - 1 of `out`. The items and scratch[0, count) are clobbered.
// Element 0 is the root; inner nodes refer to children by index in the returned list and
// leaf ranges are absolute positions. The result does not depend on the pool size, and
// the pool may be in a loop already (then everything runs inline).
std::vector<Node> kd_build_nodes(WorkerPool& pool, IndexedPoint* items, IndexedPoint* scratch, std::uint32_t count,
                                 std::uint32_t offset, const TreeOrder& out);

namespace kd_detail {

struct StackEntry {
    std::uint32_t node;
    float bound;      // lower bound of the squared distance to any point below `node`
    float offset[3];  // per axis, how far q lies outside the node's region (tight walk)
};

// max(a, b) where a NaN operand is ignored.
inline float max_ignoring_nan(float a, float b) {
    if (b != b) return a;
    if (a != a) return b;
    return a < b ? b : a;
}

}  // namespace kd_detail

// Bounding box of the points of a (sub)tree, for a tighter start of the tight walk.
struct PointBox {
    float lo[3];
    float hi[3];
};

PointBox bounding_box(const Point* points, std::size_t n);

namespace kd_detail {

// Walks the tree under `root` near child first, dropping every entry whose bound is
// >= bound(); leaf(first, second) scans a range and returns true to end the walk.
//
// The far child's bound is max(b, diff^2). With `tight` (finite query, finite points)
// it is instead ((ox^2 + oy^2) + oz^2) over the per-axis offsets of q from the child's
// region. Float rounding is monotone, so that sum never exceeds the squared distance of
// a point below the child: a subtree it drops holds only points every offer would
// reject, and the results are the same, with fewer leaves visited.
//
// With a `box` of all the points below the root, the tight walk starts from q's offsets
// to that box: coordinates inside it bound the differences the same monotone way.
//
// skipped(b) hears the bound of every entry dropped.
template <class Bound, class Leaf, class Skipped>
void walk(const Node* nodes, std::size_t num_nodes, std::uint32_t root, std::size_t num_points, const Point& q,
          bool tight, const PointBox* box, Bound&& bound, Leaf&& leaf, Skipped&& skipped) {
    StackEntry stack[KD_STACK_CAPACITY];
    std::size_t top = 0;
    stack[top++] = {root, 0.0f, {0.0f, 0.0f, 0.0f}};
    const float qv[3] = {q.x, q.y, q.z};
    if (tight && box != nullptr) {
        float* o = stack[0].offset;
        for (int a = 0; a < 3; ++a) o[a] = qv[a] < box->lo[a] ? qv[a] - box->lo[a] : qv[a] > box->hi[a] ? qv[a] - box->hi[a] : 0.0f;
        stack[0].bound = (o[0] * o[0] + o[1] * o[1]) + o[2] * o[2];
    }
    // A tree visits each node at most once per walk; more steps mean a restored node
    // array with a cycle, which would otherwise loop forever with a shallow stack.
    std::size_t steps = 0;
    while (top > 0) {
        StackEntry entry = stack[--top];
        if (entry.bound >= bound()) {
            skipped(entry.bound);
            continue;
        }
        // The near child would be popped next with the same bound and an unchanged list,
        // so descend into it directly; the stack check still counts its entry.
        std::uint32_t index = entry.node;
        for (;;) {
            check(index < num_nodes, "kd node index outside nodes");
            check(++steps <= num_nodes, "kd traversal revisits a node");
            const Node& node = nodes[index];
            if (node.split_dim == KD_LEAF_DIM) {
                check(node.first <= node.second && node.second <= num_points, "kd leaf range outside points");
                if (leaf(node.first, node.second)) return;
                break;
            }
            check(node.split_dim < KD_LEAF_DIM, "kd split_dim above 3");
            const float diff = qv[node.split_dim] - node.split_value;
            const bool lower_is_near = diff < 0.0f;
            check(top + 2 <= KD_STACK_CAPACITY, "kd traversal stack overflow");
            StackEntry& far = stack[top++];
            far.node = lower_is_near ? node.second : node.first;
            if (tight) {
                far.offset[0] = entry.offset[0];
                far.offset[1] = entry.offset[1];
                far.offset[2] = entry.offset[2];
                far.offset[node.split_dim] = diff;
                far.bound = (far.offset[0] * far.offset[0] + far.offset[1] * far.offset[1]) +
                            far.offset[2] * far.offset[2];
            } else {
                far.bound = max_ignoring_nan(entry.bound, diff * diff);
            }
            index = lower_is_near ? node.first : node.second;
        }
    }
}

}  // namespace kd_detail

// Offers every point under `root` that the pruning keeps to `list`, position = index in
// `points`; ends after the leaf at which list.is_done() first holds. Needs capacity >= 1.
// `finite_points` must hold only when every point of the structure is finite; it enables
// the tighter pruning of the walk.
template <CandidateList List>
void kd_knn_search(const Node* nodes, std::size_t num_nodes, std::uint32_t root, const Point* points,
                   std::size_t num_points, bool finite_points, const Point& q, List& list,
                   const PointBox* box = nullptr) {
    kd_detail::walk(nodes, num_nodes, root, num_points, q, finite_points && is_finite(q), box,
                    [&] { return list.threshold(); },
                    [&](std::uint32_t first, std::uint32_t second) {
                        offer_range(q, points, first, second, list);
                        return list.is_done();
                    },
                    [&](float skipped_bound) {
                        if constexpr (NotesPassedOver<List>) list.pass_over(skipped_bound);
                    });
}

// Passes every point under `root` whose squared distance is not >= acc.max_dist_sq() to
// the accumulator, in traversal order. A plain count of a finite query over finite points
// with the `box` of the points under `root` adds the points of a subtree whose region lies
// within the radius at once.
void kd_count_search(const Node* nodes, std::size_t num_nodes, std::uint32_t root, const Point* points,
                     std::size_t num_points, bool finite_points, const Point& q, CountAccumulator& acc,
                     const PointBox* box = nullptr);

struct KdTree {
    std::vector<Point> points;  // tree order: each leaf owns a contiguous range
    std::vector<std::uint32_t> original_indices;
    std::vector<Node> nodes;  // pre-order, root at 0; empty exactly when there are no points
    // Derived from `points`: whether every coordinate is finite, and the bounding box.
    bool finite_points = false;
    PointBox box{};

    static constexpr std::string_view METHOD_NAME = "kdtree";
    static KdTree build(WorkerPool& pool, const PointsView& search_points);
    static KdTree build(WorkerPool& pool, const PointsView& search_points, const BuildParams&) {
        return build(pool, search_points);
    }

    std::size_t size() const { return points.size(); }
    void derive_reach(float) {}  // a tree's search has no reach of its own
    const std::vector<std::uint32_t>& row_numbers() const { return original_indices; }
    const std::vector<Point>& stored_points() const { return points; }
    std::size_t memory_bytes() const;
    std::optional<GridStats> grid_stats() const { return std::nullopt; }  // no grid

    struct Scratch {};  // a tree search needs no work space of its own

    template <CandidateList List>
    void knn_search(const Point& q, List& list, Scratch* = nullptr) const {
        if (nodes.empty()) return;
        kd_knn_search(nodes.data(), nodes.size(), 0, points.data(), points.size(), finite_points, q, list);
    }

    // Every point within the radius, for a list that keeps them all.
    template <CandidateList List>
    void within_search(const Point& q, List& list, Scratch* scratch = nullptr) const {
        knn_search(q, list, scratch);
    }

    void count_search(const Point& q, CountAccumulator& acc, Scratch* = nullptr) const {
        if (nodes.empty()) return;
        kd_count_search(nodes.data(), nodes.size(), 0, points.data(), points.size(), finite_points, q, acc, &box);
    }

    // Recomputes the derived fields from `points`.
    void derive();

    // The tree is searched near leaf first already: no other order to try.
    bool knn_search_any_order(const Point&, AnyOrderList&, Scratch* = nullptr) const { return false; }
};

}  // namespace kesra
