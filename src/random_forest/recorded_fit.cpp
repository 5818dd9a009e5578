// Fits with a fit record (random_forest.hpp): bootstrap samples of any size,
// class weights balanced per sample, warm starts, the in-bag weights of
// regression leaves, and out-of-bag predictions folded in tree order while
// the trees grow.
//
// A tree's out-of-bag rows are walked down it on the worker that grew it;
// the leaves they reach and the leaves' payloads (class shares or values)
// form the tree's payload, which an InOrderFold (ensemble/in_order.hpp) adds
// to the per-row sums in tree order. Warm starts add the kept trees'
// payloads first, from their replayed samples, so a forest grown in two
// steps sums exactly as one grown at once.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <string>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "ensemble/binned_rows.hpp"
#include "ensemble/bootstrap.hpp"
#include "ensemble/grow_loop.hpp"
#include "ensemble/in_order.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"
#include "random_forest/recorded_parts.hpp"
#include "tree/packed.hpp"
#include "tree/walk.hpp"

namespace tw {

using recorded::BinnedRows;
using recorded::Grown;
using recorded::OobPayload;
using recorded::OobSums;
using recorded::TreeGrowth;
using recorded::oob_means;
using recorded::u32;

namespace {

// Bytes of row-major codes a fit lays out for its working sets alone.
constexpr std::size_t kRowCodesBudget = std::size_t{1} << 26;

// Calls emit(k, leaf) for rows[k] of x: on their bin bytes when the tree's
// thresholds are edges of the bins (trees grown on them), else on values.
template <class Emit>
void walk_listed(const Tree& tree, const MatrixView& x, const BinnedRows* binned,
                 const std::vector<u32>& rows, Emit&& emit,
                 std::span<const std::int16_t> ranks = {}) {
    if (binned && walk_binned(tree, *binned, rows.size(),
                              [&](std::size_t k) { return static_cast<std::size_t>(rows[k]); },
                              emit, ranks)) {
        return;
    }
    if (tree.nodes.size() <= 1) {
        for (std::size_t k = 0; k < rows.size(); ++k) emit(k, 0u);
        return;
    }
    // Batches grow from bins alone (x has no values then).
    if (!x.data) throw InternalError("a tree grown on bins cannot be walked on them");
    tree.walk_rows(rows.size(), [&](std::size_t k) { return x.row(rows[k]); }, emit);
}

// walk_listed, or the leaves already known for every row (`known`, when
// not empty).
template <class Emit>
void leaves_listed(const Tree& tree, const MatrixView& x, const BinnedRows* binned,
                   const std::vector<u32>& rows, std::span<const u32> known, Emit&& emit) {
    if (known.empty()) {
        walk_listed(tree, x, binned, rows, emit);
        return;
    }
    for (std::size_t k = 0; k < rows.size(); ++k) emit(k, known[rows[k]]);
}

OobPayload oob_payload(const Tree& tree, const MatrixView& x, const BinnedRows* hist,
                       const std::vector<u32>& counts, std::size_t n_classes,
                       std::span<const u32> known = {}) {
    OobPayload p;
    p.rows = ensemble::undrawn_rows(counts);
    p.slot.resize(p.rows.size());
    std::vector<u32> slot_of(tree.nodes.size(), std::numeric_limits<u32>::max());
    u32 slots = 0;
    if (n_classes > 0) p.share_begin.push_back(0);
    leaves_listed(tree, x, hist, p.rows, known, [&](std::size_t k, u32 leaf) {
            if (slot_of[leaf] == std::numeric_limits<u32>::max()) {
                slot_of[leaf] = slots++;
                if (n_classes == 0) {
                    p.value.push_back(tree.nodes[leaf].value);
                } else {
                    // The quotients of Tree::leaf_proba, zero shares left out.
                    const std::span<const ClassWeight> cw = tree.leaf_weights(leaf);
                    double total = 0.0;
                    for (const ClassWeight& e : cw) total += e.weight;
                    if (tree.nodes[leaf].has_class_weights && total > 0.0) {
                        for (const ClassWeight& e : cw) {
                            if (e.cls >= n_classes) continue;
                            p.share_class.push_back(static_cast<u32>(e.cls));
                            p.share.push_back(e.weight / total);
                        }
                    }
                    p.share_begin.push_back(static_cast<u32>(p.share.size()));
                }
            }
        p.slot[k] = slot_of[leaf];
    });
    return p;
}

// Per node, the in-bag weight (draws times row weight) of the rows reaching
// each leaf, rows added in ascending order.
std::vector<double> in_bag_leaf_weight(const Tree& tree, const MatrixView& x,
                                       const BinnedRows* hist, Vec w,
                                       const std::vector<u32>& counts,
                                       std::span<const u32> known = {}) {
    std::vector<u32> rows;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        if (counts[r] != 0) rows.push_back(static_cast<u32>(r));
    }
    std::vector<u32> leaves(rows.size());
    leaves_listed(tree, x, hist, rows, known,
                  [&](std::size_t k, u32 leaf) { leaves[k] = leaf; });
    return leaf_weights(tree.nodes.size(), rows, leaves, w, counts);
}

bool all_ones(std::span<const double> w) {
    return std::all_of(w.begin(), w.end(), [](double v) { return v == 1.0; });
}

// Sample weights times the class weights balanced over the sample: class c
// weighs positions / (classes present * positions of class c).
void balance_sample(std::span<const double> weights, const std::vector<u32>& dense,
                    std::size_t n_classes, std::span<const std::size_t> sample,
                    std::vector<double>& out) {
    std::vector<std::uint64_t> per_class(n_classes, 0);
    for (std::size_t r : sample) ++per_class[dense[r]];
    std::uint64_t present = 0;
    for (std::uint64_t c : per_class) present += c != 0 ? 1 : 0;
    std::vector<double> factor(n_classes, 0.0);
    for (std::size_t c = 0; c < n_classes; ++c) {
        if (per_class[c] != 0) {
            factor[c] = static_cast<double>(sample.size()) /
                        (static_cast<double>(present) * static_cast<double>(per_class[c]));
        }
    }
    out.resize(weights.size());
    for (std::size_t r = 0; r < weights.size(); ++r) out[r] = weights[r] * factor[dense[r]];
}

// The leaf every row reaches (all_rows lists 0 .. rows - 1).
// The fit's bins: random splits draw among byte codes, so their fits keep
// at most 256 bins a feature.
BinSettings fit_bins(const FitOptions& options) {
    BinSettings bins = options.bins;
    if (options.random_splits) bins.max_bins = std::min(bins.max_bins, kNarrowBins);
    return bins;
}

std::vector<u32> leaf_of_every_row(const Tree& tree, const MatrixView& x, const BinnedRows* hist,
                                   const std::vector<u32>& all_rows) {
    std::vector<u32> leaves(all_rows.size());
    walk_listed(tree, x, hist, all_rows, [&](std::size_t k, u32 leaf) { leaves[k] = leaf; });
    return leaves;
}

}  // namespace

