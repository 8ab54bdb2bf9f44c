#include "query/progress_bar.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

namespace kesra {

namespace {

constexpr auto redraw_interval = std::chrono::milliseconds(50);

std::size_t terminal_width() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

void write_all(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

QueryProgressBar::QueryProgressBar(std::uint64_t total) : total_(total), visible_(isatty(STDERR_FILENO) == 1) {
    if (visible_) draw(0, true);
}

QueryProgressBar::~QueryProgressBar() { finish_and_clear(); }

std::string QueryProgressBar::render(std::uint64_t pos, std::uint64_t total, std::size_t width) {
    std::string counter(1, ' ');
    counter += std::to_string(pos);
    counter += '/';
    counter += std::to_string(total);
    const std::size_t bar_width = width > counter.size() ? width - counter.size() : 1;
    const std::size_t done = total == 0 ? bar_width : static_cast<std::size_t>(
        static_cast<double>(bar_width) * static_cast<double>(std::min(pos, total)) / static_cast<double>(total));
    std::string line;
    line.reserve(bar_width * 3 + counter.size());
    for (std::size_t i = 0; i < bar_width; ++i) line += i < done ? "\u2588" : "\u2591";
    line += counter;
    return line;
}

void QueryProgressBar::advance(std::uint64_t rows) {
    const std::uint64_t pos = position_.fetch_add(rows, std::memory_order_relaxed) + rows;
    if (visible_) draw(pos, false);
}

void QueryProgressBar::draw(std::uint64_t pos, bool force) {
    std::unique_lock lock(draw_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || finished_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - last_draw_ < redraw_interval) return;
    last_draw_ = now;
    drawn_ = true;
    // One column short of the width, so the cursor never wraps to a new line.
    std::string text(1, '\r');
    text += render(pos, total_, terminal_width() - 1);
    write_all(text);
}

void QueryProgressBar::finish_and_clear() {
    position_.store(total_, std::memory_order_relaxed);
    std::lock_guard lock(draw_mutex_);
    if (finished_) return;
    finished_ = true;
    if (visible_ && drawn_) write_all("\r\x1b[2K");
}

}  // namespace kesra
