#pragma once
// The grid's runtime lookup: a hash map from a column of cells (x, y) to the range of
// cell numbers in that column. Cells are numbered in (x, y, z) order, so a column's cells
// are consecutive and sorted by z: one probe serves every cell of a column that a query
// visits in a row, and a miss rules out the whole column.
//
// Derived from `cell_coords`; only the (cell, number) pairs of the cells are persisted.
#include <cstdint>
#include <vector>

#include "cell_coord.hpp"

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

    ColumnRange find(std::int32_t x, std::int32_t y) const {
        if (num_columns_ == 0) return {};
        for (std::uint64_t i = hash(x, y);; ++i) {
            const Slot& s = slots_[i & mask_];
            if (s.range.end == 0) return {};  // a column holds at least one cell
            if (s.x == x && s.y == y) return s.range;
        }
    }

    void prefetch(std::int32_t x, std::int32_t y) const {
        if (num_columns_ != 0) __builtin_prefetch(&slots_[hash(x, y) & mask_]);
    }

    std::size_t memory_bytes() const { return slots_.size() * sizeof(Slot); }

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

    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0;
    std::uint64_t seed_ = 0;
    std::size_t num_columns_ = 0;
};

}  // namespace kesra
