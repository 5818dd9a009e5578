// Gathering the histogram grower's working set, and node totals.
#include "grow/working_set.hpp"

#include <algorithm>
#include <limits>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "tree/tree.hpp"

namespace tw::grow {
namespace {

// The distinct class labels seen, while they are at most two.
struct TwoLabels {
    u64 lo = 0, hi = 0;
    std::size_t seen = 0;
    // False once a third label shows.
    bool add(u64 l) {
        if (seen == 0) {
            lo = hi = l;
            seen = 1;
        } else if (l != lo && l != hi) {
            if (seen == 2) return false;
            lo = std::min(lo, l);
            hi = std::max(hi, l);
            seen = 2;
        }
        return true;
    }
};

}  // namespace

void WorkingSet::check_inputs() const {
    if (entries_ >= std::numeric_limits<u32>::max()) throw InternalError("bootstrap list too long");
    if (features_ > kMaxFeatures) throw ValueError("x has more columns than a tree can address");
    if (hist_.columns != x_.cols || hist_.bins.size() != features_ ||
        hist_.bin_edges.size() != features_ ||
        hist_.n_bins.size() != features_) {
        throw InternalError("histogram does not match the feature matrix");
    }
    const bool wide = hist_.wide();
    if (wide && (hist_.wide_bins.size() != features_ || hist_.capacity > kWideBins)) {
        throw InternalError("histogram does not match the feature matrix");
    }
    for (std::size_t f = 0; f < features_; ++f) {
        const std::size_t coded = wide ? hist_.wide_bins[f].size() : hist_.bins[f].size();
        if (coded < x_.rows || hist_.n_bins[f] != hist_.bin_edges[f].size() ||
            hist_.n_bins[f] > hist_.capacity) {
            throw InternalError("histogram does not match the feature matrix");
        }
    }
    const std::size_t limit = std::min({x_.rows, y_.size(), w_.size()});
    for (std::size_t r : boot_) {
        if (r >= limit) throw InternalError("bootstrap row index out of range");
    }
}

bool WorkingSet::any_missing(u32 begin, u32 end, std::size_t column) const {
    if (hist_.is_categorical(column) ? hist_.n_bins[column] <= hist_.categories[column]
                                     : !hist_.has_missing(column)) {
        return false;
    }
    const std::size_t missing_bin = hist_.n_bins[column] - 1;
    for (u32 i = begin; i < end; ++i) {
        if (code(i, column) == missing_bin) return true;
    }
    return false;
}

template <class Index>
void WorkingSet::gather_codes(const Index* rows, std::size_t count) {
    if (scratch_ && scratch_->row_codes && !hist_.wide() && scratch_->row_width == features_ &&
        features_ > 0) {
        // The rows' codes lie row after row: each slot's row is one copy.
        const std::uint8_t* codes = scratch_->row_codes;
        const std::size_t nf = features_;
        const auto copy_all = [&](auto kind) {
            constexpr RowCopy kCopy = decltype(kind)::value;
            for (std::size_t e = 0; e < count; ++e) {
                if (e % kStopChunk == 0 && e > 0) parallel::check_stop();
                copy_row<kCopy>(bins_.data() + e * row_bytes_, codes + std::size_t{rows[e]} * nf, nf);
            }
        };
        switch (row_copy_for(nf)) {
            case RowCopy::kWords: copy_all(std::integral_constant<RowCopy, RowCopy::kWords>{}); break;
            case RowCopy::kPair: copy_all(std::integral_constant<RowCopy, RowCopy::kPair>{}); break;
            case RowCopy::kQuad: copy_all(std::integral_constant<RowCopy, RowCopy::kQuad>{}); break;
            case RowCopy::kAny: copy_all(std::integral_constant<RowCopy, RowCopy::kAny>{}); break;
        }
        return;
    }
    // Blocks of slots small enough for their rows to stay in cache while
    // every feature's codes are written into them.
    constexpr std::size_t kBlock = 1024;
    for (std::size_t lo = 0; lo < count; lo += kBlock) {
        if (lo % kStopChunk == 0 && lo > 0) parallel::check_stop();
        const std::size_t hi = std::min(count, lo + kBlock);
        for (std::size_t f = 0; f < features_; ++f) {
            if (hist_.wide()) {
                const std::uint16_t* col = hist_.wide_bins[f].data();
                std::uint8_t* out = bins_.data() + 2 * f;
                for (std::size_t e = lo; e < hi; ++e) {
                    std::memcpy(out + e * row_bytes_, col + rows[e], sizeof(std::uint16_t));
                }
            } else {
                const std::uint8_t* col = hist_.bins[f].data();
                std::uint8_t* out = bins_.data() + f;
                for (std::size_t e = lo; e < hi; ++e) out[e * row_bytes_] = col[rows[e]];
            }
        }
    }
}

bool WorkingSet::reads_raw_values() const {
    for (std::size_t f = 0; f < features_; ++f) {
        if (!hist_.is_nan_free(f)) return true;
    }
    return false;
}

void WorkingSet::gather() {
    const std::size_t n = entries_;
    const std::size_t nf = features_;
    if (classification_) {
        // Count-mode slots remember a bootstrap position only where a split
        // must read raw values (columns with NaN) or the caller asked for
        // the leaves' rows.
        keeps_positions_ = leaf_rows_ || reads_raw_values();
        // Count mode's histograms and searches number bins in bytes.
        count_mode_ = !hist_.wide() && gather_distinct();
        if (!count_mode_) {
            keeps_positions_ = true;
            remap_classes();
            unit_weights_ = true;
            for (std::size_t r : boot_) unit_weights_ = unit_weights_ && w_[r] == 1.0;
        } else {
            unit_weights_ = true;
        }
    }
    if (!count_mode_ && merge_ && gather_merged()) return;
    if (!count_mode_) {
        slots_ = n;
        row_bytes_ = nf * code_bytes();
        size_bins();
        gather_codes(boot_.data(), n);
    }
    if (!classification_) {
        reg_records_.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t r = boot_[p];
            reg_records_[p] = split::reg_record(w_[r], y_[r]);
        }
    }
    if (keeps_positions_ && !count_mode_) {
        positions_.resize(n);
        for (std::size_t p = 0; p < n; ++p) positions_[p] = static_cast<u32>(p);
    }
    if (keeps_positions_) positions_tmp_.resize(slots_);
    bins_tmp_.resize(slots_ * row_bytes_);
    if (classification_ && !count_mode_) {
        class_records_tmp_.resize(n);
    } else if (!classification_) {
        reg_records_tmp_.resize(n);
    }
}

