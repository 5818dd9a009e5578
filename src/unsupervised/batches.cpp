// Planned unsupervised forests grown in batches: the plan of fit() (its
// master generator before the column shuffles, and per tree the generator
// before its sample and its tree seed), the combined matrix's bins made from
// the real rows' bins, batches of trees grown on those bins alone, and their
// installation with the training rows, which gives exactly fit()'s model.
//
// The combined matrix's column j is the real column followed by the real
// values in the order of the column's shuffle, so its bins are the real
// bins followed by the same bins shuffled, and its sorted values are the
// real column's sorted values each twice: the edges of a column stacked on
// itself are the combined column's edges.
#include <algorithm>

#include "core/errors.hpp"
#include "core/serialize.hpp"
#include "ensemble/bootstrap.hpp"
#include "grow/grow.hpp"
#include "histogram/histogram.hpp"
#include "parallel/control.hpp"
#include "parallel/pool.hpp"
#include "random_forest/batches.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {
namespace {

constexpr const char* kPlanTag = "UnsupervisedPlan";
constexpr const char* kBatchTag = "UnsupervisedBatch";
constexpr std::uint32_t kVersion = 1;

struct Plan {
    Rng master;  // before the column shuffles
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::vector<Rng> draws;
    std::vector<std::uint64_t> seeds;

    std::string save() const {
        Writer w(kPlanTag, kVersion);
        write_rng(w, master);
        w.u64(rows);
        w.u64(cols);
        w.u64(seeds.size());
        for (std::size_t t = 0; t < seeds.size(); ++t) {
            write_rng(w, draws[t]);
            w.u64(seeds[t]);
        }
        return w.bytes();
    }

    static Plan load(std::string_view state) {
        Reader r(state, kPlanTag, kVersion);
        Plan p;
        p.master = read_rng(r);
        p.rows = r.u64();
        p.cols = r.u64();
        if (p.rows == 0 || p.rows > (std::uint64_t{1} << 29) || p.cols == 0 ||
            p.cols > (std::uint64_t{1} << 26)) {
            Reader::fail("plan shape out of range");
        }
        const std::uint64_t n = r.count(40);
        for (std::uint64_t t = 0; t < n; ++t) {
            p.draws.push_back(read_rng(r));
            p.seeds.push_back(r.u64());
        }
        r.finish();
        return p;
    }
};

}  // namespace

std::string RandomForestUnsupervised::plan_batches(std::size_t rows, std::size_t cols) const {
    if (rows == 0 || cols == 0) throw ValueError("X must have at least one row and one column");
    if (rows > (std::size_t{1} << 29)) throw ValueError("X has too many rows");
    Plan plan;
    plan.rows = rows;
    plan.cols = cols;
    // fit()'s draws in fit()'s order: the shuffles, then the tree plans.
    Rng master = seed_rng(params_.random_state);
    plan.master = master;
    plan_columns(master, rows, cols);
    ensemble::BootstrapOptions options = tree_plan_options(rows);
    options.oob_rows = 0;  // the merge lists them again
    options.store_samples = false;
    ensemble::BootstrapPlanner planner(master, options);
    const std::size_t n_trees = static_cast<std::size_t>(params_.n_estimators);
    for (std::size_t t = 0; t < n_trees; ++t) {
        const ensemble::TreePlan p = planner.next();
        plan.draws.push_back(p.draws);
        plan.seeds.push_back(p.seed);
    }
    return plan.save();
}

std::vector<std::uint8_t> RandomForestUnsupervised::combined_bins(
    std::string_view state, std::span<const std::uint8_t> real_bins) {
    const Plan plan = Plan::load(state);
    const std::size_t n = static_cast<std::size_t>(plan.rows);
    const std::size_t p = static_cast<std::size_t>(plan.cols);
    if (real_bins.size() != n * p) throw ValueError("bins must hold every row of every feature");
    Rng master = plan.master;
    const std::vector<std::vector<std::size_t>> perms = plan_columns(master, n, p);
    std::vector<std::uint8_t> out(2 * n * p);
    for (std::size_t j = 0; j < p; ++j) {
        const std::uint8_t* real = real_bins.data() + j * n;
        std::uint8_t* column = out.data() + j * 2 * n;
        std::copy_n(real, n, column);
        for (std::size_t i = 0; i < n; ++i) column[n + i] = real[perms[j][i]];
    }
    return out;
}

