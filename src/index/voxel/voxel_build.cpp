// VoxelGrid::build: the points sorted by cell, ties by row number, so that a grid does
// not depend on the pool it was built on. One pass over the rows finds the box of the
// cells; a second packs each row's cell, relative to that box, into an integer key that
// a radix sort orders; a third places the points, each cell's in a fixed scrambled
// order, and numbers the cells. The fields derive() would compute from the points are
// gathered in the same passes.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <numeric>

#include "index/voxel/voxel_grid.hpp"
#include "pool/parallel_sort.hpp"
#include "pool/radix_sort.hpp"

namespace kesra {

namespace {

constexpr std::size_t BLOCK = 1 << 14;

// Per axis, the range of the coordinates that are not NaN, and whether one is NaN.
struct RowSummary {
    float lo[3] = {INFINITY, INFINITY, INFINITY};
    float hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    bool nan[3] = {};

    void add(const Point& p) {
        const float v[3] = {p.x, p.y, p.z};
        for (int a = 0; a < 3; ++a) {
            lo[a] = v[a] < lo[a] ? v[a] : lo[a];
            hi[a] = v[a] > hi[a] ? v[a] : hi[a];
        }
    }
    void add_nan(const Point& p) {
        nan[0] |= p.x != p.x;
        nan[1] |= p.y != p.y;
        nan[2] |= p.z != p.z;
    }
    void merge(const RowSummary& o) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], o.lo[a]);
            hi[a] = std::max(hi[a], o.hi[a]);
            nan[a] |= o.nan[a];
        }
    }
    // An infinite coordinate is the lowest or highest of its axis.
    bool finite() const {
        for (int a = 0; a < 3; ++a)
            if (nan[a] || std::isinf(lo[a]) || std::isinf(hi[a])) return false;
        return true;
    }
};

// summarise_rows over packed rows (x, y, z, x, ...), four at a time: their twelve floats
// are three vectors whose lanes hold the axes x y z x, y z x y and z x y z. Returns the
// row it stopped at.
using Lanes = float __attribute__((vector_size(16)));
std::size_t summarise_packed(const char* data, std::size_t begin, std::size_t end, RowSummary& s, float& zero) {
    Lanes lo[3], hi[3], sum[3];
    for (int v = 0; v < 3; ++v) {
        lo[v] = Lanes{} + INFINITY;
        hi[v] = Lanes{} - INFINITY;
        sum[v] = Lanes{};
    }
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        for (int v = 0; v < 3; ++v) {
            Lanes x;
            std::memcpy(&x, data + i * sizeof(Point) + v * sizeof(Lanes), sizeof x);
            lo[v] = x < lo[v] ? x : lo[v];
            hi[v] = x > hi[v] ? x : hi[v];
            sum[v] += x - x;
        }
    }
    for (int v = 0; v < 3; ++v)
        for (int lane = 0; lane < 4; ++lane) {
            const int a = (4 * v + lane) % 3;
            s.lo[a] = std::min(s.lo[a], lo[v][lane]);
            s.hi[a] = std::max(s.hi[a], hi[v][lane]);
            zero += sum[v][lane];
        }
    return i;
}

RowSummary summarise_rows(WorkerPool& pool, const PointsView& rows) {
    std::vector<RowSummary> blocks((rows.rows + BLOCK - 1) / BLOCK);
    const bool packed = rows.row_stride == sizeof(Point) && rows.col_stride == sizeof(float);
    pool.for_each_block(rows.rows, BLOCK, [&](std::size_t b, std::size_t begin, std::size_t end) {
        RowSummary s;
        float zero = 0.0f;  // becomes NaN at a coordinate that is not finite
        for (std::size_t i = packed ? summarise_packed(rows.data, begin, end, s, zero) : begin; i < end; ++i) {
            const Point p = rows.point(i);
            s.add(p);
            zero += ((p.x - p.x) + (p.y - p.y)) + (p.z - p.z);
        }
        if (zero != 0.0f)
            for (std::size_t i = begin; i < end; ++i) s.add_nan(rows.point(i));
        blocks[b] = s;
    });
    RowSummary all;
    for (const RowSummary& s : blocks) all.merge(s);
    return all;
}

