// The regression forest's quantiles and prediction intervals: argument
// checks, then the queries of random_forest/leaf_samples.hpp on the leaves
// the rows reach.
#include <cmath>
#include <string>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "random_forest/random_forest.hpp"

namespace tw {
namespace {

void check_levels(std::span<const double> levels) {
    if (levels.empty()) throw ValueError("quantiles must hold at least one level");
    if (levels.size() > (std::size_t{1} << 20)) throw ValueError("quantiles holds too many levels");
    for (double q : levels) {
        if (!(q >= 0.0 && q <= 1.0)) {
            throw ValueError("quantiles must lie in [0, 1], got " + format_number(q));
        }
    }
}

void check_alpha(double alpha) {
    if (!(alpha > 0.0 && alpha < 1.0)) {
        throw ValueError("alpha must be in (0, 1), got " + format_number(alpha));
    }
}

}  // namespace

const LeafSamples& RandomForestRegressor::leaf_samples() const {
    check_fitted_trees();
    if (!record_) {
        throw ValueError("RandomForestRegressor was fitted without a fit record (saved by an "
                         "earlier release), so its leaves hold no training rows; fit it again");
    }
    if (record_->mixed) {
        throw ValueError("the trees were grown on different training data (warm_start), so "
                         "their leaves hold no common training rows; fit it again without "
                         "warm_start");
    }
    if (!record_->samples) {
        throw ValueError("RandomForestRegressor keeps no leaf samples for this fit (saved by an "
                         "earlier release, or more than 2^31 - 1 training rows); fit it again");
    }
    build_leaf_samples();
    return *record_->samples;
}

std::vector<double> RandomForestRegressor::predict_quantiles(const MatrixView& x,
                                                             std::span<const double> levels) const {
    const LeafSamples& s = leaf_samples();
    check_levels(levels);
    check_rows(x);
    return forest_quantiles(s, apply(x), levels);
}

std::vector<double> RandomForestRegressor::oob_quantiles(std::span<const double> levels) const {
    const LeafSamples& s = leaf_samples();
    check_levels(levels);
    if (!s_.bootstrap) throw ValueError("out-of-bag quantiles need bootstrap=True");
    return tw::oob_quantiles(s, levels);
}

std::vector<double> RandomForestRegressor::predict_interval(const MatrixView& x, double alpha,
                                                            Interval method) const {
    const LeafSamples& s = leaf_samples();
    check_alpha(alpha);
    if (!s_.bootstrap) {
        throw ValueError("out-of-bag intervals need bootstrap=True (with bootstrap=False no "
                         "tree leaves a training row out)");
    }
    check_rows(x);
    const std::vector<std::uint32_t> leaves = apply(x);
    if (method == Interval::jackknife) return jackknife_intervals(trees_, s, leaves, alpha);
    return quantile_intervals(s, leaves, alpha);
}

}  // namespace tw
