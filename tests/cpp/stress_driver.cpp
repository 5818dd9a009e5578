// Stress driver for the engine, built against the sanitized engine copies
// of tests/cpp/CMakeLists.txt and run by CTest.
//
// It links every engine source (everything outside src/module) and runs the
// fitting, prediction, export, explanation and proximity paths on generated
// data: ordinary, degenerate (no rows, one row, constant columns, ties, zero
// weights, deep chains) and hostile (corrupted saved states, odd texts). Any
// memory error, undefined behaviour or data race aborts the process with the
// sanitizer's report; a clean run prints "driver: ok" and exits 0.
//
//   driver [all|parallel] [rounds]
//
// "parallel" runs only the paths that use the worker pool (for the thread
// sanitizer build).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "decision_tree/decision_tree.hpp"
#include "core/errors.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"
#include "boosting/classifier.hpp"
#include "boosting/config.hpp"
#include "boosting/importances.hpp"
#include "boosting/internal_rf.hpp"
#include "boosting/regressor.hpp"
#include "tree_shap/tree_shap.hpp"
#include "unsupervised/unsupervised.hpp"
#include "grow/grow.hpp"
#include "core/rng.hpp"
#include "core/format.hpp"
#include "core/serialize.hpp"
#include "core/validate.hpp"

namespace {

using tw::MatrixView;
using tw::Vec;

int g_failures = 0;

void fail(const char* where, const std::string& what) {
    std::fprintf(stderr, "driver: %s: %s\n", where, what.c_str());
    ++g_failures;
}

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) fail(__func__, "check failed: " #cond);          \
    } while (0)

// Calls f; engine errors are acceptable answers, anything else is reported.
template <class F>
bool answers(const char* where, F&& f) {
    try {
        f();
        return true;
    } catch (const tw::ValueError&) {
        return false;
    } catch (const tw::InternalError&) {
        return false;
    } catch (const std::bad_alloc&) {
        fail(where, "allocation failure on small input");
        return false;
    } catch (const std::exception& e) {
        fail(where, e.what());
        return false;
    }
}

// Owned row-major matrix.
struct Data {
    std::vector<double> v;
    std::size_t rows = 0, cols = 0;
    MatrixView view() const { return {v.data(), rows, cols, cols}; }
    double& at(std::size_t r, std::size_t c) { return v[r * cols + c]; }
};

struct Gen {
    tw::Rng rng;
    explicit Gen(std::uint64_t seed) : rng(tw::seed_rng(seed)) {}
    std::uint64_t below(std::uint64_t m) { return tw::gen_range_u64(rng, m); }
    double unit() { return static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53; }
    double normal() {
        double s = 0.0;
        for (int i = 0; i < 4; ++i) s += unit();
        return (s - 2.0) * 1.7;
    }
    // Mostly ordinary values, with ties, huge magnitudes and subnormals.
    double value() {
        switch (below(12)) {
            case 0: return 0.0;
            case 1: return static_cast<double>(below(3));
            case 2: return 1e300 * (unit() - 0.5);
            case 3: return 5e-324 * static_cast<double>(below(4));
            case 4: return -0.0;
            default: return normal();
        }
    }
    double hostile() {
        switch (below(8)) {
            case 0: return std::numeric_limits<double>::quiet_NaN();
            case 1: return std::numeric_limits<double>::infinity();
            case 2: return -std::numeric_limits<double>::infinity();
            case 3: return std::numeric_limits<double>::max();
            case 4: return std::numeric_limits<double>::denorm_min();
            case 5: return 1.8446744073709552e19;
            case 6: return -1e300;
            default: return value();
        }
    }
    Data matrix(std::size_t rows, std::size_t cols) {
        Data d;
        d.rows = rows;
        d.cols = cols;
        d.v.resize(rows * cols);
        for (double& x : d.v) x = value();
        return d;
    }
    std::vector<double> labels(std::size_t n, std::uint64_t classes) {
        std::vector<double> y(n);
        for (double& v : y) v = static_cast<double>(below(classes));
        return y;
    }
    std::vector<double> targets(const Data& x) {
        std::vector<double> y(x.rows);
        for (std::size_t r = 0; r < x.rows; ++r) {
            y[r] = x.cols ? x.v[r * x.cols] * 2.0 + normal() * 0.1 : normal();
            if (!std::isfinite(y[r])) y[r] = 0.0;
        }
        return y;
    }
    std::vector<double> weights(std::size_t n) {
        std::vector<double> w(n);
        for (double& v : w) v = below(5) == 0 ? 0.0 : unit() * 3.0;
        return w;
    }
    std::string text() {
        static const char* texts[] = {"sqrt", "log2", "0.5", "1", "1.0", "2", "7", "nan", "inf",
                                      "-inf", "-1", "0", "1e308", "1e-320", "", " 0.5", "0x10",
                                      "NaN", "Infinity", "+.5", "5.", ".", "e5", "1e", "--1"};
        std::string s = texts[below(sizeof texts / sizeof texts[0])];
        if (below(4) == 0) s.push_back(static_cast<char>(below(256)));
        return s;
    }
};

