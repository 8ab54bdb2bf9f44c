#pragma once
// What one task of a query driver keeps from row to row: its candidate list or
// accumulator, the structure's scratch, and the last query point it answered.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "base/points_view.hpp"
#include "query/progress_bar.hpp"

namespace kesra {

inline std::unique_ptr<QueryProgressBar> make_bar(bool progress, std::size_t rows) {
    return progress ? std::make_unique<QueryProgressBar>(rows) : nullptr;
}

// How often a task's rows searched in any order had to be searched again in the fixed
// order. A task stops trying once that is common: clouds with many equal distances, such
// as duplicated points, would pay for two searches a row.
struct AnyOrderTally {
    std::size_t tries = 0;
    std::size_t misses = 0;
    bool worth_trying() const { return misses * 8 <= tries + 64; }
};

// The last query point a task answered, and its row. A row's answer depends only on its
// point, so a row whose point has the same bits (duplicated points, which sorted rows
// often bring together) takes a copy of that answer instead of searching again.
class LastQuery {
public:
    // The row answered for the same point just before, or NO_ROW.
    std::size_t same_as(const Point& q) const {
        return row_ != NO_ROW && std::memcmp(&q, &point_, sizeof(Point)) == 0 ? row_ : NO_ROW;
    }
    void remember(const Point& q, std::size_t row) {
        point_ = q;
        row_ = row;
    }
    static constexpr std::size_t NO_ROW = SIZE_MAX;

private:
    Point point_{};
    std::size_t row_ = NO_ROW;
};

template <class Work, class S>
struct TaskState {
    Work work;
    typename S::Scratch scratch{};
    AnyOrderTally any_order{};  // finds only
    LastQuery last{};
};

}  // namespace kesra
