#include "engine/engine.hpp"

#include <algorithm>

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

}  // namespace

Engine build_engine(WorkerPool& pool, const PointsView& search_points, EngineParams params) {
    const auto named = std::find(METHOD_NAMES.begin(), METHOD_NAMES.end(), params.method);
    if (named == METHOD_NAMES.end()) throw InvalidArgument(unknown_method_message(params.method));
    const BuildParams build{params.max_dist, params.cells_per_radius, params.subtree_threshold, params.graph_degree};
    Engine engine{build_backend(static_cast<std::size_t>(named - METHOD_NAMES.begin()), pool, search_points, build),
                  params.max_dist, std::move(params.method), params.cells_per_radius, params.subtree_threshold,
                  params.graph_degree};
    return engine;
}

}  // namespace kesra
