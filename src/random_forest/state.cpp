// Saved states of the two random forests (pickling and deep copies).
//
// Version 1 holds the settings and the fitted forest; version 2 adds the fit
// record after them (forests fitted through the package door); version 3
// adds what the fitted model's class keeps beyond the record: a classifier
// the criterion after the record (written only for a criterion other than
// Gini, so Gini forests save as before and states without it mean Gini), a
// regressor the leaf samples at the end of the record; version 4 is version 3
// with trees whose nodes carry missing sides (the regressor's record then
// says whether leaf samples follow). The `_rs` classes write and read
// version 1 only.
#include <algorithm>
#include <cmath>

#include "random_forest/random_forest.hpp"
#include "core/serialize.hpp"
#include "random_forest/batches.hpp"

namespace tw {

namespace {

constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kRecordVersion = 2;
constexpr std::uint32_t kExtendedVersion = 3;
constexpr std::uint32_t kMissingVersion = 4;
constexpr std::uint32_t kCategoryVersion = 5;  // version 4 with category sets

// The settings in saved order; A is a Writer (S const) or a Reader.
template <class A, class S>
void settings_fields(A& a, S& s) {
    a.field(s.n_estimators);
    a.field(s.max_depth);
    a.field(s.max_features);
    a.field(s.bootstrap);
    a.field(s.random_state);
    a.field(s.min_samples_split);
    a.field(s.min_samples_leaf);
}

void write_settings(Writer& w, const ForestSettings& s) { settings_fields(w, s); }

ForestSettings read_settings(Reader& r) {
    ForestSettings s;
    settings_fields(r, s);
    return s;
}

// A fitted forest holds exactly n_estimators trees of its own kind; an
// unfitted one holds none.
void check_forest(const std::vector<Tree>& trees, const ForestSettings& s, bool fitted,
                  bool classification) {
    if (!fitted && !trees.empty()) Reader::fail("trees in an unfitted forest");
    if (fitted && trees.size() != s.n_estimators) Reader::fail("tree count does not match n_estimators");
    for (const Tree& t : trees) check_leaf_kind(t, classification);
}

// Version: 5 with a fit record and trees with category sets, 4 with a fit
// record and trees with missing sides, 3 with a fit
// record and a criterion other than Gini or leaf samples, 2 with a fit
// record only, else 1.
std::uint32_t version_of(const std::optional<FitRecord>& record, split::Criterion criterion,
                         const std::vector<Tree>& trees) {
    if (!record) return kVersion;
    if (std::any_of(trees.begin(), trees.end(), [](const Tree& t) { return t.has_categories(); })) {
        return kCategoryVersion;
    }
    if (std::any_of(trees.begin(), trees.end(), [](const Tree& t) { return t.has_saved_missing(); })) {
        return kMissingVersion;
    }
    return criterion != split::Criterion::kGini || record->samples ? kExtendedVersion
                                                                   : kRecordVersion;
}

void write_criterion(Writer& w, std::uint32_t version, split::Criterion criterion) {
    if (version >= kExtendedVersion) w.u8(static_cast<std::uint8_t>(criterion));
}

// Gini unless a version-3 state names another; only classifiers have one.
split::Criterion read_criterion(Reader& r, bool classification) {
    if (r.version() < kExtendedVersion) return split::Criterion::kGini;
    const std::uint8_t c = r.u8();
    if (!classification) Reader::fail("unknown criterion");
    if (c == static_cast<std::uint8_t>(split::Criterion::kEntropy)) return split::Criterion::kEntropy;
    // Version 4 names the criterion whatever it is.
    if (c == static_cast<std::uint8_t>(split::Criterion::kGini) && r.version() >= kMissingVersion) {
        return split::Criterion::kGini;
    }
    Reader::fail("unknown criterion");
}

void write_samples(Writer& w, const LeafSamples& s) {
    w.f64s(s.targets);
    w.f64s(s.weights);
    w.u32s(s.row_of_rank);
    w.u64(s.trees.size());
    for (const TreeSamples& t : s.trees) {
        w.u32s(t.begin);
        w.u32s(t.entries);
    }
}

LeafSamples read_samples(Reader& r, const std::vector<Tree>& trees, const FitRecord& f) {
    LeafSamples s;
    s.targets = r.f64s();
    s.weights = r.f64s();
    s.row_of_rank = r.u32s();
    if (s.targets.size() != f.rows) Reader::fail("leaf samples do not match the training rows");
    const std::uint64_t n_trees = r.count(16);
    if (n_trees != trees.size()) Reader::fail("leaf samples do not match the trees");
    s.trees.resize(n_trees);
    for (TreeSamples& t : s.trees) {
        t.begin = r.u32s();
        t.entries = r.u32s();
    }
    std::vector<std::uint64_t> sizes;
    for (const TreeDraws& d : f.draws) sizes.push_back(d.positions != 0 ? d.positions : f.rows);
    s.check(trees, sizes);
    return s;
}

void write_record(Writer& w, const std::optional<FitRecord>& record, std::uint32_t version,
                  bool regression) {
    if (!record) return;
    const FitRecord& f = *record;
    write_rng(w, f.forest);
    w.u64(f.rows);
    w.u64(f.cols);
    w.u64(f.data_hash);
    w.flag(f.mixed);
    w.u64(f.draws.size());
    for (const TreeDraws& d : f.draws) {
        write_rng(w, d.draws);
        w.u64(d.positions);
    }
    w.u64(f.leaf_weight.size());
    for (const std::vector<double>& lw : f.leaf_weight) w.f64s(lw);
    if (version >= kMissingVersion && regression) w.flag(f.samples.has_value());
    if (f.samples) write_samples(w, *f.samples);
}

// The record of a version-2 state, checked against the fitted trees.
std::optional<FitRecord> read_record(Reader& r, const std::vector<Tree>& trees, bool fitted,
                                     bool regression) {
    if (r.version() < kRecordVersion) return std::nullopt;
    if (!fitted) Reader::fail("fit record in an unfitted forest");
    FitRecord f;
    f.forest = read_rng(r);
    f.rows = r.u64();
    f.cols = r.u64();
    f.data_hash = r.u64();
    f.mixed = r.flag();
    if (f.rows > 0xFFFFFFFFull) Reader::fail("too many training rows");
    for (const Tree& t : trees) {
        if (t.n_features_used > f.cols) Reader::fail("a tree reads more columns than fitted");
    }
    const std::uint64_t n_draws = r.count(40);
    if (n_draws != trees.size()) Reader::fail("sample records do not match the trees");
    for (std::uint64_t i = 0; i < n_draws; ++i) {
        TreeDraws d;
        d.draws = read_rng(r);
        d.positions = r.u64();
        if (d.positions != 0 && (f.rows == 0 || d.positions > f.rows)) {
            Reader::fail("sample size outside the training rows");
        }
        // The root of a tree saw its whole sample.
        const std::uint64_t sample = d.positions != 0 ? d.positions : f.rows;
        if (trees[i].nodes.empty() || trees[i].nodes[0].n_samples != sample) {
            Reader::fail("sample size does not match its tree");
        }
        f.draws.push_back(d);
    }
    const std::uint64_t n_weights = r.count(8);
    if (n_weights != trees.size()) Reader::fail("leaf weights do not match the trees");
    for (std::uint64_t i = 0; i < n_weights; ++i) {
        std::vector<double> lw = r.f64s();
        if (!lw.empty() && lw.size() != trees[i].nodes.size()) {
            Reader::fail("leaf weights do not match the tree");
        }
        for (double v : lw) {
            if (!std::isfinite(v) || v < 0.0) Reader::fail("leaf weight is not a finite weight");
        }
        f.leaf_weight.push_back(std::move(lw));
    }
    // Version 3 always holds them; version 4 says whether it does.
    const bool samples = regression && (r.version() == kExtendedVersion ||
                                        (r.version() >= kMissingVersion && r.flag()));
    if (samples) {
        if (f.mixed) Reader::fail("leaf samples of trees grown on different data");
        f.samples = read_samples(r, trees, f);
    }
    return f;
}

}  // namespace

void write_rng(Writer& w, const Rng& r) {
    w.u64(static_cast<std::uint64_t>(r.state()));
    w.u64(static_cast<std::uint64_t>(r.state() >> 64));
    w.u64(static_cast<std::uint64_t>(r.increment()));
    w.u64(static_cast<std::uint64_t>(r.increment() >> 64));
}

Rng read_rng(Reader& r) {
    const u128 state_lo = r.u64(), state_hi = r.u64();
    const u128 inc_lo = r.u64(), inc_hi = r.u64();
    if ((inc_lo & 1) == 0) Reader::fail("generator increment is even");
    return Rng::from_parts(state_lo | (state_hi << 64), inc_lo | (inc_hi << 64));
}

std::string RandomForestClassifier::save() const {
    const std::uint32_t version = version_of(record_, criterion_, trees_);
    Writer w("RandomForestClassifier", version);
    write_settings(w, s_);
    w.flag(fitted_);
    w.flag(classes_.has_value());
    if (classes_) w.u64s(*classes_);
    w.write_category_sets(version >= kCategoryVersion);
    w.trees(trees_);
    write_record(w, record_, version, false);
    write_criterion(w, version, criterion_);
    return w.bytes();
}

RandomForestClassifier RandomForestClassifier::load(std::string_view state, bool with_record) {
    Reader r(state, "RandomForestClassifier", with_record ? kCategoryVersion : kVersion);
    r.allow_missing_sides(r.version() >= kMissingVersion);
    r.allow_category_sets(r.version() >= kCategoryVersion);
    RandomForestClassifier model(read_settings(r));
    model.fitted_ = r.flag();
    if (r.flag()) model.classes_ = r.u64s();
    model.trees_ = r.trees();
    model.record_ = read_record(r, model.trees_, model.fitted_, false);
    model.criterion_ = read_criterion(r, true);
    r.finish();
    check_forest(model.trees_, model.s_, model.fitted_, true);
    if (model.fitted_ != model.classes_.has_value()) Reader::fail("class list does not match the fitted flag");
    if (model.classes_ && std::adjacent_find(model.classes_->begin(), model.classes_->end(),
                                             [](auto a, auto b) { return a >= b; }) !=
                              model.classes_->end()) {
        Reader::fail("class list is not strictly ascending");
    }
    if (with_record) {
        for (Tree& t : model.trees_) t.set_missing_defaults();
    }
    model.packed_ = PackedForest::shares(model.trees_, model.n_classes());
    model.width_ = model.n_classes();
    return model;
}

std::string RandomForestRegressor::save() const {
    const std::uint32_t version = version_of(record_, criterion_, trees_);
    if (record_ && record_->samples) {
        build_leaf_samples();
    }
    Writer w("RandomForestRegressor", version);
    write_settings(w, s_);
    w.flag(fitted_);
    w.write_category_sets(version >= kCategoryVersion);
    w.trees(trees_);
    write_record(w, record_, version, true);  // with the leaf samples, if kept
    return w.bytes();
}

RandomForestRegressor RandomForestRegressor::load(std::string_view state, bool with_record) {
    Reader r(state, "RandomForestRegressor", with_record ? kCategoryVersion : kVersion);
    r.allow_missing_sides(r.version() >= kMissingVersion);
    r.allow_category_sets(r.version() >= kCategoryVersion);
    RandomForestRegressor model(read_settings(r));
    model.fitted_ = r.flag();
    model.trees_ = r.trees();
    model.record_ = read_record(r, model.trees_, model.fitted_, true);
    r.finish();
    check_forest(model.trees_, model.s_, model.fitted_, false);
    if (with_record) {
        for (Tree& t : model.trees_) t.set_missing_defaults();
    }
    model.packed_ = PackedForest::values(model.trees_);
    return model;
}

}  // namespace tw
