// Vector kernels of the histogram grower's split search: the gains of a
// feature's candidates four at a time, the count-mode histogram walk, and
// small helpers of the histogram code (vector loads and stores, set-bit
// visits of a bin mask, count subtraction).
//
// Terms: a candidate is one bin boundary of a feature (see split/gain.hpp);
// its left totals are laid out one array per total, candidate j at index j.
// Count mode (two classes, unit weights) keeps a packed count per bin or
// candidate: rows in the low 32 bits, class-1 rows in the high 32 bits.
// A bin mask has a bit per bin (four words for 256 bins), bit b set when
// bin b is occupied.
//
// The gain kernels are the vector form of split/gain.hpp: every lane
// performs the scalar formula's operations in the same order, and IEEE
// division, multiplication and addition round the same whatever the vector
// width, so each gain is bit-identical to the scalar formula's. The entropy
// forms use the logarithm of split/log2.hpp, whose vector form matches its
// scalar one; for whole-number totals below 8192 (unit weights) they read
// xlog2x from a table of its own values instead, with the same results.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "split/gain.hpp"

namespace tw::split {

typedef double v4d __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));

template <class V>
inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
inline void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// The best candidate of a tiny node of merged regression slots (weights
// are whole entry counts, split/gain.hpp) over `features` features, from
// the slots' weights and w*y sums and each feature's codes (feature k's at
// code[k * kTinySlots], n <= kTinySlots of them, padded to +inf): every
// slot's code is a candidate last code of the left side, scored by the
// formula of regression_gains_of_sums, among the admissible ones (at
// least min_leaf entries, and one, a side). Each candidate's left sums add
// its slots in slot order. Returns the first feature and code of the
// largest gain when that exceeds `than`; the feature is `features` when
// none does.
struct TinyBest {
    double gain;
    std::size_t feature;
    std::size_t code;
};
constexpr std::size_t kTinySlots = 16;
TinyBest tiny_sums_best(const ParentTotals& parent, const double* code, std::size_t features,
                        const double* w, const double* wy, std::size_t n, double min_leaf,
                        double than);

// tiny_sums_best's Gini form (whole class counts, gini_count_gains' formula
// over the node's total_squares): slot i holds m[i] entries of class cls[i]
// (any number naming it, equal for equal classes) and tm[i] = m[i] times its
// class's node total. A candidate's left squares add, slot by slot in
// (code, slot) order, m * (2 * same-class entries before it + m), its cross
// sum the tm of its slots: the sums of a walk over the sorted slots, exact
// in doubles, so the gains are the walk's bit for bit.
TinyBest tiny_gini_best(const ParentTotals& parent, double total_squares, const double* code,
                        std::size_t features, const double* m, const double* cls,
                        const double* tm, std::size_t n, double min_leaf, double than);

// Calls f(base + i) for every set bit i of bits, ascending.
template <class F>
__attribute__((always_inline)) inline void for_each_bit(std::size_t base, std::uint64_t bits,
                                                       F&& f) {
    while (bits != 0) {
        const std::size_t b = base + static_cast<std::size_t>(__builtin_ctzll(bits));
        bits &= bits - 1;
        f(b);
    }
}

// The set bits of a mask of at most four words (bit numbers below 256), in
// ascending order, as bytes to out (kBitListRoom bytes: its stores reach up
// to 32 bytes past the list), each word zeroed; returns how many. It compresses
// the bit numbers with byte-compress vector instructions (AVX-512 VBMI2 on
// 256-bit vectors), with no branch on the bits; null where the processor
// lacks them.
using BitList = std::size_t (*)(std::uint64_t* mask, std::size_t words, std::uint8_t* out);
extern const BitList byte_bit_list;
inline constexpr std::size_t kBitListRoom = 4 * 64 + 32;

// Set bits of a mask of `words` words, visited in ascending order; each
// word is zeroed once read (f must not write the mask). Masks of up to four
// words go through byte_bit_list where the processor has it: a loop over
// each word's bits ends with a mispredicted branch per word, which in the
// walks of sparse histograms costs as much as the visits.
template <class F>
__attribute__((always_inline)) inline void for_each_bit_clearing(std::uint64_t* mask,
                                                                std::size_t words, F&& f) {
    if (words <= 4 && byte_bit_list != nullptr) {
        alignas(32) std::uint8_t bits[kBitListRoom];
        const std::size_t count = byte_bit_list(mask, words, bits);
        for (std::size_t j = 0; j < count; ++j) f(static_cast<std::size_t>(bits[j]));
        return;
    }
    for (std::size_t word = 0; word < words; ++word) {
        const std::uint64_t bits = mask[word];
        if (bits == 0) continue;
        mask[word] = 0;
        for_each_bit(word * 64, bits, f);
    }
}

// The same over a two-level mask: bit w of `summary` marks word w of
// `mask` as nonzero; both levels are zeroed as read.
template <class F>
__attribute__((always_inline)) inline void for_each_bit_clearing(std::uint64_t* summary,
                                                                std::uint64_t* mask,
                                                                std::size_t summary_words, F&& f) {
    for_each_bit_clearing(summary, summary_words, [&](std::size_t word)
                                                      __attribute__((always_inline)) {
        const std::uint64_t bits = mask[word];
        mask[word] = 0;
        for_each_bit(word * 64, bits, f);
    });
}

// gain[j] = variance_gain(parent, wl[j], l1[j], l2[j]); count is padded by
// the caller to a multiple of 4.
void regression_gains(const ParentTotals& parent, const double* wl, const double* l1,
                      const double* l2, double* gain, std::size_t count);

