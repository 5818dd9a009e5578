// Python class DecisionTree.
#include "decision_tree/decision_tree.hpp"
#include "module/classes.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"

namespace tw::py {
namespace {

using Model = tw::DecisionTree;
PyTypeObject* g_type = nullptr;

PyObject* dt_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto* model = new Model(parse_tree_settings(args, kwargs, "|OOOOOO:DecisionTree"));
        return make_instance(type, model);
    });
}

PyObject* dt_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict_proba");
        Shared<Model> model(self);
        const std::size_t m = model->classes() ? model->classes()->size() : 0;
        return float_rows(model->predict_proba(x.view()), x.rows(), m);
    });
}

PyObject* dt_get_depth(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":get_depth");
        Shared<Model> model(self);
        return py_int(model->get_depth());
    });
}

PyObject* dt_get_n_leaves(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":get_n_leaves");
        Shared<Model> model(self);
        return py_int(model->get_n_leaves());
    });
}

PyObject* dt_classes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return optional_int_list(model->classes());
    });
}

PyMethodDef g_methods[] = {
    TW_METHOD("fit", fit_method<Model>, "fit($self, x, y, sample_weight=None)\n--\n\n"),
    TW_METHOD("predict", predict_method<Model>, "predict($self, x)\n--\n\n"),
    TW_METHOD("predict_proba", dt_predict_proba, "predict_proba($self, x)\n--\n\n"),
    TW_METHOD("get_depth", dt_get_depth, "get_depth($self)\n--\n\n"),
    TW_METHOD("get_n_leaves", dt_get_n_leaves, "get_n_leaves($self)\n--\n\n"),
    TW_STATE_METHODS(Model),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    TW_GETTER("classes_", dt_classes),
    TW_GETTER("is_fitted", is_fitted_getter<Model>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* decision_tree_type() { return g_type; }

bool add_decision_tree(PyObject* module) {
    TypeDescription desc{
        "DecisionTree",
        "DecisionTree(max_depth=None, criterion=\"entropy\", task=\"classification\", "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)\n--\n\n",
        sizeof(Box<Model>),
        dt_new,
        dealloc_instance<Model>,
        g_methods,
        g_getset,
    };
    g_type = add_class(module, desc);
    return g_type != nullptr;
}

}  // namespace tw::py
