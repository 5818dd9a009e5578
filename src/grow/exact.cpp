// The exact grower.
//
// It evaluates every boundary between distinct sorted values of the examined
// features. Instead of re-sorting the node's samples at every node, each
// feature is sorted once per tree and every split stably partitions those
// orders into the two children (grow/sample_orders.hpp), so every sum runs in
// the same order as a per-node sort would give.
//
// Nodes are grown depth-first with an explicit stack: a node is appended when
// it is taken from the stack, its left subtree is finished before its right
// one, so the vector comes out in pre-order and the generator is consumed in
// the same order as a recursive grower would consume it.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "grow/category_split.hpp"
#include "grow/grow.hpp"
#include "grow/leaf.hpp"
#include "grow/sample_orders.hpp"
#include "parallel/control.hpp"
#include "split/gain.hpp"

namespace tw {
namespace {

using grow::append_node;
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

// A candidate between sorted values lo and hi beats the best so far: the
// threshold is their midpoint.
inline void take(BestSplit& best, double gain, std::size_t f, double lo, double hi) {
    best.take(gain, f, 0);
    best.threshold = (lo + hi) * 0.5;
}

class ExactGrower {
public:
    ExactGrower(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> positions,
                const TreeParams& params, Rng& rng);
    Tree grow();

private:
    void node_totals(std::size_t lo, std::size_t hi);
    void clear_totals();
    bool depth_allows_split(std::uint64_t depth) const {
        return !(params_.max_depth && depth >= *params_.max_depth);
    }
    bool scannable(std::size_t lo, std::size_t hi, std::uint64_t depth) const;
    std::uint32_t make_leaf(Tree& tree, std::size_t lo, std::size_t hi);
    void grow_node(Tree& tree, const Task& t, std::vector<Task>& stack);

    void scan_classes(std::size_t f, std::size_t lo, std::size_t m, const ParentTotals& parent,
                      BestSplit& best);
    void scan_classification(std::size_t f, std::size_t lo, std::size_t m,
                             const ParentTotals& node, BestSplit& best);
    template <std::size_t NP>
    void scan_classification_small(std::size_t f, std::size_t lo, std::size_t m,
                                   const ParentTotals& parent, BestSplit& best);
    void scan_regression(std::size_t f, std::size_t lo, std::size_t m, const ParentTotals& parent,
                         BestSplit& best);
    void scan_categories(std::size_t f, std::size_t lo, std::size_t m, const ParentTotals& parent,
                         BestSplit& best);
    bool categorical(std::size_t f) const {
        return f < params_.categories.size() && params_.categories[f] != 0;
    }

    const MatrixView& x_;
    std::span<const std::size_t> positions_;
    const TreeParams& params_;
    Rng& rng_;
    const std::size_t n_samples_;
    const std::size_t n_features_;
    const bool classification_;
    std::uint64_t min_leaf_ = 1;
    // Nodes with fewer samples have no candidate: min_samples_split, 2 and
    // two leaves' worth of samples.
    std::uint64_t min_scan_ = 2;
    std::size_t n_examined_ = 0;  // columns examined per node
    // Columns of x before the twins (grow.hpp, TreeParams::exact_twins), and
    // the twin of each column (0 for none).
    std::size_t n_columns_ = 0;
    std::vector<std::size_t> twin_;
    std::vector<std::size_t> examined_;  // a node's columns, then their twins

    std::vector<std::uint64_t> class_ids_;  // class index of each dense class
    std::vector<ClassRecord> class_records_;
    std::vector<RegRecord> reg_records_;
    grow::SampleOrders orders_;
    std::vector<std::size_t> feature_draw_;

