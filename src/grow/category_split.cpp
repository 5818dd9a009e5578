// The search of a category-set split over a filled cell table.
#include "grow/category_split.hpp"

#include <algorithm>

namespace tw::grow {

void CategoryTable::reset(std::size_t categories, std::size_t n_classes) {
    const std::size_t cells = categories + 1;
    if (cells_.size() < cells) cells_.resize(cells);
    if (class_w_.size() < cells * n_classes) class_w_.resize(cells * n_classes, 0.0);
    if (keys_.size() < cells) keys_.resize(cells);
    categories_ = categories;
    n_classes_ = n_classes;
}

double CategoryTable::key(std::size_t cell, std::uint32_t heaviest) const {
    const Cell& c = cells_[cell];
    if (!(c.w > 0.0)) return 0.0;
    return n_classes_ == 0 ? c.wy / c.w : class_w_[cell * n_classes_ + heaviest] / c.w;
}

void CategoryTable::search(const split::ParentTotals& parent,
                           std::span<const std::uint32_t> classes, const double* class_total,
                           std::uint64_t n, std::uint64_t min_leaf, std::size_t feature,
                           split::BestSplit& best, Rng* rng) {
    scan(parent, classes, class_total, n, min_leaf, feature, best, rng);
    for (const std::uint32_t c : present_) {
        cells_[c] = Cell{};
        if (n_classes_ != 0) {
            std::fill_n(class_w_.begin() + static_cast<std::ptrdiff_t>(c * n_classes_), n_classes_,
                        0.0);
        }
    }
    present_.clear();
}

void CategoryTable::scan(const split::ParentTotals& parent,
                         std::span<const std::uint32_t> classes, const double* class_total,
                         std::uint64_t n, std::uint64_t min_leaf, std::size_t feature,
                         split::BestSplit& best, Rng* rng) {
    std::uint32_t heaviest = 0;
    if (n_classes_ != 0) {
        if (classes.size() < 2) return;
        heaviest = classes[0];
        for (const std::uint32_t c : classes) {
            if (class_total[c] > class_total[heaviest]) heaviest = c;
        }
    }
    order_.assign(present_.begin(), present_.end());
    for (const std::uint32_t c : order_) keys_[c] = key(c, heaviest);
    std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return keys_[a] < keys_[b] || (keys_[a] == keys_[b] && a < b);
    });
    const std::size_t p = order_.size();
    if (p < 2) return;
    // Prefixes 1..p-1; the extremely randomised rule scores one of them.
    std::size_t only = 0;
    if (rng != nullptr) only = 1 + gen_range_u64(*rng, p - 1);
    const std::size_t k = classes.size();
    if (n_classes_ != 0) {
        left_.assign(n_classes_, 0.0);
        right_.assign(n_classes_, 0.0);
        for (const std::uint32_t c : classes) right_[c] = class_total[c];
    }
    std::uint64_t nl = 0;
    double wl = 0.0, l1 = 0.0, l2 = 0.0;
    std::size_t chosen = 0;
    std::uint64_t chosen_rows = 0;
    double chosen_gain = best.gain;
    for (std::size_t j = 0; j + 1 < p; ++j) {
        const std::uint32_t c = order_[j];
        const Cell& cell = cells_[c];
        nl += cell.rows;
        wl += cell.w;
        if (n_classes_ == 0) {
            l1 += cell.wy;
            l2 += cell.ywy;
        } else {
            const double* cw = class_w_.data() + static_cast<std::size_t>(c) * n_classes_;
            for (const std::uint32_t d : classes) {
                left_[d] += cw[d];
                right_[d] -= cw[d];
            }
        }
        if (only != 0 && j + 1 != only) continue;
        if (!split::admissible(nl, n, wl, parent.weight, min_leaf)) continue;
        const double gain =
            n_classes_ == 0
                ? split::variance_gain(parent, wl, l1, l2)
                : split::class_gain(
                      parent, wl, k, [&](std::size_t i) { return left_[classes[i]]; },
                      [&](std::size_t i) { return right_[classes[i]]; });
        if (gain > chosen_gain) {
            chosen_gain = gain;
            chosen = j + 1;
            chosen_rows = nl;
        }
    }
    if (chosen == 0) return;
    best.take(chosen_gain, feature, 0);
    best.category = true;
    best.cells = {};
    const auto set = [&](std::size_t c) { best.cells[c >> 6] |= std::uint64_t{1} << (c & 63); };
    for (std::size_t j = 0; j < chosen; ++j) set(order_[j]);
    if (chosen_rows > n - chosen_rows) {
        // Categories without rows here go with the larger side.
        for (std::size_t c = 0; c < categories_; ++c) {
            if (cells_[c].rows == 0) set(c);
        }
    }
}

CategorySet category_set(const split::BestSplit& best, std::size_t k, bool& missing_left) {
    CategorySet set = best.cells;
    missing_left = k < kMaxCategories && in_category_set(set.data(), static_cast<std::uint32_t>(k));
    for (std::size_t c = k; c < kMaxCategories; ++c) set[c >> 6] &= ~(std::uint64_t{1} << (c & 63));
    return set;
}

}  // namespace tw::grow
