// Building the ensemble explainer from trees, the Gauss-Legendre rules, the
// row and block scheduling, and the expected values and raw outputs.
#include "tree_shap/ensemble_shap.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/errors.hpp"
#include "parallel/pool.hpp"
#include "tree_shap/ensemble_scratch.hpp"

namespace tw {

namespace {

// Gauss-Legendre points and weights on [0, 1]: `points` values of t, then
// as many of 1 - t, of the weights w, and of -w / (1 - t). Newton's method on the Legendre polynomial from the usual
// cosine starting guesses; exact for polynomials of degree < 2 points.
void gauss_legendre(std::size_t points, std::vector<double>& out) {
    const std::size_t at = out.size();
    out.resize(at + 4 * points);
    const double pi = 3.14159265358979323846;
    const double n = static_cast<double>(points);
    for (std::size_t i = 0; i < points; ++i) {
        double x = std::cos(pi * (static_cast<double>(i) + 0.75) / (n + 0.5));
        double dp = 1.0;
        for (int iter = 0; iter < 100; ++iter) {
            double p0 = 1.0, p1 = x;
            for (std::size_t k = 2; k <= points; ++k) {
                const double kk = static_cast<double>(k);
                const double p2 = ((2.0 * kk - 1.0) * x * p1 - (kk - 1.0) * p0) / kk;
                p0 = p1;
                p1 = p2;
            }
            if (points == 1) p0 = 1.0;
            // p1 = P_n(x), p0 = P_{n-1}(x).
            dp = n * (x * p1 - p0) / (x * x - 1.0);
            const double step = p1 / dp;
            x -= step;
            if (std::fabs(step) <= 1e-16) break;
        }
        if (points == 1) {
            x = 0.0;
            dp = 1.0;
        }
        out[at + i] = 0.5 * (1.0 - x);
        out[at + points + i] = 1.0 - out[at + i];
        out[at + 2 * points + i] = 1.0 / ((1.0 - x * x) * dp * dp);  // 2 / (...) halved
    }
    for (std::size_t i = 0; i < points; ++i) {
        out[at + 3 * points + i] = -out[at + 2 * points + i] / out[at + points + i];
    }
}

std::size_t threads_of_call() {
    const parallel::RunControl* control = parallel::current_control();
    if (control && control->threads != 0) return control->threads;
    return parallel::pool_size();
}

}  // namespace

EnsembleShap::EnsembleShap(std::size_t n_outputs, std::size_t n_features)
    : n_outputs_(n_outputs), n_features_(n_features), offset_(n_outputs, 0.0) {}

void EnsembleShap::add_tree(const Tree& tree, bool classification, std::size_t width,
                            std::size_t first_output, double scale) {
    const std::size_t n = tree.nodes.size();
    if (n == 0 || n > UINT32_MAX) throw InternalError("explainer: tree of unusable size");
    if (!classification) width = 1;
    if (width == 0 || first_output + width > n_outputs_) {
        throw InternalError("explainer: tree outputs out of range");
    }
    // Pre-order structure, children in range, leaf weights in range.
    for (std::size_t i = 0; i < n; ++i) {
        const tw::Node& s = tree.nodes[i];
        if (s.is_leaf()) {
            if (s.has_class_weights &&
                std::size_t(s.cw_begin) + s.cw_count > tree.class_weights.size()) {
                throw InternalError("explainer: malformed tree");
            }
            continue;
        }
        if (s.left != i + 1 || s.right <= s.left || s.right >= n) {
            throw InternalError("explainer: malformed tree");
        }
        if (s.feature >= n_features_) {
            throw ValueError("the model splits on feature " + std::to_string(s.feature) +
                             " but x has " + std::to_string(n_features_) + " columns");
        }
    }
    TreeInfo t;
    t.node_begin = nodes_.size();
    t.n_nodes = n;
    t.value_begin = values_.size();
    t.width = width;
    t.first_output = first_output;
    t.feature_begin = features_.size();

    std::vector<std::uint32_t> end(n);
    for (std::size_t i = n; i-- > 0;) {
        const tw::Node& s = tree.nodes[i];
        end[i] = s.is_leaf() ? static_cast<std::uint32_t>(i + 1) : end[s.right];
    }
    nodes_.resize(t.node_begin + n);
    masks_.resize(t.node_begin + n, 0);
    Node* out = nodes_.data() + t.node_begin;
    std::uint64_t* mask = masks_.data() + t.node_begin;
    std::uint32_t leaves = 0;
    std::vector<double> leaf(width);
    for (std::size_t i = 0; i < n; ++i) {
        const tw::Node& s = tree.nodes[i];
        if (s.is_leaf()) {
            out[i] = Node{0.0, 0.0, 0.0, leaves++, 0};
            if (classification) tree.leaf_proba(i, width, leaf.data());
            else leaf[0] = s.value;
            for (std::size_t c = 0; c < width; ++c) values_.push_back(leaf[c] * scale);
            continue;
        }
        const double nl = static_cast<double>(tree.nodes[s.left].n_samples);
        const double nr = static_cast<double>(tree.nodes[s.right].n_samples);
        double zl = 0.5, zr = 0.5;
        if (nl + nr > 0.0) {
            zl = nl / (nl + nr);
            zr = nr / (nl + nr);
        }
        out[i] = Node{s.threshold, zl, zr, s.feature, s.right, s.missing};
        if (s.is_categorical()) {
            if (s.cw_begin >= tree.category_sets.size()) throw InternalError("explainer: malformed tree");
            out[i].set = static_cast<std::uint32_t>(sets_.size());
            sets_.push_back(tree.category_sets[s.cw_begin]);
        }
    }
    // Subtree feature masks and cover-weighted means, children first.
    std::vector<double> mean(n * width, 0.0);
    for (std::size_t i = n; i-- > 0;) {
        const Node& d = out[i];
        double* m = mean.data() + i * width;
        if (d.is_leaf()) {
            std::copy_n(values_.data() + t.value_begin + std::size_t(d.feature) * width, width, m);
            continue;
        }
        mask[i] = (std::uint64_t(1) << (d.feature & 63)) | mask[i + 1] | mask[d.right];
        const double* l = mean.data() + (i + 1) * width;
        const double* r = mean.data() + std::size_t(d.right) * width;
        for (std::size_t c = 0; c < width; ++c) m[c] = d.z_left * l[c] + d.z_right * r[c];
    }
    t.expected_begin = expected_.size();
    expected_.insert(expected_.end(), mean.begin(), mean.begin() + static_cast<std::ptrdiff_t>(width));

    // Depth and distinct features per path, in pre-order with a stack of the
    // current node's ancestors (those whose subtree contains it).
    std::vector<std::uint32_t> ancestors;
    std::vector<std::uint32_t> count(n_features_, 0);
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < n; ++i) {
        while (!ancestors.empty() && end[ancestors.back()] <= i) {
            if (--count[out[ancestors.back()].feature] == 0) --distinct;
            ancestors.pop_back();
        }
        if (out[i].is_leaf()) {
            t.depth = std::max(t.depth, ancestors.size());
            t.path_features = std::max(t.path_features, distinct);
        } else {
            if (count[out[i].feature]++ == 0) {
                ++distinct;
            }
            ancestors.push_back(static_cast<std::uint32_t>(i));
        }
    }
    for (std::size_t f = 0; f < n_features_; ++f) count[f] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!out[i].is_leaf()) count[out[i].feature] = 1;
    }
    for (std::size_t f = 0; f < n_features_; ++f) {
        if (count[f]) features_.push_back(static_cast<std::uint32_t>(f));
    }
    t.n_split_features = features_.size() - t.feature_begin;
    t.points = std::max<std::size_t>(1, (t.path_features + 1) / 2);
    if (quad_at_.size() <= t.points) quad_at_.resize(t.points + 1, SIZE_MAX);
    if (quad_at_[t.points] == SIZE_MAX) {
        quad_at_[t.points] = quad_.size();
        gauss_legendre(t.points, quad_);
    }
    t.quad_begin = quad_at_[t.points];
    max_depth_ = std::max(max_depth_, t.depth);
    max_points_ = std::max(max_points_, t.points);
    max_width_ = std::max(max_width_, width);
    trees_.push_back(t);
}

