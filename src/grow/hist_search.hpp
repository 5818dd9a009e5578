// Split searches of the histogram grower. Each search finds the best
// candidate of one node over the features examined there; the grower
// decides once per node which search runs (grow/hist.cpp).
//
// Terms (slot, tag and count mode: see grow/working_set.hpp):
//  candidate       a bin b of a feature: the rows of bins 0..b go left and
//                  the threshold is bin b's upper edge. Only admissible
//                  candidates (split/gain.hpp) are kept and scored; bins are
//                  added whole to the left totals in ascending bin order.
//  histogram       per feature and bin, sums over the node's rows of that
//                  bin, each formed over its rows in node order: dense
//                  per-bin records (weight, row count, then the class sums
//                  or the regression sums) or, in count mode, one packed
//                  count (rows in the low half, class-1 rows in the high).
//  kept histogram  count mode with every feature examined at every node: a
//                  node's complete count histogram, handed down when it
//                  splits. Counts are exact, so the larger child's
//                  histogram is the node's minus the smaller child's, and
//                  only the smaller child's rows are counted.
//  tiny node       at most kTinyNode slots (kTinyRegression in regression
//                  trees): per feature the rows are sorted by bin instead
//                  of filling whole histograms.
//  grouped search  more than kDenseClassLimit classes: one feature at a
//                  time, the rows grouped by bin with a counting sort.
//  random search   the extremely randomised rule: per examined feature a
//                  single candidate, a bin drawn uniformly from the lowest
//                  to the last-but-one bin the node's rows occupy.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/rng.hpp"
#include "grow/working_set.hpp"
#include "histogram/histogram.hpp"
#include "split/gain.hpp"

