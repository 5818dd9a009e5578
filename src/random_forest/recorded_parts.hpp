// The parts of a fit with a fit record (random_forest.hpp) that a local
// fit and the batches of a planned forest (random_forest/batches.hpp)
// share: the growth of one new tree with what it adds to the record, and
// the out-of-bag payloads folded in tree order. Terms:
//  payload      what a tree adds to the out-of-bag sums: its out-of-bag
//               rows and the class shares or value of the leaf each reaches.
//  binned rows  the bin bytes of the training rows, row after row, on which
//               the trees grown on those bins are walked (ensemble/binned_rows.hpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "core/rng.hpp"
#include "ensemble/binned_rows.hpp"
#include "grow/grow.hpp"
#include "grow/scratch.hpp"
#include "tree/packed.hpp"
#include "histogram/histogram.hpp"
#include "random_forest/leaf_samples.hpp"
#include "random_forest/random_forest.hpp"
#include "tree/tree.hpp"

namespace tw::recorded {

using u32 = std::uint32_t;

// One tree's out-of-bag rows, the payload slot of the leaf each reaches, and
// the payloads: per slot its value (regression), or its (class, share)
// entries share_begin[s] .. share_begin[s + 1] - 1 (classification).
struct OobPayload {
    std::vector<u32> rows;
    std::vector<u32> slot;
    std::vector<double> value;
    std::vector<u32> share_begin;
    std::vector<u32> share_class;
    std::vector<double> share;
};

using ensemble::BinnedRows;

// The running sums of the out-of-bag predictions.
struct OobSums {
    std::size_t width;
    std::vector<double> sum;
    std::vector<u32> count;

    void add(const OobPayload& p) {
        for (std::size_t k = 0; k < p.rows.size(); ++k) {
            const std::size_t r = p.rows[k];
            const u32 s = p.slot[k];
            ++count[r];
            if (p.share_begin.empty()) {
                sum[r] += p.value[s];
                continue;
            }
            double* row = sum.data() + r * width;
            for (u32 j = p.share_begin[s]; j < p.share_begin[s + 1]; ++j) {
                row[p.share_class[j]] += p.share[j];
            }
        }
    }
};

struct Grown {
    Tree tree;
    PackedForest::TreeSurvey survey;  // when asked, taken while the tree is in cache
    std::vector<double> leaf_weight;
    TreeSamples samples;
    PendingTreeSamples pending_samples;  // instead of samples, when deferred
    OobPayload oob;  // filled when the fit asks for out-of-bag predictions
};

// What growing one new tree of a recorded fit reads: the tree itself, then
// (from its sample's draw counts) its leaf samples, in-bag leaf weights and
// out-of-bag payload, as the fit asks. A local fit and a batch of a planned
// forest grow their trees through this one path.
struct TreeGrowth {
    const MatrixView& x;
    Vec y;
    std::span<const double> weights;
    const std::vector<u32>& dense;  // dense classes (balanced samples), else empty
    std::size_t n_classes;
    const TreeParams& params;
    const HistogramData& hist;
    const BinnedRows* walk_on;
    bool leaf_weights;
    bool oob;
    const std::optional<LeafSamples>& samples;  // present when leaf samples are kept
    // The fit's buffers for its trees' working sets (grow/scratch.hpp).
    grow::ScratchPool* scratch = nullptr;
    // With samples: LeafSamples::rank_of_row(), or empty.
    std::span<const u32> rank_of_row = {};
    // Whether each tree is surveyed for the prediction copies (Grown::survey).
    bool survey = false;
    // Whether a tree's leaf samples may stay pending (leaf_samples.hpp):
    // they do when their inputs take no more memory than the lists.
    bool defer_samples = false;
    // Whether a pending tree's rows may be walked later, on the fit's kept
    // bin codes (walk_on), instead of now: the rows never drawn, or every
    // row when nothing else of the fit needs the drawn rows' leaves (no
    // out-of-bag predictions or in-bag leaf weights), whose growth then
    // records no leaves at all.
    bool defer_walk = false;
    // Row-major codes the working sets copy their rows from (walk_on's
    // when null).
    const BinnedRows* rows_from = nullptr;

    Grown operator()(std::span<const std::size_t> sample, Rng& rng) const;
};

// The out-of-bag means of the folded sums (their counts move into it).
OobPredictions oob_means(OobSums& sums, std::size_t n);

}  // namespace tw::recorded
