// The tiny-node kernels: every slot of a node of at most kTinySlots is a
// candidate last code of the left side, and each candidate's left sums are
// masked sums over the slots whose code is not above it, four candidates a
// vector (split/kernels.hpp describes both forms).
#pragma GCC diagnostic ignored "-Wpsabi"
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "core/clones.hpp"
#include "split/kernels.hpp"
#include "split/lanes.hpp"

namespace tw::split {

namespace {

typedef std::int64_t v4l __attribute__((vector_size(32)));

// The masked sums of a feature's candidates: lane j of sums[s][v] adds,
// in slot order, values[s][i] of every slot i (of n) whose code[i] is not
// above c[v]'s lane j. The sums start at +0.
template <std::size_t kParts, std::size_t kSums>
__attribute__((always_inline)) inline void masked_sums(const double* code, std::size_t n,
                                                       const v4d* c,
                                                       const std::array<const double*, kSums>& values,
                                                       v4d (&sums)[kSums][kParts]) {
    for (std::size_t t = 0; t < kSums; ++t) {
        for (std::size_t v = 0; v < kParts; ++v) sums[t][v] = splat(0.0);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const v4d ci = splat(code[i]);
        v4l vi[kSums];
        for (std::size_t t = 0; t < kSums; ++t) vi[t] = reinterpret_cast<v4l>(splat(values[t][i]));
        for (std::size_t v = 0; v < kParts; ++v) {
            const v4l in = ci <= c[v];
            for (std::size_t t = 0; t < kSums; ++t) sums[t][v] += reinterpret_cast<v4d>(vi[t] & in);
        }
    }
}

// Offers feature k's candidates, lane by lane: gain[v] of the candidate
// whose left side holds wl[v] entries and the right rest[v], its last code
// c[v]. Among the admissible ones (at least `least` entries a side), the
// largest gain is taken when it exceeds found.gain, with the lowest code
// among its lanes.
template <std::size_t kParts>
__attribute__((always_inline)) inline void offer_lanes(const v4d* gain, const v4d* wl,
                                                       const v4d* rest, const v4d* c, v4d least,
                                                       std::size_t k, TinyBest& found) {
    const v4d none = splat(-std::numeric_limits<double>::infinity());
    const v4d inf = splat(std::numeric_limits<double>::infinity());
    v4d g[kParts];
    v4d top = none;
    for (std::size_t v = 0; v < kParts; ++v) {
        const v4l ok = (wl[v] >= least) & (rest[v] >= least);
        g[v] = reinterpret_cast<v4d>((reinterpret_cast<v4l>(gain[v]) & ok) |
                                     (reinterpret_cast<v4l>(none) & ~ok));
        top = top > g[v] ? top : g[v];
    }
    const double best = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
    if (!(best > found.gain)) return;
    v4d low = inf;
    for (std::size_t v = 0; v < kParts; ++v) {
        const v4l at = g[v] == splat(best);
        const v4d cv = reinterpret_cast<v4d>((reinterpret_cast<v4l>(c[v]) & at) |
                                             (reinterpret_cast<v4l>(inf) & ~at));
        low = low < cv ? low : cv;
    }
    found.gain = best;
    found.feature = k;
    found.code = static_cast<std::size_t>(std::min(std::min(low[0], low[1]), std::min(low[2], low[3])));
}


// tiny_sums_best over kParts vectors of four candidates: candidate j is
// lane j, its left sums those of every slot i with code[i] <= code[j].
template <std::size_t kParts>
__attribute__((always_inline)) inline TinyBest tiny_best_of(const ParentTotals& parent,
                                                            const double* code,
                                                            std::size_t features, const double* w,
                                                            const double* wy, std::size_t n,
                                                            double min_leaf, double than) {
    const double mean = parent.wy / parent.weight;
    const v4d W = splat(parent.weight);
    const v4d S1 = splat(parent.wy);
    const v4d M2 = splat(mean * mean);
    const v4d least = splat(min_leaf);
    TinyBest found{than, features, 0};
    for (std::size_t k = 0; k < features; ++k, code += kTinySlots) {
        v4d c[kParts];
        for (std::size_t v = 0; v < kParts; ++v) c[v] = load<v4d>(code + 4 * v);
        v4d sums[2][kParts];  // weight, w*y
        masked_sums<kParts, 2>(code, n, c, {w, wy}, sums);
        v4d g[kParts], rest[kParts];
        for (std::size_t v = 0; v < kParts; ++v) {
            g[v] = sums_gains(W, S1, M2, sums[0][v], sums[1][v]);
            rest[v] = W - sums[0][v];
        }
        offer_lanes<kParts>(g, sums[0], rest, c, least, k, found);
    }
    return found;
}

}  // namespace

TW_VECTOR_CLONES
TinyBest tiny_sums_best(const ParentTotals& parent, const double* code, std::size_t features,
                        const double* w, const double* wy, std::size_t n, double min_leaf,
                        double than) {
    if (n <= 4) return tiny_best_of<1>(parent, code, features, w, wy, n, min_leaf, than);
    if (n <= 8) return tiny_best_of<2>(parent, code, features, w, wy, n, min_leaf, than);
    if (n <= 12) return tiny_best_of<3>(parent, code, features, w, wy, n, min_leaf, than);
    return tiny_best_of<4>(parent, code, features, w, wy, std::min(n, kTinySlots), min_leaf, than);
}

namespace {

// tiny_gini_best over kParts vectors of four slots, lane j being slot j as
// a candidate and as a term of the left sums.
template <std::size_t kParts>
__attribute__((always_inline)) inline TinyBest tiny_gini_best_of(
    const ParentTotals& parent, double total_squares, const double* code, std::size_t features,
    const double* m, const double* cls, const double* tm, std::size_t n, double min_leaf,
    double than) {
    const v4d W = splat(parent.weight);
    const v4d T = splat(total_squares);
    const v4d base = splat(total_squares / parent.weight);
    const v4d inv = splat(1.0 / parent.weight);
    const v4d least = splat(min_leaf);
    const v4d slots = splat(static_cast<double>(kTinySlots));
    v4d mv[kParts], cv[kParts], pos[kParts];
    for (std::size_t v = 0; v < kParts; ++v) {
        mv[v] = load<v4d>(m + 4 * v);
        cv[v] = load<v4d>(cls + 4 * v);
        const double p = static_cast<double>(4 * v);
        pos[v] = v4d{p, p + 1.0, p + 2.0, p + 3.0};
    }
    TinyBest found{than, features, 0};
    alignas(32) double inc[4 * kParts];
    for (std::size_t k = 0; k < features; ++k, code += kTinySlots) {
        // A slot's order key: its code, then its position (exact: codes are
        // below 2^16). Past the last slot, +inf.
        v4d c[kParts], key[kParts], before[kParts];
        for (std::size_t v = 0; v < kParts; ++v) {
            c[v] = load<v4d>(code + 4 * v);
            key[v] = c[v] * slots + pos[v];
            before[v] = splat(0.0);
        }
        // Entries of the slot's class ahead of it in that order.
        for (std::size_t i = 0; i < n; ++i) {
            const v4d ki = splat(code[i] * static_cast<double>(kTinySlots) + static_cast<double>(i));
            const v4d ci = splat(cls[i]);
            const v4l mi = reinterpret_cast<v4l>(splat(m[i]));
            for (std::size_t v = 0; v < kParts; ++v) {
                const v4l in = (ki < key[v]) & (ci == cv[v]);
                before[v] += reinterpret_cast<v4d>(mi & in);
            }
        }
        for (std::size_t v = 0; v < kParts; ++v) {
            store(inc + 4 * v, mv[v] * (before[v] + before[v] + mv[v]));
        }
        v4d sums[3][kParts];  // entries, squares, cross
        masked_sums<kParts, 3>(code, n, c, {m, inc, tm}, sums);
        const v4d* wl = sums[0];
        v4d g[kParts], rest[kParts];
        for (std::size_t v = 0; v < kParts; ++v) {
            // gini_count_gains, lane by lane.
            const v4d sq = sums[1][v];
            const v4d r = T - (sums[2][v] + sums[2][v]) + sq;
            rest[v] = W - wl[v];
            g[v] = ((sq * rest[v] + r * wl[v]) / (wl[v] * rest[v]) - base) * inv;
        }
        offer_lanes<kParts>(g, wl, rest, c, least, k, found);
    }
    return found;
}

}  // namespace

TW_VECTOR_CLONES
TinyBest tiny_gini_best(const ParentTotals& parent, double total_squares, const double* code,
                        std::size_t features, const double* m, const double* cls,
                        const double* tm, std::size_t n, double min_leaf, double than) {
    if (n <= 4) return tiny_gini_best_of<1>(parent, total_squares, code, features, m, cls, tm, n, min_leaf, than);
    if (n <= 8) return tiny_gini_best_of<2>(parent, total_squares, code, features, m, cls, tm, n, min_leaf, than);
    if (n <= 12) return tiny_gini_best_of<3>(parent, total_squares, code, features, m, cls, tm, n, min_leaf, than);
    return tiny_gini_best_of<4>(parent, total_squares, code, features, m, cls, tm, std::min(n, kTinySlots), min_leaf, than);
}

}  // namespace tw::split