void WorkingSet::swap_scratch() noexcept {
    if (scratch_ == nullptr) return;
    bins_.swap(scratch_->bins);
    bins_tmp_.swap(scratch_->bins_tmp);
    class_records_.swap(scratch_->class_records);
    class_records_tmp_.swap(scratch_->class_records_tmp);
    reg_records_.swap(scratch_->reg_records);
    reg_records_tmp_.swap(scratch_->reg_records_tmp);
    positions_.swap(scratch_->positions);
    positions_tmp_.swap(scratch_->positions_tmp);
    mult_.swap(scratch_->mult);
    distinct_.swap(scratch_->distinct);
    first_.swap(scratch_->first);
}

// A scratch's buffer keeps an earlier tree's bytes: the rows are gathered
// over them, and the pad past the last row is cleared.
void WorkingSet::size_bins() {
    bins_.resize(slots_ * row_bytes_ + kReadPad);
    std::fill(bins_.end() - kReadPad, bins_.end(), std::uint8_t{0});
}

void WorkingSet::distinct_rows(bool with_first) {
    std::vector<u32>& mult = mult_;
    std::vector<u32>& distinct = distinct_;
    std::vector<u32>& first = first_;
    const std::size_t rows = x_.rows;
    mult.assign(rows, 0);
    first.assign(with_first ? rows : 0, 0);
    if (with_first) {
        // Backwards, every entry stores its position: the last store to a
        // row is its first entry's, with no branch on whether it was drawn
        // before (about a third of the draws repeat a row, at random).
        for (std::size_t p = entries_; p-- > 0;) {
            const std::size_t r = boot_[p];
            ++mult[r];
            first[r] = static_cast<u32>(p);
        }
    } else {
        for (std::size_t p = 0; p < entries_; ++p) ++mult[boot_[p]];
    }
    // Every row is written and only the drawn ones kept, without a branch
    // on the draws (the list takes a word per row, as the counts do).
    distinct.resize(rows + 1);
    std::size_t k = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        distinct[k] = static_cast<u32>(r);
        k += mult[r] != 0 ? 1 : 0;
    }
    distinct.resize(k);
}

