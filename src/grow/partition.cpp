// Stable partition of a node's slots into its two children.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/errors.hpp"
#include "grow/working_set.hpp"

namespace tw::grow {
namespace {

// Which rows go left: bins 0..bin, the bins whose bit is set in a
// category set, or the raw values up to the threshold.
enum class Side { kBins, kCells, kValues };

}  // namespace

// Rows going left are compacted in place, the others collected aside and
// appended. Every row is written to both places and only the left counter
// moves (the right one follows from it), so no branch depends on the data.
// Rec is void in count mode, whose classes travel inside the rows' tags.
template <class Code, class Rec, bool kPositions>
u32 WorkingSet::partition_as(u32 begin, u32 end, Rec* rec, Rec* rec_tmp, std::size_t feature,
                             std::size_t bin, double threshold,
                             const std::uint64_t* cells) {
    // The loop is compiled for its row copy and its side rule (the copy of
    // rows split by bins alone is specialised; the rarer rules copy rows of
    // any length).
    if (cells != nullptr) {
        return partition_loop<Code, Rec, kPositions, 0, 1>(begin, end, rec, rec_tmp, feature, bin,
                                                           threshold, cells);
    }
    if (!hist_.is_nan_free(feature)) {
        // Raw values are read through the slots' positions.
        if (!kPositions) throw InternalError("a partition on raw values needs the slots' positions");
        return partition_loop<Code, Rec, kPositions, 0, 2>(begin, end, rec, rec_tmp, feature, bin,
                                                           threshold, cells);
    }
    switch (row_copy_for(row_bytes_)) {
        case RowCopy::kWords:
            return partition_loop<Code, Rec, kPositions, 1, 0>(begin, end, rec, rec_tmp, feature,
                                                               bin, threshold, cells);
        case RowCopy::kPair:
            return partition_loop<Code, Rec, kPositions, 2, 0>(begin, end, rec, rec_tmp, feature,
                                                               bin, threshold, cells);
        case RowCopy::kQuad:
            return partition_loop<Code, Rec, kPositions, 3, 0>(begin, end, rec, rec_tmp, feature,
                                                               bin, threshold, cells);
        case RowCopy::kAny: break;
    }
    return partition_loop<Code, Rec, kPositions, 0, 0>(begin, end, rec, rec_tmp, feature, bin,
                                                       threshold, cells);
}

template <class Code, class Rec, bool kPositions, int kCopyKind, int kSideKind>
u32 WorkingSet::partition_loop(u32 begin, u32 end, Rec* rec, Rec* rec_tmp, std::size_t feature,
                               std::size_t bin, double threshold,
                               const std::uint64_t* cells) {
    constexpr RowCopy kCopy = static_cast<RowCopy>(kCopyKind);
    constexpr Side kSide = static_cast<Side>(kSideKind);
    const std::size_t rs = row_bytes_;
    const std::size_t tag_at = features_;
    // Every buffer in locals: the stores through byte pointers could
    // otherwise change the vectors' own pointers, to be reloaded each row.
    std::uint8_t* const bins = bins_.data();
    std::uint8_t* const tmp = bins_tmp_.data();
    u32* const positions = positions_.data();
    u32* const positions_tmp = positions_tmp_.data();
    u64 left_rows = 0, left_ones = 0;
    // Regression records: both sides' sums, for the children's totals.
    constexpr bool kSums = std::is_same_v<Rec, split::RegRecord>;
    typedef double v2d __attribute__((vector_size(16)));
    typedef long long v2i __attribute__((vector_size(16)));
    v2d left_a{}, left_b{}, right_a{}, right_b{};  // (w, wy) and (ywy, 0) of each side
    u32 out = begin;
    // The next left row's place (in place) and the next right one's (aside).
    std::uint8_t* to_left = bins + static_cast<std::size_t>(begin) * rs;
    std::uint8_t* to_right = tmp;
    const std::uint8_t* src = to_left;
    for (u32 i = begin; i < end; ++i, src += rs) {
        const u32 right = i - out;
        // The threshold is the bin's upper edge, so for a column without NaN
        // "value <= threshold" holds exactly for the rows of bins 0..bin.
        const std::size_t b = code_at<Code>(src, feature);
        bool go_left;
        if constexpr (kSide == Side::kCells) {
            go_left = ((cells[b >> 6] >> (b & 63)) & 1) != 0;
        } else if constexpr (kSide == Side::kBins) {
            go_left = b <= bin;
        } else {
            go_left = x_.at(boot_[positions[i]], feature) <= threshold;
        }
        copy_row<kCopy>(to_right, src, rs);
        copy_row<kCopy>(to_left, src, rs);
        if constexpr (!std::is_void_v<Rec>) {
            const Rec r = rec[i];
            rec_tmp[right] = r;
            rec[out] = r;
            if constexpr (kSums) {
                // Each side's chain adds its own records and +0.0 for the
                // others', which leaves a sum begun at +0.0 as it was.
                const v2i keep = v2i{} - static_cast<long long>(go_left);
                const v2i a = std::bit_cast<v2i>(v2d{r.w, r.wy});
                const v2i b = std::bit_cast<v2i>(v2d{r.ywy, 0.0});
                left_a += std::bit_cast<v2d>(a & keep);
                left_b += std::bit_cast<v2d>(b & keep);
                right_a += std::bit_cast<v2d>(a & ~keep);
                right_b += std::bit_cast<v2d>(b & ~keep);
            }
        } else {
            u32 t;
            std::memcpy(&t, src + tag_at, sizeof t);
            const u32 m = (t & 0x7FFFFFFFu) & (0u - static_cast<u32>(go_left));
            left_rows += m;
            left_ones += m & (0u - (t >> 31));
        }
        if constexpr (kPositions) {
            const u32 q = positions[i];
            positions_tmp[right] = q;
            positions[out] = q;
        }
        out += static_cast<u32>(go_left);
        // A mask, not a select the compiler could make a branch of.
        const std::size_t step_left = rs & (std::size_t{0} - static_cast<std::size_t>(go_left));
        to_left += step_left;
        to_right += rs - step_left;
    }
    const u32 right = end - out;
    std::memcpy(bins + static_cast<std::size_t>(out) * rs, tmp, static_cast<std::size_t>(right) * rs);
    if constexpr (!std::is_void_v<Rec>) std::copy(rec_tmp, rec_tmp + right, rec + out);
    if constexpr (kPositions) {
        std::copy(positions_tmp_.begin(), positions_tmp_.begin() + right, positions_.begin() + out);
    }
    if constexpr (!std::is_void_v<Rec>) {
        // Merged slots: each left record's weight is its number of entries.
        if (merged_) {
            for (u32 i = begin; i < out; ++i) left_rows += split::count_of(rec[i].w);
        } else {
            left_rows = out - begin;
        }
    }
    left_rows_ = left_rows;
    left_ones_ = left_ones;
    sides_summed_ = kSums;
    if constexpr (kSums) {
        side_sums_[0] = split::RegRecord{left_a[0], left_a[1], left_b[0]};
        side_sums_[1] = split::RegRecord{right_a[0], right_a[1], right_b[0]};
    }
    return out;
}

// The codes of the two sides are read in tight reductions after the
// partition, apart from its loop, whose registers they would crowd.
std::size_t WorkingSet::centred_cut(u32 begin, u32 mid, u32 end, std::size_t feature,
                                    std::size_t bin, std::size_t above) const {
    if (!hist_.is_nan_free(feature) || mid == begin || mid == end) return bin;
    const auto cut = [&](auto code_size) {
        using Code = decltype(code_size);
        std::size_t top = bin, low = above;
        if (above == split::BestSplit::kUnknown) {
            const std::uint8_t* bins = bins_.data();
            const std::size_t rs = row_bytes_;
            top = 0;
            for (u32 i = begin; i < mid; ++i) {
                top = std::max(top, code_at<Code>(bins + static_cast<std::size_t>(i) * rs, feature));
            }
            for (u32 i = mid; i < end; ++i) {
                low = std::min(low, code_at<Code>(bins + static_cast<std::size_t>(i) * rs, feature));
            }
        }
        if (!(top <= bin && bin < low)) return bin;
        // The edges top..low-1 all part the node's rows alike. Where the
        // bins of both rows next to the gap hold one value each, the gap's
        // ends are known: the edge nearest its middle is taken (ties: the
        // lower), as a threshold midway between the two values would part
        // the values no row had. Otherwise the middle edge in bins.
        const std::vector<double>* one =
            feature < hist_.bin_values.size() ? &hist_.bin_values[feature] : nullptr;
        if (one == nullptr || low >= one->size() || std::isnan((*one)[top]) ||
            std::isnan((*one)[low])) {
            return top + (low - 1 - top) / 2;
        }
        const double* e = hist_.bin_edges[feature].data();
        const double a = (*one)[top], b = (*one)[low];
        const double middle = a + (b - a) * 0.5;
        const double* at = std::lower_bound(e + top, e + low - 1, middle);
        std::size_t c = static_cast<std::size_t>(at - e);
        if (c > top && middle - e[c - 1] <= e[c] - middle) --c;
        return c;
    };
    return wide() ? cut(std::uint16_t{}) : cut(std::uint8_t{});
}

// Two regression slots: the partition is stable when the pair is swapped
// only if the first goes right and the second left.
u32 WorkingSet::partition_pair(u32 begin, std::size_t feature, std::size_t bin) {
    const bool first_left = code(begin, feature) <= bin;
    const bool second_left = code(begin + 1, feature) <= bin;
    if (!first_left && second_left) {
        std::uint8_t* a = bins_.data() + static_cast<std::size_t>(begin) * row_bytes_;
        std::swap_ranges(a, a + row_bytes_, a + row_bytes_);
        std::swap(reg_records_[begin], reg_records_[begin + 1]);
        if (keeps_positions_) std::swap(positions_[begin], positions_[begin + 1]);
    }
    const u32 out = begin + (first_left ? 1 : 0) + (second_left ? 1 : 0);
    left_rows_ = 0;
    for (u32 i = begin; i < out; ++i) left_rows_ += merged_ ? split::count_of(reg_records_[i].w) : 1;
    left_ones_ = 0;
    sides_summed_ = false;
    return out;
}

u32 WorkingSet::partition(u32 begin, u32 end, std::size_t feature, std::size_t bin,
                          double threshold, const std::uint64_t* cells) {
    using u8 = std::uint8_t;
    using u16 = std::uint16_t;
    if (count_mode_) {
        return keeps_positions_ ? partition_as<u8, void, true>(begin, end, nullptr, nullptr,
                                                               feature, bin, threshold, cells)
                                : partition_as<u8, void, false>(begin, end, nullptr, nullptr,
                                                                feature, bin, threshold, cells);
    }
    if (!classification_ && end - begin == 2 && cells == nullptr && hist_.is_nan_free(feature)) {
        return partition_pair(begin, feature, bin);
    }
    split::ClassRecord* crec = class_records_.data();
    split::ClassRecord* ctmp = class_records_tmp_.data();
    split::RegRecord* rrec = reg_records_.data();
    split::RegRecord* rtmp = reg_records_tmp_.data();
    // Slots move their positions only where they keep them.
    const auto records = [&](auto* rec, auto* tmp) {
        const auto as = [&](auto code, auto positions) {
            using Code = decltype(code);
            using Rec = std::remove_pointer_t<decltype(rec)>;
            return partition_as<Code, Rec, decltype(positions)::value>(begin, end, rec, tmp, feature,
                                                                       bin, threshold, cells);
        };
        if (wide()) {
            return keeps_positions_ ? as(u16{}, std::true_type{}) : as(u16{}, std::false_type{});
        }
        return keeps_positions_ ? as(u8{}, std::true_type{}) : as(u8{}, std::false_type{});
    };
    return classification_ ? records(crec, ctmp) : records(rrec, rtmp);
}

}  // namespace tw::grow
