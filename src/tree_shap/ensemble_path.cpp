// The path-dependent walk of one tree for one row (tree_shap/ensemble_shap.hpp
// explains the method): a depth-first loop over an explicit frame stack
// carrying the product polynomial at the Gauss-Legendre points, shared by
// the plain values and the interaction terms conditioned on one feature.
#include <algorithm>

#include "tree_shap/ensemble_scratch.hpp"
#include "tree_shap/ensemble_shap.hpp"

namespace tw {

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
    const double* tq = quad_.data() + t.quad_begin;
    const double* wq = tq + g_n;
    const double* values = values_.data() + t.value_begin;
    double* prod = s.product.data();
    double* sub = s.subtree.data();
    double* coef = s.coef.data();
    std::vector<Scratch::Frame>& fr = s.frames;
    std::vector<std::int32_t>& last = s.last;

    fr.clear();
    fr.push_back({0, 0, kNoFeature, -1, 1.0, 1.0});
    std::fill_n(prod, g_n, 1.0);
    std::fill_n(sub, gw, 0.0);
    for (;;) {
        const std::size_t level = fr.size() - 1;
        Scratch::Frame& f = fr.back();
        const Node& d = nodes[f.node];
        if (!d.is_leaf() && f.stage < 2) {
            const bool to_right = f.stage == 1;
            ++f.stage;
            const std::uint32_t child = to_right ? d.right : f.node + 1;
            const std::uint32_t fe = d.feature;
            // The row goes left when its value is <= the threshold (NaN right).
            const bool follows = (row[fe] <= d.threshold) != to_right;
            double z = to_right ? d.z_right : d.z_left;
            double o = follows ? 1.0 : 0.0;
            const std::int32_t prev = last[fe];
            double zp = 1.0, op = 1.0;
            if (prev >= 0) {
                zp = fr[std::size_t(prev)].z;
                op = fr[std::size_t(prev)].o;
                z *= zp;
                o *= op;
            }
            if (z == 0.0 && o == 0.0) continue;  // the subtree adds nothing
            if constexpr (kConditioned) {
                if (fe != condition && last[condition] < 0 && (mask[child] & cbit) == 0) continue;
            }
            const double* pp = prod + level * g_n;
            double* pc = prod + (level + 1) * g_n;
            if (kConditioned && fe == condition) {
                std::copy_n(pp, g_n, pc);
            } else if (prev >= 0) {
                for (std::size_t g = 0; g < g_n; ++g) {
                    const double u = 1.0 - tq[g];
                    pc[g] = pp[g] * (z * u + o * tq[g]) / (zp * u + op * tq[g]);
                }
            } else {
                for (std::size_t g = 0; g < g_n; ++g) {
                    pc[g] = pp[g] * (z * (1.0 - tq[g]) + o * tq[g]);
                }
            }
            std::fill_n(sub + (level + 1) * gw, gw, 0.0);
            last[fe] = static_cast<std::int32_t>(level + 1);
            fr.push_back({child, 0, fe, prev, z, o});  // capacity reserved: no move
            continue;
        }
        // The node is finished: its subtree sums are complete.
        double* hl = sub + level * gw;
        if (d.is_leaf()) {
            const double* v = values + std::size_t(d.feature) * w_n;
            const double* pl = prod + level * g_n;
            double scale = 1.0;
            bool live = true;
            if constexpr (kConditioned) {
                const std::int32_t at = last[condition];
                live = at >= 0;
                if (live) scale = fr[std::size_t(at)].o - fr[std::size_t(at)].z;
            }
            if (live) {
                for (std::size_t g = 0; g < g_n; ++g) {
                    const double q = kConditioned ? pl[g] * scale : pl[g];
                    for (std::size_t c = 0; c < w_n; ++c) hl[g * w_n + c] = v[c] * q;
                }
            }
        }
        if (level == 0) break;
        const std::uint32_t fe = f.feature;
        const std::int32_t prev = f.previous;
        if (!(kConditioned && fe == condition)) {
            const double z = f.z, o = f.o;
            if (prev >= 0) {
                const double zp = fr[std::size_t(prev)].z, op = fr[std::size_t(prev)].o;
                for (std::size_t g = 0; g < g_n; ++g) {
                    const double u = 1.0 - tq[g];
                    coef[g] = wq[g] * ((o - z) / (z * u + o * tq[g]) -
                                       (op - zp) / (zp * u + op * tq[g]));
                }
            } else {
                for (std::size_t g = 0; g < g_n; ++g) {
                    coef[g] = wq[g] * ((o - z) / (z * (1.0 - tq[g]) + o * tq[g]));
                }
            }
            for (std::size_t c = 0; c < w_n; ++c) {
                double sum = 0.0;
                for (std::size_t g = 0; g < g_n; ++g) sum += coef[g] * hl[g * w_n + c];
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
        fr.pop_back();
    }
}

template void EnsembleShap::path_walk<false>(const TreeInfo&, const double*, std::uint32_t,
                                             double*, Scratch&) const;
template void EnsembleShap::path_walk<true>(const TreeInfo&, const double*, std::uint32_t,
                                            double*, Scratch&) const;

}  // namespace tw
