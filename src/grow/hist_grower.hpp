// The histogram grower's class (grow/hist.cpp, grow/best_first.cpp): one
// tree of a forest on a bootstrap list, with candidate thresholds taken
// from the bin edges of the forest's HistogramData. Internal to those two
// files.
//
// Terms:
//  frame      a node waiting to grow in depth-first growth: its slots, depth,
//             the split node whose right child it is, its kept histogram
//             (count mode) and its entries.
//  path       a node's place in the tree, a key mixed from its parent's and
//             its side (child_path): the same whatever order nodes grow in.
//  search mode  which search a node gets (SearchMode), decided from its
//             size and the tree's mode.
//  coded tree   the tree as the prediction copy codes it on the bin edges
//             (tree/packed.hpp), written as the nodes are made.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/rng.hpp"
#include "grow/category_split.hpp"
#include "grow/grow.hpp"
#include "grow/hist_search.hpp"
#include "grow/working_set.hpp"
#include "histogram/histogram.hpp"
#include "tree/packed.hpp"

namespace tw::histgrow {

using grow::u32;
using grow::u64;
using split::BestSplit;

// The search a node gets.
enum class SearchMode {
    kTiny,        // tiny node
    kPair,        // regression node of two slots
    kTinyCounts,  // tiny node in count mode
    kKept,        // count mode, from the node's kept histogram
    kCounts,      // count mode, scratch count histograms
    kDense,       // dense per-bin records
    kGrouped,     // many classes, rows grouped by bin
};

constexpr u32 kNoParent = std::numeric_limits<u32>::max();
constexpr u32 kNoHist = grow::KeptHistograms::kNone;

// A key of a node's place in the tree, from its parent's and its side: the
// same whatever order the nodes grow in.
inline u64 child_path(u64 path, u64 side) { return mix64(path * 0x9E3779B97F4A7C15ull + side + 1); }

struct Frame {
    u32 begin;
    u32 end;
    u64 depth;
    u32 parent;  // split node whose right child this is, or kNoParent
    u32 hist;    // count mode: kept histogram already holding this node's counts
    u64 rows;    // bootstrap entries of the node (slots, or their multiplicities)
    u64 ones = kUnknown;  // count mode: its entries of class 1, when known
    u64 path = 1;         // the node's place in the tree (child_path)
    // Regression: the node's sums, when its parent's partition added them.
    bool summed = false;
    split::RegRecord sums{};
    // Merged classification: its kept class totals (NodeTotals), if any.
    u32 totals = grow::NodeTotals::kNoKept;
    static constexpr u64 kUnknown = ~u64{0};

    // Makes the frame its child on `side` (0 left, 1 right), field by field.
    void descend(u32 first, u32 past, u32 up, u32 kept, u64 entries, u64 known_ones, u64 side,
                 bool known_sums, const split::RegRecord& side_sums, u32 kept_totals) {
        begin = first, end = past, parent = up, hist = kept, rows = entries, ones = known_ones;
        summed = known_sums, sums = side_sums, totals = kept_totals;
        depth += 1;
        path = child_path(path, side);
    }
};

class HistGrower {
public:
    HistGrower(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> boot,
               const TreeParams& params, Rng& rng, const HistogramData& hist,
               std::span<std::uint32_t> leaf_of_row, std::vector<std::int16_t>* ranks,
               grow::GrowScratch* scratch, PackedForest::TreeSurvey* coded)
        : y_(y), w_(w), params_(params), rng_(rng), hist_(hist), leaf_of_row_(leaf_of_row),
          ranks_(ranks), coded_(params.is_classification ? nullptr : coded),
          ws_(x, y, w, boot, hist, params.is_classification,
              params.fast_growth && !params.random_splits, scratch, !leaf_of_row.empty()),
          ctx_{ws_, hist, node_, examined_, params.min_samples_leaf},
          counted_(node_), dense_(ctx_, cand_), counts_(ctx_, counted_),
          tiny_(ctx_, cand_, counted_), grouped_(ctx_, cand_), random_(ctx_) {}

