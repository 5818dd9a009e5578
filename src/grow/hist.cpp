// Histogram grower: one tree of a forest on a bootstrap list, with candidate
// thresholds taken from the bin edges of the forest's HistogramData.
//
// The bootstrap rows are never copied as feature values. Each tree gathers the
// bin bytes of its sampled rows (row-major, one byte per row and feature) plus
// a small record per row (weight and dense class, or the regression terms).
// A node owns a contiguous range of these working rows, and a split
// partitions the range stably in place, so each node's rows are read
// sequentially and stay in the order of the node's sample list: every per-bin
// sum runs over its rows in node order, and bins are added whole to the left
// totals.
//
// Nodes are grown depth first, left before right, with an explicit stack, so
// the generator is consumed in the same order as a recursive growth would and
// arbitrarily deep trees do not touch the call stack.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "histogram/histogram.hpp"
#include "core/errors.hpp"
#include "grow/grow.hpp"
#include "core/validate.hpp"
#include "split/gain.hpp"
#include "split/kernels.hpp"

namespace tw {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using split::BestSplit;
using split::ClassRecord;
using split::ParentTotals;
using split::RegRecord;
using split::for_each_bit;
using split::load;
using split::store;
using split::v2d;
using split::walk_bins;
using split::subtract_counts;

constexpr std::size_t kMaxBins = 256;
// Classification with at most this many classes accumulates dense per-bin
// class sums; more classes switch to grouping the node's rows by bin.
constexpr std::size_t kDenseClassLimit = 32;
// Doubles of per-bin sums held at once when several features share a pass.
constexpr std::size_t kHistBudget = 49152;
// Nodes with at most this many rows sort their rows by bin per feature
// instead of filling histograms.
constexpr u64 kTinyNode = 16;
// Nodes with fewer rows mark occupied bins while accumulating.
constexpr u64 kMarkLimit = 128;
// Count mode: nodes with fewer rows walk only their marked bins.
constexpr u64 kSparseWalk = 64;


struct Frame {
    u32 begin;
    u32 end;
    u64 depth;
    u32 parent;  // split node whose right child this is, or kNoParent
    u32 hist;    // count mode: buffer already holding this node's histogram
    u64 rows;    // bootstrap entries of the node (slots, or their multiplicities)
};
constexpr u32 kNoParent = std::numeric_limits<u32>::max();
constexpr u32 kNoHist = std::numeric_limits<u32>::max();
// Count mode: a split derives the larger child's histogram from its own when
// that child has at least this many rows.
constexpr u64 kSubtractMin = 128;
// Bytes of kept histograms per tree in count mode.
constexpr std::size_t kKeptHistBudget = std::size_t{8} << 20;

// Copies one row of bin bytes between distinct rows. Short rows are moved
// as two overlapping words (both loaded before either is stored) instead of
// through a library call per row.
inline void copy_row(std::uint8_t* dst, const std::uint8_t* src, std::size_t nf) {
    if (nf >= 8 && nf <= 16) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + nf - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + nf - 8, &b, 8);
    } else if (nf > 16 && nf <= 32) {
        v2d a, b;
        std::memcpy(&a, src, 16);
        std::memcpy(&b, src + nf - 16, 16);
        std::memcpy(dst, &a, 16);
        std::memcpy(dst + nf - 16, &b, 16);
    } else {
        std::memmove(dst, src, nf);
    }
}

class Grower {
public:
    Grower(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> boot,
           const TreeParams& params, Rng& rng, const HistogramData& hist)
        : x_(x), y_(y), w_(w), boot_(boot), params_(params), rng_(rng), hist_(hist),
          n_(boot.size()), nf_(x.cols) {}

    Tree grow();

private:
    void check_inputs() const;
    void gather();
    void remap_classes();
    // Count mode (two classes, unit weights): the bootstrap's repeated rows
    // become one slot each. Returns false, changing nothing that the other
    // modes read, when the bootstrap does not qualify.
    bool gather_distinct();

    u32 make_leaf(u32 begin, u32 end);
    // Count mode: a slot is one distinct bootstrap row. The 32-bit tag after
    // its bins holds how often the bootstrap drew it and, in the top bit,
    // its class.
    u32 tag(u32 slot) const {
        u32 t;
        std::memcpy(&t, bins_.data() + static_cast<std::size_t>(slot) * rs_ + nf_, sizeof t);
        return t;
    }
    // The slot's contribution to a packed count: its multiplicity in the
    // low half, and again in the high half when it is of class 1.
    static u64 tag_add(u32 t) {
        const u64 m = t & 0x7FFFFFFFu;
        return m + ((m & (u64{0} - (t >> 31))) << 32);
    }
    // Count mode: rows and class-1 rows of slots begin..end-1.
    void count_slots(u32 begin, u32 end, u64& rows, u64& ones) const {
        u64 packed = 0;
        for (u32 i = begin; i < end; ++i) packed += tag_add(tag(i));
        rows = packed & 0xFFFFFFFFu;
        ones = packed >> 32;
    }
    // Totals of the node; returns false when a stop rule makes it a leaf.
    bool node_totals(u32 begin, u32 end);
    void choose_features();
    void search_dense(u32 begin, u32 end, BestSplit& best);
    template <class Rec, class Add>
    void accumulate(u32 begin, u32 end, const u32* fs, std::size_t nb, bool mark, const Rec* rec,
                    Add add);
    void walk_feature(std::size_t s, std::size_t f, u64 n, BestSplit& best);
    void search_counts(u32 begin, u32 end, u64 rows, BestSplit& best);
    void walk_counts(std::size_t s, std::size_t f, u64 n, bool sparse, BestSplit& best);
    // Kept histograms (count mode, every feature examined at every node):
    // one buffer of all examined features' bins per node that owns one.
    u64* kept(u32 id) { return kept_[id].data(); }
    u32 acquire_kept();
    void release_kept(u32 id) {
        if (id != kNoHist) kept_free_.push_back(id);
    }
    void count_rows(u32 begin, u32 end, const u32* fs, std::size_t nb, u64* h);
    void search_kept(u64 rows, u64* h, BestSplit& best);
    void take_counts(std::size_t f, std::size_t nc);
    void room_for_counts(BestSplit& best);
    void score_counts(BestSplit& best);
    // Small nodes rather count into the scratch histograms, marking the
    // few bins they occupy.
    bool wants_hist(u64 slots, u64 rows, u64 depth) const {
        return slots >= kSparseWalk && rows >= params_.min_samples_split &&
               !(params_.max_depth && depth >= *params_.max_depth);
    }
    void search_grouped(u32 begin, u32 end, BestSplit& best);
    u32 partition(u32 begin, u32 end, std::size_t feature, std::size_t bin, double threshold);
    template <class Rec, bool kPid>
    u32 partition_as(u32 begin, u32 end, Rec* rec, Rec* rec_tmp, std::size_t feature,
                     std::size_t bin, double threshold);
    void clear_node_classes();
    void search_tiny(u32 begin, u32 end, BestSplit& best);
    void search_tiny_counts(u32 begin, u32 end, u64 rows, BestSplit& best);
    // Tiny nodes: the (bin << 8 | position) keys of slots begin..begin+n-1
    // for feature f, in ascending order. keys[n..kTinyNode) must hold 0xFFFF.
    void sort_tiny(u32 begin, u32 n, u32 f, std::uint16_t* keys, std::uint16_t* sorted) const {
        for (u32 i = 0; i < n; ++i) {
            keys[i] = static_cast<std::uint16_t>(
                (bins_[static_cast<std::size_t>(begin + i) * rs_ + f] << 8) | i);
        }
        // Keys are distinct, so each one's rank is the number of smaller
        // keys: a branch-free sort for a handful of keys.
        for (u32 i = 0; i < n; ++i) {
            const std::uint16_t k = keys[i];
            std::uint16_t rank = 0;
            for (u32 j = 0; j < kTinyNode; ++j) rank += keys[j] < k ? 1 : 0;
            sorted[rank] = k;
        }
    }
    void score_candidates(std::size_t count, std::size_t kn);
    // Gini impurity of the node from its class totals, in class order.
    double node_gini() const {
        return split::gini(node_classes_.size(), W_,
                           [&](std::size_t i) { return tot_[node_classes_[i]]; });
    }
    // Gini gain of a candidate with left weight wl and class weights left_.
    double class_gain(double wl) const {
        const ParentTotals parent{W_, S1_, S2_, G_};
        return split::gini_gain(
            parent, wl, node_classes_.size(), [&](std::size_t i) { return left_[node_classes_[i]]; },
            [&](std::size_t i) { return tot_[node_classes_[i]] - left_[node_classes_[i]]; });
    }
    bool admissible(u64 nl, u64 n, double wl) const {
        return split::admissible(nl, n, wl, W_, msl_);
    }