namespace recorded {

Grown TreeGrowth::operator()(std::span<const std::size_t> sample, Rng& rng) const {
    const std::size_t n = x.rows;
    Vec w = weights;
    std::vector<double> balanced;
    if (!dense.empty()) {
        balance_sample(weights, dense, n_classes, sample, balanced);
        w = balanced;
    }
    Grown g;
    // With leaf samples every row's leaf is found once, for all uses: the
    // grower hands over the drawn rows' leaves, and only the others walk.
    // Leaf samples alone, with every walk deferred, take no leaf from the
    // growth: the first query walks every row, and fits never queried skip
    // that work (and growth keeps no rows of its slots).
    const bool leaves_later = samples && defer_samples && defer_walk && !leaf_weights && !oob;
    std::vector<u32> leaves;
    if (samples && !leaves_later) leaves.assign(n, 0);
    std::vector<std::int16_t> ranks;  // the splits' edge ranks, for the walks below
    // Regression trees are coded on the edges as they grow.
    PackedForest::TreeSurvey coded;
    {
        std::optional<grow::ScratchPool::Lease> lease;
        if (scratch) lease.emplace(scratch->take());
        if (lease) {
            // The working set copies its rows from row-major byte codes.
            const BinnedRows* from = rows_from ? rows_from : walk_on;
            const bool rows = from && !from->wide() && from->codes.size() == n * from->width;
            lease->get()->row_codes = rows ? from->codes.data() : nullptr;
            lease->get()->row_width = rows ? from->width : 0;
        }
        g.tree = build_tree_on_bootstrap(
            x, y, w, sample, params, rng, hist, leaves,
            (walk_on && (samples || oob || leaf_weights) && !defer_walk) || survey ? &ranks
                                                                                  : nullptr,
            lease ? lease->get() : nullptr, survey && n_classes == 0 ? &coded : nullptr);
    }
    if (survey) {
        g.survey = coded.done ? std::move(coded)
                              : PackedForest::survey_on_edges(g.tree, ranks, hist.bin_edges,
                                                              n_classes == 0, n_classes);
    }
    if (leaves_later) {
        g.pending_samples.waiting = true;
        return g;
    }
    bool defer = false;   // the leaf samples stay pending
    bool walked = true;   // the rows never drawn have their leaves
    if (leaf_weights || oob || samples) {
        std::vector<u32> counts;
        ensemble::count_draws(sample, n, counts);
        if (samples) {
            // The lists hold an entry per draw and per row never drawn, and
            // a start per node; the inputs two words per row when the lists
            // are built (the leaves kept, and the draws counted again from
            // the replayed sample), and with the walk deferred a share of
            // the kept codes of at most a byte per row.
            const auto undrawn = static_cast<std::uint64_t>(std::count(counts.begin(), counts.end(), 0u));
            const std::uint64_t list_words =
                std::uint64_t{sample.size()} + undrawn + g.tree.nodes.size() + 1;
            const std::uint64_t rows = n;
            defer = defer_samples &&
                    (defer_walk ? 9 * rows <= 4 * list_words : 2 * rows <= list_words);
            walked = !(defer && defer_walk);
            if (walked) {
                // A deferred walk lists the rows never drawn when it runs.
                const std::vector<u32> out_of_bag = ensemble::undrawn_rows(counts);
                walk_listed(g.tree, x, walk_on, out_of_bag,
                            [&](std::size_t k, u32 leaf) { leaves[out_of_bag[k]] = leaf; }, ranks);
            }
            if (!defer) {
                g.samples =
                    LeafSamples::of_tree(g.tree, leaves, counts, samples->row_of_rank, rank_of_row);
            }
        }
        if (leaf_weights) {
            g.leaf_weight = in_bag_leaf_weight(g.tree, x, walk_on, w, counts, leaves);
        }
        if (oob) g.oob = oob_payload(g.tree, x, walk_on, counts, n_classes, leaves);
        if (defer) {
            g.pending_samples = PendingTreeSamples{std::move(leaves), {}, walked, true};
        }
    }
    return g;
}

OobPredictions oob_means(OobSums& sums, std::size_t n) {
    OobPredictions oob;
    oob.width = sums.width;
    oob.mean.resize(sums.sum.size());
    oob.count = std::move(sums.count);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t r = 0; r < n; ++r) {
        const double c = static_cast<double>(oob.count[r]);
        for (std::size_t j = 0; j < oob.width; ++j) {
            const std::size_t at = r * oob.width + j;
            oob.mean[at] = oob.count[r] == 0 ? nan : sums.sum[at] / c;
        }
    }
    return oob;
}

}  // namespace recorded