// A shape of training data, ordinary or degenerate.
Data shaped(Gen& g, std::size_t variant) {
    switch (variant % 9) {
        case 0: return g.matrix(0, 3);
        case 1: return g.matrix(1, 2);
        case 2: return g.matrix(7, 0);
        case 3: {  // constant columns
            Data d = g.matrix(20, 3);
            for (std::size_t r = 0; r < d.rows; ++r) d.at(r, 1) = 4.0;
            return d;
        }
        case 4: {  // heavy ties
            Data d = g.matrix(30, 2);
            for (double& v : d.v) v = static_cast<double>(g.below(2));
            return d;
        }
        case 5: return g.matrix(300, 5);
        case 6: {  // extreme magnitudes whose midpoints overflow
            Data d = g.matrix(12, 2);
            for (std::size_t r = 0; r < d.rows; ++r) {
                d.at(r, 0) = (r % 2 ? 1.0 : -1.0) * std::numeric_limits<double>::max();
            }
            return d;
        }
        case 7: {  // continuous columns of more values than a byte numbers
            Data d = g.matrix(400 + g.below(300), 3);
            for (double& v : d.v) v = g.normal();
            return d;
        }
        default: return g.matrix(5 + g.below(60), 1 + g.below(6));
    }
}

// ---- tree engine ---------------------------------------------------------

void run_validation(Gen& g) {
    for (int i = 0; i < 400; ++i) {
        const double v = g.hostile();
        const std::string s = tw::format_number(v);
        CHECK(!s.empty());
        (void)tw::class_index(v);
        const std::string t = g.text();
        (void)tw::parse_float_strict(t);
        const std::optional<std::string> setting =
            g.below(5) == 0 ? std::nullopt : std::optional<std::string>(t);
        (void)tw::resolve_max_features(setting, g.below(40));
    }
    Data x = g.matrix(6, 3);
    std::vector<double> y(6, 1.0), w(6, 1.0);
    x.at(g.below(6), g.below(3)) = g.hostile();
    y[g.below(6)] = g.hostile();
    w[g.below(6)] = g.hostile();
    (void)tw::validate_finite(x.view(), y);
    (void)tw::validate_weights(w, 6);
    (void)tw::validate_weights(w, 7);
    // Uniform draws and shuffles at their bounds.
    for (std::uint64_t m : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{1} << 32,
                            std::numeric_limits<std::uint64_t>::max()}) {
        CHECK(tw::gen_range_u64(g.rng, m) < m);
    }
    CHECK(tw::gen_range_u32(g.rng, 1) == 0);
    std::vector<std::size_t> items(g.below(50));
    for (std::size_t i = 0; i < items.size(); ++i) items[i] = i;
    tw::shuffle(g.rng, items);
}

std::optional<std::uint64_t> maybe_count(Gen& g, std::uint64_t small) {
    switch (g.below(5)) {
        case 0: return std::nullopt;
        case 1: return std::numeric_limits<std::uint64_t>::max();
        default: return g.below(small);
    }
}

