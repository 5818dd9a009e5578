// Method and property bodies shared by the estimators' bindings: `fit(x, y,
// sample_weight=None)` under exclusive access, `predict(x)` returning one
// float per row and the `is_fitted` property, both under shared access.
#pragma once
#include "module/py.hpp"

namespace tw::py {

template <class Model>
PyObject* fit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const FitArgs a = parse_fit(args, kwargs);
        Exclusive<Model> model(self);
        model->fit(a.x.view(), a.y.view(), a.weights());
        return none();
    });
}

template <class Model>
PyObject* predict_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict");
        Shared<Model> model(self);
        return float_list(model->predict(x.view()));
    });
}

template <class Model>
PyObject* is_fitted_getter(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_bool(model->is_fitted());
    });
}

}  // namespace tw::py
