#pragma once
// The "voxel" structure: points binned into cubic cells of edge max_dist / m, stored
// cell by cell in (x, y, z) order, with a hash map from each column of cells to its range
// of cell numbers. A query visits
// the (2m+1)^3 cells around its own in near-to-far order, skipping every cell whose box
// cannot hold a point below the current bound.
//
// Immutable after build: any number of threads may query one grid without locks.
#include <algorithm>
#include <cmath>
#include <tuple>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "pool/worker_pool.hpp"
#include "index/results/any_order_list.hpp"
#include "index/results/count_accumulator.hpp"
#include "base/errors.hpp"
#include "index/results/neighbour_list.hpp"
#include "index/scan/range_scan.hpp"
#include "base/points_view.hpp"
#include "index/voxel/column_lookup.hpp"

namespace kesra {

// floor(t) saturated to i32; NaN goes to 0.
[[gnu::always_inline]] inline std::int32_t floor_to_cell(float t) {
    // Below 2^23 in magnitude the truncated value is exact, and one step down makes it the
    // floor; this spares a call to floorf, which baseline x86-64 has no instruction for.
    if (std::fabs(t) < 8388608.0f) {
        const auto i = static_cast<std::int32_t>(t);
        return i - static_cast<std::int32_t>(static_cast<float>(i) > t);
    }
    // Larger magnitudes are whole numbers already.
    if (t != t) return 0;
    if (t >= 2147483648.0f) return INT32_MAX;
    if (t < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(t);
}

// floor_to_cell(t), and how far t lies from the middle of that cell, as
// |(t - trunc(t)) - 0.5|: 0 in the middle, 0.5 on a face (and from 2^23 on), NaN for NaN.
struct CellPlace {
    std::int32_t cell;
    float from_middle;
};
[[gnu::always_inline]] inline CellPlace place_in_cell(float t) {
    if (std::fabs(t) < 8388608.0f) {
        const auto i = static_cast<std::int32_t>(t);
        const float whole = static_cast<float>(i);
        return {i - static_cast<std::int32_t>(whole > t), std::fabs(std::fabs(t - whole) - 0.5f)};
    }
    return {floor_to_cell(t), t == t ? 0.5f : t};
}

// floor(v * inv) saturated to i32; NaN goes to 0.
inline std::int32_t cell_coordinate(float v, float inv) { return floor_to_cell(v * inv); }

// The cells around one cell, as walk_unit_cells finds them: per column (dx, dy), its
// cells with z in [centre.z - 1, centre.z + 1], in ascending z, with their point ranges.
// A task keeps the last one between rows: rows in spatial order often share their cell,
// and then every lookup of the walk is the same; only the box tests depend on the point.
struct UnitNeighbourhood {
    struct Cell {
        std::uint32_t number, start, end;
        std::int32_t dz;
    };
    CellCoord centre{};
    bool filled = false;
    std::uint8_t count[9]{};
    Cell cells[9][3]{};
    // Filling reads all nine columns where a walk reads only those it needs: a task stops
    // keeping neighbourhoods when fewer than a third of its rows reuse one.
    std::size_t reuses = 0, fills = 0;
    bool worth_keeping() const { return fills <= 2 * reuses + 64; }
};

struct VoxelGrid {
    float cell_size = 0.0f;
    float inv_cell_size = 0.0f;
    std::vector<Point> points;
    std::vector<std::uint32_t> original_indices;
    std::vector<CellCoord> cell_coords;
    std::vector<std::uint32_t> cell_starts;
    std::vector<CellCoord> neighbour_offsets;
    // Derived from cell_coords (which it requires in (x, y, z) order); stands for the map
    // cell_coords[c] -> c that a saved grid holds as its cell_lookup.
    ColumnLookup columns;
    // Derived from neighbour_offsets, which a built or restored grid holds as the full
    // (2 span + 1)^3 table: for a span of at most SEPARABLE_SPAN (`separable`), queries
    // compute box distances from per-axis gaps, and plain counts walk by column.
    std::uint32_t offset_span = 0;
    bool separable = false;
    static constexpr std::uint32_t SEPARABLE_SPAN = 8;
    // Derived from `points`: every coordinate finite; and from `cell_starts`: some cell
    // holds ANY_ORDER_MIN_POINTS points or more.
    bool finite_points = false;
    bool has_crowded_cells = false;
    // Own cells with at least this many points are searched first (walk_own_cell_first):
    // below it, the order gains less than the checks cost.
    static constexpr std::uint32_t ANY_ORDER_MIN_POINTS = 64;
    // Derived from the points and their cells: how far at most, along any axis, a point
    // lies outside its cell's interval. A coordinate times inv_cell_size can floor into a
    // cell although, by float rounding, it falls just short of the cell's edge. Box tests
    // widen every cell by this much, so that box distances never exceed the distance of a
    // point of the cell.
    float box_slack = 0.0f;
    // Derived from the coordinates' magnitude, the cell size and the radius (derive_reach).
    // The offset walk reaches m cells each way, and cell_of rounds: a point within the
    // radius can lie m + 1 or more cells away from a query that sits near a face of its
    // cell, by a margin that grows with the coordinates' magnitude. A query whose place in
    // its cell (place_in_cell) is below `face_band` on every axis has every such point
    // within the walk; any other finite query also walks the cells beyond it
    // (walk_beyond). Until derive_reach has run, every query does.
    float reach = INFINITY;
    float face_band = -1.0f;
    // Derived from cell_coords: the box of all cells, which bounds walk_beyond.
    CellCoord cells_low{}, cells_high{};
    // Derived from `points`: the largest magnitude of a finite coordinate.
    float extent = 0.0f;

    static VoxelGrid build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                           std::uint32_t cells_per_radius);

    // The offsets of a (2m+1)^3 neighbourhood in visiting order: generated with dx
    // slowest and dz fastest, then stably sorted by the smallest possible squared distance
    // (in cell edges) between a point of the centre cell and one of the offset cell.
    static std::vector<CellCoord> make_neighbour_offsets(std::uint32_t m);

    [[gnu::always_inline]] CellCoord cell_of(const Point& p) const {
        return {cell_coordinate(p.x, inv_cell_size), cell_coordinate(p.y, inv_cell_size),
                cell_coordinate(p.z, inv_cell_size)};
    }

    [[gnu::always_inline]] std::pair<std::uint32_t, std::uint32_t> cell_range(std::uint32_t c) const {
        check(static_cast<std::size_t>(c) + 1 < cell_starts.size(), "cell number outside cell_starts");
        const std::uint32_t start = cell_starts[c], end = cell_starts[c + 1];
        check(start <= end && end <= points.size(), "cell range outside points");
        return {start, end};
    }

    // Recomputes the derived fields, but for those of derive_reach.
    void derive();
    // Derives what depends on the radius queries use: reach and face_band.
    void derive_reach(float max_dist);

    // A query's cell, and whether the points within its radius may lie beyond the offset
    // walk (see face_band).
    struct QueryCell {
        CellCoord cell;
        bool beyond;
    };
    [[gnu::always_inline]] QueryCell locate(const Point& q) const {
        const CellPlace x = place_in_cell(q.x * inv_cell_size), y = place_in_cell(q.y * inv_cell_size),
                        z = place_in_cell(q.z * inv_cell_size);
        return {{x.cell, y.cell, z.cell},
                static_cast<bool>((x.from_middle >= face_band) | (y.from_middle >= face_band) |
                                  (z.from_middle >= face_band))};
    }

    std::size_t size() const { return points.size(); }
    const std::vector<std::uint32_t>& row_numbers() const { return original_indices; }
    std::size_t memory_bytes() const;

    template <class List>
    void knn_search(const Point& q, List& list) const {
        walk_cells(q, [&] { return list.threshold(); }, [&](std::uint32_t start, std::uint32_t end) {
            offer_range(q, points.data(), start, end, list);
            return list.is_done();
        });
    }

    // A query task's work space: the neighbourhood its last row walked. Counts do not use
    // it: on some scans, counting over a kept neighbourhood was slower than the column walk.
    struct Scratch {
        UnitNeighbourhood hood;
    };

    template <class List>
    void knn_search(const Point& q, List& list, Scratch& scratch) const {
        walk_cells(
            q, [&] { return list.threshold(); },
            [&](std::uint32_t start, std::uint32_t end) {
                offer_range(q, points.data(), start, end, list);
                return list.is_done();
            },
            &scratch.hood);
    }

    // knn_search for a list that takes any order; false, with nothing offered, when the
    // search does not apply (see walk_own_cell_first).
    bool knn_search_any_order(const Point& q, AnyOrderList& list) const {
        return walk_own_cell_first(q, list, [&](std::uint32_t cell) {
            const auto [start, end] = cell_range(cell);
            offer_range(q, points.data(), start, end, list);
        });
    }

    // Cells next to each other in a column are next to each other in `points` too: their
    // ranges are counted as one, in the same order. A plain count does not depend on the
    // order of the points, so it walks the neighbourhood column by column instead: the
    // same cells pass the same box tests, and one probe serves a column.
    void count_search(const Point& q, CountAccumulator& acc) const {
        RangeCounter counter(q, points.data(), acc);
        const float bound = acc.max_dist_sq();
        if (!acc.weighted() && separable) {
            walk_columns(q, bound, [&](std::uint32_t number) {
                const auto [start, end] = cell_range(number);
                counter.add(start, end);
            });
        } else {
            walk_cells(q, [bound] { return bound; }, [&](std::uint32_t start, std::uint32_t end) {
                counter.add(start, end);
                return false;
            });
        }
        counter.flush();
    }

    // Visits the occupied cells around q in offset order, skipping cells whose box
    // distance is >= bound(); scan(start, end) returns true to stop the walk.
    template <class Bound, class Scan>
    void walk_cells(const Point& q, Bound&& bound, Scan&& scan, UnitNeighbourhood* hood = nullptr) const {
        walk_cell_numbers(
            q, bound,
            [&](std::uint32_t number, std::uint32_t start, std::uint32_t end, bool fetched) {
                if (!fetched) std::tie(start, end) = cell_range(number);
                return scan(start, end);
            },
            hood);
    }

    // Visits the occupied cells around q in offset order, skipping cells whose box
    // distance is >= bound(). visit(number, start, end, fetched) returns true to stop the
    // walk; when `fetched` is set, [start, end) is the cell's valid range, read ahead.
    //
    // Offsets are taken in batches. Before a batch is walked, its columns, cell numbers,
    // cell ranges and first points are fetched in passes with prefetches, so that the
    // memory latencies of the batch overlap instead of adding up; consecutive offsets in
    // one column share a single column probe. Only offsets whose box passes the bound at
    // that moment are fetched early, and nothing is decided early: the walk repeats the
    // exact box test and takes a fetched range only when it is valid.
    //
    // With `hood`, a neighbourhood of one cell each way is walked from it when it is q's,
    // and otherwise first filled for q's cell (see UnitNeighbourhood).
    template <class Bound, class Visit>
    void walk_cell_numbers(const Point& q, Bound&& bound, Visit&& visit, UnitNeighbourhood* hood = nullptr) const {
        if (neighbour_offsets.empty() || columns.empty()) return;
        const QueryCell at = locate(q);
        if (walk_offsets(q, at.cell, bound, visit, hood)) return;
        if (at.beyond) walk_beyond(q, at.cell, bound, visit);
    }

    // The offset walk of walk_cell_numbers around q's cell a; true when visit stopped it.
    template <class Bound, class Visit>
    bool walk_offsets(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit, UnitNeighbourhood* hood) const {
        if (offset_span == 1 && separable && a.z != INT32_MIN && a.z != INT32_MAX && !cell_starts.empty() &&
            !points.empty()) {
            if (hood != nullptr && hood->worth_keeping()) {
                if (hood->filled && hood->centre == a) {
                    ++hood->reuses;
                    return walk_neighbourhood(q, *hood, bound, visit);
                }
                ++hood->fills;
                if (fill_neighbourhood(a, *hood)) return walk_neighbourhood(q, *hood, bound, visit);
            }
            return walk_unit_cells(q, a, bound, visit);
        }
        GapTable gap_sq;
        const std::int32_t span = static_cast<std::int32_t>(offset_span);
        if (separable) fill_gaps(q, a, gap_sq);
        constexpr std::size_t batch = 32;  // one bit of `fetched` each
        CellCoord cells[batch];
        float boxes[batch];
        std::uint32_t numbers[batch], starts[batch], ends[batch];
        for (std::size_t first = 0; first < neighbour_offsets.size(); first += batch) {
            const std::size_t count = std::min(batch, neighbour_offsets.size() - first);
            const float early_bound = bound();
            for (std::size_t i = 0; i < count; ++i) {
                const CellCoord& d = neighbour_offsets[first + i];
                cells[i] = {wrapping_add(a.x, d.x), wrapping_add(a.y, d.y), wrapping_add(a.z, d.z)};
                boxes[i] = separable ? (gap_sq[0][d.x + span] + gap_sq[1][d.y + span]) + gap_sq[2][d.z + span]
                                     : box_distance(q, cells[i]);
                if (!(boxes[i] >= early_bound) && (i == 0 || !same_column(cells[i], cells[i - 1])))
                    columns.prefetch(cells[i].x, cells[i].y);
            }
            ColumnRange column;
            std::uint32_t cursor = 0;
            const CellCoord* column_cell = nullptr;  // a cell of the column probed last
            for (std::size_t i = 0; i < count; ++i) {
                numbers[i] = NO_CELL;
                if (boxes[i] >= early_bound) continue;
                if (column_cell == nullptr || !same_column(cells[i], *column_cell)) {
                    column = checked_column(cells[i]);
                    cursor = column.start;
                    column_cell = &cells[i];
                }
                numbers[i] = position_in_column(cells[i], column, cursor);
                if (numbers[i] != NO_CELL) __builtin_prefetch(cell_starts.data() + numbers[i]);
            }
            std::uint32_t fetched = 0;
            for (std::size_t i = 0; i < count; ++i) {
                starts[i] = ends[i] = 0;
                if (static_cast<std::size_t>(numbers[i]) + 1 >= cell_starts.size()) continue;
                starts[i] = cell_starts[numbers[i]];
                ends[i] = cell_starts[numbers[i] + 1];
                if (starts[i] > ends[i] || ends[i] > points.size()) continue;
                __builtin_prefetch(points.data() + starts[i]);
                fetched |= 1u << i;
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (boxes[i] >= bound()) continue;
                const bool was_fetched = (fetched >> i) & 1u;
                // Offsets skipped by the early bound were not looked up yet.
                std::uint32_t number = numbers[i];
                if (!was_fetched && boxes[i] >= early_bound) number = find_cell(cells[i]);
                if (number == NO_CELL) continue;
                if (visit(number, starts[i], ends[i], was_fetched)) return true;
            }
        }
        return false;
    }

    // Visits, after the offset walk around q's cell a, the occupied cells beyond it that
    // can hold a point within `reach` of q and pass the box test. cell_of is monotone and
    // every such point lies between q - reach and q + reach rounded, so their cells
    // bound the walk on each axis. True when visit stopped it.
    template <class Bound, class Visit>
    [[gnu::noinline]] bool walk_beyond(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit) const {
        if (!is_finite(q) || columns.empty()) return false;
        constexpr float fmax = std::numeric_limits<float>::max();
        auto low = [&](float v, std::int32_t bottom) {
            return std::max(cell_coordinate(std::max(v - reach, -fmax), inv_cell_size), bottom);
        };
        auto high = [&](float v, std::int32_t top) {
            return std::min(cell_coordinate(std::min(v + reach, fmax), inv_cell_size), top);
        };
        const CellCoord lo{low(q.x, cells_low.x), low(q.y, cells_low.y), low(q.z, cells_low.z)};
        const CellCoord hi{high(q.x, cells_high.x), high(q.y, cells_high.y), high(q.z, cells_high.z)};
        const auto span = static_cast<std::int32_t>(offset_span);
        auto within_walk = [span](std::int64_t low_cell, std::int64_t centre, std::int64_t high_cell) {
            return centre - low_cell <= span && high_cell - centre <= span;
        };
        const bool z_walked = within_walk(lo.z, a.z, hi.z);
        if (within_walk(lo.x, a.x, hi.x) && within_walk(lo.y, a.y, hi.y) && z_walked)
            return false;  // the usual case: the offset walk covered the range
        // Whether the offset walk, which wraps around the i32 range, visited cell c.
        auto walked = [&](std::int32_t c, std::int32_t centre) {
            const auto d = static_cast<std::int32_t>(static_cast<std::uint32_t>(c) - static_cast<std::uint32_t>(centre));
            return d >= -span && d <= span;
        };
        const CellCoord* coords = cell_coords.data();
        for (std::int64_t x = lo.x; x <= hi.x; ++x) {
            const float gx = squared(axis_gap(q.x, static_cast<std::int32_t>(x)));
            for (std::int64_t y = lo.y; y <= hi.y; ++y) {
                const bool column_walked = walked(static_cast<std::int32_t>(x), a.x) &&
                                           walked(static_cast<std::int32_t>(y), a.y);
                if (column_walked && z_walked) continue;
                const float xy = gx + squared(axis_gap(q.y, static_cast<std::int32_t>(y)));
                if (xy >= bound()) continue;
                const ColumnRange column =
                    cells_from(checked_column({static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), 0}), lo.z);
                for (std::uint32_t c = column.start; c < column.end && coords[c].z <= hi.z; ++c) {
                    if (coords[c].z < lo.z || (column_walked && walked(coords[c].z, a.z))) continue;
                    if (xy + squared(axis_gap(q.z, coords[c].z)) >= bound()) continue;
                    if (visit(c, 0, 0, false)) return true;
                }
            }
        }
        return false;
    }