    const MatrixView& x_;
    Vec y_;
    Vec w_;
    std::span<const std::size_t> boot_;
    const TreeParams& params_;
    Rng& rng_;
    const HistogramData& hist_;
    const std::size_t n_;
    const std::size_t nf_;
    const bool cls_mode_ = params_.is_classification;
    // Two classes and unit weights: every weight sum is a whole number, held
    // exactly both as a double and as an integer, so histograms count rows
    // in integers and give the same sums as adding the weights would.
    bool count_mode_ = false;
    std::size_t rs_ = 0;     // bytes per row of bins_
    bool keep_pid_ = true;   // pid_ is maintained
    std::size_t slots_ = 0;  // working slots: n_, or the distinct rows in count mode
    u64 left_rows_ = 0;      // count mode: rows the last partition sent left
    const u64 msl_ = params_.min_samples_leaf;

    Tree tree_;
    std::vector<std::uint8_t> bins_;  // n_ x nf_, row-major
    std::vector<ClassRecord> crec_;
    std::vector<RegRecord> rrec_;
    // Slot i of the working arrays holds one bootstrap entry; a node owns a
    // contiguous slot range, partitioned stably when it splits.
    std::vector<u32> pid_;                   // bootstrap position of the slot
    std::vector<u32> pid_tmp_;
    std::vector<std::uint8_t> bins_tmp_;
    std::vector<ClassRecord> crec_tmp_;
    std::vector<RegRecord> rrec_tmp_;
    std::vector<std::size_t> leaf_rows_;
    std::vector<u32> features_;
    std::vector<u32> examined_;

    std::size_t n_classes_ = 0;
    std::vector<double> tot_;       // per dense class, this node
    std::vector<u32> class_count_;  // per dense class, this node
    std::vector<double> left_;      // per dense class, left side of a walk
    std::vector<double> bin_acc_;   // per dense class, one bin (grouped search)
    std::vector<u32> node_classes_; // classes present in the node, ascending
    std::vector<u64> class_ids_;    // class index of each dense class
    std::vector<u32> touched_;

    // Dense per-bin records for a batch of features: slot s, bin b at
    // hbase_[(s * 256 + b) * stride_]; occupancy masks per slot.
    std::size_t stride_ = 0;
    std::vector<double> hsum_;
    double* hbase_ = nullptr;  // hsum_ aligned to a cache line
    std::vector<u64> hmask_;
    // Count mode: per slot and bin, rows in the low half and class-1 rows
    // in the high half.
    std::vector<u64> chist_;
    u64* cbase_ = nullptr;
    bool keep_hists_ = false;
    std::size_t kept_max_ = 0;
    std::vector<std::vector<u64>> kept_;
    std::vector<u32> kept_free_;
    std::vector<u32> order_;  // grouped search: node positions grouped by bin
    // Candidates of one feature walk (at most 256, padded to whole vectors).
    std::vector<std::uint16_t> cand_bin_;
    std::vector<u32> cand_feature_;
    std::vector<double> cand_wl_, cand_l1_, cand_l2_, cand_gain_, cand_left_;
    // Count mode: packed left sums (rows, class-1 rows) and bins.
    std::vector<u64> cand_pk_, cand_b_;
    std::size_t ncand_ = 0;  // count-mode candidates collected for the node
    struct Run {
        std::size_t first;  // first candidate of the feature
        u32 feature;
    };
    std::vector<Run> cand_runs_;  // features of the collected candidates
    std::vector<double> lacc_, node_tot_;
    std::vector<u32> class_slot_;  // dense class -> index in node_classes_

    double W_ = 0.0, S1_ = 0.0, S2_ = 0.0, G_ = 0.0;
};

void Grower::check_inputs() const {
    if (n_ >= std::numeric_limits<u32>::max()) throw InternalError("bootstrap list too long");
    if (nf_ > kMaxFeatures) throw ValueError("x has more columns than a tree can address");
    if (hist_.bins.size() != nf_ || hist_.bin_edges.size() != nf_ || hist_.n_bins.size() != nf_) {
        throw InternalError("histogram does not match the feature matrix");
    }
    for (std::size_t f = 0; f < nf_; ++f) {
        if (hist_.bins[f].size() < x_.rows || hist_.n_bins[f] != hist_.bin_edges[f].size() ||
            hist_.n_bins[f] > kMaxBins) {
            throw InternalError("histogram does not match the feature matrix");
        }
    }
    const std::size_t limit = std::min({x_.rows, y_.size(), w_.size()});
    for (std::size_t r : boot_) {
        if (r >= limit) throw InternalError("bootstrap row index out of range");
    }
}

