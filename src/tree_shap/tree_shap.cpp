#include "tree_shap/tree_shap.hpp"

#include <algorithm>
#include <bit>
#include <deque>
#include <string>

#include "core/errors.hpp"

namespace tw {

TreeShap::TreeShap(const DecisionTree& tree, const MatrixView& x_train,
                   const std::string& model_type) {
    if (!tree.is_fitted()) throw ValueError("Tree must be fitted before creating TreeSHAP");
    const bool classification = model_type == "classification";
    std::size_t n_outputs = 1;
    if (classification) n_outputs = tree.classes() ? tree.classes()->size() : 2;
    n_outputs_ = n_outputs;
    build(*tree.tree(), classification, x_train);
}

TreeShap::TreeShap(const Tree& tree, std::size_t n_outputs, bool classification,
                   const MatrixView& x_train) {
    n_outputs_ = classification ? n_outputs : 1;
    build(tree, classification, x_train);
}

void TreeShap::check_columns(std::size_t cols, const char* name) const {
    if (has_splits_ && max_feature_ >= cols) {
        throw ValueError("tree splits on feature " + std::to_string(max_feature_) + " but " +
                         name + " has " + std::to_string(cols) + " columns");
    }
}

void TreeShap::build(const Tree& tree, bool classification, const MatrixView& x_train) {
    const std::size_t n = tree.nodes.size();
    if (n == 0) throw InternalError("TreeSHAP: tree has no nodes");
    if (n > UINT32_MAX) throw InternalError("TreeSHAP: tree too large");
    if (tree.has_categories()) {
        // Its walks compare thresholds only.
        throw ValueError("this explainer cannot follow category-set splits; explain the "
                         "estimator with its own explanation methods");
    }

    // Structure check: pre-order layout, children after their parent and in
    // range. Everything below relies on it.
    has_splits_ = false;
    max_feature_ = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Node& s = tree.nodes[i];
        if (s.is_leaf()) {
            if (s.right != 0) throw InternalError("TreeSHAP: malformed tree");
            if (s.has_class_weights &&
                (std::size_t(s.cw_begin) + s.cw_count > tree.class_weights.size())) {
                throw InternalError("TreeSHAP: malformed tree");
            }
            continue;
        }
        if (s.left != i + 1 || s.right <= s.left || s.right >= n) {
            throw InternalError("TreeSHAP: malformed tree");
        }
        has_splits_ = true;
        max_feature_ = std::max<std::uint64_t>(max_feature_, s.feature);
    }
    n_features_ = x_train.cols;
    check_columns(x_train.cols, "x_train");

    width_ = classification ? n_outputs_ : 1;
    nodes_.assign(n, ShapNode{});
    leaf_values_.clear();
    features_.clear();
    // Position of each split feature in features_ (every split feature is
    // below x_train's column count, checked above).
    constexpr std::uint32_t kNone = UINT32_MAX;
    std::vector<std::uint32_t> position(has_splits_ ? max_feature_ + 1 : 0, kNone);
    for (std::size_t i = 0; i < n; ++i) {
        const Node& s = tree.nodes[i];
        ShapNode& d = nodes_[i];
        if (s.is_leaf()) {
            d.feature = leaf_values_.size();
            leaf_values_.resize(leaf_values_.size() + width_, 0.0);
            double* v = leaf_values_.data() + d.values();
            if (!classification) {
                v[0] = s.value;
            } else {
                // The leaf's class distribution, as predict_proba reports it:
                // classes at or above n_outputs are dropped but still count in
                // the total; zeros without class weights.
                tree.leaf_proba(i, width_, v);
            }
            continue;
        }
        d.feature = s.feature;
        d.threshold = s.threshold;
        d.left = s.left;
        d.right = s.right;
        if (position[s.feature] == kNone) {
            position[s.feature] = static_cast<std::uint32_t>(features_.size());
            features_.push_back(s.feature);
        }
        d.bit = position[s.feature];
    }
    // Subtree ends, children first (they follow their parent in pre-order).
    for (std::size_t i = n; i-- > 0;) {
        ShapNode& d = nodes_[i];
        d.end = d.is_leaf() ? static_cast<std::uint32_t>(i + 1) : nodes_[d.right].end;
    }