// Merged slots follow ascending row order; the records are those of the
// rows' first entries with the multiplicity as weight.
bool WorkingSet::gather_merged() {
    const std::size_t n = entries_;
    if (n == 0 || n >= (std::size_t{1} << 31)) return false;
    for (std::size_t r : boot_) {
        if (w_[r] != 1.0) return false;
    }
    // Merged slots keep positions only for the leaves' rows and for
    // partitions on raw values (unit weights: classification leaves count
    // their records); a class is read off the record of its row's first
    // entry.
    keeps_positions_ = leaf_rows_ || reads_raw_values();
    distinct_rows(keeps_positions_ || classification_);
    const std::vector<u32>& mult = mult_;
    const std::vector<u32>& distinct = distinct_;
    const std::vector<u32>& first = first_;
    merged_ = true;
    unit_weights_ = true;
    slots_ = distinct.size();
    row_bytes_ = features_ * code_bytes();
    size_bins();
    gather_codes(distinct.data(), slots_);
    if (keeps_positions_) {
        positions_.resize(slots_);
        for (std::size_t e = 0; e < slots_; ++e) positions_[e] = first[distinct[e]];
    }
    if (classification_) {
        // remap_classes gave every entry its record; the slot keeps the
        // record of its row's first entry.
        // Formed in the partition copy, which then swaps places with them.
        std::vector<split::ClassRecord>& merged = class_records_tmp_;
        merged.resize(slots_);
        for (std::size_t e = 0; e < slots_; ++e) {
            const u32 cls = class_records_[first[distinct[e]]].cls;
            merged[e] = split::ClassRecord{static_cast<double>(mult[distinct[e]]), cls};
        }
        class_records_.swap(merged);
        class_records_tmp_.resize(slots_);
    } else {
        reg_records_.resize(slots_);
        for (std::size_t e = 0; e < slots_; ++e) {
            const u32 r = distinct[e];
            reg_records_[e] = split::reg_record(static_cast<double>(mult[r]), y_[r]);
        }
        reg_records_tmp_.resize(slots_);
    }
    if (keeps_positions_) positions_tmp_.resize(slots_);
    bins_tmp_.resize(slots_ * row_bytes_);
    return true;
}

// Count mode: slots follow ascending row order. Returns false, changing
// nothing that the other modes read, when the bootstrap does not qualify
// (weights other than 1, or not exactly two classes).
bool WorkingSet::gather_distinct() {
    const std::size_t n = entries_;
    if (n == 0 || n >= (std::size_t{1} << 31)) return false;
    // Many classes mostly show a third one among the first entries: refused
    // before the rows' multiplicities are counted.
    TwoLabels first_entries;
    for (std::size_t p = 0; p < std::min<std::size_t>(n, 256); ++p) {
        if (!first_entries.add(class_index(y_[boot_[p]]))) return false;
    }
    distinct_rows(keeps_positions_);
    const std::vector<u32>& mult = mult_;
    const std::vector<u32>& distinct = distinct_;
    const std::vector<u32>& first = first_;
    std::vector<u64> label(distinct.size());
    TwoLabels labels;
    for (std::size_t e = 0; e < distinct.size(); ++e) {
        const u32 r = distinct[e];
        if (w_[r] != 1.0) return false;
        label[e] = class_index(y_[r]);
        if (!labels.add(label[e])) return false;
    }
    if (labels.seen != 2) return false;
    const u64 hi = labels.hi;
    n_classes_ = 2;
    class_ids_ = {labels.lo, hi};

    slots_ = distinct.size();
    row_bytes_ = features_ + sizeof(u32);
    size_bins();
    gather_codes(distinct.data(), slots_);
    for (std::size_t e = 0; e < slots_; ++e) {
        const u32 t = mult[distinct[e]] | (static_cast<u32>(label[e] == hi) << 31);
        std::memcpy(bins_.data() + e * row_bytes_ + features_, &t, sizeof t);
    }
    if (keeps_positions_) {
        positions_.resize(slots_);
        for (std::size_t e = 0; e < slots_; ++e) positions_[e] = first[distinct[e]];
    }
    return true;
}

