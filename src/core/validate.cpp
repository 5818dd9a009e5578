// Fit-input checks, the width check, class indices and the max_features rule.
#include "core/validate.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif
#include <limits>
#include <string>

#include "core/errors.hpp"
#include "core/format.hpp"

namespace tw {

namespace {

// Truncation toward zero into the unsigned 64-bit range: NaN and values below
// zero give 0, values at or beyond 2^64 give the largest value.
std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;  // NaN, zero, negatives
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

#if defined(__x86_64__)
using Pair = __m128d;
#else
using Pair = double;  // no pairs: every value is tested alone
#endif

// Whether `refused` holds for any of the n values at p: on x86-64 pairs
// tested as vectors (compares without a branch; `lanes` gives the pair's
// mask), the last odd one alone.
template <class Refused, class Lanes>
bool any_refused(const double* p, std::size_t n, Refused refused, Lanes lanes) {
    std::size_t k = 0;
    bool any = false;
#if defined(__x86_64__)
    __m128d acc = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) acc = _mm_or_pd(acc, lanes(_mm_loadu_pd(p + k)));
    any = _mm_movemask_pd(acc) != 0;
#else
    (void)lanes;
#endif
    for (; k < n; ++k) any |= refused(p[k]);
    return any;
}

// First value of x, row by row, that `refused` holds for (`lanes` being the
// same test of a pair).
template <class Refused, class Lanes>
std::optional<std::string> first_refused(const MatrixView& x, Refused refused, Lanes lanes,
                                         bool missing_allowed = false) {
    // A matrix without columns holds no values, however many rows it claims
    // (a zero-width array of 2^40 rows costs no memory); do not walk them.
    const std::size_t rows = x.cols == 0 ? 0 : x.rows;
    // Blocks of rows are first tested as a whole; only a block holding a
    // refused value is read again value by value.
    constexpr std::size_t kBlock = 64;
    std::size_t i = 0;
    for (; i < rows; i += kBlock) {
        const std::size_t end = std::min(rows, i + kBlock);
        bool any = false;
        if (x.row_stride == x.cols) {
            any = any_refused(x.row(i), (end - i) * x.cols, refused, lanes);
        } else {
            for (std::size_t r = i; r < end; ++r) {
                any |= any_refused(x.row(r), x.cols, refused, lanes);
            }
        }
        if (any) break;
    }
    for (; i < rows; ++i) {
        const double* row = x.row(i);
        for (std::size_t j = 0; j < x.cols; ++j) {
            if (refused(row[j])) {
                if (missing_allowed) {
                    return "X contains an infinite value at row " + std::to_string(i) +
                           ", column " + std::to_string(j) + " (" + format_number(row[j]) +
                           "); missing values may be NaN, but infinities are refused.";
                }
                return "X contains non-finite value at row " + std::to_string(i) + ", column " +
                       std::to_string(j) + " (" + format_number(row[j]) +
                       "). Impute or drop missing values before fitting.";
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::uint64_t class_index(double y) { return saturating_u64(y); }

std::vector<std::uint64_t> distinct_classes(Vec y) {
    std::vector<std::uint64_t> classes(y.size());
    std::transform(y.begin(), y.end(), classes.begin(), class_index);
    std::sort(classes.begin(), classes.end());
    classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
    return classes;
}

std::optional<std::string> validate_features(const MatrixView& x, Refuse refuse) {
    // NaN is the value unequal to itself (unordered); an infinity one whose
    // magnitude exceeds the largest double.
    constexpr double kMost = std::numeric_limits<double>::max();
#if defined(__x86_64__)
    const __m128d most = _mm_set1_pd(kMost);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    const auto nan_pair = [](Pair v) { return _mm_cmpunord_pd(v, v); };
    const auto infinite_pair = [&](Pair v) {
        return _mm_cmpgt_pd(_mm_and_pd(v, magnitude), most);
    };
    const auto nonfinite_pair = [&](Pair v) {  // also NaN: unordered is "not below"
        return _mm_cmpnle_pd(_mm_and_pd(v, magnitude), most);
    };
#else
    const auto nan_pair = [](Pair v) { return v; };
    const auto infinite_pair = nan_pair;
    const auto nonfinite_pair = nan_pair;
#endif
    if (refuse == Refuse::nan) return first_refused(x, [](double v) { return v != v; }, nan_pair);
    if (refuse == Refuse::infinite) {
        return first_refused(x, [](double v) { return v > kMost || v < -kMost; }, infinite_pair,
                             true);
    }
    return first_refused(x, [](double v) { return !(v <= kMost && v >= -kMost); },
                         nonfinite_pair);
}

std::optional<std::string> validate_finite(const MatrixView& x, Vec y, Refuse refuse) {
    if (auto message = validate_features(x, refuse)) return message;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!std::isfinite(y[i])) {
            return "y contains non-finite value at index " + std::to_string(i) + " (" +
                   format_number(y[i]) + ").";
        }
    }
    return std::nullopt;
}

std::optional<std::string> validate_weights(Vec weights, std::size_t n_samples) {
    if (weights.size() != n_samples) {
        return "sample_weight length (" + std::to_string(weights.size()) +
               ") does not match number of samples (" + std::to_string(n_samples) + ")";
    }
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const double v = weights[i];
        if (!std::isfinite(v) || v < 0.0) {
            return "sample_weight[" + std::to_string(i) + "] = " + format_number(v) +
                   " is not a non-negative finite number";
        }
    }
    return std::nullopt;
}

std::vector<double> checked_fit_inputs(const MatrixView& x, Vec y,
                                       const std::optional<Vec>& sample_weight, Refuse refuse) {
    if (auto message = validate_finite(x, y, refuse)) throw ValueError(*message);
    if (y.size() != x.rows) {
        throw ValueError("y length (" + std::to_string(y.size()) +
                         ") does not match number of samples (" + std::to_string(x.rows) + ")");
    }
    if (sample_weight) {
        if (auto message = validate_weights(*sample_weight, x.rows)) throw ValueError(*message);
        return std::vector<double>(sample_weight->begin(), sample_weight->end());
    }
    return std::vector<double>(x.rows, 1.0);
}

void require_width(const MatrixView& x, std::uint64_t needed, std::string_view argument,
                   std::string_view reader, std::optional<std::size_t> fitted_columns) {
    if (x.cols >= needed) return;
    std::string message(argument);
    message += " has " + std::to_string(x.cols) + " columns, but ";
    message += reader;
    message += " " + std::to_string(needed - 1);
    if (fitted_columns) {
        message += " (the model was fitted on " + std::to_string(*fitted_columns) + " columns)";
    }
    throw ValueError(message);
}

std::uint64_t resolve_max_features(const std::optional<std::string>& setting,
                                   std::size_t n_features) {
    const double n = static_cast<double>(n_features);
    if (!setting) return n_features;
    if (*setting == "sqrt") return std::max<std::uint64_t>(saturating_u64(std::sqrt(n)), 1);
    if (*setting == "log2") return std::max<std::uint64_t>(saturating_u64(std::log2(n)), 1);
    const std::optional<double> parsed = parse_float_strict(*setting);
    if (!parsed) return n_features;
    const double v = *parsed;
    if (v <= 1.0) return std::max<std::uint64_t>(saturating_u64(v * n), 1);
    return saturating_u64(v);  // NaN gives 0
}

void check_categories(const MatrixView& x, const std::vector<std::uint16_t>& categories) {
    if (categories.empty()) return;
    if (categories.size() != x.cols) {
        throw ValueError("categories: " + std::to_string(categories.size()) +
                         " entries for x of " + std::to_string(x.cols) + " columns");
    }
    for (std::size_t c = 0; c < x.cols; ++c) {
        if (categories[c] > 256) {
            throw ValueError("categories: column " + std::to_string(c) + " has " +
                             std::to_string(categories[c]) + " categories, more than 256");
        }
    }
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double* row = x.row(r);
        for (std::size_t c = 0; c < x.cols; ++c) {
            const std::size_t k = categories[c];
            if (k == 0) continue;
            const double v = row[c];
            if (v != v) {
                if (k == 256) {
                    throw ValueError("categories: column " + std::to_string(c) +
                                     " has 256 categories and a missing value (row " +
                                     std::to_string(r) + "); at most 255 categories with missing values");
                }
                continue;
            }
            if (!(v >= 0.0 && v < static_cast<double>(k)) || v != std::floor(v)) {
                throw ValueError("categories: x[" + std::to_string(r) + ", " + std::to_string(c) +
                                 "] = " + format_number(v) + " is not a category code (0 to " +
                                 std::to_string(k - 1) + ")");
            }
        }
    }
}

}  // namespace tw
