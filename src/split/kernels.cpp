// Vector kernels of the histogram split search.
//
// The helpers returning 32-byte vectors (load, two_class_gain) are inlined
// into each kernel, so no such vector crosses a call and the compiler's note
// about their calling convention without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "split/kernels.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "core/clones.hpp"
#include "split/lanes.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tw::split {

#if defined(__x86_64__) && !defined(TW_NO_VECTOR_CLONES)
namespace {

__attribute__((target("avx512vbmi2,avx512vl,avx512bw"))) std::size_t byte_bit_list_vbmi2(
    std::uint64_t* mask, std::size_t words, std::uint8_t* out) {
    const __m256i first = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                           16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                           29, 30, 31);
    std::size_t count = 0;
    for (std::size_t word = 0; word < words; ++word) {
        const std::uint64_t bits = mask[word];
        mask[word] = 0;
        const __m256i low = _mm256_add_epi8(first, _mm256_set1_epi8(static_cast<char>(64 * word)));
        const __m256i high = _mm256_add_epi8(low, _mm256_set1_epi8(32));
        const auto low_bits = static_cast<std::uint32_t>(bits);
        const auto high_bits = static_cast<std::uint32_t>(bits >> 32);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count),
                            _mm256_maskz_compress_epi8(low_bits, low));
        count += static_cast<std::size_t>(__builtin_popcount(low_bits));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count),
                            _mm256_maskz_compress_epi8(high_bits, high));
        count += static_cast<std::size_t>(__builtin_popcount(high_bits));
    }
    return count;
}

BitList pick_byte_bit_list() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512vl")
               ? &byte_bit_list_vbmi2
               : nullptr;
}

}  // namespace

const BitList byte_bit_list = pick_byte_bit_list();
#else
const BitList byte_bit_list = nullptr;
#endif

// The gain kernels are compiled for AVX2 and for the baseline (core/clones.hpp).

