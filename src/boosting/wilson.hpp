// Wilson score interval of a proportion: the binary classifier's confidence
// intervals and the stopping check of streaming rounds.
#pragma once
#include <cmath>

namespace tw::boosting {

struct Interval {
    double lower;
    double upper;
};

// Interval for a proportion p seen over n trials at normal quantile z,
//     (p + z^2 / 2n  -+  z sqrt(p (1 - p) / n + z^2 / 4n^2)) / (1 + z^2 / n),
// each end clipped to [0, 1] (NaN stays NaN). For p in [0, 1] the upper end
// is positive and the lower end below 1, so only the lower end's 0 and the
// upper end's 1 ever clip.
inline Interval wilson_interval(double p, double n, double z) {
    const double z2 = z * z;
    const double d = 1.0 + z2 / n;
    const double centre = (p + z2 / (2.0 * n)) / d;
    const double half = z * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n)) / d;
    const auto clip = [](double v) { return v < 0.0 ? 0.0 : v > 1.0 ? 1.0 : v; };
    return {clip(centre - half), clip(centre + half)};
}

}  // namespace tw::boosting
