#include "boosting/regressor.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "histogram/histogram.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "core/rng.hpp"
#include "core/validate.hpp"
#include "boosting/early_stop.hpp"
#include "boosting/importances.hpp"

namespace tw::boosting {

double weighted_mean(Vec y, Vec w) {
    double sum_wy = 0.0;
    double sum_w = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        sum_wy += w[i] * y[i];
        sum_w += w[i];
    }
    return sum_w > 0.0 ? sum_wy / sum_w : 0.0;
}

TarnwoodRegressor::TarnwoodRegressor(BoostConfig config, double conformal_fraction)
    : config_(std::move(config)), conformal_fraction_(conformal_fraction) {
    if (conformal_fraction_ < 0.1) conformal_fraction_ = 0.1;
    if (conformal_fraction_ > 0.5) conformal_fraction_ = 0.5;
}

void TarnwoodRegressor::check_fitted() const {
    if (!is_fitted_) throw ValueError("TarnwoodRegressor has not been fitted");
}

TarnwoodRegressor::Pass TarnwoodRegressor::boost(const MatrixView& x, Vec y, Vec w,
                                                 const TreeParams& params, Rng& rng) const {
    if (options_.validation_fraction > 0.0) {
        const HeldSplit split = split_held(x.rows, options_.validation_fraction, rng);
        if (!split.held.empty() && !split.fit.empty()) {
            const DenseMatrix x_fit = DenseMatrix::gather(x, split.fit);
            const DenseMatrix x_held = DenseMatrix::gather(x, split.held);
            const MatrixView held = x_held.view();
            return boost_rows(x_fit.view(), gather(y, split.fit), gather(w, split.fit), params,
                              rng, &held, gather(y, split.held), gather(w, split.held));
        }
    }
    return boost_rows(x, y, w, params, rng, nullptr, {}, {});
}

TarnwoodRegressor::Pass TarnwoodRegressor::boost_rows(const MatrixView& x, Vec y, Vec w,
                                                      const TreeParams& params, Rng& rng,
                                                      const MatrixView* held_x, Vec held_y,
                                                      Vec held_w) const {
    const std::size_t n = x.rows;
    Pass pass;
    pass.init = weighted_mean(y, w);
    // The rows are binned once; every round reads the same bins.
    std::optional<HistogramData> hist;
    std::optional<ensemble::BinnedRows> codes, held_codes;
    if (config_.use_histogram) {
        hist = HistogramData::build(x, params.categories, options_.bins);
        codes = ensemble::BinnedRows::of(*hist, n);
        if (held_x) held_codes = ensemble::BinnedRows::of_values(*hist, *held_x);
    }
    const HistogramData* h = hist ? &*hist : nullptr;
    RoundRows rows;
    rows.train = codes ? &*codes : nullptr;
    if (held_x) rows.held = *held_x;
    rows.held_codes = held_codes ? &*held_codes : nullptr;
    const std::size_t min_check = min_check_count(config_.rf_n_estimators);
    const std::size_t n_trees = static_cast<std::size_t>(config_.rf_n_estimators);

    std::vector<double> f(n, pass.init);
    std::vector<double> f_held(rows.held.rows, pass.init);
    double held_weight = 0.0;
    for (const double v : held_w) held_weight += v;
    EarlyStop early(options_.n_iter_no_change);
    std::vector<double> residual(n);
    for (std::uint64_t round = 0; round < config_.n_estimators; ++round) {
        for (std::size_t i = 0; i < n; ++i) residual[i] = y[i] - f[i];
        RoundFit fitted =
            config_.async_mode
                ? fit_internal_rf_streaming(x, residual, w, n_trees, params, config_.tol,
                                            config_.bootstrap, rng, h, min_check, false, rows)
                : fit_round(x, residual, w, n_trees, params, config_.bootstrap, rng, h, rows);
        pass.trees_used.push_back(fitted.forest.trees.size());
        for (std::size_t i = 0; i < n; ++i) f[i] += config_.learning_rate * fitted.predictions[i];
        pass.rounds.push_back(std::move(fitted.forest));
        if (!held_x) continue;
        double loss = 0.0;
        for (std::size_t i = 0; i < f_held.size(); ++i) {
            f_held[i] += config_.learning_rate * fitted.held[i];
            const double d = held_y[i] - f_held[i];
            loss += held_w[i] * d * d;
        }
        if (held_weight > 0.0) loss /= held_weight;
        if (std::isnan(loss)) break;  // overflowing rounds: keep the best so far
        if (early.stop_after(loss)) break;
    }
    if (held_x && early.best_rounds() > 0) {
        pass.rounds.resize(early.best_rounds());
        pass.trees_used.resize(early.best_rounds());
    }
    return pass;
}

