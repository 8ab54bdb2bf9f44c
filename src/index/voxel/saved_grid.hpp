#pragma once
// A voxel grid as its saved state holds it: the fields in their fixed order, and the
// checks a restored grid must pass before it answers queries. The writer and reader are
// the state format's (any type with its u32/f32/u64/words/elements operations).
#include <cstdint>
#include <vector>

#include "index/voxel/voxel_grid.hpp"

namespace kesra {

template <class Writer>
void save(Writer& w, const VoxelGrid& g) {
    w.f32(g.cell_size);
    w.f32(g.inv_cell_size);
    w.words(g.points, 3);
    w.words(g.original_indices, 1);
    w.words(g.cell_coords, 3);
    w.words(g.cell_starts, 1);
    // cell_lookup: the map from every cell to its number, in cell order.
    w.u64(g.cell_coords.size());
    for (std::size_t c = 0; c < g.cell_coords.size(); ++c) {
        w.words(&g.cell_coords[c], 3);
        w.u32(static_cast<std::uint32_t>(c));
    }
    w.words(g.neighbour_offsets, 3);
}

// One (cell, number) pair of a saved cell_lookup.
struct LookupEntry {
    CellCoord cell;
    std::uint32_t number;
};

// A grid looks its cells up by column, which needs the cells in (x, y, z) order and a
// cell_lookup that maps each cell to its number, as every built grid has them. Other
// grids are refused (InvalidArgument) rather than answering differently from the map
// they carry. A later entry for a cell replaces an earlier one.
void check_cell_lookup(const std::vector<CellCoord>& cells, const std::vector<LookupEntry>& entries);

// The offsets of a built grid are the (2m+1)^3 table for its m. Any other table could
// repeat a cell, and every repetition would search that cell again: it is refused.
void check_offsets(const std::vector<CellCoord>& offsets);

// Restores the stored fields and derives the rest but for the radius (derive_reach).
template <class Reader>
void load(Reader& r, VoxelGrid& g) {
    g.cell_size = r.f32();
    g.inv_cell_size = r.f32();
    r.words(g.points, 3);
    r.words(g.original_indices, 1);
    r.words(g.cell_coords, 3);
    r.words(g.cell_starts, 1);
    std::vector<LookupEntry> entries;
    r.elements(entries, 16, [](Reader& in) {
        LookupEntry e{};
        e.cell.x = in.i32();
        e.cell.y = in.i32();
        e.cell.z = in.i32();
        e.number = in.u32();
        return e;
    });
    r.words(g.neighbour_offsets, 3);
    check_offsets(g.neighbour_offsets);
    check_cell_lookup(g.cell_coords, entries);
    g.derive();
}

}  // namespace kesra
