#include "query/scale_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "base/memory_limit.hpp"
#include "geometry/neighbourhood_moments.hpp"
#include "geometry/neighbourhood_shape.hpp"
#include "index/results/neighbour_list.hpp"
#include "index/results/row_keys.hpp"
#include "index/results/within_list.hpp"
#include "query/nearest_row.hpp"
#include "query/reduce_rows.hpp"

namespace kesra {

namespace {

struct ScaleWork {
    WithinList within;
    NeighbourList nearest;
    std::vector<NeighbourhoodMoments> shells;  // one per scale
    // The k nearest by row number, then by squared distance, and each one's shell.
    std::vector<std::uint64_t> by_row, by_distance, row_scratch, distance_scratch;
    std::vector<std::uint32_t> shell_of;
};

class ScaleShapes {
public:
    using Work = ScaleWork;

    ScaleShapes(const Scales& scales, float max_dist, std::optional<Point> viewpoint, ScaleGeometryResult& out)
        : scales_(scales), num_scales_(scales.size()), max_dist_(max_dist), viewpoint_(viewpoint),
          values_(out.eigenvalues.data()), normals_(out.normals.data()), counts_(out.counts.data()) {
        // The shells' bounds compared as the structures compare their radius: r * r in float.
        for (float radius : scales.radii) squares_.push_back(radius * radius);
    }

    template <class S>
    Work work(const S& structure) const {
        const bool by_radius = !scales_.radii.empty();
        return Work{WithinList(by_radius ? scales_.radii.back() : max_dist_),
                    NeighbourList(by_radius ? 0 : scales_.ks.back(), max_dist_, 0.0f, structure.size()),
                    std::vector<NeighbourhoodMoments>(num_scales_),
                    {},
                    {},
                    {},
                    {},
                    {}};
    }

    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        Work& work = task.work;
        for (NeighbourhoodMoments& shell : work.shells) shell.reset(q);
        if (!scales_.radii.empty()) add_within(structure, task, q);
        else add_nearest(structure, task, q);
        // Outward: the first shell's moments become each scale's in turn.
        NeighbourhoodMoments& scale = work.shells[0];
        for (std::size_t s = 0; s < num_scales_; ++s) {
            if (s > 0) scale.absorb(work.shells[s]);
            const std::size_t at = r * num_scales_ + s;
            counts_[at] = static_cast<std::int64_t>(scale.count());
            write_shape(scale, q, viewpoint_, values_ + 3 * at, normals_ + 3 * at);
        }
    }

    void repeat(std::size_t from, std::size_t to) {
        std::copy_n(values_ + 3 * num_scales_ * from, 3 * num_scales_, values_ + 3 * num_scales_ * to);
        std::copy_n(normals_ + 3 * num_scales_ * from, 3 * num_scales_, normals_ + 3 * num_scales_ * to);
        std::copy_n(counts_ + num_scales_ * from, num_scales_, counts_ + num_scales_ * to);
    }

private:
    // Every point within the largest radius, in the walk's order, to the shell of the
    // smallest radius it lies within (a NaN distance lies within every radius, as the
    // searches count it).
    template <class S, class Task>
    void add_within(const S& structure, Task& task, const Point& q) {
        Work& work = task.work;
        const std::vector<Point>& points = structure.stored_points();
        work.within.clear();
        structure.within_search(q, work.within, &task.scratch);
        const std::uint32_t* positions = work.within.positions();
        const float* d2 = work.within.squared_distances();
        const std::size_t inner = num_scales_ - 1;  // the list holds nothing beyond the last radius
        for (std::size_t i = 0; i < work.within.size(); ++i) {
            std::size_t shell = 0;
            for (std::size_t s = 0; s < inner; ++s) shell += d2[i] >= squares_[s];
            check(positions[i] < points.size(), "neighbour position outside points");
            work.shells[shell].add(points[positions[i]]);
        }
        work.within.trim();
    }