// Dense classes 0..K-1 in ascending order of the class index, so sums over
// classes keep ascending class order while a huge label costs nothing.
void WorkingSet::remap_classes() {
    const std::size_t n = entries_;
    class_records_.resize(n);
    std::vector<u64> labels(n);
    u64 max_label = 0;
    for (std::size_t p = 0; p < n; ++p) {
        labels[p] = class_index(y_[boot_[p]]);
        max_label = std::max(max_label, labels[p]);
    }
    if (n > 0 && max_label < 4 * static_cast<u64>(n) + 1024) {
        std::vector<u32> dense(static_cast<std::size_t>(max_label) + 1, 0);
        for (u64 l : labels) dense[l] = 1;
        u32 k = 0;
        class_ids_.clear();
        for (std::size_t l = 0; l < dense.size(); ++l) {
            const u32 present = dense[l];
            dense[l] = k;
            if (present != 0) class_ids_.push_back(l);
            k += present;
        }
        n_classes_ = k;
        for (std::size_t p = 0; p < n; ++p) {
            class_records_[p] = split::ClassRecord{w_[boot_[p]], dense[labels[p]]};
        }
    } else {
        std::vector<u64> sorted = labels;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        n_classes_ = sorted.size();
        class_ids_ = sorted;
        for (std::size_t p = 0; p < n; ++p) {
            const auto it = std::lower_bound(sorted.begin(), sorted.end(), labels[p]);
            class_records_[p] =
                split::ClassRecord{w_[boot_[p]], static_cast<u32>(it - sorted.begin())};
        }
    }
}

void NodeTotals::reset(std::size_t n_classes, split::Criterion criterion) {
    parent.criterion = criterion;
    kept_.clear();
    free_kept_.clear();
    class_total.assign(n_classes, 0.0);
    other_total_.assign(n_classes, 0.0);
    class_count_.assign(n_classes, 0);
}

bool NodeTotals::compute(const WorkingSet& ws, u32 begin, u32 end) {
    double weight = 0.0;
    if (ws.count_mode()) {
        // Unit weights: the sums are the class counts.
        u64 rows = 0, ones = 0;
        ws.count_slots(begin, end, rows, ones);
        return compute_counts(rows, ones);
    } else if (ws.classification()) {
        const split::ClassRecord* rec = ws.class_records();
        double* total = class_total.data();
        if (ws.merged() && end - begin > 2 * class_total.size()) {
            // Merged slots weigh their whole number of entries, so the sums
            // are exact in any order: two interleaved sets of totals keep the
            // rows' additions out of one another's way, and the classes
            // present are those with entries (a scan of fewer classes than
            // slots).
            double* other = other_total_.data();
            double w2 = 0.0;
            u32 i = begin;
            for (; i + 2 <= end; i += 2) {
                weight += rec[i].w;
                w2 += rec[i + 1].w;
                total[rec[i].cls] += rec[i].w;
                other[rec[i + 1].cls] += rec[i + 1].w;
            }
            if (i < end) {
                weight += rec[i].w;
                total[rec[i].cls] += rec[i].w;
            }
            weight += w2;
            classes.clear();
            for (u32 c = 0; c < class_total.size(); ++c) {
                total[c] += other[c];
                other[c] = 0.0;
                if (total[c] != 0.0) classes.push_back(c);
            }
        } else if (class_total.size() <= 64) {
            // The classes present as the bits of one word, read in
            // ascending order.
            u64 present = 0;
            for (u32 i = begin; i < end; ++i) {
                const split::ClassRecord& r = rec[i];
                weight += r.w;
                total[r.cls] += r.w;
                present |= u64{1} << r.cls;
            }
            classes.clear();
            for (; present != 0; present &= present - 1) {
                classes.push_back(static_cast<u32>(__builtin_ctzll(present)));
            }
        } else {
            u32* count = class_count_.data();
            touched_.clear();
            for (u32 i = begin; i < end; ++i) {
                const split::ClassRecord& r = rec[i];
                weight += r.w;
                total[r.cls] += r.w;
                if (count[r.cls]++ == 0) touched_.push_back(r.cls);
            }
            classes.assign(touched_.begin(), touched_.end());
            std::sort(classes.begin(), classes.end());
        }
        parent.weight = weight;
        parent.counts = ws.unit_weights();
        if (classes.size() <= 1) return false;  // empty or a single class
        if (!(weight > 0.0)) return false;
    } else {
        const split::RegRecord* rec = ws.reg_records();
        double wy = 0.0, ywy = 0.0;
        for (u32 i = begin; i < end; ++i) {
            const split::RegRecord& r = rec[i];
            weight += r.w;
            wy += r.wy;
            ywy += r.ywy;
        }
        return compute_sums(split::RegRecord{weight, wy, ywy});
    }
    set_class_impurity();
    return true;
}