    // walk_cell_numbers for a neighbourhood of one cell each way, whose 27 offsets run
    // column by column with dz fastest: one probe and one search per column find its
    // cells z - 1, z, z + 1, which are consecutive there. The same cells are visited in
    // the same order after the same box tests. Needs a.z away from the i32 limits, so
    // that the three z values ascend.
    template <class Bound, class Visit>
    bool walk_unit_cells(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit) const {
        float gx[3], gy[3], gz[3];
        unit_gaps(q, a, gx, gy, gz);
        const CellCoord* coords = cell_coords.data();
        auto column_cells = [&](std::size_t c) {
            return cells_from(checked_column({column_x(a, c), column_y(a, c), 0}), a.z - 1);
        };
        const float early_bound = bound();
        float xy[9];
        bool probed[9];
        ColumnRange found[9];  // per column, its cells from the first one with z >= a.z - 1
        for (std::size_t c = 0; c < 9; ++c) {
            xy[c] = gx[c / 3] + gy[c % 3];
            probed[c] = admits(xy[c], gz, early_bound);
            if (probed[c]) columns.prefetch(column_x(a, c), column_y(a, c));
        }
        // Prefetches go to clamped places without a branch: an empty column fetches
        // something harmless.
        const std::size_t last_start = cell_starts.size() - 1, last_point = points.size() - 1;
        for (std::size_t c = 0; c < 9; ++c) {
            if (!probed[c]) continue;
            found[c] = column_cells(c);
            __builtin_prefetch(cell_starts.data() + std::min<std::size_t>(found[c].start, last_start));
        }
        for (std::size_t c = 0; c < 9; ++c) {
            if (!probed[c]) continue;
            const std::uint32_t start = cell_starts[std::min<std::size_t>(found[c].start, last_start)];
            __builtin_prefetch(points.data() + std::min<std::size_t>(start, last_point));
        }
        for (std::size_t c = 0; c < 9; ++c) {
            if (!probed[c]) {
                // A bound that rose after a NaN was kept can admit a column skipped above.
                if (!admits(xy[c], gz, bound())) continue;
                found[c] = column_cells(c);
            }
            // Only cells that exist are tested: a missing cell would be skipped either way.
            for (std::uint32_t at = found[c].start; at < found[c].end && coords[at].z <= a.z + 1; ++at) {
                if (coords[at].z < a.z - 1) continue;  // only if cells were out of order
                const std::int32_t dz = coords[at].z - a.z;
                if (xy[c] + gz[dz + 1] >= bound()) continue;
                if (visit(at, 0, 0, false)) return true;
            }
        }
        return false;
    }