void check_predictions(const tw::DecisionTree& t, const Data& x) {
    answers("predict", [&] {
        auto p = t.predict(x.view());
        CHECK(p.size() == x.rows);
    });
    answers("predict_proba", [&] {
        auto p = t.predict_proba(x.view());
        const std::size_t m = t.classes() ? t.classes()->size() : 0;
        CHECK(p.size() == x.rows * m);
    });
    // Narrower and wider prediction matrices, and hostile values.
    Data narrow = x;
    if (narrow.cols > 0) {
        Data n2;
        n2.rows = x.rows;
        n2.cols = x.cols - 1;
        for (std::size_t r = 0; r < x.rows; ++r)
            for (std::size_t c = 0; c + 1 < x.cols; ++c) n2.v.push_back(x.v[r * x.cols + c]);
        answers("predict narrow", [&] { (void)t.predict(n2.view()); });
        answers("predict_proba narrow", [&] { (void)t.predict_proba(n2.view()); });
    }
    Gen g(x.rows * 31 + x.cols);
    Data odd = g.matrix(x.rows + 1, x.cols + 2);
    for (double& v : odd.v) v = g.hostile();
    answers("predict hostile", [&] { (void)t.predict(odd.view()); });
}

void corrupt_and_load(Gen& g, const std::string& state) {
    for (int i = 0; i < 60; ++i) {
        std::string s = state;
        switch (g.below(5)) {
            case 0: s.resize(g.below(s.size() + 1)); break;
            case 1:
                for (int k = 0; k < 3 && !s.empty(); ++k)
                    s[g.below(s.size())] ^= static_cast<char>(1u << g.below(8));
                break;
            case 2: s.push_back(static_cast<char>(g.below(256))); break;
            case 3:
                if (s.size() >= 8) {
                    const std::uint64_t v = g.below(2) ? std::numeric_limits<std::uint64_t>::max()
                                                       : (std::uint64_t{1} << (32 + g.below(31)));
                    std::memcpy(s.data() + g.below(s.size() - 7), &v, 8);
                }
                break;
            default:
                for (std::size_t k = 0; k < s.size(); ++k)
                    if (g.below(16) == 0) s[k] = static_cast<char>(g.below(256));
        }
        answers("load corrupted", [&] {
            tw::DecisionTree t = tw::DecisionTree::load(s);
            // A state that loads must answer every call.
            (void)t.get_depth();
            (void)t.get_n_leaves();
            Data x = g.matrix(4, 6);
            answers("predict loaded", [&] { (void)t.predict(x.view()); });
            answers("predict_proba loaded", [&] { (void)t.predict_proba(x.view()); });
        });
    }
}

void run_decision_tree(Gen& g, int round) {
    for (std::size_t variant = 0; variant < 9; ++variant) {
        Data x = shaped(g, variant + static_cast<std::size_t>(round));
        const bool classification = g.below(2) == 0;
        std::vector<double> y = classification ? g.labels(x.rows, 1 + g.below(4)) : g.targets(x);
        if (classification && x.rows > 0 && g.below(3) == 0) y[0] = 1.8446744073709552e19;
        std::optional<std::vector<double>> w;
        if (g.below(2)) w = g.weights(x.rows);
        tw::DecisionTree t(maybe_count(g, 8), "gini", classification ? "classification" : "regression",
                           g.rng.next_u64(), g.below(4), g.below(3));
        check_predictions(t, x);  // before fit
        std::optional<Vec> wv;
        if (w) wv = Vec(*w);
        answers("fit", [&] { t.fit(x.view(), y, wv); });
        check_predictions(t, x);
        (void)t.get_depth();
        (void)t.get_n_leaves();
        // Mismatched lengths must be refused, never read out of range.
        std::vector<double> short_y(y.begin(), y.end() - (y.empty() ? 0 : 1));
        answers("fit short y", [&] { t.fit(x.view(), short_y, std::nullopt); });
        std::vector<double> short_w(x.rows > 0 ? x.rows - 1 : 0, 1.0);
        answers("fit short w", [&] { t.fit(x.view(), y, Vec(short_w)); });
        Data bad = x;
        if (!bad.v.empty()) bad.v[g.below(bad.v.size())] = std::nan("");
        answers("fit nan", [&] { t.fit(bad.view(), y, std::nullopt); });
        check_predictions(t, x);
        const std::string state = t.save();
        answers("round trip", [&] {
            tw::DecisionTree back = tw::DecisionTree::load(state);
            CHECK(back.save() == state);
        });
        if (variant % 3 == 0) corrupt_and_load(g, state);
    }
    // A chain: each split peels one row, so the tree is as deep as the data.
    Data chain;
    chain.rows = 3000;
    chain.cols = 1;
    std::vector<double> y(chain.rows);
    for (std::size_t r = 0; r < chain.rows; ++r) {
        chain.v.push_back(static_cast<double>(r));
        y[r] = static_cast<double>(r % 2);
    }
    tw::DecisionTree deep(std::nullopt, "gini", "classification", 1, 2, 1);
    answers("deep fit", [&] { deep.fit(chain.view(), y, std::nullopt); });
    CHECK(deep.get_depth() >= 1);
    check_predictions(deep, chain);
    corrupt_and_load(g, deep.save());
}

