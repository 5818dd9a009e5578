// Python classes RandomForestRegressor and RandomForestClassifier.
#include "module/classes.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "random_forest/random_forest.hpp"

namespace tw::py {
namespace {

using Clf = tw::RandomForestClassifier;
using Reg = tw::RandomForestRegressor;

// ---- RandomForestRegressor ---------------------------------------------------

PyObject* reg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ForestSettings s = parse_forest_settings(args, kwargs, "|OOOOOOO:RandomForestRegressor", 50);
        return make_instance(type, new Reg(std::move(s)));
    });
}

PyObject* reg_get_info(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":get_info");
        Shared<Reg> model(self);
        Ref d = check(PyDict_New());
        dict_set(d.get(), "n_estimators", py_int(model->settings().n_estimators));
        dict_set(d.get(), "is_fitted", py_int(model->is_fitted() ? 1 : 0));
        return d.release();
    });
}

PyMethodDef g_reg_methods[] = {
    TW_METHOD("fit", fit_method<Reg>, "fit($self, x, y, sample_weight=None)\n--\n\n"),
    TW_METHOD("predict", predict_method<Reg>, "predict($self, x)\n--\n\n"),
    TW_METHOD("get_info", reg_get_info, "get_info($self)\n--\n\n"),
    TW_STATE_METHODS(Reg),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reg_getset[] = {
    TW_GETTER("n_estimators", forest_n_estimators<Reg>),
    TW_GETTER("is_fitted", is_fitted_getter<Reg>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- RandomForestClassifier --------------------------------------------------

PyObject* clf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ForestSettings s = parse_forest_settings(args, kwargs, "|OOOOOOO:RandomForestClassifier", 100);
        return make_instance(type, new Clf(std::move(s)));
    });
}

PyObject* clf_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict_proba");
        Shared<Clf> model(self);
        return float_rows(model->predict_proba(x.view()), x.rows(), model->n_classes());
    });
}

PyObject* clf_score(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "y", nullptr};
        PyObject *ox, *oy;
        parse_args(args, kwargs, "OO:score", names, &ox, &oy);
        Matrix x = to_matrix(ox, "x");
        Vector y = to_vector(oy, "y");
        Shared<Clf> model(self);
        return py_float(model->score(x.view(), y.view()));
    });
}

PyObject* clf_get_info(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":get_info");
        Shared<Clf> model(self);
        Ref d = check(PyDict_New());
        dict_set(d.get(), "n_estimators", py_int(model->settings().n_estimators));
        dict_set(d.get(), "n_classes", py_int(model->n_classes()));
        dict_set(d.get(), "is_fitted", py_int(model->is_fitted() ? 1 : 0));
        return d.release();
    });
}

PyObject* clf_n_classes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Clf> model(self);
        return py_int(model->n_classes());
    });
}

PyMethodDef g_clf_methods[] = {
    TW_METHOD("fit", fit_method<Clf>, "fit($self, x, y, sample_weight=None)\n--\n\n"),
    TW_METHOD("predict", predict_method<Clf>, "predict($self, x)\n--\n\n"),
    TW_METHOD("predict_proba", clf_predict_proba, "predict_proba($self, x)\n--\n\n"),
    TW_METHOD("score", clf_score, "score($self, x, y)\n--\n\n"),
    TW_METHOD("get_info", clf_get_info, "get_info($self)\n--\n\n"),
    TW_STATE_METHODS(Clf),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_clf_getset[] = {
    TW_GETTER("n_estimators", forest_n_estimators<Clf>),
    TW_GETTER("n_classes", clf_n_classes),
    TW_GETTER("classes_", forest_classes<Clf>),
    TW_GETTER("is_fitted", is_fitted_getter<Clf>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_random_forests(PyObject* module) {
    TypeDescription reg{
        "RandomForestRegressor",
        "RandomForestRegressor(n_estimators=50, max_depth=None, max_features=None, "
        "bootstrap=True, random_state=None, min_samples_split=2, min_samples_leaf=1)\n--\n\n",
        sizeof(Box<Reg>),
        reg_new,
        dealloc_instance<Reg>,
        g_reg_methods,
        g_reg_getset,
    };
    if (!add_class(module, reg)) return false;
    TypeDescription clf{
        "RandomForestClassifier",
        "RandomForestClassifier(n_estimators=100, max_depth=None, max_features=None, "
        "bootstrap=True, random_state=None, min_samples_split=2, min_samples_leaf=1)\n--\n\n",
        sizeof(Box<Clf>),
        clf_new,
        dealloc_instance<Clf>,
        g_clf_methods,
        g_clf_getset,
    };
    return add_class(module, clf) != nullptr;
}

}  // namespace tw::py
