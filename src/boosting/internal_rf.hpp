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

// Owned row-major matrix.
struct DenseMatrix {
    std::vector<double> data;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixView view() const { return MatrixView{data.data(), rows, cols, cols}; }
    // Rows `which` of x, in that order.
    static DenseMatrix gather(const MatrixView& x, std::span<const std::size_t> which);
};

// Every round plans its trees from the boosting generator `rng`, which it
// advances: per tree a sample of x.rows positions (drawn when bootstrapping),
// then its tree seed (see ensemble/bootstrap.hpp). Trees grow on the pool in
// plan order; `hist` (built on x) selects the histogram grower, nullptr the
// exact grower.

// Plans and grows n_trees trees.
InternalRF fit_internal_rf(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Rng& rng,
                           const HistogramData* hist);

struct RoundFit {
    InternalRF forest;
    std::vector<double> predictions;  // per training row: mean over kept trees
};

// Streaming round: trees grow as independent tasks that fold their
// training-row predictions into running per-row means and spreads as they
// finish; once the stopping check fires (never before max(2, min_check) trees
// are folded), trees not started are skipped and trees finishing later are
// dropped. Kept trees stay in plan order. When the check never fires the
// result equals fit_round with the same plans; with one worker the kept trees
// are the first ones of the plan.
RoundFit fit_internal_rf_streaming(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                                   const TreeParams& params, double tol, bool bootstrap,
                                   Rng& rng, const HistogramData* hist,
                                   std::size_t min_check, bool binary);

// Plain round followed by its training-row predictions.
RoundFit fit_round(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                   const TreeParams& params, bool bootstrap, Rng& rng,
                   const HistogramData* hist);

// Forest prediction of every row: mean leaf value over the trees, summed in
// tree order (0/0 = NaN for no trees); rows in parallel, results in row order.
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
