// The weak learner of the boosted ensembles: a small random forest of
// regression trees fitted to per-row targets, its streaming variant that
// stops growing once its predictions settle, and forest prediction.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "grow/grow.hpp"
#include "core/matrix.hpp"
#include "core/rng.hpp"
#include "tree/tree.hpp"

namespace tw {
struct HistogramData;
}

namespace tw::boosting {

// One boosting round's forest; trees in plan order, never changed once built.
struct InternalRF {
    std::vector<Tree> trees;
};

// Bootstrap rows and tree seed of one planned tree.
struct TreePlan {
    std::vector<std::size_t> rows;
    std::uint64_t seed = 0;
};

// Owned row-major matrix.
struct DenseMatrix {
    std::vector<double> data;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixView view() const { return MatrixView{data.data(), rows, cols, cols}; }
    static DenseMatrix copy_of(const MatrixView& x);
    // Rows `which` of x, in that order.
    static DenseMatrix gather(const MatrixView& x, std::span<const std::size_t> which);
};

// Plans T trees on the calling thread, tree 0 first: per tree its n row
// indices (drawn with replacement when bootstrapping, else 0..n-1), then its
// 64-bit seed.
std::vector<TreePlan> plan_trees(std::size_t n, std::size_t n_trees, bool bootstrap, Rng& rng);

// Grows one planned tree with its own generator: histogram grower when `hist`
// is given, exact grower otherwise.
Tree grow_planned_tree(const TreePlan& plan, const MatrixView& x, Vec t, Vec w,
                       const TreeParams& params, const HistogramData* hist);

// Plans and grows T trees in parallel; `hist` (built on x) selects the
// histogram grower, nullptr the exact grower.
InternalRF fit_internal_rf(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Rng& rng,
                           const HistogramData* hist);

// Same, binning x itself when use_histogram is set.
InternalRF fit_internal_rf(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Rng& rng,
                           bool use_histogram);

struct RoundFit {
    InternalRF forest;
    std::vector<double> predictions;  // per training row: mean over kept trees
};

// Streaming round: trees are grown as independent tasks that fold their
// training-row predictions into running per-row statistics; once the stopping
// check fires, unstarted trees are skipped and trees still growing are
// discarded. With one worker, or when the check never fires, the result equals
// fit_internal_rf with the same plans.
RoundFit fit_internal_rf_streaming(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                                   const TreeParams& params, double tol, bool bootstrap,
                                   Rng& rng, const HistogramData* hist,
                                   std::size_t min_check, bool binary);

// Plain round followed by its training-row predictions.
RoundFit fit_round(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                   const TreeParams& params, bool bootstrap, Rng& rng,
                   const HistogramData* hist);

// Mean leaf value over the trees, summed in tree order (0/0 = NaN for no trees).
inline double forest_predict_row(const InternalRF& forest, const double* row) {
    double sum = 0.0;
    for (const Tree& tree : forest.trees) sum += tree.predict(row);
    return sum / static_cast<double>(forest.trees.size());
}

// Forest prediction of every row (rows in parallel, results in row order).
std::vector<double> predict_forest(const InternalRF& forest, const MatrixView& x);

// Single-output boosted prediction: init + sum over rounds, in round order, of
// learning_rate * forest prediction.
std::vector<double> predict_boosted(std::span<const InternalRF> rounds, double init,
                                    double learning_rate, const MatrixView& x);

// Multi-output raw scores, row-major rows x k: forest r*k + j adds
// learning_rate * its prediction to output j, rounds in order. A last,
// incomplete group uses only the forests that exist. k must be positive.
std::vector<double> get_raw_predictions(std::span<const InternalRF> forests,
                                        std::span<const double> init, const MatrixView& x,
                                        std::size_t k, double learning_rate);

// Columns a row needs for routing through every tree of the forests.
std::uint64_t columns_read(std::span<const InternalRF> forests);

// ValueError when x has fewer columns than the model reads.
void check_width(const MatrixView& x, std::uint64_t needed);

}  // namespace tw::boosting
