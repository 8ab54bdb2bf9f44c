#pragma once
// Squared distances from one query to four consecutive stored points at a time. Each lane
// runs the same float32 operations as squared_distance, in the same order and without
// contraction, so the values are bit-identical to the scalar ones.
#include <cstdint>

#include "base/points_view.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesra {

#if defined(__SSE2__)

class DistanceBlock {
public:
    explicit DistanceBlock(const Point& q) : qx_(_mm_set1_ps(q.x)), qy_(_mm_set1_ps(q.y)), qz_(_mm_set1_ps(q.z)) {}

    // d2 of p[0..3], lane i for p[i].
    __m128 four(const Point* p) const {
        const float* f = &p->x;
        // x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3, split into x, y and z lanes.
        const __m128 a = _mm_loadu_ps(f), b = _mm_loadu_ps(f + 4), c = _mm_loadu_ps(f + 8);
        const __m128 bc_x = _mm_shuffle_ps(b, c, _MM_SHUFFLE(0, 1, 0, 2));  // x2 . x3 .
        const __m128 ab_y = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 0, 1));  // y0 . y1 .
        const __m128 bc_y = _mm_shuffle_ps(b, c, _MM_SHUFFLE(0, 2, 0, 3));  // y2 . y3 .
        const __m128 ab_z = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 1, 0, 2));  // z0 . z1 .
        const __m128 x = _mm_shuffle_ps(a, bc_x, _MM_SHUFFLE(2, 0, 3, 0));
        const __m128 y = _mm_shuffle_ps(ab_y, bc_y, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 z = _mm_shuffle_ps(ab_z, c, _MM_SHUFFLE(3, 0, 2, 0));
        const __m128 dx = _mm_sub_ps(qx_, x), dy = _mm_sub_ps(qy_, y), dz = _mm_sub_ps(qz_, z);
        return _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
    }

    // Writes d2 of p[0..3] to out[0..3].
    void store(const Point* p, float* out) const { _mm_storeu_ps(out, four(p)); }

    // Bit i set when d2 of p[i] is not >= bound (NaN distances included).
    static unsigned below(__m128 d2, __m128 bound) { return static_cast<unsigned>(_mm_movemask_ps(below_lanes(d2, bound))); }
    // All bits set in lane i when d2 of p[i] is not >= bound.
    static __m128 below_lanes(__m128 d2, __m128 bound) { return _mm_cmpnge_ps(d2, bound); }
    static __m128 splat(float v) { return _mm_set1_ps(v); }
    // Bits set in a 4-bit mask, from a nibble table: without the popcnt instruction in the
    // target, the builtin is a library call.
    static unsigned count_of(unsigned mask4) { return (0x4332322132212110ull >> (mask4 * 4)) & 0xFu; }

private:
    __m128 qx_, qy_, qz_;
};

#endif

}  // namespace kesra
