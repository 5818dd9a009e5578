#include "boosting/internal_rf.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>

#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "core/validate.hpp"

namespace tw::boosting {

namespace {

// Rows per chunk for row-parallel prediction: a few chunks per worker.
std::size_t row_grain(std::size_t n) {
    const std::size_t threads = tw::parallel::pool_size();
    const std::size_t per = n / (threads * 4 + 1);
    return per < 64 ? 64 : per;
}

}  // namespace

DenseMatrix DenseMatrix::copy_of(const MatrixView& x) {
    DenseMatrix m;
    m.rows = x.rows;
    m.cols = x.cols;
    m.data.resize(x.rows * x.cols);
    for (std::size_t i = 0; i < x.rows; ++i) {
        std::copy_n(x.row(i), x.cols, m.data.data() + i * x.cols);
    }
    return m;
}

DenseMatrix DenseMatrix::gather(const MatrixView& x, std::span<const std::size_t> which) {
    DenseMatrix m;
    m.rows = which.size();
    m.cols = x.cols;
    m.data.resize(m.rows * m.cols);
    for (std::size_t i = 0; i < which.size(); ++i) {
        if (which[i] >= x.rows) throw InternalError("row index out of range");
        std::copy_n(x.row(which[i]), x.cols, m.data.data() + i * x.cols);
    }
    return m;
}

std::vector<TreePlan> plan_trees(std::size_t n, std::size_t n_trees, bool bootstrap, Rng& rng) {
    std::vector<TreePlan> plans(n_trees);
    for (TreePlan& plan : plans) {
        plan.rows.resize(n);
        if (bootstrap) {
            for (std::size_t i = 0; i < n; ++i) {
                plan.rows[i] = static_cast<std::size_t>(gen_range_u64(rng, n));
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) plan.rows[i] = i;
        }
        plan.seed = rng.next_u64();
    }
    return plans;
}

Tree grow_planned_tree(const TreePlan& plan, const MatrixView& x, Vec t, Vec w,
                       const TreeParams& params, const HistogramData* hist) {
    Rng rng = seed_rng(plan.seed);
    if (hist) return build_tree_on_bootstrap(x, t, w, plan.rows, params, rng, *hist);
    return build_tree_on_bootstrap_exact(x, t, w, plan.rows, params, rng);
}

InternalRF fit_internal_rf(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Rng& rng,
                           const HistogramData* hist) {
    const std::vector<TreePlan> plans = plan_trees(x.rows, n_trees, bootstrap, rng);
    InternalRF forest;
    forest.trees.resize(n_trees);
    tw::parallel::parallel_for(n_trees, [&](std::size_t i) {
        forest.trees[i] = grow_planned_tree(plans[i], x, t, w, params, hist);
    });
    return forest;
}

InternalRF fit_internal_rf(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Rng& rng,
                           bool use_histogram) {
    const DenseMatrix copy = DenseMatrix::copy_of(x);
    std::optional<HistogramData> hist;
    if (use_histogram) hist = HistogramData::build(copy.view());
    return fit_internal_rf(copy.view(), t, w, n_trees, params, bootstrap, rng,
                           hist ? &*hist : nullptr);
}

RoundFit fit_round(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                   const TreeParams& params, bool bootstrap, Rng& rng,
                   const HistogramData* hist) {
    RoundFit out;
    const std::size_t n = x.rows;
    // Each task predicts the training rows with its own tree right after
    // growing it, while the tree is in cache; this needs one vector per tree,
    // so very large rounds predict in a separate row-parallel pass instead.
    constexpr std::size_t kInTaskLimit = std::size_t{1} << 22;  // doubles
    if (n_trees == 0 || n > kInTaskLimit / n_trees) {
        out.forest = fit_internal_rf(x, t, w, n_trees, params, bootstrap, rng, hist);
        out.predictions = predict_forest(out.forest, x);
        return out;
    }
    const std::vector<TreePlan> plans = plan_trees(n, n_trees, bootstrap, rng);
    out.forest.trees.resize(n_trees);
    std::vector<std::vector<double>> per_tree(n_trees);
    tw::parallel::parallel_for(n_trees, [&](std::size_t i) {
        Tree tree = grow_planned_tree(plans[i], x, t, w, params, hist);
        std::vector<double> p(n);
        if (n > 0) tree.predict_rows(x, p.data());
        out.forest.trees[i] = std::move(tree);
        per_tree[i] = std::move(p);
    });
    // Per row: trees summed in plan order, then divided by the tree count.
    out.predictions.assign(n, 0.0);
    for (const std::vector<double>& p : per_tree) {
        for (std::size_t j = 0; j < n; ++j) out.predictions[j] += p[j];
    }
    const double count = static_cast<double>(n_trees);
    for (double& v : out.predictions) v = v / count;
    return out;
}

namespace {

// The stopping check of a streaming round, run under both statistics locks
// after the N-th counted tree (predictions p) has been folded in.
bool stopping_check(std::span<const double> mean, std::span<const double> spread,
                    std::span<const double> p, std::size_t count, double tol, bool binary) {
    const std::size_t n = mean.size();
    const double nf = static_cast<double>(count);
    if (tol > 0.0) {
        double largest = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double prev = (mean[j] * nf - p[j]) / (nf - 1.0);
            const double change = std::fabs(p[j] - prev) / nf;
            if (change > largest) largest = change;
        }
        return largest < tol;
    }
    std::size_t hits = 0;
    if (binary) {
        const double z = 1.96;
        const double z2 = z * z;
        const double denom = 1.0 + z2 / nf;
        for (std::size_t j = 0; j < n; ++j) {
            double q = 1.0 / (1.0 + std::exp(-mean[j]));
            if (q < 1e-6) q = 1e-6;
            if (q > 0.999999) q = 0.999999;
            const double center = (q + z2 / (2.0 * nf)) / denom;
            const double half = z * std::sqrt(q * (1.0 - q) / nf + z2 / (4.0 * nf * nf)) / denom;
            const double upper = std::min(center + half, 1.0);
            const double lower = std::max(center - half, 0.0);
            if (upper < 0.5 || lower > 0.5) ++hits;
        }
    } else {
        double hi = -INFINITY;
        double lo = INFINITY;
        for (std::size_t j = 0; j < n; ++j) {
            hi = std::max(hi, mean[j]);
            lo = std::min(lo, mean[j]);
        }
        const double range = std::max(hi - lo, 1e-10);
        const double threshold = 0.05 * range;
        for (std::size_t j = 0; j < n; ++j) {
            if (1.96 * std::sqrt(spread[j] / (nf - 1.0) / nf) < threshold) ++hits;
        }
    }
    return static_cast<double>(hits) / static_cast<double>(n) >= 0.9;
}

struct Finished {
    std::size_t plan = 0;
    Tree tree;
    std::vector<double> predictions;
};

}  // namespace