namespace {

// Four independent multiply-xor lanes over the 64-bit patterns, so the pass
// runs at memory speed; column j feeds lane j % 4, target i lane i % 4.
constexpr std::uint64_t kHashMul = 0x9E3779B97F4A7C15ull;

inline void mix(std::uint64_t& lane, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    lane = (lane ^ bits) * kHashMul;
    lane ^= lane >> 29;
}

}  // namespace

void DataHash::add_rows(const MatrixView& x) {
    std::uint64_t* h = lanes_;
    const std::size_t cols = cols_;
    for (std::size_t i = 0; i < x.rows && cols != 0; ++i) {
        const double* row = x.row(i);
        std::size_t j = 0;
        for (; j + 4 <= cols; j += 4) {
            for (std::size_t l = 0; l < 4; ++l) mix(h[l], row[j + l]);
        }
        for (; j < cols; ++j) mix(h[j % 4], row[j]);
    }
}

std::uint64_t DataHash::finish(Vec y) {
    for (std::size_t i = 0; i < y.size(); ++i) mix(lanes_[i % 4], y[i]);
    std::uint64_t out = 0;
    for (std::uint64_t lane : lanes_) out = (out ^ lane) * kHashMul;
    return out ^ (out >> 31);
}

std::uint64_t forest_data_hash(const MatrixView& x, Vec y) {
    DataHash hash(x.rows, x.cols, y.size());
    hash.add_rows(x);
    return hash.finish(y);
}