// Rows of x without its last column (a prediction matrix that is too narrow).
Data narrower(const Data& x) {
    Data n;
    n.rows = x.rows;
    n.cols = x.cols ? x.cols - 1 : 0;
    for (std::size_t r = 0; r < x.rows; ++r)
        for (std::size_t c = 0; c < n.cols; ++c) n.v.push_back(x.v[r * x.cols + c]);
    return n;
}

Data with_hostile_values(Gen& g, const Data& x) {
    Data h = x;
    for (double& v : h.v)
        if (g.below(3) == 0) v = g.hostile();
    return h;
}

std::optional<std::string> maybe_text(Gen& g) {
    if (g.below(3) == 0) return std::nullopt;
    return g.text();
}

void run_histogram(Gen& g, int round) {
    for (std::size_t variant = 0; variant < 9; ++variant) {
        Data x = shaped(g, variant + static_cast<std::size_t>(round));
        std::vector<double> y = g.labels(x.rows, 3);
        std::vector<double> w = g.weights(x.rows);
        // Some columns become category codes (NaN kept as missing), split
        // by sets in both growers.
        std::vector<std::uint16_t> cats;
        if (g.below(3) == 0 && x.cols > 0) {
            cats.assign(x.cols, 0);
            for (std::size_t f = 0; f < x.cols; ++f) {
                if (g.below(2) != 0) continue;
                const std::size_t k = 1 + g.below(g.below(4) == 0 ? 255 : 12);
                cats[f] = static_cast<std::uint16_t>(k);
                for (std::size_t r = 0; r < x.rows; ++r) {
                    double& v = x.v[r * x.cols + f];
                    if (!(v != v) || k == 255) v = static_cast<double>(g.below(k));
                }
            }
        }
        answers("histogram", [&] {
            // Now and then more bins than a byte numbers (16-bit codes on
            // columns of many values), with either edge rule.
            const tw::BinSettings bins{g.below(2) == 0 ? 2 + g.below(tw::kWideBins - 1) : 256,
                                       g.below(2) == 0};
            tw::HistogramData h = tw::HistogramData::build(x.view(), cats, bins);
            CHECK(h.columns == x.cols && h.bins.size() == x.cols + h.twin_of.size());
            if (x.rows == 0) return;
            std::vector<std::size_t> boot(g.below(2 * x.rows + 1));
            for (std::size_t& b : boot) b = g.below(x.rows);
            tw::TreeParams p;
            p.max_depth = maybe_count(g, 6);
            p.max_features = g.below(2) ? std::nullopt : std::optional<std::uint64_t>(g.below(8));
            p.min_samples_split = g.below(4);
            p.min_samples_leaf = g.below(3);
            p.is_classification = g.below(2) == 0;
            p.missing_defaults = g.below(2) == 0;
            p.fast_growth = g.below(2) == 0;
            p.random_splits = g.below(5) == 0;
            if (g.below(5) == 0) p.max_leaf_nodes = 2 + g.below(20);
            tw::Tree t = tw::build_tree_on_bootstrap(x.view(), y, w, boot, p, g.rng, h);
            Data q = with_hostile_values(g, x);
            for (std::size_t r = 0; r < q.rows && x.cols >= t.n_features_used; ++r) {
                (void)t.predict(q.v.data() + r * q.cols);
                (void)t.traverse_proba(q.v.data() + r * q.cols, 4);
            }
            // The histogram grower's own settings.
            p.random_splits = false;
            p.max_leaf_nodes.reset();
            if (cats.empty()) {
                (void)tw::build_tree_on_bootstrap_exact(x.view(), y, w, boot, p, g.rng);
                return;
            }
            const tw::ExactMissing input = tw::ExactMissing::of(x.view(), cats);
            p.exact_twins = input.twin_of;
            p.categories = cats;
            tw::Tree e = tw::build_tree_on_bootstrap_exact(input.view, y, w, boot, p, g.rng);
            for (std::size_t r = 0; r < q.rows && x.cols >= e.n_features_used; ++r) {
                (void)e.predict(q.v.data() + r * q.cols);
            }
        });
    }
}