std::string RandomForestUnsupervised::grow_batch(std::string_view state,
                                                 std::span<const std::uint8_t> bins,
                                                 const std::vector<std::vector<double>>& edges,
                                                 std::size_t first, std::size_t end) const {
    const Plan plan = Plan::load(state);
    const std::size_t n = static_cast<std::size_t>(plan.rows);
    const std::size_t p = static_cast<std::size_t>(plan.cols);
    if (plan.seeds.size() != params_.n_estimators) {
        throw ValueError("the plan was drawn for other forest settings");
    }
    if (first > end || end > plan.seeds.size()) throw ValueError("tree range outside the plan");
    if (edges.size() != p) throw ValueError("edges must list one array per feature");
    const HistogramData hist = histogram_of_bins(bins, 2 * n, edges);
    std::vector<double> y(2 * n, 0.0);
    std::fill_n(y.begin(), n, 1.0);
    const std::vector<double> w(2 * n, 1.0);
    // Bins only: growth on NaN-free bins never reads the values.
    const MatrixView cview{nullptr, 2 * n, p, p};
    const TreeParams tp = tree_params(params_.max_depth, params_.max_features, p,
                                      params_.min_samples_split, params_.min_samples_leaf, true);
    ensemble::BootstrapOptions options = tree_plan_options(n);
    options.oob_rows = 0;
    options.store_samples = false;
    parallel::RunControl* const control = parallel::current_control();
    std::vector<Tree> trees(end - first);
    parallel::parallel_for(end - first, [&](std::size_t i) {
        std::vector<std::size_t> sample;
        ensemble::replay_sample(plan.draws[first + i], options, sample);
        Rng rng = seed_rng(plan.seeds[first + i]);
        trees[i] = build_tree_on_bootstrap(cview, y, w, sample, tp, rng, hist);
        parallel::note_done(control);
    });
    Writer out(kBatchTag, kVersion);
    out.u64(first);
    out.trees(trees);
    return out.bytes();
}

void RandomForestUnsupervised::merge_batches(std::string_view state,
                                             std::span<const std::string_view> batches,
                                             const MatrixView& x) {
    const Plan plan = Plan::load(state);
    check_training_rows(x);
    if (x.rows != plan.rows || x.cols != plan.cols) {
        throw ValueError("X does not have the shape the plan was drawn for");
    }
    const std::size_t total = plan.seeds.size();
    if (total != params_.n_estimators) throw ValueError("the plan was drawn for other forest settings");
    std::vector<std::vector<Tree>> parsed(batches.size());
    std::vector<std::uint64_t> firsts(batches.size());
    parallel::parallel_for(batches.size(), [&](std::size_t b) {
        Reader r(batches[b], kBatchTag, kVersion);
        firsts[b] = r.u64();
        parsed[b] = r.trees();
        r.finish();
        for (const Tree& t : parsed[b]) {
            check_leaf_kind(t, true);
            if (t.nodes.empty() || t.nodes[0].n_samples != 2 * plan.rows ||
                t.n_features_used > plan.cols) {
                Reader::fail("a batch tree does not match its plan");
            }
        }
    });
    std::vector<Tree> trees;
    trees.reserve(total);
    for (std::size_t b = 0; b < parsed.size(); ++b) {
        if (firsts[b] != trees.size() || parsed[b].size() > total - trees.size()) {
            throw ValueError("batches must hold the plan's trees in order, each once");
        }
        for (Tree& t : parsed[b]) trees.push_back(std::move(t));
    }
    if (trees.size() != total) throw ValueError("batches must hold every tree of the plan");
    // Each tree's out-of-bag rows, as its plan listed them in fit().
    std::vector<std::vector<std::uint32_t>> oob_sets(total);
    parallel::parallel_for(total, [&](std::size_t t) {
        Rng draws = plan.draws[t];
        ensemble::BootstrapOptions options = tree_plan_options(x.rows);
        options.store_samples = false;
        ensemble::BootstrapPlanner planner(draws, options);
        oob_sets[t] = planner.next().oob;
    });
    install(x, std::move(trees), std::move(oob_sets));
}

}  // namespace tw
