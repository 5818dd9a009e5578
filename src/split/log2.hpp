// The base-2 logarithm of the entropy criterion, in a scalar and a 4-lane
// vector form that perform the same IEEE operations, so that the vector
// kernels (split/kernels.hpp) give the scalar formula's entropy bit for bit
// whatever the vector width. Within two units in the last place of the
// exact value.
//
// Terms: x = 2^e * m with the mantissa m reduced to [sqrt(2)/2, sqrt(2));
// with f = m - 1 and s = f / (2 + f), log(m) = f - (f^2/2 - s * (f^2/2 +
// R(s^2))) where R is a fixed degree-7 polynomial in s^2 (the classic
// reduction of the natural logarithm), and log2(x) = e + log(m) / ln 2.
// Defined for positive finite x (subnormals included); callers mask out
// the other lanes.
#pragma once
#include <cstdint>
#include <cstring>

// Everything here is always inlined into its callers, so no 32-byte vector
// crosses a call and the compiler's note about their calling convention
// without AVX does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tw::split {

namespace log2_detail {

// Coefficients of R: close to 2 / (2k + 1), fitted for the reduced range.
constexpr double kLg1 = 6.666666666666735130e-01;
constexpr double kLg2 = 3.999999999940941908e-01;
constexpr double kLg3 = 2.857142874366239149e-01;
constexpr double kLg4 = 2.222219843214978396e-01;
constexpr double kLg5 = 1.818357216161805012e-01;
constexpr double kLg6 = 1.531383769920937332e-01;
constexpr double kLg7 = 1.479819860511658591e-01;
constexpr double kInvLn2 = 1.4426950408889634074;  // 1 / ln 2
constexpr double kMinNormal = 0x1p-1022;
constexpr double kScaleUp = 0x1p54;  // brings subnormals into the normal range
constexpr std::int64_t kMantissa = 0x000FFFFFFFFFFFFFll;
// Mantissa bits above which m is at least sqrt(2) (sqrt(2) = 0x1.6a09e667f3bcdp+0).
constexpr std::int64_t kSqrt2Mantissa = 0x0006A09E667F3BCCll;
constexpr std::int64_t kExpOne = std::int64_t{1023} << 52;   // exponent field of [1, 2)
constexpr std::int64_t kExpHalf = std::int64_t{1022} << 52;  // exponent field of [1/2, 1)

// e + log(m) / ln 2 from the reduced m and the exponent e as a double; D is
// double or a vector of doubles.
template <class D>
__attribute__((always_inline)) inline D log2_reduced(D m, D e) {
    const D f = m - 1.0;
    const D s = f / (2.0 + f);
    const D z = s * s;
    const D w = z * z;
    const D t1 = w * (kLg2 + w * (kLg4 + w * kLg6));
    const D t2 = z * (kLg1 + w * (kLg3 + w * (kLg5 + w * kLg7)));
    const D r = t2 + t1;
    const D hfsq = 0.5 * f * f;
    const D logm = f - (hfsq - s * (hfsq + r));
    return e + logm * kInvLn2;
}

}  // namespace log2_detail

// log2(x) for positive finite x.
__attribute__((always_inline)) inline double log2_positive(double x) {
    using namespace log2_detail;
    const bool small = x < kMinNormal;
    x = small ? x * kScaleUp : x;
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    std::int64_t e = (bits >> 52) - 1023 - (small ? 54 : 0);
    const std::int64_t mant = bits & kMantissa;
    const bool up = mant > kSqrt2Mantissa;
    const std::int64_t mbits = mant | (up ? kExpHalf : kExpOne);
    e += up ? 1 : 0;
    double m;
    std::memcpy(&m, &mbits, sizeof m);
    return log2_reduced(m, static_cast<double>(e));
}

typedef double log2_v4d __attribute__((vector_size(32)));
typedef long long log2_v4i __attribute__((vector_size(32)));

// log2_positive lane by lane (the same operations on each lane).
__attribute__((always_inline)) inline log2_v4d log2_positive(log2_v4d x) {
    using namespace log2_detail;
    const log2_v4d min_normal = {kMinNormal, kMinNormal, kMinNormal, kMinNormal};
    const log2_v4i half = {kExpHalf, kExpHalf, kExpHalf, kExpHalf};
    const log2_v4i one = {kExpOne, kExpOne, kExpOne, kExpOne};
    const log2_v4i small = x < min_normal;  // -1 where true
    x = small ? x * kScaleUp : x;
    log2_v4i bits;
    std::memcpy(&bits, &x, sizeof bits);
    log2_v4i e = (bits >> 52) - 1023 - (small & 54);
    const log2_v4i mant = bits & kMantissa;
    const log2_v4i up = mant > kSqrt2Mantissa;  // -1 where true
    const log2_v4i mbits = mant | (up ? half : one);
    e -= up;
    log2_v4d m;
    std::memcpy(&m, &mbits, sizeof m);
    return log2_reduced(m, __builtin_convertvector(e, log2_v4d));
}

}  // namespace tw::split

#pragma GCC diagnostic pop
