#pragma once
// The "voxel" structure: points binned into cubic cells of edge max_dist / m, stored
// cell by cell in (x, y, z) order, with a hash map from each column of cells to its range
// of cell numbers. A query visits the (2m+1)^3 cells around its own in near-to-far order,
// skipping every cell whose box cannot hold a point below the current bound. This file
// holds the data, the build and the cell geometry; the walks are in cell_walks.hpp and
// unit_walks.hpp, the searches in voxel_search.hpp.
//
// Immutable after build: any number of threads may query one grid without locks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/errors.hpp"
#include "base/points_view.hpp"
#include "index/build_params.hpp"
#include "index/grid_stats.hpp"
#include "index/results/any_order_list.hpp"
#include "index/results/count_accumulator.hpp"
#include "index/results/result_set.hpp"
#include "index/voxel/cell_coord.hpp"
#include "index/voxel/column_lookup.hpp"
#include "index/voxel/unit_neighbourhood.hpp"
#include "pool/worker_pool.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesra {

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
    // In grids with crowded cells (ANY_ORDER_MIN_POINTS points or more), own cells with
    // at least OWN_CELL_MIN_POINTS points are searched first (walk_own_cell_first): below
    // those, the order gains less than the checks cost.
    static constexpr std::uint32_t ANY_ORDER_MIN_POINTS = 64;
    static constexpr std::uint32_t OWN_CELL_MIN_POINTS = 16;
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
    // Derived from cell_size: cells up to this far from 0 on every axis, and their
    // neighbours, are away from the i32 limits and have finite edges (unit_gaps).
    std::int32_t unit_safe_cell = -1;

    static constexpr std::string_view METHOD_NAME = "voxel";
    static VoxelGrid build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                           std::uint32_t cells_per_radius);
    static VoxelGrid build(WorkerPool& pool, const PointsView& search_points, const BuildParams& p) {
        return build(pool, search_points, p.max_dist, p.cells_per_radius);
    }

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

    // Recomputes the derived fields, but for those of derive_reach. The build gathers
    // the same values while it places the points.
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
    const std::vector<Point>& stored_points() const { return points; }
    std::size_t memory_bytes() const;
    std::optional<GridStats> grid_stats() const;

    // A query task's work space: the neighbourhood its last row walked. Counts do not use
    // it: on some scans, counting over a kept neighbourhood was slower than the column walk.
    struct Scratch {
        UnitNeighbourhood hood;
    };

    // The searches (voxel_search.hpp), for any candidate list or accumulator; `scratch`
    // lets rows of one task share the lookups of a cell's neighbourhood.
    template <CandidateList List>
    void knn_search(const Point& q, List& list, Scratch* scratch = nullptr) const;
    void count_search(const Point& q, CountAccumulator& acc, Scratch* scratch = nullptr) const;
    // Offers every point within the radius to a list that keeps them all (WithinList),
    // in an order of its own: the cells count_search visits.
    template <CandidateList List>
    void within_search(const Point& q, List& list, Scratch* scratch = nullptr) const;
    // knn_search for a list that takes any order; false, with nothing offered, when the
    // search does not apply (see walk_own_cell_first).
    bool knn_search_any_order(const Point& q, AnyOrderList& list, Scratch* scratch = nullptr) const;

    // Visits the occupied cells around q in offset order, skipping cells whose box
    // distance is >= bound(); scan(start, end) returns true to stop the walk.
    template <class Bound, class Scan>
    void walk_cells(const Point& q, Bound&& bound, Scan&& scan, UnitNeighbourhood* hood = nullptr) const;

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
    void walk_cell_numbers(const Point& q, Bound&& bound, Visit&& visit, UnitNeighbourhood* hood = nullptr) const;

    // The offset walk of walk_cell_numbers around q's cell a; true when visit stopped it.
    template <class Bound, class Visit>
    bool walk_offsets(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit, UnitNeighbourhood* hood) const;

    // Visits, after the offset walk around q's cell a, the occupied cells beyond it that
    // can hold a point within `reach` of q and pass the box test. cell_of is monotone and
    // every such point lies between q - reach and q + reach rounded, so their cells
    // bound the walk on each axis. True when visit stopped it.
    template <class Bound, class Visit>
    [[gnu::noinline]] bool walk_beyond(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit) const;

    // walk_cell_numbers for a neighbourhood of one cell each way, whose 27 offsets run
    // column by column with dz fastest: one probe and one search per column find its
    // cells z - 1, z, z + 1, which are consecutive there. The same cells are visited in
    // the same order after the same box tests. Needs a.z away from the i32 limits, so
    // that the three z values ascend.
    template <class Bound, class Visit>
    bool walk_unit_cells(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit) const;

    // walk_unit_cells over a neighbourhood filled for q's cell: the same cells after the
    // same box tests in the same order. walk_unit_cells looks up a column when the first
    // bound, or a later one, admits it.
    template <class Bound, class Visit>
    bool walk_neighbourhood(const Point& q, const UnitNeighbourhood& hood, Bound&& bound, Visit&& visit) const;

    // Fills `hood` for cell a; false, leaving it empty, when a column or cell range fails
    // the checks of checked_column or cell_range, or a column has more than three cells in
    // range (damaged restored data): the plain walk then meets it where it always did.
    bool fill_neighbourhood(const CellCoord& a, UnitNeighbourhood& hood) const;

    // Whether `hood` (a task's, or none) holds a's neighbourhood, kept from the row before
    // or filled now, while keeping neighbourhoods is worth it.
    bool keep_neighbourhood(const CellCoord& a, UnitNeighbourhood* hood) const;

    // The cells around q for a list that takes any order: q's own cell first, when it
    // holds at least OWN_CELL_MIN_POINTS points, so that the bound falls early; then the
    // others as walk_unit_cells takes them, each searched by scan(number). Afterwards a
    // cell whose box distance equals the list's tie bound is passed over: the walk may
    // have skipped it, and it could hold a point at exactly that distance. Returns false,
    // having scanned nothing, when the search does not apply: finite points and query,
    // a neighbourhood of one cell each way, q's cell away from the i32 limits in z.
    template <class Scan>
    bool walk_own_cell_first(const Point& q, AnyOrderList& list, Scan&& scan, UnitNeighbourhood* hood) const;

    // Calls visit(number) for every occupied cell whose box distance is not >= bound,
    // column by column (dx, then dy) and up each column: the cells of the offset walk,
    // in another order, then those of walk_beyond. Needs `separable`.
    template <class Visit>
    void walk_columns(const Point& q, float bound, Visit&& visit) const;

    // walk_columns' walk of the offsets around a; a nonzero Span is offset_span, fixed.
    template <int Span, class Visit>
    void walk_offset_columns(const Point& q, const CellCoord& a, float bound, Visit&& visit) const;

    // The number of `cell`, or NO_CELL when it holds no point.
    std::uint32_t find_cell(const CellCoord& cell) const {
        const ColumnRange column = checked_column(cell);
        std::uint32_t cursor = column.start;
        return position_in_column(cell, column, cursor);
    }

    // How far the box [lo, hi] reaches out of `cell` along any axis, as box_slack measures
    // it (while box_slack is 0); 0 for an axis where lo > hi (no coordinate but NaN).
    float overhang(Point lo, Point hi, const CellCoord& cell) const {
        float most = 0.0f;
        auto widen = [&](float low, float high, std::int32_t coord) {
            const float edge = static_cast<float>(coord) * cell_size;
            if (low >= edge && high <= edge + cell_size) return;  // inside, as nearly every cell is
            if (low <= high) most = std::max({most, axis_gap(low, coord), axis_gap(high, coord)});
        };
        widen(lo.x, hi.x, cell.x);
        widen(lo.y, hi.y, cell.y);
        widen(lo.z, hi.z, cell.z);
        return most;
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
    [[gnu::always_inline]] void fill_gaps(const Point& q, const CellCoord& a, GapTable& gap_sq, std::int32_t span) const {
        for (std::int32_t d = -span; d <= span; ++d) {
            const auto at = static_cast<std::size_t>(d + span);
            gap_sq[0][at] = squared(axis_gap(q.x, wrapping_add(a.x, d)));
            gap_sq[1][at] = squared(axis_gap(q.y, wrapping_add(a.y, d)));
            gap_sq[2][at] = squared(axis_gap(q.z, wrapping_add(a.z, d)));
        }
    }

    // The smallest box_slack for the points as they are (see there).
    float measure_box_slack() const;
    // The box_slack that covers a largest overhang of `most`: one step up covers the
    // rounding of any other overhang.
    static float slack_over(float most) { return most > 0.0f ? std::nextafter(most, INFINITY) : 0.0f; }
    // Derives `columns`, `offset_span`, `separable` and `unit_safe_cell`.
    void derive_walk_tables();
    // `extent` and `has_crowded_cells` for the points and cells as they are.
    float finite_extent() const;
    bool holds_crowded_cell() const;

    // Squared per-axis gaps from q to the cells a - 1, a, a + 1 (gz without wrapping).
    [[gnu::always_inline]] void unit_gaps(const Point& q, const CellCoord& a, float* gx, float* gy, float* gz) const {
#if defined(__SSE2__)
        // Away from the i32 limits and from edges that overflow, axis_gap's operations on
        // the three axes at once: lanes x, y, z.
        auto safe = [this](std::int32_t c) { return c >= -unit_safe_cell && c <= unit_safe_cell; };
        if (safe(a.x) && safe(a.y) && safe(a.z)) {
            const __m128 v = _mm_set_ps(0.0f, q.z, q.y, q.x);
            const __m128 size = _mm_set1_ps(cell_size), slack = _mm_set1_ps(box_slack);
            const __m128i centre = _mm_set_epi32(0, a.z, a.y, a.x);
            alignas(16) float squares[3][4];
            for (int d = -1; d <= 1; ++d) {
                const __m128 lo = _mm_mul_ps(_mm_cvtepi32_ps(_mm_add_epi32(centre, _mm_set1_epi32(d))), size);
                const __m128 hi = _mm_add_ps(lo, size);
                const __m128 below = _mm_and_ps(_mm_cmpgt_ps(lo, v), _mm_sub_ps(_mm_sub_ps(lo, slack), v));
                const __m128 above = _mm_and_ps(_mm_cmpgt_ps(v, hi), _mm_sub_ps(v, _mm_add_ps(hi, slack)));
                // max with 0 last: a NaN difference gives 0, as positive_part does.
                const __m128 gap = _mm_max_ps(_mm_max_ps(below, above), _mm_setzero_ps());
                _mm_store_ps(squares[d + 1], _mm_mul_ps(gap, gap));
            }
            for (int d = 0; d < 3; ++d) {
                gx[d] = squares[d][0];
                gy[d] = squares[d][1];
                gz[d] = squares[d][2];
            }
            return;
        }
#endif
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

// The definitions of the walks and searches declared above, which need the whole struct.
#include "index/voxel/voxel_search.hpp"