void ForestCore::check_fit_options(std::size_t n, const FitOptions& options) const {
    if (options.max_samples) {
        if (!s_.bootstrap) throw ValueError("max_samples needs bootstrap=True");
        if (*options.max_samples < 1 || *options.max_samples > n) {
            throw ValueError("max_samples must be in [1, " + std::to_string(n) + "], got " +
                             std::to_string(*options.max_samples));
        }
    }
    if (!(options.min_impurity_decrease >= 0.0) || !std::isfinite(options.min_impurity_decrease)) {
        throw ValueError("min_impurity_decrease must be a finite number >= 0");
    }
    if (!classification_ && options.criterion != split::Criterion::kGini) {
        throw ValueError("a regression forest has no classification criterion");
    }
    if (options.oob && !s_.bootstrap) {
        throw ValueError("out-of-bag estimates need bootstrap=True");
    }
    if (n > 0xFFFFFFFFull) throw ValueError("x has too many rows for out-of-bag bookkeeping");
}

TreeParams ForestCore::recorded_params(std::size_t cols, const FitOptions& options) const {
    TreeParams params = tree_params(s_.max_depth, s_.max_features, cols, s_.min_samples_split,
                                    s_.min_samples_leaf, classification_);
    params.min_impurity_decrease = options.min_impurity_decrease;
    params.random_splits = options.random_splits;
    params.max_leaf_nodes = options.max_leaf_nodes;
    params.criterion = options.criterion;
    params.missing_defaults = options.missing_values;
    params.fast_growth = options.fast_growth;
    params.categories = options.categories;
    return params;
}

std::vector<std::uint32_t> ForestCore::dense_classes(Vec y, std::span<const std::uint64_t> classes,
                                                     const FitOptions& options) const {
    std::vector<u32> dense;
    if (!options.balanced_subsample || !classification_) return dense;
    dense.resize(y.size());
    for (std::size_t r = 0; r < y.size(); ++r) {
        const std::uint64_t c = class_index(y[r]);
        dense[r] = static_cast<u32>(std::lower_bound(classes.begin(), classes.end(), c) -
                                    classes.begin());
    }
    return dense;
}