tw::ForestSettings forest_settings(Gen& g, bool parallel) {
    tw::ForestSettings s;
    s.n_estimators = parallel ? 4 + g.below(12) : g.below(6);
    s.max_depth = maybe_count(g, 8);
    s.max_features = maybe_text(g);
    s.bootstrap = g.below(3) != 0;
    s.random_state = g.below(4) == 0 ? std::nullopt : std::optional<std::uint64_t>(g.rng.next_u64());
    s.min_samples_split = g.below(4);
    s.min_samples_leaf = g.below(3);
    return s;
}

void run_forests(Gen& g, int round, bool parallel) {
    for (std::size_t variant = 0; variant < 9; ++variant) {
        Data x = shaped(g, variant + static_cast<std::size_t>(round));
        std::vector<double> labels = g.labels(x.rows, 1 + g.below(4));
        if (!parallel && x.rows > 1 && g.below(3) == 0) labels[1] = 1.8446744073709552e19;
        std::vector<double> targets = g.targets(x);
        std::optional<std::vector<double>> w;
        if (g.below(2)) w = g.weights(x.rows);
        std::optional<Vec> wv;
        if (w) wv = Vec(*w);
        Data q = with_hostile_values(g, x);
        Data nq = narrower(x);

        tw::RandomForestClassifier c(forest_settings(g, parallel));
        answers("forest predict unfitted", [&] { (void)c.predict(x.view()); });
        answers("forest classifier fit", [&] { c.fit(x.view(), labels, wv); });
        answers("forest predict_proba", [&] {
            auto p = c.predict_proba(q.view());
            CHECK(p.size() == q.rows * c.n_classes());
        });
        answers("forest predict", [&] { (void)c.predict(x.view()); });
        answers("forest score", [&] { (void)c.score(x.view(), labels); });
        answers("forest score short", [&] { (void)c.score(x.view(), Vec(labels).first(labels.size() / 2)); });
        answers("forest narrow", [&] { (void)c.predict_proba(nq.view()); });
        std::vector<double> short_y(labels.begin(), labels.begin() + labels.size() / 2);
        answers("forest short y", [&] { c.fit(x.view(), short_y, std::nullopt); });

        // The package door's classifier fits, 16-bit bins among them.
        tw::RandomForestClassifier rc(forest_settings(g, parallel));
        tw::FitOptions class_options;
        class_options.record = true;
        class_options.oob = g.below(2) == 0;
        class_options.fast_growth = g.below(2) == 0;
        class_options.random_splits = g.below(5) == 0;
        if (g.below(2) == 0) class_options.bins = tw::BinSettings{257 + g.below(5000), true};
        answers("recorded classifier fit", [&] { rc.fit(x.view(), labels, wv, class_options); });
        answers("recorded classifier proba", [&] { (void)rc.predict_proba(q.view()); });

        tw::RandomForestRegressor r(forest_settings(g, parallel));
        answers("forest regressor fit", [&] { r.fit(x.view(), targets, wv); });
        answers("forest regressor predict", [&] { (void)r.predict(q.view()); });
        answers("forest regressor narrow", [&] { (void)r.predict(nq.view()); });

        // The package door's recorded fit, with leaf samples: quantiles,
        // out-of-bag quantiles and intervals, on hostile rows and levels.
        tw::RandomForestRegressor rr(forest_settings(g, parallel));
        tw::FitOptions options;
        options.record = true;
        options.oob = g.below(2) == 0;
        options.fast_growth = g.below(2) == 0;
        if (g.below(2) == 0) options.bins = tw::BinSettings{257 + g.below(5000), true};
        if (x.rows > 0 && g.below(3) == 0) options.max_samples = 1 + g.below(x.rows);
        answers("recorded regressor fit", [&] { rr.fit(x.view(), targets, wv, options); });
        const std::vector<double> levels = {0.0, 0.5, 1.0, g.unit(), g.below(4) == 0 ? g.hostile() : 0.25};
        answers("regressor quantiles", [&] {
            auto out = rr.predict_quantiles(q.view(), levels);
            CHECK(out.size() == q.rows * levels.size());
        });
        answers("regressor oob quantiles", [&] { (void)rr.oob_quantiles(levels); });
        const double alpha = g.below(4) == 0 ? g.hostile() : 0.02 + 0.9 * g.unit();
        for (auto method : {tw::RandomForestRegressor::Interval::jackknife,
                            tw::RandomForestRegressor::Interval::quantile}) {
            answers("regressor interval", [&] {
                auto out = rr.predict_interval(q.view(), alpha, method);
                CHECK(out.size() == 2 * q.rows);
            });
        }
        answers("regressor quantiles narrow", [&] { (void)rr.predict_quantiles(nq.view(), levels); });
        answers("regressor samples round trip", [&] {
            auto back = tw::RandomForestRegressor::load(rr.save(), true);
            CHECK(back.has_leaf_samples() == rr.has_leaf_samples());
        });
        tw::FitOptions warm = options;
        warm.oob = false;
        warm.warm_start = &rr;
        tw::RandomForestRegressor grown(forest_settings(g, parallel));
        answers("regressor warm start", [&] {
            grown.fit(x.view(), targets, wv, warm);
            (void)grown.predict_interval(x.view(), 0.1, tw::RandomForestRegressor::Interval::quantile);
        });
    }
}