namespace {

// Two-class Gini gain of candidates with left weight a and left class sums
// l0, l1 (node class totals t0, t1): gini_gain with k = 2, lane by lane.
// Inlined into each kernel version.
__attribute__((always_inline)) inline v4d two_class_gain(v4d impurity, v4d weight, v4d t0,
                                                         v4d t1, v4d a, v4d l0, v4d l1) {
    const v4d one = {1.0, 1.0, 1.0, 1.0};
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    const v4d wr = weight - a;
    const v4d a0 = l0 / a;
    const v4d a1 = l1 / a;
    const v4d sl = (zero + a0 * a0) + a1 * a1;
    const v4d b0 = (t0 - l0) / wr;
    const v4d b1 = (t1 - l1) / wr;
    const v4d sr = (zero + b0 * b0) + b1 * b1;
    return impurity - (a * (one - sl) + wr * (one - sr)) / weight;
}


// One class term of an entropy mass, lane by lane as entropy_mass() takes
// it: m - xlog2x(t) where t is above zero, else m itself (m - 0.0 is m bit
// for bit).
__attribute__((always_inline)) inline v4d mass_term(v4d m, v4d t) {
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    const v4d x = t * log2_positive(t);
    return m - (t > zero ? x : zero);
}

__attribute__((always_inline)) inline v4d xlog2x(v4d v) { return v * log2_positive(v); }

// entropy_gain with k = 2, lane by lane (as two_class_gain for Gini).
__attribute__((always_inline)) inline v4d two_class_entropy_gain(v4d impurity, v4d weight,
                                                                 v4d t0, v4d t1, v4d a, v4d l0,
                                                                 v4d l1) {
    const v4d wr = weight - a;
    const v4d ml = mass_term(mass_term(xlog2x(a), l0), l1);
    const v4d mr = mass_term(mass_term(xlog2x(wr), t0 - l0), t1 - l1);
    return impurity - (ml + mr) / weight;
}

// xlog2x of the whole numbers 0..kXLogTable-1 (0 at 0), xlog2x's own
// values: the entropy masses of count-mode nodes of fewer rows read their
// terms here instead of taking logarithms, with the same results.
constexpr std::size_t kXLogTable = 8192;

const double* xlog2x_table() {
    static const std::vector<double> table = [] {
        std::vector<double> t(kXLogTable, 0.0);
        for (std::size_t c = 1; c < kXLogTable; ++c) t[c] = split::xlog2x(static_cast<double>(c));
        return t;
    }();
    return table.data();
}

// entropy_gain of whole-number totals below kXLogTable, candidate by
// candidate from the table (a zero total takes xlog2x = 0, which leaves a
// mass as entropy_mass leaves it).
void table_entropy_class_gains(const ParentTotals& parent, const double* tot, std::size_t kn,
                               const double* wl, const double* left, double* gain,
                               std::size_t count) {
    const double* x = xlog2x_table();
    const auto at = [](double v) { return static_cast<std::size_t>(v); };
    for (std::size_t j = 0; j < count; ++j) {
        const double* lc = left + j * kn;
        double ml = x[at(wl[j])];
        for (std::size_t i = 0; i < kn; ++i) ml -= x[at(lc[i])];
        double mr = x[at(parent.weight - wl[j])];
        for (std::size_t i = 0; i < kn; ++i) mr -= x[at(tot[i] - lc[i])];
        gain[j] = parent.impurity - (ml + mr) / parent.weight;
    }
}

// entropy_gain lane by lane over kn classes: the left mass's terms in
// class order, then the right one's.
__attribute__((always_inline)) inline void entropy_class_gains(const ParentTotals& parent,
                                                               const double* tot, std::size_t kn,
                                                               const double* wl,
                                                               const double* left, double* gain,
                                                               std::size_t count) {
    const v4d W = splat(parent.weight);
    const v4d G = splat(parent.impurity);
    for (std::size_t j = 0; j < count; j += 4) {
        const v4d a = load<v4d>(wl + j);
        const v4d wr = W - a;
        v4d ml = xlog2x(a);
        for (std::size_t i = 0; i < kn; ++i) {
            const v4d lc = {left[j * kn + i], left[(j + 1) * kn + i], left[(j + 2) * kn + i],
                            left[(j + 3) * kn + i]};
            ml = mass_term(ml, lc);
        }
        v4d mr = xlog2x(wr);
        for (std::size_t i = 0; i < kn; ++i) {
            const v4d lc = {left[j * kn + i], left[(j + 1) * kn + i], left[(j + 2) * kn + i],
                            left[(j + 3) * kn + i]};
            mr = mass_term(mr, splat(tot[i]) - lc);
        }
        store(gain + j, G - (ml + mr) / W);
    }
}

}  // namespace

// variance_gain lane by lane.
TW_VECTOR_CLONES
void regression_gains(const ParentTotals& parent, const double* wl, const double* l1,
                      const double* l2, double* gain, std::size_t count) {
    const v4d W = splat(parent.weight);
    const v4d S1 = splat(parent.wy);
    const v4d S2 = splat(parent.ywy);
    const v4d G = splat(parent.impurity);
    for (std::size_t j = 0; j < count; j += 4) {
        const v4d a = load<v4d>(wl + j);
        const v4d b = load<v4d>(l1 + j);
        const v4d c = load<v4d>(l2 + j);
        const v4d wr = W - a;
        const v4d ml = b / a;
        const v4d vl = c / a - ml * ml;
        const v4d mr = (S1 - b) / wr;
        const v4d vr = (S2 - c) / wr - mr * mr;
        store(gain + j, G - (a * vl + wr * vr) / W);
    }
}

TW_VECTOR_CLONES
void regression_gains_of_sums(const ParentTotals& parent, const double* wl, const double* l1,
                              double* gain, std::size_t count) {
    const double mean = parent.wy / parent.weight;
    const v4d W = splat(parent.weight);
    const v4d S1 = splat(parent.wy);
    const v4d M2 = splat(mean * mean);
    for (std::size_t j = 0; j < count; j += 4) {
        store(gain + j, sums_gains(W, S1, M2, load<v4d>(wl + j), load<v4d>(l1 + j)));
    }
}

