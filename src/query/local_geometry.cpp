#include "query/local_geometry.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/neighbourhood_moments.hpp"
#include "geometry/symmetric_eigen.hpp"
#include "index/results/within_list.hpp"
#include "query/nearest_row.hpp"
#include "query/row_order.hpp"
#include "query/task_state.hpp"

namespace kesra {

namespace {

struct ShapeWork {
    NeighbourList nearest;
    WithinList within;
    NeighbourhoodMoments moments;
};

// A covariance of fewer points than this has no plane to give a normal of.
constexpr std::size_t MIN_POINTS = 3;

}  // namespace

LocalGeometryResult local_geometry(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                   std::size_t k, bool all_within, float max_dist, std::optional<Point> viewpoint,
                                   bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    LocalGeometryResult out{OutputBuffer<float>(queries.rows, 3), OutputBuffer<float>(queries.rows, 3),
                            OutputBuffer<std::int64_t>(queries.rows, 1)};
    float* values = out.eigenvalues.data();
    float* normals = out.normals.data();
    std::int64_t* counts = out.counts.data();
    auto bar = make_bar(progress, queries.rows);
    std::visit(
        [&](const auto& structure) {
            const std::vector<Point>& points = structure.stored_points();
            using State = TaskState<ShapeWork, std::decay_t<decltype(structure)>>;
            for_each_row(
                pool, queries, max_dist, bar.get(),
                [&] {
                    return State{ShapeWork{NeighbourList(all_within ? 0 : k, max_dist, 0.0f, structure.size()),
                                           WithinList(max_dist), NeighbourhoodMoments{}}};
                },
                [&](State& state, std::size_t r) {
                    const Point q = queries.point(r);
                    if (const std::size_t same = state.last.same_as(q); same != LastQuery::NO_ROW) {
                        std::copy_n(values + 3 * same, 3, values + 3 * r);
                        std::copy_n(normals + 3 * same, 3, normals + 3 * r);
                        counts[r] = counts[same];
                        return;
                    }
                    ShapeWork& work = state.work;
                    work.moments.reset(q);
                    auto add = [&](std::uint32_t position) {
                        check(position < points.size(), "neighbour position outside points");
                        work.moments.add(points[position]);
                    };
                    if (all_within) {
                        work.within.clear();
                        structure.within_search(q, work.within, &state.scratch);
                        for (std::size_t i = 0; i < work.within.size(); ++i) add(work.within.positions()[i]);
                    } else {
                        work.nearest.reset();
                        search_row(structure, q, work.nearest, state);
                        for (std::size_t i = 0; i < work.nearest.size(); ++i) add(work.nearest.data()[i].position);
                    }
                    const std::size_t n = work.moments.count();
                    counts[r] = static_cast<std::int64_t>(n);
                    float* value = values + 3 * r;
                    float* normal = normals + 3 * r;
                    if (n < MIN_POINTS) {
                        std::fill_n(value, 3, NAN);
                        std::fill_n(normal, 3, NAN);
                    } else {
                        const SymmetricEigen shape = symmetric_eigen(work.moments.covariance());
                        const Vector3& v = shape.vectors[0];
                        // Rounding can leave a flat or straight neighbourhood's smallest
                        // eigenvalues a hair below zero.
                        for (int i = 0; i < 3; ++i) value[i] = static_cast<float>(std::max(shape.values[i], 0.0));
                        double sign = 1.0;
                        if (viewpoint) {
                            const double towards = (static_cast<double>(viewpoint->x) - q.x) * v[0] +
                                                   (static_cast<double>(viewpoint->y) - q.y) * v[1] +
                                                   (static_cast<double>(viewpoint->z) - q.z) * v[2];
                            if (towards < 0.0) sign = -1.0;
                        }
                        for (int i = 0; i < 3; ++i) normal[i] = static_cast<float>(sign * v[i]);
                    }
                    state.last.remember(q, r);
                },
                [&](std::size_t r) { queries.prefetch(r); });
        },
        backend);
    if (bar) bar->finish_and_clear();
    return out;
}

}  // namespace kesra
