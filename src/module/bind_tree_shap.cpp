// Python binding of TreeSHAP.
#include <memory>
#include <string>

#include "decision_tree/decision_tree.hpp"
#include "module/classes.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "tree_shap/tree_shap.hpp"

namespace tw::py {
namespace {

using Explainer = tw::TreeShap;

PyObject* tree_shap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"tree", "x_train", "model_type", nullptr};
        PyObject* tree_obj = nullptr;
        PyObject* x_obj = nullptr;
        PyObject* type_obj = nullptr;
        parse_args(args, kwargs, "OOO:TreeSHAP", names, &tree_obj, &x_obj, &type_obj);

        PyTypeObject* dt = decision_tree_type();
        if (dt == nullptr || !PyObject_TypeCheck(tree_obj, dt)) {
            PyErr_Format(PyExc_TypeError, "argument 'tree': expected a DecisionTree, got '%s'",
                         Py_TYPE(tree_obj)->tp_name);
            throw PyErrorSet{};
        }
        Shared<tw::DecisionTree> tree(tree_obj);
        Matrix x_train = to_matrix(x_obj, "x_train");
        std::string model_type = to_text(type_obj, "model_type");

        auto explainer = std::make_unique<Explainer>(*tree, x_train.view(), model_type);
        return make_instance(type, explainer.release());
    });
}

PyObject* tree_shap_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", nullptr};
        PyObject* x_obj = nullptr;
        parse_args(args, kwargs, "O:explain", names, &x_obj);
        Shared<Explainer> ex(self);
        Matrix x = to_matrix(x_obj, "x");
        const std::vector<double> phi = ex->explain(x.view());

        const std::size_t n_out = ex->n_outputs();
        const std::size_t n_feat = ex->n_features();
        Ref rows = check(PyList_New(static_cast<Py_ssize_t>(x.rows())));
        for (std::size_t r = 0; r < x.rows(); ++r) {
            Ref outputs = check(PyList_New(static_cast<Py_ssize_t>(n_out)));
            for (std::size_t c = 0; c < n_out; ++c) {
                const double* v = phi.data() + (r * n_out + c) * n_feat;
                PyList_SET_ITEM(outputs.get(), static_cast<Py_ssize_t>(c),
                                float_list({v, n_feat}));
            }
            PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), outputs.release());
        }
        return rows.release();
    });
}

// Unpickling: the constructor needs a tree and background rows, so a saved
// explainer is rebuilt from its state by this class method instead.
PyObject* tree_shap_from_state(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"state", nullptr};
        PyObject* ostate;
        parse_args(args, kwargs, "O:_from_state", names, &ostate);
        const std::string_view state = to_bytes(ostate, "state");
        auto explainer = std::make_unique<Explainer>(Explainer::load(state));
        return make_instance(reinterpret_cast<PyTypeObject*>(cls), explainer.release());
    });
}

PyMethodDef tree_shap_methods[] = {
    TW_METHOD("explain", tree_shap_explain, "explain($self, x)\n--\n\n"),
    TW_STATE_METHODS(Explainer),
    {"_from_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tree_shap_from_state)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, "_from_state($type, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tree_shap_getset[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_tree_shap(PyObject* module) {
    static const TypeDescription desc{
        "TreeSHAP",
        "TreeSHAP(tree, x_train, model_type)\n--\n\n",
        sizeof(Box<Explainer>),
        tree_shap_new,
        dealloc_instance<Explainer>,
        tree_shap_methods,
        tree_shap_getset,
    };
    return add_class(module, desc) != nullptr;
}

}  // namespace tw::py