void Grower::gather() {
    if (cls_mode_) {
        // Count-mode slots remember a bootstrap position only where a split
        // must read raw values (columns with NaN).
        keep_pid_ = false;
        for (std::size_t f = 0; f < nf_; ++f) keep_pid_ = keep_pid_ || !hist_.is_nan_free(f);
        count_mode_ = gather_distinct();
        if (!count_mode_) {
            keep_pid_ = true;
            remap_classes();
        }
    }
    if (!count_mode_) {
        slots_ = n_;
        rs_ = nf_;
        bins_.resize(n_ * rs_);
        for (std::size_t f = 0; f < nf_; ++f) {
            const std::uint8_t* col = hist_.bins[f].data();
            std::uint8_t* out = bins_.data() + f;
            for (std::size_t p = 0; p < n_; ++p) out[p * rs_] = col[boot_[p]];
        }
    }
    if (!cls_mode_) {
        rrec_.resize(n_);
        for (std::size_t p = 0; p < n_; ++p) {
            const std::size_t r = boot_[p];
            const double wy = w_[r] * y_[r];
            rrec_[p] = RegRecord{w_[r], wy, y_[r] * wy};
        }
    }
    if (keep_pid_ && !count_mode_) {
        pid_.resize(n_);
        for (std::size_t p = 0; p < n_; ++p) pid_[p] = static_cast<u32>(p);
    }
    if (keep_pid_) pid_tmp_.resize(slots_);
    bins_tmp_.resize(slots_ * rs_);
    if (cls_mode_ && !count_mode_) {
        crec_tmp_.resize(n_);
    } else if (!cls_mode_) {
        rrec_tmp_.resize(n_);
    }
}

// Count mode: all sums are counts, which do not depend on the order or the
// grouping of the entries, so the bootstrap's repeated rows become one slot
// each, carrying their multiplicity. Slots follow ascending row order.
bool Grower::gather_distinct() {
    if (n_ == 0 || n_ >= (std::size_t{1} << 31)) return false;
    const std::size_t rows = x_.rows;
    std::vector<u32> mult(rows, 0);
    std::vector<u32> first(keep_pid_ ? rows : 0, 0);
    for (std::size_t p = 0; p < n_; ++p) {
        const std::size_t r = boot_[p];
        if (mult[r]++ == 0 && keep_pid_) first[r] = static_cast<u32>(p);
    }
    std::vector<u32> distinct;
    distinct.reserve(n_);
    for (std::size_t r = 0; r < rows; ++r)
        if (mult[r] != 0) distinct.push_back(static_cast<u32>(r));
    // Unit weights and exactly two classes, or no count mode.
    std::vector<u64> label(distinct.size());
    u64 lo = 0, hi = 0;
    std::size_t seen = 0;
    for (std::size_t e = 0; e < distinct.size(); ++e) {
        const u32 r = distinct[e];
        if (w_[r] != 1.0) return false;
        const u64 l = class_index(y_[r]);
        label[e] = l;
        if (seen == 0) {
            lo = hi = l;
            seen = 1;
        } else if (l != lo && l != hi) {
            if (seen == 2) return false;
            lo = std::min(lo, l);
            hi = std::max(hi, l);
            seen = 2;
        }
    }
    if (seen != 2) return false;
    n_classes_ = 2;
    class_ids_ = {lo, hi};
    tot_.assign(2, 0.0);
    class_count_.assign(2, 0);
    left_.assign(2, 0.0);

    slots_ = distinct.size();
    rs_ = nf_ + sizeof(u32);
    bins_.resize(slots_ * rs_);
    for (std::size_t f = 0; f < nf_; ++f) {
        const std::uint8_t* col = hist_.bins[f].data();
        std::uint8_t* out = bins_.data() + f;
        for (std::size_t e = 0; e < slots_; ++e) out[e * rs_] = col[distinct[e]];
    }
    for (std::size_t e = 0; e < slots_; ++e) {
        const u32 t = mult[distinct[e]] | (static_cast<u32>(label[e] == hi) << 31);
        std::memcpy(bins_.data() + e * rs_ + nf_, &t, sizeof t);
    }
    if (keep_pid_) {
        pid_.resize(slots_);
        for (std::size_t e = 0; e < slots_; ++e) pid_[e] = first[distinct[e]];
    }
    return true;
}

// Dense classes 0..K-1 in ascending order of the class index, so sums over
// classes keep ascending class order while a huge label costs nothing.
void Grower::remap_classes() {
    crec_.resize(n_);
    std::vector<u64> labels(n_);
    u64 max_label = 0;
    for (std::size_t p = 0; p < n_; ++p) {
        labels[p] = class_index(y_[boot_[p]]);
        max_label = std::max(max_label, labels[p]);
    }
    if (n_ > 0 && max_label < 4 * static_cast<u64>(n_) + 1024) {
        std::vector<u32> dense(static_cast<std::size_t>(max_label) + 1, 0);
        for (u64 l : labels) dense[l] = 1;
        u32 k = 0;
        class_ids_.clear();
        for (std::size_t l = 0; l < dense.size(); ++l) {
            const u32 present = dense[l];
            dense[l] = k;
            if (present != 0) class_ids_.push_back(l);
            k += present;
        }
        n_classes_ = k;
        for (std::size_t p = 0; p < n_; ++p) {
            crec_[p] = ClassRecord{w_[boot_[p]], dense[labels[p]]};
        }
    } else {
        std::vector<u64> sorted = labels;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        n_classes_ = sorted.size();
        class_ids_ = sorted;
        for (std::size_t p = 0; p < n_; ++p) {
            const auto it = std::lower_bound(sorted.begin(), sorted.end(), labels[p]);
            crec_[p] = ClassRecord{w_[boot_[p]], static_cast<u32>(it - sorted.begin())};
        }
    }
    tot_.assign(n_classes_, 0.0);
    class_count_.assign(n_classes_, 0);
    left_.assign(n_classes_, 0.0);
    if (n_classes_ > kDenseClassLimit) bin_acc_.assign(n_classes_, 0.0);
}

u32 Grower::make_leaf(u32 begin, u32 end) {
    if (!cls_mode_) {
        // The weighted mean from the working records: each record's w*y is
        // the product the leaf formula forms, and slots run in node order.
        if (tree_.nodes.size() >= std::numeric_limits<u32>::max()) {
            throw InternalError("tree has too many nodes");
        }
        double total_w = 0.0, total_wy = 0.0;
        for (u32 i = begin; i < end; ++i) {
            total_w += rrec_[i].w;
            total_wy += rrec_[i].wy;
        }
        Node leaf;
        leaf.n_samples = end - begin;
        leaf.value = total_w > 0.0 ? total_wy / total_w : 0.0;
        tree_.nodes.push_back(leaf);
        return static_cast<u32>(tree_.nodes.size() - 1);
    }
    if (count_mode_) {
        // Unit weights: each class's weight is its count.
        u64 rows = 0, ones = 0;
        count_slots(begin, end, rows, ones);
        const u64 count[2] = {rows - ones, ones};
        return create_count_leaf(tree_, rows, class_ids_.data(), count);
    }
    leaf_rows_.clear();
    for (u32 i = begin; i < end; ++i) leaf_rows_.push_back(boot_[pid_[i]]);
    return create_leaf(tree_, y_, w_, leaf_rows_, cls_mode_);
}

