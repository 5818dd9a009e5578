// Sample orders of the exact grower: the node lists and the per-feature
// sorted orders that are built once per tree and split stably at each node.
//
// Terms: a sample is one entry of the grower's position list, numbered in
// list order. A node owns the range [lo, hi) of every order. The list order
// holds the node's samples in root order (a subsequence of 0..n-1); feature
// f's order holds them sorted by value, ties in sample order, each with its
// value beside it. Because every split partitions all orders stably, a
// node's feature order is exactly the stable sort of its own samples.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace tw::grow {

class SampleOrders {
public:
    // n samples, the list order 0..n-1; the feature orders are empty.
    void reset(std::size_t n);

    // Sorts every column of x over the listed rows (sample s = row
    // positions[s]). Throws InternalError on a NaN.
    void sort_features(const MatrixView& x, std::span<const std::size_t> positions);

    const std::uint32_t* list() const { return list_.data(); }
    const double* values(std::size_t f) const { return features_[f].values.data(); }
    const std::uint32_t* samples(std::size_t f) const { return features_[f].samples.data(); }

    // The first n_left samples of feature f's order in [lo, hi) go left:
    // partitions the list order of [lo, hi) accordingly.
    void split_list(std::size_t f, std::size_t lo, std::size_t hi, std::size_t n_left);
    // The samples of [lo, hi) whose value of feature f satisfies goes_left
    // go left: partitions the list order accordingly.
    template <class GoesLeft>
    void split_list_where(std::size_t f, std::size_t lo, std::size_t hi, GoesLeft&& goes_left) {
        const double* v = features_[f].values.data();
        const std::uint32_t* ix = features_[f].samples.data();
        for (std::size_t i = lo; i < hi; ++i) goes_left_[ix[i]] = goes_left(v[i]) ? 1 : 0;
        partition_list(lo, hi);
    }
    // Partitions every feature order of [lo, hi) the same way. Only the
    // sides wanted come out right; the others are left unspecified.
    void split_features(std::size_t lo, std::size_t hi, bool want_left, bool want_right);

private:
    // Partitions the list order of [lo, hi) by goes_left_.
    void partition_list(std::size_t lo, std::size_t hi);
    void split_feature(std::size_t f, std::size_t lo, std::size_t hi, bool want_left,
                       bool want_right);

    struct FeatureOrder {
        std::vector<double> values;
        std::vector<std::uint32_t> samples;
    };
    std::size_t n_ = 0;
    std::vector<std::uint32_t> list_;
    std::vector<FeatureOrder> features_;
    std::vector<std::uint8_t> goes_left_;  // per sample, set by split_list
    std::vector<double> tmp_values_;
    std::vector<std::uint32_t> tmp_samples_;
};

}  // namespace tw::grow
