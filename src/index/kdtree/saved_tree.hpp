#pragma once
// A kd-tree as its saved state holds it, and the node records the hybrid grid saves the
// same way: the fields in their fixed order, and the checks a restored tree must pass.
#include <cstdint>
#include <vector>

#include "index/kdtree/kd_tree.hpp"

namespace kesra {

template <class Writer>
void save_nodes(Writer& w, const std::vector<Node>& nodes) {
    w.u64(nodes.size());
    for (const Node& n : nodes) {
        w.f32(n.split_value);
        w.u8(n.split_dim);
        w.u32(n.first);
        w.u32(n.second);
    }
}

template <class Reader>
void load_nodes(Reader& r, std::vector<Node>& nodes) {
    r.elements(nodes, 13, [](Reader& in) {
        Node n{};
        n.split_value = in.f32();
        n.split_dim = in.u8();
        n.first = in.u32();
        n.second = in.u32();
        return n;
    });
}

// Each (sub)tree must reach every node at most once and its leaves must cover its range of
// positions exactly, in order, as a built tree's do: then a query pays for each node and
// point of a tree at most once, whatever the restored nodes hold. Refused trees raise
// InvalidArgument; `reached` marks the nodes of every tree checked so far.
void check_tree(const std::vector<Node>& nodes, std::uint32_t root, std::uint32_t begin, std::uint32_t end,
                std::vector<bool>& reached);

template <class Writer>
void save(Writer& w, const KdTree& t) {
    w.words(t.points, 3);
    w.words(t.original_indices, 1);
    save_nodes(w, t.nodes);
}

template <class Reader>
void load(Reader& r, KdTree& t) {
    r.words(t.points, 3);
    r.words(t.original_indices, 1);
    load_nodes(r, t.nodes);
    if (!t.nodes.empty() || !t.points.empty()) {
        std::vector<bool> reached(t.nodes.size());
        check(t.points.size() <= UINT32_MAX, "too many points for a tree");
        check_tree(t.nodes, 0, 0, static_cast<std::uint32_t>(t.points.size()), reached);
    }
    t.derive();
}

}  // namespace kesra
