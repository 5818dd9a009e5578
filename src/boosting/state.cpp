// Saved states of the boosted ensembles (pickling and deep copies).
#include <algorithm>
#include <cmath>

#include "boosting/classifier.hpp"
#include "boosting/regressor.hpp"
#include "core/serialize.hpp"

namespace tw::boosting {

namespace {

constexpr std::uint32_t kVersion = 1;

// The configuration in saved order; A is a Writer (C const) or a Reader.
template <class A, class C>
void config_fields(A& a, C& c) {
    a.field(c.n_estimators);
    a.field(c.learning_rate);
    a.field(c.rf_n_estimators);
    a.field(c.rf_max_depth);
    a.field(c.rf_max_features);
    a.field(c.bootstrap);
    a.field(c.random_state);
    a.field(c.min_samples_split);
    a.field(c.min_samples_leaf);
    a.field(c.use_histogram);
    a.field(c.async_mode);
    a.field(c.tol);
    a.field(c.n_jobs);
}

void write_config(Writer& w, const BoostConfig& c) { config_fields(w, c); }

BoostConfig read_config(Reader& r) {
    BoostConfig c;
    config_fields(r, c);
    return c;
}

void write_rounds(Writer& w, const std::vector<InternalRF>& rounds) {
    w.u64(rounds.size());
    for (const InternalRF& forest : rounds) w.trees(forest.trees);
}

// Every internal tree is a regression tree on the working response.
std::vector<InternalRF> read_rounds(Reader& r) {
    const std::uint64_t n = r.count(8);
    std::vector<InternalRF> rounds(n);
    for (InternalRF& forest : rounds) {
        forest.trees = r.trees();
        for (const Tree& t : forest.trees) check_leaf_kind(t, false);
    }
    return rounds;
}

// Every split reads a column of the training matrix (whose width also
// bounds the importance vector).
void check_columns(std::uint64_t columns_read, std::uint64_t n_features, bool fitted) {
    if (columns_read > n_features) Reader::fail("a split reads a column the training data lacked");
    if (!fitted && n_features != 0) Reader::fail("model data in an unfitted ensemble");
}

}  // namespace

std::string TarnwoodRegressor::save() const {
    Writer w("TarnwoodRegressor", kVersion);
    write_config(w, config_);
    w.f64(conformal_fraction_);
    w.flag(is_fitted_);
    w.u64(n_features_);
    w.f64(init_);
    w.f64(conformal_quantile_);
    w.f64s(calibration_residuals_);
    w.u64s(trees_used_);
    write_rounds(w, rounds_);
    return w.bytes();
}

TarnwoodRegressor TarnwoodRegressor::load(std::string_view state) {
    Reader r(state, "TarnwoodRegressor", kVersion);
    BoostConfig config = read_config(r);
    const double fraction = r.f64();
    // The constructor keeps a fraction inside [0.1, 0.5] (NaN passes).
    if (fraction < 0.1 || fraction > 0.5) Reader::fail("conformal_fraction out of range");
    TarnwoodRegressor model(std::move(config), fraction);
    model.is_fitted_ = r.flag();
    model.n_features_ = r.u64();
    model.init_ = r.f64();
    model.conformal_quantile_ = r.f64();
    model.calibration_residuals_ = r.f64s();
    model.trees_used_ = r.u64s();
    model.rounds_ = read_rounds(r);
    r.finish();

    const auto& res = model.calibration_residuals_;
    for (const double v : res) {
        if (!(v >= 0.0)) Reader::fail("calibration residual is negative or NaN");
    }
    if (!std::is_sorted(res.begin(), res.end())) Reader::fail("calibration residuals out of order");
    if (model.rounds_.size() != model.trees_used_.size()) Reader::fail("round count mismatch");
    for (std::size_t i = 0; i < model.rounds_.size(); ++i) {
        if (model.rounds_[i].trees.size() != model.trees_used_[i]) Reader::fail("tree count mismatch");
    }
    if (model.is_fitted_) {
        if (model.rounds_.size() != model.config_.n_estimators) Reader::fail("round count mismatch");
        if (res.empty()) Reader::fail("fitted model without calibration residuals");
    } else if (!model.rounds_.empty() || !res.empty()) {
        Reader::fail("model data in an unfitted ensemble");
    }
    model.columns_read_ = columns_read(model.rounds_);
    check_columns(model.columns_read_, model.n_features_, model.is_fitted_);
    return model;
}

std::string TarnwoodClassifier::save() const {
    Writer w("TarnwoodClassifier", kVersion);
    write_config(w, config_);
    w.flag(is_fitted_);
    w.u64(n_features_);
    w.u64(n_classes_);
    w.f64s(init_);
    w.u64s(trees_used_);
    write_rounds(w, rounds_);
    return w.bytes();
}

TarnwoodClassifier TarnwoodClassifier::load(std::string_view state) {
    Reader r(state, "TarnwoodClassifier", kVersion);
    TarnwoodClassifier model(read_config(r));
    model.is_fitted_ = r.flag();
    model.n_features_ = r.u64();
    const std::uint64_t n_classes = r.u64();
    model.init_ = r.f64s();
    model.trees_used_ = r.u64s();
    model.rounds_ = read_rounds(r);
    r.finish();

    if (model.is_fitted_) {
        // One raw score in binary mode, one per class otherwise; the forests
        // of a round follow in output order.
        const std::size_t outputs = n_classes == 2 ? 1 : static_cast<std::size_t>(n_classes);
        if (n_classes == 0 || model.init_.size() != outputs) Reader::fail("class count mismatch");
        const std::uint64_t rounds = model.config_.n_estimators;
        if (model.trees_used_.size() != rounds || rounds > model.rounds_.size() ||
            model.rounds_.size() != rounds * outputs) {
            Reader::fail("round count mismatch");
        }
        for (std::size_t i = 0; i < rounds; ++i) {
            if (model.rounds_[i * outputs].trees.size() != model.trees_used_[i]) {
                Reader::fail("tree count mismatch");
            }
        }
    } else if (n_classes != 0 || !model.init_.empty() || !model.trees_used_.empty() ||
               !model.rounds_.empty()) {
        Reader::fail("model data in an unfitted ensemble");
    }
    model.n_classes_ = static_cast<std::size_t>(n_classes);
    model.columns_read_ = columns_read(model.rounds_);
    check_columns(model.columns_read_, model.n_features_, model.is_fitted_);
    return model;
}

}  // namespace tw::boosting
