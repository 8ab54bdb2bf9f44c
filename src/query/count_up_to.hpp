#pragma once
// A candidate list that only counts the points within the radius, and lets the search
// end once the count reaches a limit: whether a point has at least n neighbours needs
// no more than n of them. Points at a NaN distance count, as count_neighbours counts them.
#include <cstddef>
#include <cstdint>

#include "base/points_view.hpp"
#include "query/reduce_rows.hpp"

namespace kesra {

class CountUpTo {
public:
    CountUpTo(float max_dist, std::uint64_t limit) : max_dist_sq_(max_dist * max_dist), limit_(limit) {}

    void reset() { count_ = 0; }
    float threshold() const { return max_dist_sq_; }
    bool is_done() const { return count_ >= limit_; }
    void offer(float d2, std::uint32_t) { count_ += !(d2 >= max_dist_sq_); }
    // The count, which may pass the limit by the rest of the region the search was in.
    std::uint64_t count() const { return count_; }

private:
    float max_dist_sq_;
    std::uint64_t limit_;
    std::uint64_t count_ = 0;
};

// The reducer: out[places(r)] = 1 when row r has `limit` points within the radius, or,
// with `fewer`, when it has not.
struct LimitReached {
    using Work = CountUpTo;
    float max_dist;
    std::uint64_t limit;
    bool fewer;
    RowPlaces places;
    std::uint8_t* out;

    template <class S>
    Work work(const S&) const {
        return CountUpTo(max_dist, limit);
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        task.work.reset();
        if (limit != 0) structure.knn_search(q, task.work, &task.scratch);
        out[places(r)] = (task.work.count() >= limit) != fewer;
    }
    void repeat(std::size_t from, std::size_t to) { out[places(to)] = out[places(from)]; }
};

}  // namespace kesra
