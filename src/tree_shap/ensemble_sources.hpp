// The trees each supervised model adds to its explanation, and the ensemble
// explainer (tree_shap/ensemble_shap.hpp) built from them, over rows of
// `n_features` columns. Outputs: a tree or forest classifier's class
// probabilities, one per class; a regressor's value; a boosted classifier's
// raw scores (one log-odds column for two classes, one softmax score per
// class beyond). Each throws the model's ValueError when it is not fitted;
// explainer_of also a ValueError when the model reads a column beyond
// n_features.
#pragma once
#include <cstddef>
#include <vector>

#include "boosting/classifier.hpp"
#include "boosting/regressor.hpp"
#include "decision_tree/decision_tree.hpp"
#include "random_forest/random_forest.hpp"
#include "tree_shap/ensemble_shap.hpp"

namespace tw {

// One tree of a model's raw score: it adds `scale` times its leaf values
// (class distributions over `width` classes when `classification`, else the
// leaf value) to the outputs first_output, first_output + 1, ...
struct ScoreTree {
    const Tree* tree;
    bool classification;
    std::size_t width;
    std::size_t first_output;
    double scale;
};

// A model's raw score: per output a constant plus its trees, in order.
struct ScoreTrees {
    std::vector<double> offset;  // one per output
    std::vector<ScoreTree> trees;
};

ScoreTrees score_trees(const DecisionTree& model);
ScoreTrees score_trees(const RandomForestClassifier& model);
ScoreTrees score_trees(const RandomForestRegressor& model);
ScoreTrees score_trees(const boosting::TarnwoodClassifier& model);
ScoreTrees score_trees(const boosting::TarnwoodRegressor& model);

EnsembleShap explainer_of(const ScoreTrees& parts, std::size_t n_features);

template <class Model>
EnsembleShap explainer_of(const Model& model, std::size_t n_features) {
    return explainer_of(score_trees(model), n_features);
}

}  // namespace tw
