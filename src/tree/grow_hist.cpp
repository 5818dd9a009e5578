// Histogram grower: one tree of a forest on a bootstrap list, with candidate
// thresholds taken from the bin edges of the forest's HistogramData.
//
// The bootstrap rows are never copied as feature values. Each tree gathers the
// bin bytes of its sampled rows (row-major, one byte per row and feature) plus
// a small record per row (weight and dense class, or the regression terms),
// and works on an index array whose node ranges are partitioned stably in
// place. Positions inside a node therefore stay in ascending order, which is
// the order of the node's sample list, so every per-bin sum runs over its rows
// in node order and bins are added whole to the left totals.
//
// Nodes are grown depth first, left before right, with an explicit stack, so
// the generator is consumed in the same order as a recursive growth would and
// arbitrarily deep trees do not touch the call stack.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "histogram/histogram.hpp"
#include "tree/errors.hpp"
#include "tree/grow.hpp"
#include "tree/validate.hpp"

namespace tw {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr std::size_t kMaxBins = 256;
// Classification with at most this many classes accumulates dense per-bin
// class sums; more classes switch to grouping the node's rows by bin.
constexpr std::size_t kDenseClassLimit = 32;
// Doubles of per-bin sums held at once when several features share a pass.
constexpr std::size_t kHistBudget = 49152;

struct ClassRec {
    double w;
    u32 cls;  // dense class, ascending in the class index
};

struct RegRec {
    double w;
    double wy;   // w * y
    double ywy;  // y * (w * y)
};

struct Best {
    double gain = 0.0;
    std::size_t feature = 0;
    std::size_t bin = 0;
    bool found = false;
};

struct Frame {
    u32 begin;
    u32 end;
    u64 depth;
    u32 parent;  // split node whose right child this is, or kNoParent
};
constexpr u32 kNoParent = std::numeric_limits<u32>::max();

// Set bits of a 256-bit mask, visited in ascending order.
template <class F>
inline void for_each_bit(const u64* mask, F&& f) {
    for (std::size_t word = 0; word < 4; ++word) {
        u64 bits = mask[word];
        while (bits != 0) {
            const std::size_t b = word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
            bits &= bits - 1;
            f(b);
        }
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

    u32 make_leaf(u32 begin, u32 end);
    // Totals of the node; returns false when a stop rule makes it a leaf.
    bool node_totals(u32 begin, u32 end);
    void choose_features();
    void search_dense(u32 begin, u32 end, Best& best);
    void search_grouped(u32 begin, u32 end, Best& best);
    u32 partition(u32 begin, u32 end, std::size_t feature, std::size_t bin, double threshold);
    void clear_node_classes();

    // Gain of a candidate with left totals given (classification uses left_).
    double class_gain(double wl) const {
        const double wr = W_ - wl;
        double sl = 0.0;
        double sr = 0.0;
        for (u32 c : node_classes_) {
            const double tl = left_[c] / wl;
            sl += tl * tl;
        }
        for (u32 c : node_classes_) {
            const double tr = (tot_[c] - left_[c]) / wr;
            sr += tr * tr;
        }
        const double gl = 1.0 - sl;
        const double gr = 1.0 - sr;
        return G_ - (wl * gl + wr * gr) / W_;
    }
    double reg_gain(double wl, double l1, double l2) const {
        const double wr = W_ - wl;
        const double ml = l1 / wl;
        const double vl = l2 / wl - ml * ml;
        const double mr = (S1_ - l1) / wr;
        const double vr = (S2_ - l2) / wr - mr * mr;
        return G_ - (wl * vl + wr * vr) / W_;
    }
    bool admissible(u64 nl, u64 n, double wl) const {
        return W_ - wl > 0.0 && wl > 0.0 && nl >= params_.min_samples_leaf &&
               n - nl >= params_.min_samples_leaf;
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

    Tree tree_;
    std::vector<std::uint8_t> bins_;  // n_ x nf_, row-major
    std::vector<ClassRec> crec_;
    std::vector<RegRec> rrec_;
    std::vector<u32> idx_;
    std::vector<u32> scratch_;
    std::vector<std::size_t> leaf_rows_;
    std::vector<u32> features_;
    std::vector<u32> examined_;

    std::size_t n_classes_ = 0;
    std::vector<double> tot_;       // per dense class, this node
    std::vector<u32> class_count_;  // per dense class, this node
    std::vector<double> left_;      // per dense class, left side of a walk
    std::vector<double> bin_acc_;   // per dense class, one bin (grouped search)
    std::vector<u32> node_classes_; // classes present in the node, ascending
    std::vector<u32> touched_;

    // Dense per-bin sums for a batch of features: slot s, bin b at
    // hsum_[(s * 256 + b) * stride_]; counts and occupancy masks per slot.
    std::size_t stride_ = 0;
    std::vector<double> hsum_;
    std::vector<u32> hcount_;
    std::vector<u64> hmask_;
    std::vector<u32> order_;  // grouped search: node positions grouped by bin

    double W_ = 0.0, S1_ = 0.0, S2_ = 0.0, G_ = 0.0;
};

void Grower::check_inputs() const {
    if (n_ >= std::numeric_limits<u32>::max()) throw InternalError("bootstrap list too long");
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
    bins_.resize(n_ * nf_);
    for (std::size_t f = 0; f < nf_; ++f) {
        const std::uint8_t* col = hist_.bins[f].data();
        std::uint8_t* out = bins_.data() + f;
        for (std::size_t p = 0; p < n_; ++p) out[p * nf_] = col[boot_[p]];
    }
    if (cls_mode_) {
        remap_classes();
    } else {
        rrec_.resize(n_);
        for (std::size_t p = 0; p < n_; ++p) {
            const std::size_t r = boot_[p];
            const double wy = w_[r] * y_[r];
            rrec_[p] = RegRec{w_[r], wy, y_[r] * wy};
        }
    }
    idx_.resize(n_);
    for (std::size_t p = 0; p < n_; ++p) idx_[p] = static_cast<u32>(p);
    scratch_.resize(n_);
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
        for (auto& d : dense) {
            const u32 present = d;
            d = k;
            k += present;
        }
        n_classes_ = k;
        for (std::size_t p = 0; p < n_; ++p) {
            crec_[p] = ClassRec{w_[boot_[p]], dense[labels[p]]};
        }
    } else {
        std::vector<u64> sorted = labels;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        n_classes_ = sorted.size();
        for (std::size_t p = 0; p < n_; ++p) {
            const auto it = std::lower_bound(sorted.begin(), sorted.end(), labels[p]);
            crec_[p] = ClassRec{w_[boot_[p]], static_cast<u32>(it - sorted.begin())};
        }
    }
    tot_.assign(n_classes_, 0.0);
    class_count_.assign(n_classes_, 0);
    left_.assign(n_classes_, 0.0);
    if (n_classes_ > kDenseClassLimit) bin_acc_.assign(n_classes_, 0.0);
}

u32 Grower::make_leaf(u32 begin, u32 end) {
    leaf_rows_.clear();
    for (u32 i = begin; i < end; ++i) leaf_rows_.push_back(boot_[idx_[i]]);
    return create_leaf(tree_, y_, w_, leaf_rows_, cls_mode_);
}

bool Grower::node_totals(u32 begin, u32 end) {
    W_ = 0.0;
    if (cls_mode_) {
        touched_.clear();
        for (u32 i = begin; i < end; ++i) {
            const ClassRec& r = crec_[idx_[i]];
            W_ += r.w;
            tot_[r.cls] += r.w;
            if (class_count_[r.cls]++ == 0) touched_.push_back(r.cls);
        }
        node_classes_.assign(touched_.begin(), touched_.end());
        std::sort(node_classes_.begin(), node_classes_.end());
        if (node_classes_.size() <= 1) return false;  // empty or a single class
        if (!(W_ > 0.0)) return false;
        double s = 0.0;
        for (u32 c : node_classes_) {
            const double t = tot_[c] / W_;
            s += t * t;
        }
        G_ = 1.0 - s;
    } else {
        S1_ = 0.0;
        S2_ = 0.0;
        for (u32 i = begin; i < end; ++i) {
            const RegRec& r = rrec_[idx_[i]];
            W_ += r.w;
            S1_ += r.wy;
            S2_ += r.ywy;
        }
        if (!(W_ > 0.0)) return false;
        const double m = S1_ / W_;
        G_ = S2_ / W_ - m * m;
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
void Grower::search_dense(u32 begin, u32 end, Best& best) {
    const u64 n = end - begin;
    const std::size_t stride = stride_;
    const std::size_t batch = std::max<std::size_t>(1, kHistBudget / (kMaxBins * stride));
    for (std::size_t first = 0; first < examined_.size(); first += batch) {
        const std::size_t nb = std::min(batch, examined_.size() - first);
        const u32* fs = examined_.data() + first;
        if (cls_mode_) {
            for (u32 i = begin; i < end; ++i) {
                const u32 p = idx_[i];
                const ClassRec r = crec_[p];
                const std::uint8_t* row = bins_.data() + static_cast<std::size_t>(p) * nf_;
                for (std::size_t s = 0; s < nb; ++s) {
                    const std::size_t b = row[fs[s]];
                    const std::size_t slot = s * kMaxBins + b;
                    double* h = hsum_.data() + slot * stride;
                    h[0] += r.w;
                    h[1 + r.cls] += r.w;
                    ++hcount_[slot];
                    hmask_[s * 4 + (b >> 6)] |= u64{1} << (b & 63);
                }
            }
        } else {
            for (u32 i = begin; i < end; ++i) {
                const u32 p = idx_[i];
                const RegRec r = rrec_[p];
                const std::uint8_t* row = bins_.data() + static_cast<std::size_t>(p) * nf_;
                for (std::size_t s = 0; s < nb; ++s) {
                    const std::size_t b = row[fs[s]];
                    const std::size_t slot = s * kMaxBins + b;
                    double* h = hsum_.data() + slot * stride;
                    h[0] += r.w;
                    h[1] += r.wy;
                    h[2] += r.ywy;
                    ++hcount_[slot];
                    hmask_[s * 4 + (b >> 6)] |= u64{1} << (b & 63);
                }
            }
        }
        // Walk each feature's occupied bins in ascending order. Empty bins
        // would repeat the previous candidate's gain and can never win.
        for (std::size_t s = 0; s < nb; ++s) {
            const std::size_t f = fs[s];
            const std::size_t last = hist_.n_bins[f] - 2;  // last candidate bin
            u64 nl = 0;
            double wl = 0.0, l1 = 0.0, l2 = 0.0;
            u64* mask = hmask_.data() + s * 4;
            for_each_bit(mask, [&](std::size_t b) {
                const std::size_t slot = s * kMaxBins + b;
                double* h = hsum_.data() + slot * stride;
                const u32 count = hcount_[slot];
                hcount_[slot] = 0;
                if (b > last) {
                    for (std::size_t j = 0; j < stride; ++j) h[j] = 0.0;
                    return;
                }
                nl += count;
                wl += h[0];
                if (cls_mode_) {
                    for (u32 c : node_classes_) left_[c] += h[1 + c];
                } else {
                    l1 += h[1];
                    l2 += h[2];
                }
                for (std::size_t j = 0; j < stride; ++j) h[j] = 0.0;
                if (!admissible(nl, n, wl)) return;
                const double gain = cls_mode_ ? class_gain(wl) : reg_gain(wl, l1, l2);
                if (gain > best.gain) {
                    best.gain = gain;
                    best.feature = f;
                    best.bin = b;
                    best.found = true;
                }
            });
            mask[0] = mask[1] = mask[2] = mask[3] = 0;
            if (cls_mode_) {
                for (u32 c : node_classes_) left_[c] = 0.0;
            }
        }
    }
}

// Many classes: one feature at a time, the node's rows grouped by bin with a
// stable counting sort, each bin's class sums formed over its rows in node
// order and merged whole into the left totals.
void Grower::search_grouped(u32 begin, u32 end, Best& best) {
    const u64 n = end - begin;
    order_.resize(std::max<std::size_t>(order_.size(), n));
    u32 counts[kMaxBins];
    u32 offsets[kMaxBins];
    for (u32 f : examined_) {
        std::fill(counts, counts + kMaxBins, 0u);
        for (u32 i = begin; i < end; ++i) {
            ++counts[bins_[static_cast<std::size_t>(idx_[i]) * nf_ + f]];
        }
        u32 acc = 0;
        for (std::size_t b = 0; b < kMaxBins; ++b) {
            offsets[b] = acc;
            acc += counts[b];
        }
        for (u32 i = begin; i < end; ++i) {
            const u32 p = idx_[i];
            order_[offsets[bins_[static_cast<std::size_t>(p) * nf_ + f]]++] = p;
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
                const ClassRec& r = crec_[order_[e]];
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

u32 Grower::partition(u32 begin, u32 end, std::size_t feature, std::size_t bin,
                      double threshold) {
    u32 out = begin;
    u32 right = 0;
    if (hist_.is_nan_free(feature)) {
        // The threshold is the bin's upper edge, so "value <= threshold" holds
        // exactly for the rows of bins 0..bin.
        for (u32 i = begin; i < end; ++i) {
            const u32 p = idx_[i];
            if (bins_[static_cast<std::size_t>(p) * nf_ + feature] <= bin) {
                idx_[out++] = p;
            } else {
                scratch_[right++] = p;
            }
        }
    } else {
        for (u32 i = begin; i < end; ++i) {
            const u32 p = idx_[i];
            if (x_.at(boot_[p], feature) <= threshold) {
                idx_[out++] = p;
            } else {
                scratch_[right++] = p;
            }
        }
    }
    std::copy(scratch_.begin(), scratch_.begin() + right, idx_.begin() + out);
    return out;
}

Tree Grower::grow() {
    check_inputs();
    gather();
    features_.resize(nf_);
    if (!cls_mode_) {
        stride_ = 3;
    } else if (n_classes_ <= kDenseClassLimit) {
        stride_ = 1 + n_classes_;
    }
    if (stride_ != 0) {
        const std::size_t batch =
            std::min(std::max<std::size_t>(1, kHistBudget / (kMaxBins * stride_)),
                     std::max<std::size_t>(1, nf_));
        hsum_.assign(batch * kMaxBins * stride_, 0.0);
        hcount_.assign(batch * kMaxBins, 0);
        hmask_.assign(batch * 4, 0);
    }

    std::vector<Frame> stack;
    stack.push_back(Frame{0, static_cast<u32>(n_), 0, kNoParent});
    while (!stack.empty()) {
        const Frame fr = stack.back();
        stack.pop_back();
        if (tree_.nodes.size() >= std::numeric_limits<u32>::max() - 1) {
            throw InternalError("tree has too many nodes");
        }
        if (fr.parent != kNoParent) tree_.nodes[fr.parent].right = static_cast<u32>(tree_.nodes.size());
        const u64 n = fr.end - fr.begin;

        if (n < params_.min_samples_split || (params_.max_depth && fr.depth >= *params_.max_depth)) {
            make_leaf(fr.begin, fr.end);
            continue;
        }
        if (!node_totals(fr.begin, fr.end)) {
            if (cls_mode_) clear_node_classes();
            make_leaf(fr.begin, fr.end);
            continue;
        }
        choose_features();
        Best best;
        if (stride_ != 0) {
            search_dense(fr.begin, fr.end, best);
        } else {
            search_grouped(fr.begin, fr.end, best);
        }
        if (cls_mode_) clear_node_classes();
        if (!best.found || !(best.gain > 0.0)) {
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const double threshold = hist_.bin_edges[best.feature][best.bin];
        const u32 mid = partition(fr.begin, fr.end, best.feature, best.bin, threshold);
        const u64 nl = mid - fr.begin;
        const u64 nr = fr.end - mid;
        // An empty side would regrow the same rows forever when no depth
        // limit stops it; such a split becomes a leaf.
        if (nl < params_.min_samples_leaf || nr < params_.min_samples_leaf ||
            (!params_.max_depth && (nl == 0 || nr == 0))) {
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
        stack.push_back(Frame{mid, fr.end, fr.depth + 1, me});
        stack.push_back(Frame{fr.begin, mid, fr.depth + 1, kNoParent});
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
