// Placeholder until this class family is bound.
#include "module/classes.hpp"

namespace tw::py {
bool add_random_forest_unsupervised(PyObject*) { return true; }
}  // namespace tw::py