bool Grower::node_totals(u32 begin, u32 end) {
    W_ = 0.0;
    if (count_mode_) {
        // Unit weights: the sums are the class counts.
        u64 rows = 0, ones = 0;
        count_slots(begin, end, rows, ones);
        const u64 count[2] = {rows - ones, ones};
        node_classes_.clear();
        for (u32 c = 0; c < 2; ++c) {
            tot_[c] = static_cast<double>(count[c]);
            class_count_[c] = static_cast<u32>(count[c]);
            if (count[c] != 0) node_classes_.push_back(c);
        }
        W_ = static_cast<double>(rows);
        if (node_classes_.size() <= 1) return false;
        G_ = node_gini();
    } else if (cls_mode_) {
        touched_.clear();
        for (u32 i = begin; i < end; ++i) {
            const ClassRecord& r = crec_[i];
            W_ += r.w;
            tot_[r.cls] += r.w;
            if (class_count_[r.cls]++ == 0) touched_.push_back(r.cls);
        }
        node_classes_.assign(touched_.begin(), touched_.end());
        std::sort(node_classes_.begin(), node_classes_.end());
        if (node_classes_.size() <= 1) return false;  // empty or a single class
        if (!(W_ > 0.0)) return false;
        G_ = node_gini();
    } else {
        S1_ = 0.0;
        S2_ = 0.0;
        for (u32 i = begin; i < end; ++i) {
            const RegRecord& r = rrec_[i];
            W_ += r.w;
            S1_ += r.wy;
            S2_ += r.ywy;
        }
        if (!(W_ > 0.0)) return false;
        G_ = split::variance(W_, S1_, S2_);
    }
    return true;
}

void Grower::clear_node_classes() {
    for (u32 c : node_classes_) {
        tot_[c] = 0.0;
        class_count_[c] = 0;
    }
    node_classes_.clear();
}

void Grower::choose_features() {
    examined_.clear();
    std::size_t k = nf_;
    if (params_.max_features && *params_.max_features < nf_) {
        k = static_cast<std::size_t>(*params_.max_features);
        for (std::size_t f = 0; f < nf_; ++f) features_[f] = static_cast<u32>(f);
        shuffle(rng_, std::span<u32>(features_.data(), nf_));
    } else {
        for (std::size_t f = 0; f < nf_; ++f) features_[f] = static_cast<u32>(f);
    }
    for (std::size_t j = 0; j < k; ++j) {
        if (hist_.n_bins[features_[j]] >= 2) examined_.push_back(features_[j]);
    }
}

// All examined features share passes over the node's rows, a batch at a
// time; each bin accumulates its rows in node order.
void Grower::search_dense(u32 begin, u32 end, BestSplit& best) {
    const u64 n = end - begin;
    const std::size_t stride = stride_;
    const std::size_t batch = std::max<std::size_t>(1, kHistBudget / (kMaxBins * stride));
    // Small nodes mark occupied bins while accumulating; large ones find
    // them afterwards by scanning the counts, which keeps the shared mask
    // words out of the per-row dependency chain.
    const bool mark = n < kMarkLimit;
    for (std::size_t first = 0; first < examined_.size(); first += batch) {
        const std::size_t nb = std::min(batch, examined_.size() - first);
        const u32* fs = examined_.data() + first;
        if (cls_mode_) {
            accumulate(begin, end, fs, nb, mark, crec_.data(), [](double* h, const ClassRecord& r) {
                store(h, load<v2d>(h) + v2d{r.w, 1.0});
                h[2 + r.cls] += r.w;
            });
        } else {
            // Two lanes at a time: each lane is its own IEEE sum.
            accumulate(begin, end, fs, nb, mark, rrec_.data(), [](double* h, const RegRecord& r) {
                store(h, load<v2d>(h) + v2d{r.w, 1.0});
                store(h + 2, load<v2d>(h + 2) + v2d{r.wy, r.ywy});
            });
        }
        for (std::size_t s = 0; s < nb; ++s) walk_feature(s, fs[s], n, best);
    }
}

template <class Rec, class Add>
void Grower::accumulate(u32 begin, u32 end, const u32* fs, std::size_t nb, bool mark,
                        const Rec* rec, Add add) {
    const std::size_t stride = stride_;
    const std::uint8_t* bins = bins_.data();
    double* hsum = hbase_;
    if (mark) {
        u64* hmask = hmask_.data();
        for (u32 p = begin; p < end; ++p) {
            const Rec r = rec[p];
            const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs_;
            for (std::size_t s = 0; s < nb; ++s) {
                const std::size_t b = row[fs[s]];
                const std::size_t slot = s * kMaxBins + b;
                add(hsum + slot * stride, r);
                hmask[s * 4 + (b >> 6)] |= u64{1} << (b & 63);
            }
        }
        return;
    }
    for (u32 p = begin; p < end; ++p) {
        const Rec r = rec[p];
        const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs_;
        for (std::size_t s = 0; s < nb; ++s) {
            const std::size_t slot = s * kMaxBins + row[fs[s]];
            add(hsum + slot * stride, r);
        }
    }
    for (std::size_t s = 0; s < nb; ++s) {
        const std::size_t bins_f = hist_.n_bins[fs[s]];
        const double* h = hsum + s * kMaxBins * stride;
        u64* mask = hmask_.data() + s * 4;
        for (std::size_t b = 0; b < bins_f; ++b) {
            mask[b >> 6] |= static_cast<u64>(h[b * stride + 1] != 0.0) << (b & 63);
        }
    }
}

// Walks one feature's occupied bins in ascending order, adding each bin
// whole to the left totals; empty bins would repeat the previous candidate's
// gain and can never win. Clears the feature's histogram slot.
void Grower::walk_feature(std::size_t s, std::size_t f, u64 n, BestSplit& best) {
    const std::size_t stride = stride_;
    const std::size_t last = hist_.n_bins[f] - 2;  // last candidate bin
    const std::size_t kn = cls_mode_ ? node_classes_.size() : 0;
    u64* mask = hmask_.data() + s * 4;
    u64 nl = 0;
    double wl = 0.0;
    // Left sums of w*y and y*(w*y) (regression) or of the two classes'
    // weights (binary classification).
    v2d l12 = {0.0, 0.0};
    const bool binary = cls_mode_ && kn == 2 && n_classes_ == 2;
    std::size_t nc = 0;
    for (std::size_t i = 0; i < kn; ++i) lacc_[i] = 0.0;
    for_each_bit(mask, [&](std::size_t b) __attribute__((always_inline)) {
        const std::size_t slot = s * kMaxBins + b;
        double* h = hbase_ + slot * stride;
        if (b <= last) {
            nl += static_cast<u64>(h[1]);
            wl += h[0];
            if (binary) {
                // Both classes present: class i's sums sit at h[2 + i].
                l12 += load<v2d>(h + 2);
                store(cand_left_.data() + nc * 2, l12);
            } else if (cls_mode_) {
                double* lc = cand_left_.data() + nc * kn;
                for (std::size_t i = 0; i < kn; ++i) {
                    lacc_[i] += h[2 + node_classes_[i]];
                    lc[i] = lacc_[i];
                }
            } else {
                l12 += load<v2d>(h + 2);
                cand_l1_[nc] = l12[0];
                cand_l2_[nc] = l12[1];
            }
            // Only admissible candidates are kept: the next one overwrites
            // this slot otherwise.
            cand_bin_[nc] = static_cast<std::uint16_t>(b);
            cand_wl_[nc] = wl;
            nc += admissible(nl, n, wl) ? 1 : 0;
        }
        if (stride == 4) {
            store(h, v2d{0.0, 0.0});
            store(h + 2, v2d{0.0, 0.0});
        } else {
            std::fill_n(h, stride, 0.0);
        }
    });
    mask[0] = mask[1] = mask[2] = mask[3] = 0;
    if (nc == 0) return;

    if (cls_mode_) {
        for (std::size_t i = 0; i < kn; ++i) node_tot_[i] = tot_[node_classes_[i]];
    }
    score_candidates(nc, kn);
    for (std::size_t j = 0; j < nc; ++j) {
        if (cand_gain_[j] > best.gain) {
            best.gain = cand_gain_[j];
            best.feature = f;
            best.bin = cand_bin_[j];
            best.found = true;
        }
    }
}

