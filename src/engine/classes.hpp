// The classes of `tarnwood._engine`, one registration function per file.
// Each creates its classes and adds them to the module; false with a Python
// error set on failure.
#pragma once
#include <Python.h>

namespace tw::engine {

bool add_forests(PyObject* module);  // ForestClassifier, ForestRegressor
// tree_importances, boosted_importances (module functions)
bool add_importance_functions(PyObject* module);

}  // namespace tw::engine
