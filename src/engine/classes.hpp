// The classes of `tarnwood._engine`, one registration function per file.
// Each creates its classes and adds them to the module; false with a Python
// error set on failure.
#pragma once
#include <Python.h>

namespace tw::engine {

bool add_forests(PyObject* module);       // ForestClassifier, ForestRegressor
bool add_trees(PyObject* module);         // Tree, TreeExplainer
bool add_boosting(PyObject* module);      // BoostedClassifier, BoostedRegressor
bool add_unsupervised(PyObject* module);  // UnsupervisedForest
// tree_importances, boosted_importances (module functions)
bool add_importance_functions(PyObject* module);

}  // namespace tw::engine