// The same gains without the y*w*y sums, which cancel out of them:
// gain[j] = (l1^2 / wl + (S1 - l1)^2 / (W - wl)) / W - (S1 / W)^2 for the
// node's weight W and w*y sum S1. Equal to regression_gains up to rounding,
// for growth not bound to its arithmetic. count as there.
void regression_gains_of_sums(const ParentTotals& parent, const double* wl, const double* l1,
                              double* gain, std::size_t count);

// One bin of a whole-count gini walk over every class (n even): adds the
// bin's class counts c[0..n) to running[0..n) and zeroes them, and returns
// the bin's terms {sum of c * (2 running + c), sum of total * c} over the
// classes, running taken before the addition. Whole numbers, so the sums
// are exact in any order.
std::array<double, 2> gini_bin_terms(double* c, double* running, const double* total,
                                     std::size_t n);

// A whole-count gini walk of one feature over every class, its left counts
// held in registers: for each bin of occupied[0..count) in turn (ascending,
// each a candidate) the record at base + bin * stride (weight, slot tags,
// then `pairs` pairs of class counts) is added to the left totals as
// gini_bin_terms adds it, and zeroed; the candidate's left weight, squares
// and cross sums and its bin go to the outputs at the next index, which
// advances only past admissible candidates. Returns the candidates kept.
struct GiniCountWalk {
    double* base;
    std::size_t stride;
    const std::uint32_t* occupied;
    std::size_t count;
    const double* total;  // the node's class totals, 2 * pairs of them
    std::size_t pairs;    // 1..16
    std::uint64_t n;      // the node's entries
    double weight;
    std::uint64_t min_leaf;
    double* wl;
    double* squares;
    double* cross;
    std::uint16_t* bin;
};
std::size_t gini_count_walk(const GiniCountWalk& walk);

// Gini gains from whole class counts (every sum exact in doubles): for
// left weight wl[j], left squares sl[j] = sum over classes of left^2 and
// cross[j] = sum of total * left, the right squares being total_squares -
// 2 cross + sl, gain[j] = (sl / wl + right squares / wr - total_squares /
// W) / W, both sides' terms formed over one quotient. Equal to the gini
// gains up to rounding. count as below.
void gini_count_gains(const ParentTotals& parent, double total_squares, const double* wl,
                      const double* sl, const double* cross, double* gain, std::size_t count);

// gain[j] = class_gain (gini_gain or entropy_gain by parent.criterion)
// over the node's kn classes: left[j * kn + i] is the left weight of the
// node's i-th class, tot[i] its node total, and the right weight is
// tot[i] - left[j * kn + i]. count is a multiple of 4. With parent.counts
// every total must be a whole number.
void class_gains(const ParentTotals& parent, const double* tot, std::size_t kn, const double* wl,
                 const double* left, double* gain, std::size_t count);

// class_gains (by parent.criterion) for two classes and unit weights from
// packed left counts (class 0 weighs rows - class-1 rows): the counts
// convert exactly to the weight sums unit weights give. Whole vectors are
// evaluated, so packed and gain must hold count rounded up to 4 entries,
// the extra ones copies of a real candidate. Returns the largest gain.
double count_gains(const ParentTotals& parent, double tot0, double tot1,
                   const std::uint64_t* packed, double* gain, std::size_t count);

// Count-mode walk over bins 0..last of one feature's histogram h, in
// ascending order, keeping running packed sums (the halves never carry into
// each other: they stay below 2^31). Occupied bins whose left row count lies
// in [lo, hi] become candidates: their packed left sums go to cand[], their
// bins to cand_bin[], in bin order. Bins 0..clear-1 are reset to zero.
// The vector form works on whole vectors of four bins: h, cand and cand_bin
// must hold max(last + 1, clear) rounded up to 4 entries, and h's bins from
// clear up to that bound must be zero (it may clear them again). Returns the
// number of candidates. walk_bins picks the AVX2 form where the processor
// has it.
std::size_t walk_bins(std::uint64_t* h, std::size_t last, std::size_t clear, std::uint64_t lo,
                      std::uint64_t hi, std::uint64_t* cand, std::uint64_t* cand_bin);
std::size_t walk_bins_scalar(std::uint64_t* h, std::size_t last, std::size_t clear,
                             std::uint64_t lo, std::uint64_t hi, std::uint64_t* cand,
                             std::uint64_t* cand_bin);
#if defined(__x86_64__)
std::size_t walk_bins_avx2(std::uint64_t* h, std::size_t last, std::size_t clear,
                           std::uint64_t lo, std::uint64_t hi, std::uint64_t* cand,
                           std::uint64_t* cand_bin);
#endif

// a[i] -= b[i] for i < count (a multiple of 4), two lanes at a time.
inline void subtract_counts(std::uint64_t* a, const std::uint64_t* b, std::size_t count) {
    typedef std::uint64_t v2u __attribute__((vector_size(16)));
    for (std::size_t i = 0; i < count; i += 4) {
        v2u x0, x1, y0, y1;
        std::memcpy(&x0, a + i, 16);
        std::memcpy(&x1, a + i + 2, 16);
        std::memcpy(&y0, b + i, 16);
        std::memcpy(&y1, b + i + 2, 16);
        x0 -= y0;
        x1 -= y1;
        std::memcpy(a + i, &x0, 16);
        std::memcpy(a + i + 2, &x1, 16);
    }
}

}  // namespace tw::split
