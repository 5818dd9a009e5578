// Python classes Tarnwood, TarnwoodClassifier and TarnwoodRegressor.
#include <string>
#include <utility>

#include "boosting/classifier.hpp"
#include "boosting/config.hpp"
#include "boosting/regressor.hpp"
#include "module/boost_settings.hpp"
#include "module/classes.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "core/serialize.hpp"

namespace tw::py {
namespace {

using tw::boosting::BoostConfig;
using Regressor = tw::boosting::TarnwoodRegressor;
using Classifier = tw::boosting::TarnwoodClassifier;

// The task-generic class: exactly one inner state for the object's life.
struct Generic {
    std::string task;
    std::optional<Classifier> classifier;
    std::optional<Regressor> regressor;

    // Saved state: the task and the inner state's own saved state.
    std::string save() const {
        tw::Writer w("Tarnwood", 1);
        w.text(task);
        w.flag(classifier.has_value());
        w.text(classifier ? classifier->save() : regressor->save());
        return w.bytes();
    }
    static Generic load(std::string_view state) {
        tw::Reader r(state, "Tarnwood", 1);
        Generic g;
        g.task = r.text();
        const bool is_classifier = r.flag();
        const std::string inner = r.text();
        r.finish();
        if (is_classifier != (g.task == "classification")) tw::Reader::fail("inner state does not match the task");
        if (is_classifier) {
            g.classifier.emplace(Classifier::load(inner));
        } else {
            g.regressor.emplace(Regressor::load(inner));
            if (g.regressor->conformal_fraction() != 0.2) tw::Reader::fail("conformal_fraction out of range");
        }
        return g;
    }
};

PyObject* pairs(const std::vector<double>& flat, std::size_t rows) {
    return float_rows(flat, rows, 2);
}

// ---- argument helpers ---------------------------------------------------

std::pair<Matrix, double> parse_x_alpha(PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"x", "alpha", nullptr};
    PyObject *ox, *oa = nullptr;
    parse_args(args, kwargs, "O|O:predict_ci", names, &ox, &oa);
    Matrix x = to_matrix(ox, "x");
    const double alpha = oa ? to_float(oa, "alpha") : 0.05;
    return {std::move(x), alpha};
}

// ---- TarnwoodRegressor --------------------------------------------------

PyObject* reg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {
            "n_estimators", "learning_rate", "rf_n_estimators", "rf_max_depth",
            "rf_max_features", "bootstrap", "random_state", "min_samples_split",
            "min_samples_leaf", "use_histogram", "async_mode", "tol", "n_jobs",
            "conformal_fraction", nullptr};
        PyObject* o[14] = {};
        parse_args(args, kwargs, "|OOOOOOOOOOOOOO:TarnwoodRegressor", names, &o[0], &o[1], &o[2],
                   &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                   &o[13]);
        BoostConfig config;
        for (int i = 0; i < 13; ++i) convert_config(config, i, o[i]);
        const double fraction = o[13] ? to_float(o[13], "conformal_fraction") : 0.2;
        tw::boosting::set_thread_pool(config.n_jobs);
        return make_instance(type, new Regressor(std::move(config), fraction));
    });
}

PyObject* reg_predict_ci(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto [x, alpha] = parse_x_alpha(args, kwargs);
        Shared<Regressor> model(self);
        return pairs(model->predict_ci(x.view(), alpha), x.rows());
    });
}

PyObject* reg_importances(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":feature_importances");
        Shared<Regressor> model(self);
        return float_list(model->feature_importances());
    });
}

PyObject* reg_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":to_dict");
        Shared<Regressor> model(self);
        return regressor_dict(*model);
    });
}

PyObject* reg_n_estimators(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Regressor> model(self);
        return py_int(model->config().n_estimators);
    });
}

PyObject* reg_trees_used(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Regressor> model(self);
        return int_list(model->trees_used());
    });
}

PyObject* reg_calibration_residuals(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Regressor> model(self);
        return float_list(model->calibration_residuals());
    });
}

#define TW_REG_CI_DOC                                                          \
    "predict_ci($self, x, alpha=0.05)\n--\n\n"                                 \
    "Confidence intervals via split conformal prediction.\n"                   \
    "Guarantees (1-alpha) coverage on exchangeable data.\n"                    \
    "The conformal quantile is calibrated on a held-out calibration set during fit."

