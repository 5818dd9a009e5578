#include "tree_shap/ensemble_sources.hpp"

#include "core/errors.hpp"

namespace tw {

namespace {

EnsembleShap forest_explainer(const std::vector<Tree>& trees, bool classification,
                              std::size_t width, std::size_t n_features) {
    EnsembleShap ex(width, n_features);
    const double scale = 1.0 / static_cast<double>(trees.size());
    for (const Tree& t : trees) ex.add_tree(t, classification, width, 0, scale);
    return ex;
}

// Forest r * k + j of a boosted model adds learning_rate times its mean to
// output j.
EnsembleShap boosted_explainer(const std::vector<boosting::InternalRF>& rounds,
                               const std::vector<double>& init, std::size_t k,
                               double learning_rate, std::size_t n_features) {
    EnsembleShap ex(k, n_features);
    for (std::size_t j = 0; j < k; ++j) ex.add_offset(j, init[j]);
    for (std::size_t f = 0; f < rounds.size(); ++f) {
        const std::vector<Tree>& trees = rounds[f].trees;
        if (trees.empty()) continue;
        const double scale = learning_rate / static_cast<double>(trees.size());
        for (const Tree& t : trees) ex.add_tree(t, false, 1, f % k, scale);
    }
    return ex;
}

}  // namespace

EnsembleShap explainer_of(const DecisionTree& model, std::size_t n_features) {
    if (!model.is_fitted()) throw ValueError("the tree has not been fitted");
    const bool classification = model.is_classification();
    const std::size_t width =
        classification ? (model.classes() ? model.classes()->size() : 0) : 1;
    if (width == 0) throw ValueError("the tree has no classes to explain");
    EnsembleShap ex(width, n_features);
    ex.add_tree(*model.tree(), classification, width, 0, 1.0);
    return ex;
}

EnsembleShap explainer_of(const RandomForestClassifier& model, std::size_t n_features) {
    if (!model.is_fitted() || model.trees().empty()) {
        throw ValueError("RandomForestClassifier has not been fitted");
    }
    if (model.n_classes() == 0) throw ValueError("the forest has no classes to explain");
    return forest_explainer(model.trees(), true, model.n_classes(), n_features);
}

EnsembleShap explainer_of(const RandomForestRegressor& model, std::size_t n_features) {
    if (!model.is_fitted() || model.trees().empty()) {
        throw ValueError("RandomForestRegressor has not been fitted");
    }
    return forest_explainer(model.trees(), false, 1, n_features);
}

EnsembleShap explainer_of(const boosting::TarnwoodClassifier& model, std::size_t n_features) {
    model.check_fitted();
    const std::size_t k = model.init().size();
    if (k == 0) throw ValueError("the model has no scores to explain");
    return boosted_explainer(model.rounds(), model.init(), k, model.config().learning_rate,
                             n_features);
}

EnsembleShap explainer_of(const boosting::TarnwoodRegressor& model, std::size_t n_features) {
    model.check_fitted();
    return boosted_explainer(model.rounds(), {model.init()}, 1, model.config().learning_rate,
                             n_features);
}

}  // namespace tw
