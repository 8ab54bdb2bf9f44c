#include "engine/engine.hpp"

#include "base/errors.hpp"
#include "engine/messages.hpp"

namespace kesra {

namespace {

std::string unknown_method_message(std::string_view method) {
    std::string expected = "[";
    for (std::size_t i = 0; i < METHOD_NAMES.size(); ++i) {
        if (i > 0) expected += ", ";
        expected += quote_string(METHOD_NAMES[i]);
    }
    expected += "]";
    return "unknown method " + quote_string(method) + "; expected one of " + expected;
}

SearchBackend build_backend(WorkerPool& pool, const PointsView& points, const EngineParams& p) {
    if (p.method == "voxel") return VoxelGrid::build(pool, points, p.max_dist, p.cells_per_radius);
    if (p.method == "kdtree") return KdTree::build(pool, points);
    if (p.method == "hybrid")
        return HybridGrid::build(pool, points, p.max_dist, p.cells_per_radius, p.subtree_threshold);
    if (p.method == "graph")
        return KnnGraph::build(pool, points, p.max_dist, p.cells_per_radius, p.subtree_threshold, p.graph_degree);
    throw InvalidArgument(unknown_method_message(p.method));
}

}  // namespace

Engine build_engine(WorkerPool& pool, const PointsView& search_points, EngineParams params) {
    Engine engine{build_backend(pool, search_points, params), params.max_dist, std::move(params.method),
                  params.cells_per_radius, params.subtree_threshold, params.graph_degree};
    return engine;
}

}  // namespace kesra