// A cell as an unsigned integer: per axis the distance from the lowest cell, x in the
// highest bits and z in the lowest, so that keys ascend in the (x, y, z) order of cells.
struct CellKey {
    CellCoord low{};
    unsigned width[3] = {};
    unsigned shift[3] = {};
    unsigned bits = 0;

    CellKey(const CellCoord& lowest, const CellCoord& highest) : low(lowest) {
        const std::int32_t lo[3] = {lowest.x, lowest.y, lowest.z}, hi[3] = {highest.x, highest.y, highest.z};
        for (int a = 2; a >= 0; --a) {
            const std::uint32_t span = static_cast<std::uint32_t>(hi[a]) - static_cast<std::uint32_t>(lo[a]);
            width[a] = static_cast<unsigned>(std::bit_width(span));
            shift[a] = width[a] == 0 ? 0 : bits;  // an empty field is never shifted (by 64 or more)
            bits += width[a];
        }
    }
    // Needs bits <= 64.
    std::uint64_t pack(const CellCoord& c) const {
        return field(c.x, low.x, 0) | field(c.y, low.y, 1) | field(c.z, low.z, 2);
    }
    CellCoord unpack(std::uint64_t key) const {
        return {axis(key, low.x, 0), axis(key, low.y, 1), axis(key, low.z, 2)};
    }

private:
    std::uint64_t field(std::int32_t v, std::int32_t from, int a) const {
        return std::uint64_t{static_cast<std::uint32_t>(v) - static_cast<std::uint32_t>(from)} << shift[a];
    }
    std::int32_t axis(std::uint64_t key, std::int32_t from, int a) const {
        const std::uint64_t mask = (std::uint64_t{1} << width[a]) - 1;
        return wrapping_add(from, static_cast<std::int32_t>(static_cast<std::uint32_t>((key >> shift[a]) & mask)));
    }
};

// The sort items of the three ways of sorting, each with its row, whether two items share
// a cell, and the item's cell.
struct PackedOps {  // the cell key above the row number, in one word
    const CellKey& key;
    unsigned row_bits;
    std::uint32_t row(std::uint64_t k) const {
        return static_cast<std::uint32_t>(k & ((std::uint64_t{1} << row_bits) - 1));
    }
    bool same(std::uint64_t a, std::uint64_t b) const { return ((a ^ b) >> row_bits) == 0; }
    CellCoord cell(std::uint64_t k) const { return key.unpack(k >> row_bits); }
};

struct KeyRow {
    std::uint64_t key;
    std::uint32_t row;
};
struct KeyRowOps {  // the cell key beside the row number
    const CellKey& key;
    std::uint32_t row(const KeyRow& k) const { return k.row; }
    bool same(const KeyRow& a, const KeyRow& b) const { return a.key == b.key; }
    CellCoord cell(const KeyRow& k) const { return key.unpack(k.key); }
};

struct CellRow {
    CellCoord cell;
    std::uint32_t row;
};
struct CellRowOps {  // cells too far apart for a 64-bit key, sorted by comparison
    std::uint32_t row(const CellRow& k) const { return k.row; }
    bool same(const CellRow& a, const CellRow& b) const { return a.cell == b.cell; }
    CellCoord cell(const CellRow& k) const { return k.cell; }
};

// The order of a cell's points: the j-th in row order goes to place j * stride mod len,
// for a stride near len / 1.618 and prime to len. Rows next to each other land far apart.
// In row order, which is often scan order, the points of a crowded cell reach a k-nearest
// list nearly sorted by falling distance, and the list takes nearly every one of them
// (bun0, median rule: 18 % more instructions per query).
std::size_t cell_stride(std::size_t len) {
    if (len < 3) return 1;
    std::size_t stride = static_cast<std::size_t>(static_cast<double>(len) * 0.6180339887);
    while (std::gcd(stride, len) != 1) ++stride;
    return stride;
}

