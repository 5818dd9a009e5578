// Saved states of the two random forests (pickling and deep copies).
#include <algorithm>

#include "random_forest/random_forest.hpp"
#include "core/serialize.hpp"

namespace tw {

namespace {

constexpr std::uint32_t kVersion = 1;

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

}  // namespace

std::string RandomForestClassifier::save() const {
    Writer w("RandomForestClassifier", kVersion);
    write_settings(w, s_);
    w.flag(fitted_);
    w.flag(classes_.has_value());
    if (classes_) w.u64s(*classes_);
    w.trees(trees_);
    return w.bytes();
}

RandomForestClassifier RandomForestClassifier::load(std::string_view state) {
    Reader r(state, "RandomForestClassifier", kVersion);
    RandomForestClassifier model(read_settings(r));
    model.fitted_ = r.flag();
    if (r.flag()) model.classes_ = r.u64s();
    model.trees_ = r.trees();
    r.finish();
    check_forest(model.trees_, model.s_, model.fitted_, true);
    if (model.fitted_ != model.classes_.has_value()) Reader::fail("class list does not match the fitted flag");
    if (model.classes_ && std::adjacent_find(model.classes_->begin(), model.classes_->end(),
                                             [](auto a, auto b) { return a >= b; }) !=
                              model.classes_->end()) {
        Reader::fail("class list is not strictly ascending");
    }
    model.packed_ = PackedForest::shares(model.trees_, model.n_classes());
    return model;
}

std::string RandomForestRegressor::save() const {
    Writer w("RandomForestRegressor", kVersion);
    write_settings(w, s_);
    w.flag(fitted_);
    w.trees(trees_);
    return w.bytes();
}

RandomForestRegressor RandomForestRegressor::load(std::string_view state) {
    Reader r(state, "RandomForestRegressor", kVersion);
    RandomForestRegressor model(read_settings(r));
    model.fitted_ = r.flag();
    model.trees_ = r.trees();
    r.finish();
    check_forest(model.trees_, model.s_, model.fitted_, false);
    model.packed_ = PackedForest::values(model.trees_);
    return model;
}

}  // namespace tw