namespace tw::grow {

// Classification with at most this many classes accumulates dense per-bin
// class sums; more classes use the grouped search.
constexpr std::size_t kDenseClassLimit = 32;
// Doubles of per-bin sums held at once when several features share a pass.
constexpr std::size_t kHistBudget = 49152;
// The dense search's batch keeps its histograms within the first-level data
// cache (48 KB here): wider class records take fewer features a pass, and
// the extra passes over the rows cost less than the misses of histograms
// spilling to the next level.
constexpr std::size_t kDenseBudget = 6144;
// Nodes with at most this many slots are tiny: the largest tiny nodes, of
// classification trees (whose dense walks cost more per bin). Regression
// nodes are tiny up to kTinyRegression slots.
constexpr u64 kTinyNode = 32;
constexpr u64 kTinyRegression = 16;
static_assert(kTinyNode % 8 == 0 && kTinyNode <= 256,
              "tiny sorts rank whole vectors of keys; a key holds its slot in a byte");
// Count mode: nodes with fewer slots mark their occupied bins and walk only
// those; larger ones walk every bin.
constexpr u64 kSparseWalk = 64;

// Merged slots (whole multiplicities) let regression candidates be scored
// from weight and w*y sums alone, and gini candidates from whole counts.
inline bool scores_sums_only(const WorkingSet& ws) { return !ws.classification() && ws.merged(); }
inline bool scores_gini_counts(const WorkingSet& ws, split::Criterion criterion) {
    return ws.classification() && ws.merged() && criterion == split::Criterion::kGini;
}

// A node's slots begin..end-1 and its bootstrap entries (slots, or the sum
// of their multiplicities in count mode).
struct NodeRange {
    u32 begin;
    u32 end;
    u64 rows;
};

// What every search reads; the grower owns all of it.
struct SearchContext {
    const WorkingSet& ws;
    const HistogramData& hist;
    const NodeTotals& node;
    const std::vector<u32>& examined;  // features examined at the node, in draw order
    u64 min_leaf;                      // min_samples_leaf
};

// Candidates with double left totals, as the gain kernels read them: one
// feature walk of the dense search, or a batch of tiny-node candidates.
// Sized for a histogram's candidates (capacity bins) plus padding to whole
// vectors.
struct Candidates {
    // per_candidate: most node classes a candidate holds.
    void allocate(bool classification, std::size_t n_classes, std::size_t per_candidate,
                  std::size_t capacity);
    // Gains of candidates 0..count-1 into gain: kn node classes per
    // candidate in left, or the regression sums l1, l2 when kn is 0. The
    // tail up to a whole vector is padded with copies of the last one.
    void score(const split::ParentTotals& parent, std::size_t count, std::size_t kn);
    // Gini gains of candidates on whole counts, l1 and l2 holding each
    // one's sums over the node's kn classes of left^2 and of total * left
    // (split::gini_count_gains); node_total as for score.
    void score_gini_counts(const split::ParentTotals& parent, std::size_t count, std::size_t kn);
    // Offers the scored candidates 0..count-1 of one feature to best, in
    // order (the first of equal gains wins); with_above: the winner's next
    // occupied bin goes with it.
    void offer(std::size_t count, std::size_t f, split::BestSplit& best,
               bool with_above = false) const {
        const std::size_t j = first_best(gain.data(), count, best.gain);
        if (j == count) return;
        best.take(gain[j], f, bin[j]);
        if (with_above) best.above = above_of(j);
    }
    // Candidate j's next occupied bin as BestSplit::above holds it.
    std::size_t above_of(std::size_t j) const {
        return above[j] == kNoAbove ? split::BestSplit::kUnknown : above[j];
    }
    static constexpr u32 kNoAbove = ~u32{0};  // no bin above, or none known
    // The candidate that offering gain[0..count) in order to a best of gain
    // `than` would leave: the first of the largest gains when it exceeds
    // `than`, else count. The largest is found without a branch per
    // candidate (NaN gains fail every comparison, so they never win).
    static std::size_t first_best(const double* g, std::size_t count, double than) {
        typedef double v2d __attribute__((vector_size(16)));
        double top = than;
        std::size_t j = 0;
        if (count >= 8) {
            v2d a = {than, than}, b = a, c = a, d = a;
            for (; j + 8 <= count; j += 8) {
                v2d ga, gb, gc, gd;
                std::memcpy(&ga, g + j, sizeof ga);
                std::memcpy(&gb, g + j + 2, sizeof gb);
                std::memcpy(&gc, g + j + 4, sizeof gc);
                std::memcpy(&gd, g + j + 6, sizeof gd);
                a = ga > a ? ga : a;
                b = gb > b ? gb : b;
                c = gc > c ? gc : c;
                d = gd > d ? gd : d;
            }
            a = b > a ? b : a;
            c = d > c ? d : c;
            a = c > a ? c : a;
            top = a[1] > a[0] ? a[1] : a[0];
        }
        for (; j < count; ++j) top = g[j] > top ? g[j] : top;
        if (!(top > than)) return count;
        std::size_t k = 0;
        while (!(g[k] == top)) ++k;  // top is one of the gains
        return k;
    }

    std::vector<std::uint16_t> bin;
    std::vector<u32> feature;  // tiny nodes: each candidate's feature
    std::vector<u32> above;    // each candidate's next occupied bin, or kNoAbove
    std::vector<double> wl, l1, l2;  // left weight, left sums of w*y and y*w*y (regression)
    std::vector<double> gain;
    // Regression on merged slots: l2 is not formed, the gains come from the
    // weights and w*y sums alone (split::regression_gains_of_sums).
    bool sums_only = false;
    std::vector<double> left;        // candidate j's class i at j * kn + i
    std::vector<double> node_total;  // the node's class totals, node-class order
    std::vector<double> running;     // left sums of the walk, node-class order
};

// Count-mode candidates: their packed left counts and bins, collected over
// features (feature order, bins ascending within a feature) and scored
// together.
class CountCandidates {
public:
    explicit CountCandidates(const NodeTotals& node) : node_(node) {}
    void allocate(std::size_t features);