    // Totals of the node being grown, in its list order.
    double weight_ = 0.0, sum_wy_ = 0.0, sum_ywy_ = 0.0;
    std::vector<double> class_total_;   // per dense class
    std::vector<std::uint32_t> class_count_;
    std::vector<std::uint32_t> classes_;  // classes present, ascending
    // Running class sums of a scan.
    std::vector<double> left_, right_;
    grow::CategoryTable cells_;
};

ExactGrower::ExactGrower(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> positions,
                         const TreeParams& params, Rng& rng)
    : x_(x), positions_(positions), params_(params), rng_(rng), n_samples_(positions.size()),
      n_features_(x.cols), classification_(params.is_classification) {
    const std::size_t n = n_samples_;
    if (n >= grow::kMaxIndex) throw InternalError("too many samples for one tree");
    if (n_features_ > kMaxFeatures) throw ValueError("x has more columns than a tree can address");
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
    if (params.exact_twins.size() > n_features_) throw InternalError("more twins than columns");
    n_columns_ = n_features_ - params.exact_twins.size();
    twin_.assign(n_columns_, 0);
    for (std::size_t j = 0; j < params.exact_twins.size(); ++j) {
        if (params.exact_twins[j] >= n_columns_) throw InternalError("twin of no column");
        twin_[params.exact_twins[j]] = n_columns_ + j;
    }
    n_examined_ = n_columns_;
    if (params.max_features && *params.max_features < n_columns_) {
        n_examined_ = *params.max_features;
    }

    if (classification_) {
        // Dense classes in ascending order of the class index.
        std::vector<std::uint64_t> labels(n);
        for (std::size_t s = 0; s < n; ++s) labels[s] = class_index(y[positions[s]]);
        class_ids_ = labels;
        std::sort(class_ids_.begin(), class_ids_.end());
        class_ids_.erase(std::unique(class_ids_.begin(), class_ids_.end()), class_ids_.end());
        class_records_.resize(n);
        for (std::size_t s = 0; s < n; ++s) {
            const auto it = std::lower_bound(class_ids_.begin(), class_ids_.end(), labels[s]);
            class_records_[s] =
                ClassRecord{w[positions[s]], static_cast<std::uint32_t>(it - class_ids_.begin())};
        }
        const std::size_t nk = class_ids_.size();
        class_total_.assign(nk, 0.0);
        class_count_.assign(nk, 0);
        left_.assign(nk, 0.0);
        right_.assign(nk, 0.0);
    } else {
        reg_records_.resize(n);
        for (std::size_t s = 0; s < n; ++s) {
            reg_records_[s] = split::reg_record(w[positions[s]], y[positions[s]]);
        }
    }
    orders_.reset(n);
}

Tree ExactGrower::grow() {
    Tree tree;
    std::vector<Task> stack;
    const bool root_scan = scannable(0, n_samples_, 0);
    if (root_scan) orders_.sort_features(x_, positions_);
    stack.push_back(Task{0, n_samples_, 0, 0, false, root_scan});
    while (!stack.empty()) {
        parallel::check_stop();
        const Task t = stack.back();
        stack.pop_back();
        grow_node(tree, t, stack);
    }
    return tree;
}

void ExactGrower::node_totals(std::size_t lo, std::size_t hi) {
    const std::uint32_t* list = orders_.list();
    double weight = 0.0;
    if (classification_) {
        const ClassRecord* rec = class_records_.data();
        double* total = class_total_.data();
        std::uint32_t* count = class_count_.data();
        classes_.clear();
        for (std::size_t i = lo; i < hi; ++i) {
            const ClassRecord& r = rec[list[i]];
            weight += r.w;
            if (count[r.cls]++ == 0) classes_.push_back(r.cls);
            total[r.cls] += r.w;
        }
        if (classes_.size() > 1) std::sort(classes_.begin(), classes_.end());
    } else {
        const RegRecord* rec = reg_records_.data();
        double wy = 0.0, ywy = 0.0;
        for (std::size_t i = lo; i < hi; ++i) {
            const RegRecord& r = rec[list[i]];
            weight += r.w;
            wy += r.wy;
            ywy += r.ywy;
        }
        sum_wy_ = wy;
        sum_ywy_ = ywy;
    }
    weight_ = weight;
}

void ExactGrower::clear_totals() {
    for (const std::uint32_t c : classes_) {
        class_total_[c] = 0.0;
        class_count_[c] = 0;
    }
    classes_.clear();
}

// Whether a node over [lo, hi) at `depth` could have any candidate split;
// only such nodes need valid feature orders.
bool ExactGrower::scannable(std::size_t lo, std::size_t hi, std::uint64_t depth) const {
    if (hi - lo < min_scan_ || !depth_allows_split(depth)) return false;
    if (classification_) {
        const std::uint32_t* list = orders_.list();
        const std::uint32_t c0 = class_records_[list[lo]].cls;
        for (std::size_t i = lo + 1; i < hi; ++i) {
            if (class_records_[list[i]].cls != c0) return true;
        }
        return false;
    }
    return true;
}

std::uint32_t ExactGrower::make_leaf(Tree& tree, std::size_t lo, std::size_t hi) {
    Node leaf;
    leaf.n_samples = hi - lo;
    if (classification_) {
        const std::uint32_t begin = grow::class_weights_begin(tree);
        for (const std::uint32_t c : classes_) {
            tree.class_weights.push_back(ClassWeight{class_ids_[c], class_total_[c]});
        }
        grow::finish_class_weights(tree, leaf, begin);
    } else {
        leaf.value = weight_ > 0.0 ? sum_wy_ / weight_ : 0.0;
    }
    clear_totals();
    return append_node(tree, leaf);
}

void ExactGrower::scan_classes(std::size_t f, std::size_t lo, std::size_t m,
                               const ParentTotals& parent, BestSplit& best) {
    switch (classes_.size()) {
        case 2: scan_classification_small<2>(f, lo, m, parent, best); break;
        case 3: scan_classification_small<3>(f, lo, m, parent, best); break;
        case 4: scan_classification_small<4>(f, lo, m, parent, best); break;
        default: scan_classification(f, lo, m, parent, best); break;
    }
}

// Samples of feature f's order lo..lo+m-1 move left one at a time; every
// boundary between distinct values is a candidate.
void ExactGrower::scan_classification(std::size_t f, std::size_t lo, std::size_t m,
                                      const ParentTotals& node, BestSplit& best) {
    const ParentTotals parent = node;  // a local copy: the class sums below cannot alias it
    const double* v = orders_.values(f) + lo;
    const std::uint32_t* ix = orders_.samples(f) + lo;
    if (!(v[0] < v[m - 1])) return;  // constant in this node: no candidate
    for (const std::uint32_t c : classes_) {
        left_[c] = 0.0;
        right_[c] = class_total_[c];
    }
    const std::uint64_t msl = min_leaf_;
    const std::uint32_t* pc = classes_.data();
    const std::size_t np = classes_.size();
    const ClassRecord* samples = class_records_.data();
    double* left = left_.data();
    double* right = right_.data();
    double WL = 0.0;
    for (std::size_t i = 0; i + 1 < m; ++i) {
        if (i + 16 < m) __builtin_prefetch(samples + ix[i + 16]);
        const ClassRecord& cs = samples[ix[i]];
        WL += cs.w;
        left[cs.cls] += cs.w;
        right[cs.cls] -= cs.w;
        const std::uint64_t nL = i + 1;
        if (v[i] == v[i + 1] || !split::admissible(nL, m, WL, parent.weight, msl)) continue;
        const double gain = split::class_gain(
            parent, WL, np, [&](std::size_t j) { return left[pc[j]]; },
            [&](std::size_t j) { return right[pc[j]]; });
        if (gain > best.gain) take(best, gain, f, v[i], v[i + 1]);
    }
}

// The same scan for a node with exactly NP classes, their running sums
// kept in registers. Every sample adds its weight to its own class and
// exactly +0.0 to the others; the sums are never -0.0, so adding or
// subtracting +0.0 leaves them bit for bit unchanged and the results equal
// those of the general scan.
template <std::size_t NP>
void ExactGrower::scan_classification_small(std::size_t f, std::size_t lo, std::size_t m,
                                            const ParentTotals& parent, BestSplit& best) {
    const double* v = orders_.values(f) + lo;
    const std::uint32_t* ix = orders_.samples(f) + lo;
    if (!(v[0] < v[m - 1])) return;
    std::uint32_t cid[NP];
    double L[NP], R[NP];
    for (std::size_t j = 0; j < NP; ++j) {
        cid[j] = classes_[j];
        L[j] = 0.0;
        R[j] = class_total_[cid[j]];
    }
    const std::uint64_t msl = min_leaf_;
    const ClassRecord* samples = class_records_.data();
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
        const double gain = split::class_gain(
            parent, WL, NP, [&](std::size_t j) { return L[j]; },
            [&](std::size_t j) { return R[j]; });
        if (gain > best.gain) take(best, gain, f, v[i], v[i + 1]);
    }
}

void ExactGrower::scan_regression(std::size_t f, std::size_t lo, std::size_t m,
                                  const ParentTotals& parent, BestSplit& best) {
    const double* v = orders_.values(f) + lo;
    const std::uint32_t* ix = orders_.samples(f) + lo;
    if (!(v[0] < v[m - 1])) return;
    const std::uint64_t msl = min_leaf_;
    const RegRecord* samples = reg_records_.data();
    double WL = 0.0, L1 = 0.0, L2 = 0.0;
    for (std::size_t i = 0; i + 1 < m; ++i) {
        if (i + 16 < m) __builtin_prefetch(samples + ix[i + 16]);
        const RegRecord& rs = samples[ix[i]];
        WL += rs.w;
        L1 += rs.wy;
        L2 += rs.ywy;
        const std::uint64_t nL = i + 1;
        if (v[i] == v[i + 1] || !split::admissible(nL, m, WL, parent.weight, msl)) continue;
        const double gain = split::variance_gain(parent, WL, L1, L2);
        if (gain > best.gain) take(best, gain, f, v[i], v[i + 1]);
    }
}

// Feature f's order over the node, read as cells (a code, or +inf for a
// missing value), fills the cell table: each cell's rows in node order.
void ExactGrower::scan_categories(std::size_t f, std::size_t lo, std::size_t m,
                                  const ParentTotals& parent, BestSplit& best) {
    const std::size_t k = params_.categories[f];
    const double* v = orders_.values(f) + lo;
    const std::uint32_t* ix = orders_.samples(f) + lo;
    cells_.reset(k, classification_ ? class_ids_.size() : 0);
    const auto cell = [k](double value) {
        return value == std::numeric_limits<double>::infinity() ? k : static_cast<std::size_t>(value);
    };
    if (classification_) {
        for (std::size_t i = 0; i < m; ++i) {
            const ClassRecord& r = class_records_[ix[i]];
            cells_.add(cell(v[i]), 1, r.w, r.cls);
        }
    } else {
        for (std::size_t i = 0; i < m; ++i) cells_.add(cell(v[i]), reg_records_[ix[i]]);
    }
    cells_.search(parent, classes_, class_total_.data(), m, min_leaf_, f, best);
}

void ExactGrower::grow_node(Tree& tree, const Task& t, std::vector<Task>& stack) {
    const std::size_t lo = t.lo, hi = t.hi, n = hi - lo;
    // Links the node appended at `index` to its parent (the root has none).
    const auto link = [&](std::uint32_t index) {
        if (index == 0) return;
        Node& parent = tree.nodes[t.parent];
        (t.is_left ? parent.left : parent.right) = index;
    };
    node_totals(lo, hi);
    const bool stop_size = n < params_.min_samples_split || !depth_allows_split(t.depth);
    const bool stop_pure = classification_ && classes_.size() <= 1;
    if (stop_size || stop_pure || !(weight_ > 0.0)) {
        link(make_leaf(tree, lo, hi));
        return;
    }

    feature_draw_.resize(n_columns_);
    std::iota(feature_draw_.begin(), feature_draw_.end(), std::size_t{0});
    shuffle(rng_, std::span<std::size_t>(feature_draw_));
    // The twins of the examined columns follow them, so that among equal
    // gains a split sending the missing values right wins.
    examined_.assign(feature_draw_.begin(), feature_draw_.begin() + n_examined_);
    for (std::size_t j = 0; j < n_examined_; ++j) {
        if (twin_[feature_draw_[j]] != 0) examined_.push_back(twin_[feature_draw_[j]]);
    }

    BestSplit best;
    if (t.scannable && n >= min_scan_) {
        if (classification_) {
            ParentTotals parent;
            parent.weight = weight_;
            parent.criterion = params_.criterion;
            parent.impurity = split::class_impurity(
                params_.criterion, classes_.size(), weight_,
                [&](std::size_t i) { return class_total_[classes_[i]]; });
            for (const std::size_t f : examined_) {
                parallel::check_stop();  // a scan of many rows is long
                if (categorical(f)) {
                    scan_categories(f, lo, n, parent, best);
                } else {
                    scan_classes(f, lo, n, parent, best);
                }
            }
        } else {
            const ParentTotals parent{weight_, sum_wy_, sum_ywy_,
                                      split::variance(weight_, sum_wy_, sum_ywy_)};
            for (const std::size_t f : examined_) {
                parallel::check_stop();  // a scan of many rows is long
                if (categorical(f)) {
                    scan_categories(f, lo, n, parent, best);
                } else {
                    scan_regression(f, lo, n, parent, best);
                }
            }
        }
    }
    if (!best.splits()) {
        link(make_leaf(tree, lo, hi));
        return;
    }

    // Rows at or below the threshold form a prefix of the chosen feature's
    // sorted order (a category split's rows are counted by their cells).
    const double* chosen = orders_.values(best.feature) + lo;
    std::size_t n_left = 0;
    const std::size_t k = categorical(best.feature) ? params_.categories[best.feature] : 0;
    const auto cell_left = [&](double value) {
        const std::size_t c =
            value == std::numeric_limits<double>::infinity() ? k : static_cast<std::size_t>(value);
        return ((best.cells[c >> 6] >> (c & 63)) & 1) != 0;
    };
    if (best.category) {
        for (std::size_t i = 0; i < n; ++i) n_left += cell_left(chosen[i]) ? 1 : 0;
    } else {
        while (n_left < n && chosen[n_left] <= best.threshold) ++n_left;
    }
    // Missing values read as +inf stay right of "every value left" (+inf).
    if (best.feature < n_columns_ && twin_[best.feature] != 0) {
        while (n_left > 0 && chosen[n_left - 1] == std::numeric_limits<double>::infinity()) --n_left;
    }
    if (n_left < min_leaf_ || n - n_left < min_leaf_) {
        link(make_leaf(tree, lo, hi));
        return;
    }
    // A column with a twin reads its missing values as +inf: sorted last.
    const std::size_t split_column =
        best.feature < n_columns_ ? best.feature : params_.exact_twins[best.feature - n_columns_];
    const bool seen = (twin_[split_column] != 0 || best.category) &&
                      orders_.values(split_column)[hi - 1] == std::numeric_limits<double>::infinity();
    clear_totals();

    if (best.category) {
        orders_.split_list_where(best.feature, lo, hi, cell_left);
    } else {
        orders_.split_list(best.feature, lo, hi, n_left);
    }
    const std::size_t mid = lo + n_left;
    const bool scan_left = scannable(lo, mid, t.depth + 1);
    const bool scan_right = scannable(mid, hi, t.depth + 1);
    orders_.split_features(lo, hi, scan_left, scan_right);

    Node node;
    const std::size_t column = split_column;
    node.feature = static_cast<std::uint32_t>(column);
    node.threshold = best.threshold;
    node.n_samples = n;
    bool missing_left = column != best.feature;
    if (best.category) {
        const CategorySet set = grow::category_set(best, k, missing_left);
        node.threshold = std::numeric_limits<double>::quiet_NaN();
        node.cw_begin = static_cast<std::uint32_t>(tree.category_sets.size());
        tree.category_sets.push_back(set);
        node.missing = kCategorical;
    }
    if (seen) {
        node.missing |= kMissingSeen | (missing_left ? kMissingLeft : 0);
    } else if (params_.missing_defaults) {
        node.missing |= kMissingDefault | (n_left > n - n_left ? kMissingLeft : 0);
    }
    const std::uint32_t index = append_node(tree, node);
    link(index);
    if (column + 1 > tree.n_features_used) tree.n_features_used = column + 1;
    stack.push_back(Task{mid, hi, t.depth + 1, index, false, scan_right});
    stack.push_back(Task{lo, mid, t.depth + 1, index, true, scan_left});
}

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

namespace tw {

ExactMissing ExactMissing::of(const MatrixView& x, std::span<const std::uint16_t> categories) {
    ExactMissing m;
    m.view = x;
    const std::size_t cols = x.cols;
    // One pass in memory order, in blocks between which a stop may end it.
    std::vector<std::uint8_t> holed(cols, 0);
    bool any = false;
    for (std::size_t r = 0; r < x.rows; ++r) {
        if ((r & 0xFFFF) == 0) parallel::check_stop();
        const double* row = x.row(r);
        for (std::size_t c = 0; c < cols; ++c) holed[c] |= row[c] != row[c] ? 1 : 0;
    }
    for (std::uint8_t h : holed) any = any || h != 0;
    if (!any) return m;
    const auto categorical = [&](std::size_t c) { return c < categories.size() && categories[c] != 0; };
    for (std::size_t c = 0; c < cols; ++c) {
        if (holed[c] != 0 && !categorical(c)) m.twin_of.push_back(static_cast<std::uint32_t>(c));
    }
    const std::size_t width = cols + m.twin_of.size();
    const double inf = std::numeric_limits<double>::infinity();
    m.values.resize(x.rows * width);
    for (std::size_t r = 0; r < x.rows; ++r) {
        double* out = m.values.data() + r * width;
        for (std::size_t c = 0; c < cols; ++c) {
            const double v = x.at(r, c);
            out[c] = std::isnan(v) ? inf : v;
        }
        for (std::size_t j = 0; j < m.twin_of.size(); ++j) {
            const double v = x.at(r, m.twin_of[j]);
            out[cols + j] = std::isnan(v) ? -inf : v;
        }
    }
    m.view = MatrixView{m.values.data(), x.rows, width, width};
    return m;
}

}  // namespace tw