    // Background covers: the rows that reach a split and go to each side.
    // Every row descends to its leaf (NaN goes right); a split's covers are
    // then the rows whose leaves lie in its left subtree [left, right) and
    // in its right subtree [right, end), summed children first (they follow
    // their parent in pre-order). A single leaf has no split to count, and
    // its background may be a zero-width matrix with any number of rows, so
    // it is not walked.
    covers_.assign(2 * n, 0);
    if (!nodes_[0].is_leaf() && x_train.rows > 0) {
        std::vector<std::uint64_t> reach(n, 0);  // background rows that reach each node
        tree.walk_rows(x_train.rows, [&](std::size_t r) { return x_train.row(r); },
                       [&](std::size_t, std::uint32_t leaf) { ++reach[leaf]; });
        for (std::size_t i = n; i-- > 0;) {
            const ShapNode& d = nodes_[i];
            if (d.is_leaf()) continue;
            covers_[2 * i] = reach[d.left];
            covers_[2 * i + 1] = reach[d.right];
            reach[i] = reach[d.left] + reach[d.right];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        ShapNode& d = nodes_[i];
        if (d.is_leaf()) continue;
        const std::uint64_t n_samples = tree.nodes[i].n_samples;
        if (n_samples == 0) {
            d.w_left = 0.5;
            d.w_right = 0.5;
        } else {
            const double ns = static_cast<double>(n_samples);
            d.w_left = static_cast<double>(covers_[2 * i]) / ns;
            d.w_right = static_cast<double>(covers_[2 * i + 1]) / ns;
        }
    }
}

// ---------------------------------------------------------------------------
// Enumeration

namespace {

// Frames of the explicit walk: node index and how far its evaluation got.
struct Frame {
    std::uint32_t node;
    std::uint32_t stage;  // 0 = not started, 1 = left pending, 2 = right pending
};

}  // namespace

double TreeShap::coalition_value(const double* row, std::uint64_t mask,
                                 std::size_t output) const {
    // Recursion-free: a frame stack and a value stack. A split on a feature in
    // the coalition follows the row; any other split combines its subtrees as
    // left * w_left + right * w_right, left evaluated first.
    std::vector<Frame> stack{{0, 0}};
    std::vector<double> vals;
    const std::size_t c = std::min(output, width_ == 0 ? std::size_t(0) : width_ - 1);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.stage == 0) {
            std::uint32_t i = f.node;
            while (!nodes_[i].is_leaf() && nodes_[i].bit < 64 && ((mask >> nodes_[i].bit) & 1)) {
                const ShapNode& d = nodes_[i];
                i = row[d.feature] <= d.threshold ? d.left : d.right;
            }
            if (nodes_[i].is_leaf()) {
                vals.push_back(width_ == 0 ? 0.0 : leaf_values_[nodes_[i].values() + c]);
                stack.pop_back();
            } else {
                f.node = i;
                f.stage = 1;
                stack.push_back({nodes_[i].left, 0});
            }
        } else if (f.stage == 1) {
            f.stage = 2;
            stack.push_back({nodes_[f.node].right, 0});
        } else {
            const ShapNode& d = nodes_[f.node];
            const double r = vals.back();
            vals.pop_back();
            vals.back() = vals.back() * d.w_left + r * d.w_right;
            stack.pop_back();
        }
    }
    return vals.back();
}