    // Makes room for one more feature's candidates, scoring the ones held.
    void make_room(split::BestSplit& best) {
        if (held_ + kMaxBins > packed_.size() - 8) score(best);
    }
    // Where the next feature's candidates go.
    u64* next_packed() { return packed_.data() + held_; }
    u64* next_bins() { return bins_.data() + held_; }
    // The next count candidates belong to the feature.
    void take(std::size_t feature, std::size_t count) {
        if (count == 0) return;
        runs_.push_back(Run{held_, static_cast<u32>(feature)});
        held_ += count;
    }
    // Scores the held candidates, keeps the first of the largest gain if it
    // beats best, and empties the collection.
    void score(split::BestSplit& best);

private:
    struct Run {
        std::size_t first;  // first candidate of the feature
        u32 feature;
    };
    const NodeTotals& node_;
    std::vector<u64> packed_, bins_;
    std::vector<double> gain_;
    std::vector<Run> runs_;
    std::size_t held_ = 0;
};

// Histograms of dense per-bin records for a batch of features at a time.
class DenseSearch {
public:
    DenseSearch(const SearchContext& ctx, Candidates& cand) : ctx_(ctx), cand_(cand) {}
    // Sizes the histograms for nodes examining at most most_examined
    // features; false when the classes are too many for them.
    bool allocate(std::size_t most_examined);
    void search(const NodeRange& node, split::BestSplit& best);

private:
    // Code: the slots' code type (one byte, or two with wide codes).
    // kSummary: the histograms mark their words' summary bits too.
    template <class Code, bool kSummary, class Rec, class Add>
    void accumulate(u32 begin, u32 end, const u32* fs, std::size_t nb, bool mark, const Rec* rec,
                    Add add);
    // The left totals a walk keeps (kSums: regression on merged slots;
    // kGiniCounts: the gini criterion on merged slots).
    enum class Walk { kSums, kRegression, kTwoClasses, kClasses, kGiniCounts };
    template <Walk kWalk>
    void walk_feature(std::size_t s, std::size_t f, u64 n, split::BestSplit& best);
    // kSums: the walk of regression on merged slots.
    void walk_sums(std::size_t s, std::size_t f, u64 n, split::BestSplit& best);

    SearchContext ctx_;
    Candidates& cand_;
    // Feature s of a batch, bin b at base_[(s * cap_ + b) * stride_];
    // occupancy masks (words_ words) per feature of the batch. Gini counts
    // narrow the stride to the node's classes (see search); the buffer is
    // sized for the tree's classes.
    std::size_t stride_ = 0;
    std::size_t cap_ = kMaxBins;  // bins a feature's histogram holds
    std::size_t batch_ = 1;       // features a pass holds
    std::size_t words_ = kMaxBins / 64;
    bool sums_only_ = false;  // regression records of weight and w*y alone
    bool gini_counts_ = false;  // gini on merged slots: candidates scored from whole counts
    // Gini on merged slots: per node class (padded to pairs), the left
    // counts of a walk and the node's totals; and each tree class's place
    // among the node's classes (node_class_).
    std::vector<double> all_running_, all_total_;
    std::vector<u32> node_class_;
    // Large nodes' gini-count walks: the feature's occupied bins, ascending.
    std::vector<u32> occupied_;
    bool marked_ = false;  // the node's accumulation marked its bins
    std::size_t count_at_ = 1;  // where a record holds its (nonzero) row count
    std::vector<double> sums_;
    double* base_ = nullptr;  // sums_ aligned to a cache line
    std::vector<u64> masks_;
    // With more than 16 mask words a feature: bit w of a feature's summary
    // marks its mask word w as nonzero (summary_words_ words a feature).
    std::size_t summary_words_ = 0;
    std::vector<u64> summary_;
};

class KeptHistograms;

// Count histograms in scratch buffers, a batch of features at a time, and
// the search of a kept histogram.
class CountSearch {
public:
    CountSearch(const SearchContext& ctx, CountCandidates& cand) : ctx_(ctx), cand_(cand) {}
    void allocate();
    void search(const NodeRange& node, split::BestSplit& best);
    // The best split from the complete kept histogram id, which stays
    // intact; features in the node's examined order.
    void search_kept(u64 rows, KeptHistograms& kept, u32 id, split::BestSplit& best);

private:
    void walk_counts(std::size_t s, std::size_t f, u64 n, bool sparse, split::BestSplit& best);