void EnsembleShap::check_scratch(bool interactions) const {
    // Per thread: (depth + 2) x points x (width + 1) doubles for the walks,
    // and one block's values.
    const double levels = static_cast<double>(max_depth_) + 2.0;
    double cells = levels * static_cast<double>(max_points_) * (static_cast<double>(max_width_) + 1.0);
    double row = static_cast<double>(n_outputs_) * static_cast<double>(n_features_);
    if (interactions) row *= static_cast<double>(n_features_);
    cells += row;
    // More than 2^28 doubles (2 GiB) per thread is refused.
    if (cells > 268435456.0) {
        throw ValueError("explaining this model needs " + std::to_string(cells * 8.0 / 1073741824.0) +
                         " GiB of working memory per thread (trees of depth " +
                         std::to_string(max_depth_) + " over " + std::to_string(n_features_) +
                         " features), more than can be allocated");
    }
}

void EnsembleShap::check_rows(const MatrixView& x, const char* name) const {
    if (x.cols != n_features_) {
        throw ValueError(std::string(name) + " has " + std::to_string(x.cols) +
                         " columns but the model was fitted on " + std::to_string(n_features_));
    }
}

template <class PerBlock>
std::vector<double> EnsembleShap::by_blocks(std::size_t rows, std::size_t row_width,
                                            PerBlock&& per_block) const {
    std::vector<double> out(rows * row_width, 0.0);
    const std::size_t blocks = (trees_.size() + kBlockTrees - 1) / kBlockTrees;
    if (rows == 0 || blocks == 0 || row_width == 0) return out;
    const std::size_t threads = threads_of_call();
    auto scratch = [&] { return Scratch(n_features_, max_depth_, max_points_, max_width_); };
    auto add = [](double* to, const double* from, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) to[i] += from[i];
    };
    // Few rows over many blocks: every (row, block) pair is an item with its
    // own sums, added in block order afterwards.
    if (threads > 1 && blocks > 1 && rows < 2 * threads &&
        rows * blocks * row_width <= (std::size_t(1) << 21)) {
        std::vector<double> parts(rows * blocks * row_width, 0.0);
        parallel::parallel_for(rows * blocks, [&](std::size_t item) {
            Scratch s = scratch();
            per_block(item / blocks, item % blocks, parts.data() + item * row_width, s);
        });
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t b = 0; b < blocks; ++b) {
                add(out.data() + r * row_width, parts.data() + (r * blocks + b) * row_width,
                    row_width);
            }
        }
        return out;
    }
    const std::size_t grain = std::max<std::size_t>(1, rows / (8 * threads));
    parallel::parallel_chunks(rows, grain, [&](std::size_t begin, std::size_t end) {
        Scratch s = scratch();
        s.block.resize(row_width);
        for (std::size_t r = begin; r < end; ++r) {
            for (std::size_t b = 0; b < blocks; ++b) {
                std::fill(s.block.begin(), s.block.end(), 0.0);
                per_block(r, b, s.block.data(), s);
                add(out.data() + r * row_width, s.block.data(), row_width);
            }
        }
    });
    return out;
}

