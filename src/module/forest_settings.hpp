// Constructor arguments and shared properties of the forest, single-tree
// and unsupervised classes.
//
// Arguments: (n_estimators, max_depth,
// max_features, bootstrap, random_state, min_samples_split,
// min_samples_leaf), parsed and converted in that order; shared by the
// `_rs` classes and the package door.
#pragma once
#include <cstdint>

#include "module/py.hpp"
#include "decision_tree/decision_tree.hpp"
#include "random_forest/random_forest.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw::py {

// `format` e.g. "|OOOOOOO:RandomForestRegressor"; a missing n_estimators
// takes `default_estimators`.
ForestSettings parse_forest_settings(PyObject* args, PyObject* kwargs, const char* format,
                                     std::uint64_t default_estimators);

// Arguments of the single tree: (max_depth, criterion, task, random_state,
// min_samples_split, min_samples_leaf); `format` e.g. "|OOOOOO:DecisionTree".
DecisionTree parse_tree_settings(PyObject* args, PyObject* kwargs, const char* format);

// Arguments of the unsupervised forest: (n_estimators, max_depth,
// max_features, random_state, min_samples_split, min_samples_leaf[, n_jobs],
// n_neighbors), n_jobs only `with_jobs`.
UnsupervisedParams parse_unsupervised_settings(PyObject* args, PyObject* kwargs,
                                              const char* format, bool with_jobs);

// The `n_estimators` property of a forest class.
template <class Model>
PyObject* forest_n_estimators(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(model->settings().n_estimators);
    });
}

// The `classes_` property of a forest classifier (None before fitting).
template <class Model>
PyObject* forest_classes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return optional_int_list(model->classes());
    });
}

}  // namespace tw::py
