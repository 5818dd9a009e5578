// The path-dependent walk of one tree for one row (tree_shap/ensemble_shap.hpp
// explains the method): a depth-first loop over an explicit frame stack
// carrying the product polynomial at the Gauss-Legendre points, shared by
// the plain values and the interaction terms conditioned on one feature.
#include <algorithm>

#include "tree_shap/ensemble_scratch.hpp"
#include "tree_shap/ensemble_shap.hpp"

namespace tw {

namespace {

// The terms c(t) of an edge at the rule's points into `coef`: (o - z) / a(t)
// of the edge (o = 1: (1 - z) / a(t) with 1 / a(t) in `own_inv`; o = 0:
// -1 / (1 - t)), less those of the feature's previous split on the path
// (level `prev`, -1 for none), each times the rule's weight. False when
// they vanish: two splits the row does not follow have equal terms.
inline bool edge_terms(bool own_hot, double z, const double* own_inv, std::int32_t prev,
                       const EnsembleShapFrame* fr, const double* inv, const double* wq,
                       const double* cold, std::size_t g_n, double* coef) {
    const bool prev_hot = prev >= 0 && fr[prev].o != 0.0;
    if (!own_hot && prev >= 0 && !prev_hot) return false;
    if (own_hot) {
        const double k = 1.0 - z;
        for (std::size_t g = 0; g < g_n; ++g) coef[g] = wq[g] * k * own_inv[g];
    } else {
        std::copy_n(cold, g_n, coef);
    }
    if (prev_hot) {
        const double* ip = inv + std::size_t(prev) * g_n;
        const double k = 1.0 - fr[prev].z;
        for (std::size_t g = 0; g < g_n; ++g) coef[g] -= wq[g] * k * ip[g];
    } else if (prev >= 0) {
        for (std::size_t g = 0; g < g_n; ++g) coef[g] -= cold[g];
    }
    return true;
}

}  // namespace

void EnsembleShap::path_tree(const TreeInfo& t, const double* row, double* phi,
                             Scratch& s) const {
    path_walk<false>(t, row, kNoFeature, phi, s);
}

void EnsembleShap::path_tree_conditioned(const TreeInfo& t, const double* row,
                                         std::uint32_t condition, double* inter,
                                         Scratch& s) const {
    path_walk<true>(t, row, condition, inter, s);
}

// kConditioned: the conditioning feature's splits contribute the constant
// o - z instead of their factor a(t); leaves without it on their path
// contribute nothing; the edges of every other feature i add half their
// term to inter[output][i][condition].
template <bool kConditioned>
void EnsembleShap::path_walk(const TreeInfo& t, const double* row, std::uint32_t condition,
                             double* out, Scratch& s) const {
    const Node* nodes = nodes_.data() + t.node_begin;
    if (nodes[0].is_leaf()) return;  // a constant tree: every value is 0
    const std::uint64_t* mask = masks_.data() + t.node_begin;
    const std::uint64_t cbit = std::uint64_t(1) << (condition & 63);
    if constexpr (kConditioned) {
        if ((mask[0] & cbit) == 0) return;
    }
    const std::size_t g_n = t.points;
    const std::size_t w_n = t.width;
    const std::size_t gw = g_n * w_n;
    const std::size_t p = n_features_;
    // The rule: points t, 1 - t, weights w, and -w / (1 - t).
    const double* tq = quad_.data() + t.quad_begin;
    const double* uq = tq + g_n;
    const double* wq = uq + g_n;
    const double* cold = wq + g_n;
    const double* values = values_.data() + t.value_begin;
    // Per level: the product P at the points, 1 / a(t) of the edge into the
    // level when the row follows it (o = 1), and the subtree sums of v P
    // (output-major: w_n runs of g_n).
    double* prod = s.product.data();
    double* inv = s.inverse.data();
    double* sub = s.subtree.data();
    double* coef = s.coef.data();
    Scratch::Frame* fr = s.frames.data();
    std::int32_t* last = s.last.data();

    std::size_t level = 0;
    fr[0] = {0, 0, kNoFeature, -1, 1.0, 1.0};
    std::fill_n(prod, g_n, 1.0);
    std::fill_n(sub, gw, 0.0);
    for (;;) {
        Scratch::Frame& f = fr[level];
        const Node& d = nodes[f.node];
        if (f.stage < 2) {  // frames are split nodes only
            const bool to_right = f.stage == 1;
            ++f.stage;
            const std::uint32_t child = to_right ? d.right : f.node + 1;
            const std::uint32_t fe = d.feature;
            // The row goes left when its value is <= the threshold (a missing
            // value: the node's missing side).
            const bool follows = d.left_for(row, sets_.data()) != to_right;
            const double zl = to_right ? d.z_right : d.z_left;
            const std::int32_t prev = last[fe];
            double z = zl, o = follows ? 1.0 : 0.0;
            if (prev >= 0) {
                z *= fr[prev].z;
                o *= fr[prev].o;
            }
            if (z == 0.0 && o == 0.0) continue;  // the subtree adds nothing
            if constexpr (kConditioned) {
                if (fe != condition && last[condition] < 0 && (mask[child] & cbit) == 0) continue;
            }
            const double* pp = prod + level * g_n;
            double* pc = prod + (level + 1) * g_n;
            if (kConditioned && fe == condition) {
                std::copy_n(pp, g_n, pc);
            } else if (prev < 0) {
                for (std::size_t g = 0; g < g_n; ++g) pc[g] = pp[g] * (z * uq[g] + o * tq[g]);
            } else if (fr[prev].o == 0.0) {
                // a / a_prev = z (1 - t) / (z_prev (1 - t)) = the local fraction.
                for (std::size_t g = 0; g < g_n; ++g) pc[g] = pp[g] * zl;
            } else {
                const double* ip = inv + std::size_t(prev) * g_n;
                for (std::size_t g = 0; g < g_n; ++g) {
                    pc[g] = pp[g] * (z * uq[g] + o * tq[g]) * ip[g];
                }
            }
            if (o != 0.0 && !(kConditioned && fe == condition)) {
                double* ic = inv + (level + 1) * g_n;
                for (std::size_t g = 0; g < g_n; ++g) ic[g] = 1.0 / (z * uq[g] + tq[g]);
            }
            if (nodes[child].is_leaf()) {
                // A leaf child is finished at once: its sums v P go straight
                // to this node, its edge's term straight to the values.
                const double* v = values + std::size_t(nodes[child].feature) * w_n;
                double scale = 1.0;
                if constexpr (kConditioned) {
                    const std::int32_t at = fe == condition ? std::int32_t(level + 1) : last[condition];
                    if (at < 0) continue;
                    scale = at == std::int32_t(level + 1) ? o - z : fr[at].o - fr[at].z;
                }
                double* hp = sub + level * gw;
                if (!(kConditioned && fe == condition) &&
                    edge_terms(o != 0.0, z, inv + (level + 1) * g_n, prev, fr, inv, wq, cold, g_n,
                               coef)) {
                    double dot = 0.0;
                    for (std::size_t g = 0; g < g_n; ++g) dot += coef[g] * pc[g];
                    for (std::size_t c = 0; c < w_n; ++c) {
                        const std::size_t output = t.first_output + c;
                        const double term = v[c] * (dot * scale);
                        if constexpr (kConditioned) {
                            out[(output * p + fe) * p + condition] += 0.5 * term;
                        } else {
                            out[output * p + fe] += term;
                        }
                    }
                }
                for (std::size_t c = 0; c < w_n; ++c) {
                    const double vc = kConditioned ? v[c] * scale : v[c];
                    for (std::size_t g = 0; g < g_n; ++g) hp[c * g_n + g] += vc * pc[g];
                }
                continue;
            }
            std::fill_n(sub + (level + 1) * gw, gw, 0.0);
            last[fe] = static_cast<std::int32_t>(level + 1);
            fr[++level] = {child, 0, fe, prev, z, o};
            continue;
        }
        // Both children are done: the node's subtree sums are complete.
        double* hl = sub + level * gw;
        if (level == 0) break;
        const std::uint32_t fe = f.feature;
        const std::int32_t prev = f.previous;
        // The edge's term: c(t) = (o - z) / a(t), less that of the feature's
        // previous split on the path; two splits the row does not follow
        // have equal terms -1 / (1 - t), which cancel.
        if (!(kConditioned && fe == condition) &&
            edge_terms(f.o != 0.0, f.z, inv + level * g_n, prev, fr, inv, wq, cold, g_n, coef)) {
            for (std::size_t c = 0; c < w_n; ++c) {
                const double* h = hl + c * g_n;
                double sum = 0.0;
                for (std::size_t g = 0; g < g_n; ++g) sum += coef[g] * h[g];
                const std::size_t output = t.first_output + c;
                if constexpr (kConditioned) {
                    out[(output * p + fe) * p + condition] += 0.5 * sum;
                } else {
                    out[output * p + fe] += sum;
                }
            }
        }
        double* hp = hl - gw;
        for (std::size_t k = 0; k < gw; ++k) hp[k] += hl[k];
        last[fe] = prev;
        --level;
    }
}

template void EnsembleShap::path_walk<false>(const TreeInfo&, const double*, std::uint32_t,
                                             double*, Scratch&) const;
template void EnsembleShap::path_walk<true>(const TreeInfo&, const double*, std::uint32_t,
                                            double*, Scratch&) const;

}  // namespace tw
