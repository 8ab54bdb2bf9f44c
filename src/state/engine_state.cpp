#include "engine_state.hpp"

#include <string>
#include <type_traits>

#include "byte_reader.hpp"
#include "byte_writer.hpp"

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
    w.u64(g.cell_lookup.size());
    if constexpr (std::is_same_v<W, SizeCounter>) {
        w.bytes(nullptr, 16 * g.cell_lookup.size());
    } else {
        g.cell_lookup.for_each([&](const CellCoord& c, std::uint32_t number) {
            w.i32(c.x);
            w.i32(c.y);
            w.i32(c.z);
            w.u32(number);
        });
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

VoxelGrid read_voxel_grid(ByteReader& r) {
    VoxelGrid g;
    g.cell_size = r.f32();
    g.inv_cell_size = r.f32();
    r.words(g.points, 3);
    r.words(g.original_indices, 1);
    r.words(g.cell_coords, 3);
    r.words(g.cell_starts, 1);
    std::vector<CellLookup::Entry> entries;
    r.elements(entries, 16, [](ByteReader& in) {
        CellLookup::Entry e{};
        e.cell.x = in.i32();
        e.cell.y = in.i32();
        e.cell.z = in.i32();
        e.number = in.u32();
        return e;
    });
    r.words(g.neighbour_offsets, 3);
    g.cell_lookup = CellLookup::from_entries(entries);
    return g;
}

KdTree read_kd_tree(ByteReader& r) {
    KdTree t;
    r.words(t.points, 3);
    r.words(t.original_indices, 1);
    r.elements(t.nodes, 13, read_node);
    t.finite_points = all_finite(t.points.data(), t.points.size());
    return t;
}

HybridGrid read_hybrid_grid(ByteReader& r) {
    HybridGrid h;
    h.grid = read_voxel_grid(r);
    r.words(h.subtree_roots, 1);
    r.elements(h.nodes, 13, read_node);
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
    e.method = r.text();
    e.cells_per_radius = r.u32();
    e.subtree_threshold = r.usize();
    e.graph_degree = r.usize();
    return e;
}

}  // namespace kesra