    Tree grow();

private:
    // Best-first growth under a leaf limit (TreeParams::max_leaf_nodes).
    Tree grow_best_first();
    struct Open;
    bool evaluate(Open& open);
    void allocate();
    void choose_features(bool draw = true, u64 path = 0);
    u32 partition(u32 begin, u32 end, const BestSplit& best) {
        // Only partitions on values read it (wide edge tables are large).
        const double threshold = hist_.is_nan_free(best.feature) || best.category
                                     ? 0.0
                                     : hist_.bin_edges[best.feature][best.bin];
        return ws_.partition(begin, end, best.feature, best.bin, threshold,
                             best.category ? best.cells.data() : nullptr);
    }
    // The bin whose upper edge is the threshold of best, just partitioned.
    std::size_t cut_of(const BestSplit& best, u32 begin, u32 mid, u32 end) const;
    void add_split_node(const BestSplit& best, std::size_t cut, u32 begin, u32 end, u64 n, u64 nl,
                        u64 nr);
    // Whether a node of `rows` entries in `slots` slots at `depth` is a leaf by the
    // stop rules alone (fast growth: a slot holds copies of one row, inseparable).
    bool stops(u64 rows, u64 depth, u32 slots) const {
        return rows < params_.min_samples_split || (params_.max_depth && depth >= *params_.max_depth) ||
               (params_.fast_growth && slots == 1);
    }
    SearchMode decide_search(u32 slots, u32& own);
    // The node's range and kept histogram by value: fr stays in registers.
    void search(SearchMode mode, grow::NodeRange node, u32 hist, u32 own, BestSplit& best);
    u32 make_leaf(u32 begin, u32 end);
    u32 make_leaf_of(u32 begin, u32 end);
    // The right child of split node `node` is the next node made.
    void link_right(u32 node) {
        const auto next = static_cast<u32>(tree_.nodes.size());
        tree_.nodes[node].right = next;
        if (coded_) coded_->nodes[node].right = next;
    }
    Tree finish();

    Vec y_;
    Vec w_;
    const TreeParams& params_;
    Rng& rng_;
    const HistogramData& hist_;
    std::span<std::uint32_t> leaf_of_row_;  // empty, or the leaf of every drawn row
    std::vector<u32> slot_leaf_;  // with leaf_of_row_: each slot's leaf, by slot
    std::vector<std::int16_t>* ranks_;  // null, or each node's edge rank (grow.hpp)
    // Null, or the tree coded on the edges as it grows (grow.hpp), until a
    // split cannot be coded; usable_ per column its usable edges.
    PackedForest::TreeSurvey* coded_;
    bool any_left_ = false;
    std::vector<std::size_t> usable_;
    grow::WorkingSet ws_;
    grow::NodeTotals node_;
    std::vector<u32> features_;  // draw order of the features
    std::vector<u32> identity_;  // 0, 1, ...: features_ before a draw (copied whole)
    std::vector<u32> examined_;  // features examined at the node (categorical ones aside)
    bool all_splittable_ = true;  // every column has two bins or more
    std::vector<u32> categorical_;  // categorical features examined at the node, draw order
    grow::CategoryTable cells_;
    grow::SearchContext ctx_;
    grow::Candidates cand_;
    grow::CountCandidates counted_;
    grow::DenseSearch dense_;
    grow::CountSearch counts_;
    grow::KeptHistograms kept_;
    grow::TinySearch tiny_;
    grow::GroupedSearch grouped_;
    grow::RandomSearch random_;
    bool dense_sums_ = false;  // outside count mode: dense histograms, else grouped
    Tree tree_;
    std::vector<std::size_t> leaf_rows_;
    // Unit-weight classification leaves: entries per dense class (zero
    // between leaves), and the classes and counts of the leaf being made.
    std::vector<u64> leaf_count_;
    std::vector<u64> leaf_ids_;
    std::vector<u64> leaf_counts_;
    double root_weight_ = 1.0;  // weight of the root node, once computed
    u64 order_seed_ = 0;  // fast growth: seeds the nodes' feature orders
};

}  // namespace tw::histgrow
