// The weak learner of the boosted ensembles: a small random forest of
// regression trees fitted to per-row targets, its streaming variant that
// stops growing once its predictions settle, and forest prediction.
//
// Terms: held rows are rows kept out of a fit (to stop it early), whose
// predictions each round makes beside the training rows'; the prediction
// copy of an ensemble is the PackedForest (tree/packed.hpp) of all its
// trees, walked once per row block for every round.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "grow/grow.hpp"
#include "core/matrix.hpp"
#include "core/rng.hpp"
#include "ensemble/binned_rows.hpp"
#include "tree/packed.hpp"
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

// The rows a round predicts besides growing its trees: the training rows x
// (read as their bin codes `train` when given, which every tree grown on a
// histogram can walk) and the held rows (coded by the same histogram in
// held_codes when given).
struct RoundRows {
    const ensemble::BinnedRows* train = nullptr;
    MatrixView held{nullptr, 0, 0, 0};
    const ensemble::BinnedRows* held_codes = nullptr;
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
    std::vector<double> held;         // the same per held row
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
                                   std::size_t min_check, bool binary,
                                   const RoundRows& rows = {});

// Plain round followed by its training-row predictions.
RoundFit fit_round(const MatrixView& x, Vec t, Vec w, std::size_t n_trees,
                   const TreeParams& params, bool bootstrap, Rng& rng,
                   const HistogramData* hist, const RoundRows& rows = {});

// Forest prediction of every row: mean leaf value over the trees, summed in
// tree order (0/0 = NaN for no trees); rows in parallel, results in row order.
std::vector<double> predict_forest(const InternalRF& forest, const MatrixView& x);

// The prediction copy of a boosted ensemble's forests (forest f adds to
// output f % outputs, as they are grown).
class PackedRounds {
public:
    PackedRounds() = default;
    explicit PackedRounds(std::span<const InternalRF> forests);

    // Raw scores, row-major rows x outputs: init, then per forest in order
    // learning_rate * (its trees' leaf values summed in tree order / its
    // tree count); rows in parallel. A forest without trees adds NaN.
    // outputs must be positive and init hold at least `outputs` values.
    std::vector<double> scores(const MatrixView& x, std::span<const double> init,
                               std::size_t outputs, double learning_rate) const;

private:
    PackedForest forest_;
    std::vector<std::size_t> group_end_;
    // The trees themselves, kept only where some split sends missing values
    // left (rows with missing values then walk them; tree/packed.hpp).
    std::vector<Tree> trees_;
};

// Columns a row needs for routing through every tree of the forests.
std::uint64_t columns_read(std::span<const InternalRF> forests);

// ValueError when x has fewer columns than the model reads.
void check_width(const MatrixView& x, std::uint64_t needed);

}  // namespace tw::boosting
