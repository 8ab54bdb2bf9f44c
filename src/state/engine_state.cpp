#include "state/engine_state.hpp"

#include <algorithm>
#include <string>
#include <variant>

#include "state/byte_reader.hpp"
#include "state/byte_writer.hpp"

namespace kesra {

namespace {

static_assert(sizeof(Point) == 12 && sizeof(CellCoord) == 12, "points and cells are three packed 4-byte words");

// ---- encoding: one walk over the fields for both sinks ----

template <class W>
void put_words(W& w, const void* data, std::size_t count, std::size_t per_element) {
    w.u64(count);
    w.words(data, count * per_element);
}

template <class W>
void put_nodes(W& w, const std::vector<Node>& nodes) {
    w.u64(nodes.size());
    for (const Node& n : nodes) {
        w.f32(n.split_value);
        w.u8(n.split_dim);
        w.u32(n.first);
        w.u32(n.second);
    }
}

template <class W>
void put(W& w, const VoxelGrid& g) {
    w.f32(g.cell_size);
    w.f32(g.inv_cell_size);
    put_words(w, g.points.data(), g.points.size(), 3);
    put_words(w, g.original_indices.data(), g.original_indices.size(), 1);
    put_words(w, g.cell_coords.data(), g.cell_coords.size(), 3);
    put_words(w, g.cell_starts.data(), g.cell_starts.size(), 1);
    // cell_lookup: the map from every cell to its number, in cell order.
    w.u64(g.cell_coords.size());
    for (std::size_t c = 0; c < g.cell_coords.size(); ++c) {
        w.words(&g.cell_coords[c], 3);
        w.u32(static_cast<std::uint32_t>(c));
    }
    put_words(w, g.neighbour_offsets.data(), g.neighbour_offsets.size(), 3);
}

template <class W>
void put(W& w, const KdTree& t) {
    put_words(w, t.points.data(), t.points.size(), 3);
    put_words(w, t.original_indices.data(), t.original_indices.size(), 1);
    put_nodes(w, t.nodes);
}

template <class W>
void put(W& w, const HybridGrid& h) {
    put(w, h.grid);
    put_words(w, h.subtree_roots.data(), h.subtree_roots.size(), 1);
    put_nodes(w, h.nodes);
}

template <class W>
void put(W& w, const KnnGraph& g) {
    put(w, g.entry_index);
    w.u64(g.degree);
    put_words(w, g.adjacency.data(), g.adjacency.size(), 1);
}

template <class W>
void put_engine(W& w, const Engine& e) {
    w.u32(static_cast<std::uint32_t>(e.backend.index()));
    std::visit([&](const auto& structure) { put(w, structure); }, e.backend);
    w.f32(e.max_dist);
    w.u64(e.method.size());
    w.bytes(e.method.data(), e.method.size());
    w.u32(e.cells_per_radius);
    w.u64(e.subtree_threshold);
    w.u64(e.graph_degree);
}

// ---- decoding, in the same field order ----

Node read_node(ByteReader& r) {
    Node n{};
    n.split_value = r.f32();
    n.split_dim = r.u8();
    n.first = r.u32();
    n.second = r.u32();
    return n;
}

// One (cell, number) pair of a saved cell_lookup.
struct LookupEntry {
    CellCoord cell;
    std::uint32_t number;
};

// A grid looks its cells up by column, which needs the cells in (x, y, z) order and a
// cell_lookup that maps each cell to its number, as every built grid has them. Other
// grids are refused here rather than answering differently from the map they carry.
// A later entry for a cell replaces an earlier one.
void check_cell_lookup(const std::vector<CellCoord>& cells, const std::vector<LookupEntry>& entries) {
    for (std::size_t c = 1; c < cells.size(); ++c)
        if (!cell_less(cells[c - 1], cells[c]))
            throw InvalidArgument("invalid grid: cell_coords are not in ascending (x, y, z) order");
    const auto mismatch = [] { throw InvalidArgument("invalid grid: cell_lookup does not map each cell to its number"); };
    // Per cell, the number its last entry gives. A right entry names its own cell; any
    // other is placed by a binary search over the sorted cells.
    std::vector<std::uint32_t> mapped(cells.size(), NO_CELL);
    for (const LookupEntry& e : entries) {
        std::size_t c = e.number;
        if (c >= cells.size() || !(cells[c] == e.cell)) {
            const auto it = std::lower_bound(cells.begin(), cells.end(), e.cell, cell_less);
            if (it == cells.end() || !(*it == e.cell)) mismatch();
            c = static_cast<std::size_t>(it - cells.begin());
        }
        mapped[c] = e.number;
    }
    for (std::size_t c = 0; c < cells.size(); ++c)
        if (mapped[c] != c) mismatch();
}

// The offsets of a built grid are the (2m+1)^3 table for its m. Any other table could
// repeat a cell, and every repetition would search that cell again.
void check_offsets(const std::vector<CellCoord>& offsets) {
    std::uint32_t m = 1;
    while ((2 * static_cast<std::uint64_t>(m) + 1) * (2 * m + 1) * (2 * m + 1) < offsets.size()) ++m;
    if (offsets != VoxelGrid::make_neighbour_offsets(m))
        throw InvalidArgument("invalid grid: neighbour_offsets is not the offset table of any cells_per_radius");
}

// Each (sub)tree must reach every node at most once and its leaves must cover its range of
// positions exactly, in order, as a built tree's do: then a query pays for each node and
// point of a tree at most once, whatever the restored nodes hold.
void check_tree(const std::vector<Node>& nodes, std::uint32_t root, std::uint32_t begin, std::uint32_t end,
                std::vector<bool>& reached) {
    const auto invalid = [] { throw InvalidArgument("invalid tree: nodes do not form a tree over its points"); };
    std::uint32_t next = begin;
    std::vector<std::uint32_t> stack{root};
    while (!stack.empty()) {
        const std::uint32_t at = stack.back();
        stack.pop_back();
        if (at >= nodes.size() || reached[at]) invalid();
        reached[at] = true;
        const Node& n = nodes[at];
        if (n.split_dim == KD_LEAF_DIM) {
            if (n.first != next || n.second < n.first || n.second > end) invalid();
            next = n.second;
        } else if (n.split_dim < KD_LEAF_DIM) {
            stack.push_back(n.second);  // the lower child's leaves come first
            stack.push_back(n.first);
        } else {
            invalid();
        }
    }
    if (next != end) invalid();
}

VoxelGrid read_voxel_grid(ByteReader& r) {
    VoxelGrid g;
    g.cell_size = r.f32();
    g.inv_cell_size = r.f32();
    r.words(g.points, 3);
    r.words(g.original_indices, 1);
    r.words(g.cell_coords, 3);
    r.words(g.cell_starts, 1);
    std::vector<LookupEntry> entries;
    r.elements(entries, 16, [](ByteReader& in) {
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
    return g;
}

KdTree read_kd_tree(ByteReader& r) {
    KdTree t;
    r.words(t.points, 3);
    r.words(t.original_indices, 1);
    r.elements(t.nodes, 13, read_node);
    if (!t.nodes.empty() || !t.points.empty()) {
        std::vector<bool> reached(t.nodes.size());
        check(t.points.size() <= UINT32_MAX, "too many points for a tree");
        check_tree(t.nodes, 0, 0, static_cast<std::uint32_t>(t.points.size()), reached);
    }
    t.finite_points = all_finite(t.points.data(), t.points.size());
    return t;
}

HybridGrid read_hybrid_grid(ByteReader& r) {
    HybridGrid h;
    h.grid = read_voxel_grid(r);
    r.words(h.subtree_roots, 1);
    r.elements(h.nodes, 13, read_node);
    std::vector<bool> reached(h.nodes.size());
    for (std::size_t c = 0; c < h.subtree_roots.size(); ++c) {
        if (h.subtree_roots[c] == NO_SUBTREE) continue;
        if (c + 1 >= h.grid.cell_starts.size()) throw InvalidArgument("invalid grid: a subtree for a cell it does not have");
        check_tree(h.nodes, h.subtree_roots[c], h.grid.cell_starts[c], h.grid.cell_starts[c + 1], reached);
    }
    h.derive();
    return h;
}

KnnGraph read_knn_graph(ByteReader& r) {
    KnnGraph g;
    g.entry_index = read_hybrid_grid(r);
    g.degree = r.usize();
    r.words(g.adjacency, 1);
    return g;
}

SearchBackend read_backend(ByteReader& r) {
    const std::uint32_t index = r.u32();
    switch (index) {
        case 0: return read_voxel_grid(r);
        case 1: return read_kd_tree(r);
        case 2: return read_hybrid_grid(r);
        case 3: return read_knn_graph(r);
        default:
            throw StateError("invalid value: integer `" + std::to_string(index) +
                             "`, expected variant index 0 <= i < 4");
    }
}

}  // namespace

std::size_t encoded_size(const Engine& engine) {
    SizeCounter counter;
    put_engine(counter, engine);
    return counter.size();
}

void encode_engine(const Engine& engine, std::uint8_t* out, std::size_t size) {
    BufferWriter writer(out, size);
    put_engine(writer, engine);
    check(writer.full(), "state encoder wrote less than its computed size");
}

std::vector<std::uint8_t> encode_engine(const Engine& engine) {
    std::vector<std::uint8_t> out(encoded_size(engine));
    encode_engine(engine, out.data(), out.size());
    return out;
}

Engine decode_engine(const std::uint8_t* data, std::size_t size) {
    ByteReader r(data, size);
    Engine e;
    e.backend = read_backend(r);
    e.max_dist = r.f32();
    std::visit([&](auto& structure) { structure.derive_reach(e.max_dist); }, e.backend);
    e.method = r.text();
    e.cells_per_radius = r.u32();
    e.subtree_threshold = r.usize();
    e.graph_degree = r.usize();
    return e;
}

}  // namespace kesra