// Count mode: as search_dense, with one integer add per row and feature.
// Nodes with few rows mark their occupied bins and walk only those; larger
// ones walk every bin without branches.
void Grower::search_counts(u32 begin, u32 end, u64 n, BestSplit& best) {
    const std::size_t batch = kHistBudget / kMaxBins;
    const bool sparse = end - begin < kSparseWalk;
    const std::uint8_t* bins = bins_.data();
    const std::size_t rs = rs_;
    u64* hist = cbase_;
    u64* hmask = hmask_.data();
    for (std::size_t first = 0; first < examined_.size(); first += batch) {
        const std::size_t nb = std::min(batch, examined_.size() - first);
        const u32* fs = examined_.data() + first;
        if (sparse) {
            for (u32 p = begin; p < end; ++p) {
                const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
                const u64 add = tag_add(tag(p));
                for (std::size_t s = 0; s < nb; ++s) {
                    const std::size_t b = row[fs[s]];
                    hist[s * kMaxBins + b] += add;
                    hmask[s * 4 + (b >> 6)] |= u64{1} << (b & 63);
                }
            }
        } else {
            count_rows(begin, end, fs, nb, hist);
        }
        for (std::size_t s = 0; s < nb; ++s) walk_counts(s, fs[s], n, sparse, best);
    }
    score_counts(best);
}

u32 Grower::acquire_kept() {
    u32 id;
    if (!kept_free_.empty()) {
        id = kept_free_.back();
        kept_free_.pop_back();
        std::fill(kept_[id].begin(), kept_[id].end(), u64{0});
    } else if (kept_.size() < kept_max_) {
        id = static_cast<u32>(kept_.size());
        kept_.emplace_back(examined_.size() * kMaxBins + 4, u64{0});
    } else {
        return kNoHist;
    }
    return id;
}

// Adds slots begin..end-1 to the count histograms of features fs[0..nb)
// (slot s of h for feature fs[s]).
void Grower::count_rows(u32 begin, u32 end, const u32* fs, std::size_t nb, u64* h) {
    const std::uint8_t* bins = bins_.data();
    const std::size_t rs = rs_;
    for (u32 p = begin; p < end; ++p) {
        const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
        const u64 add = tag_add(tag(p));
        for (std::size_t s = 0; s < nb; ++s) h[s * kMaxBins + row[fs[s]]] += add;
    }
}

// BestSplit split from a complete kept histogram, which stays intact.
void Grower::search_kept(u64 n, u64* h, BestSplit& best) {
    const u64 side = std::max<u64>(msl_, 1);
    if (n < 2 * side) return;
    for (std::size_t s = 0; s < examined_.size(); ++s) {
        const std::size_t f = examined_[s];
        room_for_counts(best);
        const std::size_t nc = walk_bins(h + s * kMaxBins, hist_.n_bins[f] - 2, 0, side, n - side,
                                         cand_pk_.data() + ncand_, cand_b_.data() + ncand_);
        take_counts(f, nc);
    }
    score_counts(best);
}

// walk_feature for count histograms. Candidates keep their integer left
// counts; the gain kernel turns them into the doubles the weight sums would
// have given. Clears the feature's histogram slot.
void Grower::walk_counts(std::size_t s, std::size_t f, u64 n, bool sparse, BestSplit& best) {
    const std::size_t last = hist_.n_bins[f] - 2;
    u64* h = cbase_ + s * kMaxBins;
    // Admissible: at least max(min_samples_leaf, 1) rows on each side.
    const u64 side = std::max<u64>(msl_, 1);
    if (n < 2 * side) {
        u64* mask = hmask_.data() + s * 4;
        if (sparse) {
            for_each_bit(mask, [&](std::size_t b) { h[b] = 0; });
            mask[0] = mask[1] = mask[2] = mask[3] = 0;
        } else {
            std::fill_n(h, hist_.n_bins[f], u64{0});
        }
        return;
    }
    const u64 lo = side;
    const u64 hi = n - side;
    room_for_counts(best);
    u64* pk = cand_pk_.data() + ncand_;
    u64* bins = cand_b_.data() + ncand_;
    std::size_t nc = 0;
    if (sparse) {
        u64* mask = hmask_.data() + s * 4;
        u64 sum = 0;
        for_each_bit(mask, [&](std::size_t b) __attribute__((always_inline)) {
            if (b <= last) {
                sum += h[b];
                const u64 nl = sum & 0xFFFFFFFFu;
                pk[nc] = sum;
                bins[nc] = b;
                nc += (nl >= lo) & (nl <= hi);
            }
            h[b] = 0;
        });
        mask[0] = mask[1] = mask[2] = mask[3] = 0;
    } else {
        nc = walk_bins(h, last, hist_.n_bins[f], lo, hi, pk, bins);
    }
    take_counts(f, nc);
}

// Count-mode candidates of a node are collected over its features (in
// feature order, bins ascending within a feature) and scored together.
void Grower::take_counts(std::size_t f, std::size_t nc) {
    if (nc == 0) return;
    cand_runs_.push_back(Run{ncand_, static_cast<u32>(f)});
    ncand_ += nc;
}

// Makes room for one more feature's candidates, scoring the ones held.
void Grower::room_for_counts(BestSplit& best) {
    if (ncand_ + kMaxBins > cand_pk_.size() - 8) score_counts(best);
}

