// Module initialisation: creates `_rs` and registers the classes in order.
#include "module/classes.hpp"
#include "module/py.hpp"

namespace tw::py {
bool init_boundary(PyObject* module);
}

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_rs",
    "Fast tree ensembles: decision trees, random forests, forest-boosted ensembles, "
    "tree explanations and unsupervised forests.",
    -1,
    nullptr,
};

bool g_initialized = false;

}  // namespace

PyMODINIT_FUNC PyInit__rs(void) {
    if (g_initialized) {
        PyErr_SetString(PyExc_ImportError,
                        "the _rs module may only be initialized once per interpreter process");
        return nullptr;
    }
    tw::py::Ref module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    if (!tw::py::init_boundary(module.get())) return nullptr;
    if (!tw::py::add_decision_tree(module.get()) || !tw::py::add_random_forests(module.get()) ||
        !tw::py::add_tree_shap(module.get()) || !tw::py::add_boosting(module.get()) ||
        !tw::py::add_random_forest_unsupervised(module.get())) {
        return nullptr;
    }
    g_initialized = true;
    return module.release();
}