tw::boosting::BoostConfig boost_config(Gen& g, bool parallel) {
    tw::boosting::BoostConfig c;
    c.n_estimators = g.below(4);
    c.learning_rate = g.below(6) == 0 ? g.hostile() : 0.1 + g.unit();
    c.rf_n_estimators = parallel ? 4 + g.below(10) : g.below(5);
    c.rf_max_depth = maybe_count(g, 6);
    c.rf_max_features = maybe_text(g);
    c.bootstrap = g.below(3) != 0;
    c.random_state = g.below(4) == 0 ? std::nullopt : std::optional<std::uint64_t>(g.rng.next_u64());
    c.min_samples_split = g.below(4);
    c.min_samples_leaf = g.below(3);
    c.use_histogram = g.below(3) != 0;
    c.async_mode = parallel ? true : g.below(2) == 0;
    switch (g.below(5)) {
        case 0: c.tol = 0.0; break;
        case 1: c.tol = std::nan(""); break;
        case 2: c.tol = 1e300; break;
        case 3: c.tol = -1.0; break;
        default: c.tol = 1e-4;
    }
    return c;
}

void use_rounds(std::span<const tw::boosting::InternalRF> rounds) {
    (void)tw::boosting::compute_feature_importances(rounds);
    for (const auto& forest : rounds)
        for (const tw::Tree& t : forest.trees) {
            auto flat = tw::boosting::flatten_tree(t);
            CHECK(flat.value.size() == t.nodes.size());
        }
}

