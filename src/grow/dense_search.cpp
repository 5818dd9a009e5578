// Dense search: per-bin records accumulated over the node's rows for a
// batch of features at a time, then a walk over each feature's occupied
// bins; and the scoring of double-valued candidates.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "grow/hist_search.hpp"
#include "split/kernels.hpp"

namespace tw::grow {
namespace {

using split::load;
using split::store;
using split::v2d;

// Nodes with fewer rows mark occupied bins while accumulating.
constexpr u64 kMarkLimit = 128;
// Gini counts: each slot of node class c (see search) adds the tag
//     kSlotTag + 2^c
// to its bin's second sum. A sum below 3 * kSlotTag is a bin of one or two
// slots (2^c stays below 2^31, so two slots' bits stay below kSlotTag): one
// slot leaves the bit of its class; two leave their classes' bits, or the
// next bit up when they share a class. Those bins are walked in O(1) rather
// than over every class. Bins of more slots have larger sums (their sum is
// exact below 2^19 slots and never rounds below 3 * kSlotTag).
constexpr double kSlotTag = 17179869184.0;  // 2^34
struct SlotTags {
    std::array<double, 32> of{};
    constexpr SlotTags() {
        for (std::size_t c = 0; c < of.size(); ++c) {
            of[c] = kSlotTag + static_cast<double>(std::uint64_t{1} << c);
        }
    }
};
constexpr SlotTags kSlotTags{};
static_assert(kDenseClassLimit <= 32, "two slots' class bits stay below the slot tag");

}  // namespace

void Candidates::allocate(bool classification, std::size_t n_classes, std::size_t per_candidate,
                          std::size_t capacity) {
    bin.assign(capacity + 4, 0);
    feature.assign(capacity + 4, 0);
    above.assign(capacity + 4, 0);
    wl.assign(capacity + 4, 0.0);
    gain.assign(capacity + 8, 0.0);
    if (classification) {
        left.assign((capacity + 4) * per_candidate, 0.0);
        node_total.assign(n_classes, 0.0);
        running.assign(n_classes, 0.0);
    }
    l1.assign(capacity + 4, 0.0);
    l2.assign(capacity + 4, 0.0);
}

void Candidates::score_gini_counts(const split::ParentTotals& parent, std::size_t count,
                                   std::size_t kn) {
    const std::size_t padded = (count + 3) & ~std::size_t{3};
    for (std::size_t j = count; j < padded; ++j) {
        wl[j] = wl[count - 1];
        l1[j] = l1[count - 1];
        l2[j] = l2[count - 1];
    }
    double total_squares = 0.0;
    for (std::size_t i = 0; i < kn; ++i) total_squares += node_total[i] * node_total[i];
    split::gini_count_gains(parent, total_squares, wl.data(), l1.data(), l2.data(), gain.data(),
                            padded);
}

void Candidates::score(const split::ParentTotals& parent, std::size_t count, std::size_t kn) {
    const std::size_t padded = (count + 3) & ~std::size_t{3};
    for (std::size_t j = count; j < padded; ++j) {
        wl[j] = wl[count - 1];
        if (kn != 0) {
            std::copy_n(left.data() + (count - 1) * kn, kn, left.data() + j * kn);
        } else {
            l1[j] = l1[count - 1];
            l2[j] = l2[count - 1];
        }
    }
    if (kn != 0) {
        split::class_gains(parent, node_total.data(), kn, wl.data(), left.data(), gain.data(),
                           padded);
    } else if (sums_only) {
        split::regression_gains_of_sums(parent, wl.data(), l1.data(), gain.data(), padded);
    } else {
        split::regression_gains(parent, wl.data(), l1.data(), l2.data(), gain.data(), padded);
    }
}

// Per-bin record: weight, row count (exact as a double), then the
// regression sums or the class sums; rounded up to whole 16-byte pairs.
// Regression on merged slots keeps the weight (which is the count) and the
// w*y sum alone, its candidates being scored without y*w*y sums. Gini
// counts keep the slot tags (kSlotTag) where the row count would be, the
// weight being the count.
bool DenseSearch::allocate(std::size_t most_examined) {
    const WorkingSet& ws = ctx_.ws;
    sums_only_ = scores_sums_only(ws);
    gini_counts_ = scores_gini_counts(ws, ctx_.node.parent.criterion);
    // Merged slots: the weight is the row count.
    count_at_ = sums_only_ || gini_counts_ ? 0 : 1;
    if (sums_only_) {
        stride_ = 2;
    } else if (!ws.classification()) {
        stride_ = 4;
    } else if (ws.n_classes() <= kDenseClassLimit) {
        stride_ = (2 + ws.n_classes() + 1) & ~std::size_t{1};
    } else {
        return false;
    }
    cap_ = ctx_.hist.capacity;
    words_ = cap_ / 64;
    // A pass holds a batch of the node's features: no more than it examines.
    batch_ = std::min(std::max<std::size_t>(1, kDenseBudget / (cap_ * stride_)),
                      std::max<std::size_t>(1, most_examined));
    sums_.assign(batch_ * cap_ * stride_ + 8, 0.0);
    base_ = sums_.data();
    while (reinterpret_cast<std::uintptr_t>(base_) % 64 != 0) ++base_;
    masks_.assign(batch_ * words_, 0);
    // Histograms of more than 1024 bins mark their occupied words too, so
    // that walks skip the empty ones (a node holds few of 65536 bins).
    summary_words_ = words_ > 16 ? (words_ + 63) / 64 : 0;
    summary_.assign(batch_ * summary_words_, 0);
    if (gini_counts_) {
        node_class_.assign(ws.n_classes(), 0);
        all_running_.assign(ws.n_classes() + 1, 0.0);
        all_total_.assign(ws.n_classes() + 1, 0.0);
        occupied_.assign(cap_, 0);
    }
    return true;
}

// All examined features share passes over the node's rows, a batch at a
// time; each bin accumulates its rows in node order.
void DenseSearch::search(const NodeRange& node, split::BestSplit& best) {
    const u32 begin = node.begin;
    const u32 end = node.end;
    const u64 n = node.rows;
    const std::vector<u32>& examined = ctx_.examined;
    const std::size_t batch = batch_;
    // Small nodes mark occupied bins while accumulating; large ones find
    // them afterwards by scanning the counts, which keeps the shared mask
    // words out of the per-row dependency chain. With wide codes a node
    // of fewer rows than a quarter of the bins would scan mostly empty
    // ones: they mark.
    const bool wide = ctx_.ws.wide();
    if (gini_counts_) {
        // Records hold the node's classes alone, numbered in ascending
        // order of their tree classes: a node of few classes accumulates
        // into narrow records (one cache line for up to six), and its
        // walks read no absent class. The buffer is all zeros between
        // nodes (walks clear what they read), whatever the stride was.
        const std::vector<u32>& classes = ctx_.node.classes;
        for (std::size_t i = 0; i < classes.size(); ++i) node_class_[classes[i]] = static_cast<u32>(i);
        stride_ = (2 + classes.size() + 1) & ~std::size_t{1};
    }
    const bool mark = n < kMarkLimit || (wide && n < ctx_.hist.capacity / 4);
    marked_ = mark;
    // Two classes in the tree, both present: their sums are the pair after
    // the weight and count.
    const Walk walk = sums_only_                    ? Walk::kSums
                      : !ctx_.ws.classification() ? Walk::kRegression
                      : ctx_.node.classes.size() == 2 && ctx_.ws.n_classes() == 2
                          ? Walk::kTwoClasses
                      : gini_counts_ ? Walk::kGiniCounts
                                     : Walk::kClasses;
    for (std::size_t first = 0; first < examined.size(); first += batch) {
        const std::size_t nb = std::min(batch, examined.size() - first);
        const u32* fs = examined.data() + first;
        // Merged slots count their entries: a record's weight.
        const auto accumulate_as = [&](const auto* rec, auto add) {
            if (wide) {
                if (summary_words_ != 0) {
                    accumulate<std::uint16_t, true>(begin, end, fs, nb, mark, rec, add);
                } else {
                    accumulate<std::uint16_t, false>(begin, end, fs, nb, mark, rec, add);
                }
            } else {
                accumulate<std::uint8_t, false>(begin, end, fs, nb, mark, rec, add);
            }
        };
        if (gini_counts_) {
            // The weight is the bin's entries; the second sum tags its slots.
            const u32* const node_class = node_class_.data();
            accumulate_as(ctx_.ws.class_records(), [node_class](double* h, const split::ClassRecord& r) {
                const u32 c = node_class[r.cls];
                store(h, load<v2d>(h) + v2d{r.w, kSlotTags.of[c]});
                h[2 + c] += r.w;
            });
        } else if (ctx_.ws.classification() && ctx_.ws.merged()) {
            accumulate_as(ctx_.ws.class_records(), [](double* h, const split::ClassRecord& r) {
                store(h, load<v2d>(h) + v2d{r.w, r.w});
                h[2 + r.cls] += r.w;
            });
        } else if (ctx_.ws.classification()) {
            accumulate_as(ctx_.ws.class_records(), [](double* h, const split::ClassRecord& r) {
                store(h, load<v2d>(h) + v2d{r.w, 1.0});
                h[2 + r.cls] += r.w;
            });
        } else if (sums_only_) {
            accumulate_as(ctx_.ws.reg_records(), [](double* h, const split::RegRecord& r) {
                store(h, load<v2d>(h) + v2d{r.w, r.wy});
            });
        } else {
            // Two lanes at a time: each lane is its own IEEE sum.
            accumulate_as(ctx_.ws.reg_records(), [](double* h, const split::RegRecord& r) {
                store(h, load<v2d>(h) + v2d{r.w, 1.0});
                store(h + 2, load<v2d>(h + 2) + v2d{r.wy, r.ywy});
            });
        }
        for (std::size_t s = 0; s < nb; ++s) {
            switch (walk) {
                case Walk::kSums: walk_sums(s, fs[s], n, best); break;
                case Walk::kRegression: walk_feature<Walk::kRegression>(s, fs[s], n, best); break;
                case Walk::kTwoClasses: walk_feature<Walk::kTwoClasses>(s, fs[s], n, best); break;
                case Walk::kClasses: walk_feature<Walk::kClasses>(s, fs[s], n, best); break;
                case Walk::kGiniCounts: walk_feature<Walk::kGiniCounts>(s, fs[s], n, best); break;
            }
        }
    }
}

template <class Code, bool kSummary, class Rec, class Add>
void DenseSearch::accumulate(u32 begin, u32 end, const u32* fs, std::size_t nb, bool mark,
                             const Rec* rec, Add add) {
    const std::size_t stride = stride_;
    const std::size_t cap = cap_;
    const std::size_t words = words_;
    const std::size_t rs = ctx_.ws.row_bytes();
    const std::uint8_t* bins = ctx_.ws.bins();
    double* hsum = base_;
    u64* masks = masks_.data();
    u64* const summary = summary_.data();
    const std::size_t summary_words = summary_words_;
    // The rows lo..hi-1 of the chunk being added (in_stop_chunks), in node
    // order.
    u32 lo = begin, hi = end;
    // A batch of a few features: the batch's size is fixed at compile time,
    // so that its columns and histogram bases stay in registers across the
    // rows instead of being reloaded per feature. Marking wide codes sets
    // their summary bits too.
    const auto fixed = [&](auto batch, auto marking) {
        constexpr std::size_t kNb = decltype(batch)::value;
        constexpr bool kMark = decltype(marking)::value;
        std::size_t col[kNb];
        double* base[kNb];
        u64* mask[kNb];
        u64* summ[kNb];
        for (std::size_t s = 0; s < kNb; ++s) {
            col[s] = fs[s];
            base[s] = hsum + s * cap * stride;
            mask[s] = masks + s * words;
            summ[s] = summary + s * summary_words;
        }
        for (u32 p = lo; p < hi; ++p) {
            const Rec r = rec[p];
            const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
#pragma GCC unroll 8
            for (std::size_t s = 0; s < kNb; ++s) {
                const std::size_t b = code_at<Code>(row, col[s]);
                add(base[s] + b * stride, r);
                if constexpr (kMark) mask[s][b >> 6] |= u64{1} << (b & 63);
                if constexpr (kMark && kSummary) summ[s][b >> 12] |= u64{1} << ((b >> 6) & 63);
            }
        }
    };
    const auto dispatch = [&](auto marking) {
        switch (nb) {
            case 1: fixed(std::integral_constant<std::size_t, 1>{}, marking); return true;
            case 2: fixed(std::integral_constant<std::size_t, 2>{}, marking); return true;
            case 3: fixed(std::integral_constant<std::size_t, 3>{}, marking); return true;
            case 4: fixed(std::integral_constant<std::size_t, 4>{}, marking); return true;
            case 5: fixed(std::integral_constant<std::size_t, 5>{}, marking); return true;
            case 6: fixed(std::integral_constant<std::size_t, 6>{}, marking); return true;
            default: return false;
        }
    };
    in_stop_chunks(begin, end, [&](u32 first, u32 past) __attribute__((always_inline)) {
        lo = first;
        hi = past;
        const bool done = mark ? dispatch(std::true_type{}) : dispatch(std::false_type{});
        if (done) {
        } else if (mark) {
            for (u32 p = lo; p < hi; ++p) {
                const Rec r = rec[p];
                const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
                for (std::size_t s = 0; s < nb; ++s) {
                    const std::size_t b = code_at<Code>(row, fs[s]);
                    const std::size_t slot = s * cap + b;
                    add(hsum + slot * stride, r);
                    masks[s * words + (b >> 6)] |= u64{1} << (b & 63);
                    if constexpr (kSummary) {
                        summary[s * summary_words + (b >> 12)] |= u64{1} << ((b >> 6) & 63);
                    }
                }
            }
        } else {
            for (u32 p = lo; p < hi; ++p) {
                const Rec r = rec[p];
                const std::uint8_t* row = bins + static_cast<std::size_t>(p) * rs;
                for (std::size_t s = 0; s < nb; ++s) {
                    const std::size_t slot = s * cap + code_at<Code>(row, fs[s]);
                    add(hsum + slot * stride, r);
                }
            }
        }
    });
    if (mark) return;
    // The masks and summaries are clear (walks clear what they read); each
    // word is formed in a register, not by a chain of stores to one word,
    // and a word with a bin set sets its summary bit. A count is a whole
    // number, +0.0 when the bin is empty (sums of nonnegative weights are
    // never -0.0 or NaN), so its bits are tested as an integer.
    const std::size_t* n_bins = ctx_.hist.n_bins.data();
    const std::size_t at = count_at_;
    for (std::size_t s = 0; s < nb; ++s) {
        const std::size_t bins_f = n_bins[fs[s]];
        const double* h = hsum + s * cap * stride + at;
        u64* mask = masks + s * words;
        for (std::size_t first = 0; first < bins_f; first += 64) {
            const std::size_t last = std::min<std::size_t>(bins_f - first, 64);
            const auto occupied = [&](std::size_t j) {
                u64 v;
                std::memcpy(&v, h + (first + j) * stride, sizeof v);
                return static_cast<u64>(v != 0);
            };
            u64 bits = 0;
            std::size_t j = 0;
            for (; j + 4 <= last; j += 4) {
                const u64 four = occupied(j) | occupied(j + 1) << 1 | occupied(j + 2) << 2 |
                                 occupied(j + 3) << 3;
                bits |= four << j;
            }
            for (; j < last; ++j) bits |= occupied(j) << j;
            mask[first >> 6] = bits;
            if (summary_words != 0 && bits != 0) {
                summary[s * summary_words + (first >> 12)] |= u64{1} << ((first >> 6) & 63);
            }
        }
    }
}

// Regression on merged slots: a bin's weight is its entries, so the left
// weight is the left row count, exact, growing bin by bin. Each condition
// of split::admissible then holds from some candidate on or up to some
// candidate, and the admissible candidates are one run: the walk keeps the
// left sums at every occupied bin below the last, the run is cut out
// afterwards, and no test waits on the sums inside the walk. Clears the
// feature's histogram.
void DenseSearch::walk_sums(std::size_t s, std::size_t f, u64 n, split::BestSplit& best) {
    double* const hist = base_ + s * cap_ * 2;
    const std::size_t last = ctx_.hist.n_bins[f] - 2;  // last candidate bin
    double* const cand_wl = cand_.wl.data();
    double* const cand_l1 = cand_.l1.data();
    std::uint16_t* const cand_bin = cand_.bin.data();
    u64* const mask = masks_.data() + s * words_;
    v2d left = {0.0, 0.0};  // weight, w*y
    std::size_t count = 0;
    std::size_t top = split::BestSplit::kUnknown;  // the occupied bin above the last candidate
    const auto visit = [&](std::size_t b) __attribute__((always_inline)) {
        double* h = hist + b * 2;
        const v2d v = load<v2d>(h);
        store(h, v2d{0.0, 0.0});
        if (b <= last) {
            left += v;
            cand_wl[count] = left[0];
            cand_l1[count] = left[1];
            cand_bin[count] = static_cast<std::uint16_t>(b);
            ++count;
        } else {
            top = b;
        }
    };
    if (summary_words_ != 0) {
        split::for_each_bit_clearing(summary_.data() + s * summary_words_, mask, summary_words_,
                                     visit);
    } else {
        split::for_each_bit_clearing(mask, words_, visit);
    }
    const double weight = ctx_.node.parent.weight;
    const u64 min_leaf = ctx_.min_leaf;
    const auto admissible = [&](std::size_t j) {
        const double wl = cand_wl[j];
        return split::admissible(split::count_of(wl), n, wl, weight, min_leaf);
    };
    // The occupied bins stay listed past the run: the one after a
    // candidate is its node's next occupied bin.
    const std::size_t occupied = count;
    std::size_t lo = 0;
    while (lo < count && !admissible(lo)) ++lo;
    while (count > lo && !admissible(count - 1)) --count;
    if (count == lo) return;
    if (lo != 0) {
        count -= lo;
        std::memmove(cand_wl, cand_wl + lo, count * sizeof *cand_wl);
        std::memmove(cand_l1, cand_l1 + lo, count * sizeof *cand_l1);
        std::memmove(cand_bin, cand_bin + lo, (occupied - lo) * sizeof *cand_bin);
    }
    cand_.score(ctx_.node.parent, count, 0);
    const std::size_t j = Candidates::first_best(cand_.gain.data(), count, best.gain);
    if (j == count) return;
    best.take(cand_.gain[j], f, cand_bin[j]);
    best.above = j + 1 < occupied - lo ? cand_bin[j + 1] : top;
}

// Walks one feature's occupied bins in ascending order, adding each bin
// whole to the left totals; empty bins would repeat the previous candidate's
// gain and can never win. Clears the feature's histogram.
template <DenseSearch::Walk kWalk>
void DenseSearch::walk_feature(std::size_t s, std::size_t f, u64 n, split::BestSplit& best) {
    // The record layout in locals (fixed by the walk where it can be): the
    // walk's stores cannot move them, so they are not reloaded per bin.
    constexpr std::size_t kStride = kWalk == Walk::kRegression ? 4 : 0;
    const std::size_t stride = kStride != 0 ? kStride : stride_;
    const std::size_t count_at = kWalk == Walk::kGiniCounts    ? 0
                                 : kWalk == Walk::kRegression ? 1
                                                              : count_at_;
    double* const feature_hist = base_ + s * cap_ * stride;
    const std::size_t last = ctx_.hist.n_bins[f] - 2;  // last candidate bin
    const u32* classes = ctx_.node.classes.data();
    constexpr bool kRegression = kWalk == Walk::kRegression;
    const std::size_t kn = kRegression ? 0 : ctx_.node.classes.size();
    const double weight = ctx_.node.parent.weight;
    const u64 min_leaf = ctx_.min_leaf;
    u64* mask = masks_.data() + s * words_;
    u64 nl = 0;
    double wl = 0.0;
    // Left sums of w*y and y*(w*y) (regression) or of the two classes'
    // weights (two classes).
    v2d l12 = {0.0, 0.0};
    std::size_t nc = 0;
    if constexpr (!kRegression) {
        for (std::size_t i = 0; i < kn; ++i) {
            cand_.node_total[i] = ctx_.node.class_total[classes[i]];
        }
    }
    // Gini on whole counts: per candidate the sums over the node's classes
    // of left^2 (squares) and of total * left (cross), exact in doubles.
    // The records, left counts and totals are kept per node class (padded
    // to pairs with a zero class), and every class of a multi-slot record
    // is read by the vector kernel.
    double squares = 0.0, cross = 0.0;
    if constexpr (kWalk == Walk::kClasses) {
        for (std::size_t i = 0; i < kn; ++i) cand_.running[i] = 0.0;
    }
    const std::size_t pairs = (kn + 1) / 2;
    if constexpr (kWalk == Walk::kGiniCounts) {
        std::fill_n(all_running_.begin(), 2 * pairs, 0.0);
        std::copy_n(cand_.node_total.begin(), kn, all_total_.begin());
        all_total_[kn] = 0.0;
    }
    // Large gini-count nodes list their occupied bins first.
    bool walked = false;  // the register walk took the candidates
    std::size_t count = 0;
    u32* const occupied = occupied_.data();
    if constexpr (kWalk == Walk::kGiniCounts) {
        if (!marked_) {
            const auto collect = [&](std::size_t b) __attribute__((always_inline)) {
                occupied[count++] = static_cast<u32>(b);
            };
            if (summary_words_ != 0) {
                split::for_each_bit_clearing(summary_.data() + s * summary_words_, mask,
                                             summary_words_, collect);
            } else {
                split::for_each_bit_clearing(mask, words_, collect);
            }
        }
        // Bins holding several entries per pair of classes on average are
        // walked with the left counts of every class in registers.
        if (count != 0 && 4 * n >= count * pairs) {
            double* const hist = feature_hist;
            for (; count > 0 && occupied[count - 1] > last; --count) {
                std::fill_n(hist + static_cast<std::size_t>(occupied[count - 1]) * stride, stride, 0.0);
            }
            nc = split::gini_count_walk(split::GiniCountWalk{
                hist, stride, occupied, count, all_total_.data(), pairs, n, weight, min_leaf,
                cand_.wl.data(), cand_.l1.data(), cand_.l2.data(), cand_.bin.data()});
            walked = true;
        }
    }
    // Local pointers: the walk's stores cannot move them.
    double* const all_running = all_running_.data();
    double* const all_total = all_total_.data();
    double* const cand_l1 = cand_.l1.data();
    double* const cand_l2 = cand_.l2.data();
    double* const cand_wl = cand_.wl.data();
    std::uint16_t* const cand_bin = cand_.bin.data();
    double* const cand_left = cand_.left.data();
    double* const cand_running = cand_.running.data();
    // Each visit gives its bin to the candidate kept at the bin before as
    // its next occupied bin (BestSplit::above); without one, to a spare.
    u32* const cand_above = cand_.above.data();
    const std::size_t spare = cand_.above.size() - 1;
    std::size_t above_at = spare;
    // The walk clears the mask words as it reads them.
    const auto visit = [&](std::size_t b) __attribute__((always_inline)) {
        double* h = feature_hist + b * stride;
        cand_above[above_at] = static_cast<u32>(b);
        above_at = spare;
        bool cleared = false;  // the walk already zeroed the record
        if (b <= last) {
            nl += split::count_of(h[count_at]);
            wl += h[0];
            if constexpr (kWalk == Walk::kTwoClasses) {
                // Both classes present: class i's sums sit at h[2 + i].
                l12 += load<v2d>(h + 2);
                store(cand_left + nc * 2, l12);
            } else if constexpr (kWalk == Walk::kGiniCounts) {
                const double tag = h[1];
                std::size_t c1 = 0, c2 = 0;
                const bool few = tag < 3.0 * kSlotTag;
                if (few) {
                    // The classes' bits are read off the tag's significand:
                    // below 2^35 the tag is 2^34 + 2^c, whose significand
                    // holds bit 18 + c alone; from 2^35 up it is 2^35 plus
                    // two classes' 2^c, bits 17 + c (one bit higher when
                    // both slots share a class).
                    u64 word;
                    std::memcpy(&word, &tag, sizeof word);
                    const u64 bits = word & ((u64{1} << 52) - 1);
                    const bool two = tag >= 2.0 * kSlotTag;
                    const std::size_t low = two ? 17 : 18;
                    c1 = static_cast<std::size_t>(__builtin_ctzll(bits)) - low;
                    c2 = static_cast<std::size_t>(63 - __builtin_clzll(bits)) - low;
                    const std::size_t twice = two && c1 == c2 ? 1 : 0;  // one class, twice
                    c1 -= twice;
                    c2 -= twice;
                }
                if (few) {
                    // One class (c1 == c2) or two, without a branch between
                    // them: one class takes the bin's entries and a second
                    // term of none. Both terms are formed before they join
                    // the sums, one addition each (the sums are of whole
                    // numbers, exact in any order; adding +0 changes none).
                    const bool one = c1 == c2;
                    const double m1 = one ? h[0] : h[2 + c1];
                    const double m2 = one ? 0.0 : h[2 + c2];
                    const double r1 = all_running[c1], r2 = all_running[c2];
                    squares += m1 * (2.0 * r1 + m1) + m2 * (2.0 * r2 + m2);
                    cross += all_total[c1] * m1 + all_total[c2] * m2;
                    all_running[c2] = r2 + m2;
                    all_running[c1] = r1 + m1;  // after c2's: one class is c1
                    h[2 + c1] = 0.0;
                    h[2 + c2] = 0.0;
                } else {
                    const std::array<double, 2> terms =
                        split::gini_bin_terms(h + 2, all_running, all_total, 2 * pairs);
                    squares += terms[0];
                    cross += terms[1];
                }
                store(h, v2d{0.0, 0.0});
                cleared = true;
                cand_l1[nc] = squares;
                cand_l2[nc] = cross;
            } else if constexpr (kWalk == Walk::kClasses) {
                double* lc = cand_left + nc * kn;
                double* running = cand_running;
                for (std::size_t i = 0; i < kn; ++i) {
                    running[i] += h[2 + classes[i]];
                    lc[i] = running[i];
                }
            } else {
                l12 += load<v2d>(h + 2);
                cand_l1[nc] = l12[0];
                cand_l2[nc] = l12[1];
            }
            // Only admissible candidates are kept: the next one overwrites
            // this entry otherwise.
            cand_bin[nc] = static_cast<std::uint16_t>(b);
            cand_wl[nc] = wl;
            const bool kept = split::admissible(nl, n, wl, weight, min_leaf);
            above_at = kept ? nc : spare;
            nc += kept ? 1 : 0;
        }
        if (cleared) {
        } else if (stride == 4) {
            store(h, v2d{0.0, 0.0});
            store(h + 2, v2d{0.0, 0.0});
        } else {
            std::fill_n(h, stride, 0.0);
        }
    };
    if (walked) {
    } else if (count != 0) {
        for (std::size_t j = 0; j < count; ++j) visit(occupied[j]);
    } else if (summary_words_ != 0) {
        split::for_each_bit_clearing(summary_.data() + s * summary_words_, mask, summary_words_,
                                     visit);
    } else {
        split::for_each_bit_clearing(mask, words_, visit);
    }
    if (nc == 0) return;

    if constexpr (kWalk == Walk::kGiniCounts) {
        cand_.score_gini_counts(ctx_.node.parent, nc, kn);
    } else {
        cand_.score(ctx_.node.parent, nc, kn);
    }
    // A kept candidate has rows to its right, so a bin was visited after
    // it (the register walk lists no such bins).
    cand_.offer(nc, f, best, !walked);
}

}  // namespace tw::grow
