#pragma once
// One query row's k nearest: searched from the query's own cell when the structure can
// and that keeps the entries the fixed walk keeps, otherwise by the fixed walk.
#include "index/results/any_order_list.hpp"
#include "index/results/neighbour_list.hpp"
#include "query/task_state.hpp"

namespace kesra {

// Searches q in an order of the structure's choosing when it has one, there is no early
// stopping and the tally allows. Returns true when that kept the entries every order
// keeps; false leaves the list empty for the fixed-order walk.
template <class S>
bool search_any_order(const S& structure, const Point& q, NeighbourList& list, AnyOrderTally& tally,
                      typename S::Scratch& scratch) {
    if (list.epsilon_sq() != 0.0f || !tally.worth_trying()) return false;
    AnyOrderList any(list);
    if (!structure.knn_search_any_order(q, any, &scratch)) return false;
    ++tally.tries;
    if (any.same_entries()) return true;
    ++tally.misses;
    list.reset();
    return false;
}

// Fills `list` with q's row: found in any order when that keeps the entries the fixed
// walk keeps (the row is written in an order of its own), otherwise by the fixed walk.
template <class S, class State>
void search_row(const S& structure, const Point& q, NeighbourList& list, State& state) {
    if (list.capacity() == 0) return;
    if (!search_any_order(structure, q, list, state.any_order, state.scratch))
        structure.knn_search(q, list, &state.scratch);
}

}  // namespace kesra