    // The k nearest for the largest k. Ranked by squared distance and then row number,
    // the first k of each scale are its neighbours; each shell is added in the order of
    // row numbers, which does not depend on how the search found them.
    template <class S, class Task>
    void add_nearest(const S& structure, Task& task, const Point& q) {
        Work& work = task.work;
        NeighbourList& list = work.nearest;
        list.reset();
        search_row(structure, q, list, task);
        const std::size_t n = list.size();
        const std::vector<std::uint32_t>& original = structure.row_numbers();
        const std::vector<Point>& points = structure.stored_points();
        const std::size_t padded = (n + 15) / 16 * 16;
        if (work.by_row.size() < padded) {
            work.by_row.resize(padded);
            work.by_distance.resize(padded);
            work.shell_of.resize(padded);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t position = list.data()[i].position;
            check(position < original.size() && position < points.size(), "neighbour position outside points");
            work.by_row[i] = static_cast<std::uint64_t>(original[position]) << 32 | i;
        }
        const std::uint64_t* rows = sort_row_keys(work.by_row.data(), n, work.row_scratch);
        // Ranked by the place in row order t, which orders equal distances as row numbers do.
        for (std::size_t t = 0; t < n; ++t)
            work.by_distance[t] = row_key(list.data()[static_cast<std::uint32_t>(rows[t])].dist_sq,
                                          static_cast<std::uint32_t>(t));
        const std::uint64_t* ranked = sort_row_keys(work.by_distance.data(), n, work.distance_scratch);
        std::size_t shell = 0;
        for (std::size_t j = 0; j < n; ++j) {
            while (j >= scales_.ks[shell]) ++shell;  // n is at most the last k
            work.shell_of[key_row(ranked[j])] = static_cast<std::uint32_t>(shell);
        }
        for (std::size_t t = 0; t < n; ++t)
            work.shells[work.shell_of[t]].add(points[list.data()[static_cast<std::uint32_t>(rows[t])].position]);
    }

    const Scales& scales_;
    std::size_t num_scales_;
    float max_dist_;
    std::optional<Point> viewpoint_;
    std::vector<float> squares_;
    float* values_;
    float* normals_;
    std::int64_t* counts_;
};

}  // namespace

void check_scales(const Scales& scales, float max_dist) {
    if (scales.radii.empty() == scales.ks.empty())
        throw InvalidArgument("give either radii or neighbour counts k, at least one");
    for (std::size_t s = 0; s < scales.radii.size(); ++s) {
        const float radius = scales.radii[s];
        if (!(radius > 0.0f) || !std::isfinite(radius))
            throw InvalidArgument("radii must be positive and finite, got " + std::to_string(radius));
        if (radius > max_dist)
            throw InvalidArgument("radii must be at most the engine's radius " + std::to_string(max_dist) +
                                  ", got " + std::to_string(radius));
        if (s > 0 && !(scales.radii[s - 1] < radius)) throw InvalidArgument("radii must be strictly ascending");
    }
    for (std::size_t s = 0; s < scales.ks.size(); ++s) {
        if (scales.ks[s] < 1) throw InvalidArgument("neighbour counts k must be at least 1");
        if (s > 0 && !(scales.ks[s - 1] < scales.ks[s]))
            throw InvalidArgument("neighbour counts k must be strictly ascending");
    }
}

ScaleGeometryResult scale_geometry(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                   const Scales& scales, float max_dist, std::optional<Point> viewpoint,
                                   bool progress) {
    check_scales(scales, max_dist);
    const std::size_t num_scales = scales.size();
    // Per row and scale: eigenvalues and normals (3 floats each) and a count.
    if (num_scales > SIZE_MAX / 64) throw std::bad_alloc();
    check_fits_in_memory(queries.rows, num_scales * (6 * sizeof(float) + sizeof(std::int64_t)));
    ScaleGeometryResult out{OutputBuffer<float>(queries.rows, 3 * num_scales),
                            OutputBuffer<float>(queries.rows, 3 * num_scales),
                            OutputBuffer<std::int64_t>(queries.rows, num_scales)};
    reduce_rows(pool, backend, &queries, max_dist, progress,
                [&](const auto&, RowPlaces) { return ScaleShapes(scales, max_dist, viewpoint, out); });
    return out;
}

}  // namespace kesra