    // walk_unit_cells over a neighbourhood filled for q's cell: the same cells after the
    // same box tests in the same order. walk_unit_cells looks up a column when the first
    // bound, or a later one, admits it.
    template <class Bound, class Visit>
    bool walk_neighbourhood(const Point& q, const UnitNeighbourhood& hood, Bound&& bound, Visit&& visit) const {
        float gx[3], gy[3], gz[3];
        unit_gaps(q, hood.centre, gx, gy, gz);
        const float early_bound = bound();
        for (std::size_t c = 0; c < 9; ++c) {
            const float xy = gx[c / 3] + gy[c % 3];
            if (!admits(xy, gz, early_bound) && !admits(xy, gz, bound())) continue;
            for (std::size_t i = 0; i < hood.count[c]; ++i) {
                const UnitNeighbourhood::Cell& cell = hood.cells[c][i];
                if (xy + gz[cell.dz + 1] >= bound()) continue;
                if (visit(cell.number, cell.start, cell.end, true)) return true;
            }
        }
        return false;
    }

    // Fills `hood` for cell a; false, leaving it empty, when a column or cell range fails
    // the checks of checked_column or cell_range, or a column has more than three cells in
    // range (damaged restored data): the plain walk then meets it where it always did.
    bool fill_neighbourhood(const CellCoord& a, UnitNeighbourhood& hood) const {
        hood.filled = false;
        // In passes, as walk_unit_cells fetches: columns, then their cell ranges, then the
        // first points, so that the memory latencies overlap.
        for (std::size_t c = 0; c < 9; ++c) columns.prefetch(column_x(a, c), column_y(a, c));
        ColumnRange found[9];
        for (std::size_t c = 0; c < 9; ++c) {
            const ColumnRange column = columns.find(column_x(a, c), column_y(a, c));
            if (!(column.start <= column.end && column.end <= cell_coords.size())) return false;
            found[c] = cells_from(column, a.z - 1);
            if (found[c].start < found[c].end) __builtin_prefetch(cell_starts.data() + found[c].start);
        }
        const CellCoord* coords = cell_coords.data();
        for (std::size_t c = 0; c < 9; ++c) {
            hood.count[c] = 0;
            for (std::uint32_t at = found[c].start; at < found[c].end && coords[at].z <= a.z + 1; ++at) {
                if (coords[at].z < a.z - 1) continue;
                if (hood.count[c] == 3 || static_cast<std::size_t>(at) + 1 >= cell_starts.size()) return false;
                const std::uint32_t start = cell_starts[at], end = cell_starts[at + 1];
                if (!(start <= end && end <= points.size())) return false;
                hood.cells[c][hood.count[c]++] = {at, start, end, coords[at].z - a.z};
                __builtin_prefetch(points.data() + start);
            }
        }
        hood.centre = a;
        hood.filled = true;
        return true;
    }