namespace {
std::size_t block_end(std::size_t b, std::size_t trees) {
    return std::min(trees, (b + 1) * EnsembleShap::kBlockTrees);
}
}  // namespace

std::vector<double> EnsembleShap::explain(const MatrixView& x) const {
    check_rows(x, "x");
    check_scratch(false);
    const std::size_t width = n_outputs_ * n_features_;
    return by_blocks(x.rows, width, [&](std::size_t r, std::size_t b, double* phi, Scratch& s) {
        const double* row = x.row(r);
        for (std::size_t t = b * kBlockTrees; t < block_end(b, trees_.size()); ++t) {
            parallel::check_stop();
            path_tree(trees_[t], row, phi, s);
        }
    });
}

std::vector<double> EnsembleShap::explain_interactions(const MatrixView& x) const {
    check_rows(x, "x");
    check_scratch(true);
    const std::size_t p = n_features_;
    const std::size_t width = n_outputs_ * p * p;
    // Per block: the plain values on the diagonal, the conditioned terms
    // off it (conditioning on j never writes entry (j, j)).
    std::vector<double> out =
        by_blocks(x.rows, width, [&](std::size_t r, std::size_t b, double* inter, Scratch& s) {
            const double* row = x.row(r);
            std::vector<double>& phi = s.phi;
            phi.assign(n_outputs_ * p, 0.0);
            for (std::size_t t = b * kBlockTrees; t < block_end(b, trees_.size()); ++t) {
                parallel::check_stop();
                const TreeInfo& info = trees_[t];
                path_tree(info, row, phi.data(), s);
                for (std::size_t k = 0; k < info.n_split_features; ++k) {
                    path_tree_conditioned(info, row, features_[info.feature_begin + k], inter, s);
                }
            }
            for (std::size_t c = 0; c < n_outputs_; ++c) {
                for (std::size_t i = 0; i < p; ++i) inter[(c * p + i) * p + i] += phi[c * p + i];
            }
        });
    // Symmetric off-diagonal entries; the diagonal takes the rest of phi_i.
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < n_outputs_; ++c) {
            double* m = out.data() + (r * n_outputs_ + c) * p * p;
            for (std::size_t i = 0; i < p; ++i) {
                for (std::size_t j = i + 1; j < p; ++j) {
                    const double v = 0.5 * (m[i * p + j] + m[j * p + i]);
                    m[i * p + j] = v;
                    m[j * p + i] = v;
                }
            }
            for (std::size_t i = 0; i < p; ++i) {
                double rest = m[i * p + i];
                for (std::size_t j = 0; j < p; ++j) {
                    if (j != i) rest -= m[i * p + j];
                }
                m[i * p + i] = rest;
            }
        }
    }
    return out;
}

