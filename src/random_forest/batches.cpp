// Plans, batches and merges of planned forests (random_forest/batches.hpp).
// A batch grows its trees through the same per-tree growth as a local fit
// (recorded_parts.hpp), on bins only: growth on bins of columns without
// missing values never reads values, and the walks of trees without a coded
// form read stand-in values made from the bins (upper_edge_values).
#include "random_forest/batches.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "parallel/control.hpp"
#include "parallel/pool.hpp"
#include "random_forest/recorded_parts.hpp"

namespace tw {
namespace {

using recorded::u32;

constexpr const char* kPlanTag = "ForestPlan";
constexpr const char* kBatchTag = "ForestBatch";
constexpr std::uint32_t kVersion = 1;

void write_options(Writer& w, const FitOptions& o) {
    w.flag(o.oob);
    w.opt_u64(o.max_samples);
    w.flag(o.balanced_subsample);
    w.f64(o.min_impurity_decrease);
    w.flag(o.random_splits);
    w.opt_u64(o.max_leaf_nodes);
    w.u8(o.criterion == split::Criterion::kEntropy ? 1 : 0);
    w.flag(o.missing_values);
    w.flag(o.fast_growth);
}

FitOptions read_options(Reader& r) {
    FitOptions o;
    o.record = true;
    o.oob = r.flag();
    o.max_samples = r.opt_u64();
    o.balanced_subsample = r.flag();
    o.min_impurity_decrease = r.f64();
    o.random_splits = r.flag();
    o.max_leaf_nodes = r.opt_u64();
    const std::uint8_t c = r.u8();
    if (c > 1) Reader::fail("unknown criterion");
    o.criterion = c == 1 ? split::Criterion::kEntropy : split::Criterion::kGini;
    o.missing_values = r.flag();
    o.fast_growth = r.flag();
    return o;
}

void write_payload(Writer& w, const recorded::OobPayload& p) {
    w.u32s(p.rows);
    w.u32s(p.slot);
    w.f64s(p.value);
    w.u32s(p.share_begin);
    w.u32s(p.share_class);
    w.f64s(p.share);
}

// A payload read back, checked so that folding it stays in range.
recorded::OobPayload read_payload(Reader& r, std::size_t rows, std::size_t n_classes) {
    recorded::OobPayload p;
    p.rows = r.u32s();
    p.slot = r.u32s();
    p.value = r.f64s();
    p.share_begin = r.u32s();
    p.share_class = r.u32s();
    p.share = r.f64s();
    if (p.slot.size() != p.rows.size()) Reader::fail("out-of-bag payload sizes differ");
    const std::size_t slots = n_classes == 0 ? p.value.size()
                                             : (p.share_begin.empty() ? 0 : p.share_begin.size() - 1);
    if ((n_classes == 0) != p.share_begin.empty() || p.share_class.size() != p.share.size()) {
        Reader::fail("out-of-bag payload of the wrong kind");
    }
    for (std::size_t k = 0; k < p.rows.size(); ++k) {
        if (p.rows[k] >= rows || p.slot[k] >= slots) Reader::fail("out-of-bag row out of range");
    }
    for (std::size_t s = 0; s + 1 < p.share_begin.size(); ++s) {
        if (p.share_begin[s] > p.share_begin[s + 1]) Reader::fail("out-of-bag shares out of order");
    }
    if (!p.share_begin.empty() && p.share_begin.back() > p.share.size()) {
        Reader::fail("out-of-bag shares out of range");
    }
    for (u32 c : p.share_class) {
        if (c >= n_classes) Reader::fail("out-of-bag class out of range");
    }
    return p;
}

// Row-major values standing for the binned rows: each value is its bin's
// upper edge. For a column without missing values, "value <= edge k" holds
// for a row exactly when "bin <= k" does, as it does for the row's true
// value, so walks of trees grown on these bins reach the same leaves.
std::vector<double> upper_edge_values(const HistogramData& hist, std::size_t rows) {
    const std::size_t cols = hist.columns;
    std::vector<double> out(rows * cols);
    for (std::size_t f = 0; f < cols; ++f) {
        const std::uint8_t* bins = hist.bins[f].data();
        const double* edges = hist.bin_edges[f].data();
        for (std::size_t r = 0; r < rows; ++r) out[r * cols + f] = edges[bins[r]];
    }
    return out;
}

bool all_ones(std::span<const double> w) {
    return std::all_of(w.begin(), w.end(), [](double v) { return v == 1.0; });
}

void check_targets(Vec y, std::span<const double> weights, std::size_t rows) {
    if (y.size() != rows || weights.size() != rows) {
        throw ValueError("y and sample_weight must have one entry per training row (" +
                         std::to_string(rows) + ")");
    }
    for (double v : y) {
        if (!std::isfinite(v)) throw ValueError("y contains NaN or infinity");
    }
    if (auto message = validate_weights(weights, rows)) throw ValueError(*message);
}

}  // namespace

ensemble::BootstrapOptions ForestPlan::sample_options() const {
    ensemble::BootstrapOptions o{static_cast<std::size_t>(rows), bootstrap, 0, false};
    if (options.max_samples) o.draws = static_cast<std::size_t>(*options.max_samples);
    return o;
}

std::string ForestPlan::save() const {
    Writer w(kPlanTag, kVersion);
    write_options(w, options);
    w.u64(rows);
    w.u64(cols);
    w.flag(bootstrap);
    write_rng(w, after);
    w.u64(seeds.size());
    for (std::size_t t = 0; t < seeds.size(); ++t) {
        write_rng(w, draws[t]);
        w.u64(seeds[t]);
    }
    return w.bytes();
}

ForestPlan ForestPlan::load(std::string_view state) {
    Reader r(state, kPlanTag, kVersion);
    ForestPlan p;
    p.options = read_options(r);
    p.rows = r.u64();
    p.cols = r.u64();
    p.bootstrap = r.flag();
    if (p.rows == 0 || p.rows > 0xFFFFFFFFull) Reader::fail("plan rows out of range");
    if (p.options.max_samples && (*p.options.max_samples < 1 || *p.options.max_samples > p.rows)) {
        Reader::fail("plan sample size out of range");
    }
    p.after = read_rng(r);
    const std::uint64_t n = r.count(40);
    p.draws.reserve(n);
    p.seeds.reserve(n);
    for (std::uint64_t t = 0; t < n; ++t) {
        p.draws.push_back(read_rng(r));
        p.seeds.push_back(r.u64());
    }
    r.finish();
    return p;
}

HistogramData histogram_of_bins(std::span<const std::uint8_t> bins, std::size_t rows,
                                std::vector<std::vector<double>> edges,
                                std::vector<std::vector<double>> values) {
    const std::size_t cols = edges.size();
    if (bins.size() != rows * cols) throw ValueError("bins must hold every row of every feature");
    HistogramData h;
    h.columns = cols;
    h.bins.resize(cols);
    h.n_bins.resize(cols);
    h.nan_free.assign(cols, 1);
    h.twin_index.assign(cols, HistogramData::kNoTwin);
    for (std::size_t f = 0; f < cols; ++f) {
        const std::vector<double>& e = edges[f];
        if (e.empty() || e.size() > 256 || e.back() != std::numeric_limits<double>::infinity() ||
            !std::is_sorted(e.begin(), e.end()) ||
            std::adjacent_find(e.begin(), e.end()) != e.end()) {
            throw ValueError("bin edges of feature " + std::to_string(f) +
                             " must be 1 to 256 ascending values ending with +inf");
        }
        const std::uint8_t* column = bins.data() + f * rows;
        const std::uint8_t top = *std::max_element(column, column + rows);
        if (rows > 0 && top >= e.size()) {
            throw ValueError("a bin of feature " + std::to_string(f) + " is outside its edges");
        }
        h.bins[f].assign(column, column + rows);
        h.n_bins[f] = e.size();
    }
    if (!values.empty() && values.size() != cols) {
        throw ValueError("bin values must list one array per feature");
    }
    for (std::size_t f = 0; f < values.size(); ++f) {
        const std::vector<double>& v = values[f];
        const std::vector<double>& e = edges[f];
        if (!v.empty() && v.size() != e.size()) {
            throw ValueError("bin values of feature " + std::to_string(f) +
                             " must be empty or one per bin");
        }
        for (std::size_t b = 0; b < v.size(); ++b) {
            if (!std::isnan(v[b]) && !((b == 0 || v[b] > e[b - 1]) && v[b] <= e[b])) {
                throw ValueError("a bin value of feature " + std::to_string(f) +
                                 " is outside its bin");
            }
        }
    }
    h.bin_edges = std::move(edges);
    h.bin_values = std::move(values);
    return h;
}

ForestPlan ForestCore::plan_batches(std::size_t rows, std::size_t cols,
                                    const FitOptions& options) const {
    if (rows == 0) throw ValueError("a planned forest needs at least one training row");
    if (options.warm_start) throw ValueError("a planned forest cannot warm start");
    check_fit_options(rows, options);
    ForestPlan plan;
    plan.options = options;
    plan.options.record = true;
    plan.rows = rows;
    plan.cols = cols;
    plan.bootstrap = s_.bootstrap;
    // The planner of fit_recorded, with the same generator and options.
    Rng forest = seed_rng(s_.random_state);
    ensemble::BootstrapPlanner planner(forest, plan.sample_options());
    const std::size_t total = static_cast<std::size_t>(s_.n_estimators);
    plan.draws.reserve(total);
    plan.seeds.reserve(total);
    for (std::size_t t = 0; t < total; ++t) {
        ensemble::TreePlan p = planner.next();
        plan.draws.push_back(p.draws);
        plan.seeds.push_back(p.seed);
    }
    plan.after = forest;
    return plan;
}

std::string ForestCore::grow_batch(const HistogramData& hist, Vec y,
                                   std::span<const double> weights, const ForestPlan& plan,
                                   std::size_t first, std::size_t end) const {
    const std::size_t n = static_cast<std::size_t>(plan.rows);
    const std::size_t cols = static_cast<std::size_t>(plan.cols);
    if (hist.bins.size() != cols || (cols > 0 && hist.bins[0].size() != n)) {
        throw ValueError("the binned matrix does not have the plan's shape");
    }
    if (first > end || end > plan.trees()) throw ValueError("tree range outside the plan");
    if (plan.trees() != s_.n_estimators || plan.bootstrap != s_.bootstrap) {
        throw ValueError("the plan was drawn for other forest settings");
    }
    check_targets(y, weights, n);
    const FitOptions& options = plan.options;
    const std::vector<std::uint64_t> classes =
        classification_ ? distinct_classes(y) : std::vector<std::uint64_t>{};
    const std::size_t n_classes = classes.size();
    const std::vector<u32> dense = dense_classes(y, classes, options);
    const bool leaf_weights = !classification_ && !all_ones(weights);
    const bool keep_samples = !classification_ && n <= LeafSamples::kMaxRows;
    std::optional<LeafSamples> samples;
    if (keep_samples) samples = LeafSamples::ranked(y, weights);
    std::optional<recorded::BinnedRows> binned;
    std::vector<double> values;  // for trees without a coded form
    if (options.oob || leaf_weights || keep_samples) {
        binned = recorded::BinnedRows::of(hist, n);
        values = upper_edge_values(hist, n);
    }
    const MatrixView x{values.empty() ? nullptr : values.data(), n, cols, cols};
    const TreeParams params = recorded_params(cols, options);
    grow::ScratchPool scratch;
    const recorded::TreeGrowth growth{x,       y,   weights, dense, n_classes, params, hist,
                                      binned ? &*binned : nullptr, leaf_weights, options.oob,
                                      samples, &scratch};
    const ensemble::BootstrapOptions sample_options = plan.sample_options();
    parallel::RunControl* const control = parallel::current_control();
    std::vector<recorded::Grown> grown(end - first);
    parallel::parallel_for(end - first, [&](std::size_t i) {
        std::vector<std::size_t> sample;
        ensemble::replay_sample(plan.draws[first + i], sample_options, sample);
        Rng rng = seed_rng(plan.seeds[first + i]);
        grown[i] = growth(sample, rng);
        parallel::note_done(control);
    });

    Writer w(kBatchTag, kVersion);
    w.u64(first);
    w.u64(end - first);
    for (const recorded::Grown& g : grown) {
        w.tree(g.tree);
        w.f64s(g.leaf_weight);
        w.u32s(g.samples.begin);
        w.u32s(g.samples.entries);
        if (options.oob) write_payload(w, g.oob);
    }
    return w.bytes();
}

void ForestCore::merge_batches(const ForestPlan& plan, std::span<const std::string_view> batches,
                               std::uint64_t data_hash, Vec y, std::span<const double> weights,
                               std::span<const std::uint64_t> classes) {
    const std::size_t n = static_cast<std::size_t>(plan.rows);
    const std::size_t total = plan.trees();
    if (total != s_.n_estimators || plan.bootstrap != s_.bootstrap) {
        throw ValueError("the plan was drawn for other forest settings");
    }
    check_targets(y, weights, n);
    const FitOptions& options = plan.options;
    const std::size_t n_classes = classification_ ? classes.size() : 0;
    const bool keep_samples = !classification_ && n <= LeafSamples::kMaxRows;
    const std::uint64_t positions = s_.bootstrap ? plan.sample_options().sample_size() : 0;

    // Batches are read apart (on the pool), then joined in tree order.
    struct Parsed {
        std::uint64_t first = 0;
        std::vector<Tree> trees;
        std::vector<std::vector<double>> leaf_weight;
        std::vector<TreeSamples> samples;
        std::vector<recorded::OobPayload> oob;
    };
    std::vector<Parsed> parsed(batches.size());
    parallel::parallel_for(batches.size(), [&](std::size_t b) {
        Reader r(batches[b], kBatchTag, kVersion);
        Parsed& p = parsed[b];
        p.first = r.u64();
        const std::uint64_t count = r.count(8);
        if (count > total) Reader::fail("a batch holds more trees than its plan");
        for (std::uint64_t k = 0; k < count; ++k) {
            Tree tree = r.tree();
            check_leaf_kind(tree, classification_);
            const std::uint64_t sample = positions != 0 ? positions : n;
            if (tree.nodes.empty() || tree.nodes[0].n_samples != sample ||
                tree.n_features_used > plan.cols) {
                Reader::fail("a batch tree does not match its plan");
            }
            std::vector<double> lw = r.f64s();
            if (!lw.empty() && lw.size() != tree.nodes.size()) {
                Reader::fail("leaf weights do not match the tree");
            }
            TreeSamples ts;
            ts.begin = r.u32s();
            ts.entries = r.u32s();
            if (keep_samples) p.samples.push_back(std::move(ts));
            if (options.oob) p.oob.push_back(read_payload(r, n, n_classes));
            p.leaf_weight.push_back(std::move(lw));
            p.trees.push_back(std::move(tree));
        }
        r.finish();
    });

    std::vector<Tree> trees;
    FitRecord record;
    std::optional<LeafSamples> samples;
    if (keep_samples) samples = LeafSamples::ranked(y, weights);
    recorded::OobSums sums{n_classes > 0 ? n_classes : 1, {}, {}};
    if (options.oob) {
        sums.sum.assign(n * sums.width, 0.0);
        sums.count.assign(n, 0);
    }
    trees.reserve(total);
    for (Parsed& p : parsed) {
        if (p.first != trees.size() || p.trees.size() > total - trees.size()) {
            throw ValueError("batches must hold the plan's trees in order, each once");
        }
        for (std::size_t k = 0; k < p.trees.size(); ++k) {
            if (samples) samples->trees.push_back(std::move(p.samples[k]));
            if (options.oob) sums.add(p.oob[k]);
            record.draws.push_back(TreeDraws{plan.draws[trees.size()], positions});
            record.leaf_weight.push_back(std::move(p.leaf_weight[k]));
            trees.push_back(std::move(p.trees[k]));
        }
        Parsed().trees.swap(p.trees);
    }
    if (trees.size() != total) throw ValueError("batches must hold every tree of the plan");
    if (samples) {
        std::vector<std::uint64_t> sizes(total, positions != 0 ? positions : n);
        samples->check(trees, sizes);
    }
    record.samples = std::move(samples);
    record.forest = plan.after;
    record.rows = n;
    record.cols = plan.cols;
    record.data_hash = data_hash;
    record.mixed = false;
    install(std::move(trees), std::move(record),
            options.oob ? recorded::oob_means(sums, n) : OobPredictions{}, n_classes,
            options.criterion);
}

void RandomForestClassifier::merge(const ForestPlan& plan,
                                   std::span<const std::string_view> batches,
                                   std::uint64_t data_hash, Vec y,
                                   std::span<const double> weights) {
    std::vector<std::uint64_t> classes = distinct_classes(y);
    merge_batches(plan, batches, data_hash, y, weights, classes);
    classes_ = std::move(classes);
}

void RandomForestRegressor::merge(const ForestPlan& plan,
                                  std::span<const std::string_view> batches,
                                  std::uint64_t data_hash, Vec y,
                                  std::span<const double> weights) {
    merge_batches(plan, batches, data_hash, y, weights, {});
}

}  // namespace tw
