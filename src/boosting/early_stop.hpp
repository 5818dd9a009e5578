// Early stopping of the boosted fits.
//
// Terms: held rows are a share of a fit's rows kept out of the growth; after
// every round the ensemble predicts them, and their loss (weighted mean
// squared error, or weighted log-loss) decides when the rounds stop.
// Patience is the number of rounds in a row that may fail to improve on the
// best loss (by more than a relative 1e-7) before the fit stops; the model
// then keeps the rounds up to the best one.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "core/rng.hpp"

namespace tw::boosting {

// Rows 0..n-1 shuffled by rng and split into fit and held rows (each part in
// shuffled order): trunc(fraction * n) held rows, or, given a class per row,
// trunc(fraction * count) rows of each class, so that every class keeps at
// least one fit row.
struct HeldSplit {
    std::vector<std::size_t> fit;
    std::vector<std::size_t> held;
};
HeldSplit split_held(std::size_t n, double fraction, Rng& rng,
                     std::span<const std::uint64_t> classes = {});

// The listed entries of v, in list order.
std::vector<double> gather(Vec v, std::span<const std::size_t> which);

class EarlyStop {
public:
    explicit EarlyStop(std::uint64_t patience) : patience_(patience) {}

    // Records the held loss after one more round; true when the fit stops.
    bool stop_after(double loss) {
        ++rounds_;
        if (rounds_ == 1 || loss < best_ - 1e-7 * std::fabs(best_)) {
            best_ = loss;
            best_rounds_ = rounds_;
        }
        return rounds_ - best_rounds_ >= patience_;
    }
    // Rounds up to and including the best one.
    std::size_t best_rounds() const { return best_rounds_; }

private:
    std::uint64_t patience_;
    std::size_t rounds_ = 0;
    std::size_t best_rounds_ = 0;
    double best_ = 0.0;
};

}  // namespace tw::boosting
