// Which trees, scaled how and into which outputs, make up each model's raw
// score (the sums the ensemble explainer accounts for).
#include "tree_shap/ensemble_sources.hpp"

#include "core/errors.hpp"

namespace tw {

namespace {

ScoreTrees forest_trees(const std::vector<Tree>& trees, bool classification, std::size_t width) {
    ScoreTrees out;
    out.offset.assign(width, 0.0);
    const double scale = 1.0 / static_cast<double>(trees.size());
    for (const Tree& t : trees) out.trees.push_back({&t, classification, width, 0, scale});
    return out;
}

// Forest r * k + j of a boosted model adds learning_rate times its mean to
// output j.
ScoreTrees boosted_trees(const std::vector<boosting::InternalRF>& rounds,
                         const std::vector<double>& init, std::size_t k, double learning_rate) {
    ScoreTrees out;
    out.offset.assign(init.begin(), init.begin() + static_cast<std::ptrdiff_t>(k));
    for (std::size_t f = 0; f < rounds.size(); ++f) {
        const std::vector<Tree>& trees = rounds[f].trees;
        if (trees.empty()) continue;
        const double scale = learning_rate / static_cast<double>(trees.size());
        for (const Tree& t : trees) out.trees.push_back({&t, false, 1, f % k, scale});
    }
    return out;
}

}  // namespace

ScoreTrees score_trees(const DecisionTree& model) {
    if (!model.is_fitted()) throw ValueError("the tree has not been fitted");
    const bool classification = model.is_classification();
    const std::size_t width =
        classification ? (model.classes() ? model.classes()->size() : 0) : 1;
    if (width == 0) throw ValueError("the tree has no classes to explain");
    ScoreTrees out;
    out.offset.assign(width, 0.0);
    out.trees.push_back({&*model.tree(), classification, width, 0, 1.0});
    return out;
}

ScoreTrees score_trees(const RandomForestClassifier& model) {
    if (!model.is_fitted() || model.trees().empty()) {
        throw ValueError("RandomForestClassifier has not been fitted");
    }
    if (model.n_classes() == 0) throw ValueError("the forest has no classes to explain");
    return forest_trees(model.trees(), true, model.n_classes());
}

ScoreTrees score_trees(const RandomForestRegressor& model) {
    if (!model.is_fitted() || model.trees().empty()) {
        throw ValueError("RandomForestRegressor has not been fitted");
    }
    return forest_trees(model.trees(), false, 1);
}

ScoreTrees score_trees(const boosting::TarnwoodClassifier& model) {
    model.check_fitted();
    const std::size_t k = model.init().size();
    if (k == 0) throw ValueError("the model has no scores to explain");
    return boosted_trees(model.rounds(), model.init(), k, model.config().learning_rate);
}

ScoreTrees score_trees(const boosting::TarnwoodRegressor& model) {
    model.check_fitted();
    return boosted_trees(model.rounds(), {model.init()}, 1, model.config().learning_rate);
}

EnsembleShap explainer_of(const ScoreTrees& parts, std::size_t n_features) {
    EnsembleShap ex(parts.offset.size(), n_features);
    for (std::size_t c = 0; c < parts.offset.size(); ++c) ex.add_offset(c, parts.offset[c]);
    for (const ScoreTree& t : parts.trees) {
        ex.add_tree(*t.tree, t.classification, t.width, t.first_output, t.scale);
    }
    return ex;
}

}  // namespace tw
