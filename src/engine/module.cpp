// Module initialisation of `tarnwood._engine`, the package's own door to the
// engine: NumPy arrays in and out, the interpreter lock released during
// heavy work, interrupts, progress and threads per call. Internal failures
// raise RuntimeError here, saying they are bugs, and failed allocations
// MemoryError (never an exception outside Exception's tree).
#include "engine/classes.hpp"
#include "module/py.hpp"

namespace tw::py {
bool init_boundary(PyObject* module);
}

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwood._engine",
    "The tarnwood package's native engine module.",
    -1,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
    tw::py::Ref module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    if (!tw::py::init_boundary(module.get())) return nullptr;
    tw::py::use_failure_type(PyExc_RuntimeError,
                             "internal error in tarnwood (a bug; please report it): ", true);
    tw::py::set_type_prefix("tarnwood._engine.");
    tw::py::set_borrow_messages(
        "this model is being fitted or loaded by another call; use it once that call has "
        "finished",
        "this model is in use by another call; fit or load it once that call has finished");
    if (!tw::engine::add_forests(module.get()) || !tw::engine::add_trees(module.get()) ||
        !tw::engine::add_boosting(module.get()) || !tw::engine::add_unsupervised(module.get()) ||
        !tw::engine::add_importance_functions(module.get()) ||
        !tw::engine::add_bin_functions(module.get())) {
        return nullptr;
    }
    return module.release();
}
