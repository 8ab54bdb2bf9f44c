#include "query/walk_warnings.hpp"

#include "query/clusters.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <type_traits>
#include <vector>

#include "base/memory_limit.hpp"
#include "index/results/within_list.hpp"
#include "query/count_up_to.hpp"
#include "query/reduce_rows.hpp"
#include "query/union_find.hpp"

namespace kesra {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 16;

// What is known of a point's core flag: counted (or given) or not yet.
enum Status : std::uint8_t { UNKNOWN = 0, CORE = 1, NOT_CORE = 2 };

// A border point's nearest core as one key, (squared distance bits, the core's row): the
// smallest key is the nearest core, equally near ones by lowest row. Non-negative floats
// order as their bits.
inline std::int64_t border_key(float d2, std::uint32_t core_row) {
    return static_cast<std::int64_t>(std::bit_cast<std::uint32_t>(d2)) << 32 | core_row;
}
constexpr std::int64_t NO_CORE = INT64_MAX;

// One search per point: the point's neighbours give its count, so its core flag, which is
// published before the neighbours' flags are read; then a core is united with every
// neighbour known to be a core and offers itself to every neighbour known not to be one,
// and a point that is not a core takes the nearest neighbour known to be one. A pair whose
// second flag is not known yet is left to the other point's search: each publishes its
// own flag before it reads the other's (sequentially consistent), so at least one of the
// two sees both. That needs searches that find q from p exactly when they find p from q,
// which exact searches over finite points do.
struct ScanOnce {
    struct Work {
        WithinList list;
    };
    float max_dist;
    std::uint64_t min_samples;
    bool counted;  // flags are counted here; otherwise all are known already
    std::atomic<std::uint8_t>* status;
    ConcurrentUnionFind& sets;
    const std::uint32_t* rows;
    std::int64_t* keys;  // by row: the nearest core's border_key, NO_CORE at first

    template <class S>
    Work work(const S&) const {
        return Work{WithinList(max_dist)};
    }
    // Without counting, only cores search: they reach every pair a search must.
    bool wanted(std::size_t p) const { return counted || status[p].load(std::memory_order_relaxed) == CORE; }

    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t p) {
        WithinList& list = task.work.list;
        list.clear();
        structure.within_search(q, list, &task.scratch);
        const auto self = static_cast<std::uint32_t>(p);
        const std::size_t n = list.size();
        bool core = true;
        if (counted) {
            core = n >= min_samples;
            status[p].store(core ? CORE : NOT_CORE, std::memory_order_seq_cst);
        }
        const std::uint32_t* found = list.positions();
        const float* d2 = list.squared_distances();
        std::uint32_t root = core ? sets.find(self) : 0;
        std::int64_t nearest = NO_CORE;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t other = found[i];
            check(other < sets.size(), "neighbour position outside the points");
            if (other == self) continue;
            const std::uint8_t known = status[other].load(std::memory_order_seq_cst);
            if (known == CORE) {
                if (!core) {
                    nearest = std::min(nearest, border_key(d2[i], rows[other]));
                } else if (sets.find(other) != root) {
                    sets.unite(self, other);
                    root = sets.find(self);
                }
            } else if (known == NOT_CORE && core) {
                lower(keys[rows[other]], border_key(d2[i], rows[p]));
            }
        }
        if (nearest != NO_CORE) lower(keys[rows[p]], nearest);
    }

    static void lower(std::int64_t& key, std::int64_t value) {
        std::atomic_ref<std::int64_t> at(key);
        std::int64_t seen = at.load(std::memory_order_relaxed);
        while (value < seen && !at.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
        }
    }
};

// Searches whose pairs may be one-sided (the approximate graph walk, non-finite points)
// count every flag first, in a pass of their own; the scan then knows them all.
struct CountFirst {
    using Work = CountUpTo;
    float max_dist;
    std::uint64_t min_samples;
    std::atomic<std::uint8_t>* status;

    template <class S>
    Work work(const S&) const {
        return CountUpTo(max_dist, min_samples);
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t p) {
        task.work.reset();
        structure.knn_search(q, task.work, &task.scratch);
        status[p].store(task.work.count() >= min_samples ? CORE : NOT_CORE, std::memory_order_relaxed);
    }
    void repeat(std::size_t from, std::size_t to) {
        status[to].store(status[from].load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
};

template <class S>
constexpr bool finds_pairs_both_ways = !std::is_same_v<S, KnnGraph>;

}  // namespace

ClustersResult dbscan(WorkerPool& pool, const SearchBackend& backend, float max_dist, std::uint64_t min_samples,
                      std::uint64_t min_cluster_size, const std::uint8_t* given_core, bool progress) {
    const std::size_t n = backend_size(backend);
    check_fits_in_memory(n, sizeof(std::int64_t) + 1 + CLUSTER_BYTES_PER_POINT);
    ClustersResult out{OutputBuffer<std::int64_t>(n, 1), OutputBuffer<std::uint8_t>(n, 1)};
    std::int64_t* labels = out.labels.data();  // first each border row's nearest core key
    // Scratch by position: core flags, the sets, and later each set's size and number.
    std::unique_ptr<std::atomic<std::uint8_t>[]> status(new std::atomic<std::uint8_t>[n]);
    ConcurrentUnionFind sets(n);
    std::vector<std::uint32_t> size(n);
    std::visit(
        [&](const auto& structure) {
            using S = std::decay_t<decltype(structure)>;
            const std::uint32_t* rows = structure.row_numbers().data();
            check(structure.row_numbers().size() == n, "row numbers do not match the points");
            const bool known = given_core != nullptr || min_samples <= 1;
            const bool both_ways = finds_pairs_both_ways<S> && all_finite(structure.stored_points().data(), n);
            auto bar = make_bar(progress, (known || both_ways ? 1 : 2) * static_cast<std::uint64_t>(n));
            pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    check(rows[p] < n, "row number outside the points");
                    sets.reset(p);
                    labels[rows[p]] = NO_CORE;
                    const bool core = given_core == nullptr || given_core[rows[p]] != 0;
                    status[p].store(known ? (core ? CORE : NOT_CORE) : UNKNOWN, std::memory_order_relaxed);
                }
            });
            const PointsView points = stored_points_view(structure);
            if (!known && !both_ways) {
                CountFirst counts{max_dist, min_samples, status.get()};
                reduce_rows(pool, structure, points, max_dist, bar.get(), counts);
            }
            ScanOnce scan{max_dist, min_samples, !known && both_ways, status.get(), sets, rows, labels};
            reduce_rows(pool, structure, points, max_dist, bar.get(), scan);
            if (bar) bar->finish_and_clear();
            // By row from here: a core row's set (the position of its root), then each
            // border row's nearest core's set, in a second sweep that reads core rows only.
            std::uint8_t* core_rows = out.core.data();
            pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    const bool core = status[p].load(std::memory_order_relaxed) == CORE;
                    core_rows[rows[p]] = core;
                    if (core) labels[rows[p]] = sets.find(static_cast<std::uint32_t>(p));
                }
            });
            pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    if (core_rows[rows[p]]) continue;
                    const std::int64_t key = labels[rows[p]];
                    labels[rows[p]] = key == NO_CORE ? -1 : labels[static_cast<std::uint32_t>(key)];
                }
            });
        },
        backend);
    // Sizes of the sets at their roots, then numbers in the order of each set's lowest
    // row, in one pass in row order: a number is marked by its top bit.
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
    return out;
}

}  // namespace kesra