TW_VECTOR_CLONES
std::array<double, 2> gini_bin_terms(double* c, double* running, const double* total,
                                     std::size_t n) {
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    v4d sq = zero, cr = zero;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v4d ci = load<v4d>(c + i);
        const v4d r = load<v4d>(running + i);
        sq += ci * (r + r + ci);
        cr += load<v4d>(total + i) * ci;
        store(running + i, r + ci);
        store(c + i, zero);
    }
    v2d sq2 = {sq[0] + sq[2], sq[1] + sq[3]};
    v2d cr2 = {cr[0] + cr[2], cr[1] + cr[3]};
    if (i < n) {
        const v2d ci = load<v2d>(c + i);
        const v2d r = load<v2d>(running + i);
        sq2 += ci * (r + r + ci);
        cr2 += load<v2d>(total + i) * ci;
        store(running + i, r + ci);
        store(c + i, v2d{0.0, 0.0});
    }
    return {sq2[0] + sq2[1], cr2[0] + cr2[1]};
}

namespace {

// gini_count_walk for P pairs of classes: P / 2 whole vectors of four and a
// pair after them, summed in gini_bin_terms' order.
template <std::size_t P>
__attribute__((always_inline)) inline std::size_t gini_count_walk_of(const GiniCountWalk& g) {
    constexpr std::size_t kV = P / 2;
    constexpr bool kTail = P % 2 != 0;
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    v4d run[kV > 0 ? kV : 1], tot[kV > 0 ? kV : 1];
    for (std::size_t v = 0; v < kV; ++v) {
        run[v] = zero;
        tot[v] = load<v4d>(g.total + 4 * v);
    }
    v2d run2 = {0.0, 0.0};
    const v2d tot2 = kTail ? load<v2d>(g.total + 4 * kV) : v2d{0.0, 0.0};
    std::uint64_t nl = 0;
    double wl = 0.0, squares = 0.0, cross = 0.0;
    std::size_t nc = 0;
    for (std::size_t j = 0; j < g.count; ++j) {
        const std::uint32_t b = g.occupied[j];
        double* h = g.base + static_cast<std::size_t>(b) * g.stride;
        nl += count_of(h[0]);
        wl += h[0];
        v4d sq = zero, cr = zero;
        for (std::size_t v = 0; v < kV; ++v) {
            const v4d c = load<v4d>(h + 2 + 4 * v);
            sq += c * (run[v] + run[v] + c);
            cr += tot[v] * c;
            run[v] += c;
            store(h + 2 + 4 * v, zero);
        }
        v2d sq2 = {sq[0] + sq[2], sq[1] + sq[3]};
        v2d cr2 = {cr[0] + cr[2], cr[1] + cr[3]};
        if constexpr (kTail) {
            const v2d c = load<v2d>(h + 2 + 4 * kV);
            sq2 += c * (run2 + run2 + c);
            cr2 += tot2 * c;
            run2 += c;
            store(h + 2 + 4 * kV, v2d{0.0, 0.0});
        }
        squares += sq2[0] + sq2[1];
        cross += cr2[0] + cr2[1];
        store(h, v2d{0.0, 0.0});
        g.squares[nc] = squares;
        g.cross[nc] = cross;
        g.bin[nc] = static_cast<std::uint16_t>(b);
        g.wl[nc] = wl;
        nc += admissible(nl, g.n, wl, g.weight, g.min_leaf) ? 1 : 0;
    }
    return nc;
}

}  // namespace

