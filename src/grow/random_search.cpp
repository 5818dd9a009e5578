// The random search of the histogram grower (grow/hist_search.hpp): one
// drawn candidate per feature. Two passes over the node's slots: the
// occupied bin range of every examined feature, then, once the candidates
// are drawn, their left totals, each summed over the slots in node order.
#include "grow/hist_search.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tw::grow {
namespace {

// Slots per block of the per-feature sweeps: small enough for a block's
// rows to stay in the first-level cache while every feature sweeps them.
constexpr u32 kBlock = 512;

// Calls visit(j, b0, b1) for the slots b0..b1-1 of each block of the node,
// in node order, and within a block for j = 0..count-1.
template <class Visit>
inline void by_blocks(const NodeRange& node, std::size_t count, Visit&& visit) {
    for (u32 b0 = node.begin; b0 < node.end; b0 += kBlock) {
        const u32 b1 = std::min<u32>(node.end, b0 + kBlock);
        for (std::size_t j = 0; j < count; ++j) visit(j, b0, b1);
    }
}

}  // namespace

#if defined(__SSE2__)
// Lanes l of row vector k hold feature 16k + l; lanes past the last feature
// read the tag or the next row and are never looked at. The rows' bytes
// carry the working set's read padding, so the last row's loads stay inside.
std::size_t RandomSearch::vectors(std::size_t features) { return (features + 15) / 16; }

void RandomSearch::row_bounds(const std::uint8_t* bins, std::size_t rs, std::size_t features,
                              const NodeRange& node) {
    const std::size_t nv = vectors(features);
    row_lo_.resize(nv * 16);
    row_hi_.resize(nv * 16);
    for (std::size_t k = 0; k < nv; ++k) {
        __m128i lo = _mm_set1_epi8(static_cast<char>(0xFF)), hi = _mm_setzero_si128();
        const std::uint8_t* p = bins + static_cast<std::size_t>(node.begin) * rs + 16 * k;
        for (u32 i = node.begin; i < node.end; ++i, p += rs) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            lo = _mm_min_epu8(lo, v);
            hi = _mm_max_epu8(hi, v);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row_lo_.data() + 16 * k), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row_hi_.data() + 16 * k), hi);
    }
}

// Count mode: per lane, the multiplicities of the rows whose bin is at most
// the lane's cut (min(bin, cut) == bin), and of those of class 1, in byte
// counters that are added to the candidates' packed counts before they could
// reach 256. A row of multiplicity above 255 goes to the wide counts directly.
namespace {

// count_left's sweep over NV row vectors at once: the rows' tags are read
// once for all of them.
template <std::size_t NV>
void count_sweep(const std::uint8_t* bins, std::size_t rs, std::size_t features,
                 const NodeRange& node, const std::uint8_t* cuts, u64* wide_rows,
                 u64* wide_ones) {
    __m128i cut[NV], rows[NV], ones[NV];
    for (std::size_t k = 0; k < NV; ++k) {
        cut[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cuts + 16 * k));
        rows[k] = ones[k] = _mm_setzero_si128();
    }
    alignas(16) std::uint8_t lanes[16];
    u32 pending = 0;  // largest value any byte counter may hold
    const auto flush = [&] {
        for (std::size_t k = 0; k < NV; ++k) {
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), rows[k]);
            for (std::size_t l = 0; l < 16; ++l) wide_rows[16 * k + l] += lanes[l];
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), ones[k]);
            for (std::size_t l = 0; l < 16; ++l) wide_ones[16 * k + l] += lanes[l];
            rows[k] = ones[k] = _mm_setzero_si128();
        }
        pending = 0;
    };
    for (u32 i = node.begin; i < node.end; ++i) {
        const std::uint8_t* row = bins + static_cast<std::size_t>(i) * rs;
        const u32 t = WorkingSet::tag_of(row, features);
        const u32 m = t & 0x7FFFFFFFu;
        if (m > 255) {
            for (std::size_t k = 0; k < NV; ++k) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * k));
                _mm_store_si128(reinterpret_cast<__m128i*>(lanes),
                                _mm_cmpeq_epi8(_mm_min_epu8(v, cut[k]), v));
                for (std::size_t l = 0; l < 16; ++l) {
                    if (lanes[l] == 0) continue;
                    wide_rows[16 * k + l] += m;
                    if (t >> 31) wide_ones[16 * k + l] += m;
                }
            }
            continue;
        }
        if (pending + m > 255) flush();
        pending += m;
        const __m128i mult = _mm_set1_epi8(static_cast<char>(m));
        const __m128i of_class1 = _mm_set1_epi8(static_cast<char>((t >> 31) != 0 ? 0xFF : 0));
        for (std::size_t k = 0; k < NV; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * k));
            const __m128i add = _mm_and_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, cut[k]), v), mult);
            rows[k] = _mm_add_epi8(rows[k], add);
            ones[k] = _mm_add_epi8(ones[k], _mm_and_si128(add, of_class1));
        }
    }
    flush();
}

}  // namespace

