// Leaf construction and the exact grower.
//
// The exact grower evaluates every boundary between distinct sorted values of
// the examined features. Instead of re-sorting the node's samples at every
// node, each feature is sorted once per tree (ties kept in sample order) and
// every split stably partitions those orders into the two children. A node's
// sample list is always a subsequence of the root list in root order, so the
// partitioned orders are exactly the stable per-node sorts and every sum runs
// in the same order as a per-node sort would give.
//
// Nodes are grown depth-first with an explicit stack: a node is appended when
// it is taken from the stack, its left subtree is finished before its right
// one, so the vector comes out in pre-order and the generator is consumed in
// the same order as a recursive grower would consume it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <utility>

#include "core/errors.hpp"
#include "grow/grow.hpp"
#include "core/validate.hpp"
#include "split/gain.hpp"

namespace tw {

namespace {

constexpr std::size_t kMaxIndex = std::numeric_limits<std::uint32_t>::max();

std::uint32_t append_node(Tree& tree, const Node& node) {
    if (tree.nodes.size() >= kMaxIndex) throw InternalError("tree has too many nodes");
    tree.nodes.push_back(node);
    return static_cast<std::uint32_t>(tree.nodes.size() - 1);
}

// Largest weight wins; scanning in ascending class order and replacing on
// ties leaves the highest of equally heavy classes.
double heaviest_class(std::span<const ClassWeight> cw) {
    if (cw.empty()) return 0.0;
    const ClassWeight* best = &cw[0];
    for (std::size_t i = 1; i < cw.size(); ++i) {
        if (cw[i].weight >= best->weight) best = &cw[i];
    }
    return static_cast<double>(best->cls);
}

std::uint32_t class_weights_begin(const Tree& tree) {
    if (tree.class_weights.size() >= kMaxIndex) throw InternalError("tree has too many class weights");
    return static_cast<std::uint32_t>(tree.class_weights.size());
}

void finish_class_weights(Tree& tree, Node& leaf, std::uint32_t begin) {
    const std::size_t count = tree.class_weights.size() - begin;
    if (tree.class_weights.size() >= kMaxIndex) throw InternalError("tree has too many class weights");
    leaf.has_class_weights = true;
    leaf.cw_begin = begin;
    leaf.cw_count = static_cast<std::uint32_t>(count);
    leaf.value = heaviest_class(std::span<const ClassWeight>(tree.class_weights.data() + begin, count));
}

}  // namespace

std::uint32_t create_leaf(Tree& tree, Vec y, Vec w, std::span<const std::size_t> positions,
                          bool is_classification) {
    for (const std::size_t p : positions) {
        if (p >= y.size() || p >= w.size()) throw InternalError("sample position out of range");
    }
    Node leaf;
    leaf.n_samples = positions.size();
    if (!is_classification) {
        double total_w = 0.0, total_wy = 0.0;
        for (const std::size_t p : positions) {
            total_w += w[p];
            total_wy += w[p] * y[p];
        }
        leaf.value = total_w > 0.0 ? total_wy / total_w : 0.0;
        return append_node(tree, leaf);
    }

    // Per-class sums in position order, kept sorted by class in the tree's
    // tail. Few distinct classes: sorted insertion. Many: sort (class, order).
    const std::uint32_t begin = class_weights_begin(tree);
    constexpr std::size_t kInsertLimit = 64;
    bool many = false;
    for (const std::size_t p : positions) {
        const std::uint64_t c = class_index(y[p]);
        auto first = tree.class_weights.begin() + begin;
        auto it = std::lower_bound(first, tree.class_weights.end(), c,
                                   [](const ClassWeight& e, std::uint64_t v) { return e.cls < v; });
        if (it != tree.class_weights.end() && it->cls == c) {
            it->weight += w[p];
        } else {
            if (tree.class_weights.size() - begin >= kInsertLimit) {
                many = true;
                break;
            }
            tree.class_weights.insert(it, ClassWeight{c, 0.0 + w[p]});
        }
    }
    if (many) {
        tree.class_weights.resize(begin);
        std::vector<std::pair<std::uint64_t, std::size_t>> keyed(positions.size());
        for (std::size_t i = 0; i < positions.size(); ++i) keyed[i] = {class_index(y[positions[i]]), i};
        std::sort(keyed.begin(), keyed.end());
        for (std::size_t i = 0; i < keyed.size();) {
            const std::uint64_t c = keyed[i].first;
            double sum = 0.0;
            for (; i < keyed.size() && keyed[i].first == c; ++i) sum += w[positions[keyed[i].second]];
            tree.class_weights.push_back(ClassWeight{c, sum});
        }
    }
    finish_class_weights(tree, leaf, begin);
    return append_node(tree, leaf);
}

std::uint32_t create_count_leaf(Tree& tree, std::uint64_t n, const std::uint64_t* class_ids,
                                const std::uint64_t* count) {
    Node leaf;
    leaf.n_samples = n;
    const std::uint32_t begin = class_weights_begin(tree);
    for (std::size_t d = 0; d < 2; ++d) {
        if (count[d] != 0) {
            tree.class_weights.push_back(ClassWeight{class_ids[d], static_cast<double>(count[d])});
        }
    }
    finish_class_weights(tree, leaf, begin);
    return append_node(tree, leaf);
}

namespace {

using split::BestSplit;
using split::ClassRecord;
using split::ParentTotals;
using split::RegRecord;

struct Task {
    std::size_t lo, hi;
    std::uint64_t depth;
    std::uint32_t parent;
    bool is_left;
    bool scannable;  // the feature orders of [lo, hi) are valid
};

// Order-preserving unsigned key of a double (-0.0 and 0.0 share a key, so
// they tie as they compare equal).
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
}

struct RadixScratch {
    std::vector<std::uint64_t> keys, keys_tmp;
    std::vector<std::uint32_t> idx_tmp;
};

// perm = 0..n-1 sorted by ascending value, equal values in index order (a
// stable sort). LSD radix on 11-bit digits; digits that are equal for every
// key are skipped.
void sort_by_value(const std::vector<double>& values, std::vector<std::uint32_t>& perm,
                   RadixScratch& sc) {
    const std::size_t n = values.size();
    perm.resize(n);
    std::iota(perm.begin(), perm.end(), 0u);
    if (n < 512) {
        std::stable_sort(perm.begin(), perm.end(), [&](std::uint32_t a, std::uint32_t b) {
            return values[a] < values[b];
        });
        return;
    }
    constexpr int kBits = 11, kPasses = 6;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    sc.keys.resize(n);
    sc.keys_tmp.resize(n);
    sc.idx_tmp.resize(n);
    std::vector<std::uint32_t> counts(kBuckets * kPasses, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = sort_key(values[i]);
        sc.keys[i] = k;
        for (int p = 0; p < kPasses; ++p) ++counts[p * kBuckets + ((k >> (p * kBits)) & (kBuckets - 1))];
    }
    std::uint64_t* keys = sc.keys.data();
    std::uint64_t* keys_out = sc.keys_tmp.data();
    std::uint32_t* idx = perm.data();
    std::uint32_t* idx_out = sc.idx_tmp.data();
    for (int p = 0; p < kPasses; ++p) {
        std::uint32_t* c = counts.data() + p * kBuckets;
        const int shift = p * kBits;
        if (c[(keys[0] >> shift) & (kBuckets - 1)] == n) continue;  // one bucket holds everything
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t t = c[b];
            c[b] = sum;
            sum += t;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = keys[i];
            const std::uint32_t dst = c[(k >> shift) & (kBuckets - 1)]++;
            keys_out[dst] = k;
            idx_out[dst] = idx[i];
        }
        std::swap(keys, keys_out);
        std::swap(idx, idx_out);
    }
    if (idx != perm.data()) std::memcpy(perm.data(), idx, n * sizeof(std::uint32_t));
}

