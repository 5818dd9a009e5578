// The histogram grower's working set: the per-tree copy of the bootstrap
// rows that the split searches read and the partitions reorder, and the
// totals of the node being split.
//
// Terms:
//  slot        one row of the working set: the bin codes of one bootstrap
//              entry (in count mode, of one distinct bootstrap row), one
//              code per feature (a byte, or two with wide codes: see
//              histogram/histogram.hpp), slots stored row-major. A node owns a
//              contiguous range of slots; a split partitions the range
//              stably, so a node's slots stay in the order of its sample
//              list and every sum over them runs in that order.
//  record      per slot, the class record (weight, dense class) or the
//              regression record (w, w*y, y*w*y). Count mode keeps none.
//  count mode  two classes and unit weights: every weight sum is a whole
//              number, held exactly both as a double and as an integer, so
//              histograms count rows in integers and give the sums adding
//              the weights would. Sums of counts do not depend on the order
//              or grouping of the entries, so repeated bootstrap rows share
//              one slot carrying their multiplicity.
//  merged slots  TreeParams::fast_growth with unit weights outside count
//              mode: like count mode, a slot per distinct bootstrap row (in
//              ascending row order), its record's weight being the row's
//              multiplicity, so the weight sum of slots is their number of
//              entries. Sums then run over distinct rows, not entries.
//  tag         count mode: the 32-bit word after a slot's bins, holding its
//              multiplicity and, in the top bit, its class (dense 0 or 1).
//  position    a slot's index into the bootstrap list, kept where the
//              partition reads raw values (columns with NaN), the grower
//              hands over the drawn rows' leaves, or a leaf needs the rows
//              (weighted classification outside count mode).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "grow/scratch.hpp"
#include "histogram/histogram.hpp"
#include "parallel/control.hpp"
#include "split/gain.hpp"

namespace tw::grow {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Bins a feature can have with 8-bit codes (count mode, kept histograms and
// random splits have no other).
constexpr std::size_t kMaxBins = kNarrowBins;
// Slots a long pass (a large node's histograms, a gather) reads between
// checks for a stop of its call (parallel/control.hpp), so that a stop does
// not wait for the whole pass over millions of rows.
constexpr u32 kStopChunk = u32{1} << 16;

// Runs pass(lo, hi) over the slots begin..end-1 in consecutive chunks of at
// most kStopChunk, in order, checking for a stop between chunks.
template <class Pass>
inline void in_stop_chunks(u32 begin, u32 end, Pass&& pass) {
    for (u32 lo = begin; lo < end;) {
        const u32 hi = end - lo > kStopChunk ? lo + kStopChunk : end;
        pass(lo, hi);
        lo = hi;
        if (lo < end) parallel::check_stop();
    }
}

// The code of feature f in a slot row of Code-sized codes.
template <class Code>
inline std::size_t code_at(const std::uint8_t* row, std::size_t f) {
    if constexpr (sizeof(Code) == 1) {
        return row[f];
    } else {
        Code c;
        std::memcpy(&c, row + sizeof(Code) * f, sizeof c);
        return c;
    }
}

// How a row of bin bytes is copied: as two overlapping 8-byte words (rows
// of 8 to 16 bytes), two overlapping 16-byte vectors (17 to 32), four (33
// to 64), or by a library call (any length).
enum class RowCopy { kAny, kWords, kPair, kQuad };

inline RowCopy row_copy_for(std::size_t nf) {
    return nf >= 8 && nf <= 16    ? RowCopy::kWords
           : nf > 16 && nf <= 32 ? RowCopy::kPair
           : nf > 32 && nf <= 64 ? RowCopy::kQuad
                                 : RowCopy::kAny;
}

// Copies one row of nf bin bytes between distinct rows, nf fitting kCopy.
// Short rows are moved as overlapping words (all loaded before any is
// stored) instead of through a library call per row.
template <RowCopy kCopy>
inline void copy_row(std::uint8_t* dst, const std::uint8_t* src, std::size_t nf) {
    typedef double v2d __attribute__((vector_size(16)));
    if constexpr (kCopy == RowCopy::kWords) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + nf - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + nf - 8, &b, 8);
    } else if constexpr (kCopy == RowCopy::kPair) {
        v2d a, b;
        std::memcpy(&a, src, 16);
        std::memcpy(&b, src + nf - 16, 16);
        std::memcpy(dst, &a, 16);
        std::memcpy(dst + nf - 16, &b, 16);
    } else if constexpr (kCopy == RowCopy::kQuad) {
        v2d a, b, c, d;
        std::memcpy(&a, src, 16);
        std::memcpy(&b, src + 16, 16);
        std::memcpy(&c, src + nf - 32, 16);
        std::memcpy(&d, src + nf - 16, 16);
        std::memcpy(dst, &a, 16);
        std::memcpy(dst + 16, &b, 16);
        std::memcpy(dst + nf - 32, &c, 16);
        std::memcpy(dst + nf - 16, &d, 16);
    } else {
        std::memmove(dst, src, nf);
    }
}

