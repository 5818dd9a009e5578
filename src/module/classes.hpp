// One function per binding file; each creates its class(es), adds them to the
// module and appends their names to __all__. They return false with a Python
// error set on failure. Module init calls them in registration order.
#pragma once
#include <Python.h>

namespace tw::py {

bool add_decision_tree(PyObject* module);                // DecisionTree
bool add_random_forests(PyObject* module);               // RandomForestRegressor, RandomForestClassifier
bool add_tree_shap(PyObject* module);                    // TreeSHAP
bool add_boosting(PyObject* module);                     // Tarnwood, TarnwoodClassifier, TarnwoodRegressor
bool add_random_forest_unsupervised(PyObject* module);   // RandomForestUnsupervised

}  // namespace tw::py

namespace tw::py {
// The DecisionTree type object (NULL before registration); TreeSHAP checks
// its argument against it. Instances are Box<tw::DecisionTree>.
PyTypeObject* decision_tree_type();
}  // namespace tw::py