// Scores the collected candidates and keeps the first of the largest gain
// if it beats the best so far (gains here are never NaN: both sides hold
// rows); the collection is emptied.
void Grower::score_counts(BestSplit& best) {
    const std::size_t nc = ncand_;
    if (nc == 0) return;
    ncand_ = 0;
    // Pad to whole vectors with copies of the last candidate.
    for (std::size_t j = nc; j < ((nc + 3) & ~std::size_t{3}); ++j) cand_pk_[j] = cand_pk_[nc - 1];
    const double m = count_gains(ParentTotals{W_, S1_, S2_, G_}, tot_[0], tot_[1], cand_pk_.data(),
                                 cand_gain_.data(), nc);
    if (m > best.gain) {
        const double* g = cand_gain_.data();
        std::size_t j = 0;
        while (g[j] != m) ++j;
        std::size_t r = 0;
        while (r + 1 < cand_runs_.size() && cand_runs_[r + 1].first <= j) ++r;
        best.gain = m;
        best.feature = cand_runs_[r].feature;
        best.bin = cand_b_[j];
        best.found = true;
    }
    cand_runs_.clear();
}

// search_tiny in count mode: the groups' packed counts are summed in
// integers, and the candidates of all features are scored together by
// count_gains, then scanned in feature and bin order.
void Grower::search_tiny_counts(u32 begin, u32 end, u64 rows, BestSplit& best) {
    const u32 n = end - begin;  // slots
    const u64 side = std::max<u64>(msl_, 1);
    if (rows < 2 * side) return;
    const u64 lo = side;
    const u64 hi = rows - side;
    alignas(32) std::uint16_t keys[kTinyNode];
    std::uint16_t sorted[kTinyNode];
    std::fill_n(keys, kTinyNode, std::uint16_t{0xFFFF});
    u64 adds[kTinyNode];
    for (u32 i = 0; i < n; ++i) adds[i] = tag_add(tag(begin + i));
    for (u32 f : examined_) {
        room_for_counts(best);
        std::size_t nc = ncand_;
        sort_tiny(begin, n, f, keys, sorted);
        const std::size_t last = hist_.n_bins[f] - 2;
        u64 sum = 0;
        for (u32 i = 0; i < n;) {
            const std::size_t b = sorted[i] >> 8;
            if (b > last) break;
            for (; i < n && (sorted[i] >> 8) == b; ++i) sum += adds[sorted[i] & 0xFF];
            const u64 nl = sum & 0xFFFFFFFFu;
            cand_pk_[nc] = sum;
            cand_b_[nc] = b;
            nc += (nl >= lo) & (nl <= hi);
        }
        take_counts(f, nc - ncand_);
    }
    score_counts(best);
}

// Tiny nodes: per feature, the rows' (bin, position) keys are sorted, which
// groups each bin's rows in node order; each group's sums are formed over its
// rows in that order and added whole to the left totals, exactly as a
// histogram would, without touching 256-bin tables. The admissible
// candidates of all features are collected first and their gains computed
// together by the vector kernels, then scanned in feature and bin order.
void Grower::search_tiny(u32 begin, u32 end, BestSplit& best) {
    const u32 n = end - begin;
    const std::size_t kn = cls_mode_ ? node_classes_.size() : 0;
    // Unused key slots hold 0xFFFF, above every real key.
    alignas(32) std::uint16_t keys[kTinyNode];
    std::uint16_t sorted[kTinyNode];
    std::fill_n(keys, kTinyNode, std::uint16_t{0xFFFF});
    double group[kTinyNode];
    if (cls_mode_) {
        for (std::size_t i = 0; i < kn; ++i) {
            class_slot_[node_classes_[i]] = static_cast<u32>(i);
            node_tot_[i] = tot_[node_classes_[i]];
        }
    }
    std::size_t nc = 0;
    const auto flush = [&] {
        if (nc == 0) return;
        score_candidates(nc, kn);
        for (std::size_t j = 0; j < nc; ++j) {
            if (cand_gain_[j] > best.gain) {
                best.gain = cand_gain_[j];
                best.feature = cand_feature_[j];
                best.bin = cand_bin_[j];
                best.found = true;
            }
        }
        nc = 0;
    };
    if (n == 2 && !cls_mode_) {
        // Two entries: a feature is a candidate when their bins differ, with
        // the entry of the lower bin alone on the left. The left sums are
        // formed exactly as the general walk forms them (a group sum added
        // to zero totals).
        const std::uint8_t* row0 = bins_.data() + static_cast<std::size_t>(begin) * rs_;
        const std::uint8_t* row1 = row0 + rs_;
        for (u32 f : examined_) {
            const std::uint8_t b0 = row0[f];
            const std::uint8_t b1 = row1[f];
            if (b0 == b1) continue;
            const RegRecord& r = rrec_[b0 < b1 ? begin : begin + 1];
            const double wl = 0.0 + (0.0 + r.w);
            if (!admissible(1, 2, wl)) continue;
            cand_wl_[nc] = wl;
            cand_l1_[nc] = 0.0 + (0.0 + r.wy);
            cand_l2_[nc] = 0.0 + (0.0 + r.ywy);
            cand_feature_[nc] = f;
            cand_bin_[nc] = b0 < b1 ? b0 : b1;
            if (++nc == kMaxBins) flush();
        }
        flush();
        return;
    }
    for (u32 f : examined_) {
        sort_tiny(begin, n, f, keys, sorted);
        const std::size_t last = hist_.n_bins[f] - 2;
        u64 nl = 0;
        double wl = 0.0, l1 = 0.0, l2 = 0.0;
        for (std::size_t i = 0; i < kn; ++i) lacc_[i] = 0.0;
        for (u32 i = 0; i < n;) {
            const std::size_t b = sorted[i] >> 8;
            if (b > last) break;
            u32 j = i;
            double bw = 0.0;
            if (cls_mode_) {
                for (std::size_t c = 0; c < kn; ++c) group[c] = 0.0;
                for (; j < n && (sorted[j] >> 8) == b; ++j) {
                    const ClassRecord& r = crec_[begin + (sorted[j] & 0xFF)];
                    bw += r.w;
                    group[class_slot_[r.cls]] += r.w;
                }
                for (std::size_t c = 0; c < kn; ++c) lacc_[c] += group[c];
            } else {
                double b1 = 0.0, b2 = 0.0;
                for (; j < n && (sorted[j] >> 8) == b; ++j) {
                    const RegRecord& r = rrec_[begin + (sorted[j] & 0xFF)];
                    bw += r.w;
                    b1 += r.wy;
                    b2 += r.ywy;
                }
                l1 += b1;
                l2 += b2;
            }
            nl += j - i;
            wl += bw;
            i = j;
            if (!admissible(nl, n, wl)) continue;
            cand_wl_[nc] = wl;
            if (cls_mode_) {
                std::copy_n(lacc_.data(), kn, cand_left_.data() + nc * kn);
            } else {
                cand_l1_[nc] = l1;
                cand_l2_[nc] = l2;
            }
            cand_feature_[nc] = f;
            cand_bin_[nc] = static_cast<std::uint16_t>(b);
            if (++nc == kMaxBins) flush();
        }
    }
    flush();
}