void TreeShap::explain_enumeration(const double* row, double* out, std::vector<double>& table,
                                   std::vector<std::uint64_t>& stack) const {
    const std::size_t m = features_.size();
    const std::size_t w = width_;
    const std::uint64_t n_masks = std::uint64_t(1) << m;

    // Value table of every node's subtree for all masks at once, children
    // before parents: table[c * n_masks + mask]. A split whose feature is in
    // the mask takes the table entry of the child the row goes to; any other
    // split combines its children as left * w_left + right * w_right. These
    // are exactly the operations of one walk per mask and output. The larger
    // child is evaluated first, so at most log2(nodes) + 1 tables wait on the
    // stack whatever the depth.
    const std::size_t tsize = n_masks * w;
    table.clear();                 // stack of tables, tsize each
    stack.clear();                 // frames: node << 2 | stage
    stack.push_back(0);
    while (!stack.empty()) {
        std::uint64_t& f = stack.back();
        const std::uint64_t stage = f & 3;
        const std::uint32_t i = static_cast<std::uint32_t>(f >> 2);
        const ShapNode& d = nodes_[i];
        const bool right_first = !d.is_leaf() && d.end - d.right > d.right - d.left;
        if (stage == 0) {
            if (d.is_leaf()) {
                const double* v = leaf_values_.data() + d.values();
                const std::size_t at = table.size();
                table.resize(at + tsize);
                for (std::size_t c = 0; c < w; ++c) {
                    std::fill_n(table.data() + at + c * n_masks, n_masks, v[c]);
                }
                stack.pop_back();
            } else {
                f = (std::uint64_t(i) << 2) | 1;
                stack.push_back(std::uint64_t(right_first ? d.right : d.left) << 2);
            }
        } else if (stage == 1) {
            f = (std::uint64_t(i) << 2) | 2;
            stack.push_back(std::uint64_t(right_first ? d.left : d.right) << 2);
        } else {
            double* first = table.data() + table.size() - 2 * tsize;
            double* second = first + tsize;
            const double* lt = right_first ? second : first;
            const double* rt = right_first ? first : second;
            const bool left = row[d.feature] <= d.threshold;
            const std::uint64_t bit = std::uint64_t(1) << d.bit;
            // Result into `first` (read before written, entry by entry).
            for (std::size_t c = 0; c < w; ++c) {
                const double* l = lt + c * n_masks;
                const double* r = rt + c * n_masks;
                double* o = first + c * n_masks;
                for (std::uint64_t base = 0; base < n_masks; base += 2 * bit) {
                    for (std::uint64_t k = base; k < base + bit; ++k) {
                        o[k] = l[k] * d.w_left + r[k] * d.w_right;
                    }
                    const double* src = left ? l : r;
                    for (std::uint64_t k = base + bit; k < base + 2 * bit; ++k) o[k] = src[k];
                }
            }
            table.resize(table.size() - tsize);
            stack.pop_back();
        }
    }
    const double* v = table.data();  // the root's table

    // Shapley weights s! (M-1-s)! / M! by coalition size.
    std::vector<double> fact(m + 1);
    fact[0] = 1.0;
    for (std::size_t k = 1; k <= m; ++k) fact[k] = fact[k - 1] * static_cast<double>(k);
    std::vector<double> weight(m);
    for (std::size_t s = 0; s < m; ++s) weight[s] = fact[s] * fact[m - 1 - s] / fact[m];

    for (std::size_t c = 0; c < n_outputs_; ++c) {
        double* phi = out + c * n_features_;
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t bit = std::uint64_t(1) << i;
            double sum = 0.0;
            for (std::uint64_t k = 0; k < n_masks; ++k) {
                if (k & bit) continue;
                const double wt = weight[std::popcount(k)];
                sum += wt * (v[c * n_masks + (k | bit)] - v[c * n_masks + k]);
            }
            phi[features_[i]] += sum;
        }
    }
}

// ---------------------------------------------------------------------------
// Path algorithm
//
// Along a root-to-leaf path every distinct feature f carries a zero fraction
// z_f (the product of the subtree weights of its splits on the path: the
// factor when f is absent) and a one fraction o_f (1 if the row follows every
// one of its splits on the path, else 0: the factor when f is present). The
// leaf's value times the product over the path features of (o_f or z_f) is a
// product game whose Shapley value for feature i is
//     value * (o_i - z_i) * sum_k k! (q-k)! / (q+1)! * e_k(path without i),
// with e_k the elementary symmetric sums in the (z, o) pairs (q = number of
// other path features). `w[k]` below holds e_k(path) * k! (n-k)! / (n+1)!
// for the n features on the path; extending by one feature and unwinding one
// are the two exact polynomial updates of those weights.

namespace shap_detail {

struct PathElem {
    std::uint64_t feature;
    double z;
    double o;
    double w;
};

// Constants of the weight updates for a path of q features, so that the inner
// loops multiply instead of divide: for j = 0 .. q-1
//   a[j] = (q+1)/(j+1), b[j] = (q-j)/(q+1), c[j] = (q+1)/(q-j), d[j] = j/(q+1),
//   ba[j] = b[j] a[j] = (q-j)/(j+1), dc[j] = d[j] c[j] = j/(q-j)
// (unwinding), and for j = 0 .. q ext_keep[j] = (q-j)/(q+1), ext_move[j] =
// j/(q+1) (extending a path of q-1 features to q).
struct Coeffs {
    std::vector<double> a, b, c, d, ba, dc, ext_keep, ext_move;
};

struct PathWork {
    std::vector<PathElem> path;
    std::vector<PathElem> store;  // saved paths of deferred subtrees
    struct Frame {
        std::uint32_t node;
        std::size_t begin;  // saved path: store[begin, begin + len)
        std::size_t len;
    };
    std::vector<Frame> frames;
    std::vector<double> scratch;
    std::vector<PathElem> tmp;
    std::deque<Coeffs> coeffs;  // by path length q; references stay valid
    struct Unwinding {
        std::size_t e;  // path element
        double z, o;
        double inv;     // 1/o (from the top) or 1/z (from the bottom)
        double total;   // sum of the unwound weights
    };
    std::vector<Unwinding> down, up;
    std::vector<double> w;

