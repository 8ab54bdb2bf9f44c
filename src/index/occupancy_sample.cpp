#include "index/occupancy_sample.hpp"

#include <cstdint>
#include <vector>

#include "index/voxel/cell_coord.hpp"

namespace kesra {

namespace {

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t mix(const CellCoord& c) {
    std::uint64_t state = static_cast<std::uint32_t>(c.x) * 0x100000001B3ull ^
                          static_cast<std::uint64_t>(static_cast<std::uint32_t>(c.y)) << 21 ^
                          static_cast<std::uint64_t>(static_cast<std::uint32_t>(c.z)) << 42;
    return splitmix(state);
}

// Open addressing over a power of two of slots, at most half full.
class IndexSet {
public:
    explicit IndexSet(std::size_t capacity) : slots_(table_size(capacity), EMPTY) {}
    bool insert(std::uint64_t value) {
        for (std::size_t i = slot(value);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == value) return false;
            if (slots_[i] == EMPTY) {
                slots_[i] = value;
                return true;
            }
        }
    }

private:
    static constexpr std::uint64_t EMPTY = UINT64_MAX;
    static std::size_t table_size(std::size_t n) {
        std::size_t size = 16;
        while (size < 2 * n) size *= 2;
        return size;
    }
    std::size_t slot(std::uint64_t v) const {
        std::uint64_t state = v;
        return splitmix(state) & (slots_.size() - 1);
    }
    std::vector<std::uint64_t> slots_;
};

}  // namespace

OccupancySample sample_occupancy(const PointsView& points, float max_dist, std::size_t sample) {
    const std::size_t n = points.rows;
    std::vector<std::size_t> rows;
    if (sample >= n) {
        rows.resize(n);
        for (std::size_t i = 0; i < n; ++i) rows[i] = i;
    } else {
        // Floyd's draw of `sample` distinct rows.
        IndexSet taken(sample);
        std::uint64_t state = 0x6B657372ull;
        for (std::size_t j = n - sample; j < n; ++j) {
            const std::size_t t = static_cast<std::size_t>(splitmix(state) % (j + 1));
            rows.push_back(taken.insert(t) ? t : (taken.insert(j), j));
        }
    }
    // Cells of the finite sampled points, counted in an open-addressing table.
    struct Slot {
        CellCoord cell;
        std::uint32_t count;
    };
    std::size_t size = 16;
    while (size < 2 * rows.size()) size *= 2;
    std::vector<Slot> table(size, Slot{{0, 0, 0}, 0});
    std::vector<std::size_t> slot_of;
    slot_of.reserve(rows.size());
    const float inv = 1.0f / max_dist;
    for (const std::size_t row : rows) {
        const Point p = points.point(row);
        if (!is_finite(p)) continue;
        const CellCoord c{floor_to_cell(p.x * inv), floor_to_cell(p.y * inv), floor_to_cell(p.z * inv)};
        std::size_t i = mix(c) & (size - 1);
        while (table[i].count != 0 && !(table[i].cell == c)) i = (i + 1) & (size - 1);
        table[i].cell = c;
        ++table[i].count;
        slot_of.push_back(i);
    }
    OccupancySample out;
    out.sampled = slot_of.size();
    if (out.sampled == 0 || n == 0) return out;
    double pairs = 0.0;
    for (const Slot& s : table) pairs += static_cast<double>(s.count) * (static_cast<double>(s.count) - 1.0);
    std::size_t alone = 0;
    for (const std::size_t i : slot_of) alone += table[i].count == 1;
    out.fraction = static_cast<double>(rows.size()) / static_cast<double>(n);
    out.crowding = 1.0 + pairs / (out.fraction * static_cast<double>(out.sampled));
    out.alone = static_cast<double>(alone) / static_cast<double>(out.sampled);
    return out;
}

}  // namespace kesra