RoundFit fit_internal_rf_streaming(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                                   const TreeParams& params, double tol, bool bootstrap,
                                   Rng& rng, const HistogramData* hist,
                                   std::size_t min_check, bool binary) {
    const std::size_t n = x.rows;
    const std::vector<TreePlan> plans = plan_trees(n, n_trees, bootstrap, rng);

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> finished{0};
    std::mutex mean_lock;
    std::mutex spread_lock;
    std::mutex results_lock;
    std::vector<double> mean(n, 0.0);
    std::vector<double> spread(n, 0.0);
    std::vector<Finished> results;
    results.reserve(n_trees);

    tw::parallel::parallel_for(n_trees, [&](std::size_t i) {
        if (stop.load(std::memory_order_acquire)) return;
        Tree tree = grow_planned_tree(plans[i], x, t, w, params, hist);
        if (stop.load(std::memory_order_acquire)) return;
        std::vector<double> p(n);
        if (n > 0) tree.predict_rows(x, p.data());

        const std::size_t count = finished.fetch_add(1, std::memory_order_acq_rel) + 1;
        {
            std::lock_guard<std::mutex> hold_mean(mean_lock);
            std::lock_guard<std::mutex> hold_spread(spread_lock);
            const double nf = static_cast<double>(count);
            for (std::size_t j = 0; j < n; ++j) {
                const double d = p[j] - mean[j];
                mean[j] = mean[j] + d / nf;
                spread[j] = spread[j] + d * (p[j] - mean[j]);
            }
            if (count >= 2 && count >= min_check &&
                stopping_check(mean, spread, p, count, tol, binary)) {
                stop.store(true, std::memory_order_release);
            }
        }
        std::lock_guard<std::mutex> hold_results(results_lock);
        results.push_back(Finished{i, std::move(tree), std::move(p)});
    });

    std::sort(results.begin(), results.end(),
              [](const Finished& a, const Finished& b) { return a.plan < b.plan; });

    RoundFit out;
    out.predictions.assign(n, 0.0);
    for (const Finished& r : results) {
        for (std::size_t j = 0; j < n; ++j) out.predictions[j] += r.predictions[j];
    }
    const double kept = static_cast<double>(results.size());
    for (double& v : out.predictions) v = v / kept;
    out.forest.trees.reserve(results.size());
    for (Finished& r : results) out.forest.trees.push_back(std::move(r.tree));
    return out;
}