    // The cells around q for a list that takes any order: q's own cell first, when it
    // holds at least ANY_ORDER_MIN_POINTS points, so that the bound falls early; then the
    // others as walk_unit_cells takes them, each searched by scan(number). Afterwards a
    // cell whose box distance equals the list's tie bound is passed over: the walk may
    // have skipped it, and it could hold a point at exactly that distance. Returns false,
    // having scanned nothing, when the search does not apply: finite points and query,
    // a neighbourhood of one cell each way, q's cell away from the i32 limits in z.
    template <class Scan>
    bool walk_own_cell_first(const Point& q, AnyOrderList& list, Scan&& scan) const {
        if (!has_crowded_cells || offset_span != 1 || !separable || !finite_points || !is_finite(q) ||
            columns.empty() || cell_starts.empty() || points.empty())
            return false;
        const QueryCell at = locate(q);
        const CellCoord a = at.cell;
        if (at.beyond || a.z == INT32_MIN || a.z == INT32_MAX) return false;
        const ColumnRange own = cells_from(checked_column(a), a.z);
        if (own.start == own.end || !(cell_coords[own.start] == a)) return false;
        const std::uint32_t centre = own.start;
        const auto [start, end] = cell_range(centre);
        if (end - start < ANY_ORDER_MIN_POINTS) return false;
        scan(centre);
        walk_unit_cells(q, a, [&] { return list.threshold(); },
                        [&](std::uint32_t number, std::uint32_t, std::uint32_t, bool) {
                            if (number != centre) scan(number);
                            return false;
                        });
        const float tie = list.tie_bound();
        float gx[3], gy[3], gz[3];
        unit_gaps(q, a, gx, gy, gz);
        for (const float x : gx)
            for (const float y : gy)
                for (const float z : gz)
                    if ((x + y) + z == tie) list.pass_over(tie);
        return true;
    }

