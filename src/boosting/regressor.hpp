// Squared-loss boosting over internal forests with split-conformal intervals.
//
// The calibration rows (a conformal_fraction share, drawn first) are held out
// of a model whose absolute residuals on them calibrate the intervals. The
// `_rs` fit then grows the kept model again on every row; with
// BoostOptions::keep_calibrated the calibrated model itself is kept, so that
// the fit grows one model and its intervals keep the split-conformal
// guarantee for that model.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boosting/config.hpp"
#include "boosting/internal_rf.hpp"
#include "core/matrix.hpp"

namespace tw::boosting {

class TarnwoodRegressor {
public:
    // conformal_fraction is clamped to [0.1, 0.5] (NaN stays NaN).
    TarnwoodRegressor(BoostConfig config, double conformal_fraction);

    // Calibration phase on a shuffled split, then the final phase on all rows.
    // Every ValueError is raised before any state changes.
    void fit(const MatrixView& x, Vec y, std::optional<Vec> sample_weight,
             const BoostOptions& options = {});

    std::vector<double> predict(const MatrixView& x) const;
    // Row-major [lower, upper] pairs.
    std::vector<double> predict_ci(const MatrixView& x, double alpha) const;
    std::vector<double> feature_importances() const;

    // Half-width of the interval at level alpha.
    double interval_half_width(double alpha) const;

    const BoostConfig& config() const { return config_; }
    const BoostOptions& options() const { return options_; }
    double conformal_fraction() const { return conformal_fraction_; }
    bool is_fitted() const { return is_fitted_; }
    const std::vector<InternalRF>& rounds() const { return rounds_; }
    const std::vector<std::uint64_t>& trees_used() const { return trees_used_; }
    double init() const { return init_; }
    double conformal_quantile() const { return conformal_quantile_; }
    // Absolute residuals of the calibration rows of the last fit, ascending.
    const std::vector<double>& calibration_residuals() const { return calibration_residuals_; }

    // Saved state (configuration and model) for pickling; load validates it
    // fully and throws ValueError on a corrupted or foreign state.
    // States of fits with options other than the defaults load only when
    // with_options allows them (the `_rs` classes never write or read them).
    std::string save() const;
    static TarnwoodRegressor load(std::string_view state, bool with_options = false);

    // ValueError "TarnwoodRegressor has not been fitted" when unfitted.
    void check_fitted() const;

private:
    struct Pass {
        double init = 0.0;
        std::vector<InternalRF> rounds;
        std::vector<std::uint64_t> trees_used;
    };
    // One boosting pass on (x, y, w) drawing from rng, early stopped on
    // held rows of x when the options ask for it.
    Pass boost(const MatrixView& x, Vec y, Vec w, const TreeParams& params, Rng& rng) const;
    Pass boost_rows(const MatrixView& x, Vec y, Vec w, const TreeParams& params, Rng& rng,
                    const MatrixView* held_x, Vec held_y, Vec held_w) const;
    void finish_model();  // the prediction copy and the columns read

    BoostConfig config_;
    BoostOptions options_;
    double conformal_fraction_;
    std::vector<InternalRF> rounds_;
    std::vector<std::uint64_t> trees_used_;
    double init_ = 0.0;
    double conformal_quantile_ = 0.0;
    std::vector<double> calibration_residuals_;
    PackedRounds packed_;
    std::uint64_t columns_read_ = 0;
    std::uint64_t n_features_ = 0;     // columns of the last fit's x
    bool is_fitted_ = false;
};

// The sum of w*y over the sum of w (both in row order), or 0 when the weight
// total is not positive.
double weighted_mean(Vec y, Vec w);

}  // namespace tw::boosting