namespace {

// Adds, for rows [begin, end) of x, each tree's leaf value to sums[row - begin].
// Trees are the outer loop so that one tree stays in cache while a block of
// rows walks it; every row still sums its trees in tree order.
// Row blocks of at most this many rows bound the per-block scratch space.
constexpr std::size_t kBlock = 1024;

void add_tree_values(const InternalRF& forest, const MatrixView& x, std::size_t begin,
                     std::size_t end, double* sums) {
    const MatrixView block{x.row(begin), end - begin, x.cols, x.row_stride};
    double values[kBlock];
    for (const Tree& tree : forest.trees) {
        tree.predict_rows(block, values);
        for (std::size_t i = 0; i < end - begin; ++i) sums[i] += values[i];
    }
}

template <class F>
void for_row_blocks(std::size_t n, F&& f) {
    std::size_t grain = row_grain(n);
    if (grain > kBlock) grain = kBlock;
    tw::parallel::parallel_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        double sums[kBlock];
        f(b, e, sums);
    });
}

}  // namespace

std::vector<double> predict_forest(const InternalRF& forest, const MatrixView& x) {
    std::vector<double> out(x.rows);
    const double count = static_cast<double>(forest.trees.size());
    for_row_blocks(x.rows, [&](std::size_t b, std::size_t e, double* sums) {
        std::fill(sums, sums + (e - b), 0.0);
        add_tree_values(forest, x, b, e, sums);
        for (std::size_t i = b; i < e; ++i) out[i] = sums[i - b] / count;
    });
    return out;
}

std::vector<double> predict_boosted(std::span<const InternalRF> rounds, double init,
                                    double learning_rate, const MatrixView& x) {
    std::vector<double> out(x.rows, init);
    for_row_blocks(x.rows, [&](std::size_t b, std::size_t e, double* sums) {
        for (const InternalRF& forest : rounds) {
            const double count = static_cast<double>(forest.trees.size());
            std::fill(sums, sums + (e - b), 0.0);
            add_tree_values(forest, x, b, e, sums);
            for (std::size_t i = b; i < e; ++i) out[i] += learning_rate * (sums[i - b] / count);
        }
    });
    return out;
}

std::vector<double> get_raw_predictions(std::span<const InternalRF> forests,
                                        std::span<const double> init, const MatrixView& x,
                                        std::size_t k, double learning_rate) {
    if (k == 0) throw InternalError("get_raw_predictions needs at least one output");
    if (init.size() < k) throw InternalError("fewer starting scores than outputs");
    std::vector<double> out(x.rows * k);
    for (std::size_t i = 0; i < x.rows; ++i) std::copy_n(init.data(), k, out.data() + i * k);
    for_row_blocks(x.rows, [&](std::size_t b, std::size_t e, double* sums) {
        for (std::size_t f = 0; f < forests.size(); ++f) {
            const double count = static_cast<double>(forests[f].trees.size());
            std::fill(sums, sums + (e - b), 0.0);
            add_tree_values(forests[f], x, b, e, sums);
            for (std::size_t i = b; i < e; ++i) {
                out[i * k + f % k] += learning_rate * (sums[i - b] / count);
            }
        }
    });
    return out;
}

std::uint64_t columns_read(std::span<const InternalRF> forests) {
    std::uint64_t needed = 0;
    for (const InternalRF& forest : forests) {
        for (const Tree& tree : forest.trees) needed = std::max(needed, tree.n_features_used);
    }
    return needed;
}

void check_width(const MatrixView& x, std::uint64_t needed) {
    if (x.rows > 0) require_width(x, needed, "x", "the fitted model reads column");
}

}  // namespace tw::boosting