    SearchContext ctx_;
    CountCandidates& cand_;
    std::vector<u64> counts_;
    u64* base_ = nullptr;  // counts_ aligned to a cache line
    std::vector<u64> masks_;
};

// The pool of kept histograms of one tree, each holding every examined
// feature's bins, and their hand-down at a split.
class KeptHistograms {
public:
    static constexpr u32 kNone = 0xFFFFFFFFu;

    // Enables the pool when several histograms of the features in `layout`
    // (their order in every histogram; `features` features in all) fit the
    // budget. Nodes of fewer than `min_split` rows or at `max_depth` do not
    // want one.
    void configure(const std::vector<u32>& layout, std::size_t features, u64 min_split,
                   std::optional<u64> max_depth);
    bool enabled() const { return enabled_; }

    // A zeroed histogram, or kNone when the pool is exhausted.
    u32 acquire();
    void release(u32 id) {
        if (id != kNone) free_.push_back(id);
    }
    u64* data(u32 id) { return kept_[id].data(); }
    // Feature f's bins in histogram id.
    u64* feature(u32 id, u32 f) {
        return kept_[id].data() + static_cast<std::size_t>(at_[f]) * kMaxBins;
    }
    // Counts slots begin..end-1 of every examined feature into histogram id.
    void fill(u32 id, const SearchContext& ctx, u32 begin, u32 end);

    // After node `own` split at mid (left: slots begin..mid-1, nl entries;
    // right: mid..end-1, nr entries): counts the smaller child into a new
    // histogram and leaves the larger child's counts in own. Returns the
    // children's histograms (kNone where a child keeps none; own is
    // released when it is not handed down).
    struct Children {
        u32 left, right;
    };
    Children hand_down(u32 own, const SearchContext& ctx, const NodeRange& node, u32 mid, u64 nl,
                       u64 nr, u64 child_depth);

private:
    // A node of `slots` slots and `rows` entries at `depth` that is worth a
    // histogram: large enough to count into one, and not a leaf by the
    // stop rules. Small nodes rather count into the scratch histograms.
    bool wants(u64 slots, u64 rows, u64 depth) const {
        return slots >= kSparseWalk && rows >= min_split_ && !(max_depth_ && depth >= *max_depth_);
    }

    bool enabled_ = false;
    std::size_t size_ = 0;  // u64 entries per histogram
    std::size_t max_ = 0;   // histograms the budget allows
    u64 min_split_ = 2;
    std::optional<u64> max_depth_;
    std::vector<u32> layout_;  // the features of every histogram, in order
    std::vector<u32> at_;      // per feature, its place in layout_
    std::vector<std::vector<u64>> kept_;
    std::vector<u32> free_;
};

// Searches of tiny nodes.
class TinySearch {
public:
    TinySearch(const SearchContext& ctx, Candidates& cand, CountCandidates& counted)
        : ctx_(ctx), cand_(cand), counted_(counted) {}
    void allocate(std::size_t n_classes) { class_slot_.assign(n_classes, 0); }
    void search(const NodeRange& node, split::BestSplit& best);
    // Regression nodes of two slots.
    void search_pair(const NodeRange& node, split::BestSplit& best);
    // Count mode.
    void search_counts(const NodeRange& node, split::BestSplit& best);

private:
    // kGiniCounts: the gini criterion on merged slots, candidates scored
    // from whole counts (Candidates::score_gini_counts).
    enum class Kind { kRegression, kClasses, kGiniCounts };
    template <Kind kKind, class Code>
    void search_as(const NodeRange& node, split::BestSplit& best);
    template <class Code>
    void search_pair_as(const NodeRange& node, split::BestSplit& best);
    // Merged slots of at most split::kTinySlots, by one vector kernel call
    // for a batch of features: regression (split::tiny_sums_best) and gini
    // counts (split::tiny_gini_best).
    template <class Code>
    void search_sums_as(const NodeRange& node, split::BestSplit& best);
    template <class Code>
    void search_gini_as(const NodeRange& node, split::BestSplit& best);
    // The codes of the examined features, kBatch of them at a time, a row
    // of split::kTinySlots each: kernel(code, features) returns the
    // batch's winner, if any. Sets best.above for the feature that won.
    template <class Code, class Kernel>
    void search_code_batches(const NodeRange& node, split::BestSplit& best, Kernel kernel);
    void flush(std::size_t& count, std::size_t kn, split::BestSplit& best,
               bool gini_counts = false);

