// Boosting rounds: planning and growing a round's forest on the pool (plain,
// or streaming with an early stop), and predicting with the rounds' forests.
#include "boosting/internal_rf.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "boosting/wilson.hpp"
#include "core/errors.hpp"
#include "core/validate.hpp"
#include "ensemble/bootstrap.hpp"
#include "ensemble/grow_loop.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"

namespace tw::boosting {

namespace {

Tree grow_tree(const MatrixView& x, Vec t, Vec w, std::span<const std::size_t> sample,
               const TreeParams& params, Rng& rng, const HistogramData* hist) {
    if (hist) return build_tree_on_bootstrap(x, t, w, sample, params, rng, *hist);
    if (params.missing_defaults && x.has_missing()) {
        // The exact grower's view of the missing values, per tree (exact
        // rounds copy x anyway as they sort it).
        const ExactMissing input = ExactMissing::of(x, params.categories);
        TreeParams with_twins = params;
        with_twins.exact_twins = input.twin_of;
        return build_tree_on_bootstrap_exact(input.view, t, w, sample, with_twins, rng);
    }
    return build_tree_on_bootstrap_exact(x, t, w, sample, params, rng);
}

// A grown tree with its predictions of the training and held rows, made by
// the task that grew it while the tree is in cache.
struct Grown {
    Tree tree;
    std::vector<double> predictions;
    std::vector<double> held;
};

// out[k] = the tree's value for row k of x, walking the rows' bin codes when
// the tree has a coded form on them (the same leaves as the values reach).
void predict_rows(const Tree& tree, const MatrixView& x, const ensemble::BinnedRows* codes,
                  double* out) {
    if (x.rows == 0) return;
    if (codes && ensemble::walk_binned(tree, *codes, x.rows, [](std::size_t k) { return k; },
                                       [&](std::size_t k, std::uint32_t leaf) {
                                           out[k] = tree.nodes[leaf].value;
                                       })) {
        return;
    }
    tree.predict_rows(x, out);
}

Grown grow_and_predict(const MatrixView& x, Vec t, Vec w, std::span<const std::size_t> sample,
                       const TreeParams& params, Rng& rng, const HistogramData* hist,
                       const RoundRows& rows) {
    Grown g{grow_tree(x, t, w, sample, params, rng, hist), std::vector<double>(x.rows),
            std::vector<double>(rows.held.rows)};
    predict_rows(g.tree, x, rows.train, g.predictions.data());
    predict_rows(g.tree, rows.held, rows.held_codes, g.held.data());
    return g;
}

// Per row, the trees' predictions summed in plan order and divided by the
// tree count.
std::vector<double> mean_of(const std::vector<Grown>& grown, std::size_t n,
                            std::vector<double> Grown::*which) {
    std::vector<double> out(n, 0.0);
    for (const Grown& g : grown) {
        const std::vector<double>& p = g.*which;
        for (std::size_t j = 0; j < n; ++j) out[j] += p[j];
    }
    const double count = static_cast<double>(grown.size());
    for (double& v : out) v = v / count;
    return out;
}

// The round of the grown trees (in plan order).
RoundFit average(std::vector<Grown>& grown, std::size_t n, std::size_t held) {
    RoundFit out;
    out.predictions = mean_of(grown, n, &Grown::predictions);
    out.held = mean_of(grown, held, &Grown::held);
    out.forest.trees.reserve(grown.size());
    for (Grown& g : grown) out.forest.trees.push_back(std::move(g.tree));
    return out;
}

// A round's planner. Rounds store their samples in the plans: a round has few
// trees, and keeping its samples is cheaper than drawing each one twice.
ensemble::BootstrapPlanner round_planner(Rng& rng, std::size_t n, bool bootstrap) {
    return ensemble::BootstrapPlanner(rng, {n, bootstrap, 0, true});
}

// The stopping check of a streaming round, run after the count-th tree
// (training-row predictions p) has been folded into the per-row means and
// spreads. tol > 0: the largest change of a row's mean that the last tree
// made is below tol. Otherwise at least 90% of the rows are settled: binary
// rounds (means are log-odds) by a 95% Wilson interval of the mean's
// probability, over count trials, that excludes 0.5; other rounds by a 95%
// confidence half-width of the mean below 5% of the means' range.
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
        for (std::size_t j = 0; j < n; ++j) {
            double q = 1.0 / (1.0 + std::exp(-mean[j]));
            if (q < 1e-6) q = 1e-6;
            if (q > 0.999999) q = 0.999999;
            const Interval ci = wilson_interval(q, nf, 1.96);
            if (ci.upper < 0.5 || ci.lower > 0.5) ++hits;
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

// Rows per chunk for row-parallel prediction: a few chunks per worker.
std::size_t row_grain(std::size_t n) {
    const std::size_t threads = tw::parallel::pool_size();
    const std::size_t per = n / (threads * 4 + 1);
    return per < 64 ? 64 : per;
}

// Row blocks of at most this many rows bound the per-block scratch space.
constexpr std::size_t kBlock = 1024;

// Adds, for rows [begin, end) of x, each tree's leaf value to sums[row - begin].
// Trees are the outer loop so that one tree stays in cache while a block of
// rows walks it; every row still sums its trees in tree order.
void add_tree_values(const InternalRF& forest, const MatrixView& x, std::size_t begin,
                     std::size_t end, double* sums) {
    const MatrixView block{x.row(begin), end - begin, x.cols, x.row_stride};
    double values[kBlock];
    for (const Tree& tree : forest.trees) {
        tree.predict_rows(block, values);
        for (std::size_t i = 0; i < end - begin; ++i) sums[i] += values[i];
    }
}

// Runs f(begin, end, sums) over row blocks of at most kBlock rows in
// parallel, sums being kBlock doubles of scratch space of the block.
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

InternalRF fit_internal_rf(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Rng& rng,
                           const HistogramData* hist) {
    ensemble::BootstrapPlanner planner = round_planner(rng, x.rows, bootstrap);
    InternalRF forest;
    forest.trees = ensemble::grow_forest(planner, n_trees,
                                         [&](std::size_t, std::span<const std::size_t> sample,
                                             Rng& tree_rng) {
                                             return grow_tree(x, t, w, sample, params, tree_rng,
                                                              hist);
                                         })
                       .results;
    return forest;
}

RoundFit fit_round(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                   const TreeParams& params, bool bootstrap, Rng& rng,
                   const HistogramData* hist, const RoundRows& rows) {
    const std::size_t n = x.rows;
    const std::size_t held = rows.held.rows;
    // Each task predicts the training and held rows with its own tree right
    // after growing it; this needs vectors per tree, so very large rounds
    // predict in a separate row-parallel pass instead.
    constexpr std::size_t kInTaskLimit = std::size_t{1} << 22;  // doubles
    if (n_trees == 0 || n + held > kInTaskLimit / n_trees) {
        RoundFit out;
        out.forest = fit_internal_rf(x, t, w, n_trees, params, bootstrap, rng, hist);
        out.predictions = predict_forest(out.forest, x);
        out.held = predict_forest(out.forest, rows.held);
        return out;
    }
    ensemble::BootstrapPlanner planner = round_planner(rng, n, bootstrap);
    std::vector<Grown> grown =
        ensemble::grow_forest(planner, n_trees,
                              [&](std::size_t, std::span<const std::size_t> sample, Rng& tree_rng) {
                                  return grow_and_predict(x, t, w, sample, params, tree_rng, hist,
                                                          rows);
                              })
            .results;
    return average(grown, n, held);
}

RoundFit fit_internal_rf_streaming(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                                   const TreeParams& params, double tol, bool bootstrap,
                                   Rng& rng, const HistogramData* hist,
                                   std::size_t min_check, bool binary, const RoundRows& rows) {
    const std::size_t n = x.rows;
    ensemble::BootstrapPlanner planner = round_planner(rng, n, bootstrap);

    // Running per-row mean and sum of squared deviations (Welford) of the
    // folded trees' predictions.
    std::vector<double> mean(n, 0.0);
    std::vector<double> spread(n, 0.0);
    std::vector<Grown> kept = ensemble::grow_until(
        planner, n_trees,
        [&](std::size_t, std::span<const std::size_t> sample, Rng& tree_rng) {
            return grow_and_predict(x, t, w, sample, params, tree_rng, hist, rows);
        },
        [&](const Grown& g, std::size_t count) {
            const std::vector<double>& p = g.predictions;
            const double nf = static_cast<double>(count);
            for (std::size_t j = 0; j < n; ++j) {
                const double d = p[j] - mean[j];
                mean[j] = mean[j] + d / nf;
                spread[j] = spread[j] + d * (p[j] - mean[j]);
            }
            return count >= 2 && count >= min_check &&
                   stopping_check(mean, spread, p, count, tol, binary);
        });

    return average(kept, n, rows.held.rows);
}

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

PackedRounds::PackedRounds(std::span<const InternalRF> forests) {
    std::vector<Tree> trees;
    for (const InternalRF& forest : forests) {
        trees.insert(trees.end(), forest.trees.begin(), forest.trees.end());
        group_end_.push_back(trees.size());
    }
    forest_ = PackedForest::values(trees);
    if (forest_.missing_left()) trees_ = std::move(trees);
}

std::vector<double> PackedRounds::scores(const MatrixView& x, std::span<const double> init,
                                         std::size_t outputs, double learning_rate) const {
    if (outputs == 0) throw InternalError("boosted scores need at least one output");
    if (init.size() < outputs) throw InternalError("fewer starting scores than outputs");
    std::vector<double> out(x.rows * outputs);
    for (std::size_t i = 0; i < x.rows; ++i) std::copy_n(init.data(), outputs, out.data() + i * outputs);
    // Blocks whose codes (a byte per column) stay in a core's cache while
    // they descend every tree.
    const std::size_t fit = std::max<std::size_t>((256 * 1024) / (x.cols + 8 * outputs + 8), 64);
    const std::size_t grain = std::min(row_grain(x.rows), fit);
    tw::parallel::parallel_chunks(x.rows, grain, [&](std::size_t b, std::size_t e) {
        forest_.add_group_means(x, b, e, group_end_, learning_rate, outputs, trees_,
                                out.data() + b * outputs);
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
