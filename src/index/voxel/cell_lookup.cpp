#include "cell_lookup.hpp"

#include <random>
#include <string>

#include "../mod/errors.hpp"

namespace kesra {

// Inserts land in random slots: each insert fetches the slot of one this far ahead.
constexpr std::size_t PREFETCH_AHEAD = 16;

void CellLookup::allocate(std::size_t entries) {
    std::size_t capacity = 8;
    // Load factor at most 2/3: short probe runs while the table stays small in cache.
    while (2 * capacity < 3 * entries) capacity *= 2;
    slots_.assign(capacity, Slot{{0, 0, 0}, EMPTY});
    mask_ = capacity - 1;
    std::random_device rd;
    seed_ = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
}

CellLookup CellLookup::from_entries(const std::vector<Entry>& entries) {
    CellLookup lookup;
    if (entries.empty()) return lookup;
    lookup.allocate(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i + PREFETCH_AHEAD < entries.size()) lookup.prefetch(entries[i + PREFETCH_AHEAD].cell);
        const Entry& e = entries[i];
        if (e.number == EMPTY) throw InvalidArgument("cell_lookup maps a cell to 4294967295, which no grid can hold");
        Slot& slot = lookup.slots_[lookup.slot_of(e.cell)];
        if (slot.value == EMPTY) ++lookup.size_;
        slot = {e.cell, e.number};
    }
    return lookup;
}

}  // namespace kesra
