// Placeholder until this class family is bound.
#include "module/classes.hpp"

namespace tw::py {
bool add_boosting(PyObject*) { return true; }
}  // namespace tw::py