class WorkingSet {
public:
    // With a scratch (grow/scratch.hpp) the large buffers are the
    // scratch's, taken over here and handed back when the set is destroyed.
    // leaf_rows: source_row() will be asked of regression slots (without
    // it, they keep positions only where a partition reads raw values).
    WorkingSet(const MatrixView& x, Vec y, Vec w, std::span<const std::size_t> boot,
               const HistogramData& hist, bool classification, bool merge = false,
               GrowScratch* scratch = nullptr, bool leaf_rows = true)
        : x_(x), y_(y), w_(w), boot_(boot), hist_(hist), entries_(boot.size()), features_(hist.features()),
          classification_(classification), merge_(merge), leaf_rows_(leaf_rows), scratch_(scratch) {
        swap_scratch();
    }
    ~WorkingSet() { swap_scratch(); }
    WorkingSet(const WorkingSet&) = delete;
    WorkingSet& operator=(const WorkingSet&) = delete;

    // Throws when the bootstrap list or the histogram do not fit x, y and w.
    void check_inputs() const;
    // Fills the slots, records, tags and positions from the bootstrap list.
    void gather();

    // Whether some slot of begin..end-1 holds a missing value of the column.
    bool any_missing(u32 begin, u32 end, std::size_t column) const;
    // Codes of two bytes (the histogram's wide codes) instead of one.
    bool wide() const { return hist_.wide(); }
    std::size_t code_bytes() const { return wide() ? 2 : 1; }
    std::size_t code(u32 slot, std::size_t f) const {
        return wide() ? code_at<std::uint16_t>(row(slot), f) : code_at<std::uint8_t>(row(slot), f);
    }
    // Stable partition of slots begin..end-1 on the feature: slots going
    // left (bin <= bin; value <= threshold on columns that may hold NaN;
    // with cells, a bin whose bit is set: a category-set split) first. Returns the first right slot; left_rows() then gives the
    // bootstrap entries sent left (and, in count mode, left_ones() those
    // of class 1).
    u32 partition(u32 begin, u32 end, std::size_t feature, std::size_t bin, double threshold,
                  const std::uint64_t* cells = nullptr);
    u64 left_rows() const { return left_rows_; }
    u64 left_ones() const { return left_ones_; }
    // Regression: whether the last partition also summed each side's
    // records (the full loop does; the two-slot swap does not), and the
    // sums, added in slot order as NodeTotals::compute adds them.
    bool sides_summed() const { return sides_summed_; }
    const split::RegRecord& left_sums() const { return side_sums_[0]; }
    const split::RegRecord& right_sums() const { return side_sums_[1]; }
    // After a partition at `bin` of the feature into slots begin..mid-1 and
    // mid..end-1: the bin halfway between the last code sent left and the
    // first sent right, whose upper edge parts the slots as bin's does
    // (bin itself for a partition on values or with an empty side). A
    // search that saw the first occupied bin above bin passes it as
    // `above` (bin being occupied): the sides' codes are not read again.
    std::size_t centred_cut(u32 begin, u32 mid, u32 end, std::size_t feature, std::size_t bin,
                            std::size_t above = split::BestSplit::kUnknown) const;

