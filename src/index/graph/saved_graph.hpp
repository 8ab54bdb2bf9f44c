#pragma once
// A neighbour graph as its saved state holds it: its hybrid grid, the degree and the
// adjacency rows. Rows may name any position: the walk checks each edge it follows.
#include "index/graph/knn_graph.hpp"
#include "index/hybrid/saved_hybrid.hpp"

namespace kesra {

template <class Writer>
void save(Writer& w, const KnnGraph& g) {
    save(w, g.entry_index);
    w.u64(g.degree);
    w.words(g.adjacency, 1);
}

template <class Reader>
void load(Reader& r, KnnGraph& g) {
    load(r, g.entry_index);
    g.degree = r.usize();
    r.words(g.adjacency, 1);
}

}  // namespace kesra