PyMethodDef g_reg_methods[] = {
    TW_METHOD("fit", fit_method<Regressor>, "fit($self, x, y, sample_weight=None)\n--\n\n"),
    TW_METHOD("predict", predict_method<Regressor>, "predict($self, x)\n--\n\n"),
    TW_METHOD("predict_ci", reg_predict_ci, TW_REG_CI_DOC),
    TW_METHOD("feature_importances", reg_importances, "feature_importances($self)\n--\n\n"),
    TW_METHOD("to_dict", reg_to_dict, "to_dict($self)\n--\n\n"),
    TW_STATE_METHODS(Regressor),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reg_getset[] = {
    TW_GETTER("n_estimators", reg_n_estimators),
    TW_GETTER("is_fitted", is_fitted_getter<Regressor>),
    TW_GETTER("trees_used", reg_trees_used),
    TW_GETTER("calibration_residuals", reg_calibration_residuals),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- TarnwoodClassifier -------------------------------------------------

PyObject* clf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {
            "n_estimators", "learning_rate", "rf_n_estimators", "rf_max_depth",
            "rf_max_features", "bootstrap", "random_state", "min_samples_split",
            "min_samples_leaf", "use_histogram", "async_mode", "tol", "n_jobs", nullptr};
        PyObject* o[13] = {};
        parse_args(args, kwargs, "|OOOOOOOOOOOOO:TarnwoodClassifier", names, &o[0], &o[1], &o[2],
                   &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12]);
        BoostConfig config;
        for (int i = 0; i < 13; ++i) convert_config(config, i, o[i]);
        tw::boosting::set_thread_pool(config.n_jobs);
        return make_instance(type, new Classifier(std::move(config)));
    });
}

PyObject* clf_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict_proba");
        Shared<Classifier> model(self);
        return float_rows(model->predict_proba(x.view()), x.rows(), model->n_proba_columns());
    });
}

PyObject* clf_predict_ci(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto [x, alpha] = parse_x_alpha(args, kwargs);
        Shared<Classifier> model(self);
        return pairs(model->predict_ci(x.view(), alpha), x.rows());
    });
}

PyObject* clf_importances(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":feature_importances");
        Shared<Classifier> model(self);
        return float_list(model->feature_importances());
    });
}

PyObject* clf_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":to_dict");
        Shared<Classifier> model(self);
        return classifier_dict(*model);
    });
}

PyObject* clf_n_estimators(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Classifier> model(self);
        return py_int(model->config().n_estimators);
    });
}

PyObject* clf_n_classes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Classifier> model(self);
        return py_int(model->n_classes());
    });
}

PyObject* clf_trees_used(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Classifier> model(self);
        return int_list(model->trees_used());
    });
}

#define TW_CLF_CI_DOC                                                          \
    "predict_ci($self, x, alpha=0.05)\n--\n\n"                                 \
    "Wilson score confidence interval on the predicted probability.\n"         \
    "Treats each tree's leaf probability as a binomial trial and\n"            \
    "computes the Wilson interval on the ensemble average."

PyMethodDef g_clf_methods[] = {
    TW_METHOD("fit", fit_method<Classifier>, "fit($self, x, y, sample_weight=None)\n--\n\n"),
    TW_METHOD("predict", predict_method<Classifier>, "predict($self, x)\n--\n\n"),
    TW_METHOD("predict_proba", clf_predict_proba, "predict_proba($self, x)\n--\n\n"),
    TW_METHOD("predict_ci", clf_predict_ci, TW_CLF_CI_DOC),
    TW_METHOD("feature_importances", clf_importances, "feature_importances($self)\n--\n\n"),
    TW_METHOD("to_dict", clf_to_dict, "to_dict($self)\n--\n\n"),
    TW_STATE_METHODS(Classifier),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_clf_getset[] = {
    TW_GETTER("n_estimators", clf_n_estimators),
    TW_GETTER("n_classes", clf_n_classes),
    TW_GETTER("is_fitted", is_fitted_getter<Classifier>),
    TW_GETTER("trees_used", clf_trees_used),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Tarnwood -----------------------------------------------------------

PyObject* gen_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {
            "n_estimators", "learning_rate", "rf_n_estimators", "rf_max_depth",
            "rf_max_features", "bootstrap", "random_state", "min_samples_split",
            "min_samples_leaf", "task", "use_histogram", "async_mode", "tol", "n_jobs",
            nullptr};
        PyObject* o[14] = {};
        parse_args(args, kwargs, "|OOOOOOOOOOOOOO:Tarnwood", names, &o[0], &o[1], &o[2], &o[3],
                   &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12], &o[13]);
        BoostConfig config;
        for (int i = 0; i < 9; ++i) convert_config(config, i, o[i]);
        std::string task = o[9] ? to_text(o[9], "task") : "classification";
        for (int i = 9; i < 13; ++i) convert_config(config, i, o[i + 1]);
        tw::boosting::set_thread_pool(config.n_jobs);
        auto* model = new Generic;
        if (task == "classification") {
            model->classifier.emplace(std::move(config));
        } else {
            model->regressor.emplace(std::move(config), 0.2);
        }
        model->task = std::move(task);
        return make_instance(type, model);
    });
}

