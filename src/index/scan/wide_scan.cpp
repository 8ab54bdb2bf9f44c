#include "index/scan/wide_scan.hpp"

#include "index/scan/lane_offers.hpp"

#include <array>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KESRA_WIDE_SCAN 1
#endif

namespace kesra {

#if defined(KESRA_WIDE_SCAN)

bool has_wide_scan() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return has;
}

namespace {

// Squared distances from q to eight consecutive points. Points 0-3 go to the low halves
// and 4-7 to the high halves of three registers; the shuffles, which work within halves,
// then split both groups into x, y and z lanes as the four-at-a-time scan does. No FMA is
// enabled, so nothing is contracted.
struct EightDistances {
    __m256 qx, qy, qz;

    __attribute__((target("avx2"))) explicit EightDistances(const Point& q)
        : qx(_mm256_set1_ps(q.x)), qy(_mm256_set1_ps(q.y)), qz(_mm256_set1_ps(q.z)) {}

    __attribute__((target("avx2"))) __m256 at(const Point* p) const {
        const float* f = &p->x;
        const __m256 a = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(f)), _mm_loadu_ps(f + 12), 1);
        const __m256 b = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(f + 4)), _mm_loadu_ps(f + 16), 1);
        const __m256 c = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(f + 8)), _mm_loadu_ps(f + 20), 1);
        const __m256 bc_x = _mm256_shuffle_ps(b, c, _MM_SHUFFLE(0, 1, 0, 2));
        const __m256 ab_y = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 0, 1));
        const __m256 bc_y = _mm256_shuffle_ps(b, c, _MM_SHUFFLE(0, 2, 0, 3));
        const __m256 ab_z = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(0, 1, 0, 2));
        const __m256 x = _mm256_shuffle_ps(a, bc_x, _MM_SHUFFLE(2, 0, 3, 0));
        const __m256 y = _mm256_shuffle_ps(ab_y, bc_y, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 z = _mm256_shuffle_ps(ab_z, c, _MM_SHUFFLE(3, 0, 2, 0));
        const __m256 dx = _mm256_sub_ps(qx, x), dy = _mm256_sub_ps(qy, y), dz = _mm256_sub_ps(qz, z);
        return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
    }

    // Bit i set when lane i is not >= bound, NaN included, as in the narrower scans.
    __attribute__((target("avx2"))) static unsigned below(__m256 d2, float bound) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(d2, _mm256_set1_ps(bound), _CMP_NGE_UQ)));
    }
};

}  // namespace

__attribute__((target("avx2,popcnt"))) std::uint64_t count_below_by_eight(const Point& q, const Point* points,
                                                                           std::uint32_t start, std::uint32_t blocks,
                                                                           float bound) {
    const EightDistances eight(q);
    std::uint64_t n = 0;
    for (std::uint32_t b = 0; b < blocks; ++b)
        n += static_cast<std::uint64_t>(_mm_popcnt_u32(EightDistances::below(eight.at(points + start + 8 * b), bound)));
    return n;
}

// As the four-at-a-time offer_range: only lanes below the bound read at the start of the
// eight are offered, and if a kept NaN raises the bound, the rest are offered one by one.
__attribute__((target("avx2"))) void offer_by_eight(const Point& q, const Point* points, std::uint32_t start,
                                                    std::uint32_t blocks, NeighbourList& list) {
    const EightDistances eight(q);
    alignas(32) float d2[8];
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t p = start + 8 * b;
        const float bound = list.threshold();
        const __m256 block = eight.at(points + p);
        unsigned mask = EightDistances::below(block, bound);
        if (mask == 0) continue;
        _mm256_store_ps(d2, block);
        offer_lanes(list, d2, mask, p, 8, bound);
    }
}

// For every 8-bit mask, the lanes of its set bits in order, packed to the front.
constexpr auto LEFT_PACK = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 8; ++lane)
            if (mask >> lane & 1u) table[mask] |= static_cast<std::uint64_t>(lane) << (8 * at++);
    }
    return table;
}();

// Every candidate within the radius is kept, so each block's lanes below it are packed
// to the front and stored at once, without a branch per lane.
__attribute__((target("avx2,popcnt"))) void offer_by_eight(const Point& q, const Point* points, std::uint32_t start,
                                                           std::uint32_t blocks, WithinList& list) {
    const EightDistances eight(q);
    const float bound = list.threshold();
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t p = start + 8 * b;
        const __m256 block = eight.at(points + p);
        const unsigned mask = EightDistances::below(block, bound);
        if (mask == 0) continue;
        const __m256i order = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(LEFT_PACK[mask])));
        const WithinList::Block to = list.next_block();
        _mm256_storeu_ps(to.d2, _mm256_permutevar8x32_ps(block, order));
        const __m256i positions = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(p)), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to.positions), _mm256_permutevar8x32_epi32(positions, order));
        list.keep(static_cast<unsigned>(_mm_popcnt_u32(mask)));
    }
}

// As above for a list that notes what it passes over: the lanes rejected as a whole are
// shown to it too, as their smallest distance (offered lanes read as NaN, which minps
// passes over for its second operand).
__attribute__((target("avx2"))) void offer_by_eight(const Point& q, const Point* points, std::uint32_t start,
                                                    std::uint32_t blocks, AnyOrderList& list) {
    const EightDistances eight(q);
    alignas(32) float d2[8];
    __m256 passed = _mm256_set1_ps(__builtin_inff());
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t p = start + 8 * b;
        const float bound = list.threshold();
        const __m256 block = eight.at(points + p);
        const __m256 offered = _mm256_cmp_ps(block, _mm256_set1_ps(bound), _CMP_NGE_UQ);
        passed = _mm256_min_ps(_mm256_or_ps(offered, block), passed);
        unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(offered));
        if (mask == 0) continue;
        _mm256_store_ps(d2, block);
        offer_lanes(list, d2, mask, p, 8, bound);
    }
    _mm256_store_ps(d2, passed);
    for (const float v : d2) list.pass_over(v);
}

#else

bool has_wide_scan() { return false; }

std::uint64_t count_below_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                                   float bound) {
    std::uint64_t n = 0;
    for (std::uint32_t p = start; p < start + 8 * blocks; ++p) n += !(squared_distance(q, points[p]) >= bound);
    return n;
}

void offer_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                    NeighbourList& list) {
    for (std::uint32_t p = start; p < start + 8 * blocks; ++p) list.offer(squared_distance(q, points[p]), p);
}

void offer_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                    AnyOrderList& list) {
    for (std::uint32_t p = start; p < start + 8 * blocks; ++p) list.offer(squared_distance(q, points[p]), p);
}

void offer_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                    WithinList& list) {
    for (std::uint32_t p = start; p < start + 8 * blocks; ++p) list.offer(squared_distance(q, points[p]), p);
}

#endif

}  // namespace kesra