std::vector<double> EnsembleShap::explain_interventional(const MatrixView& x,
                                                         const MatrixView& background) const {
    check_rows(x, "x");
    check_rows(background, "x_background");
    if (background.rows == 0) throw ValueError("x_background has no rows");
    const std::size_t width = n_outputs_ * n_features_;
    const double weight = 1.0 / static_cast<double>(background.rows);
    return by_blocks(x.rows, width, [&](std::size_t r, std::size_t b, double* phi, Scratch& s) {
        const double* row = x.row(r);
        for (std::size_t t = b * kBlockTrees; t < block_end(b, trees_.size()); ++t) {
            for (std::size_t z = 0; z < background.rows; ++z) {
                if ((z & 63) == 0) parallel::check_stop();
                interventional_tree(trees_[t], row, background.row(z), weight, phi, s);
            }
        }
    });
}

std::vector<double> EnsembleShap::expected_value() const {
    std::vector<double> out = offset_;
    for (std::size_t t = 0; t < trees_.size(); ++t) {
        const TreeInfo& info = trees_[t];
        const double* e = expected_.data() + info.expected_begin;
        for (std::size_t c = 0; c < info.width; ++c) out[info.first_output + c] += e[c];
    }
    return out;
}

std::size_t EnsembleShap::leaf_of(const TreeInfo& t, const double* row) const {
    const Node* nodes = nodes_.data() + t.node_begin;
    std::size_t i = 0;
    while (!nodes[i].is_leaf()) {
        i = nodes[i].left_for(row, sets_.data()) ? i + 1 : nodes[i].right;
    }
    return t.value_begin + std::size_t(nodes[i].feature) * t.width;
}

std::vector<double> EnsembleShap::raw_output(const MatrixView& x) const {
    check_rows(x, "x");
    std::vector<double> out(x.rows * n_outputs_);
    parallel::parallel_chunks(x.rows, 64, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            double* o = out.data() + r * n_outputs_;
            std::copy(offset_.begin(), offset_.end(), o);
            for (const TreeInfo& t : trees_) {
                const double* v = values_.data() + leaf_of(t, x.row(r));
                for (std::size_t c = 0; c < t.width; ++c) o[t.first_output + c] += v[c];
            }
        }
    });
    return out;
}

std::vector<double> EnsembleShap::expected_value(const MatrixView& background) const {
    check_rows(background, "x_background");
    if (background.rows == 0) throw ValueError("x_background has no rows");
    // The mean of the raw outputs, rows in order.
    const std::vector<double> raw = raw_output(background);
    std::vector<double> out(n_outputs_, 0.0);
    for (std::size_t r = 0; r < background.rows; ++r) {
        for (std::size_t c = 0; c < n_outputs_; ++c) out[c] += raw[r * n_outputs_ + c];
    }
    for (double& v : out) v /= static_cast<double>(background.rows);
    return out;
}

}  // namespace tw
