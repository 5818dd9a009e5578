// Method bodies shared by the supervised estimators' bindings: `fit(x, y,
// sample_weight=None)` under exclusive access and `predict(x)` returning one
// float per row under shared access.
#pragma once
#include <optional>

#include "module/py.hpp"

namespace tw::py {

template <class Model>
PyObject* fit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "y", "sample_weight", nullptr};
        PyObject *ox, *oy, *ow = Py_None;
        parse_args(args, kwargs, "OO|O:fit", names, &ox, &oy, &ow);
        Matrix x = to_matrix(ox, "x");
        Vector y = to_vector(oy, "y");
        auto w = to_opt_vector(ow, "sample_weight");
        Exclusive<Model> model(self);
        std::optional<Vec> wv;
        if (w) wv = w->view();
        model->fit(x.view(), y.view(), wv);
        return none();
    });
}

template <class Model>
PyObject* predict_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", nullptr};
        PyObject* ox;
        parse_args(args, kwargs, "O:predict", names, &ox);
        Matrix x = to_matrix(ox, "x");
        Shared<Model> model(self);
        return float_list(model->predict(x.view()));
    });
}

}  // namespace tw::py
