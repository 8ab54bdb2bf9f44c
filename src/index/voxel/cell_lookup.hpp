#pragma once
// Hash map from cell coordinates to cell numbers: open addressing with linear probing over
// a power-of-two table, seeded per map. Holds the cell_lookup pairs of a saved grid while
// they are checked against its cells.
#include <cstdint>
#include <vector>

#include "cell_coord.hpp"

namespace kesra {

class CellLookup {
public:
    static constexpr std::uint32_t EMPTY = NO_CELL;

    CellLookup() = default;

    struct Entry {
        CellCoord cell;
        std::uint32_t number;
    };
    // Builds the table from restored pairs; a cell that appears again replaces the number
    // it had. Throws InvalidArgument for the number EMPTY, which marks free slots.
    static CellLookup from_entries(const std::vector<Entry>& entries);

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // The cell number of `cell`, or EMPTY when the cell is not occupied.
    std::uint32_t find(const CellCoord& cell) const {
        if (size_ == 0) return EMPTY;
        for (std::uint64_t i = hash(cell);; ++i) {
            const Slot& s = slots_[i & mask_];
            if (s.value == EMPTY) return EMPTY;
            if (s.cell == cell) return s.value;
        }
    }

    // Hints the cache to load the slot where a lookup of `cell` starts.
    void prefetch(const CellCoord& cell) const {
        if (size_ != 0) __builtin_prefetch(&slots_[hash(cell) & mask_]);
    }

    std::size_t memory_bytes() const { return slots_.size() * sizeof(Slot); }

private:
    void allocate(std::size_t entries);
    // The slot holding `cell`, or the free slot where it belongs.
    std::uint64_t slot_of(const CellCoord& cell) const {
        std::uint64_t i = hash(cell) & mask_;
        while (slots_[i].value != EMPTY && !(slots_[i].cell == cell)) i = (i + 1) & mask_;
        return i;
    }

    struct Slot {
        CellCoord cell;
        std::uint32_t value;
    };

    std::uint64_t hash(const CellCoord& c) const { return cell_hash(seed_, c.x, c.y, c.z); }

    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0;
    std::uint64_t seed_ = 0;
    std::size_t size_ = 0;
};

}  // namespace kesra
