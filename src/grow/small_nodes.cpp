// Searches of tiny nodes: per feature the rows' (bin, position) keys are
// sorted, which groups each bin's rows in node order; each group's sums are
// formed over its rows in that order and added whole to the left totals,
// exactly as a histogram would, without touching 256-bin tables. The
// admissible candidates of all features are collected first and their
// gains computed together by the vector kernels, then scanned in feature
// and bin order.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "grow/hist_search.hpp"
#include "split/kernels.hpp"

namespace tw::grow {

// Every tiny regression node of merged slots fits the kernel of
// search_sums_as, so search_as sees regression slots of one entry each.
static_assert(kTinyRegression <= split::kTinySlots);

namespace {

// The (bin << 8 | position) keys of slots begin..begin+n-1 for feature f,
// in ascending order into sorted; n <= kWidth, and keys[n..kWidth) must
// hold the all-ones key. Key is 16-bit for byte codes, 32-bit for wide ones.
template <u32 kWidth, class Code, class Key>
__attribute__((always_inline)) inline void sort_keys_of(const std::uint8_t* bins, std::size_t rs,
                                                        u32 begin, u32 n, u32 f, Key* keys,
                                                        Key* sorted) {
    for (u32 i = 0; i < n; ++i) {
        keys[i] = static_cast<Key>(
            (code_at<Code>(bins + static_cast<std::size_t>(begin + i) * rs, f) << 8) | i);
    }
    // Keys are distinct, so each one's rank is the number of smaller keys:
    // a branch-free sort for a handful of keys. All ranks grow at once, one
    // key at a time, in 16-byte vectors (a lane's comparison is -1 where it
    // holds a larger key); the all-ones keys past n are larger than every
    // real key and add to no rank that is read.
    constexpr std::size_t kLanes = 16 / sizeof(Key);
    constexpr std::size_t kParts = kWidth / kLanes;
    typedef Key Keys __attribute__((vector_size(16)));
    Keys all[kParts];
    Keys rank[kParts];
    std::memcpy(all, keys, sizeof all);
    for (std::size_t v = 0; v < kParts; ++v) rank[v] = Keys{};
    for (u32 j = 0; j < n; ++j) {
        const Key k = keys[j];
        for (std::size_t v = 0; v < kParts; ++v) rank[v] -= static_cast<Keys>(all[v] > k);
    }
    Key ranks[kWidth];
    std::memcpy(ranks, rank, sizeof ranks);
    for (u32 i = 0; i < n; ++i) sorted[ranks[i]] = keys[i];
}

// sort_keys_of over the narrowest key vector holding n keys.
template <class Code, class Key>
__attribute__((always_inline)) inline void sort_keys(const std::uint8_t* bins, std::size_t rs,
                                                     u32 begin, u32 n, u32 f, Key* keys,
                                                     Key* sorted) {
    if (n <= 8) {
        sort_keys_of<8, Code>(bins, rs, begin, n, f, keys, sorted);
    } else if (n <= 16) {
        sort_keys_of<16, Code>(bins, rs, begin, n, f, keys, sorted);
    } else {
        sort_keys_of<kTinyNode, Code>(bins, rs, begin, n, f, keys, sorted);
    }
}

}  // namespace

// Scores the count collected candidates and offers them in order.
void TinySearch::flush(std::size_t& count, std::size_t kn, split::BestSplit& best,
                       bool gini_counts) {
    if (count == 0) return;
    if (gini_counts) {
        cand_.score_gini_counts(ctx_.node.parent, count, kn);
    } else {
        cand_.score(ctx_.node.parent, count, kn);
    }
    const std::size_t j = Candidates::first_best(cand_.gain.data(), count, best.gain);
    if (j < count) {
        best.take(cand_.gain[j], cand_.feature[j], cand_.bin[j]);
        best.above = cand_.above_of(j);
    }
    count = 0;
}

void TinySearch::search(const NodeRange& node, split::BestSplit& best) {
    using u8 = std::uint8_t;
    using u16 = std::uint16_t;
    const bool wide = ctx_.ws.wide();
    if (!ctx_.ws.classification() && ctx_.ws.merged() &&
        node.end - node.begin <= split::kTinySlots) {
        wide ? search_sums_as<u16>(node, best) : search_sums_as<u8>(node, best);
    } else if (!ctx_.ws.classification()) {
        wide ? search_as<Kind::kRegression, u16>(node, best)
             : search_as<Kind::kRegression, u8>(node, best);
    } else if (scores_gini_counts(ctx_.ws, ctx_.node.parent.criterion)) {
        if (node.end - node.begin <= split::kTinySlots) {
            wide ? search_gini_as<u16>(node, best) : search_gini_as<u8>(node, best);
        } else {
            wide ? search_as<Kind::kGiniCounts, u16>(node, best)
                 : search_as<Kind::kGiniCounts, u8>(node, best);
        }
    } else {
        wide ? search_as<Kind::kClasses, u16>(node, best)
             : search_as<Kind::kClasses, u8>(node, best);
    }
}

template <TinySearch::Kind kKind, class Code>
void TinySearch::search_as(const NodeRange& node, split::BestSplit& best) {
    // Keys of (code << 8 | position): 16 bits for byte codes, 32 for wide.
    using Key = std::conditional_t<sizeof(Code) == 1, std::uint16_t, std::uint32_t>;
    constexpr bool kClasses = kKind != Kind::kRegression;
    constexpr bool kGini = kKind == Kind::kGiniCounts;
    const u32 begin = node.begin;
    const u32 n = node.end - node.begin;  // slots
    const u64 rows = node.rows;
    const bool merged = ctx_.ws.merged();
    const std::vector<u32>& classes = ctx_.node.classes;
    const std::size_t kn = kClasses ? classes.size() : 0;
    const double weight = ctx_.node.parent.weight;
    const u64 min_leaf = ctx_.min_leaf;
    const split::ClassRecord* crec = ctx_.ws.class_records();
    const split::RegRecord* rrec = ctx_.ws.reg_records();
    const std::size_t* n_bins = ctx_.hist.n_bins.data();
    const std::uint8_t* bins = ctx_.ws.bins();
    const std::size_t rs = ctx_.ws.row_bytes();
    double* running = cand_.running.data();
    u32* class_slot = class_slot_.data();
    // The candidates' arrays in locals (flush scores them in place): the
    // walk's stores cannot move them, so they are not reloaded per
    // candidate.
    double* const cand_wl = cand_.wl.data();
    double* const cand_l1 = cand_.l1.data();
    double* const cand_l2 = cand_.l2.data();
    double* const cand_left = cand_.left.data();
    u32* const cand_feature = cand_.feature.data();
    std::uint16_t* const cand_bin = cand_.bin.data();
    u32* const cand_above = cand_.above.data();
    constexpr u32 kNoAbove = Candidates::kNoAbove;
    // Unused key slots hold all ones, above every real key.
    alignas(64) Key keys[kTinyNode];
    Key sorted[kTinyNode];
    std::fill_n(keys, kTinyNode, static_cast<Key>(~Key{0}));
    double group[kTinyNode];
    if constexpr (kClasses) {
        for (std::size_t i = 0; i < kn; ++i) {
            class_slot[classes[i]] = static_cast<u32>(i);
            cand_.node_total[i] = ctx_.node.class_total[classes[i]];
        }
    }
    // Gini counts: each slot's entries and node class, read once for all
    // the features.
    double slot_m[kTinyNode];
    std::uint8_t slot_class[kTinyNode];
    if constexpr (kGini) {
        for (u32 i = 0; i < n; ++i) {
            const split::ClassRecord& r = crec[begin + i];
            slot_m[i] = r.w;
            slot_class[i] = static_cast<std::uint8_t>(class_slot[r.cls]);
        }
    }
    std::size_t nc = 0;
    for (u32 f : ctx_.examined) {
        sort_keys<Code>(bins, rs, begin, n, f, keys, sorted);
        const std::size_t last = n_bins[f] - 2;
        u64 nl = 0;
        // Gini on whole counts: l1 and l2 are the left sums of squared and
        // cross counts (Candidates::score_gini_counts).
        double wl = 0.0, l1 = 0.0, l2 = 0.0;
        for (std::size_t i = 0; i < kn; ++i) running[i] = 0.0;
        // Keeps the left sums so far as the candidate of bin b, the slots'
        // next code being the one at sorted[next] (none past the last).
        // write fills candidate nc without keeping it; keep also moves past it.
        const auto write = [&](std::size_t b, u32 next) __attribute__((always_inline)) {
            cand_above[nc] = next < n ? static_cast<u32>(sorted[next] >> 8) : kNoAbove;
            cand_wl[nc] = wl;
            if constexpr (kClasses && !kGini) {
                std::copy_n(running, kn, cand_left + nc * kn);
            } else {
                cand_l1[nc] = l1;
                cand_l2[nc] = l2;
            }
            cand_feature[nc] = f;
            cand_bin[nc] = static_cast<std::uint16_t>(b);
        };
        const auto keep = [&](std::size_t b, u32 next) __attribute__((always_inline)) {
            write(b, next);
            if (++nc == kMaxBins) flush(nc, kn, best, kGini);
        };
        if constexpr (!kClasses || kGini) {
            // Every bin holding one slot (the common case in tiny nodes):
            // each slot's terms are added to the left sums as they are. A
            // group of one adds the same (its sums are formed from zero,
            // and the left sums, starting at +0, are never -0), bit for bit.
            // Gini counts take every node this way: a slot sharing its bin
            // with the next one is written but not kept, the bin's
            // candidate being that of its last slot (the group's terms
            // added one by one, as the grouped walk adds them).
            bool ties = false;
            if constexpr (!kGini) {
                for (u32 i = 0; i + 1 < n; ++i) ties |= (sorted[i] >> 8) == (sorted[i + 1] >> 8);
            }
            if (!ties) {
                // The last slot leaves no entries on the right, and a bin
                // past the last candidate bin holds the last slots: both
                // are never kept. A gini candidate is written, and kept by
                // moving past it, without a branch on its test.
                for (u32 i = 0; i + 1 < n; ++i) {
                    const std::size_t b = sorted[i] >> 8;
                    if constexpr (kGini) {
                        const u32 p = sorted[i] & 0xFF;
                        const double m = slot_m[p];
                        const u32 c = slot_class[p];
                        l1 += m * (2.0 * running[c] + m);
                        l2 += cand_.node_total[c] * m;
                        running[c] += m;
                        nl += split::count_of(m);  // merged slots
                        wl += m;
                    } else {
                        // Regression slots here are unmerged (tiny merged
                        // nodes take search_sums_as): one entry each.
                        const split::RegRecord& r = rrec[begin + (sorted[i] & 0xFF)];
                        nl += 1;
                        wl += r.w;
                        l1 += r.wy;
                        l2 += r.ywy;
                    }
                    if constexpr (kGini) {
                        write(b, i + 1);
                        const bool closes = (sorted[i + 1] >> 8) != b;
                        nc += closes & (b <= last) & split::admissible(nl, rows, wl, weight, min_leaf);
                        if (nc == kMaxBins) flush(nc, kn, best, kGini);
                    } else if (b <= last && split::admissible(nl, rows, wl, weight, min_leaf)) {
                        // Regression candidates are kept by a branch: most
                        // slots' sums pass, and a store of every one costs more.
                        keep(b, i + 1);
                    }
                }
                continue;
            }
        }
        for (u32 i = 0; i < n;) {
            const std::size_t b = sorted[i] >> 8;
            if (b > last) break;
            u32 j = i;
            double bw = 0.0;
            if constexpr (kGini) {
                const double* tot = cand_.node_total.data();
                for (; j < n && (sorted[j] >> 8) == b; ++j) {
                    const u32 p = sorted[j] & 0xFF;
                    const double m = slot_m[p];
                    const u32 c = slot_class[p];
                    bw += m;
                    l1 += m * (2.0 * running[c] + m);
                    l2 += tot[c] * m;
                    running[c] += m;
                }
            } else if constexpr (kClasses) {
                for (std::size_t c = 0; c < kn; ++c) group[c] = 0.0;
                for (; j < n && (sorted[j] >> 8) == b; ++j) {
                    const split::ClassRecord& r = crec[begin + (sorted[j] & 0xFF)];
                    bw += r.w;
                    group[class_slot[r.cls]] += r.w;
                }
                for (std::size_t c = 0; c < kn; ++c) running[c] += group[c];
            } else {
                double b1 = 0.0, b2 = 0.0;
                for (; j < n && (sorted[j] >> 8) == b; ++j) {
                    const split::RegRecord& r = rrec[begin + (sorted[j] & 0xFF)];
                    bw += r.w;
                    b1 += r.wy;
                    b2 += r.ywy;
                }
                l1 += b1;
                l2 += b2;
            }
            // Merged slots: the group's weight is its number of entries.
            nl += merged ? split::count_of(bw) : j - i;
            wl += bw;
            i = j;
            if (split::admissible(nl, rows, wl, weight, min_leaf)) keep(b, j);
        }
    }
    flush(nc, kn, best, kGini);
}

// Two entries (regression): a feature is a candidate when their bins
// differ, with the entry of the lower bin alone on the left. The left sums
// are formed exactly as the general walk forms them (a group sum added to
// zero totals).
void TinySearch::search_pair(const NodeRange& node, split::BestSplit& best) {
    if (ctx_.ws.wide()) {
        search_pair_as<std::uint16_t>(node, best);
    } else {
        search_pair_as<std::uint8_t>(node, best);
    }
}

template <class Code>
void TinySearch::search_pair_as(const NodeRange& node, split::BestSplit& best) {
    const u32 begin = node.begin;
    const std::uint8_t* row0 = ctx_.ws.row(begin);
    const std::uint8_t* row1 = row0 + ctx_.ws.row_bytes();
    if (ctx_.ws.merged()) {
        // Both candidates of a feature part the two rows alike, and their
        // gains are one, computed once: the first separating feature wins,
        // the slot of its lower code on the left.
        for (u32 f : ctx_.examined) {
            const std::size_t b0 = code_at<Code>(row0, f);
            const std::size_t b1 = code_at<Code>(row1, f);
            if (b0 == b1) continue;
            const split::RegRecord& r = ctx_.ws.reg_records()[begin + (b0 < b1 ? 0 : 1)];
            if (!split::admissible(split::count_of(r.w), node.rows, r.w, ctx_.node.parent.weight,
                                   ctx_.min_leaf)) {
                return;
            }
            const double gain = split::sums_gain(ctx_.node.parent, r.w, r.wy);
            if (gain > best.gain) {
                best.take(gain, f, std::min(b0, b1));
                best.above = std::max(b0, b1);
            }
            return;
        }
        return;
    }
    // Every feature that separates the two slots makes the same split, one
    // slot or the other on the left, whose gain depends on that side alone:
    // only the first feature of each side can win (the first of equal gains
    // does), so at most two candidates are scored.
    constexpr std::size_t kNone = ~std::size_t{0};
    std::size_t first[2] = {kNone, kNone};  // by the slot sent left
    std::size_t bin[2] = {0, 0};
    std::size_t upper[2] = {0, 0};  // the other slot's bin
    std::size_t order[2];
    std::size_t sides = 0;
    for (u32 f : ctx_.examined) {
        const std::size_t b0 = code_at<Code>(row0, f);
        const std::size_t b1 = code_at<Code>(row1, f);
        if (b0 == b1) continue;
        const std::size_t side = b0 < b1 ? 0 : 1;
        if (first[side] != kNone) continue;
        first[side] = f;
        bin[side] = b0 < b1 ? b0 : b1;
        upper[side] = b0 < b1 ? b1 : b0;
        order[sides++] = side;
        if (sides == 2) break;
    }
    const double weight = ctx_.node.parent.weight;
    std::size_t nc = 0;
    for (std::size_t k = 0; k < sides; ++k) {
        const std::size_t side = order[k];
        const split::RegRecord& r = ctx_.ws.reg_records()[begin + side];
        const double wl = 0.0 + (0.0 + r.w);
        // Unmerged slots (merged pairs returned above): one entry each.
        if (!split::admissible(1, node.rows, wl, weight, ctx_.min_leaf)) continue;
        cand_.wl[nc] = wl;
        cand_.l1[nc] = 0.0 + (0.0 + r.wy);
        cand_.l2[nc] = 0.0 + (0.0 + r.ywy);
        cand_.feature[nc] = static_cast<u32>(first[side]);
        cand_.bin[nc] = static_cast<std::uint16_t>(bin[side]);
        cand_.above[nc] = static_cast<u32>(upper[side]);
        ++nc;
    }
    flush(nc, 0, best);
}

// Merged slots: every slot's code is a candidate last code of the left
// side, scored with its left sums by one kernel call for a batch of
// features, in order, the first of equal gains kept. The winner's next
// code above is found once, at the end.
template <class Code, class Kernel>
void TinySearch::search_code_batches(const NodeRange& node, split::BestSplit& best,
                                     Kernel kernel) {
    constexpr std::size_t kSlots = split::kTinySlots;
    const u32 n = node.end - node.begin;
    const std::uint8_t* row0 = ctx_.ws.row(node.begin);
    const std::size_t rs = ctx_.ws.row_bytes();
    const std::vector<u32>& examined = ctx_.examined;
    constexpr std::size_t kBatch = 16;
    alignas(32) double code[kBatch * kSlots];
    // Codes past the last slot up to a whole vector read as +inf.
    const u32 padded = (n + 3) & ~3u;
    bool won = false;
    for (std::size_t first = 0; first < examined.size(); first += kBatch) {
        const std::size_t nb = std::min(kBatch, examined.size() - first);
        for (std::size_t k = 0; k < nb; ++k) {
            const std::uint8_t* at = row0 + sizeof(Code) * examined[first + k];
            double* to = code + k * kSlots;
            for (u32 i = 0; i < n; ++i) to[i] = static_cast<double>(code_at<Code>(at + i * rs, 0));
            for (u32 i = n; i < padded; ++i) to[i] = std::numeric_limits<double>::infinity();
        }
        const split::TinyBest t = kernel(code, nb, best.gain);
        if (t.feature < nb) {
            best.take(t.gain, examined[first + t.feature], t.code);
            won = true;
        }
    }
    if (!won) return;
    // Without a branch on the codes: the side of a code is unpredictable.
    std::size_t above = split::BestSplit::kUnknown;
    for (u32 i = 0; i < n; ++i) {
        const std::size_t c = code_at<Code>(row0 + i * rs, best.feature);
        above = std::min(above, c > best.bin ? c : split::BestSplit::kUnknown);
    }
    best.above = above;
}

template <class Code>
void TinySearch::search_sums_as(const NodeRange& node, split::BestSplit& best) {
    const u32 n = node.end - node.begin;
    const split::RegRecord* rec = ctx_.ws.reg_records() + node.begin;
    alignas(32) double w[split::kTinySlots], wy[split::kTinySlots];
    for (u32 i = 0; i < n; ++i) {
        w[i] = rec[i].w;
        wy[i] = rec[i].wy;
    }
    const double least = static_cast<double>(std::max<u64>(ctx_.min_leaf, 1));
    search_code_batches<Code>(node, best, [&](const double* code, std::size_t nb, double than) {
        return split::tiny_sums_best(ctx_.node.parent, code, nb, w, wy, n, least, than);
    });
}

// Gini counts: each slot's entries, class and class total, padded with
// empty slots of no class to a whole vector.
template <class Code>
void TinySearch::search_gini_as(const NodeRange& node, split::BestSplit& best) {
    constexpr std::size_t kSlots = split::kTinySlots;
    const u32 n = node.end - node.begin;
    const split::ClassRecord* rec = ctx_.ws.class_records() + node.begin;
    const double* class_total = ctx_.node.class_total.data();
    alignas(32) double m[kSlots], cls[kSlots], tm[kSlots];
    for (u32 i = 0; i < kSlots; ++i) {
        m[i] = i < n ? rec[i].w : 0.0;
        cls[i] = i < n ? static_cast<double>(rec[i].cls) : -1.0;
        tm[i] = i < n ? class_total[rec[i].cls] * rec[i].w : 0.0;
    }
    // Score_gini_counts' sum, in the node's class order.
    double total_squares = 0.0;
    for (u32 c : ctx_.node.classes) total_squares += class_total[c] * class_total[c];
    const double least = static_cast<double>(std::max<u64>(ctx_.min_leaf, 1));
    search_code_batches<Code>(node, best, [&](const double* code, std::size_t nb, double than) {
        return split::tiny_gini_best(ctx_.node.parent, total_squares, code, nb, m, cls, tm, n,
                                     least, than);
    });
}

// Count mode: the groups' packed counts are summed in integers, and the
// candidates of all features are scored together by the count kernel.
void TinySearch::search_counts(const NodeRange& node, split::BestSplit& best) {
    const u32 begin = node.begin;
    const u32 n = node.end - node.begin;  // slots
    const u64 side = std::max<u64>(ctx_.min_leaf, 1);
    if (node.rows < 2 * side) return;
    const u64 lo = side;
    const u64 hi = node.rows - side;
    const std::uint8_t* slot_bins = ctx_.ws.bins();
    const std::size_t rs = ctx_.ws.row_bytes();
    alignas(32) std::uint16_t keys[kTinyNode];
    std::uint16_t sorted[kTinyNode];
    std::fill_n(keys, kTinyNode, std::uint16_t{0xFFFF});
    u64 adds[kTinyNode];
    for (u32 i = 0; i < n; ++i) adds[i] = WorkingSet::tag_add(ctx_.ws.tag(begin + i));
    for (u32 f : ctx_.examined) {
        counted_.make_room(best);
        u64* packed = counted_.next_packed();
        u64* bins = counted_.next_bins();
        std::size_t nc = 0;
        sort_keys<std::uint8_t>(slot_bins, rs, begin, n, f, keys, sorted);
        const std::size_t last = ctx_.hist.n_bins[f] - 2;
        u64 sum = 0;
        for (u32 i = 0; i < n;) {
            const std::size_t b = sorted[i] >> 8;
            if (b > last) break;
            for (; i < n && (sorted[i] >> 8) == b; ++i) sum += adds[sorted[i] & 0xFF];
            const u64 nl = sum & 0xFFFFFFFFu;
            packed[nc] = sum;
            bins[nc] = b;
            nc += (nl >= lo) & (nl <= hi);
        }
        counted_.take(f, nc);
    }
    counted_.score(best);
}

}  // namespace tw::grow
