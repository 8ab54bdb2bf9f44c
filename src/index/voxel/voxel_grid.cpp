#include "index/voxel/voxel_grid.hpp"

#include <algorithm>
#include <new>

#include "base/memory_limit.hpp"

namespace kesra {

std::vector<CellCoord> VoxelGrid::make_neighbour_offsets(std::uint32_t m) {
    // A table larger than the machine's memory cannot be built (and side^3 overflows from
    // 2^21 cells a side on): the build fails as a whole here rather than half-way.
    const std::uint64_t side = 2 * static_cast<std::uint64_t>(m) + 1;
    if (side > (1u << 21)) throw std::bad_alloc();
    check_fits_in_memory(side * side * side, sizeof(CellCoord));
    const auto mi = static_cast<std::int32_t>(m);
    std::vector<CellCoord> offsets;
    offsets.reserve(side * side * side);
    for (std::int32_t dx = -mi; dx <= mi; ++dx)
        for (std::int32_t dy = -mi; dy <= mi; ++dy)
            for (std::int32_t dz = -mi; dz <= mi; ++dz) offsets.push_back({dx, dy, dz});
    auto key = [](const CellCoord& d) {
        auto part = [](std::int32_t v) {
            const std::int32_t g = std::max(std::abs(v) - 1, 0);
            return g * g;
        };
        return part(d.x) + part(d.y) + part(d.z);
    };
    std::stable_sort(offsets.begin(), offsets.end(),
                     [&](const CellCoord& a, const CellCoord& b) { return key(a) < key(b); });
    return offsets;
}

void VoxelGrid::derive() {
    derive_walk_tables();
    finite_points = all_finite(points.data(), points.size());
    extent = finite_extent();
    cells_low = cells_high = {};
    if (!cell_coords.empty()) {
        cells_low = cells_high = cell_coords.front();
        for (const CellCoord& c : cell_coords) {
            cells_low = {std::min(cells_low.x, c.x), std::min(cells_low.y, c.y), std::min(cells_low.z, c.z)};
            cells_high = {std::max(cells_high.x, c.x), std::max(cells_high.y, c.y), std::max(cells_high.z, c.z)};
        }
    }
    has_crowded_cells = holds_crowded_cell();
    box_slack = 0.0f;  // measured against the cells' own intervals
    box_slack = measure_box_slack();
}

void VoxelGrid::derive_walk_tables() {
    columns = ColumnLookup(cell_coords);
    std::uint64_t span = 0;
    for (const CellCoord& d : neighbour_offsets)
        for (const std::int64_t v : {d.x, d.y, d.z}) span = std::max<std::uint64_t>(span, v < 0 ? -v : v);
    const std::uint64_t side = 2 * span + 1;
    separable = span <= SEPARABLE_SPAN && neighbour_offsets.size() == side * side * side;
    offset_span = static_cast<std::uint32_t>(std::min<std::uint64_t>(span, INT32_MAX));
    // Edges (c + 2) * cell_size stay below half the largest float.
    const double safe = static_cast<double>(std::numeric_limits<float>::max()) / 2 / cell_size - 2;
    unit_safe_cell = cell_size > 0.0f ? static_cast<std::int32_t>(std::min<double>(safe, INT32_MAX - 2)) : -1;
}

float VoxelGrid::finite_extent() const {
    float largest = 0.0f;
    for (const Point& p : points)
        for (const float v : {p.x, p.y, p.z})
            if (std::fabs(v) > largest && std::fabs(v) <= std::numeric_limits<float>::max()) largest = std::fabs(v);
    return largest;
}

bool VoxelGrid::holds_crowded_cell() const {
    for (std::size_t c = 0; c + 1 < cell_starts.size(); ++c)
        if (cell_starts[c + 1] >= cell_starts[c] + std::uint64_t{ANY_ORDER_MIN_POINTS}) return true;
    return false;
}

void VoxelGrid::derive_reach(float max_dist) {
    // Every point within max_dist of a finite query q lies, on each axis, strictly within
    // max_dist of q (a squared axis difference at or beyond the radius is at least its
    // square). With t = q * inv_cell_size and a = floor(t), rounding in forming q + r and
    // (q + r) * inv_cell_size moves t + r * inv_cell_size by at most e, so such points lie
    // in cells a - m to a + m whenever t - a lies between margin = r * inv_cell_size - m + e
    // and 1 - margin. e is three roundings at the largest |t| whose query can have a
    // neighbour, (extent + 2r) * inv_cell_size, plus one step and subnormal slack; all is
    // computed in double, where the products of floats are exact. Lists with a smaller
    // radius are covered too, such as the graph's entry search, whose radius is the
    // rounded square root of max_dist squared and so at most max_dist.
    reach = max_dist;
    face_band = -1.0f;
    const double inv = inv_cell_size, r = reach;
    const double unit = 0x1p-24;
    const double t_max = (static_cast<double>(extent) + 2 * r) * inv;
    const double error = (3 * unit * t_max + unit) * (1 + 0x1p-20) + 0x1p-140 * (inv + 1);
    const double margin = (r * inv - static_cast<double>(offset_span)) + error;
    if (!(margin < 0.5)) return;  // no query is certain to be inside (NaN too)
    // A query is inside when its distance from the middle is below 0.5 - margin: round down.
    const double band = 0.5 - std::max(margin, 0.0);
    face_band = static_cast<float>(band);
    if (face_band > band) face_band = std::nextafter(face_band, -INFINITY);
}

float VoxelGrid::measure_box_slack() const {
    // A cell's overhang is the gap from its interval to the lowest or highest coordinate
    // of its points, a difference of nearby floats and so exact in practice.
    float most = 0.0f;
    const std::size_t cells = std::min(cell_coords.size(), cell_starts.empty() ? 0 : cell_starts.size() - 1);
    for (std::size_t c = 0; c < cells; ++c) {
        const std::uint32_t start = cell_starts[c], end = cell_starts[c + 1];
        if (start >= end || end > points.size()) continue;  // searches reject such a range
        // NaN coordinates are passed over; a cell of them only keeps lo above hi.
        Point lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
        for (std::uint32_t p = start; p < end; ++p) {
            const Point& v = points[p];
            lo = {v.x < lo.x ? v.x : lo.x, v.y < lo.y ? v.y : lo.y, v.z < lo.z ? v.z : lo.z};
            hi = {v.x > hi.x ? v.x : hi.x, v.y > hi.y ? v.y : hi.y, v.z > hi.z ? v.z : hi.z};
        }
        most = std::max(most, overhang(lo, hi, cell_coords[c]));
    }
    return slack_over(most);
}

std::optional<GridStats> VoxelGrid::grid_stats() const {
    GridStats stats;
    stats.num_cells = cell_coords.size();
    for (std::size_t c = 0; c + 1 < cell_starts.size(); ++c)
        stats.max_points_per_cell = std::max(stats.max_points_per_cell, cell_starts[c + 1] - cell_starts[c]);
    if (stats.num_cells != 0)
        stats.mean_points_per_cell = static_cast<float>(points.size()) / static_cast<float>(stats.num_cells);
    return stats;
}

std::size_t VoxelGrid::memory_bytes() const {
    return points.capacity() * sizeof(Point) + original_indices.capacity() * sizeof(std::uint32_t) +
           cell_coords.capacity() * sizeof(CellCoord) + cell_starts.capacity() * sizeof(std::uint32_t) +
           columns.memory_bytes() + neighbour_offsets.capacity() * sizeof(CellCoord);
}

}  // namespace kesra