void run_boosting(Gen& g, int round, bool parallel) {
    const double alphas[] = {0.05, 0.01, 0.2, 0.0500005, -1.0, std::nan(""), 1e300};
    for (std::size_t variant = 0; variant < 9; ++variant) {
        Data x = shaped(g, variant + static_cast<std::size_t>(round));
        if (x.rows > 120) x.rows = 120, x.v.resize(x.rows * x.cols);
        std::vector<double> labels = g.labels(x.rows, 1 + g.below(3));
        std::vector<double> targets = g.targets(x);
        std::optional<std::vector<double>> w;
        if (g.below(2)) w = g.weights(x.rows);
        std::optional<Vec> wv;
        if (w) wv = Vec(*w);
        Data q = with_hostile_values(g, x);
        Data nq = narrower(x);

        tw::boosting::TarnwoodRegressor reg(boost_config(g, parallel), g.below(2) ? 0.2 : g.hostile());
        answers("boost regressor unfitted", [&] { (void)reg.predict(x.view()); });
        answers("boost regressor fit", [&] { reg.fit(x.view(), targets, wv); });
        answers("boost regressor predict", [&] { (void)reg.predict(q.view()); });
        for (double a : alphas) answers("boost regressor ci", [&] { (void)reg.predict_ci(x.view(), a); });
        answers("boost regressor narrow", [&] { (void)reg.predict(nq.view()); });
        answers("boost regressor importances", [&] { (void)reg.feature_importances(); });
        use_rounds(reg.rounds());

        // The package door's fits: its options, the fast growth among them.
        tw::boosting::BoostOptions options;
        options.missing_values = true;
        options.fast_growth = g.below(2) == 0;
        if (g.below(2)) options.max_leaf_nodes = 2 + g.below(20);
        tw::boosting::TarnwoodRegressor door_reg(boost_config(g, parallel), 0.2);
        answers("boost regressor fit with options",
                [&] { door_reg.fit(x.view(), targets, wv, options); });
        answers("boost regressor predict with options", [&] { (void)door_reg.predict(q.view()); });

        tw::boosting::TarnwoodClassifier clf(boost_config(g, parallel));
        answers("boost classifier fit", [&] { clf.fit(x.view(), labels, wv); });
        answers("boost classifier predict", [&] { (void)clf.predict(q.view()); });
        answers("boost classifier proba", [&] {
            auto p = clf.predict_proba(q.view());
            CHECK(p.size() == q.rows * clf.n_proba_columns());
        });
        for (double a : alphas) answers("boost classifier ci", [&] { (void)clf.predict_ci(x.view(), a); });
        answers("boost classifier narrow", [&] { (void)clf.predict_proba(nq.view()); });
        answers("boost classifier importances", [&] { (void)clf.feature_importances(); });
        use_rounds(clf.rounds());

        // A streaming round straight from the engine, with every stopping rule.
        if (x.rows > 0) {
            tw::boosting::BoostConfig cfg = boost_config(g, true);
            std::vector<double> unit(x.rows, 1.0);
            answers("streaming round", [&] {
                tw::TreeParams p = tw::boosting::make_tree_params(cfg, x.cols);
                std::optional<tw::HistogramData> h;
                if (cfg.use_histogram) h = tw::HistogramData::build(x.view());
                auto fitted = tw::boosting::fit_internal_rf_streaming(
                    x.view(), targets, unit, cfg.rf_n_estimators, p, cfg.tol, cfg.bootstrap,
                    g.rng, h ? &*h : nullptr, g.below(5), g.below(2) == 0);
                CHECK(fitted.predictions.size() == x.rows);
                CHECK(fitted.forest.trees.size() <= cfg.rf_n_estimators);
            });
        }
    }
}

void run_tree_shap(Gen& g, int round) {
    for (std::size_t variant = 0; variant < 9; ++variant) {
        Data x = shaped(g, variant + static_cast<std::size_t>(round));
        if (x.rows > 150) x.rows = 150, x.v.resize(x.rows * x.cols);
        const bool classification = g.below(2) == 0;
        std::vector<double> y = classification ? g.labels(x.rows, 1 + g.below(4)) : g.targets(x);
        tw::DecisionTree t(maybe_count(g, 7), "gini", classification ? "classification" : "regression",
                           g.rng.next_u64(), 2, 1);
        static const char* types[] = {"classification", "regression", "", "Classification"};
        const std::string model_type = types[g.below(4)];
        answers("shap unfitted", [&] { tw::TreeShap s(t, x.view(), model_type); });
        answers("shap fit", [&] { t.fit(x.view(), y, std::nullopt); });
        Data background = g.below(3) == 0 ? with_hostile_values(g, x) : x;
        if (g.below(4) == 0) background = narrower(background);
        answers("shap", [&] {
            tw::TreeShap s(t, background.view(), model_type);
            Data q = with_hostile_values(g, x);
            if (q.rows > 12) q.rows = 12, q.v.resize(q.rows * q.cols);
            for (auto m : {tw::TreeShap::Method::automatic, tw::TreeShap::Method::enumeration,
                           tw::TreeShap::Method::path}) {
                answers("shap explain", [&] {
                    auto v = s.explain(q.view(), m);
                    CHECK(v.size() == q.rows * s.n_outputs() * s.n_features());
                });
            }
            Data nq = narrower(q);
            answers("shap narrow", [&] { (void)s.explain(nq.view()); });
        });
    }
}

