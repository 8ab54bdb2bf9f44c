#include "index/voxel/column_lookup.hpp"

#include <algorithm>
#include <cstdint>

namespace kesra {

ColumnLookup::ColumnLookup(const std::vector<CellCoord>& cells) {
    std::vector<Slot> columns;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        if (columns.empty() || columns.back().x != cells[c].x || columns.back().y != cells[c].y)
            columns.push_back({cells[c].x, cells[c].y, {static_cast<std::uint32_t>(c), 0}});
        columns.back().range.end = static_cast<std::uint32_t>(c + 1);
    }
    num_columns_ = columns.size();
    if (columns.empty()) return;
    // Cells are sorted by x first: the x range is known from the ends.
    std::int64_t y_lo = columns[0].y, y_hi = columns[0].y;
    for (const Slot& c : columns) {
        y_lo = std::min<std::int64_t>(y_lo, c.y);
        y_hi = std::max<std::int64_t>(y_hi, c.y);
    }
    const auto width = static_cast<std::uint64_t>(std::int64_t{columns.back().x} - columns.front().x + 1);
    const auto height = static_cast<std::uint64_t>(y_hi - y_lo + 1);
    // Never larger than the hash table would be (at least two 16-byte slots per column).
    const std::uint64_t dense_limit = 4 * static_cast<std::uint64_t>(columns.size()) + 64;
    if (width <= dense_limit && height <= dense_limit / width) {
        x0_ = columns.front().x;
        y0_ = y_lo;
        width_ = width;
        height_ = height;
        dense_.assign(width * height, ColumnRange{});
        for (const Slot& c : columns) dense_[dense_index(c.x, c.y)] = c.range;
        return;
    }
    std::size_t capacity = 8;
    // Load factor at most 1/2: most probes of a query miss, and a miss ends at the first
    // free slot.
    while (capacity < 2 * columns.size()) capacity *= 2;
    slots_.assign(capacity, Slot{0, 0, {}});
    mask_ = capacity - 1;
    // Any seed gives expected O(1) lookups. The table's address varies between tables and
    // runs and is free, where a random device took about 22 us per build.
    seed_ = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(slots_.data())) * 0x9E3779B97F4A7C15ull;
    constexpr std::size_t ahead = 16;  // inserts land in random slots: fetch ahead
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i + ahead < columns.size()) prefetch(columns[i + ahead].x, columns[i + ahead].y);
        std::uint64_t s = hash(columns[i].x, columns[i].y);
        while (slots_[s & mask_].range.end != 0) ++s;
        slots_[s & mask_] = columns[i];
    }
}

}  // namespace kesra
