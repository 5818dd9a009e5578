// tarnwood._engine.ForestClassifier and ForestRegressor: the bagged forests
// of random_forest/ behind the package door. Same settings, saved states and
// results as the `_rs` forests; predictions come back as NumPy arrays, and
// fit and predict run with the interpreter lock released (engine/run.hpp).
#include <utility>

#include "engine/calls.hpp"
#include "engine/classes.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "random_forest/random_forest.hpp"

namespace tw::engine {
namespace {

using namespace tw::py;
using Clf = tw::RandomForestClassifier;
using Reg = tw::RandomForestRegressor;

template <class Model>
PyObject* forest_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return fit_call<Model>(
        self, args, kwargs, [](const Model& m) { return Model(m.settings()); },
        [](const Model& m) { return static_cast<std::size_t>(m.settings().n_estimators); },
        [](const Model& m, const MatrixView&) { check_trees(m.settings().n_estimators); });
}

PyObject* clf_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict_proba", threads);
        Shared<Clf> model(self);
        return rows_result(x.rows() * model->trees().size(), threads, "predict_proba",
                           {x.rows(), model->n_classes()},
                           [&] { return model->predict_proba(x.view()); });
    });
}

PyObject* reg_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict", threads);
        Shared<Reg> model(self);
        return rows_result(x.rows() * model->trees().size(), threads, "predict", {x.rows()},
                           [&] { return model->predict(x.view()); });
    });
}

template <class Model>
PyObject* forest_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ForestSettings s = parse_forest_settings(args, kwargs, "|OOOOOOO:Forest", 100);
        return make_instance(type, new Model(std::move(s)));
    });
}

#define TW_FIT_DOC "fit($self, x, y, sample_weight=None, n_jobs=None, verbose=0)\n--\n\n"

PyMethodDef g_clf_methods[] = {
    TW_METHOD("fit", forest_fit<Clf>, TW_FIT_DOC),
    TW_METHOD("predict_proba", clf_predict_proba, "predict_proba($self, x, n_jobs=None)\n--\n\n"),
    TW_STATE_METHODS(Clf),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_clf_getset[] = {
    TW_GETTER("n_estimators", forest_n_estimators<Clf>),
    TW_GETTER("classes_", forest_classes<Clf>),
    TW_GETTER("is_fitted", is_fitted_getter<Clf>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_reg_methods[] = {
    TW_METHOD("fit", forest_fit<Reg>, TW_FIT_DOC),
    TW_METHOD("predict", reg_predict, "predict($self, x, n_jobs=None)\n--\n\n"),
    TW_STATE_METHODS(Reg),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reg_getset[] = {
    TW_GETTER("n_estimators", forest_n_estimators<Reg>),
    TW_GETTER("is_fitted", is_fitted_getter<Reg>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define TW_FOREST_SIG                                                                    \
    "(n_estimators=100, max_depth=None, max_features=None, bootstrap=True, "            \
    "random_state=None, min_samples_split=2, min_samples_leaf=1)\n--\n\n"

}  // namespace

bool add_forests(PyObject* module) {
    TypeDescription clf{"ForestClassifier", "ForestClassifier" TW_FOREST_SIG
                        "Bagged histogram trees for classification (saved states shared "
                        "with _rs.RandomForestClassifier).",
                        sizeof(Box<Clf>), forest_new<Clf>, dealloc_instance<Clf>,
                        g_clf_methods, g_clf_getset};
    if (!add_class(module, clf)) return false;
    TypeDescription reg{"ForestRegressor", "ForestRegressor" TW_FOREST_SIG
                        "Bagged histogram trees for regression (saved states shared with "
                        "_rs.RandomForestRegressor).",
                        sizeof(Box<Reg>), forest_new<Reg>, dealloc_instance<Reg>,
                        g_reg_methods, g_reg_getset};
    return add_class(module, reg) != nullptr;
}

}  // namespace tw::engine