class ExactGrower {
public:
    ExactGrower(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> positions,
                const TreeParams& params, Rng& rng)
        : x_(x), positions_(positions), params_(params), rng_(rng),
          n_(positions.size()), nf_(x.cols), cls_(params.is_classification) {
        if (n_ >= kMaxIndex) throw InternalError("too many samples for one tree");
        if (nf_ > kMaxFeatures) throw ValueError("x has more columns than a tree can address");
        for (const std::size_t p : positions) {
            if (p >= y.size() || p >= w.size() || p >= x.rows) {
                throw InternalError("sample position out of range");
            }
        }
        min_leaf_ = params.min_samples_leaf;
        min_scan_ = std::max<std::uint64_t>({params.min_samples_split, 2,
                                             params.min_samples_leaf > (~0ULL >> 1)
                                                 ? ~0ULL
                                                 : 2 * params.min_samples_leaf});
        k_ = nf_;
        if (params.max_features && *params.max_features < nf_) k_ = *params.max_features;

        if (cls_) {
            std::vector<std::uint64_t> labels(n_);
            for (std::size_t s = 0; s < n_; ++s) labels[s] = class_index(y[positions[s]]);
            class_values_ = labels;
            std::sort(class_values_.begin(), class_values_.end());
            class_values_.erase(std::unique(class_values_.begin(), class_values_.end()),
                                class_values_.end());
            csamples_.resize(n_);
            for (std::size_t s = 0; s < n_; ++s) {
                const auto it = std::lower_bound(class_values_.begin(), class_values_.end(), labels[s]);
                csamples_[s] = ClassRecord{w[positions[s]],
                                           static_cast<std::uint32_t>(it - class_values_.begin())};
            }
            const std::size_t nk = class_values_.size();
            tot_.assign(nk, 0.0);
            cnt_.assign(nk, 0);
            left_.assign(nk, 0.0);
            right_.assign(nk, 0.0);
        } else {
            rsamples_.resize(n_);
            for (std::size_t s = 0; s < n_; ++s) {
                rsamples_[s] = split::reg_record(w[positions[s]], y[positions[s]]);
            }
        }
        order_.resize(n_);
        std::iota(order_.begin(), order_.end(), 0u);
        features_.resize(nf_);
    }

