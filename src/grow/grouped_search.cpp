// Grouped search for many classes: one feature at a time, the node's rows
// grouped by bin with a stable counting sort, each bin's class sums formed
// over its rows in node order and merged whole into the left totals.
#include <algorithm>
#include <cstdint>

#include "grow/hist_search.hpp"

namespace tw::grow {

void GroupedSearch::allocate(std::size_t n_classes) {
    left_.assign(n_classes, 0.0);
    bin_sum_.assign(n_classes, 0.0);
}

void GroupedSearch::search(const NodeRange& node, split::BestSplit& best) {
    const u32 begin = node.begin;
    const u32 end = node.end;
    const u64 n = node.rows;
    const bool merged = ctx_.ws.merged();
    order_.resize(std::max<std::size_t>(order_.size(), end - begin));
    const std::uint8_t* bins = ctx_.ws.bins();
    const std::size_t rs = ctx_.ws.row_bytes();
    const split::ClassRecord* rec = ctx_.ws.class_records();
    // Local copies: the sums written below cannot alias them.
    const split::ParentTotals parent = ctx_.node.parent;
    const u64 min_leaf = ctx_.min_leaf;
    const u32* classes = ctx_.node.classes.data();
    const std::size_t kc = ctx_.node.classes.size();
    const double* total = ctx_.node.class_total.data();
    double* left = left_.data();
    double* bin_sum = bin_sum_.data();
    u32* order = order_.data();
    const bool wide = ctx_.ws.wide();
    for (u32 f : ctx_.examined) {
        const std::size_t last = ctx_.hist.n_bins[f] - 2;
        u64 nl = 0;
        double wl = 0.0;
        // Adds bin b, the ordered slots order[pos..pos+count), whole to the
        // left totals and scores the candidate it ends.
        const auto take_bin = [&](std::size_t b, std::size_t pos, std::size_t count) {
            double bw = 0.0;
            touched_.clear();
            for (std::size_t e = pos; e < pos + count; ++e) {
                const split::ClassRecord& r = rec[order[e]];
                bw += r.w;
                if (bin_sum[r.cls] == 0.0) touched_.push_back(r.cls);
                bin_sum[r.cls] += r.w;
            }
            // A class listed twice merges its sum once and then adds 0.0; a
            // class whose weights here are all zero is not listed and would
            // only add 0.0 to the left totals.
            for (u32 c : touched_) {
                left[c] += bin_sum[c];
                bin_sum[c] = 0.0;
            }
            // Merged slots: the bin's weight is its number of entries.
            nl += merged ? static_cast<u64>(bw) : count;
            wl += bw;
            if (split::admissible(nl, n, wl, parent.weight, min_leaf)) {
                const double gain = split::class_gain(
                    parent, wl, kc, [&](std::size_t i) { return left[classes[i]]; },
                    [&](std::size_t i) { return total[classes[i]] - left[classes[i]]; });
                if (gain > best.gain) best.take(gain, f, b);
            }
        };
        if (wide) {
            // Wide codes: the slots sorted by (code, slot), bins as runs.
            keys_.clear();
            for (u32 i = begin; i < end; ++i) {
                keys_.push_back(u64{static_cast<u32>(ctx_.ws.code(i, f))} << 32 | i);
            }
            std::sort(keys_.begin(), keys_.end());
            for (std::size_t e = 0; e < keys_.size(); ++e) order[e] = static_cast<u32>(keys_[e]);
            for (std::size_t pos = 0; pos < keys_.size();) {
                const std::size_t b = keys_[pos] >> 32;
                if (b > last) break;
                std::size_t e = pos;
                while (e < keys_.size() && (keys_[e] >> 32) == b) ++e;
                take_bin(b, pos, e - pos);
                pos = e;
            }
        } else {
            // Byte codes: a stable counting sort.
            u32 counts[kMaxBins];
            u32 offsets[kMaxBins];
            std::fill(counts, counts + kMaxBins, 0u);
            for (u32 i = begin; i < end; ++i) ++counts[bins[static_cast<std::size_t>(i) * rs + f]];
            u32 acc = 0;
            for (std::size_t b = 0; b < kMaxBins; ++b) {
                offsets[b] = acc;
                acc += counts[b];
            }
            for (u32 p = begin; p < end; ++p) order[offsets[bins[static_cast<std::size_t>(p) * rs + f]]++] = p;
            std::size_t pos = 0;
            for (std::size_t b = 0; b <= last; ++b) {
                if (counts[b] == 0) continue;
                take_bin(b, pos, counts[b]);
                pos += counts[b];
            }
        }
        for (std::size_t i = 0; i < kc; ++i) left[classes[i]] = 0.0;
    }
}

}  // namespace tw::grow