    bool classification() const { return classification_; }
    bool count_mode() const { return count_mode_; }
    // Merged slots: a record's weight is its slot's number of entries.
    bool merged() const { return merged_; }
    // Classification: every bootstrap entry weighs 1 (so every weight sum
    // is a whole number of entries).
    bool unit_weights() const { return unit_weights_; }
    // Features of the rows: the columns, then their twins (histogram.hpp).
    std::size_t features() const { return features_; }
    std::size_t entries() const { return entries_; }  // bootstrap entries
    std::size_t rows() const { return x_.rows; }       // rows of x
    // Whether source_row() may be asked (known after gather()).
    bool keeps_positions() const { return keeps_positions_; }
    // Whether some feature may hold NaN, so that partitions on it read the
    // raw values of the slots' rows.
    bool reads_raw_values() const;
    std::size_t slots() const { return slots_; }
    std::size_t row_bytes() const { return row_bytes_; }
    // Bytes readable past the last slot's row, so that vector loads of a
    // row's first kReadPad bytes never leave the buffer.
    static constexpr std::size_t kReadPad = 64;
    const std::uint8_t* bins() const { return bins_.data(); }
    const std::uint8_t* row(u32 slot) const {
        return bins_.data() + static_cast<std::size_t>(slot) * row_bytes_;
    }
    const split::ClassRecord* class_records() const { return class_records_.data(); }
    const split::RegRecord* reg_records() const { return reg_records_.data(); }
    // Classes of the tree's rows: their number and each dense class's index.
    std::size_t n_classes() const { return n_classes_; }
    const std::vector<u64>& class_ids() const { return class_ids_; }
    // Row of x behind a slot (when positions are kept).
    std::size_t source_row(u32 slot) const { return boot_[positions_[slot]]; }

    // Count mode: the tag of a slot row (features = bin bytes before it).
    static u32 tag_of(const std::uint8_t* row, std::size_t features) {
        u32 t;
        std::memcpy(&t, row + features, sizeof t);
        return t;
    }
    u32 tag(u32 slot) const { return tag_of(row(slot), features_); }
    // The slot's contribution to a packed count: its multiplicity in the
    // low half, and again in the high half when it is of class 1.
    static u64 tag_add(u32 t) {
        const u64 m = t & 0x7FFFFFFFu;
        return m + ((m & (u64{0} - (t >> 31))) << 32);
    }
    // Count mode: rows and class-1 rows of slots begin..end-1.
    void count_slots(u32 begin, u32 end, u64& rows, u64& ones) const {
        u64 packed = 0;
        for (u32 i = begin; i < end; ++i) packed += tag_add(tag(i));
        rows = packed & 0xFFFFFFFFu;
        ones = packed >> 32;
    }

private:
    // Exchanges the large buffers with the scratch's, if there is one.
    void swap_scratch() noexcept;
    // Per row of x its bootstrap draws (mult_), the rows drawn, ascending
    // (distinct_) and, with_first, each drawn row's first position (first_).
    void distinct_rows(bool with_first);
    // bins_ sized for slots_ rows of row_bytes_, its read pad zeroed.
    void size_bins();
    bool gather_distinct();
    // Merged slots, when every entry weighs 1; false changes nothing.
    bool gather_merged();
    void remap_classes();
    // Copies the codes of rows rows[0..count) into the slots' rows.
    template <class Index>
    void gather_codes(const Index* rows, std::size_t count);
    // partition of a regression node of two slots on bins.
    u32 partition_pair(u32 begin, std::size_t feature, std::size_t bin);
    template <class Code, class Rec, bool kPositions>
    u32 partition_as(u32 begin, u32 end, Rec* rec, Rec* rec_tmp, std::size_t feature,
                     std::size_t bin, double threshold, const std::uint64_t* cells);
    // partition_as's loop for one row copy and one side rule (partition.cpp).
    // Each loop is a function of its own, so that its sums keep to registers.
    template <class Code, class Rec, bool kPositions, int kCopyKind, int kSideKind>
    __attribute__((noinline)) u32 partition_loop(u32 begin, u32 end, Rec* rec, Rec* rec_tmp,
                                                 std::size_t feature, std::size_t bin,
                                                 double threshold, const std::uint64_t* cells);