    // Calls visit(number) for every occupied cell whose box distance is not >= bound,
    // column by column (dx, then dy) and up each column: the cells of the offset walk,
    // in another order, then those of walk_beyond. Needs `separable`.
    template <class Visit>
    void walk_columns(const Point& q, float bound, Visit&& visit) const {
        if (columns.empty()) return;
        const QueryCell at = locate(q);
        walk_offset_columns(q, at.cell, bound, visit);
        if (at.beyond)
            walk_beyond(q, at.cell, [bound] { return bound; }, [&](std::uint32_t number, std::uint32_t, std::uint32_t, bool) {
                visit(number);
                return false;
            });
    }

    template <class Visit>
    void walk_offset_columns(const Point& q, const CellCoord& a, float bound, Visit&& visit) const {
        GapTable gap_sq;
        fill_gaps(q, a, gap_sq);
        const std::int32_t span = static_cast<std::int32_t>(offset_span);
        constexpr std::size_t width = 2 * SEPARABLE_SPAN + 1;
        const CellCoord* coords = cell_coords.data();
        // Whether a.z - span .. a.z + span ascend without wrapping around the i32 range.
        const bool z_ascends = a.z >= INT32_MIN + span && a.z <= INT32_MAX - span;
        // Per column, the bit of every dz whose cell passes its box test.
        std::uint32_t passing[width * width];
        std::size_t column_count = 0;
        for (std::int32_t dx = -span; dx <= span; ++dx) {
            for (std::int32_t dy = -span; dy <= span; ++dy) {
                const float xy = gap_sq[0][dx + span] + gap_sq[1][dy + span];
                std::uint32_t mask = 0;
                for (std::int32_t dz = -span; dz <= span; ++dz)
                    mask |= static_cast<std::uint32_t>(!(xy + gap_sq[2][dz + span] >= bound)) << (dz + span);
                passing[column_count++] = mask;
                if (mask != 0) columns.prefetch(wrapping_add(a.x, dx), wrapping_add(a.y, dy));
            }
        }
        std::size_t at = 0;
        for (std::int32_t dx = -span; dx <= span; ++dx) {
            for (std::int32_t dy = -span; dy <= span; ++dy) {
                std::uint32_t mask = passing[at++];
                if (mask == 0) continue;
                CellCoord cell{wrapping_add(a.x, dx), wrapping_add(a.y, dy), 0};
                const ColumnRange column = checked_column(cell);
                if (column.start == column.end) continue;
                if (z_ascends) {
                    // The column's cells from a.z - span up, each tested against its bit.
                    const ColumnRange from = cells_from(column, a.z - span);
                    for (std::uint32_t c = from.start; c < from.end && coords[c].z <= a.z + span; ++c) {
                        if (coords[c].z < a.z - span) continue;  // only if cells were out of order
                        if ((mask >> (coords[c].z - (a.z - span))) & 1u) visit(c);
                    }
                    continue;
                }
                std::uint32_t cursor = column.start;
                for (; mask != 0; mask &= mask - 1) {
                    cell.z = wrapping_add(a.z, static_cast<std::int32_t>(__builtin_ctz(mask)) - span);
                    const std::uint32_t number = position_in_column(cell, column, cursor);
                    if (number != NO_CELL) visit(number);
                }
            }
        }
    }