TW_VECTOR_CLONES
std::size_t gini_count_walk(const GiniCountWalk& g) {
    switch (g.pairs) {
        case 1: return gini_count_walk_of<1>(g);
        case 2: return gini_count_walk_of<2>(g);
        case 3: return gini_count_walk_of<3>(g);
        case 4: return gini_count_walk_of<4>(g);
        case 5: return gini_count_walk_of<5>(g);
        case 6: return gini_count_walk_of<6>(g);
        case 7: return gini_count_walk_of<7>(g);
        case 8: return gini_count_walk_of<8>(g);
        case 9: return gini_count_walk_of<9>(g);
        case 10: return gini_count_walk_of<10>(g);
        case 11: return gini_count_walk_of<11>(g);
        case 12: return gini_count_walk_of<12>(g);
        case 13: return gini_count_walk_of<13>(g);
        case 14: return gini_count_walk_of<14>(g);
        case 15: return gini_count_walk_of<15>(g);
        default: return gini_count_walk_of<16>(g);
    }
}

TW_VECTOR_CLONES
void gini_count_gains(const ParentTotals& parent, double total_squares, const double* wl,
                      const double* sl, const double* cross, double* gain, std::size_t count) {
    const v4d W = splat(parent.weight);
    const v4d T = splat(total_squares);
    const v4d base = splat(total_squares / parent.weight);
    const v4d inv = splat(1.0 / parent.weight);
    for (std::size_t j = 0; j < count; j += 4) {
        const v4d a = load<v4d>(wl + j);
        const v4d l = load<v4d>(sl + j);
        const v4d c = load<v4d>(cross + j);
        const v4d r = T - (c + c) + l;
        // Both sides over one quotient: the kernel's time is its divisions.
        const v4d rest = W - a;
        store(gain + j, ((l * rest + r * a) / (a * rest) - base) * inv);
    }
}

// gini_gain lane by lane: the left shares' squares summed in class order,
// then the right ones'.
TW_VECTOR_CLONES
void class_gains(const ParentTotals& parent, const double* tot, std::size_t kn, const double* wl,
                 const double* left, double* gain, std::size_t count) {
    if (parent.criterion == Criterion::kEntropy) {
        if (parent.counts && parent.weight < static_cast<double>(kXLogTable)) {
            table_entropy_class_gains(parent, tot, kn, wl, left, gain, count);
        } else {
            entropy_class_gains(parent, tot, kn, wl, left, gain, count);
        }
        return;
    }
    const v4d W = splat(parent.weight);
    const v4d G = splat(parent.impurity);
    const v4d one = {1.0, 1.0, 1.0, 1.0};
    if (kn == 2) {
        // Two classes: the candidates' (class 0, class 1) pairs are split
        // into one vector per class; the arithmetic is the general one.
        typedef long long v4i __attribute__((vector_size(32)));
        const v4i even = {0, 2, 4, 6};
        const v4i odd = {1, 3, 5, 7};
        const v4d t0 = splat(tot[0]);
        const v4d t1 = splat(tot[1]);
        for (std::size_t j = 0; j < count; j += 4) {
            const v4d a = load<v4d>(wl + j);
            const v4d p = load<v4d>(left + 2 * j);
            const v4d q = load<v4d>(left + 2 * j + 4);
            const v4d l0 = __builtin_shuffle(p, q, even);
            const v4d l1 = __builtin_shuffle(p, q, odd);
            store(gain + j, two_class_gain(G, W, t0, t1, a, l0, l1));
        }
        return;
    }
    for (std::size_t j = 0; j < count; j += 4) {
        const v4d a = load<v4d>(wl + j);
        const v4d wr = W - a;
        v4d sl = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t i = 0; i < kn; ++i) {
            const v4d lc = {left[j * kn + i], left[(j + 1) * kn + i], left[(j + 2) * kn + i],
                            left[(j + 3) * kn + i]};
            const v4d t = lc / a;
            sl += t * t;
        }
        v4d sr = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t i = 0; i < kn; ++i) {
            const v4d lc = {left[j * kn + i], left[(j + 1) * kn + i], left[(j + 2) * kn + i],
                            left[(j + 3) * kn + i]};
            const v4d tc = splat(tot[i]);
            const v4d t = (tc - lc) / wr;
            sr += t * t;
        }
        const v4d gl = one - sl;
        const v4d gr = one - sr;
        store(gain + j, G - (a * gl + wr * gr) / W);
    }
}

