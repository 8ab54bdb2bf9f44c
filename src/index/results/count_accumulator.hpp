#pragma once
// The plain count or distance-weighted sum of one query point.
#include <cmath>
#include <cstdint>
#include <optional>

namespace kesra {

class CountAccumulator {
public:
    CountAccumulator(float max_dist, std::optional<float> weight_exponent)
        : weight_exponent_(weight_exponent),
          max_dist_sq_(max_dist * max_dist),
          inv_max_dist_(1.0f / max_dist) {}

    void reset() {
        sum_ = 0.0f;
        count_ = 0;
    }
    float max_dist_sq() const { return max_dist_sq_; }
    bool weighted() const { return weight_exponent_.has_value(); }

    // A float32 sum of 1.0s is exact up to 2^24 and then stays there (2^24 + 1 rounds
    // back to 2^24), so plain counting can count in integers and saturate.
    float sum() const {
        if (weighted()) return sum_;
        return static_cast<float>(count_ < COUNT_SATURATION ? count_ : COUNT_SATURATION);
    }

    // Plain counting only: the exact number of points within the radius.
    std::uint64_t count() const { return count_; }

    // Plain counting only: adds n points within the radius at once.
    void add_count(std::uint64_t n) { count_ += n; }

    // Called only for points whose d2 is not >= max_dist_sq.
    void add(float d2) {
        if (!weight_exponent_) {
            ++count_;
            return;
        }
        const float base = 1.0f - std::sqrt(d2) * inv_max_dist_;
        const float p = *weight_exponent_;
        const float w = p == 1.0f ? base : static_cast<float>(std::pow(static_cast<double>(base), static_cast<double>(p)));
        sum_ += w;
    }

private:
    std::optional<float> weight_exponent_;
    float max_dist_sq_;
    float inv_max_dist_;
    static constexpr std::uint64_t COUNT_SATURATION = 1u << 24;

    float sum_ = 0.0f;
    std::uint64_t count_ = 0;
};

}  // namespace kesra
