// Breiman's outlier measure: n / (sum of squared proximities), standardised
// by the upper median and the mean of the deviations capped at 5 x median.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {

OutlierScale outlier_scale(std::span<const double> values) {
    OutlierScale scale;
    const std::size_t N = values.size();
    if (N == 0) return scale;
    std::vector<double> sorted(values.begin(), values.end());
    std::stable_sort(sorted.begin(), sorted.end());
    scale.centre = sorted[N / 2];
    const double cap = 5.0 * scale.centre;
    for (std::size_t i = 0; i < N; ++i) sorted[i] = std::min(std::fabs(values[i] - scale.centre), cap);
    std::stable_sort(sorted.begin(), sorted.end());
    double sum = 0.0;
    for (double d : sorted) sum += d;
    const double spread = sum / static_cast<double>(N);
    scale.spread = spread > 0.0 ? spread : 1.0;
    return scale;
}

double outlier_score(double value, const OutlierScale& scale) {
    return std::min((value - scale.centre) / scale.spread, 20.0);
}

std::vector<double> RandomForestUnsupervised::raw_outlier_measures(bool use_sparse) const {
    const std::size_t n = n_samples_;
    const double count = static_cast<double>(n);
    std::vector<double> raw(n, 0.0);
    if (use_sparse && sparse_cache_) {
        const auto& cache = *sparse_cache_;
        for (std::size_t i = 0; i < n; ++i) {
            double s = 0.0;
            for (const Neighbor& e : cache[i].neighbors) s += e.proximity * e.proximity;
            raw[i] = s > 0.0 ? count / s : 0.0;
        }
        return raw;
    }
    // Zero entries add nothing to a sum of non-negative terms, so summing the
    // non-zero entries in column order gives the full row sum bit for bit.
    const ProximityRows prox = proximity_matrix(true);
    parallel::parallel_chunks(n, 256, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double s = 0.0;
            prox.for_each_nonzero(i, [&](std::size_t, double v) { s += v * v; });
            raw[i] = s > 0.0 ? count / s : 0.0;
        }
    });
    return raw;
}

std::vector<double> RandomForestUnsupervised::outlier_scores(bool use_sparse) const {
    require_fitted();
    std::vector<double> raw = raw_outlier_measures(use_sparse);
    const OutlierScale scale = outlier_scale(raw);
    for (double& v : raw) v = outlier_score(v, scale);
    return raw;
}

std::vector<double> RandomForestUnsupervised::predict_outlier_scores(const MatrixView& x_new) const {
    require_trees();
    check_new_rows(x_new);
    const ProximityRows prox = predict_proximity(x_new);
    const double count = static_cast<double>(n_samples_);
    std::vector<double> raw(x_new.rows);
    for (std::size_t l = 0; l < x_new.rows; ++l) {
        double s = 0.0;
        prox.for_each_nonzero(l, [&](std::size_t, double v) { s += v * v; });
        raw[l] = s > 0.0 ? count / s : DBL_MAX;
    }
    // New rows are scored against the centre and spread of the training
    // rows' raw measures (dense out-of-bag path), which share their scale.
    const OutlierScale scale = outlier_scale(raw_outlier_measures(false));
    for (double& v : raw) v = outlier_score(v, scale);
    return raw;
}

}  // namespace tw
