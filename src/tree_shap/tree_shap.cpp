#include "tree_shap/tree_shap.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "tree/errors.hpp"

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
    if (min_columns_ > cols) {
        throw ValueError("tree splits on feature " + std::to_string(min_columns_ - 1) + " but " +
                         name + " has " + std::to_string(cols) + " columns");
    }
}

void TreeShap::build(const Tree& tree, bool classification, const MatrixView& x_train) {
    const std::size_t n = tree.nodes.size();
    if (n == 0) throw InternalError("TreeSHAP: tree has no nodes");
    if (n > UINT32_MAX) throw InternalError("TreeSHAP: tree too large");

    // Structure check: pre-order layout, children after their parent and in
    // range. Everything below relies on it.
    min_columns_ = 0;
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
        min_columns_ = std::max<std::uint64_t>(min_columns_, s.feature + 1);
    }
    n_features_ = x_train.cols;
    check_columns(x_train.cols, "x_train");

    width_ = classification ? n_outputs_ : 1;
    nodes_.assign(n, ShapNode{});
    leaf_values_.clear();
    features_.clear();
    for (std::size_t i = 0; i < n; ++i) {
        const Node& s = tree.nodes[i];
        ShapNode& d = nodes_[i];
        d.n_samples = s.n_samples;
        if (s.is_leaf()) {
            d.values = leaf_values_.size();
            leaf_values_.resize(leaf_values_.size() + width_, 0.0);
            double* v = leaf_values_.data() + d.values;
            if (!classification) {
                v[0] = s.value;
            } else if (s.has_class_weights) {
                // The leaf's class distribution, as predict_proba reports it:
                // classes at or above n_outputs are dropped but still count in
                // the total.
                const auto cw = tree.leaf_weights(i);
                double total = 0.0;
                for (const ClassWeight& e : cw) total += e.weight;
                if (total > 0.0) {
                    for (const ClassWeight& e : cw) {
                        if (e.cls < width_) v[e.cls] = e.weight / total;
                    }
                }
            }
            continue;
        }
        d.feature = s.feature;
        d.threshold = s.threshold;
        d.left = s.left;
        d.right = s.right;
        auto pos = std::find(features_.begin(), features_.end(), s.feature);
        d.bit = static_cast<std::uint32_t>(pos - features_.begin());
        if (pos == features_.end()) features_.push_back(s.feature);
    }
    // Subtree ends, children first (they follow their parent in pre-order).
    for (std::size_t i = n; i-- > 0;) {
        ShapNode& d = nodes_[i];
        d.end = d.is_leaf() ? static_cast<std::uint32_t>(i + 1) : nodes_[d.right].end;
    }

    // Background covers: every row walks from the root to its leaf, counting
    // the side it takes at each split (NaN goes right).
    for (std::size_t r = 0; r < x_train.rows; ++r) {
        const double* row = x_train.row(r);
        std::size_t i = 0;
        while (!nodes_[i].is_leaf()) {
            ShapNode& d = nodes_[i];
            if (row[d.feature] <= d.threshold) {
                ++d.left_cover;
                i = d.left;
            } else {
                ++d.right_cover;
                i = d.right;
            }
        }
    }
    for (ShapNode& d : nodes_) {
        if (d.is_leaf()) continue;
        if (d.n_samples == 0) {
            d.w_left = 0.5;
            d.w_right = 0.5;
        } else {
            const double ns = static_cast<double>(d.n_samples);
            d.w_left = static_cast<double>(d.left_cover) / ns;
            d.w_right = static_cast<double>(d.right_cover) / ns;
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
            while (!nodes_[i].is_leaf() && ((mask >> nodes_[i].bit) & 1)) {
                const ShapNode& d = nodes_[i];
                i = row[d.feature] <= d.threshold ? d.left : d.right;
            }
            if (nodes_[i].is_leaf()) {
                vals.push_back(width_ == 0 ? 0.0 : leaf_values_[nodes_[i].values + c]);
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
                                   std::vector<std::uint64_t>& stack,
                                   std::vector<double>& vals) const {
    const std::size_t m = features_.size();
    const std::size_t w = width_;
    const std::uint64_t n_masks = std::uint64_t(1) << m;

    // Direction of the row at every split, read once.
    std::vector<std::uint8_t> go_left(nodes_.size(), 0);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        const ShapNode& d = nodes_[i];
        if (!d.is_leaf()) go_left[i] = row[d.feature] <= d.threshold;
    }

    // Value table, all outputs at once: table[mask * w + c]. Each output's
    // value is computed by exactly the same operations as a walk of its own.
    table.assign(n_masks * w, 0.0);
    for (std::uint64_t mask = 0; mask < n_masks; ++mask) {
        stack.clear();
        vals.clear();
        stack.push_back(0);  // node << 2 | stage (0 start, 1 left pending, 2 right pending)
        while (!stack.empty()) {
            std::uint64_t& f = stack.back();
            const std::uint64_t stage = f & 3;
            std::uint32_t i = static_cast<std::uint32_t>(f >> 2);
            if (stage == 0) {
                while (!nodes_[i].is_leaf() && ((mask >> nodes_[i].bit) & 1)) {
                    i = go_left[i] ? nodes_[i].left : nodes_[i].right;
                }
                if (nodes_[i].is_leaf()) {
                    const double* v = leaf_values_.data() + nodes_[i].values;
                    vals.insert(vals.end(), v, v + w);
                    stack.pop_back();
                } else {
                    f = (std::uint64_t(i) << 2) | 1;
                    stack.push_back(std::uint64_t(nodes_[i].left) << 2);
                }
            } else if (stage == 1) {
                f = (std::uint64_t(i) << 2) | 2;
                stack.push_back(std::uint64_t(nodes_[i].right) << 2);
            } else {
                const ShapNode& d = nodes_[i];
                double* l = vals.data() + vals.size() - 2 * w;
                const double* r = l + w;
                for (std::size_t c = 0; c < w; ++c) l[c] = l[c] * d.w_left + r[c] * d.w_right;
                vals.resize(vals.size() - w);
                stack.pop_back();
            }
        }
        std::copy(vals.begin(), vals.end(), table.begin() + mask * w);
    }

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
                sum += wt * (table[(k | bit) * w + c] - table[k * w + c]);
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

namespace {

struct PathElem {
    std::uint64_t feature;
    double z;
    double o;
    double w;
};

// Adds a feature with fractions (z, o). Element 0 is the empty-set element.
void extend(std::vector<PathElem>& p, std::uint64_t feature, double z, double o) {
    const std::size_t q = p.size() - 1;  // features before the extension
    p.push_back({feature, z, o, 0.0});
    const double denom = static_cast<double>(q + 2);
    for (std::size_t k = q + 1; k > 0; --k) {
        p[k].w = z * p[k].w * static_cast<double>(q + 1 - k) / denom +
                 o * p[k - 1].w * static_cast<double>(k) / denom;
    }
    p[0].w = z * p[0].w * static_cast<double>(q + 1) / denom;
}

// Weights of the path without element `e` into `out` (q values), undoing the
// extension by (z, o). Dividing by the larger of the two fractions keeps the
// recurrence stable when subtree weights exceed 1.
void unwound(const std::vector<PathElem>& p, std::size_t e, double* out) {
    const std::size_t q = p.size() - 1;
    const double z = p[e].z, o = p[e].o;
    const double n1 = static_cast<double>(q + 1);
    if (z > o) {
        double prev = 0.0;
        for (std::size_t k = 0; k < q; ++k) {
            double t = p[k].w;
            if (k > 0) t -= o * prev * static_cast<double>(k) / n1;
            prev = t * n1 / (z * static_cast<double>(q - k));
            out[k] = prev;
        }
    } else {
        double next = p[q].w;
        for (std::size_t k = q; k-- > 0;) {
            const double cur = next * n1 / (static_cast<double>(k + 1) * o);
            out[k] = cur;
            next = p[k].w - z * cur * static_cast<double>(q - k) / n1;
        }
    }
}

double unwound_sum(const std::vector<PathElem>& p, std::size_t e) {
    const std::size_t q = p.size() - 1;
    const double z = p[e].z, o = p[e].o;
    const double n1 = static_cast<double>(q + 1);
    double total = 0.0;
    if (z > o) {
        double prev = 0.0;
        for (std::size_t k = 0; k < q; ++k) {
            double t = p[k].w;
            if (k > 0) t -= o * prev * static_cast<double>(k) / n1;
            prev = t * n1 / (z * static_cast<double>(q - k));
            total += prev;
        }
    } else {
        double next = p[q].w;
        for (std::size_t k = q; k-- > 0;) {
            const double cur = next * n1 / (static_cast<double>(k + 1) * o);
            total += cur;
            next = p[k].w - z * cur * static_cast<double>(q - k) / n1;
        }
    }
    return total;
}

// Removes element `e` from the path.
void unwind(std::vector<PathElem>& p, std::size_t e, std::vector<double>& scratch) {
    const std::size_t q = p.size() - 1;
    scratch.resize(q);
    unwound(p, e, scratch.data());
    for (std::size_t k = e; k < q; ++k) {
        p[k].feature = p[k + 1].feature;
        p[k].z = p[k + 1].z;
        p[k].o = p[k + 1].o;
    }
    p.pop_back();
    for (std::size_t k = 0; k < q; ++k) p[k].w = scratch[k];
}

struct PathFrame {
    std::uint32_t node;
    std::size_t begin;  // saved path in the frame store: [begin, begin + len)
    std::size_t len;
};

}  // namespace

void TreeShap::explain_path(const double* row, double* out) const {
    std::vector<PathElem> path;
    path.reserve(features_.size() + 2);
    path.push_back({0, 1.0, 1.0, 1.0});
    std::vector<PathElem> store;  // saved paths of deferred subtrees
    std::vector<PathFrame> frames;
    std::vector<double> scratch;
    std::vector<PathElem> tmp;

    std::uint32_t i = 0;
    for (;;) {
        const ShapNode& d = nodes_[i];
        bool next_found = false;
        if (d.is_leaf()) {
            const double* v = leaf_values_.data() + d.values;
            for (std::size_t e = 1; e < path.size(); ++e) {
                const PathElem& pe = path[e];
                if (pe.z == 0.0 && pe.o == 0.0) continue;  // contributes nothing
                const double scale = (pe.o - pe.z) * unwound_sum(path, e);
                for (std::size_t c = 0; c < n_outputs_; ++c) {
                    out[c * n_features_ + pe.feature] += v[c] * scale;
                }
            }
        } else {
            // A feature already on the path is taken off and re-added with the
            // combined fractions of both of its splits.
            double iz = 1.0, io = 1.0;
            for (std::size_t e = 1; e < path.size(); ++e) {
                if (path[e].feature == d.feature) {
                    iz = path[e].z;
                    io = path[e].o;
                    unwind(path, e, scratch);
                    break;
                }
            }
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
                const std::uint32_t hot_size = nodes_[hot].end - hot;
                const std::uint32_t cold_size = nodes_[cold].end - cold;
                const bool defer_hot = hot_size > cold_size;
                tmp.assign(path.begin(), path.end());
                if (defer_hot) extend(tmp, d.feature, z_hot, io);
                else extend(tmp, d.feature, z_cold, 0.0);
                frames.push_back({defer_hot ? hot : cold, store.size(), tmp.size()});
                store.insert(store.end(), tmp.begin(), tmp.end());
                if (defer_hot) {
                    extend(path, d.feature, z_cold, 0.0);
                    i = cold;
                } else {
                    extend(path, d.feature, z_hot, io);
                    i = hot;
                }
                next_found = true;
            } else if (hot_live) {
                extend(path, d.feature, z_hot, io);
                i = hot;
                next_found = true;
            } else if (cold_live) {
                extend(path, d.feature, z_cold, 0.0);
                i = cold;
                next_found = true;
            }
        }
        if (next_found) continue;
        if (frames.empty()) break;
        const PathFrame f = frames.back();
        frames.pop_back();
        path.assign(store.begin() + f.begin, store.begin() + f.begin + f.len);
        store.resize(f.begin);
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
    std::vector<double> out(x.rows * per_row, 0.0);
    if (m == 0 || per_row == 0) return out;
    std::vector<double> table, vals;
    std::vector<std::uint64_t> stack;
    for (std::size_t r = 0; r < x.rows; ++r) {
        double* o = out.data() + r * per_row;
        if (method == Method::enumeration) {
            explain_enumeration(x.row(r), o, table, stack, vals);
        } else {
            explain_path(x.row(r), o);
        }
    }
    return out;
}

}  // namespace tw
