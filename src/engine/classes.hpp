// The classes of `tarnwood._engine`, one registration function per file.
// Each creates its classes and adds them to the module; false with a Python
// error set on failure.
#pragma once
#include <Python.h>

#include <vector>

namespace tw::engine {

bool add_forests(PyObject* module);       // ForestClassifier, ForestRegressor
bool add_trees(PyObject* module);         // Tree, TreeExplainer
bool add_boosting(PyObject* module);      // BoostedClassifier, BoostedRegressor
bool add_unsupervised(PyObject* module);  // UnsupervisedForest
// tree_importances, boosted_importances (module functions)
bool add_importance_functions(PyObject* module);
// bin_edges, bin_rows, data_hash_start, data_hash_rows, data_hash_end
// (module functions for training data held in row blocks elsewhere)
bool add_bin_functions(PyObject* module);

// A list of float64 arrays, one per feature, as bin edges (TypeError or
// ValueError naming the argument otherwise).
std::vector<std::vector<double>> to_edges(PyObject* obj, const char* name = "edges");

}  // namespace tw::engine
