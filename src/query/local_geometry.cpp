#include "query/local_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "geometry/neighbourhood_moments.hpp"
#include "geometry/neighbourhood_shape.hpp"
#include "index/results/row_keys.hpp"
#include "index/results/within_list.hpp"
#include "query/nearest_row.hpp"
#include "query/reduce_rows.hpp"

namespace kesra {

namespace {

struct ShapeWork {
    NeighbourList nearest;
    WithinList within;
    NeighbourhoodMoments moments;
    std::vector<std::uint64_t> keys, key_scratch;  // the k nearest by row number
};

// Adds the k nearest kept in `list` to the moments in the order of their row numbers:
// the list holds them in an order that depends on how the search found them (which can
// differ between tasks), and sums in double are not associative.
template <class Add>
void add_by_row(const NeighbourList& list, const std::vector<std::uint32_t>& original, ShapeWork& work, Add&& add) {
    const std::size_t n = list.size();
    const std::size_t padded = (n + 15) / 16 * 16;
    if (work.keys.size() < padded) work.keys.resize(padded);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t pos = list.data()[i].position;
        check(pos < original.size(), "neighbour position outside original_indices");
        work.keys[i] = static_cast<std::uint64_t>(original[pos]) << 32 | i;
    }
    const std::uint64_t* sorted = sort_row_keys(work.keys.data(), n, work.key_scratch);
    for (std::size_t i = 0; i < n; ++i) add(list.data()[static_cast<std::uint32_t>(sorted[i])].position);
}

// The shape of each row's neighbourhood.
struct ShapeRows {
    using Work = ShapeWork;
    std::size_t k;
    bool all_within;
    float max_dist;
    std::optional<Point> viewpoint;
    LocalGeometryResult& out;

    template <class S>
    Work work(const S& structure) const {
        return ShapeWork{NeighbourList(all_within ? 0 : k, max_dist, 0.0f, structure.size()), WithinList(max_dist),
                         NeighbourhoodMoments{}, {}, {}};
    }

    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        const std::vector<Point>& points = structure.stored_points();
        ShapeWork& work = task.work;
        work.moments.reset(q);
        auto add = [&](std::uint32_t position) {
            check(position < points.size(), "neighbour position outside points");
            work.moments.add(points[position]);
        };
        if (all_within) {
            work.within.clear();
            structure.within_search(q, work.within, &task.scratch);
            for (std::size_t i = 0; i < work.within.size(); ++i) add(work.within.positions()[i]);
        } else {
            work.nearest.reset();
            search_row(structure, q, work.nearest, task);
            add_by_row(work.nearest, structure.row_numbers(), work, add);
        }
        out.counts.data()[r] = static_cast<std::int64_t>(work.moments.count());
        write_shape(work.moments, q, viewpoint, out.eigenvalues.data() + 3 * r, out.normals.data() + 3 * r);
    }

    void repeat(std::size_t from, std::size_t to) {
        std::copy_n(out.eigenvalues.data() + 3 * from, 3, out.eigenvalues.data() + 3 * to);
        std::copy_n(out.normals.data() + 3 * from, 3, out.normals.data() + 3 * to);
        out.counts.data()[to] = out.counts.data()[from];
    }
};

}  // namespace

LocalGeometryResult local_geometry(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                   std::size_t k, bool all_within, float max_dist, std::optional<Point> viewpoint,
                                   bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    LocalGeometryResult out{OutputBuffer<float>(queries.rows, 3), OutputBuffer<float>(queries.rows, 3),
                            OutputBuffer<std::int64_t>(queries.rows, 1)};
    reduce_rows(pool, backend, &queries, max_dist, progress,
                [&](const auto&, RowPlaces) { return ShapeRows{k, all_within, max_dist, viewpoint, out}; });
    return out;
}

}  // namespace kesra
