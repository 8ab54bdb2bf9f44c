#include "query/walk_warnings.hpp"

#include "query/outliers.hpp"

#include <algorithm>
#include <cmath>

#include "base/memory_limit.hpp"
#include "index/results/neighbour_list.hpp"
#include "query/count_up_to.hpp"
#include "query/nearest_row.hpp"
#include "query/reduce_rows.hpp"

namespace kesra {

namespace {

template <class T>
OutputBuffer<T> output_for(const SearchBackend& backend, const PointsView* queries) {
    const std::size_t rows = queries != nullptr ? queries->rows : backend_size(backend);
    check_fits_in_memory(rows, sizeof(T));
    return OutputBuffer<T>(rows, 1);
}

struct MeanDistances {
    using Work = NeighbourList;
    float max_dist;
    std::size_t k;
    RowPlaces place;
    double* out;

    template <class S>
    Work work(const S& structure) const {
        return NeighbourList(k + 1, max_dist, 0.0f, structure.size());
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        NeighbourList& list = task.work;
        list.reset();
        search_row(structure, q, list, task);
        // The k + 1 smallest squared distances, whichever of equal ones the search kept,
        // are the same values: ascending, their sum is the same bits on every run.
        list.sort_ascending();
        double sum = 0.0;
        for (std::size_t i = 0; i < list.size(); ++i) sum += static_cast<double>(std::sqrt(list.data()[i].dist_sq));
        sum += static_cast<double>(k + 1 - list.size()) * static_cast<double>(max_dist);
        out[place(r)] = k == 0 ? 0.0 : sum / static_cast<double>(k);
    }
    void repeat(std::size_t from, std::size_t to) { out[place(to)] = out[place(from)]; }
};

}  // namespace

OutputBuffer<std::uint8_t> fewer_than(WorkerPool& pool, const SearchBackend& backend, const PointsView* queries,
                                      float max_dist, std::uint64_t limit, bool progress) {
    OutputBuffer<std::uint8_t> flags = output_for<std::uint8_t>(backend, queries);
    reduce_rows(pool, backend, queries, max_dist, progress, [&](const auto&, RowPlaces places) {
        return LimitReached{max_dist, limit, true, places, flags.data()};
    });
    return flags;
}

OutputBuffer<double> mean_neighbour_distances(WorkerPool& pool, const SearchBackend& backend,
                                              const PointsView* queries, float max_dist, std::size_t k,
                                              bool progress) {
    OutputBuffer<double> means = output_for<double>(backend, queries);
    reduce_rows(pool, backend, queries, max_dist, progress, [&](const auto&, RowPlaces places) {
        return MeanDistances{max_dist, k, places, means.data()};
    });
    return means;
}

StatisticalOutliers statistical_outliers(WorkerPool& pool, const SearchBackend& backend, float max_dist,
                                         std::size_t k, double std_ratio, bool progress) {
    const OutputBuffer<double> means = mean_neighbour_distances(pool, backend, nullptr, max_dist, k, progress);
    const std::size_t n = backend_size(backend);
    StatisticalOutliers out;
    out.flags = OutputBuffer<std::uint8_t>(n, 1);
    const double* m = means.data();
    // One after another in row order: the same sums at any thread count.
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += m[i];
    out.mean = n == 0 ? 0.0 : sum / static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) squares += (m[i] - out.mean) * (m[i] - out.mean);
    out.std = n < 2 ? 0.0 : std::sqrt(squares / static_cast<double>(n - 1));
    out.threshold = out.mean + std_ratio * out.std;
    std::uint8_t* flags = out.flags.data();
    pool.for_each_block(n, 1 << 16, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) flags[i] = m[i] > out.threshold;
    });
    return out;
}

}  // namespace kesra