    Tree grow() {
        Tree tree;
        std::vector<Task> stack;
        const bool root_scan = scannable(0, n_, 0);
        if (root_scan) sort_features();
        stack.push_back(Task{0, n_, 0, 0, false, root_scan});
        while (!stack.empty()) {
            const Task t = stack.back();
            stack.pop_back();
            grow_node(tree, t, stack);
        }
        return tree;
    }

private:
    // ---- per-node statistics, in the node's list order ----
    void node_stats(std::size_t lo, std::size_t hi) {
        W_ = 0.0;
        if (cls_) {
            present_.clear();
            for (std::size_t i = lo; i < hi; ++i) {
                const ClassRecord& cs = csamples_[order_[i]];
                W_ += cs.w;
                if (cnt_[cs.cls]++ == 0) present_.push_back(cs.cls);
                tot_[cs.cls] += cs.w;
            }
            if (present_.size() > 1) std::sort(present_.begin(), present_.end());
        } else {
            S1_ = 0.0;
            S2_ = 0.0;
            for (std::size_t i = lo; i < hi; ++i) {
                const RegRecord& rs = rsamples_[order_[i]];
                W_ += rs.w;
                S1_ += rs.wy;
                S2_ += rs.ywy;
            }
        }
    }

    void clear_stats() {
        for (const std::uint32_t c : present_) {
            tot_[c] = 0.0;
            cnt_[c] = 0;
        }
        present_.clear();
    }

    bool depth_allows_split(std::uint64_t depth) const {
        return !(params_.max_depth && depth >= *params_.max_depth);
    }

    // Whether a node over [lo, hi) at `depth` could have any candidate split;
    // only such nodes need valid feature orders.
    bool scannable(std::size_t lo, std::size_t hi, std::uint64_t depth) const {
        if (hi - lo < min_scan_ || !depth_allows_split(depth)) return false;
        if (cls_) {
            const std::uint32_t c0 = csamples_[order_[lo]].cls;
            for (std::size_t i = lo + 1; i < hi; ++i) {
                if (csamples_[order_[i]].cls != c0) return true;
            }
            return false;
        }
        return true;
    }

    // Sorts every feature once: ascending value, ties in sample order.
    void sort_features() {
        // Gather the columns row by row (one pass over the matrix), then sort
        // each column and lay it out in sorted order.
        for (FeatureOrder& fo : features_) {
            fo.vals.resize(n_);
            fo.idx.resize(n_);
        }
        for (std::size_t s = 0; s < n_; ++s) {
            const double* row = x_.row(positions_[s]);
            for (std::size_t f = 0; f < nf_; ++f) {
                const double v = row[f];
                if (std::isnan(v)) throw InternalError("NaN met while sorting feature values");
                features_[f].vals[s] = v;
            }
        }
        std::vector<double> column(n_);
        std::vector<std::uint32_t> perm(n_);
        RadixScratch scratch;
        for (std::size_t f = 0; f < nf_; ++f) {
            FeatureOrder& fo = features_[f];
            column.swap(fo.vals);
            sort_by_value(column, perm, scratch);
            fo.vals.resize(n_);
            for (std::size_t i = 0; i < n_; ++i) {
                fo.idx[i] = perm[i];
                fo.vals[i] = column[perm[i]];
            }
        }
        tmp_vals_.resize(n_);
        tmp_idx_.resize(n_);
        goes_left_.assign(n_, 0);
    }

