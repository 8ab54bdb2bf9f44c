#include "index/kdtree/saved_tree.hpp"

#include "base/errors.hpp"

namespace kesra {

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

}  // namespace kesra
