// Count mode: integer histograms (scratch or kept), their walks, the
// scoring of packed-count candidates and the pool of kept histograms.
#include <algorithm>
#include <cstdint>

#include "grow/hist_search.hpp"
#include "split/kernels.hpp"

namespace tw::grow {
namespace {

// A split derives the larger child's histogram from its own when that child
// has at least this many slots.
constexpr u64 kSubtractMin = 128;
// Bytes of kept histograms per tree.
constexpr std::size_t kKeptHistBudget = std::size_t{8} << 20;

// Adds slots begin..end-1 to the count histograms of features fs[0..nb)
// (bins of feature fs[s] at h + s * kMaxBins).
void count_rows(const WorkingSet& ws, u32 begin, u32 end, const u32* fs, std::size_t nb, u64* h) {
    const std::uint8_t* bins = ws.bins();
    const std::size_t rs = ws.row_bytes();
    const std::size_t nf = ws.features();
    in_stop_chunks(begin, end, [&](u32 lo, u32 hi) __attribute__((always_inline)) {
        for (u32 p = lo; p < hi; ++p) {
            const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
            const u64 add = WorkingSet::tag_add(WorkingSet::tag_of(row, nf));
            for (std::size_t s = 0; s < nb; ++s) h[s * kMaxBins + row[fs[s]]] += add;
        }
    });
}

// Candidates need at least max(min_samples_leaf, 1) rows on each side.
u64 min_side(u64 min_leaf) { return std::max<u64>(min_leaf, 1); }

}  // namespace

// Up to 64 features' candidates are collected at a time.
void CountCandidates::allocate(std::size_t features) {
    const std::size_t collected = std::clamp<std::size_t>(features, 1, 64) * kMaxBins;
    packed_.assign(collected + 8, 0);
    bins_.assign(collected + 8, 0);
    gain_.assign(collected + 8, 0.0);
}

// Gains here are never NaN: both sides hold rows.
void CountCandidates::score(split::BestSplit& best) {
    const std::size_t nc = held_;
    if (nc == 0) return;
    held_ = 0;
    // Pad to whole vectors with copies of the last candidate.
    for (std::size_t j = nc; j < ((nc + 3) & ~std::size_t{3}); ++j) packed_[j] = packed_[nc - 1];
    const double m = split::count_gains(node_.parent, node_.class_total[0], node_.class_total[1],
                                        packed_.data(), gain_.data(), nc);
    if (m > best.gain) {
        const double* g = gain_.data();
        std::size_t j = 0;
        while (g[j] != m) ++j;
        std::size_t r = 0;
        while (r + 1 < runs_.size() && runs_[r + 1].first <= j) ++r;
        best.take(m, runs_[r].feature, bins_[j]);
    }
    runs_.clear();
}

void CountSearch::allocate() {
    const std::size_t batch =
        std::min(kHistBudget / kMaxBins, std::max<std::size_t>(1, ctx_.ws.features()));
    counts_.assign(batch * kMaxBins + 8, 0);
    base_ = counts_.data();
    while (reinterpret_cast<std::uintptr_t>(base_) % 64 != 0) ++base_;
    masks_.assign(batch * 4, 0);
}

// As the dense search, with one integer add per row and feature. Nodes with
// few slots mark their occupied bins and walk only those; larger ones walk
// every bin without branches.
void CountSearch::search(const NodeRange& node, split::BestSplit& best) {
    const u32 begin = node.begin;
    const u32 end = node.end;
    const std::vector<u32>& examined = ctx_.examined;
    const std::size_t batch = kHistBudget / kMaxBins;
    const bool sparse = end - begin < kSparseWalk;
    const std::uint8_t* bins = ctx_.ws.bins();
    const std::size_t rs = ctx_.ws.row_bytes();
    const std::size_t nf = ctx_.ws.features();
    u64* hist = base_;
    u64* masks = masks_.data();
    for (std::size_t first = 0; first < examined.size(); first += batch) {
        const std::size_t nb = std::min(batch, examined.size() - first);
        const u32* fs = examined.data() + first;
        if (sparse) {
            for (u32 p = begin; p < end; ++p) {
                const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
                const u64 add = WorkingSet::tag_add(WorkingSet::tag_of(row, nf));
                for (std::size_t s = 0; s < nb; ++s) {
                    const std::size_t b = row[fs[s]];
                    hist[s * kMaxBins + b] += add;
                    masks[s * 4 + (b >> 6)] |= u64{1} << (b & 63);
                }
            }
        } else {
            count_rows(ctx_.ws, begin, end, fs, nb, hist);
        }
        for (std::size_t s = 0; s < nb; ++s) walk_counts(s, fs[s], node.rows, sparse, best);
    }
    cand_.score(best);
}

// The dense walk for count histograms. Candidates keep their integer left
// counts; the gain kernel turns them into the doubles the weight sums would
// have given. Clears the feature's histogram.
void CountSearch::walk_counts(std::size_t s, std::size_t f, u64 n, bool sparse,
                              split::BestSplit& best) {
    const std::size_t n_bins = ctx_.hist.n_bins[f];
    const std::size_t last = n_bins - 2;
    u64* h = base_ + s * kMaxBins;
    u64* mask = masks_.data() + s * 4;
    const u64 side = min_side(ctx_.min_leaf);
    if (n < 2 * side) {
        if (sparse) {
            split::for_each_bit_clearing(mask, 4, [&](std::size_t b) { h[b] = 0; });
        } else {
            std::fill_n(h, n_bins, u64{0});
        }
        return;
    }
    const u64 lo = side;
    const u64 hi = n - side;
    cand_.make_room(best);
    u64* pk = cand_.next_packed();
    u64* bins = cand_.next_bins();
    std::size_t nc = 0;
    if (sparse) {
        u64 sum = 0;
        split::for_each_bit_clearing(mask, 4, [&](std::size_t b) __attribute__((always_inline)) {
            if (b <= last) {
                sum += h[b];
                const u64 nl = sum & 0xFFFFFFFFu;
                pk[nc] = sum;
                bins[nc] = b;
                nc += (nl >= lo) & (nl <= hi);
            }
            h[b] = 0;
        });
    } else {
        nc = split::walk_bins(h, last, n_bins, lo, hi, pk, bins);
    }
    cand_.take(f, nc);
}

void CountSearch::search_kept(u64 n, KeptHistograms& kept, u32 id, split::BestSplit& best) {
    const u64 side = min_side(ctx_.min_leaf);
    if (n < 2 * side) return;
    for (const u32 f : ctx_.examined) {
        cand_.make_room(best);
        const std::size_t nc = split::walk_bins(kept.feature(id, f), ctx_.hist.n_bins[f] - 2, 0,
                                                side, n - side, cand_.next_packed(),
                                                cand_.next_bins());
        cand_.take(f, nc);
    }
    cand_.score(best);
}

void KeptHistograms::configure(const std::vector<u32>& layout, std::size_t features,
                               u64 min_split, std::optional<u64> max_depth) {
    layout_ = layout;
    at_.assign(features, 0);
    for (std::size_t s = 0; s < layout_.size(); ++s) at_[layout_[s]] = static_cast<u32>(s);
    size_ = layout_.size() * kMaxBins + 4;
    max_ = kKeptHistBudget / (size_ * sizeof(u64));
    enabled_ = max_ >= 4;
    min_split_ = min_split;
    max_depth_ = max_depth;
}

u32 KeptHistograms::acquire() {
    u32 id;
    if (!free_.empty()) {
        id = free_.back();
        free_.pop_back();
        std::fill(kept_[id].begin(), kept_[id].end(), u64{0});
    } else if (kept_.size() < max_) {
        id = static_cast<u32>(kept_.size());
        kept_.emplace_back(size_, u64{0});
    } else {
        return kNone;
    }
    return id;
}

void KeptHistograms::fill(u32 id, const SearchContext& ctx, u32 begin, u32 end) {
    count_rows(ctx.ws, begin, end, layout_.data(), layout_.size(), data(id));
}

KeptHistograms::Children KeptHistograms::hand_down(u32 own, const SearchContext& ctx,
                                                   const NodeRange& node, u32 mid, u64 nl, u64 nr,
                                                   u64 child_depth) {
    Children out{kNone, kNone};
    if (own == kNone) return out;
    const u64 sl = mid - node.begin;
    const u64 sr = node.end - mid;
    const bool left_small = sl <= sr;
    const u64 n_small = left_small ? sl : sr;
    const u64 n_large = left_small ? sr : sl;
    const u32 small = n_large >= kSubtractMin && wants(n_large, left_small ? nr : nl, child_depth)
                          ? acquire()
                          : kNone;
    if (small == kNone) {
        release(own);
        return out;
    }
    u64* hs = data(small);
    u64* hl = data(own);
    const std::size_t nb = layout_.size();
    count_rows(ctx.ws, left_small ? node.begin : mid, left_small ? mid : node.end,
               layout_.data(), nb, hs);
    split::subtract_counts(hl, hs, nb * kMaxBins);
    u32 small_hist = small;
    if (!wants(n_small, left_small ? nl : nr, child_depth)) {
        release(small);
        small_hist = kNone;
    }
    (left_small ? out.left : out.right) = small_hist;
    (left_small ? out.right : out.left) = own;
    return out;
}

}  // namespace tw::grow
