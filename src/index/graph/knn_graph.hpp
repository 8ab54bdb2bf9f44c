#pragma once
// The "graph" structure: every point linked to its `degree` nearest other points within
// the radius, beside a hybrid grid over the same points. A query takes the exact nearest
// point from the grid and walks the graph best-first from there, so its answers are
// approximate: a point within the radius is found only when the walk reaches it.
//
// Immutable after build: any number of threads may query one graph without locks, each
// with its own scratch.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "pool/worker_pool.hpp"
#include "index/hybrid/hybrid_grid.hpp"
#include "index/results/count_accumulator.hpp"
#include "base/errors.hpp"
#include "index/results/neighbour_list.hpp"
#include "base/points_view.hpp"
#include "index/results/any_order_list.hpp"
#include "index/results/result_set.hpp"

namespace kesra {

inline constexpr std::uint32_t NO_EDGE = 0xFFFFFFFFu;
inline constexpr std::size_t GRAPH_BUILD_CHUNK = 512;

// Work space of one query task, reused for all its walks.
struct GraphSearchScratch {
    // A reached point still to be expanded; `key` orders squared distances in the IEEE
    // total order of f32.
    struct Reached {
        std::int32_t key;
        std::uint32_t position;
    };

    std::vector<std::uint32_t> visited;  // per position: the stamp of the walk that reached it
    std::uint32_t stamp = 0;             // 0 until the first walk
    std::vector<Reached> queue;          // binary min-heap on key

    // The one-candidate list of the entry search, kept so a walk does not allocate; made
    // again only when the radius changes.
    std::optional<NeighbourList> entry_list;
    float entry_radius = 0.0f;

    // Takes the next stamp; the stamps are cleared only when they would wrap.
    void start_walk(std::size_t num_points);

    // Marks a position visited; false when this walk has reached it already.
    bool mark(std::uint32_t position) {
        if (visited[position] == stamp) return false;
        visited[position] = stamp;
        return true;
    }

    void push(float d2, std::uint32_t position);
    // Removes the nearest reached point; false when the queue is empty.
    bool pop(float& d2, std::uint32_t& position);
};

struct KnnGraph {
    HybridGrid entry_index;  // its grid.points is the point storage of the graph
    std::uint64_t degree = 1;
    std::vector<std::uint32_t> adjacency;  // N rows of `degree` positions, nearest first, NO_EDGE padded

    using Scratch = GraphSearchScratch;

    static constexpr std::string_view METHOD_NAME = "graph";
    static KnnGraph build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                          std::uint32_t cells_per_radius, std::uint64_t subtree_threshold,
                          std::uint64_t graph_degree);
    static KnnGraph build(WorkerPool& pool, const PointsView& search_points, const BuildParams& p) {
        return build(pool, search_points, p.max_dist, p.cells_per_radius, p.subtree_threshold, p.graph_degree);
    }

    std::size_t size() const { return entry_index.size(); }
    const std::vector<std::uint32_t>& row_numbers() const { return entry_index.grid.original_indices; }
    const std::vector<Point>& stored_points() const { return entry_index.grid.points; }
    std::size_t memory_bytes() const;
    std::optional<GridStats> grid_stats() const {
        std::optional<GridStats> stats = entry_index.grid.grid_stats();
        stats->graph_degree = degree;
        return stats;
    }
    void derive_reach(float max_dist) { entry_index.derive_reach(max_dist); }

    // The searches need the task's scratch.
    template <CandidateList List>
    void knn_search(const Point& q, List& list, Scratch* scratch) const {
        check(scratch != nullptr, "graph search without its scratch");
        if (entry_index.grid.points.empty()) return;
        Candidate entry;
        if (!find_entry(q, list.threshold(), *scratch, entry)) return;
        walk(
            q, entry, *scratch, [&] { return list.threshold(); },
            [&](float d2, std::uint32_t m) { list.offer(d2, m); }, [&] { return list.is_done(); });
    }

    // The points within the radius that the walk reaches, as count_search counts them.
    template <CandidateList List>
    void within_search(const Point& q, List& list, Scratch* scratch) const {
        knn_search(q, list, scratch);
    }

    void count_search(const Point& q, CountAccumulator& acc, Scratch* scratch) const;

    // The walk's order is its own: no other order to try.
    bool knn_search_any_order(const Point&, AnyOrderList&, Scratch* = nullptr) const { return false; }

private:
    // Runs the exact entry search with the radius sqrt(t0), squared again in f32 by the
    // list; false when no point lies within it.
    bool find_entry(const Point& q, float t0, Scratch& scratch, Candidate& entry) const;

    // Best-first walk from the entry point. reach(d2, m) sees every newly reached point;
    // a point is queued only when d2 < bound() after that, and expanded only while its d2
    // is not >= bound(). done() is asked after each expanded row.
    template <class Bound, class Reach, class Done>
    void walk(const Point& q, const Candidate& entry, Scratch& scratch, Bound&& bound, Reach&& reach,
              Done&& done) const {
        const std::vector<Point>& points = entry_index.grid.points;
        const std::size_t n = points.size();
        // (p + 1) * degree <= adjacency.size() exactly when p < num_rows; no product that
        // could overflow. Rows of zero slots read nothing.
        const std::size_t num_rows = degree == 0 ? SIZE_MAX : adjacency.size() / degree;
        check(entry.position < n, "graph entry point outside points");
        scratch.start_walk(n);
        scratch.mark(entry.position);
        reach(entry.dist_sq, entry.position);
        scratch.push(entry.dist_sq, entry.position);
        float d;
        std::uint32_t p;
        while (scratch.pop(d, p)) {
            if (d >= bound()) return;  // a NaN (only the entry's) does not stop
            check(p < num_rows, "graph row outside adjacency");
            const std::uint32_t* row = adjacency.data() + static_cast<std::size_t>(p) * degree;
            for (std::uint64_t slot = 0; slot < degree; ++slot) {
                const std::uint32_t m = row[slot];
                if (m == NO_EDGE) break;
                check(m < n, "graph edge outside points");
                if (!scratch.mark(m)) continue;
                const float d2 = squared_distance(q, points[m]);
                reach(d2, m);
                if (d2 < bound()) scratch.push(d2, m);
            }
            if (done()) return;
        }
    }
};

}  // namespace kesra
