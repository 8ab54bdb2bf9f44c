#pragma once
// What a structure's k-nearest search hands its candidates to. Every structure writes
// that search once against this contract: it offers (squared distance, position) pairs
// to a candidate list, which keeps the best and sets the bound below which the search
// must still look. (Count searches feed the one CountAccumulator.)
#include <concepts>
#include <cstdint>

namespace kesra {

// NeighbourList, AnyOrderList and WithinList.
template <class L>
concept CandidateList = requires(L& list, const L& held, float d2, std::uint32_t position) {
    { held.threshold() } -> std::same_as<float>;  // offers at or above it are rejected
    list.offer(d2, position);
    { held.is_done() } -> std::same_as<bool>;  // the early stop: the search may end now
};

// A candidate list that also hears what a search passes over unread (the squared
// distance bound of a skipped region, or of candidates it rejected as a block), so that
// it can tell whether the visiting order mattered: AnyOrderList.
template <class L>
concept NotesPassedOver = CandidateList<L> && requires(L& list, float d2) { list.pass_over(d2); };

}  // namespace kesra
