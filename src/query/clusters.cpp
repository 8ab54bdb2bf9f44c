#include "query/clusters.hpp"

// GCC sees the voxel walk's gap table as maybe uninitialised when it inlines the walk
// into these lists' searches; it is filled before every read (when the grid is separable).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "base/memory_limit.hpp"
#include "query/count_up_to.hpp"
#include "query/reduce_rows.hpp"
#include "query/union_find.hpp"

namespace kesra {

namespace {

constexpr std::uint32_t NONE = UINT32_MAX;
constexpr std::size_t BLOCK = std::size_t{1} << 16;

// Unites a core with every core within the radius as the search offers them.
class CoreLinks {
public:
    CoreLinks(float max_dist, const std::uint8_t* core, ConcurrentUnionFind& sets)
        : max_dist_sq_(max_dist * max_dist), core_(core), sets_(sets) {}
    void start(std::uint32_t p) {
        p_ = p;
        root_ = sets_.find(p);
    }
    float threshold() const { return max_dist_sq_; }
    bool is_done() const { return false; }
    void offer(float d2, std::uint32_t q) {
        if (d2 >= max_dist_sq_ || !core_[q]) return;
        if (sets_.find(q) == root_) return;
        sets_.unite(p_, q);
        root_ = sets_.find(p_);
    }

private:
    float max_dist_sq_;
    const std::uint8_t* core_;
    ConcurrentUnionFind& sets_;
    std::uint32_t p_ = 0, root_ = 0;
};

struct LinkCores {
    using Work = CoreLinks;
    float max_dist;
    const std::uint8_t* core;
    ConcurrentUnionFind& sets;

    template <class S>
    Work work(const S&) const {
        return CoreLinks(max_dist, core, sets);
    }
    bool wanted(std::size_t p) const { return core[p] != 0; }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t p) {
        task.work.start(static_cast<std::uint32_t>(p));
        structure.within_search(q, task.work, &task.scratch);
    }
    // The same point has the same neighbours: joining its set joins theirs.
    void repeat(std::size_t from, std::size_t to) {
        sets.unite(static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to));
    }
};

// The nearest core within the radius, equal distances going to the lowest row number.
// Its threshold stays just above the nearest distance found, so that the search skips
// what is farther but still offers the equally near.
class NearestCore {
public:
    NearestCore(float max_dist, const std::uint8_t* core, const std::uint32_t* rows)
        : max_dist_sq_(max_dist * max_dist), core_(core), rows_(rows) {}
    void reset() {
        best_ = NONE;
        best_d2_ = INFINITY;
        threshold_ = max_dist_sq_;
    }
    std::uint32_t best() const { return best_; }
    float threshold() const { return threshold_; }
    bool is_done() const { return false; }
    void offer(float d2, std::uint32_t q) {
        if (!(d2 < threshold_) || !core_[q]) return;
        if (best_ != NONE && d2 == best_d2_ && rows_[q] > rows_[best_]) return;
        best_ = q;
        best_d2_ = d2;
        threshold_ = std::min(max_dist_sq_, std::nextafter(d2, INFINITY));
    }

private:
    float max_dist_sq_;
    const std::uint8_t* core_;
    const std::uint32_t* rows_;
    std::uint32_t best_ = NONE;
    float best_d2_ = INFINITY;
    float threshold_ = 0.0f;
};

struct JoinBorders {
    using Work = NearestCore;
    float max_dist;
    const std::uint8_t* core;
    const std::uint32_t* rows;
    std::uint32_t* nearest;  // by position: the nearest core, or NONE

    template <class S>
    Work work(const S&) const {
        return NearestCore(max_dist, core, rows);
    }
    bool wanted(std::size_t p) const { return core[p] == 0; }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t p) {
        task.work.reset();
        structure.knn_search(q, task.work, &task.scratch);
        nearest[p] = task.work.best();
    }
    void repeat(std::size_t from, std::size_t to) { nearest[to] = nearest[from]; }
};

}  // namespace

ClustersResult dbscan(WorkerPool& pool, const SearchBackend& backend, float max_dist, std::uint64_t min_samples,
                      std::uint64_t min_cluster_size, const std::uint8_t* given_core, bool progress) {
    const std::size_t n = backend_size(backend);
    check_fits_in_memory(n, sizeof(std::int64_t) + 1 + CLUSTER_BYTES_PER_POINT);
    ClustersResult out{OutputBuffer<std::int64_t>(n, 1), OutputBuffer<std::uint8_t>(n, 1)};
    // Scratch by position: core flags, the sets, and each point's set (or, for a border
    // point, first its nearest core), later each set's size and then its number.
    std::vector<std::uint8_t> core(n);
    ConcurrentUnionFind sets(n);
    std::vector<std::uint32_t> member(n);
    const bool count_cores = given_core == nullptr && min_samples > 1;
    auto bar = make_bar(progress, (count_cores ? 3 : 2) * static_cast<std::uint64_t>(n));
    std::visit(
        [&](const auto& structure) {
            const std::uint32_t* rows = structure.row_numbers().data();
            check(structure.row_numbers().size() == n, "row numbers do not match the points");
            const PointsView points = stored_points_view(structure);
            pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    check(rows[p] < n, "row number outside the points");
                    sets.reset(p);
                    if (!count_cores) core[p] = given_core == nullptr || given_core[rows[p]] != 0;
                }
            });
            if (count_cores) {
                LimitReached counts{max_dist, min_samples, false, RowPlaces{}, core.data()};
                reduce_rows(pool, structure, points, max_dist, bar.get(), counts);
            }
            LinkCores links{max_dist, core.data(), sets};
            reduce_rows(pool, structure, points, max_dist, bar.get(), links);
            JoinBorders borders{max_dist, core.data(), rows, member.data()};
            reduce_rows(pool, structure, points, max_dist, bar.get(), borders);
            // Each point's set: its own for a core, its nearest core's for a border point.
            pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    const auto self = static_cast<std::uint32_t>(p);
                    member[p] = core[p] ? sets.find(self) : member[p] == NONE ? NONE : sets.find(member[p]);
                }
            });
            // By row number from here: labels hold each row's set, then its cluster.
            std::int64_t* labels = out.labels.data();
            std::uint8_t* core_rows = out.core.data();
            pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    labels[rows[p]] = member[p] == NONE ? -1 : static_cast<std::int64_t>(member[p]);
                    core_rows[rows[p]] = core[p];
                }
            });
        },
        backend);
    // Sizes of the sets at their roots, then numbers in the order of each set's lowest
    // row (one pass in row order): member[] is reused, a number marked by its top bit.
    std::uint32_t* size = member.data();
    std::fill_n(size, n, 0u);
    std::int64_t* labels = out.labels.data();
    for (std::size_t row = 0; row < n; ++row)
        if (labels[row] >= 0) ++size[labels[row]];
    constexpr std::uint32_t NUMBERED = 0x80000000u;
    std::uint32_t next = 0;
    for (std::size_t row = 0; row < n; ++row) {
        const std::int64_t set = labels[row];
        if (set < 0) continue;
        std::uint32_t& entry = size[set];
        if (!(entry & NUMBERED)) {
            if (entry < min_cluster_size) {
                labels[row] = -1;
                continue;
            }
            entry = NUMBERED | next++;
        }
        labels[row] = entry & ~NUMBERED;
    }
    if (bar) bar->finish_and_clear();
    return out;
}

}  // namespace kesra
