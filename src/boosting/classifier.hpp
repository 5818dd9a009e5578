// Logistic (binary) and softmax (multiclass) Newton boosting over internal
// forests, with Wilson intervals for binary models.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boosting/config.hpp"
#include "boosting/internal_rf.hpp"
#include "core/matrix.hpp"

namespace tw::boosting {

// Max-shifted exponentials over their sum (NaN ignored for the maximum).
void softmax(std::span<const double> scores, std::span<double> out);

class TarnwoodClassifier {
public:
    explicit TarnwoodClassifier(BoostConfig config);

    // Labels, truncated to class indices, must be exactly 0..K-1 (K >= 1).
    // Every ValueError is raised before any state changes.
    // With early stopping (options.validation_fraction) the held rows are
    // drawn per class and scored by their weighted log-loss.
    void fit(const MatrixView& x, Vec y, std::optional<Vec> sample_weight,
             const BoostOptions& options = {});

    std::vector<double> predict(const MatrixView& x) const;
    // Row-major rows x n_proba_columns().
    std::vector<double> predict_proba(const MatrixView& x) const;
    // Row-major [lower, upper] pairs; binary models only.
    std::vector<double> predict_ci(const MatrixView& x, double alpha) const;
    std::vector<double> feature_importances() const;

    std::size_t n_proba_columns() const { return n_classes_ == 2 ? 2 : n_classes_; }
    const BoostConfig& config() const { return config_; }
    const BoostOptions& options() const { return options_; }
    bool is_fitted() const { return is_fitted_; }
    std::size_t n_classes() const { return n_classes_; }
    const std::vector<double>& init() const { return init_; }
    const std::vector<InternalRF>& rounds() const { return rounds_; }
    const std::vector<std::uint64_t>& trees_used() const { return trees_used_; }

    // ValueError "TarnwoodClassifier has not been fitted" when unfitted.
    void check_fitted() const;

    // Saved state (configuration and model) for pickling; load validates it
    // fully and throws ValueError on a corrupted or foreign state.
    // States of fits with options other than the defaults load only when
    // with_options allows them (the `_rs` classes never write or read them).
    std::string save() const;
    static TarnwoodClassifier load(std::string_view state, bool with_options = false);

private:
    std::vector<double> raw_scores(const MatrixView& x) const;  // rows x init_.size()
    void finish_model();  // the prediction copy and the columns read

    BoostConfig config_;
    BoostOptions options_;
    std::vector<double> init_;
    std::vector<InternalRF> rounds_;
    std::vector<std::uint64_t> trees_used_;
    std::size_t n_classes_ = 0;
    PackedRounds packed_;
    std::uint64_t columns_read_ = 0;
    std::uint64_t n_features_ = 0;     // columns of the last fit's x
    bool is_fitted_ = false;
};

}  // namespace tw::boosting