namespace {

// count_gains by the Gini or the entropy gain.
template <bool kEntropy>
__attribute__((always_inline)) inline double count_gains_as(const ParentTotals& parent,
                                                            double tot0, double tot1,
                                                            const std::uint64_t* packed,
                                                            double* gain, std::size_t count) {
    typedef int v4si __attribute__((vector_size(16)));
    typedef int v8si __attribute__((vector_size(32)));
    const v4d W = splat(parent.weight);
    const v4d G = splat(parent.impurity);
    const v4d t0 = splat(tot0);
    const v4d t1 = splat(tot1);
    const double lowest = -std::numeric_limits<double>::infinity();
    v4d top = {lowest, lowest, lowest, lowest};
    for (std::size_t j = 0; j < count; j += 4) {
        v8si pk;
        std::memcpy(&pk, packed + j, sizeof pk);
        const v4si ni = __builtin_shufflevector(pk, pk, 0, 2, 4, 6);
        const v4si oi = __builtin_shufflevector(pk, pk, 1, 3, 5, 7);
        const v4d a = __builtin_convertvector(ni, v4d);
        const v4d l1 = __builtin_convertvector(oi, v4d);
        v4d g;
        if constexpr (kEntropy) {
            g = two_class_entropy_gain(G, W, t0, t1, a, a - l1, l1);
        } else {
            g = two_class_gain(G, W, t0, t1, a, a - l1, l1);
        }
        store(gain + j, g);
        top = g > top ? g : top;
    }
    return std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
}

}  // namespace

namespace {

// count_gains by the entropy gain for a node of fewer than kXLogTable rows:
// every count is a table index, and a zero count takes xlog2x = 0, which
// leaves a mass as entropy_mass leaves it.
double table_entropy_count_gains(const ParentTotals& parent, double tot0, double tot1,
                                 const std::uint64_t* packed, double* gain, std::size_t count) {
    const double* x = xlog2x_table();
    const std::uint64_t t0 = static_cast<std::uint64_t>(tot0);
    const std::uint64_t t1 = static_cast<std::uint64_t>(tot1);
    const std::uint64_t w = t0 + t1;
    double top = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint64_t a = packed[j] & 0xFFFFFFFFu;
        const std::uint64_t l1 = packed[j] >> 32;
        const std::uint64_t l0 = a - l1;
        const double ml = (x[a] - x[l0]) - x[l1];
        const double mr = (x[w - a] - x[t0 - l0]) - x[t1 - l1];
        const double g = parent.impurity - (ml + mr) / parent.weight;
        gain[j] = g;
        top = g > top ? g : top;
    }
    return top;
}

}  // namespace

// Each candidate's packed value holds its left rows in the low half and
// their class-1 rows in the high half.
TW_VECTOR_CLONES
double count_gains(const ParentTotals& parent, double tot0, double tot1,
                   const std::uint64_t* packed, double* gain, std::size_t count) {
    if (parent.criterion == Criterion::kEntropy) {
        if (parent.weight < static_cast<double>(kXLogTable)) {
            return table_entropy_count_gains(parent, tot0, tot1, packed, gain, count);
        }
        return count_gains_as<true>(parent, tot0, tot1, packed, gain, count);
    }
    return count_gains_as<false>(parent, tot0, tot1, packed, gain, count);
}

std::size_t walk_bins_scalar(std::uint64_t* h, std::size_t last, std::size_t clear,
                             std::uint64_t lo, std::uint64_t hi, std::uint64_t* cand,
                             std::uint64_t* cand_bin) {
    std::uint64_t sum = 0;
    std::size_t nc = 0;
    for (std::size_t b = 0; b <= last; ++b) {
        const std::uint64_t v = h[b];
        sum += v;
        const std::uint64_t nl = sum & 0xFFFFFFFFu;
        cand[nc] = sum;
        cand_bin[nc] = b;
        nc += (v != 0) & (nl >= lo) & (nl <= hi);
    }
    std::fill_n(h, clear, std::uint64_t{0});
    return nc;
}