bool NodeTotals::compute_sums(const split::RegRecord& sums) {
    parent.weight = sums.w;
    parent.wy = sums.wy;
    parent.ywy = sums.ywy;
    if (!(sums.w > 0.0)) return false;
    parent.impurity = split::variance(sums.w, sums.wy, sums.ywy);
    return true;
}

bool NodeTotals::compute_counts(u64 rows, u64 ones) {
    const u64 count[2] = {rows - ones, ones};
    ones_ = ones;
    classes.clear();
    for (u32 c = 0; c < 2; ++c) {
        class_total[c] = static_cast<double>(count[c]);
        if (count[c] != 0) classes.push_back(c);
    }
    parent.weight = static_cast<double>(rows);
    parent.counts = true;
    if (classes.size() <= 1) return false;
    set_class_impurity();
    return true;
}

u32 NodeTotals::keep_set() {
    const std::size_t width = class_total.size() + 1;
    if (free_kept_.empty()) {
        free_kept_.push_back(static_cast<u32>(kept_.size() / width));
        kept_.resize(kept_.size() + width, 0.0);
    }
    const u32 set = free_kept_.back();
    free_kept_.pop_back();
    return set;
}

void NodeTotals::keep_children(const WorkingSet& ws, u32 begin, u32 mid, u32 end, u32& left,
                               u32& right) {
    const std::size_t k = class_total.size();
    const bool left_read = mid - begin <= end - mid;
    const u32 read = keep_set();
    const u32 rest = keep_set();
    double* const r = kept_.data() + std::size_t{read} * (k + 1);
    double* const o = kept_.data() + std::size_t{rest} * (k + 1);
    std::fill_n(r, k + 1, 0.0);
    const split::ClassRecord* rec = ws.class_records();
    double weight = 0.0;
    for (u32 i = left_read ? begin : mid, last = left_read ? mid : end; i < last; ++i) {
        weight += rec[i].w;
        r[rec[i].cls] += rec[i].w;
    }
    r[k] = weight;
    for (std::size_t c = 0; c < k; ++c) o[c] = class_total[c] - r[c];
    o[k] = parent.weight - weight;
    left = left_read ? read : rest;
    right = left_read ? rest : read;
}

bool NodeTotals::take_kept(u32 kept) {
    const std::size_t k = class_total.size();
    const double* const t = kept_.data() + std::size_t{kept} * (k + 1);
    classes.clear();
    for (u32 c = 0; c < k; ++c) {
        class_total[c] = t[c];
        if (t[c] != 0.0) classes.push_back(c);
    }
    parent.weight = t[k];
    parent.counts = true;
    release_kept(kept);
    if (classes.size() <= 1) return false;
    if (!(parent.weight > 0.0)) return false;
    set_class_impurity();
    return true;
}

void NodeTotals::set_class_impurity() {
    parent.impurity = split::class_impurity(parent.criterion, classes.size(), parent.weight,
                                            [&](std::size_t i) { return class_total[classes[i]]; });
}

void NodeTotals::clear() {
    for (u32 c : classes) {
        class_total[c] = 0.0;
        class_count_[c] = 0;
    }
    classes.clear();
}

}  // namespace tw::grow
