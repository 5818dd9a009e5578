// Planned forests grown in batches, possibly by other processes, and
// installed so that the forest equals one fitted at once (the package's
// distributed fits use this).
//
// Terms:
//  plan    the random choices of every tree of a fit with a fit record
//          (random_forest.hpp), drawn on one thread in tree order before any
//          tree grows: per tree the forest generator before its sample's
//          draws and its tree seed (ensemble/bootstrap.hpp), plus the
//          generator after the last tree and the fit's options. A plan is
//          saved as bytes and handed to whoever grows the trees.
//  batch   the trees [first, end) of a plan grown on the binned training
//          matrix alone, each with what it adds to the fit record (in-bag
//          leaf weights, leaf samples) and its out-of-bag payload; saved as
//          bytes.
//  merge   the installation of a plan's batches in tree order, folding the
//          out-of-bag payloads in that order, so that the fitted state is
//          byte for byte the one a local fit with the plan's options makes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/rng.hpp"
#include "core/serialize.hpp"
#include "ensemble/bootstrap.hpp"
#include "histogram/histogram.hpp"
#include "random_forest/random_forest.hpp"

namespace tw {

struct ForestPlan {
    FitOptions options;  // warm_start is always null
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    bool bootstrap = true;
    Rng after;                         // forest generator after the last tree's plan
    std::vector<Rng> draws;            // per tree: the generator before its sample
    std::vector<std::uint64_t> seeds;  // per tree: its tree seed

    std::size_t trees() const { return seeds.size(); }
    // The options the trees' samples are drawn again with.
    ensemble::BootstrapOptions sample_options() const;
    std::string save() const;
    static ForestPlan load(std::string_view state);  // ValueError when malformed
};

// The binned training matrix of a batch from bins made elsewhere with
// HistogramData's edges: `bins` holds feature after feature, each with the
// bin of every one of `rows` rows; edges[f] are feature f's bin edges
// (ascending, the last +inf). The columns must hold no missing values
// (NaN), so the histogram has no twins. values, when given, are the
// HistogramData::bin_values of the same binning (per feature empty or one
// per bin). Throws ValueError when a bin is outside its feature's edges or
// a value outside its bin.
HistogramData histogram_of_bins(std::span<const std::uint8_t> bins, std::size_t rows,
                                std::vector<std::vector<double>> edges,
                                std::vector<std::vector<double>> values = {});

// The generator's saved form (saved states of the forests and plans).
void write_rng(Writer& w, const Rng& r);
Rng read_rng(Reader& r);

}  // namespace tw
