// The random search of the histogram grower (grow/hist_search.hpp): one
// drawn candidate per feature. Two passes over the node's slots, each
// reading every slot's bins once for all features: the occupied bin range of
// every examined feature, then, once the candidates are drawn, their left
// totals, each summed over the slots in node order.
#include "grow/hist_search.hpp"

#include <bit>

namespace tw::grow {

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
    // (Byte stores may alias anything, so the loops work on restricted
    // local pointers.)
    lo_.assign(ne, 0xFF);
    hi_.assign(ne, 0);
    {
        std::uint8_t* __restrict lo = lo_.data();
        std::uint8_t* __restrict hi = hi_.data();
        const u32* __restrict ex = examined.data();
        const std::uint8_t* __restrict base = bins;
        for (u32 i = node.begin; i < node.end; ++i) {
            const std::uint8_t* __restrict row = base + static_cast<std::size_t>(i) * rs;
            for (std::size_t j = 0; j < ne; ++j) {
                const std::uint8_t b = row[ex[j]];
                lo[j] = b < lo[j] ? b : lo[j];
                hi[j] = b > hi[j] ? b : hi[j];
            }
        }
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
    const u32* __restrict fs = feature_.data();
    const std::uint8_t* __restrict bs = bin_.data();
    // Rows add to the candidates they send left without a branch on the
    // comparison (it would mispredict about half of the time): a value is
    // masked to +0.0 for the others, which leaves their sums unchanged.
    const auto keep = [](double v, u64 mask) {
        return std::bit_cast<double>(std::bit_cast<u64>(v) & mask);
    };
    u64* __restrict nl = nl_.data();
    double* __restrict sums = sums_.data();
    for (u32 i = node.begin; i < node.end; ++i) {
        const std::uint8_t* row = bins + static_cast<std::size_t>(i) * rs;
        if (ws.count_mode()) {
            const u32 t = WorkingSet::tag_of(row, features);
            const u64 m = t & 0x7FFFFFFFu;
            const double mw = static_cast<double>(m);
            const std::size_t c = 1 + slot_[t >> 31];
            for (std::size_t j = 0; j < nc; ++j) {
                const u64 mask = u64{0} - static_cast<u64>(row[fs[j]] <= bs[j]);
                nl[j] += m & mask;
                sums[j * stride] += keep(mw, mask);
                sums[j * stride + c] += keep(mw, mask);
            }
        } else if (kn > 0) {
            const split::ClassRecord& r = ws.class_records()[i];
            const std::size_t c = 1 + slot_[r.cls];
            for (std::size_t j = 0; j < nc; ++j) {
                const u64 mask = u64{0} - static_cast<u64>(row[fs[j]] <= bs[j]);
                nl[j] += 1 & mask;
                sums[j * stride] += keep(r.w, mask);
                sums[j * stride + c] += keep(r.w, mask);
            }
        } else {
            const split::RegRecord& r = ws.reg_records()[i];
            for (std::size_t j = 0; j < nc; ++j) {
                const u64 mask = u64{0} - static_cast<u64>(row[fs[j]] <= bs[j]);
                nl[j] += 1 & mask;
                double* s = sums + j * stride;
                s[0] += keep(r.w, mask);
                s[1] += keep(r.wy, mask);
                s[2] += keep(r.ywy, mask);
            }
        }
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
        if (g > best.gain) best.take(g, fs[j], bs[j]);
    }
}

}  // namespace tw::grow
