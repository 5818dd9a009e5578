// Saved state of the unsupervised forest (pickling and deep copies).
#include <algorithm>
#include <cmath>

#include "core/serialize.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {

namespace {

constexpr std::string_view kTag = "RandomForestUnsupervised";
constexpr std::uint32_t kVersion = 1;
// Row indices are 32-bit throughout the analyses.
constexpr std::uint64_t kMaxRows = std::uint64_t{1} << 29;

}  // namespace

std::string RandomForestUnsupervised::save() const {
    Writer w(kTag, kVersion);
    w.u64(params_.n_estimators);
    w.opt_u64(params_.max_depth);
    w.opt_text(params_.max_features);
    w.opt_u64(params_.random_state);
    w.u64(params_.min_samples_split);
    w.u64(params_.min_samples_leaf);
    w.opt_u64(params_.n_jobs);
    w.u64(params_.n_neighbors);
    w.flag(is_fitted_);
    w.u64(n_samples_);
    w.u64(n_features_);
    w.f64s(training_);
    w.trees(trees_);
    w.u64(oob_sets_.size());
    for (const auto& set : oob_sets_) {
        w.u64(set.size());
        for (const std::uint32_t i : set) w.u32(i);
    }
    w.flag(sparse_cache_.has_value());
    if (sparse_cache_) {
        w.u64(sparse_cache_->size());
        for (const SparseProximityRow& row : *sparse_cache_) {
            w.u64(row.neighbors.size());
            for (const Neighbor& e : row.neighbors) {
                w.u64(e.index);
                w.f64(e.proximity);
            }
        }
    }
    return w.bytes();
}

std::unique_ptr<RandomForestUnsupervised> RandomForestUnsupervised::load(std::string_view state) {
    Reader r(state, kTag, kVersion);
    UnsupervisedParams params;
    params.n_estimators = r.u64();
    params.max_depth = r.opt_u64();
    params.max_features = r.opt_text();
    params.random_state = r.opt_u64();
    params.min_samples_split = r.u64();
    params.min_samples_leaf = r.u64();
    const std::optional<std::uint64_t> n_jobs = r.opt_u64();
    params.n_neighbors = r.u64();
    const bool fitted = r.flag();
    const std::uint64_t n = r.u64();
    const std::uint64_t p = r.u64();
    std::vector<double> training = r.f64s();
    std::vector<Tree> trees = r.trees();

    std::vector<std::vector<std::uint32_t>> oob(r.count(8));
    for (auto& set : oob) {
        set.resize(r.count(4));
        for (std::uint32_t& i : set) i = r.u32();
    }
    std::optional<std::vector<SparseProximityRow>> cache;
    if (r.flag()) {
        cache.emplace(r.count(8));
        for (SparseProximityRow& row : *cache) {
            row.neighbors.resize(r.count(16));
            for (Neighbor& e : row.neighbors) {
                e.index = r.u64();
                e.proximity = r.f64();
            }
        }
    }
    r.finish();

    std::uint64_t columns = 0;
    if (fitted) {
        if (n == 0 || p == 0 || n > kMaxRows) Reader::fail("bad training shape");
        if (training.size() / p != n || training.size() % p != 0) Reader::fail("training data size mismatch");
        if (trees.size() != params.n_estimators || oob.size() != trees.size()) {
            Reader::fail("tree count mismatch");
        }
        for (const Tree& t : trees) {
            check_leaf_kind(t, true);
            columns = std::max(columns, t.n_features_used);
        }
        // Training rows are routed through every tree.
        if (columns > p) Reader::fail("a split reads a column the training data lacks");
        for (const auto& set : oob) {
            for (std::size_t k = 0; k < set.size(); ++k) {
                if (set[k] >= n || (k > 0 && set[k] <= set[k - 1])) Reader::fail("bad out-of-bag set");
            }
        }
        if (cache) {
            if (cache->size() != n) Reader::fail("sparse cache size mismatch");
            for (const SparseProximityRow& row : *cache) {
                for (const Neighbor& e : row.neighbors) {
                    if (e.index >= n || !(e.proximity >= 0.0)) Reader::fail("bad sparse cache entry");
                }
            }
        }
    } else if (n != 0 || p != 0 || !training.empty() || !trees.empty() || !oob.empty() || cache) {
        Reader::fail("model data in an unfitted forest");
    }

    // Constructed without n_jobs so that loading requests no pool size.
    auto model = std::make_unique<RandomForestUnsupervised>(params);
    model->params_.n_jobs = n_jobs;
    model->trees_ = std::move(trees);
    model->oob_sets_ = std::move(oob);
    model->sparse_cache_ = std::move(cache);
    model->training_ = std::move(training);
    model->n_samples_ = static_cast<std::size_t>(n);
    model->n_features_ = static_cast<std::size_t>(p);
    model->columns_read_ = columns;
    model->is_fitted_ = fitted;
    return model;
}

}  // namespace tw