    std::uint32_t make_leaf(Tree& tree, std::size_t lo, std::size_t hi) {
        Node leaf;
        leaf.n_samples = hi - lo;
        if (cls_) {
            const std::uint32_t begin = class_weights_begin(tree);
            for (const std::uint32_t c : present_) {
                tree.class_weights.push_back(ClassWeight{class_values_[c], tot_[c]});
            }
            finish_class_weights(tree, leaf, begin);
        } else {
            leaf.value = W_ > 0.0 ? S1_ / W_ : 0.0;
        }
        clear_stats();
        return append_node(tree, leaf);
    }

    void link(Tree& tree, const Task& t, std::uint32_t index) {
        if (index == 0) return;  // the root
        Node& parent = tree.nodes[t.parent];
        (t.is_left ? parent.left : parent.right) = index;
    }

    // A candidate between sorted values lo and hi beats the best so far: the
    // threshold is their midpoint.
    static void take(BestSplit& best, double gain, std::size_t f, double lo, double hi) {
        best.take(gain, f, 0);
        best.threshold = (lo + hi) * 0.5;
    }

    void scan_classification(std::size_t f, std::size_t lo, std::size_t m,
                             const ParentTotals& node, BestSplit& best) {
        const ParentTotals parent = node;  // a local copy: the class sums below cannot alias it
        const double* v = features_[f].vals.data() + lo;
        const std::uint32_t* ix = features_[f].idx.data() + lo;
        if (!(v[0] < v[m - 1])) return;  // constant in this node: no candidate
        for (const std::uint32_t c : present_) {
            left_[c] = 0.0;
            right_[c] = tot_[c];
        }
        const std::uint64_t msl = min_leaf_;
        const std::uint32_t* pc = present_.data();
        const std::size_t np = present_.size();
        double WL = 0.0;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            if (i + 16 < m) __builtin_prefetch(csamples_.data() + ix[i + 16]);
            const ClassRecord& cs = csamples_[ix[i]];
            WL += cs.w;
            left_[cs.cls] += cs.w;
            right_[cs.cls] -= cs.w;
            const std::uint64_t nL = i + 1;
            if (v[i] == v[i + 1] || !split::admissible(nL, m, WL, parent.weight, msl)) continue;
            const double gain = split::gini_gain(
                parent, WL, np, [&](std::size_t j) { return left_[pc[j]]; },
                [&](std::size_t j) { return right_[pc[j]]; });
            if (gain > best.gain) take(best, gain, f, v[i], v[i + 1]);
        }
    }

    // The same scan for a node with exactly NP classes, their running sums
    // kept in registers. Every sample adds its weight to its own class and
    // exactly +0.0 to the others; the sums are never -0.0, so adding or
    // subtracting +0.0 leaves them bit for bit unchanged and the results equal
    // those of the general scan.
    template <std::size_t NP>
    void scan_classification_small(std::size_t f, std::size_t lo, std::size_t m,
                                   const ParentTotals& node, BestSplit& best) {
        const ParentTotals parent = node;  // a local copy: the class sums below cannot alias it
        const double* v = features_[f].vals.data() + lo;
        const std::uint32_t* ix = features_[f].idx.data() + lo;
        if (!(v[0] < v[m - 1])) return;
        std::uint32_t cid[NP];
        double L[NP], R[NP];
        for (std::size_t j = 0; j < NP; ++j) {
            cid[j] = present_[j];
            L[j] = 0.0;
            R[j] = tot_[cid[j]];
        }
        const std::uint64_t msl = min_leaf_;
        const ClassRecord* samples = csamples_.data();
        double WL = 0.0;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            if (i + 16 < m) __builtin_prefetch(samples + ix[i + 16]);
            const ClassRecord cs = samples[ix[i]];
            WL += cs.w;
            for (std::size_t j = 0; j < NP; ++j) {
                const double a = cs.cls == cid[j] ? cs.w : 0.0;
                L[j] += a;
                R[j] -= a;
            }
            const std::uint64_t nL = i + 1;
            if (v[i] == v[i + 1] || !split::admissible(nL, m, WL, parent.weight, msl)) continue;
            const double gain = split::gini_gain(
                parent, WL, NP, [&](std::size_t j) { return L[j]; },
                [&](std::size_t j) { return R[j]; });
            if (gain > best.gain) take(best, gain, f, v[i], v[i + 1]);
        }
    }

    void scan_classes(std::size_t f, std::size_t lo, std::size_t m, const ParentTotals& parent,
                      BestSplit& best) {
        switch (present_.size()) {
            case 2: scan_classification_small<2>(f, lo, m, parent, best); break;
            case 3: scan_classification_small<3>(f, lo, m, parent, best); break;
            case 4: scan_classification_small<4>(f, lo, m, parent, best); break;
            default: scan_classification(f, lo, m, parent, best); break;
        }
    }

    void scan_regression(std::size_t f, std::size_t lo, std::size_t m, const ParentTotals& parent,
                         BestSplit& best) {
        const double* v = features_[f].vals.data() + lo;
        const std::uint32_t* ix = features_[f].idx.data() + lo;
        if (!(v[0] < v[m - 1])) return;
        const std::uint64_t msl = min_leaf_;
        double WL = 0.0, L1 = 0.0, L2 = 0.0;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            if (i + 16 < m) __builtin_prefetch(rsamples_.data() + ix[i + 16]);
            const RegRecord& rs = rsamples_[ix[i]];
            WL += rs.w;
            L1 += rs.wy;
            L2 += rs.ywy;
            const std::uint64_t nL = i + 1;
            if (v[i] == v[i + 1] || !split::admissible(nL, m, WL, parent.weight, msl)) continue;
            const double gain = split::variance_gain(parent, WL, L1, L2);
            if (gain > best.gain) take(best, gain, f, v[i], v[i + 1]);
        }
    }

    // Stable partition of [lo, hi) of the node's list order by goes_left_.
    // Branch-free: every entry is written to both sides, and only the side it
    // belongs to advances. The left side is compacted in place (its write
    // position never passes the read position).
    void partition_order(std::size_t lo, std::size_t hi) {
        std::uint32_t* a = order_.data();
        std::uint32_t* tmp = tmp_idx_.data();
        std::size_t wl = lo, wr = 0;
        for (std::size_t i = lo; i < hi; ++i) {
            const std::uint32_t s = a[i];
            const std::size_t g = goes_left_[s];
            a[wl] = s;
            tmp[wr] = s;
            wl += g;
            wr += 1 - g;
        }
        std::memcpy(a + wl, tmp, wr * sizeof(std::uint32_t));
    }

    // The same for one feature's sorted (value, sample) order. Only the sides
    // that will be scanned later need to come out right; a side that is not
    // needed is left in an unspecified state.
    void partition_feature(std::size_t f, std::size_t lo, std::size_t hi, bool want_left,
                           bool want_right) {
        double* v = features_[f].vals.data();
        std::uint32_t* ix = features_[f].idx.data();
        if (want_left && want_right) {
            double* tv = tmp_vals_.data();
            std::uint32_t* ti = tmp_idx_.data();
            std::size_t wl = lo, wr = 0;
            for (std::size_t i = lo; i < hi; ++i) {
                const std::uint32_t s = ix[i];
                const double val = v[i];
                const std::size_t g = goes_left_[s];
                ix[wl] = s;
                v[wl] = val;
                ti[wr] = s;
                tv[wr] = val;
                wl += g;
                wr += 1 - g;
            }
            std::memcpy(ix + wl, ti, wr * sizeof(std::uint32_t));
            std::memcpy(v + wl, tv, wr * sizeof(double));
        } else if (want_left) {
            std::size_t wl = lo;
            for (std::size_t i = lo; i < hi; ++i) {
                const std::uint32_t s = ix[i];
                const double val = v[i];
                ix[wl] = s;
                v[wl] = val;
                wl += goes_left_[s];
            }
        } else {
            // Right side compacted towards hi, walking backwards.
            std::size_t wr = hi;
            for (std::size_t i = hi; i-- > lo;) {
                const std::uint32_t s = ix[i];
                const double val = v[i];
                ix[wr - 1] = s;
                v[wr - 1] = val;
                wr -= 1 - goes_left_[s];
            }
        }
    }

    void grow_node(Tree& tree, const Task& t, std::vector<Task>& stack) {
        const std::size_t lo = t.lo, hi = t.hi, n = hi - lo;
        node_stats(lo, hi);
        const bool stop_size = n < params_.min_samples_split || !depth_allows_split(t.depth);
        const bool stop_pure = cls_ && present_.size() <= 1;
        if (stop_size || stop_pure || !(W_ > 0.0)) {
            link(tree, t, make_leaf(tree, lo, hi));
            return;
        }

        feature_order_.resize(nf_);
        std::iota(feature_order_.begin(), feature_order_.end(), std::size_t{0});
        shuffle(rng_, std::span<std::size_t>(feature_order_));

        BestSplit best;
        if (t.scannable && n >= min_scan_) {
            if (cls_) {
                ParentTotals parent;
                parent.weight = W_;
                parent.impurity = split::gini(present_.size(), W_,
                                              [&](std::size_t i) { return tot_[present_[i]]; });
                for (std::size_t j = 0; j < k_; ++j) scan_classes(feature_order_[j], lo, n, parent, best);
            } else {
                const ParentTotals parent{W_, S1_, S2_, split::variance(W_, S1_, S2_)};
                for (std::size_t j = 0; j < k_; ++j) {
                    scan_regression(feature_order_[j], lo, n, parent, best);
                }
            }
        }
        if (!best.splits()) {
            link(tree, t, make_leaf(tree, lo, hi));
            return;
        }

        // Rows at or below the threshold form a prefix of the chosen feature's
        // sorted order.
        const FeatureOrder& chosen = features_[best.feature];
        std::size_t n_left = 0;
        while (n_left < n && chosen.vals[lo + n_left] <= best.threshold) ++n_left;
        if (n_left < min_leaf_ || n - n_left < min_leaf_) {
            link(tree, t, make_leaf(tree, lo, hi));
            return;
        }
        clear_stats();

        for (std::size_t i = 0; i < n; ++i) goes_left_[chosen.idx[lo + i]] = i < n_left ? 1 : 0;
        partition_order(lo, hi);
        const std::size_t mid = lo + n_left;
        const bool scan_left = scannable(lo, mid, t.depth + 1);
        const bool scan_right = scannable(mid, hi, t.depth + 1);
        if (scan_left || scan_right) {
            for (std::size_t f = 0; f < nf_; ++f) partition_feature(f, lo, hi, scan_left, scan_right);
        }

        Node split;
        split.feature = best.feature;
        split.threshold = best.threshold;
        split.n_samples = n;
        const std::uint32_t index = append_node(tree, split);
        link(tree, t, index);
        if (best.feature + 1 > tree.n_features_used) tree.n_features_used = best.feature + 1;
        stack.push_back(Task{mid, hi, t.depth + 1, index, false, scan_right});
        stack.push_back(Task{lo, mid, t.depth + 1, index, true, scan_left});
    }

    struct FeatureOrder {
        std::vector<double> vals;
        std::vector<std::uint32_t> idx;
    };

    const MatrixView& x_;
    std::span<const std::size_t> positions_;
    const TreeParams& params_;
    Rng& rng_;
    std::size_t n_, nf_;
    bool cls_;
    std::uint64_t min_leaf_ = 1;
    std::uint64_t min_scan_ = 2;
    std::size_t k_ = 0;

    std::vector<std::uint64_t> class_values_;
    std::vector<ClassRecord> csamples_;
    std::vector<RegRecord> rsamples_;
    std::vector<std::uint32_t> order_;
    std::vector<FeatureOrder> features_;

    std::vector<double> tmp_vals_;
    std::vector<std::uint32_t> tmp_idx_;
    std::vector<std::uint8_t> goes_left_;
    std::vector<std::size_t> feature_order_;

    double W_ = 0.0, S1_ = 0.0, S2_ = 0.0;
    std::vector<double> tot_, left_, right_;
    std::vector<std::uint32_t> cnt_;
    std::vector<std::uint32_t> present_;
};

}  // namespace

Tree build_tree_exact(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> positions,
                      const TreeParams& params, Rng& rng) {
    ExactGrower grower(x, y, w, positions, params, rng);
    return grower.grow();
}

Tree build_tree_on_bootstrap_exact(const MatrixView& x, Vec y, Vec w,
                                   std::span<const std::size_t> bootstrap,
                                   const TreeParams& params, Rng& rng) {
    // Every listed entry is its own sample (repeats included) and node lists
    // keep list order, which is what growing on a row-by-row copy of the
    // listed rows gives, without making the copy.
    return build_tree_exact(x, y, w, bootstrap, params, rng);
}

}  // namespace tw
