#include "boosting/classifier.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "boosting/early_stop.hpp"
#include "boosting/importances.hpp"
#include "boosting/regressor.hpp"
#include "boosting/wilson.hpp"
#include "histogram/histogram.hpp"
#include "core/errors.hpp"
#include "core/rng.hpp"
#include "core/validate.hpp"

namespace tw::boosting {

namespace {

constexpr double kProbLow = 1e-5;
constexpr double kProbHigh = 0.99999;

double clamp_prob(double p) {
    if (p < kProbLow) p = kProbLow;
    if (p > kProbHigh) p = kProbHigh;
    return p;
}

// Logistic function as used at prediction time.
double sigmoid(double t) { return 1.0 / (std::exp(-t) + 1.0); }

}  // namespace

void softmax(std::span<const double> scores, std::span<double> out) {
    if (scores.empty()) return;
    double top = -INFINITY;
    for (double v : scores) {
        if (v > top) top = v;  // NaN never wins the comparison
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < scores.size(); ++j) {
        out[j] = std::exp(scores[j] - top);
        sum += out[j];
    }
    for (std::size_t j = 0; j < scores.size(); ++j) out[j] = out[j] / sum;
}

TarnwoodClassifier::TarnwoodClassifier(BoostConfig config) : config_(std::move(config)) {}

void TarnwoodClassifier::check_fitted() const {
    if (!is_fitted_) throw ValueError("TarnwoodClassifier has not been fitted");
}

namespace {

// Weighted mean log-loss of held rows with raw scores f (rows x outputs; one
// log-odds column for two classes), probabilities kept in [1e-15, 1 - 1e-15].
double held_log_loss(std::span<const double> f, std::span<const std::uint64_t> cls, Vec w,
                     std::size_t outputs) {
    const auto clip = [](double p) { return std::min(std::max(p, 1e-15), 1.0 - 1e-15); };
    double loss = 0.0;
    double total = 0.0;
    std::vector<double> q(outputs);
    for (std::size_t i = 0; i < cls.size(); ++i) {
        double p;
        if (outputs == 1) {
            const double p1 = 1.0 / (1.0 + std::exp(-f[i]));
            p = cls[i] == 1 ? p1 : 1.0 - p1;
        } else {
            softmax(f.subspan(i * outputs, outputs), q);
            p = q[cls[i]];
        }
        loss -= w[i] * std::log(clip(p));
        total += w[i];
    }
    return total > 0.0 ? loss / total : loss;
}

}  // namespace

void TarnwoodClassifier::fit(const MatrixView& x_in, Vec y_in, std::optional<Vec> sample_weight,
                             const BoostOptions& options) {
    const std::vector<double> weights = checked_fit_inputs(
        x_in, y_in, sample_weight, options.missing_values ? Refuse::infinite : Refuse::non_finite);
    check_categories(x_in, options.categories);
    if (x_in.rows == 0) throw ValueError("TarnwoodClassifier cannot be fitted on zero samples");
    check_config_for_fit(config_);
    check_options(options);

    std::vector<std::uint64_t> cls(x_in.rows);
    for (std::size_t i = 0; i < x_in.rows; ++i) cls[i] = class_index(y_in[i]);
    const std::vector<std::uint64_t> distinct = distinct_classes(y_in);
    if (distinct.back() != distinct.size() - 1) {
        std::string found;
        for (std::size_t i = 0; i < distinct.size() && i < 10; ++i) {
            if (i) found += ", ";
            found += std::to_string(distinct[i]);
        }
        if (distinct.size() > 10) found += ", ...";
        throw ValueError("class labels must be 0, 1, ..., K-1 with every class present; found {" +
                         found + "}");
    }
    const std::size_t k_classes = distinct.size();
    const std::size_t outputs = k_classes == 2 ? 1 : k_classes;

    const TreeParams params = make_tree_params(config_, options, x_in.cols);
    Rng rng = seed_rng(config_.random_state);

    // Held rows for early stopping, drawn per class.
    MatrixView x = x_in;
    std::vector<double> w_fit = weights;
    std::optional<DenseMatrix> x_fit, x_held;
    std::vector<std::uint64_t> cls_held;
    std::vector<double> w_held;
    if (options.validation_fraction > 0.0) {
        HeldSplit split = split_held(x_in.rows, options.validation_fraction, rng, cls);
        if (!split.held.empty() && !split.fit.empty()) {
            x_fit = DenseMatrix::gather(x_in, split.fit);
            x_held = DenseMatrix::gather(x_in, split.held);
            x = x_fit->view();
            w_fit = gather(weights, split.fit);
            w_held = gather(weights, split.held);
            std::vector<std::uint64_t> fit_cls(split.fit.size());
            for (std::size_t i = 0; i < split.fit.size(); ++i) fit_cls[i] = cls[split.fit[i]];
            cls_held.resize(split.held.size());
            for (std::size_t i = 0; i < split.held.size(); ++i) cls_held[i] = cls[split.held[i]];
            cls = std::move(fit_cls);
        }
    }
    const std::size_t n = x.rows;
    const Vec w = w_fit;
    double total_w = 0.0;
    for (std::size_t i = 0; i < n; ++i) total_w += w[i];

    // The rows are binned once; every round reads the same bins.
    std::optional<HistogramData> hist;
    std::optional<ensemble::BinnedRows> codes, held_codes;
    if (config_.use_histogram) {
        hist = HistogramData::build(x, params.categories, options.bins);
        codes = ensemble::BinnedRows::of(*hist, n);
        if (x_held) held_codes = ensemble::BinnedRows::of_values(*hist, x_held->view());
    }
    const HistogramData* h = hist ? &*hist : nullptr;
    RoundRows rows;
    rows.train = codes ? &*codes : nullptr;
    if (x_held) rows.held = x_held->view();
    rows.held_codes = held_codes ? &*held_codes : nullptr;
    const std::size_t n_held = rows.held.rows;

    const std::size_t min_check = min_check_count(config_.rf_n_estimators);
    const std::size_t n_trees = static_cast<std::size_t>(config_.rf_n_estimators);
    const double lr = config_.learning_rate;

    auto fit_one_rf = [&](const std::vector<double>& z, const std::vector<double>& v) {
        return config_.async_mode
                   ? fit_internal_rf_streaming(x, z, v, n_trees, params, config_.tol,
                                               config_.bootstrap, rng, h, min_check, true, rows)
                   : fit_round(x, z, v, n_trees, params, config_.bootstrap, rng, h, rows);
    };

    std::vector<double> init;
    std::vector<InternalRF> rounds;
    std::vector<std::uint64_t> trees_used;
    std::vector<double> z(n), v(n);
    EarlyStop early(options.n_iter_no_change);
    std::vector<double> f_held;
    // After a round: true when the held rows stop the fit.
    const auto stops = [&] {
        if (n_held == 0) return false;
        const double loss = held_log_loss(f_held, cls_held, w_held, outputs);
        return std::isnan(loss) || early.stop_after(loss);
    };

    if (k_classes == 2) {
        double prior = 0.5;
        if (total_w > 0.0) {
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) sum += w[i] * static_cast<double>(cls[i]);
            prior = sum / total_w;
        }
        prior = clamp_prob(prior);
        init.push_back(std::log(prior / (1.0 - prior)));
        std::vector<double> f(n, init[0]);
        f_held.assign(n_held, init[0]);
        for (std::uint64_t round = 0; round < config_.n_estimators; ++round) {
            for (std::size_t i = 0; i < n; ++i) {
                const double p = clamp_prob(1.0 / (1.0 + std::exp(-f[i])));
                const double hess = p * (1.0 - p);
                z[i] = (static_cast<double>(cls[i]) - p) / hess;
                v[i] = hess * w[i];
            }
            RoundFit fitted = fit_one_rf(z, v);
            trees_used.push_back(fitted.forest.trees.size());
            for (std::size_t i = 0; i < n; ++i) f[i] += lr * fitted.predictions[i];
            for (std::size_t i = 0; i < n_held; ++i) f_held[i] += lr * fitted.held[i];
            rounds.push_back(std::move(fitted.forest));
            if (stops()) break;
        }
    } else {
        const std::size_t k = k_classes;
        init.assign(k, std::log(1e-5));
        if (total_w > 0.0) {
            for (std::size_t c = 0; c < k; ++c) {
                double s = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    if (cls[i] == c) s += w[i];
                }
                init[c] = std::log(clamp_prob(s / total_w));
            }
        }
        std::vector<double> f(n * k);
        for (std::size_t i = 0; i < n; ++i) std::copy(init.begin(), init.end(), f.begin() + i * k);
        f_held.resize(n_held * k);
        for (std::size_t i = 0; i < n_held; ++i) {
            std::copy(init.begin(), init.end(), f_held.begin() + i * k);
        }
        std::vector<double> q(k);
        for (std::uint64_t round = 0; round < config_.n_estimators; ++round) {
            for (std::size_t c = 0; c < k; ++c) {
                for (std::size_t i = 0; i < n; ++i) {
                    softmax(std::span<const double>(f.data() + i * k, k), q);
                    const double p = clamp_prob(q[c]);
                    const double hess = p * (1.0 - p);
                    z[i] = ((cls[i] == c ? 1.0 : 0.0) - p) / hess;
                    v[i] = hess * w[i];
                }
                RoundFit fitted = fit_one_rf(z, v);
                if (c == 0) trees_used.push_back(fitted.forest.trees.size());
                for (std::size_t i = 0; i < n; ++i) f[i * k + c] += lr * fitted.predictions[i];
                for (std::size_t i = 0; i < n_held; ++i) f_held[i * k + c] += lr * fitted.held[i];
                rounds.push_back(std::move(fitted.forest));
            }
            if (stops()) break;
        }
    }
    if (n_held > 0 && early.best_rounds() > 0) {
        trees_used.resize(early.best_rounds());
        rounds.resize(early.best_rounds() * outputs);
    }

    init_ = std::move(init);
    rounds_ = std::move(rounds);
    trees_used_ = std::move(trees_used);
    options_ = options;
    n_classes_ = k_classes;
    finish_model();
    n_features_ = x.cols;
    is_fitted_ = true;
}