void run_unsupervised(Gen& g, int round, bool parallel) {
    for (std::size_t variant = 0; variant < 9; ++variant) {
        Data x = shaped(g, variant + static_cast<std::size_t>(round));
        if (x.rows > 80) x.rows = 80, x.v.resize(x.rows * x.cols);
        tw::UnsupervisedParams p;
        p.n_estimators = parallel ? 4 + g.below(12) : g.below(7);
        p.max_depth = maybe_count(g, 8);
        p.max_features = maybe_text(g);
        p.random_state = g.below(4) == 0 ? std::nullopt : std::optional<std::uint64_t>(g.rng.next_u64());
        p.min_samples_split = g.below(4);
        p.min_samples_leaf = g.below(3);
        p.n_neighbors = g.below(3) == 0 ? std::numeric_limits<std::uint64_t>::max() : g.below(5);
        tw::RandomForestUnsupervised u(p);
        answers("unsupervised unfitted", [&] { (void)u.proximity_matrix(true); });
        answers("unsupervised fit", [&] { u.fit(x.view()); });
        Data q = with_hostile_values(g, x);
        if (q.rows > 20) q.rows = 20, q.v.resize(q.rows * q.cols);
        Data nq = narrower(q);
        answers("proximity oob", [&] { (void)u.proximity_matrix(true).to_dense(); });
        answers("proximity all", [&] { (void)u.proximity_matrix(false).to_dense(); });
        for (std::optional<std::uint64_t> k : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
                                               std::optional<std::uint64_t>{3},
                                               std::optional<std::uint64_t>{std::numeric_limits<std::uint64_t>::max()}}) {
            answers("proximity sparse", [&] { (void)u.proximity_sparse(k); });
        }
        answers("predict proximity", [&] { (void)u.predict_proximity(q.view()).to_dense(); });
        answers("predict proximity narrow", [&] { (void)u.predict_proximity(nq.view()); });
        answers("outliers dense", [&] { (void)u.outlier_scores(false); });
        answers("outliers sparse", [&] { (void)u.outlier_scores(true); });
        answers("predict outliers", [&] { (void)u.predict_outlier_scores(q.view()); });
        answers("predict outliers narrow", [&] { (void)u.predict_outlier_scores(nq.view()); });
        if (!parallel) {
            for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{3}})
                answers("transform", [&] { (void)u.transform(k); });
            if (x.rows < 10) answers("transform wide", [&] { (void)u.transform(x.rows + 2); });
            answers("importances", [&] { (void)u.feature_importances(); });
        }
        // Refit with another width.
        Data other = g.matrix(x.rows ? x.rows : 3, x.cols + 1);
        answers("unsupervised refit", [&] { u.fit(other.view()); });
        answers("proximity after refit", [&] { (void)u.predict_proximity(q.view()); });
    }
}

}  // namespace

// Runs one section and reports its time on stderr.
template <class F>
void section(const char* name, F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "driver: %-14s %6.2f s\n", name, took.count());
}

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    for (int round = 0; round < rounds; ++round) {
        Gen g(0x5eed0000u + static_cast<std::uint64_t>(round));
        const bool parallel = mode == "parallel";
        if (!parallel) {
            section("validation", [&] { run_validation(g); });
            section("decision tree", [&] { run_decision_tree(g, round); });
        }
        if (!parallel) section("histogram", [&] { run_histogram(g, round); });
        section("forests", [&] { run_forests(g, round, parallel); });
        section("boosting", [&] { run_boosting(g, round, parallel); });
        if (!parallel) section("tree shap", [&] { run_tree_shap(g, round); });
        section("unsupervised", [&] { run_unsupervised(g, round, parallel); });
    }
    if (g_failures != 0) {
        std::fprintf(stderr, "driver: %d failures\n", g_failures);
        return 1;
    }
    std::printf("driver: ok\n");
    return 0;
}