void TarnwoodRegressor::fit(const MatrixView& x, Vec y_in, std::optional<Vec> sample_weight,
                            const BoostOptions& options) {
    const std::vector<double> weights = checked_fit_inputs(
        x, y_in, sample_weight, options.missing_values ? Refuse::infinite : Refuse::non_finite);
    check_categories(x, options.categories);
    check_config_for_fit(config_);
    check_options(options);
    const std::size_t n = x.rows;
    const std::size_t n_cal =
        static_cast<std::size_t>(trunc_to_count(conformal_fraction_ * static_cast<double>(n)));
    if (n_cal == 0) {
        throw ValueError("conformal calibration needs at least one held-out row: " +
                         std::to_string(n) + " samples with conformal_fraction " +
                         format_number(conformal_fraction_) + " hold out none");
    }
    const Vec y = y_in;
    const Vec w = weights;
    const BoostOptions previous = options_;
    options_ = options;  // boost() reads them
    try {
        const TreeParams params = make_tree_params(config_, options_, x.cols);

        // Calibration phase: boost on the shuffled training share, score the rest.
        Rng rng = seed_rng(config_.random_state);
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        shuffle(rng, std::span<std::size_t>(order));
        const std::size_t n_train = n - n_cal;
        const std::span<const std::size_t> train_rows(order.data(), n_train);
        const std::span<const std::size_t> cal_rows(order.data() + n_train, n_cal);

        double quantile = 0.0;
        std::vector<double> residuals;
        Pass cal;
        {
            const DenseMatrix x_train = DenseMatrix::gather(x, train_rows);
            cal = boost(x_train.view(), gather(y, train_rows), gather(w, train_rows), params,
                        rng);

            const DenseMatrix x_cal = DenseMatrix::gather(x, cal_rows);
            const std::vector<double> pred = PackedRounds(cal.rounds).scores(
                x_cal.view(), std::span<const double>(&cal.init, 1), 1, config_.learning_rate);
            std::vector<double> scores(n_cal);
            for (std::size_t i = 0; i < n_cal; ++i) {
                scores[i] = std::fabs(y[cal_rows[i]] - pred[i]);
                if (std::isnan(scores[i])) throw InternalError("calibration score is NaN");
            }
            std::stable_sort(scores.begin(), scores.end());
            const double ncal = static_cast<double>(n_cal);
            std::size_t k = static_cast<std::size_t>(
                trunc_to_count(std::ceil(((1.0 / ncal) + 1.0) * 0.95 * ncal)));
            k = std::min(k, n_cal - 1);
            quantile = scores[k];
            residuals = std::move(scores);
        }

        // Final phase: keep the calibrated model, or boost again from scratch
        // on every row.
        Pass final_pass;
        if (options_.keep_calibrated) {
            final_pass = std::move(cal);
        } else {
            Rng final_rng = seed_rng(config_.random_state);
            final_pass = boost(x, y, w, params, final_rng);
        }

        init_ = final_pass.init;
        rounds_ = std::move(final_pass.rounds);
        trees_used_ = std::move(final_pass.trees_used);
        conformal_quantile_ = quantile;
        calibration_residuals_ = std::move(residuals);
    } catch (...) {
        options_ = previous;
        throw;
    }
    finish_model();
    n_features_ = x.cols;
    is_fitted_ = true;
}

void TarnwoodRegressor::finish_model() {
    columns_read_ = columns_read(rounds_);
    packed_ = PackedRounds(rounds_);
}

std::vector<double> TarnwoodRegressor::predict(const MatrixView& x) const {
    check_fitted();
    check_width(x, columns_read_);
    return packed_.scores(x, std::span<const double>(&init_, 1), 1, config_.learning_rate);
}

double TarnwoodRegressor::interval_half_width(double alpha) const {
    const double q = conformal_quantile_;
    if (std::fabs(alpha - 0.05) < 1e-6) return q;
    if (alpha <= 0.01) return 1.3142857142857143 * q;
    if (alpha <= 0.05) return 1.0 * q;
    if (alpha <= 0.1) return 0.8392857142857143 * q;
    return 0.653061224489796 * q;
}

std::vector<double> TarnwoodRegressor::predict_ci(const MatrixView& x, double alpha) const {
    const std::vector<double> pred = predict(x);
    const double q = interval_half_width(alpha);
    std::vector<double> out(pred.size() * 2);
    for (std::size_t i = 0; i < pred.size(); ++i) {
        out[2 * i] = pred[i] - q;
        out[2 * i + 1] = pred[i] + q;
    }
    return out;
}

std::vector<double> TarnwoodRegressor::feature_importances() const {
    check_fitted();
    return compute_feature_importances(rounds_);
}

}  // namespace tw::boosting