// Count mode: per lane, the multiplicities of the rows whose bin is at most
// the lane's cut (min(bin, cut) == bin), and of those of class 1, in byte
// counters that are added to the candidates' packed counts before they could
// reach 256. A row of multiplicity above 255 goes to the wide counts directly.
void RandomSearch::count_left(const std::uint8_t* bins, std::size_t rs, std::size_t features,
                              const NodeRange& node) {
    const std::size_t nv = vectors(features);
    const std::size_t nc = feature_.size();
    cut_.assign(nv * 16, 0);
    for (std::size_t j = 0; j < nc; ++j) cut_[feature_[j]] = bin_[j];
    wide_rows_.assign(nv * 16, 0);
    wide_ones_.assign(nv * 16, 0);
    // Vectors in groups of up to four, each group one sweep over the rows.
    for (std::size_t k = 0; k < nv;) {
        const std::size_t group = std::min<std::size_t>(nv - k, 4);
        const std::uint8_t* at = bins + 16 * k;
        const std::uint8_t* cuts = cut_.data() + 16 * k;
        u64* wr = wide_rows_.data() + 16 * k;
        u64* wo = wide_ones_.data() + 16 * k;
        // The tag follows the last feature, 16k bytes further from `at`.
        const std::size_t tag_at = features - 16 * k;
        switch (group) {
            case 1: count_sweep<1>(at, rs, tag_at, node, cuts, wr, wo); break;
            case 2: count_sweep<2>(at, rs, tag_at, node, cuts, wr, wo); break;
            case 3: count_sweep<3>(at, rs, tag_at, node, cuts, wr, wo); break;
            default: count_sweep<4>(at, rs, tag_at, node, cuts, wr, wo); break;
        }
        k += group;
    }
    for (std::size_t j = 0; j < nc; ++j) {
        packed_[j] = wide_rows_[feature_[j]] + (wide_ones_[feature_[j]] << 32);
    }
}
#else
// Without the vector unit every search takes the per-feature sweeps.
std::size_t RandomSearch::vectors(std::size_t) { return ~std::size_t{0}; }
void RandomSearch::row_bounds(const std::uint8_t*, std::size_t, std::size_t, const NodeRange&) {}
void RandomSearch::count_left(const std::uint8_t*, std::size_t, std::size_t, const NodeRange&) {}
#endif

