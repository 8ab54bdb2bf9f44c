#pragma once
// The grid's runtime lookup: a hash map from a column of cells (x, y) to the range of
// cell numbers in that column. Cells are numbered in (x, y, z) order, so a column's cells
// are consecutive and sorted by z: one probe serves every cell of a column that a query
// visits in a row, and a miss rules out the whole column.
//
// Derived from `cell_coords`; only the (cell, number) pairs of the cells are persisted.
#include <cstdint>
#include <vector>

#include "index/voxel/cell_coord.hpp"

namespace kesra {

// Cell numbers [start, end) of one column; empty when the column has no cell.
struct ColumnRange {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
};

class ColumnLookup {
public:
    ColumnLookup() = default;
    // `cells` must be sorted by (x, y, z); cells[c] gets number c.
    explicit ColumnLookup(const std::vector<CellCoord>& cells);

    bool empty() const { return num_columns_ == 0; }

    [[gnu::always_inline]] ColumnRange find(std::int32_t x, std::int32_t y) const {
        if (!dense_.empty()) {
            const std::size_t at = dense_index(x, y);
            return at < dense_.size() ? dense_[at] : ColumnRange{};
        }
        if (num_columns_ == 0) return {};
        // Whether the column exists depends on the data and cannot be predicted: the first
        // slot's answer, found or empty, is selected without a branch. A column holds at
        // least one cell, so an empty slot has range.end == 0.
        for (std::uint64_t i = hash(x, y);; ++i) {
            const Slot& s = slots_[i & mask_];
            const bool found = (s.x == x) & (s.y == y) & (s.range.end != 0);
            if (found | (s.range.end == 0)) {
                const std::uint32_t keep = 0u - static_cast<std::uint32_t>(found);
                return {s.range.start & keep, s.range.end & keep};
            }
        }
    }

    void prefetch(std::int32_t x, std::int32_t y) const {
        if (!dense_.empty()) {
            const std::size_t at = dense_index(x, y);
            if (at < dense_.size()) __builtin_prefetch(&dense_[at]);
        } else if (num_columns_ != 0) {
            __builtin_prefetch(&slots_[hash(x, y) & mask_]);
        }
    }

    std::size_t memory_bytes() const { return slots_.size() * sizeof(Slot) + dense_.size() * sizeof(ColumnRange); }

private:
    struct Slot {
        std::int32_t x, y;
        ColumnRange range;
    };

    std::uint64_t hash(std::int32_t x, std::int32_t y) const {
        std::uint64_t h = seed_;
        h ^= static_cast<std::uint32_t>(x) * 0x9E3779B97F4A7C15ull;
        h ^= static_cast<std::uint32_t>(y) * 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
        return h;
    }

    // Place of (x, y) in the dense table, or its size when outside the covered box.
    std::size_t dense_index(std::int32_t x, std::int32_t y) const {
        const auto dx = static_cast<std::uint64_t>(static_cast<std::int64_t>(x) - x0_);
        const auto dy = static_cast<std::uint64_t>(static_cast<std::int64_t>(y) - y0_);
        return dx < width_ && dy < height_ ? static_cast<std::size_t>(dx * height_ + dy) : dense_.size();
    }

    // Columns whose (x, y) box is small enough for a plain table (as for terrain and most
    // scans, whose columns fill their box) are looked up there: no hash, no probing, and a
    // query's three columns of one x share a cache line. Otherwise, a hash table.
    std::vector<ColumnRange> dense_;
    std::int64_t x0_ = 0, y0_ = 0;
    std::uint64_t width_ = 0, height_ = 0;
    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0;
    std::uint64_t seed_ = 0;
    std::size_t num_columns_ = 0;
};

}  // namespace kesra
