// Saved states of the boosted ensembles (pickling and deep copies).
//
// Version 1 holds the configuration and the fitted model, as the `_rs`
// classes write and read it; version 2 (fits through the package door with
// options other than the defaults) adds the options after them, and its
// early-stopped models may hold fewer rounds than n_estimators.
#include <algorithm>
#include <cmath>

#include "boosting/classifier.hpp"
#include "boosting/regressor.hpp"
#include "core/serialize.hpp"

namespace tw::boosting {

namespace {

constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kOptionsVersion = 2;
constexpr std::uint32_t kCategoryVersion = 3;  // version 2 with category sets

// Version 2 also where some internal split carries a taught missing side,
// 3 where some internal split tests a category set.
std::uint32_t version_of(const BoostOptions& options, const std::vector<InternalRF>& rounds) {
    for (const InternalRF& forest : rounds) {
        for (const Tree& t : forest.trees) {
            if (t.has_categories()) return kCategoryVersion;
        }
    }
    for (const InternalRF& forest : rounds) {
        for (const Tree& t : forest.trees) {
            if (t.has_saved_missing()) return kOptionsVersion;
        }
    }
    return options.is_default() ? kVersion : kOptionsVersion;
}

void write_options(Writer& w, std::uint32_t version, const BoostOptions& o) {
    if (version < kOptionsVersion) return;
    w.field(o.max_leaf_nodes);
    w.field(o.validation_fraction);
    w.field(o.n_iter_no_change);
    w.field(o.keep_calibrated);
}

BoostOptions read_options(Reader& r) {
    BoostOptions o;
    if (r.version() < kOptionsVersion) return o;
    r.field(o.max_leaf_nodes);
    r.field(o.validation_fraction);
    r.field(o.n_iter_no_change);
    r.field(o.keep_calibrated);
    try {
        check_options(o);
    } catch (const ValueError& e) {
        Reader::fail(e.what());
    }
    return o;
}

// Rounds a fitted model holds: n_estimators, or with early stopping between
// 1 and n_estimators.
bool rounds_fit(std::uint64_t rounds, std::uint64_t n_estimators, const BoostOptions& o) {
    if (o.validation_fraction > 0.0) return rounds <= n_estimators && (rounds > 0 || n_estimators == 0);
    return rounds == n_estimators;
}

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

void write_rounds(Writer& w, std::uint32_t version, const std::vector<InternalRF>& rounds) {
    w.write_category_sets(version >= kCategoryVersion);
    w.u64(rounds.size());
    for (const InternalRF& forest : rounds) w.trees(forest.trees);
}

// Every internal tree is a regression tree on the working response.
std::vector<InternalRF> read_rounds(Reader& r) {
    r.allow_missing_sides(r.version() >= kOptionsVersion);
    r.allow_category_sets(r.version() >= kCategoryVersion);
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
    const std::uint32_t version = version_of(options_, rounds_);
    Writer w("TarnwoodRegressor", version);
    write_config(w, config_);
    w.f64(conformal_fraction_);
    w.flag(is_fitted_);
    w.u64(n_features_);
    w.f64(init_);
    w.f64(conformal_quantile_);
    w.f64s(calibration_residuals_);
    w.u64s(trees_used_);
    write_rounds(w, version, rounds_);
    write_options(w, version, options_);
    return w.bytes();
}

TarnwoodRegressor TarnwoodRegressor::load(std::string_view state, bool with_options) {
    Reader r(state, "TarnwoodRegressor", with_options ? kCategoryVersion : kVersion);
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
    model.options_ = read_options(r);
    r.finish();
    if (with_options) {
        for (InternalRF& forest : model.rounds_) {
            for (Tree& t : forest.trees) t.set_missing_defaults();
        }
    }

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
        if (!rounds_fit(model.rounds_.size(), model.config_.n_estimators, model.options_)) {
            Reader::fail("round count mismatch");
        }
        if (res.empty()) Reader::fail("fitted model without calibration residuals");
    } else if (!model.rounds_.empty() || !res.empty()) {
        Reader::fail("model data in an unfitted ensemble");
    }
    model.finish_model();
    check_columns(model.columns_read_, model.n_features_, model.is_fitted_);
    return model;
}

std::string TarnwoodClassifier::save() const {
    const std::uint32_t version = version_of(options_, rounds_);
    Writer w("TarnwoodClassifier", version);
    write_config(w, config_);
    w.flag(is_fitted_);
    w.u64(n_features_);
    w.u64(n_classes_);
    w.f64s(init_);
    w.u64s(trees_used_);
    write_rounds(w, version, rounds_);
    write_options(w, version, options_);
    return w.bytes();
}

TarnwoodClassifier TarnwoodClassifier::load(std::string_view state, bool with_options) {
    Reader r(state, "TarnwoodClassifier", with_options ? kCategoryVersion : kVersion);
    TarnwoodClassifier model(read_config(r));
    model.is_fitted_ = r.flag();
    model.n_features_ = r.u64();
    const std::uint64_t n_classes = r.u64();
    model.init_ = r.f64s();
    model.trees_used_ = r.u64s();
    model.rounds_ = read_rounds(r);
    model.options_ = read_options(r);
    r.finish();
    if (with_options) {
        for (InternalRF& forest : model.rounds_) {
            for (Tree& t : forest.trees) t.set_missing_defaults();
        }
    }

    if (model.is_fitted_) {
        // One raw score in binary mode, one per class otherwise; the forests
        // of a round follow in output order.
        const std::size_t outputs = n_classes == 2 ? 1 : static_cast<std::size_t>(n_classes);
        if (n_classes == 0 || model.init_.size() != outputs) Reader::fail("class count mismatch");
        const std::uint64_t rounds = model.trees_used_.size();
        if (!rounds_fit(rounds, model.config_.n_estimators, model.options_) ||
            rounds > model.rounds_.size() ||
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
    model.finish_model();
    check_columns(model.columns_read_, model.n_features_, model.is_fitted_);
    return model;
}

}  // namespace tw::boosting