PyObject* gen_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const FitArgs a = parse_fit(args, kwargs);
        Exclusive<Generic> model(self);
        if (model->classifier) model->classifier->fit(a.x.view(), a.y.view(), a.weights());
        else model->regressor->fit(a.x.view(), a.y.view(), a.weights());
        return none();
    });
}

PyObject* gen_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict");
        Shared<Generic> model(self);
        if (model->classifier) return float_list(model->classifier->predict(x.view()));
        return float_list(model->regressor->predict(x.view()));
    });
}

PyObject* gen_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict_proba");
        Shared<Generic> model(self);
        if (!model->classifier) {
            throw tw::ValueError("predict_proba is only available for classification");
        }
        const Classifier& c = *model->classifier;
        return float_rows(c.predict_proba(x.view()), x.rows(), c.n_proba_columns());
    });
}

PyObject* gen_predict_ci(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto [x, alpha] = parse_x_alpha(args, kwargs);
        Shared<Generic> model(self);
        if (model->classifier) return pairs(model->classifier->predict_ci(x.view(), alpha), x.rows());
        return pairs(model->regressor->predict_ci(x.view(), alpha), x.rows());
    });
}

PyObject* gen_importances(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":feature_importances");
        Shared<Generic> model(self);
        if (model->classifier) return float_list(model->classifier->feature_importances());
        return float_list(model->regressor->feature_importances());
    });
}

PyObject* gen_n_estimators(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Generic> model(self);
        return py_int(model->classifier ? model->classifier->config().n_estimators
                                        : model->regressor->config().n_estimators);
    });
}

PyObject* gen_is_fitted(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Generic> model(self);
        return py_bool(model->classifier ? model->classifier->is_fitted()
                                         : model->regressor->is_fitted());
    });
}

PyObject* gen_trees_used(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Generic> model(self);
        return int_list(model->classifier ? model->classifier->trees_used()
                                          : model->regressor->trees_used());
    });
}

PyMethodDef g_gen_methods[] = {
    TW_METHOD("fit", gen_fit, "fit($self, x, y, sample_weight=None)\n--\n\n"),
    TW_METHOD("predict", gen_predict, "predict($self, x)\n--\n\n"),
    TW_METHOD("predict_proba", gen_predict_proba, "predict_proba($self, x)\n--\n\n"),
    TW_METHOD("predict_ci", gen_predict_ci, "predict_ci($self, x, alpha=0.05)\n--\n\n"),
    TW_METHOD("feature_importances", gen_importances, "feature_importances($self)\n--\n\n"),
    TW_STATE_METHODS(Generic),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_gen_getset[] = {
    TW_GETTER("n_estimators", gen_n_estimators),
    TW_GETTER("is_fitted", gen_is_fitted),
    TW_GETTER("trees_used", gen_trees_used),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define TW_BOOST_SIG_HEAD                                                               \
    "(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, rf_max_depth=None, "      \
    "rf_max_features=None, bootstrap=True, random_state=None, min_samples_split=2, "    \
    "min_samples_leaf=1, "
#define TW_BOOST_SIG_TAIL "use_histogram=True, async_mode=False, tol=1e-4, n_jobs=None"

}  // namespace

bool add_boosting(PyObject* module) {
    const TypeDescription generic{
        "Tarnwood",
        "Tarnwood" TW_BOOST_SIG_HEAD "task=\"classification\", " TW_BOOST_SIG_TAIL ")\n--\n\n",
        sizeof(Box<Generic>), gen_new, dealloc_instance<Generic>, g_gen_methods, g_gen_getset,
    };
    const TypeDescription classifier{
        "TarnwoodClassifier",
        "TarnwoodClassifier" TW_BOOST_SIG_HEAD TW_BOOST_SIG_TAIL ")\n--\n\n",
        sizeof(Box<Classifier>), clf_new, dealloc_instance<Classifier>, g_clf_methods,
        g_clf_getset,
    };
    const TypeDescription regressor{
        "TarnwoodRegressor",
        "TarnwoodRegressor" TW_BOOST_SIG_HEAD TW_BOOST_SIG_TAIL
        ", conformal_fraction=0.2)\n--\n\n",
        sizeof(Box<Regressor>), reg_new, dealloc_instance<Regressor>, g_reg_methods,
        g_reg_getset,
    };
    return add_class(module, generic) != nullptr && add_class(module, classifier) != nullptr &&
           add_class(module, regressor) != nullptr;
}

}  // namespace tw::py