    // The number of `cell`, or NO_CELL when it holds no point.
    std::uint32_t find_cell(const CellCoord& cell) const {
        const ColumnRange column = checked_column(cell);
        std::uint32_t cursor = column.start;
        return position_in_column(cell, column, cursor);
    }

    // Squared distance from q to the box of `cell`, per axis the gap to the cell's
    // interval, summed as (gx^2 + gy^2) + gz^2.
    float box_distance(const Point& q, const CellCoord& cell) const {
        const float gx = axis_gap(q.x, cell.x), gy = axis_gap(q.y, cell.y), gz = axis_gap(q.z, cell.z);
        return (gx * gx + gy * gy) + gz * gz;
    }

private:
    static float squared(float v) { return v * v; }

    // Squared per-axis gaps from q to the cells a + d, d in [-span, span], per axis: the
    // box distance of offset (dx, dy, dz) is (gx^2 + gy^2) + gz^2 of these.
    using GapTable = float[3][2 * SEPARABLE_SPAN + 1];
    void fill_gaps(const Point& q, const CellCoord& a, GapTable& gap_sq) const {
        const std::int32_t span = static_cast<std::int32_t>(offset_span);
        for (std::int32_t d = -span; d <= span; ++d) {
            const auto at = static_cast<std::size_t>(d + span);
            gap_sq[0][at] = squared(axis_gap(q.x, wrapping_add(a.x, d)));
            gap_sq[1][at] = squared(axis_gap(q.y, wrapping_add(a.y, d)));
            gap_sq[2][at] = squared(axis_gap(q.z, wrapping_add(a.z, d)));
        }
    }

