#pragma once
// Progress bar of one query call, drawn on standard error only when it is a terminal.
// Workers advance it from any thread; drawing is throttled to 20 redraws a second and
// serialised inside the bar.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace kesra {

class QueryProgressBar {
public:
    explicit QueryProgressBar(std::uint64_t total);
    ~QueryProgressBar();
    QueryProgressBar(const QueryProgressBar&) = delete;
    QueryProgressBar& operator=(const QueryProgressBar&) = delete;

    void advance(std::uint64_t rows);
    // Sets the position to the total and erases the bar's line.
    void finish_and_clear();

    // "{wide_bar} {pos}/{len}" for a terminal of `width` columns.
    static std::string render(std::uint64_t pos, std::uint64_t total, std::size_t width);

private:
    void draw(std::uint64_t pos, bool force);

    const std::uint64_t total_;
    const bool visible_;
    std::atomic<std::uint64_t> position_{0};
    std::mutex draw_mutex_;
    std::chrono::steady_clock::time_point last_draw_{};
    bool drawn_ = false;
    bool finished_ = false;
};

}  // namespace kesra
