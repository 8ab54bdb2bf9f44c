#pragma once
// The search methods, one structure each, listed once here in their fixed order: the
// order of the SearchBackend variant (the persisted variant index), of
// available_methods() and of the method names in messages.
//
// A method's structure S, in its own folder, has:
// - S::METHOD_NAME, and S::build(pool, points, BuildParams);
// - the search interface of search_structure.hpp (SearchStructure, checked below):
//   knn_search, knn_search_any_order, within_search and count_search, with S::Scratch
//   for a query task's work space;
// - grid_stats(), size(), row_numbers(), stored_points() (the points by position) and
//   derive_reach(max_dist);
// - save(writer, s) and load(reader, s): its fields in the saved state.
// Adding a method means adding its structure to the variant and the includes below.
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <variant>

#include "index/graph/knn_graph.hpp"
#include "index/graph/saved_graph.hpp"
#include "index/hybrid/hybrid_grid.hpp"
#include "index/hybrid/saved_hybrid.hpp"
#include "index/kdtree/kd_tree.hpp"
#include "index/kdtree/saved_tree.hpp"
#include "index/voxel/saved_grid.hpp"
#include "index/voxel/voxel_grid.hpp"
#include "index/search_structure.hpp"

namespace kesra {

using SearchBackend = std::variant<VoxelGrid, KdTree, HybridGrid, KnnGraph>;

static_assert(SearchStructure<VoxelGrid> && SearchStructure<KdTree> && SearchStructure<HybridGrid> &&
              SearchStructure<KnnGraph>);

inline constexpr std::size_t NUM_METHODS = std::variant_size_v<SearchBackend>;

template <std::size_t I>
using MethodStructure = std::variant_alternative_t<I, SearchBackend>;

inline constexpr std::array<std::string_view, NUM_METHODS> METHOD_NAMES = [] {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<std::string_view, NUM_METHODS>{MethodStructure<I>::METHOD_NAME...};
    }(std::make_index_sequence<NUM_METHODS>{});
}();

// The backend of the method at `index` built over the points; index < NUM_METHODS.
template <std::size_t I = 0>
SearchBackend build_backend(std::size_t index, WorkerPool& pool, const PointsView& points, const BuildParams& params) {
    if constexpr (I + 1 < NUM_METHODS) {
        if (index != I) return build_backend<I + 1>(index, pool, points, params);
    }
    return MethodStructure<I>::build(pool, points, params);
}

inline std::size_t backend_size(const SearchBackend& backend) {
    return std::visit([](const auto& s) { return s.size(); }, backend);
}

inline std::optional<GridStats> backend_grid_stats(const SearchBackend& backend) {
    return std::visit([](const auto& s) { return s.grid_stats(); }, backend);
}

}  // namespace kesra