// Gains of candidates 0..count-1 (left totals in cand_wl_ and cand_l1_ /
// cand_l2_, or cand_left_ with kn classes per candidate) into cand_gain_.
void Grower::score_candidates(std::size_t count, std::size_t kn) {
    // Pad to whole vectors with harmless copies of the last candidate.
    const std::size_t padded = (count + 3) & ~std::size_t{3};
    for (std::size_t j = count; j < padded; ++j) {
        cand_wl_[j] = cand_wl_[count - 1];
        if (cls_mode_) {
            std::copy_n(cand_left_.data() + (count - 1) * kn, kn, cand_left_.data() + j * kn);
        } else {
            cand_l1_[j] = cand_l1_[count - 1];
            cand_l2_[j] = cand_l2_[count - 1];
        }
    }
    const ParentTotals parent{W_, S1_, S2_, G_};
    if (cls_mode_) {
        class_gains(parent, node_tot_.data(), kn, cand_wl_.data(), cand_left_.data(),
                    cand_gain_.data(), padded);
    } else {
        regression_gains(parent, cand_wl_.data(), cand_l1_.data(), cand_l2_.data(),
                         cand_gain_.data(), padded);
    }
}

// Many classes: one feature at a time, the node's rows grouped by bin with a
// stable counting sort, each bin's class sums formed over its rows in node
// order and merged whole into the left totals.
void Grower::search_grouped(u32 begin, u32 end, BestSplit& best) {
    const u64 n = end - begin;
    order_.resize(std::max<std::size_t>(order_.size(), n));
    u32 counts[kMaxBins];
    u32 offsets[kMaxBins];
    for (u32 f : examined_) {
        std::fill(counts, counts + kMaxBins, 0u);
        for (u32 i = begin; i < end; ++i) {
            ++counts[bins_[static_cast<std::size_t>(i) * rs_ + f]];
        }
        u32 acc = 0;
        for (std::size_t b = 0; b < kMaxBins; ++b) {
            offsets[b] = acc;
            acc += counts[b];
        }
        for (u32 p = begin; p < end; ++p) {
            order_[offsets[bins_[static_cast<std::size_t>(p) * rs_ + f]]++] = p;
        }
        const std::size_t last = hist_.n_bins[f] - 2;
        u64 nl = 0;
        double wl = 0.0;
        std::size_t pos = 0;
        for (std::size_t b = 0; b <= last; ++b) {
            if (counts[b] == 0) continue;
            double bw = 0.0;
            touched_.clear();
            for (std::size_t e = pos; e < pos + counts[b]; ++e) {
                const ClassRecord& r = crec_[order_[e]];
                bw += r.w;
                if (bin_acc_[r.cls] == 0.0) touched_.push_back(r.cls);
                bin_acc_[r.cls] += r.w;
            }
            pos += counts[b];
            // A class listed twice merges its sum once and then adds 0.0; a
            // class whose weights here are all zero is not listed and would
            // only add 0.0 to the left totals.
            for (u32 c : touched_) {
                left_[c] += bin_acc_[c];
                bin_acc_[c] = 0.0;
            }
            nl += counts[b];
            wl += bw;
            if (admissible(nl, n, wl)) {
                const double gain = class_gain(wl);
                if (gain > best.gain) {
                    best.gain = gain;
                    best.feature = f;
                    best.bin = b;
                    best.found = true;
                }
            }
        }
        for (u32 c : node_classes_) left_[c] = 0.0;
    }
}

// Stable partition of the node's slots: rows going left are compacted in
// place, the others collected aside and appended. Every row is written to
// both places and only the left counter moves (the right one follows from
// it), so no branch depends on the data. Rec is void in count mode, whose
// classes travel inside the rows.
template <class Rec, bool kPid>
u32 Grower::partition_as(u32 begin, u32 end, Rec* rec, Rec* rec_tmp, std::size_t feature,
                         std::size_t bin, double threshold) {
    const bool by_bin = hist_.is_nan_free(feature);
    const std::size_t rs = rs_;
    std::uint8_t* bins = bins_.data();
    std::uint8_t* tmp = bins_tmp_.data();
    u64 left_rows = 0;
    u32 out = begin;
    for (u32 i = begin; i < end; ++i) {
        const u32 right = i - out;
        // The threshold is the bin's upper edge, so for a column without NaN
        // "value <= threshold" holds exactly for the rows of bins 0..bin.
        const std::uint8_t* src = bins + static_cast<std::size_t>(i) * rs;
        const bool go_left = by_bin ? src[feature] <= bin : x_.at(boot_[pid_[i]], feature) <= threshold;
        copy_row(tmp + static_cast<std::size_t>(right) * rs, src, rs);
        copy_row(bins + static_cast<std::size_t>(out) * rs, src, rs);
        if constexpr (!std::is_void_v<Rec>) {
            const Rec r = rec[i];
            rec_tmp[right] = r;
            rec[out] = r;
        } else {
            u32 t;
            std::memcpy(&t, src + nf_, sizeof t);
            left_rows += (t & 0x7FFFFFFFu) & (0u - static_cast<u32>(go_left));
        }
        if constexpr (kPid) {
            const u32 q = pid_[i];
            pid_tmp_[right] = q;
            pid_[out] = q;
        }
        out += static_cast<u32>(go_left);
    }
    const u32 right = end - out;
    std::memcpy(bins + static_cast<std::size_t>(out) * rs, tmp, static_cast<std::size_t>(right) * rs);
    if constexpr (!std::is_void_v<Rec>) std::copy(rec_tmp, rec_tmp + right, rec + out);
    if constexpr (kPid) std::copy(pid_tmp_.begin(), pid_tmp_.begin() + right, pid_.begin() + out);
    left_rows_ = std::is_void_v<Rec> ? left_rows : out - begin;
    return out;
}

u32 Grower::partition(u32 begin, u32 end, std::size_t feature, std::size_t bin,
                      double threshold) {
    if (count_mode_) {
        return keep_pid_ ? partition_as<void, true>(begin, end, nullptr, nullptr, feature, bin, threshold)
                         : partition_as<void, false>(begin, end, nullptr, nullptr, feature, bin, threshold);
    }
    return cls_mode_
               ? partition_as<ClassRecord, true>(begin, end, crec_.data(), crec_tmp_.data(), feature, bin, threshold)
               : partition_as<RegRecord, true>(begin, end, rrec_.data(), rrec_tmp_.data(), feature, bin, threshold);
}

