// Placeholder until this class family is bound.
#include "module/classes.hpp"

namespace tw::py {
bool add_random_forests(PyObject*) { return true; }
}  // namespace tw::py
