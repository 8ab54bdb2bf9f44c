#include "state/engine_state.hpp"

#include <string>
#include <variant>

#include "state/byte_reader.hpp"
#include "state/byte_writer.hpp"

namespace kesra {

namespace {

static_assert(sizeof(Point) == 12 && sizeof(CellCoord) == 12, "points and cells are three packed 4-byte words");

// One walk over the fields for both sinks; each structure saves its own fields.
template <class W>
void put_engine(W& w, const Engine& e) {
    w.u32(static_cast<std::uint32_t>(e.backend.index()));
    std::visit([&](const auto& structure) { save(w, structure); }, e.backend);
    w.f32(e.max_dist);
    w.u64(e.method.size());
    w.bytes(e.method.data(), e.method.size());
    w.u32(e.cells_per_radius);
    w.u64(e.subtree_threshold);
    w.u64(e.graph_degree);
}

// The structure of the method at `index`, loaded in the same field order.
template <std::size_t I = 0>
SearchBackend load_backend(ByteReader& r, std::uint32_t index) {
    if constexpr (I < NUM_METHODS) {
        if (index != I) return load_backend<I + 1>(r, index);
        MethodStructure<I> structure;
        load(r, structure);
        return structure;
    } else {
        throw StateError("invalid value: integer `" + std::to_string(index) + "`, expected variant index 0 <= i < " +
                         std::to_string(NUM_METHODS));
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
    e.backend = load_backend(r, r.u32());
    e.max_dist = r.f32();
    std::visit([&](auto& structure) { structure.derive_reach(e.max_dist); }, e.backend);
    e.method = r.text();
    e.cells_per_radius = r.u32();
    e.subtree_threshold = r.usize();
    e.graph_degree = r.usize();
    return e;
}

}  // namespace kesra
