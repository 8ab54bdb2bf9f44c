#include "index/mod/progress_bar.hpp"

#include <gtest/gtest.h>

#include <string>

using kesra::QueryProgressBar;

namespace {

std::string repeat(const char* glyph, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += glyph;
    return out;
}

std::string bar(std::size_t done, std::size_t rest, const std::string& counter) {
    return repeat("\u2588", done) + repeat("\u2591", rest) + counter;
}

}  // namespace

// The caller already passes one column less than the terminal has, so the rendered line
// should fill exactly `width` columns.
TEST(QueryProgressBar, BarFillsTheWidthLeftByTheCounter) {
    EXPECT_EQ(QueryProgressBar::render(0, 10, 20), bar(0, 15, " 0/10"));
    EXPECT_EQ(QueryProgressBar::render(5, 10, 20), bar(7, 8, " 5/10"));
    EXPECT_EQ(QueryProgressBar::render(10, 10, 20), bar(14, 0, " 10/10"));
    EXPECT_EQ(QueryProgressBar::render(1, 3, 17), bar(4, 9, " 1/3"));  // rounds down
}

TEST(QueryProgressBar, EdgeCasesKeepACounter) {
    const std::string empty = QueryProgressBar::render(0, 0, 12);
    EXPECT_EQ(empty.substr(empty.size() - 4), " 0/0");
    EXPECT_EQ(empty.find("\u2591"), std::string::npos) << "nothing left to do";
    const std::string over = QueryProgressBar::render(12, 10, 12);
    EXPECT_EQ(over.substr(over.size() - 6), " 12/10");
    EXPECT_EQ(over.find("\u2591"), std::string::npos);
    // Narrower than the counter: the counter is still complete.
    EXPECT_EQ(QueryProgressBar::render(300, 1000, 4).substr(3), " 300/1000");
}