// From items sorted by cell, ties by row: the points in that order, but within a cell
// in the order of cell_stride; their rows; the cells and their first positions; and the
// largest overhang of a point over its cell (see box_slack).
template <class Item, class Ops>
float place_points(WorkerPool& pool, VoxelGrid& grid, const PointsView& rows, const Item* sorted, const Ops& ops) {
    const std::size_t n = rows.rows, blocks = (n + BLOCK - 1) / BLOCK;
    grid.points.resize(n);
    grid.original_indices.resize(n);
    std::vector<std::size_t> first_cell(blocks + 1, 0);
    std::vector<float> overhang(blocks, 0.0f);
    // The loops work on local copies: their stores could alias captured variables.
    auto opens_cell = [sorted, ops](std::size_t w) { return w == 0 || !ops.same(sorted[w - 1], sorted[w]); };
    // A block places the cells that begin in it, whole.
    pool.for_each_block(n, BLOCK, [&, sorted, ops](std::size_t b, std::size_t begin, std::size_t end) {
        constexpr std::size_t ahead = 16;  // rows are read out of order: fetch ahead
        const PointsView from = rows;
        Point* points = grid.points.data();
        std::uint32_t* row_of = grid.original_indices.data();
        std::size_t cells = 0, w = begin;
        float most = 0.0f;
        while (w < end && !opens_cell(w)) ++w;
        while (w < end) {
            std::size_t next = w + 1;
            while (next < n && ops.same(sorted[next - 1], sorted[next])) ++next;
            const std::size_t len = next - w, stride = cell_stride(len);
            // The box of the cell's points; NaN is passed over.
            Point lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
            for (std::size_t j = 0, at = 0; j < len; ++j, at = at + stride < len ? at + stride : at + stride - len) {
                if (w + j + ahead < n) from.prefetch(ops.row(sorted[w + j + ahead]));
                const std::uint32_t row = ops.row(sorted[w + j]);
                const Point p = from.point(row);
                points[w + at] = p;
                row_of[w + at] = row;
                lo = {p.x < lo.x ? p.x : lo.x, p.y < lo.y ? p.y : lo.y, p.z < lo.z ? p.z : lo.z};
                hi = {p.x > hi.x ? p.x : hi.x, p.y > hi.y ? p.y : hi.y, p.z > hi.z ? p.z : hi.z};
            }
            most = std::max(most, grid.overhang(lo, hi, ops.cell(sorted[w])));
            ++cells;
            w = next;
        }
        first_cell[b + 1] = cells;
        overhang[b] = most;
    });
    for (std::size_t b = 0; b < blocks; ++b) first_cell[b + 1] += first_cell[b];
    grid.cell_coords.resize(first_cell[blocks]);
    grid.cell_starts.resize(first_cell[blocks] + 1);
    pool.for_each_block(n, BLOCK, [&, sorted, ops](std::size_t b, std::size_t begin, std::size_t end) {
        CellCoord* coords = grid.cell_coords.data() + first_cell[b];
        std::uint32_t* starts = grid.cell_starts.data() + first_cell[b];
        if (opens_cell(begin)) {
            *coords++ = ops.cell(sorted[begin]);
            *starts++ = static_cast<std::uint32_t>(begin);
        }
        for (std::size_t w = begin + 1; w < end; ++w) {
            if (ops.same(sorted[w - 1], sorted[w])) continue;
            *coords++ = ops.cell(sorted[w]);
            *starts++ = static_cast<std::uint32_t>(w);
        }
    });
    grid.cell_starts.back() = static_cast<std::uint32_t>(n);
    return n == 0 ? 0.0f : *std::max_element(overhang.begin(), overhang.end());
}