    // The smallest box_slack for the points as they are (see there).
    float measure_box_slack() const;

    // Squared per-axis gaps from q to the cells a - 1, a, a + 1 (gz without wrapping).
    [[gnu::always_inline]] void unit_gaps(const Point& q, const CellCoord& a, float* gx, float* gy, float* gz) const {
        for (std::int32_t d = -1; d <= 1; ++d) {
            gx[d + 1] = squared(axis_gap(q.x, wrapping_add(a.x, d)));
            gy[d + 1] = squared(axis_gap(q.y, wrapping_add(a.y, d)));
            gz[d + 1] = squared(axis_gap(q.z, a.z + d));
        }
    }

    static bool same_column(const CellCoord& a, const CellCoord& b) { return a.x == b.x && a.y == b.y; }

    [[gnu::always_inline]] ColumnRange checked_column(const CellCoord& cell) const {
        const ColumnRange column = columns.find(cell.x, cell.y);
        check(column.start <= column.end && column.end <= cell_coords.size(), "column range outside cell_coords");
        return column;
    }

    // Whether a cell of the column with squared gap `xy` passes the box test against `bound`.
    static bool admits(float xy, const float* gz, float bound) {
        return !(xy + gz[0] >= bound) | !(xy + gz[1] >= bound) | !(xy + gz[2] >= bound);
    }

