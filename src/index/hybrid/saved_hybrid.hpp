#pragma once
// A hybrid grid as its saved state holds it: its voxel grid (crowded cells in subtree
// order), the subtree roots and the shared node array, and the checks that every subtree
// is a tree over its own cell.
#include <cstdint>
#include <vector>

#include "base/errors.hpp"
#include "index/hybrid/hybrid_grid.hpp"
#include "index/kdtree/saved_tree.hpp"
#include "index/voxel/saved_grid.hpp"

namespace kesra {

template <class Writer>
void save(Writer& w, const HybridGrid& h) {
    save(w, h.grid);
    w.words(h.subtree_roots, 1);
    save_nodes(w, h.nodes);
}

template <class Reader>
void load(Reader& r, HybridGrid& h) {
    load(r, h.grid);
    r.words(h.subtree_roots, 1);
    load_nodes(r, h.nodes);
    std::vector<bool> reached(h.nodes.size());
    for (std::size_t c = 0; c < h.subtree_roots.size(); ++c) {
        if (h.subtree_roots[c] == NO_SUBTREE) continue;
        if (c + 1 >= h.grid.cell_starts.size()) throw InvalidArgument("invalid grid: a subtree for a cell it does not have");
        check_tree(h.nodes, h.subtree_roots[c], h.grid.cell_starts[c], h.grid.cell_starts[c + 1], reached);
    }
    h.derive();
}

}  // namespace kesra