    const Coeffs& at(std::size_t q) {
        while (coeffs.size() <= q) {
            const std::size_t n = coeffs.size();
            Coeffs k;
            const double n1 = static_cast<double>(n + 1);
            for (std::size_t j = 0; j < n; ++j) {
                k.a.push_back(n1 / static_cast<double>(j + 1));
                k.b.push_back(static_cast<double>(n - j) / n1);
                k.c.push_back(n1 / static_cast<double>(n - j));
                k.d.push_back(static_cast<double>(j) / n1);
                k.ba.push_back(static_cast<double>(n - j) / static_cast<double>(j + 1));
                k.dc.push_back(static_cast<double>(j) / static_cast<double>(n - j));
            }
            // Extension from n - 1 features to n: w'[j] = z w[j] (n-j)/(n+1)
            // + o w[j-1] j/(n+1), j = 0 .. n.
            for (std::size_t j = 0; j <= n; ++j) {
                k.ext_keep.push_back(static_cast<double>(n - j) / n1);
                k.ext_move.push_back(static_cast<double>(j) / n1);
            }
            coeffs.push_back(std::move(k));
        }
        return coeffs[q];
    }
};

}  // namespace shap_detail

namespace {

using shap_detail::Coeffs;
using shap_detail::PathElem;

// Adds a feature with fractions (z, o). Element 0 is the empty-set element.
void extend(std::vector<PathElem>& p, const Coeffs& k, std::uint64_t feature, double z,
            double o) {
    const std::size_t q = p.size();  // features after the extension
    p.push_back({feature, z, o, 0.0});
    for (std::size_t j = q; j > 0; --j) {
        p[j].w = z * p[j].w * k.ext_keep[j] + o * p[j - 1].w * k.ext_move[j];
    }
    p[0].w = z * p[0].w * k.ext_keep[0];
}

// Weights of the path without element `e` into `out` (q values), undoing its
// extension by (z, o). Dividing by the larger of the two fractions keeps the
// recurrence stable when subtree weights exceed 1 (the other direction would
// subtract nearly equal large terms).
void unwound(const PathElem* p, std::size_t q, std::size_t e, const Coeffs& k, double* out) {
    const double z = p[e].z, o = p[e].o;
    if (z > o) {
        const double inv_z = 1.0 / z;
        double prev = p[0].w * k.c[0] * inv_z;
        out[0] = prev;
        for (std::size_t j = 1; j < q; ++j) {
            prev = (p[j].w - o * prev * k.d[j]) * k.c[j] * inv_z;
            out[j] = prev;
        }
    } else {
        const double inv_o = 1.0 / o;
        double next = p[q].w;
        for (std::size_t j = q; j-- > 0;) {
            const double cur = next * k.a[j] * inv_o;
            out[j] = cur;
            next = p[j].w - z * cur * k.b[j];
        }
    }
}

// Unwound weight sums of N path features at once, kept in registers so the
// N independent recurrences overlap in the processor.
// The path's one fractions are exactly 0 or 1 (products of 0s and 1s), and
// the features with o = 0 are handled in closed form, so these kernels take
// o = 1. The recurrences are rearranged so that each step's dependency on
// the previous one is a single multiply and subtract.
template <std::size_t N>
void sums_from_top(const double* w, std::size_t q, const Coeffs& k,
                   shap_detail::PathWork::Unwinding* r) {
    double run[N], total[N], z[N];
    for (std::size_t n = 0; n < N; ++n) {
        run[n] = w[q];
        total[n] = 0.0;
        z[n] = r[n].z;
    }
    for (std::size_t j = q; j-- > 0;) {
        const double wj = w[j], a = k.a[j], ba = k.ba[j];
        for (std::size_t n = 0; n < N; ++n) {
            total[n] += run[n] * a;
            run[n] = wj - (z[n] * ba) * run[n];
        }
    }
    for (std::size_t n = 0; n < N; ++n) r[n].total = total[n];
}

template <std::size_t N>
void sums_from_bottom(const double* w, std::size_t q, const Coeffs& k,
                      shap_detail::PathWork::Unwinding* r) {
    double run[N], total[N], inv[N];
    for (std::size_t n = 0; n < N; ++n) {
        inv[n] = r[n].inv;
        run[n] = w[0] * k.c[0] * inv[n];
        total[n] = run[n];
    }
    for (std::size_t j = 1; j < q; ++j) {
        const double wj = w[j], c = k.c[j], dc = k.dc[j];
        for (std::size_t n = 0; n < N; ++n) {
            run[n] = wj * (c * inv[n]) - run[n] * (dc * inv[n]);
            total[n] += run[n];
        }
    }
    for (std::size_t n = 0; n < N; ++n) r[n].total = total[n];
}

}  // namespace

