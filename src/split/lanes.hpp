// Lane helpers shared by the vector kernels' sources (split/kernels.cpp,
// split/tiny_kernels.cpp): a value in every lane, and the variance gain
// formula of split::sums_gain four candidates at a time. Inlined into each
// kernel version, so no 32-byte vector crosses a call.
#pragma once
#include "split/kernels.hpp"

namespace tw::split {

__attribute__((always_inline)) inline v4d splat(double v) { return v4d{v, v, v, v}; }

// Variance gains from the left weights a and w*y sums b of four candidates
// (node weight W, w*y sum S1, squared mean M2): split::sums_gain lane by
// lane, (b^2/a + r^2/(W-a)) / W - M2 over one quotient, the kernels' time
// being their divisions.
__attribute__((always_inline)) inline v4d sums_gains(v4d W, v4d S1, v4d M2, v4d a, v4d b) {
    const v4d r = S1 - b;
    const v4d rest = W - a;
    return (b * b * rest + r * r * a) / (a * rest * W) - M2;
}

}  // namespace tw::split
