#pragma once
// The plain count or distance-weighted sum of one query point.
#include <cmath>
#include <optional>

namespace kesra {

class CountAccumulator {
public:
    CountAccumulator(float max_dist, std::optional<float> weight_exponent)
        : weight_exponent_(weight_exponent),
          max_dist_sq_(max_dist * max_dist),
          inv_max_dist_(1.0f / max_dist) {}

    void reset() { sum_ = 0.0f; }
    float sum() const { return sum_; }
    float max_dist_sq() const { return max_dist_sq_; }

    // Called only for points whose d2 is not >= max_dist_sq.
    void add(float d2) {
        if (!weight_exponent_) {
            sum_ += 1.0f;
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
    float sum_ = 0.0f;
};

}  // namespace kesra
