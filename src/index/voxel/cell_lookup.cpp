#include "cell_lookup.hpp"

#include <random>

namespace kesra {

CellLookup::CellLookup(const std::vector<CellCoord>& cells) : size_(cells.size()) {
    if (cells.empty()) return;
    std::size_t capacity = 8;
    // Load factor at most 2/3: short probe runs while the table stays small in cache.
    while (2 * capacity < 3 * cells.size()) capacity *= 2;
    slots_.assign(capacity, Slot{{0, 0, 0}, EMPTY});
    mask_ = capacity - 1;
    std::random_device rd;
    seed_ = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    for (std::uint32_t c = 0; c < cells.size(); ++c) {
        std::uint64_t i = hash(cells[c]);
        while (slots_[i & mask_].value != EMPTY) ++i;
        slots_[i & mask_] = {cells[c], c};
    }
}

}  // namespace kesra
