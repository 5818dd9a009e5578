// The ensemble explainer (tree_shap/ensemble_shap.hpp) of each supervised
// model, over rows of `n_features` columns. Outputs: a tree or forest
// classifier's class probabilities, one per class; a regressor's value; a
// boosted classifier's raw scores (one log-odds column for two classes, one
// softmax score per class beyond). Each throws the model's ValueError when
// it is not fitted, and a ValueError when it reads a column beyond
// n_features.
#pragma once
#include <cstddef>

#include "boosting/classifier.hpp"
#include "boosting/regressor.hpp"
#include "decision_tree/decision_tree.hpp"
#include "random_forest/random_forest.hpp"
#include "tree_shap/ensemble_shap.hpp"

namespace tw {

EnsembleShap explainer_of(const DecisionTree& model, std::size_t n_features);
EnsembleShap explainer_of(const RandomForestClassifier& model, std::size_t n_features);
EnsembleShap explainer_of(const RandomForestRegressor& model, std::size_t n_features);
EnsembleShap explainer_of(const boosting::TarnwoodClassifier& model, std::size_t n_features);
EnsembleShap explainer_of(const boosting::TarnwoodRegressor& model, std::size_t n_features);

}  // namespace tw
