#include "query/progress_bar.hpp"

#include <gtest/gtest.h>

#include <string>

using kesra::QueryProgressBar;

// The rendered line fills exactly `width` columns (the caller already left one free);
// when the counter alone is wider, it is still complete.
TEST(QueryProgressBar, BarFillsTheWidthLeftByTheCounter) {
    auto bar = [](std::size_t done, std::size_t rest, const std::string& counter) {
        std::string out;
        for (std::size_t i = 0; i < done + rest; ++i) out += i < done ? "\u2588" : "\u2591";
        return out + counter;
    };
    EXPECT_EQ(QueryProgressBar::render(0, 10, 20), bar(0, 15, " 0/10"));
    EXPECT_EQ(QueryProgressBar::render(10, 10, 20), bar(14, 0, " 10/10"));
    EXPECT_EQ(QueryProgressBar::render(1, 3, 17), bar(4, 9, " 1/3"));  // rounds down
    EXPECT_EQ(QueryProgressBar::render(12, 10, 12), bar(6, 0, " 12/10"));
    EXPECT_EQ(QueryProgressBar::render(0, 0, 12), bar(8, 0, " 0/0"));
    EXPECT_EQ(QueryProgressBar::render(300, 1000, 4), bar(0, 1, " 300/1000"));
}