Tree Grower::grow() {
    check_inputs();
    gather();
    features_.resize(nf_);
    // Per-bin record: weight, row count (exact as a double), then the
    // regression sums or the class sums; rounded up to whole 16-byte pairs.
    if (!cls_mode_) {
        stride_ = 4;
    } else if (n_classes_ <= kDenseClassLimit) {
        stride_ = (2 + n_classes_ + 1) & ~std::size_t{1};
    }
    if (count_mode_) {
        const std::size_t batch = std::min(kHistBudget / kMaxBins, std::max<std::size_t>(1, nf_));
        chist_.assign(batch * kMaxBins + 8, 0);
        cbase_ = chist_.data();
        while (reinterpret_cast<std::uintptr_t>(cbase_) % 64 != 0) ++cbase_;
        hmask_.assign(batch * 4, 0);
    } else if (stride_ != 0) {
        const std::size_t batch =
            std::min(std::max<std::size_t>(1, kHistBudget / (kMaxBins * stride_)),
                     std::max<std::size_t>(1, nf_));
        hsum_.assign(batch * kMaxBins * stride_ + 8, 0.0);
        hbase_ = hsum_.data();
        while (reinterpret_cast<std::uintptr_t>(hbase_) % 64 != 0) ++hbase_;
        hmask_.assign(batch * 4, 0);
    }
    // Candidate buffers: one feature walk of the histogram search, or a
    // batch of tiny-node candidates (whose nodes hold at most kTinyNode
    // classes).
    const std::size_t kn = cls_mode_ ? std::max<std::size_t>(stride_ != 0 ? n_classes_ : 0, kTinyNode) : 0;
    // Count mode collects the candidates of up to 64 features at a time.
    const std::size_t collected =
        count_mode_ ? std::clamp<std::size_t>(nf_, 1, 64) * kMaxBins : kMaxBins;
    cand_bin_.assign(kMaxBins + 4, 0);
    cand_feature_.assign(kMaxBins + 4, 0);
    cand_wl_.assign(kMaxBins + 4, 0.0);
    cand_gain_.assign(collected + 8, 0.0);
    if (count_mode_) {
        cand_pk_.assign(collected + 8, 0);
        cand_b_.assign(collected + 8, 0);
    }
    if (cls_mode_) {
        cand_left_.assign((kMaxBins + 4) * kn, 0.0);
    } else {
        cand_l1_.assign(kMaxBins + 4, 0.0);
        cand_l2_.assign(kMaxBins + 4, 0.0);
    }

    if (cls_mode_) {
        lacc_.assign(n_classes_, 0.0);
        node_tot_.assign(n_classes_, 0.0);
        class_slot_.assign(n_classes_, 0);
    }

    std::vector<Frame> stack;
    if (count_mode_ && !(params_.max_features && *params_.max_features < nf_)) {
        // Every node examines the same features, so a split can hand its
        // histogram down: counts are exact, and the larger child's counts
        // are the node's minus the smaller child's.
        // Only while several such histograms fit the budget (wide data
        // counts into the batched scratch histograms instead).
        choose_features();
        kept_max_ = kKeptHistBudget / ((examined_.size() * kMaxBins + 4) * sizeof(u64));
        keep_hists_ = kept_max_ >= 4;
    }
    stack.push_back(Frame{0, static_cast<u32>(slots_), 0, kNoParent, kNoHist, n_});
    while (!stack.empty()) {
        const Frame fr = stack.back();
        stack.pop_back();
        if (tree_.nodes.size() >= std::numeric_limits<u32>::max() - 1) {
            throw InternalError("tree has too many nodes");
        }
        if (fr.parent != kNoParent) tree_.nodes[fr.parent].right = static_cast<u32>(tree_.nodes.size());
        const u64 n = fr.rows;
        const u32 slots = fr.end - fr.begin;
        u32 own = fr.hist;  // kept histogram of this node, if any

        if (n < params_.min_samples_split || (params_.max_depth && fr.depth >= *params_.max_depth)) {
            release_kept(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        if (!node_totals(fr.begin, fr.end)) {
            if (cls_mode_) clear_node_classes();
            release_kept(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        choose_features();
        BestSplit best;
        if (slots <= kTinyNode) {
            release_kept(own);
            own = kNoHist;
            if (count_mode_) {
                search_tiny_counts(fr.begin, fr.end, n, best);
            } else {
                search_tiny(fr.begin, fr.end, best);
            }
        } else if (keep_hists_ && (own != kNoHist ||
                                   (slots >= kSparseWalk && (own = acquire_kept()) != kNoHist))) {
            if (fr.hist == kNoHist) count_rows(fr.begin, fr.end, examined_.data(), examined_.size(), kept(own));
            search_kept(n, kept(own), best);
        } else if (count_mode_) {
            search_counts(fr.begin, fr.end, n, best);
        } else if (stride_ != 0) {
            search_dense(fr.begin, fr.end, best);
        } else {
            search_grouped(fr.begin, fr.end, best);
        }
        if (cls_mode_) clear_node_classes();
        if (!best.found || !(best.gain > 0.0)) {
            release_kept(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const double threshold = hist_.bin_edges[best.feature][best.bin];
        const u32 mid = partition(fr.begin, fr.end, best.feature, best.bin, threshold);
        const u64 nl = left_rows_;
        const u64 nr = n - nl;
        // An empty side would regrow the same rows forever when no depth
        // limit stops it; such a split becomes a leaf.
        if (nl < params_.min_samples_leaf || nr < params_.min_samples_leaf ||
            (!params_.max_depth && (nl == 0 || nr == 0))) {
            release_kept(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const u32 me = static_cast<u32>(tree_.nodes.size());
        Node node;
        node.threshold = threshold;
        node.value = 0.0;
        node.feature = best.feature;
        node.n_samples = n;
        node.left = me + 1;
        node.right = 0;
        tree_.nodes.push_back(node);
        tree_.n_features_used = std::max<u64>(tree_.n_features_used, best.feature + 1);
        u32 left_hist = kNoHist, right_hist = kNoHist;
        if (own != kNoHist) {
            // Count the smaller child's rows; what remains of this node's
            // histogram is the larger child's.
            const u64 sl = mid - fr.begin;
            const u64 sr = fr.end - mid;
            const bool left_small = sl <= sr;
            const u64 n_small = left_small ? sl : sr;
            const u64 n_large = left_small ? sr : sl;
            const u32 small = n_large >= kSubtractMin &&
                                      wants_hist(n_large, left_small ? nr : nl, fr.depth + 1)
                                  ? acquire_kept()
                                  : kNoHist;
            if (small != kNoHist) {
                u64* hs = kept(small);
                u64* hl = kept(own);
                count_rows(left_small ? fr.begin : mid, left_small ? mid : fr.end, examined_.data(),
                           examined_.size(), hs);
                subtract_counts(hl, hs, examined_.size() * kMaxBins);
                u32 small_hist = small;
                if (!wants_hist(n_small, left_small ? nl : nr, fr.depth + 1)) {
                    release_kept(small);
                    small_hist = kNoHist;
                }
                (left_small ? left_hist : right_hist) = small_hist;
                (left_small ? right_hist : left_hist) = own;
            } else {
                release_kept(own);
            }
        }
        stack.push_back(Frame{mid, fr.end, fr.depth + 1, me, right_hist, nr});
        stack.push_back(Frame{fr.begin, mid, fr.depth + 1, kNoParent, left_hist, nl});
    }
    return std::move(tree_);
}

}  // namespace

Tree build_tree_on_bootstrap(const MatrixView& x, Vec y, Vec w,
                             std::span<const std::size_t> bootstrap, const TreeParams& params,
                             Rng& rng, const HistogramData& hist) {
    Grower grower(x, y, w, bootstrap, params, rng, hist);
    return grower.grow();
}

}  // namespace tw