// Sorts the rows by cell key with a radix sort, which makes the items as it first counts
// them, and places them; every item is written before it is read, so the buffers start
// uninitialised.
template <class Item, class MakeItem, class Key, class Ops>
float radix_place(WorkerPool& pool, VoxelGrid& grid, const PointsView& rows, MakeItem make, unsigned low_bit,
                  unsigned high_bit, Key key, const Ops& ops) {
    const auto items = std::make_unique_for_overwrite<Item[]>(rows.rows);
    const auto scratch = std::make_unique_for_overwrite<Item[]>(rows.rows);
    const auto item = [&](std::size_t i) { return make(static_cast<std::uint32_t>(i), grid.cell_of(rows.point(i))); };
    const Item* sorted = radix_sort(pool, items.get(), scratch.get(), rows.rows, low_bit, high_bit, key, item);
    return place_points(pool, grid, rows, sorted, ops);
}

}  // namespace

VoxelGrid VoxelGrid::build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                           std::uint32_t cells_per_radius) {
    check(search_points.cols >= 3, "search points need three columns");
    check(search_points.rows <= UINT32_MAX, "too many search points");
    const std::uint32_t m = std::max(cells_per_radius, 1u);
    VoxelGrid grid;
    grid.cell_size = max_dist / static_cast<float>(m);
    grid.inv_cell_size = 1.0f / grid.cell_size;
    grid.neighbour_offsets = make_neighbour_offsets(m);

    // cell_of is monotone, and takes NaN to 0: the box of the cells follows from the
    // range of the coordinates.
    const RowSummary summary = summarise_rows(pool, search_points);
    std::int32_t low[3] = {}, high[3] = {};
    for (int a = 0; a < 3; ++a) {
        if (summary.lo[a] <= summary.hi[a]) {
            low[a] = cell_coordinate(summary.lo[a], grid.inv_cell_size);
            high[a] = cell_coordinate(summary.hi[a], grid.inv_cell_size);
        }
        if (summary.nan[a]) {
            low[a] = std::min(low[a], 0);
            high[a] = std::max(high[a], 0);
        }
    }
    grid.cells_low = {low[0], low[1], low[2]};
    grid.cells_high = {high[0], high[1], high[2]};

    const std::size_t n = search_points.rows;
    const CellKey key(grid.cells_low, grid.cells_high);
    const auto row_bits = static_cast<unsigned>(std::bit_width(n > 1 ? n - 1 : 0));
    float overhang = 0.0f;
    if (key.bits + row_bits <= 64) {
        auto make = [&](std::uint32_t i, const CellCoord& c) { return key.pack(c) << row_bits | i; };
        overhang = radix_place<std::uint64_t>(pool, grid, search_points, make, row_bits, row_bits + key.bits,
                                              [](std::uint64_t k) { return k; }, PackedOps{key, row_bits});
    } else if (key.bits <= 64) {
        auto make = [&](std::uint32_t i, const CellCoord& c) { return KeyRow{key.pack(c), i}; };
        overhang = radix_place<KeyRow>(pool, grid, search_points, make, 0, key.bits,
                                       [](const KeyRow& k) { return k.key; }, KeyRowOps{key});
    } else {
        std::vector<CellRow> items(n);
        pool.for_each_block(n, BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                items[i] = {grid.cell_of(search_points.point(i)), static_cast<std::uint32_t>(i)};
        });
        parallel_sort(pool, items, [](const CellRow& a, const CellRow& b) {
            return cell_less(a.cell, b.cell) || (a.cell == b.cell && a.row < b.row);
        });
        overhang = place_points(pool, grid, search_points, items.data(), CellRowOps{});
    }

    grid.derive_walk_tables();
    grid.finite_points = n == 0 || summary.finite();
    grid.extent = 0.0f;
    if (grid.finite_points) {
        for (int a = 0; a < 3 && n != 0; ++a)
            grid.extent = std::max({grid.extent, std::fabs(summary.lo[a]), std::fabs(summary.hi[a])});
    } else {
        grid.extent = grid.finite_extent();
    }
    grid.has_crowded_cells = grid.holds_crowded_cell();
    grid.box_slack = VoxelGrid::slack_over(overhang);
    grid.derive_reach(max_dist);
    return grid;
}

}  // namespace kesra