    SearchContext ctx_;
    Candidates& cand_;
    CountCandidates& counted_;
    std::vector<u32> class_slot_;  // dense class -> index among the node's classes
};

// The grouped search, one feature at a time.
class GroupedSearch {
public:
    GroupedSearch(const SearchContext& ctx, Candidates& cand) : ctx_(ctx), cand_(cand) {}
    void allocate(std::size_t n_classes);
    void search(const NodeRange& node, split::BestSplit& best);

private:
    // Groups slots begin..end-1 by feature f's bin into order_ and calls
    // visit(b, pos, count) for each occupied bin b <= last, ascending, its
    // slots being order_[pos..pos+count) in node order.
    template <class Visit>
    void for_each_group(u32 begin, u32 end, u32 f, std::size_t last, Visit&& visit);
    // Gini counts: candidates collected per feature with their squares and
    // cross sums, scored together (Candidates::score_gini_counts).
    void search_gini_counts(const NodeRange& node, split::BestSplit& best);

    SearchContext ctx_;
    Candidates& cand_;
    std::vector<u32> order_;      // node slots grouped by bin
    std::vector<u64> keys_;       // wide codes: (code, slot) sort keys
    std::vector<double> left_;    // per dense class, left side of the walk
    std::vector<double> bin_sum_; // per dense class, one bin
    std::vector<u32> touched_;
};

// The random search: per examined feature (in draw order) one drawn
// candidate, scored when admissible; features whose rows share one bin draw
// nothing. The first of the largest gains wins.
class RandomSearch {
public:
    explicit RandomSearch(const SearchContext& ctx) : ctx_(ctx) {}
    void allocate(std::size_t n_classes) { slot_.assign(n_classes, 0); }
    void search(const NodeRange& node, Rng& rng, split::BestSplit& best);

private:
    SearchContext ctx_;
    // Per drawn candidate: feature, bin, left entries and left sums (weight,
    // then the node classes' weights, or w*y and y*w*y).
    std::vector<u32> feature_;
    std::vector<std::uint8_t> bin_;
    std::vector<u64> nl_;
    std::vector<double> sums_;
    std::vector<u64> packed_;  // count mode: packed left counts
    // Vector forms over whole row vectors of 16 features (used when a node
    // examines at least as many features as a row has vectors): every
    // feature's bounds, and the left counts of every candidate.
    static std::size_t vectors(std::size_t features);
    void row_bounds(const std::uint8_t* bins, std::size_t rs, std::size_t features,
                    const NodeRange& node);
    void count_left(const std::uint8_t* bins, std::size_t rs, std::size_t features,
                    const NodeRange& node);
    std::vector<std::uint8_t> row_lo_, row_hi_, cut_;
    std::vector<u64> wide_rows_, wide_ones_;
    std::vector<std::uint8_t> lo_, hi_;
    std::vector<u32> slot_;  // dense class -> index among the node's classes
};

class CategoryTable;

// The best category-set split of the node's categorical features (in the
// order given), taken into best when it beats it; the node's totals must be
// current. rng given: one drawn set a feature (the extremely randomised
// rule).
void search_category_sets(const SearchContext& ctx, std::span<const u32> features,
                          CategoryTable& cells, const NodeRange& node, Rng* rng,
                          split::BestSplit& best);

}  // namespace tw::grow
