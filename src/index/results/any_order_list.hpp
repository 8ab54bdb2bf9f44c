#pragma once
// A NeighbourList filled in an order of the search's own choosing (the query's own cell
// first) instead of the walk's fixed one. Without early stopping, the order can show only
// through equal distances: which of two equally near points is kept at the last place,
// and how equal distances are ordered in the row, which is free. So the list notes the
// smallest squared distance it passed over: candidates it rejected or evicted, and the
// bounds of regions skipped unread. If that is above the largest kept distance (or the
// list never filled), every order keeps the same entries as the fixed walk.
//
// Only for finite queries and points: no NaN distance may be offered.
#include <cstdint>

#include "index/results/neighbour_list.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesra {

class AnyOrderList {
public:
    explicit AnyOrderList(NeighbourList& list) : list_(list) {}

    float threshold() const { return list_.threshold(); }
    bool is_done() const { return false; }  // used only without early stopping

    void offer(float d2, std::uint32_t position) {
        if (d2 >= list_.threshold()) {
            pass_over(d2);
            return;
        }
        if (list_.is_full()) pass_over(list_.top());  // about to be evicted
        list_.offer(d2, position);
    }

    // A candidate or region at squared distance `d2` or more was left out.
    void pass_over(float d2) { passed_ = d2 < passed_ ? d2 : passed_; }

#if defined(__SSE2__)
    // The lanes of `d2` not set in `offered`, which a scan rejected without offering them.
    // Offered lanes read as NaN, which minps passes over for its second operand.
    void pass_over_lanes(__m128 d2, __m128 offered) { passed4_ = _mm_min_ps(_mm_or_ps(offered, d2), passed4_); }
#endif

    // Whether every visiting order keeps the same entries: nothing was passed over at or
    // below the largest kept distance of a full list.
    bool same_entries() {
#if defined(__SSE2__)
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, passed4_);
        for (const float v : lanes) pass_over(v);
#endif
        return !(list_.is_full() && list_.size() > 0 && !(passed_ > list_.top()));
    }

    // The largest kept distance when the list is full: a region skipped at exactly this
    // bound could hold a tie. Infinity otherwise, which no bound equals.
    float tie_bound() const {
        return list_.is_full() && list_.size() > 0 ? list_.top() : __builtin_inff();
    }

private:
    NeighbourList& list_;
    float passed_ = __builtin_inff();
#if defined(__SSE2__)
    __m128 passed4_ = _mm_set1_ps(__builtin_inff());
#endif
};

}  // namespace kesra