    static std::int32_t column_x(const CellCoord& a, std::size_t c) {
        return wrapping_add(a.x, static_cast<std::int32_t>(c / 3) - 1);
    }
    static std::int32_t column_y(const CellCoord& a, std::size_t c) {
        return wrapping_add(a.y, static_cast<std::int32_t>(c % 3) - 1);
    }

    // The cells of `column` from the first one whose z is not below `z` to its end. Cells
    // ascend strictly in z, so in a column without gaps z sits `z - first z` places in,
    // and otherwise at or before that place.
    [[gnu::always_inline]] ColumnRange cells_from(const ColumnRange& column, std::int32_t z) const {
        const CellCoord* coords = cell_coords.data();
        std::uint32_t lo = column.start, hi = column.end;
        if (lo == hi) return column;
        const std::int64_t guess = static_cast<std::int64_t>(lo) + (static_cast<std::int64_t>(z) - coords[lo].z);
        if (guess <= lo) return column;
        if (guess < hi) {
            if (coords[guess - 1].z < z) return {static_cast<std::uint32_t>(guess), hi};
            hi = static_cast<std::uint32_t>(guess);
        }
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (coords[mid].z < z) lo = mid + 1;
            else hi = mid;
        }
        return {lo, column.end};
    }

    // The number of `cell` in its column, searching from `cursor`, which is left at the
    // first cell of the column not below cell.z. The cells of a column ascend in z and so
    // do the offsets of a run in it, so after the first search each step is short.
    std::uint32_t position_in_column(const CellCoord& cell, const ColumnRange& column, std::uint32_t& cursor) const {
        const CellCoord* coords = cell_coords.data();
        if (cursor <= column.start || cursor > column.end || coords[cursor - 1].z >= cell.z)
            cursor = cells_from(column, cell.z).start;
        else
            while (cursor < column.end && coords[cursor].z < cell.z) ++cursor;
        return cursor < column.end && coords[cursor] == cell ? cursor : NO_CELL;
    }

    static std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
    }

    // Distance along one axis from v to the cell's interval [lo, lo + cell_size], widened
    // by box_slack on both sides (no change when it is 0).
    // The cells at the i32 limits also hold every coordinate beyond them, and an edge that
    // overflowed to infinity bounds nothing: on those sides the gap is 0, so the points
    // clamped into such cells are still found.
    [[gnu::always_inline]] float axis_gap(float v, std::int32_t c) const {
        constexpr float inf = std::numeric_limits<float>::infinity();
        const float lo = static_cast<float>(c) * cell_size;
        const float hi = lo + cell_size;
        if (lo > v && c != INT32_MIN && lo != inf) return positive_part((lo - box_slack) - v);
        if (v > hi && c != INT32_MAX && hi != -inf) return positive_part(v - (hi + box_slack));
        return 0.0f;
    }

    static float positive_part(float g) { return g > 0.0f ? g : 0.0f; }
};

}  // namespace kesra