void TarnwoodClassifier::finish_model() {
    columns_read_ = columns_read(rounds_);
    packed_ = PackedRounds(rounds_);
}

std::vector<double> TarnwoodClassifier::raw_scores(const MatrixView& x) const {
    check_width(x, columns_read_);
    return packed_.scores(x, init_, init_.size(), config_.learning_rate);
}

std::vector<double> TarnwoodClassifier::predict(const MatrixView& x) const {
    check_fitted();
    const std::vector<double> raw = raw_scores(x);
    std::vector<double> out(x.rows);
    if (n_classes_ == 2) {
        for (std::size_t i = 0; i < x.rows; ++i) out[i] = sigmoid(raw[i]) > 0.5 ? 1.0 : 0.0;
        return out;
    }
    const std::size_t k = init_.size();
    std::vector<double> q(k);
    for (std::size_t i = 0; i < x.rows; ++i) {
        softmax(std::span<const double>(raw.data() + i * k, k), q);
        std::size_t best = 0;
        for (std::size_t j = 1; j < k; ++j) {
            if (q[j] >= q[best]) best = j;
        }
        out[i] = static_cast<double>(best);
    }
    return out;
}

std::vector<double> TarnwoodClassifier::predict_proba(const MatrixView& x) const {
    check_fitted();
    const std::vector<double> raw = raw_scores(x);
    if (n_classes_ == 2) {
        std::vector<double> out(x.rows * 2);
        for (std::size_t i = 0; i < x.rows; ++i) {
            const double p = sigmoid(raw[i]);
            out[2 * i] = 1.0 - p;
            out[2 * i + 1] = p;
        }
        return out;
    }
    const std::size_t k = init_.size();
    std::vector<double> out(x.rows * k);
    for (std::size_t i = 0; i < x.rows; ++i) {
        softmax(std::span<const double>(raw.data() + i * k, k),
                std::span<double>(out.data() + i * k, k));
    }
    return out;
}

std::vector<double> TarnwoodClassifier::predict_ci(const MatrixView& x, double alpha) const {
    check_fitted();
    if (n_classes_ != 2) throw ValueError("predict_ci only supports binary classification");
    std::size_t total_trees = 0;
    for (const InternalRF& forest : rounds_) total_trees += forest.trees.size();
    if (total_trees == 0) throw ValueError("predict_ci needs a model with at least one tree");

    // Two-sided normal quantile of alpha rounded up to 0.01, 0.05 or 0.1;
    // larger alphas use 0.2.
    const double z = alpha <= 0.01 ? 2.576 : alpha <= 0.05 ? 1.96 : alpha <= 0.1 ? 1.645 : 1.28;
    const double n = static_cast<double>(total_trees);
    const std::vector<double> proba = predict_proba(x);
    std::vector<double> out(x.rows * 2);
    for (std::size_t i = 0; i < x.rows; ++i) {
        const Interval ci = wilson_interval(proba[2 * i + 1], n, z);
        out[2 * i] = ci.lower;
        out[2 * i + 1] = ci.upper;
    }
    return out;
}

std::vector<double> TarnwoodClassifier::feature_importances() const {
    check_fitted();
    return compute_feature_importances(rounds_);
}

}  // namespace tw::boosting