void RandomSearch::search(const NodeRange& node, Rng& rng, split::BestSplit& best) {
    const WorkingSet& ws = ctx_.ws;
    const std::uint8_t* bins = ws.bins();
    const std::size_t rs = ws.row_bytes();
    const std::size_t features = ws.features();
    const split::ParentTotals& parent = ctx_.node.parent;
    const std::vector<u32>& classes = ctx_.node.classes;
    const std::size_t kn = ws.classification() ? classes.size() : 0;
    for (std::size_t i = 0; i < kn; ++i) slot_[classes[i]] = static_cast<u32>(i);
    const std::vector<u32>& examined = ctx_.examined;
    const std::size_t ne = examined.size();

    // The occupied bins; the last edge of a feature is +inf, never a split.
    // The slots are read in blocks small enough to stay in the first-level
    // cache; within a block each feature is a separate sweep, so its bounds
    // live in registers. (Byte stores may alias anything, so the loops work
    // on restricted local pointers.)
    lo_.assign(ne, 0xFF);
    hi_.assign(ne, 0);
    if (vectors(features) <= ne) {
        // Few row vectors per examined feature: the bounds of every feature
        // at once, a vector minimum and maximum per row vector.
        row_bounds(bins, rs, features, node);
        for (std::size_t j = 0; j < ne; ++j) {
            lo_[j] = row_lo_[examined[j]];
            hi_[j] = row_hi_[examined[j]];
        }
    } else {
        by_blocks(node, ne, [&](std::size_t j, u32 b0, u32 b1) {
            const std::uint8_t* __restrict col = bins + examined[j];
            std::uint8_t lo = lo_[j], hi = hi_[j];
            for (u32 i = b0; i < b1; ++i) {
                const std::uint8_t b = col[static_cast<std::size_t>(i) * rs];
                lo = b < lo ? b : lo;
                hi = b > hi ? b : hi;
            }
            lo_[j] = lo;
            hi_[j] = hi;
        });
    }
    feature_.clear();
    bin_.clear();
    for (std::size_t j = 0; j < ne; ++j) {
        if (lo_[j] >= hi_[j]) continue;
        feature_.push_back(examined[j]);
        bin_.push_back(static_cast<std::uint8_t>(lo_[j] + gen_range_u64(rng, hi_[j] - lo_[j])));
    }
    const std::size_t nc = feature_.size();
    if (nc == 0) return;
    const std::size_t stride = 1 + (kn > 0 ? kn : 2);
    nl_.assign(nc, 0);
    sums_.assign(nc * stride, 0.0);
    // Rows add to the candidates they send left without a branch on the
    // comparison (it would mispredict about half of the time): a value is
    // masked to +0.0 for the others, which leaves their sums unchanged. Each
    // candidate's sums still run over the slots in node order, block after
    // block, so they are the sums of a single sweep.
    const auto keep = [](double v, u64 mask) {
        return std::bit_cast<double>(std::bit_cast<u64>(v) & mask);
    };
    // All ones when slot i of the column is at most the cut, else zero.
    const auto left = [rs](const std::uint8_t* col, u32 i, std::uint8_t cut) {
        return u64{0} - static_cast<u64>(col[static_cast<std::size_t>(i) * rs] <= cut);
    };
    if (ws.count_mode()) {
        // Packed counts (rows low, class-1 rows high; WorkingSet::tag_add):
        // exact integers, converted to the weight sums unit weights give.
        packed_.assign(nc, 0);
        if (vectors(features) <= nc) {
            count_left(bins, rs, features, node);
        } else {
            by_blocks(node, nc, [&](std::size_t j, u32 b0, u32 b1) {
                const std::uint8_t* __restrict col = bins + feature_[j];
                const std::uint8_t* __restrict tags = bins + features;
                const std::uint8_t cut = bin_[j];
                u64 acc = packed_[j];
                for (u32 i = b0; i < b1; ++i) {
                    u32 t;
                    std::memcpy(&t, tags + static_cast<std::size_t>(i) * rs, sizeof t);
                    acc += WorkingSet::tag_add(t) & left(col, i, cut);
                }
                packed_[j] = acc;
            });
        }
        for (std::size_t j = 0; j < nc; ++j) {
            const u64 rows = packed_[j] & 0xFFFFFFFFu, ones = packed_[j] >> 32;
            nl_[j] = rows;
            double* s = sums_.data() + j * stride;
            s[0] = static_cast<double>(rows);
            for (std::size_t i = 0; i < kn; ++i) {
                s[1 + i] = static_cast<double>(classes[i] == 0 ? rows - ones : ones);
            }
        }
    } else if (kn > 0) {
        const split::ClassRecord* __restrict rec = ws.class_records();
        by_blocks(node, nc, [&](std::size_t j, u32 b0, u32 b1) {
            const std::uint8_t* __restrict col = bins + feature_[j];
            const std::uint8_t cut = bin_[j];
            double* __restrict s = sums_.data() + j * stride;
            u64 n = nl_[j];
            double wl = s[0];
            for (u32 i = b0; i < b1; ++i) {
                const split::ClassRecord& r = rec[i];
                const u64 mask = left(col, i, cut);
                n += 1 & mask;
                wl += keep(r.w, mask);
                s[1 + slot_[r.cls]] += keep(r.w, mask);
            }
            nl_[j] = n;
            s[0] = wl;
        });
    } else {
        const split::RegRecord* __restrict rec = ws.reg_records();
        by_blocks(node, nc, [&](std::size_t j, u32 b0, u32 b1) {
            const std::uint8_t* __restrict col = bins + feature_[j];
            const std::uint8_t cut = bin_[j];
            double* __restrict s = sums_.data() + j * stride;
            u64 n = nl_[j];
            double w = s[0], wy = s[1], ywy = s[2];
            for (u32 i = b0; i < b1; ++i) {
                const split::RegRecord& r = rec[i];
                const u64 mask = left(col, i, cut);
                n += 1 & mask;
                w += keep(r.w, mask);
                wy += keep(r.wy, mask);
                ywy += keep(r.ywy, mask);
            }
            nl_[j] = n;
            s[0] = w;
            s[1] = wy;
            s[2] = ywy;
        });
    }
    const double* total = ctx_.node.class_total.data();
    for (std::size_t j = 0; j < nc; ++j) {
        const double* s = sums_.data() + j * stride;
        const double wl = s[0];
        if (!split::admissible(nl_[j], node.rows, wl, parent.weight, ctx_.min_leaf)) continue;
        double g;
        if (kn > 0) {
            g = split::class_gain(
                parent, wl, kn, [&](std::size_t i) { return s[1 + i]; },
                [&](std::size_t i) { return total[classes[i]] - s[1 + i]; });
        } else {
            g = split::variance_gain(parent, wl, s[1], s[2]);
        }
        if (g > best.gain) best.take(g, feature_[j], bin_[j]);
    }
}

}  // namespace tw::grow