    const MatrixView& x_;
    Vec y_;
    Vec w_;
    std::span<const std::size_t> boot_;
    const HistogramData& hist_;
    const std::size_t entries_;
    const std::size_t features_;
    const bool classification_;
    const bool merge_;
    const bool leaf_rows_;
    bool count_mode_ = false;
    bool merged_ = false;
    bool keeps_positions_ = true;
    bool unit_weights_ = false;
    std::size_t slots_ = 0;      // entries_, or the distinct rows in count mode
    std::size_t row_bytes_ = 0;  // features_ codes, plus the tag in count mode
    u64 left_rows_ = 0;
    u64 left_ones_ = 0;
    bool sides_summed_ = false;
    split::RegRecord side_sums_[2] = {};

    std::vector<std::uint8_t> bins_;  // slots_ x row_bytes_
    std::vector<split::ClassRecord> class_records_;
    std::vector<split::RegRecord> reg_records_;
    std::vector<u32> positions_;
    // Partition scratch: the right side, collected aside.
    std::vector<std::uint8_t> bins_tmp_;
    std::vector<split::ClassRecord> class_records_tmp_;
    std::vector<split::RegRecord> reg_records_tmp_;
    std::vector<u32> positions_tmp_;
    std::vector<u32> mult_, distinct_, first_;  // distinct_rows
    GrowScratch* const scratch_;

    std::size_t n_classes_ = 0;
    std::vector<u64> class_ids_;
};

// Totals of the node being split: its parent totals and, for
// classification, the class totals and the classes present.
class NodeTotals {
public:
    // Sizes the per-class tables for the working set's classes; gains of
    // classification candidates use the criterion.
    void reset(std::size_t n_classes, split::Criterion criterion);
    // Totals of slots begin..end-1; false when the node must be a leaf (no
    // weight, or fewer than two classes). Classification totals must be
    // cleared again with clear().
    bool compute(const WorkingSet& ws, u32 begin, u32 end);
    // Count mode, the node's entries and those of class 1 being known (from
    // its parent's partition): the same totals without reading the slots.
    bool compute_counts(u64 rows, u64 ones);
    // Regression, the node's sums being known (from its parent's
    // partition): the same totals without reading the slots.
    bool compute_sums(const split::RegRecord& sums);
    void clear();
    u64 ones() const { return ones_; }  // count mode: class-1 entries of the node

    // Kept totals: merged classification, the node's class totals (whole
    // numbers of entries, exact in any order) split between its children
    // after its partition into begin..mid-1 and mid..end-1. The smaller
    // child's are read off its slots and the larger's are the node's minus
    // those, both kept for the children's turns (indices into left and
    // right). Call before clear().
    static constexpr u32 kNoKept = ~u32{0};
    void keep_children(const WorkingSet& ws, u32 begin, u32 mid, u32 end, u32& left, u32& right);
    // The node's totals from kept totals, which are released; false as
    // for compute.
    bool take_kept(u32 kept);
    void release_kept(u32 kept) {
        if (kept != kNoKept) free_kept_.push_back(kept);
    }

    split::ParentTotals parent;
    std::vector<double> class_total;  // per dense class, this node
    std::vector<u32> classes;         // classes present in the node, ascending

private:
    std::vector<u32> class_count_;  // per dense class, this node (outside count mode)
    // Sets of kept totals, n_classes + 1 doubles each (the weight last),
    // and the free ones.
    std::vector<double> kept_;
    std::vector<u32> free_kept_;
    u32 keep_set();
    std::vector<double> other_total_;  // merged slots: the second set of totals (zeros between nodes)
    u64 ones_ = 0;
    void set_class_impurity();  // parent.impurity from the class totals
    std::vector<u32> touched_;
};

}  // namespace tw::grow