// Adds a leaf's contributions for every feature on the path: the feature's
// (o - z) times the sum of the path weights with the feature unwound.
void TreeShap::leaf_path(const std::vector<PathElem>& path, std::size_t q, const double* v,
                         double* out, PathWork& ws) const {
    const Coeffs& k = ws.at(q);
    ws.w.resize(q + 1);
    double* w = ws.w.data();
    for (std::size_t j = 0; j <= q; ++j) w[j] = path[j].w;
    // From the top when z <= o (divide by o), from the bottom when z > o.
    // With o = 0 the bottom recurrence loses its coupling term: the unwound
    // weights are w[j] (q+1) / ((q-j) z), so their sum is one shared dot
    // product divided by z, and (o - z) times it is minus that product.
    ws.down.resize(q);
    ws.up.resize(q);
    std::size_t n_down = 0, n_up = 0;
    bool any_off = false;
    double off_sum = 0.0;
    for (std::size_t e = 1; e <= q; ++e) {
        const PathElem& pe = path[e];
        if (pe.o == 0.0) {
            if (pe.z == 0.0) continue;  // contributes nothing
            if (!any_off) {
                for (std::size_t j = 0; j < q; ++j) off_sum += w[j] * k.c[j];
                any_off = true;
            }
            const double scale = -off_sum;  // (o - z) * off_sum / z with o = 0
            for (std::size_t c = 0; c < n_outputs_; ++c) {
                out[c * n_features_ + pe.feature] += v[c] * scale;
            }
            continue;
        }
        if (pe.o != 1.0) {  // not reached (o is 0 or 1); the general unwinding
            ws.scratch.resize(q);
            unwound(path.data(), q, e, k, ws.scratch.data());
            double total = 0.0;
            for (std::size_t j = 0; j < q; ++j) total += ws.scratch[j];
            const double scale = (pe.o - pe.z) * total;
            for (std::size_t c = 0; c < n_outputs_; ++c) {
                out[c * n_features_ + pe.feature] += v[c] * scale;
            }
            continue;
        }
        if (pe.z > pe.o) ws.up[n_up++] = {e, pe.z, pe.o, 1.0 / pe.z, 0.0};
        else ws.down[n_down++] = {e, pe.z, pe.o, 1.0, 0.0};
    }
    PathWork::Unwinding* r = ws.down.data();
    std::size_t i = 0;
    for (; i + 4 <= n_down; i += 4) sums_from_top<4>(w, q, k, r + i);
    for (; i < n_down; ++i) sums_from_top<1>(w, q, k, r + i);
    r = ws.up.data();
    for (i = 0; i + 4 <= n_up; i += 4) sums_from_bottom<4>(w, q, k, r + i);
    for (; i < n_up; ++i) sums_from_bottom<1>(w, q, k, r + i);

    for (std::size_t g = 0; g < 2; ++g) {
        const PathWork::Unwinding* rs = g == 0 ? ws.down.data() : ws.up.data();
        const std::size_t count = g == 0 ? n_down : n_up;
        for (std::size_t t = 0; t < count; ++t) {
            const PathElem& pe = path[rs[t].e];
            const double scale = (pe.o - pe.z) * rs[t].total;
            for (std::size_t c = 0; c < n_outputs_; ++c) {
                out[c * n_features_ + pe.feature] += v[c] * scale;
            }
        }
    }
}

