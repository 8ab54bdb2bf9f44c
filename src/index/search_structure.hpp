#pragma once
// The search interface every method's structure offers, stated once. The query drivers
// reach a structure only through it; search_backend.hpp checks each structure against it.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/points_view.hpp"
#include "index/results/any_order_list.hpp"
#include "index/results/count_accumulator.hpp"
#include "index/results/neighbour_list.hpp"
#include "index/results/within_list.hpp"

namespace kesra {

template <class S>
concept SearchStructure = requires(const S& s, const Point& q, typename S::Scratch* scratch, NeighbourList& nearest,
                                   AnyOrderList& any_order, WithinList& within, CountAccumulator& acc) {
    typename S::Scratch;  // a task's reusable work space for the searches (may be empty)
    // Offers candidates to a list, pruning by its threshold() and ending once it is_done():
    // the k nearest into a NeighbourList, or any CandidateList of the caller's.
    s.knn_search(q, nearest, scratch);
    // The same in an order of the structure's choosing; false when it has none.
    { s.knn_search_any_order(q, any_order, scratch) } -> std::same_as<bool>;
    // Every point count_search counts, in any order.
    s.within_search(q, within, scratch);
    // Passes every point not at or beyond the radius to the accumulator.
    s.count_search(q, acc, scratch);
    { s.size() } -> std::same_as<std::size_t>;
    // Position -> row number of the caller's points, and the points by position.
    { s.row_numbers() } -> std::same_as<const std::vector<std::uint32_t>&>;
    { s.stored_points() } -> std::same_as<const std::vector<Point>&>;
};

}  // namespace kesra
