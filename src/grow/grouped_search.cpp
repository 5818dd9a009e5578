// Grouped search: one feature at a time, the node's rows grouped by bin
// (a stable counting sort for byte codes, a sort of (code, slot) keys for
// wide ones), each bin's sums formed over its rows in node order and merged
// whole into the left totals.
#include <algorithm>
#include <cstdint>

#include "grow/hist_search.hpp"

namespace tw::grow {

void GroupedSearch::allocate(std::size_t n_classes) {
    left_.assign(n_classes, 0.0);
    bin_sum_.assign(n_classes, 0.0);
}

template <class Visit>
void GroupedSearch::for_each_group(u32 begin, u32 end, u32 f, std::size_t last, Visit&& visit) {
    order_.resize(std::max<std::size_t>(order_.size(), end - begin));
    u32* order = order_.data();
    if (ctx_.ws.wide()) {
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
            visit(b, pos, e - pos);
            pos = e;
        }
        return;
    }
    const std::uint8_t* bins = ctx_.ws.bins() + f;
    const std::size_t rs = ctx_.ws.row_bytes();
    u32 counts[kMaxBins];
    u32 offsets[kMaxBins];
    std::fill(counts, counts + kMaxBins, 0u);
    for (u32 i = begin; i < end; ++i) ++counts[bins[static_cast<std::size_t>(i) * rs]];
    u32 acc = 0;
    for (std::size_t b = 0; b < kMaxBins; ++b) {
        offsets[b] = acc;
        acc += counts[b];
    }
    for (u32 p = begin; p < end; ++p) order[offsets[bins[static_cast<std::size_t>(p) * rs]]++] = p;
    std::size_t pos = 0;
    for (std::size_t b = 0; b <= last; ++b) {
        if (counts[b] == 0) continue;
        visit(b, pos, counts[b]);
        pos += counts[b];
    }
}

void GroupedSearch::search(const NodeRange& node, split::BestSplit& best) {
    if (scores_gini_counts(ctx_.ws, ctx_.node.parent.criterion)) {
        search_gini_counts(node, best);
        return;
    }
    const u64 n = node.rows;
    const bool merged = ctx_.ws.merged();
    const split::ClassRecord* rec = ctx_.ws.class_records();
    // Local copies: the sums written below cannot alias them.
    const split::ParentTotals parent = ctx_.node.parent;
    const u64 min_leaf = ctx_.min_leaf;
    const u32* classes = ctx_.node.classes.data();
    const std::size_t kc = ctx_.node.classes.size();
    const double* total = ctx_.node.class_total.data();
    double* left = left_.data();
    double* bin_sum = bin_sum_.data();
    for (u32 f : ctx_.examined) {
        u64 nl = 0;
        double wl = 0.0;
        // Adds bin b whole to the left totals and scores the candidate it ends.
        for_each_group(node.begin, node.end, f, ctx_.hist.n_bins[f] - 2,
                       [&](std::size_t b, std::size_t pos, std::size_t count) {
            const u32* order = order_.data();
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
            nl += merged ? split::count_of(bw) : count;
            wl += bw;
            if (split::admissible(nl, n, wl, parent.weight, min_leaf)) {
                const double gain = split::class_gain(
                    parent, wl, kc, [&](std::size_t i) { return left[classes[i]]; },
                    [&](std::size_t i) { return total[classes[i]] - left[classes[i]]; });
                if (gain > best.gain) best.take(gain, f, b);
            }
        });
        for (std::size_t i = 0; i < kc; ++i) left[classes[i]] = 0.0;
    }
}

// Every sum is a whole number of entries, exact in any order: a bin's rows
// add their squares and cross terms one at a time, m * (2 * left + m) and
// total * m, giving the very sums the dense walk forms per bin and class.
void GroupedSearch::search_gini_counts(const NodeRange& node, split::BestSplit& best) {
    const u64 n = node.rows;
    const split::ClassRecord* rec = ctx_.ws.class_records();
    const double weight = ctx_.node.parent.weight;
    const u64 min_leaf = ctx_.min_leaf;
    const u32* classes = ctx_.node.classes.data();
    const std::size_t kc = ctx_.node.classes.size();
    const double* total = ctx_.node.class_total.data();
    double* left = left_.data();
    for (std::size_t i = 0; i < kc; ++i) cand_.node_total[i] = total[classes[i]];
    for (u32 f : ctx_.examined) {
        double wl = 0.0, squares = 0.0, cross = 0.0;
        std::size_t nc = 0;
        for_each_group(node.begin, node.end, f, ctx_.hist.n_bins[f] - 2,
                       [&](std::size_t b, std::size_t pos, std::size_t count) {
            const u32* order = order_.data();
            for (std::size_t e = pos; e < pos + count; ++e) {
                const split::ClassRecord& r = rec[order[e]];
                const double m = r.w;
                squares += m * (2.0 * left[r.cls] + m);
                cross += total[r.cls] * m;
                left[r.cls] += m;
                wl += m;
            }
            cand_.wl[nc] = wl;
            cand_.l1[nc] = squares;
            cand_.l2[nc] = cross;
            cand_.bin[nc] = static_cast<std::uint16_t>(b);
            nc += split::admissible(split::count_of(wl), n, wl, weight, min_leaf) ? 1 : 0;
        });
        for (std::size_t i = 0; i < kc; ++i) left[classes[i]] = 0.0;
        if (nc == 0) continue;
        cand_.score_gini_counts(ctx_.node.parent, nc, kc);
        cand_.offer(nc, f, best);
    }
}

}  // namespace tw::grow