void TreeShap::explain_path(const double* row, double* out, PathWork& ws) const {
    std::vector<PathElem>& path = ws.path;
    path.clear();
    path.push_back({0, 1.0, 1.0, 1.0});
    ws.store.clear();
    ws.frames.clear();

    std::uint32_t i = 0;
    for (;;) {
        const ShapNode& d = nodes_[i];
        bool next_found = false;
        if (d.is_leaf()) {
            const std::size_t q = path.size() - 1;
            if (q > 0) leaf_path(path, q, leaf_values_.data() + d.values(), out, ws);
        } else {
            // A feature already on the path is taken off and re-added with the
            // combined fractions of both of its splits.
            double iz = 1.0, io = 1.0;
            const std::size_t q = path.size() - 1;
            for (std::size_t e = 1; e <= q; ++e) {
                if (path[e].feature != d.feature) continue;
                iz = path[e].z;
                io = path[e].o;
                ws.scratch.resize(q);
                unwound(path.data(), q, e, ws.at(q), ws.scratch.data());
                path.erase(path.begin() + static_cast<std::ptrdiff_t>(e));
                for (std::size_t j = 0; j < q; ++j) path[j].w = ws.scratch[j];
                break;
            }
            const Coeffs& k = ws.at(path.size());
            const bool left_hot = row[d.feature] <= d.threshold;
            const std::uint32_t hot = left_hot ? d.left : d.right;
            const std::uint32_t cold = left_hot ? d.right : d.left;
            const double z_hot = iz * (left_hot ? d.w_left : d.w_right);
            const double z_cold = iz * (left_hot ? d.w_right : d.w_left);
            // A child whose fractions are both 0 adds 0 to every leaf below it.
            const bool hot_live = !(z_hot == 0.0 && io == 0.0);
            const bool cold_live = z_cold != 0.0;
            if (hot_live && cold_live) {
                // Defer the larger subtree so at most log2(nodes) paths are
                // saved at once, whatever the depth.
                // Subtree sizes from this node alone: left is [i+1, right),
                // right is [right, end).
                const std::uint32_t left_size = d.right - d.left;
                const std::uint32_t right_size = d.end - d.right;
                const bool defer_hot = left_hot ? left_size > right_size : right_size > left_size;
                ws.tmp.assign(path.begin(), path.end());
                if (defer_hot) extend(ws.tmp, k, d.feature, z_hot, io);
                else extend(ws.tmp, k, d.feature, z_cold, 0.0);
                ws.frames.push_back({defer_hot ? hot : cold, ws.store.size(), ws.tmp.size()});
                ws.store.insert(ws.store.end(), ws.tmp.begin(), ws.tmp.end());
                if (defer_hot) {
                    extend(path, k, d.feature, z_cold, 0.0);
                    i = cold;
                } else {
                    extend(path, k, d.feature, z_hot, io);
                    i = hot;
                }
                next_found = true;
            } else if (hot_live) {
                extend(path, k, d.feature, z_hot, io);
                i = hot;
                next_found = true;
            } else if (cold_live) {
                extend(path, k, d.feature, z_cold, 0.0);
                i = cold;
                next_found = true;
            }
        }
        if (next_found) continue;
        if (ws.frames.empty()) break;
        const PathWork::Frame f = ws.frames.back();
        ws.frames.pop_back();
        path.assign(ws.store.begin() + static_cast<std::ptrdiff_t>(f.begin),
                    ws.store.begin() + static_cast<std::ptrdiff_t>(f.begin + f.len));
        ws.store.resize(f.begin);
        i = f.node;
    }
}

std::vector<double> TreeShap::explain(const MatrixView& x, Method method) const {
    check_columns(x.cols, "x");
    const std::size_t m = features_.size();
    if (method == Method::automatic) {
        method = m <= kEnumerationLimit ? Method::enumeration : Method::path;
    }
    if (method == Method::enumeration && m > kEnumerationMax) {
        throw ValueError("too many distinct split features to enumerate (" + std::to_string(m) +
                         ")");
    }
    const std::size_t per_row = n_outputs_ * n_features_;
    if (per_row != 0 && x.rows > std::vector<double>().max_size() / per_row) {
        throw ValueError("x has too many rows to explain (" + std::to_string(x.rows) + ")");
    }
    std::vector<double> out(x.rows * per_row, 0.0);
    if (m == 0 || per_row == 0) return out;
    std::vector<double> table;
    std::vector<std::uint64_t> stack;
    PathWork ws;
    for (std::size_t r = 0; r < x.rows; ++r) {
        double* o = out.data() + r * per_row;
        if (method == Method::enumeration) {
            explain_enumeration(x.row(r), o, table, stack);
        } else {
            explain_path(x.row(r), o, ws);
        }
    }
    return out;
}

}  // namespace tw