#if defined(__x86_64__)
// The walk four bins at a time: a prefix sum within each vector plus the
// carry of the previous one, and a table-driven compaction of the selected
// lanes.
__attribute__((target("avx2")))
std::size_t walk_bins_avx2(std::uint64_t* h, std::size_t last, std::size_t clear,
                           std::uint64_t lo, std::uint64_t hi, std::uint64_t* cand,
                           std::uint64_t* cand_bin) {
    // For each 4-bit lane mask, the 32-bit source indices that move the
    // selected 64-bit lanes to the front, in order.
    alignas(32) static constexpr std::array<std::array<int, 8>, 16> kCompact = [] {
        std::array<std::array<int, 8>, 16> t{};
        for (int m = 0; m < 16; ++m) {
            int k = 0;
            for (int lane = 0; lane < 4; ++lane) {
                if (m & (1 << lane)) {
                    t[m][2 * k] = 2 * lane;
                    t[m][2 * k + 1] = 2 * lane + 1;
                    ++k;
                }
            }
            for (; k < 4; ++k) t[m][2 * k] = t[m][2 * k + 1] = 0;
        }
        return t;
    }();
    const __m256i zero = _mm256_setzero_si256();
    const __m256i low = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i lo_m1 = _mm256_set1_epi64x(static_cast<long long>(lo) - 1);
    const __m256i hi_p1 = _mm256_set1_epi64x(static_cast<long long>(hi) + 1);
    const __m256i step = _mm256_set1_epi64x(4);
    __m256i bins = _mm256_setr_epi64x(0, 1, 2, 3);
    __m256i carry = zero;
    std::size_t nc = 0;
    const std::size_t count = last + 1;
    const std::size_t blocks = (std::max(count, clear) + 3) / 4;
    clear = (clear + 3) & ~std::size_t{3};  // whole vectors
    for (std::size_t k = 0; k < blocks; ++k) {
        __m256i* at = reinterpret_cast<__m256i*>(h + 4 * k);
        const __m256i v = _mm256_loadu_si256(at);
        if (4 * k < clear) _mm256_storeu_si256(at, zero);
        // Inclusive prefix sum of the four lanes.
        __m256i t = _mm256_add_epi64(
            v, _mm256_blend_epi32(_mm256_permute4x64_epi64(v, 0x90), zero, 0x03));
        t = _mm256_add_epi64(t, _mm256_permute2x128_si256(t, t, 0x08));
        const __m256i sum = _mm256_add_epi64(t, carry);
        // The carry chain is one add per vector.
        carry = _mm256_add_epi64(carry, _mm256_permute4x64_epi64(t, 0xFF));
        const __m256i nl = _mm256_and_si256(sum, low);
        const __m256i empty = _mm256_cmpeq_epi64(v, zero);
        const __m256i ok = _mm256_andnot_si256(
            empty, _mm256_and_si256(_mm256_cmpgt_epi64(nl, lo_m1), _mm256_cmpgt_epi64(hi_p1, nl)));
        int mask = _mm256_movemask_pd(_mm256_castsi256_pd(ok));
        if (4 * k + 4 > count) mask &= (4 * k < count) ? (1 << (count - 4 * k)) - 1 : 0;
        const __m256i idx = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompact[mask].data()));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cand + nc), _mm256_permutevar8x32_epi32(sum, idx));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cand_bin + nc), _mm256_permutevar8x32_epi32(bins, idx));
        nc += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
        bins = _mm256_add_epi64(bins, step);
    }
    return nc;
}
#endif

std::size_t walk_bins(std::uint64_t* h, std::size_t last, std::size_t clear, std::uint64_t lo,
                      std::uint64_t hi, std::uint64_t* cand, std::uint64_t* cand_bin) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return walk_bins_avx2(h, last, clear, lo, hi, cand, cand_bin);
#endif
    return walk_bins_scalar(h, last, clear, lo, hi, cand, cand_bin);
}

}  // namespace tw::split