void ForestCore::fit_recorded(const MatrixView& x, Vec y, std::span<const double> weights,
                              std::span<const std::uint64_t> classes, const FitOptions& options) {
    const std::string name(name_);
    std::size_t keep = 0;
    bool mixed = false;
    const ForestCore* previous = options.warm_start;
    if (previous && !previous->fitted_) previous = nullptr;
    // The data's hash, and for a regression forest that may keep its leaf
    // samples (any fit but a warm start, which may bring other data), the
    // targets' ranks: side by side on the pool.
    std::uint64_t hash = 0;
    std::optional<LeafSamples> ranks;
    if (!previous && !classification_ && x.rows <= LeafSamples::kMaxRows) {
        parallel::parallel_for(2, [&](std::size_t i) {
            if (i == 0) {
                hash = forest_data_hash(x, y);
            } else {
                ranks = LeafSamples::ranked(y, weights);
            }
        });
    } else {
        hash = forest_data_hash(x, y);
    }
    if (previous) {
        const std::optional<FitRecord>& rec = previous->record_;
        if (!rec) {
            throw ValueError(name + " was fitted without a fit record (it was saved by an " +
                             "earlier release), so warm_start cannot add trees to it; fit it " +
                             "again without warm_start");
        }
        if (x.cols != rec->cols) {
            throw ValueError("X has " + std::to_string(x.cols) + " features, but the forest " +
                             "was fitted with " + std::to_string(rec->cols) +
                             " features; warm_start needs the same features");
        }
        if (s_.n_estimators < previous->trees_.size()) {
            throw ValueError("n_estimators=" + std::to_string(s_.n_estimators) +
                             " must be larger or equal to the number of fitted trees (" +
                             std::to_string(previous->trees_.size()) + ") when warm_start is set");
        }
        if (options.criterion != previous->criterion_) {
            throw ValueError("warm_start needs the criterion of the fitted forest (" +
                             std::string(criterion_name(previous->criterion_)) + "), got " +
                             criterion_name(options.criterion));
        }
        keep = previous->trees_.size();
        mixed = rec->mixed || hash != rec->data_hash;
        if (options.oob && mixed) {
            throw ValueError("warm_start with out-of-bag estimates needs the training data " +
                             std::string("of the earlier fits"));
        }
    }
    const std::size_t n = x.rows;
    check_fit_options(n, options);
    const std::size_t n_classes = classification_ ? classes.size() : 0;
    const std::size_t total = static_cast<std::size_t>(s_.n_estimators);
    const std::size_t add = total - keep;

    // Dense class of every row (balanced samples).
    const std::vector<u32> dense = dense_classes(y, classes, options);
    // Regression leaves keep their in-bag weight when rows weigh unequally
    // (a class-weighted classification leaf knows its weight already).
    const bool leaf_weights = !classification_ && !all_ones(weights);
    // Regression forests keep the training rows of every leaf, for
    // quantiles and intervals; warm starts on other data cannot.
    const bool keep_samples = !classification_ && !mixed && n <= LeafSamples::kMaxRows;
    std::optional<LeafSamples> samples;
    std::vector<u32> all_rows;
    if (keep_samples) {
        samples = ranks ? std::move(ranks) : LeafSamples::ranked(y, weights);
        samples->trees.resize(total);
        all_rows.resize(n);
        std::iota(all_rows.begin(), all_rows.end(), 0u);
    }
    const std::optional<LeafSamples>* kept_samples =
        keep && keep_samples && previous->record_->samples ? &previous->record_->samples : nullptr;

    Rng forest = keep ? previous->record_->forest : seed_rng(s_.random_state);
    ensemble::BootstrapOptions plan_options{n, s_.bootstrap, 0, false};
    if (options.max_samples) plan_options.draws = static_cast<std::size_t>(*options.max_samples);
    ensemble::BootstrapPlanner planner(forest, plan_options);

    OobSums sums{n_classes > 0 ? n_classes : 1, {}, {}};
    if (options.oob) {
        sums.sum.assign(n * sums.width, 0.0);
        sums.count.assign(n, 0);
    }
    ensemble::InOrderFold<OobPayload> fold(0, total);
    auto add_payload = [&](const OobPayload& p) { sums.add(p); };

    // Built before the kept trees' walks, which can use it too (their
    // thresholds are edges of the same data's bins).
    std::optional<HistogramData> hist;
    if (add > 0) hist = HistogramData::build(x, options.categories, fit_bins(options));
    // Walks of coded rows read byte codes, or two-byte ones with wide codes.
    // Without out-of-bag predictions, the leaf samples' walks of the rows a
    // tree never drew wait for the first query (leaf_samples.hpp), on codes
    // kept by the fit when they take no more than a byte per row and new
    // tree.
    const std::size_t code_bytes = hist && hist->wide() ? 2 : 1;
    const bool defer_walk = keep_samples && !options.oob && hist &&
                            ensemble::KeptBinnedRows::walks_every_tree(*hist) &&
                            hist->columns * code_bytes <= add;
    std::shared_ptr<const ensemble::KeptBinnedRows> kept_rows;
    std::optional<BinnedRows> binned;
    if (defer_walk) {
        kept_rows = std::make_shared<const ensemble::KeptBinnedRows>(*hist, n);
    } else if (hist && (options.oob || leaf_weights || keep_samples)) {
        binned = BinnedRows::of(*hist, n);
    }
    const BinnedRows* walk_on = kept_rows ? &kept_rows->rows : binned ? &*binned : nullptr;
    // Without codes to walk on, a fit of several trees lays its codes out
    // row after row anyway, within a budget, for the trees' working sets
    // to copy their rows from (rows of twins' codes are gathered per column).
    std::optional<BinnedRows> row_codes;
    if (!walk_on && hist && !hist->wide() && hist->twin_of.empty() && add >= 4 &&
        n * hist->columns <= kRowCodesBudget) {
        row_codes = BinnedRows::of(*hist, n);
    }

    // The kept trees' out-of-bag rows first, from their replayed samples,
    // and their leaf samples (taken over when the kept forest has them).
    const bool rebuild_samples = keep_samples && !kept_samples;
    if (kept_samples) {
        previous->build_leaf_samples();
        for (std::size_t t = 0; t < keep; ++t) samples->trees[t] = (*kept_samples)->trees[t];
    }
    if ((options.oob || rebuild_samples) && keep > 0) {
        parallel::parallel_for(keep, [&](std::size_t t) {
            std::vector<std::size_t> sample;
            previous->replay_sample(t, sample);
            std::vector<u32> counts;
            ensemble::count_draws(sample, n, counts);
            const Tree& tree = previous->trees_[t];
            std::vector<u32> leaves;
            if (rebuild_samples) {
                leaves = leaf_of_every_row(tree, x, walk_on, all_rows);
                samples->trees[t] = LeafSamples::of_tree(tree, leaves, counts, samples->row_of_rank);
            }
            if (options.oob) {
                fold.submit(t, oob_payload(tree, x, walk_on, counts, n_classes, leaves),
                            add_payload);
            }
        });
    }

    std::vector<Grown> grown;
    std::vector<ensemble::TreePlan> plans;
    if (add > 0) {
        const TreeParams params = recorded_params(x.cols, options);
        grow::ScratchPool scratch;
        const std::vector<u32> rank_of_row = samples ? samples->rank_of_row() : std::vector<u32>{};
        const TreeGrowth growth{x,       y,        weights,      dense,       n_classes, params,
                                hist.value(), walk_on, leaf_weights, options.oob, samples,
                                &scratch, rank_of_row, true, true, defer_walk,
                                row_codes ? &*row_codes : nullptr};
        auto result = ensemble::grow_forest(
            planner, add, [&](std::size_t i, std::span<const std::size_t> sample, Rng& rng) {
                Grown g = growth(sample, rng);
                if (options.oob) fold.submit(keep + i, std::move(g.oob), add_payload);
                return g;
            },
            // Trees start as their samples are drawn, not after the last.
            ensemble::Schedule::when_planned);
        grown = std::move(result.results);
        plans = std::move(result.plans);
    }
    if (options.oob && fold.folded() != total) throw InternalError("out-of-bag fold incomplete");

    // Everything below only assembles; the fitted state changes at the end.
    std::vector<Tree> trees;
    FitRecord record;
    trees.reserve(total);
    record.draws.reserve(total);
    record.leaf_weight.reserve(total);
    for (std::size_t t = 0; t < keep; ++t) {
        trees.push_back(previous->trees_[t]);
        record.draws.push_back(previous->record_->draws[t]);
        record.leaf_weight.push_back(previous->record_->leaf_weight[t]);
    }
    const std::uint64_t positions = s_.bootstrap ? planner.options().sample_size() : 0;
    // The kept trees are surveyed by the pack; the new ones already were.
    std::vector<PackedForest::TreeSurvey> surveys(keep);
    surveys.reserve(total);
    for (std::size_t i = 0; i < add; ++i) {
        surveys.push_back(std::move(grown[i].survey));
        trees.push_back(std::move(grown[i].tree));
        record.draws.push_back(TreeDraws{plans[i].draws, positions});
        record.leaf_weight.push_back(std::move(grown[i].leaf_weight));
        if (samples && grown[i].pending_samples.waiting) {
            if (samples->pending.empty()) samples->pending.resize(total);
            if (!grown[i].pending_samples.walked) samples->pending_rows = kept_rows;
            samples->pending[keep + i] = std::move(grown[i].pending_samples);
        } else if (samples) {
            samples->trees[keep + i] = std::move(grown[i].samples);
        }
    }
    record.samples = std::move(samples);
    record.forest = forest;
    record.rows = n;
    record.cols = x.cols;
    record.data_hash = hash;
    record.mixed = mixed;

    install(std::move(trees), std::move(record),
            options.oob ? oob_means(sums, n) : OobPredictions{}, n_classes, options.criterion,
            std::move(surveys), hist ? std::span<const std::vector<double>>(hist->bin_edges)
                                     : std::span<const std::vector<double>>{});
}

void ForestCore::install(std::vector<Tree> trees, FitRecord record, OobPredictions oob,
                         std::size_t n_classes, split::Criterion criterion,
                         std::vector<PackedForest::TreeSurvey> surveys,
                         std::span<const std::vector<double>> edges) {
    PackedForest packed =
        classification_ ? PackedForest::shares(trees, n_classes, true, std::move(surveys), edges)
                        : PackedForest::values(trees, true, std::move(surveys), edges);
    trees_ = std::move(trees);
    packed_ = std::move(packed);
    record_ = std::move(record);
    oob_ = std::move(oob);
    width_ = n_classes;
    criterion_ = criterion;
    fitted_ = true;
}

}  // namespace tw
