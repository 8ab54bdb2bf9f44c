#include "query/local_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "geometry/neighbourhood_moments.hpp"
#include "geometry/symmetric_eigen.hpp"
#include "index/results/row_keys.hpp"
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
    std::vector<std::uint64_t> keys, key_scratch;  // the k nearest by row number
};

// A covariance of fewer points than this has no plane to give a normal of.
constexpr std::size_t MIN_POINTS = 3;
// A neighbourhood has no normal when its two smallest eigenvalues differ by no more than
// this share of the largest (points on a line, up to the rounding of float32
// coordinates), or when the largest is 0 (every point at one spot): its smallest
// eigenvector is then any direction of a plane or of space, which rounding picks.
constexpr double FLAT_SHARE = 1e-6;

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
                                           WithinList(max_dist), NeighbourhoodMoments{}, {}, {}}};
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
                        add_by_row(work.nearest, structure.row_numbers(), work, add);
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
                        const double largest = shape.values[2];
                        if (!(largest > 0.0) || shape.values[1] - shape.values[0] <= FLAT_SHARE * largest) {
                            std::fill_n(normal, 3, NAN);
                            state.last.remember(q, r);
                            return;
                        }
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
