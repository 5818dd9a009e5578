// Tree growers and the leaf constructor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/matrix.hpp"
#include "core/rng.hpp"
#include "split/gain.hpp"
#include "tree/packed.hpp"
#include "tree/tree.hpp"

namespace tw {

struct HistogramData;
namespace grow {
struct GrowScratch;
}

struct TreeParams {
    std::optional<std::uint64_t> max_depth;     // absent = unlimited
    std::optional<std::uint64_t> max_features;  // absent = every feature
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
    bool is_classification = true;
    // Histogram grower: a node splits only when its weight share of the
    // root times the split's gain reaches this (0 = any positive gain).
    double min_impurity_decrease = 0.0;
    // Histogram grower: the extremely randomised rule, one drawn threshold
    // per examined feature (grow/hist_search.hpp, random search).
    bool random_splits = false;
    // Histogram grower: at most this many leaves, the nodes split best
    // first (largest weighted impurity decrease first); absent = depth first
    // without a leaf limit.
    std::optional<std::uint64_t> max_leaf_nodes;
    // Classification: the impurity the splits decrease (split/gain.hpp).
    split::Criterion criterion = split::Criterion::kGini;
    // Splits whose rows taught no missing side get the default one
    // (tree/tree.hpp, kMissingDefault); off, missing values go right there.
    bool missing_defaults = false;
    // Exact grower on a matrix with missing values (ExactMissing below): its
    // last exact_twins.size() columns are twins of these columns.
    std::span<const std::uint32_t> exact_twins;
    // Exact grower: per column of x before the twins, 0 or its number of
    // categories (codes 0..k-1, missing ones +inf; grow/category_split.hpp);
    // empty when no column is categorical.
    std::span<const std::uint16_t> categories;
    // Histogram grower: growth free of the compatibility arithmetic (the
    // package's estimators). The examined features are drawn by a partial
    // shuffle; with unit weights and best splits, repeated bootstrap rows
    // share one slot whose record carries their multiplicity as its weight
    // (grow/working_set.hpp, merged slots); a node of one slot is a leaf
    // without a search. Still deterministic for a generator state.
    bool fast_growth = false;
};

// The exact grower's view of a matrix with missing values: each column
// holding NaN reads them as +inf (sorted after every value, so thresholds
// send them right, and "all values left" is the midpoint +inf), and gets a
// twin column after the others reading them as -inf (sorted first: its
// thresholds send them left, "missing only left" being -inf). A split on a
// twin is a split of its column with missing values going left. The fits
// refuse infinite values, so +inf and -inf mean missing here. Categorical
// columns (categories[c] != 0) read missing values as +inf too, but get no
// twin: their splits place the missing values as a category of their own.
struct ExactMissing {
    std::vector<double> values;           // rows x (cols + twins), row-major
    std::vector<std::uint32_t> twin_of;   // per twin, its column
    MatrixView view;                      // values, or x itself without twins

    static ExactMissing of(const MatrixView& x, std::span<const std::uint16_t> categories = {});
};

// The growth settings of an estimator's trees on n_features columns: the
// textual max_features setting is resolved here (a count that covers every
// column means no feature subsampling).
TreeParams tree_params(std::optional<std::uint64_t> max_depth,
                       const std::optional<std::string>& max_features, std::size_t n_features,
                       std::uint64_t min_samples_split, std::uint64_t min_samples_leaf,
                       bool is_classification);

// Appends the leaf that the listed positions make (repeats allowed) to `tree`
// and returns its index. Classification leaves keep their class weights in
// ascending class order; value = heaviest class, ties to the highest class.
std::uint32_t create_leaf(Tree& tree, Vec y, Vec w, std::span<const std::size_t> positions,
                          bool is_classification);
// A classification leaf of n samples with unit weights: count[d] of them
// belong to class class_ids[d] (class_ids ascending; classes counting 0 are
// left out). It is the leaf create_leaf makes of such samples.
std::uint32_t create_count_leaf(Tree& tree, std::uint64_t n,
                                std::span<const std::uint64_t> class_ids,
                                std::span<const std::uint64_t> count);

// Exact grower (sorted-value midpoints) on the given positions of x, depth 0.
Tree build_tree_exact(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> positions,
                      const TreeParams& params, Rng& rng);

// Exact grower on a bootstrap list: the listed rows count as separate samples.
Tree build_tree_on_bootstrap_exact(const MatrixView& x, Vec y, Vec w,
                                   std::span<const std::size_t> bootstrap,
                                   const TreeParams& params, Rng& rng);

// Histogram grower on a bootstrap list, thresholds taken from bin edges.
// When leaf_of_row is not empty (at least x.rows long; regression, or rows
// with positions kept), every drawn row's leaf is written to it, as a walk
// down the grown tree would find it; other rows' entries are left alone.
// When ranks is given, it receives per node the bin of a split on a
// column's own bins (the rank of its threshold among the column's edges),
// or -1 (leaves, category-set splits, splits on missing-value twins).
// A scratch (grow/scratch.hpp) lends the working set its buffers. When
// coded is given (regression), it receives the tree coded on the bin edges
// as PackedForest::survey_on_edges would code it, written as the nodes
// grow, and is marked done; it is left not done when some split cannot be
// coded so (the caller then surveys the tree).
Tree build_tree_on_bootstrap(const MatrixView& x, Vec y, Vec w,
                             std::span<const std::size_t> bootstrap, const TreeParams& params,
                             Rng& rng, const HistogramData& hist,
                             std::span<std::uint32_t> leaf_of_row = {},
                             std::vector<std::int16_t>* ranks = nullptr,
                             grow::GrowScratch* scratch = nullptr,
                             PackedForest::TreeSurvey* coded = nullptr);

}  // namespace tw
