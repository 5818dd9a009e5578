// tarnwood._engine.BoostedClassifier and BoostedRegressor: the boosted
// ensembles of boosting/ behind the package door. Same settings (without
// the process-wide n_jobs: threads are chosen per call), saved states and
// results as the `_rs` boosted classes, plus the fit options of
// boosting/config.hpp (BoostOptions: leaf limits, early stopping, keeping
// the calibrated model), whose states only this door reads; results come
// back as NumPy arrays, and fit and predictions run with the interpreter
// lock released.
#include <cstdint>
#include <utility>

#include "boosting/classifier.hpp"
#include "boosting/regressor.hpp"
#include "engine/calls.hpp"
#include "engine/classes.hpp"
#include "engine/explain.hpp"
#include "module/boost_settings.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"

namespace tw::engine {
namespace {

using namespace tw::py;
using tw::boosting::BoostConfig;
using tw::boosting::BoostOptions;

// The door's ensembles: the core classes, fitting with the options given
// at construction and reading saved states with options as well.
template <class Core>
struct Door : Core {
    Door(Core&& core, BoostOptions options) : Core(std::move(core)), requested(options) {}
    void fit(const MatrixView& x, Vec y, std::optional<Vec> w, const FitExtras& extras) {
        BoostOptions options = requested;
        options.missing_values = true;
        options.categories = extras.categories;
        options.bins = extras.bins();
        Core::fit(x, y, w, options);
    }
    static Door load(std::string_view state) {
        Core core = Core::load(state, true);
        BoostOptions options = core.options();
        options.fast_growth = true;  // a setting of the fit, not saved
        return Door(std::move(core), options);
    }
    BoostOptions requested;  // the options of the next fit
};
using Regressor = Door<tw::boosting::TarnwoodRegressor>;
using Classifier = Door<tw::boosting::TarnwoodClassifier>;

// The option keywords after the settings (the regressor adds
// keep_calibrated after them).
#define TW_OPTION_NAMES "max_leaf_nodes", "validation_fraction", "n_iter_no_change", "fast_growth"
constexpr int kOptions = 4;

BoostOptions options_of(PyObject* const* o, PyObject* keep) {
    BoostOptions options;
    if (o[0]) options.max_leaf_nodes = to_opt_count(o[0], "max_leaf_nodes");
    if (o[1]) options.validation_fraction = to_float(o[1], "validation_fraction");
    if (o[2]) options.n_iter_no_change = to_count(o[2], "n_iter_no_change");
    // The door grows its internal trees with the faster arithmetic unless
    // asked not to (the `_rs` classes never do).
    options.fast_growth = !o[3] || to_flag(o[3], "fast_growth");
    if (keep) options.keep_calibrated = to_flag(keep, "keep_calibrated");
    tw::boosting::check_options(options);
    return options;
}

// The first twelve configuration parameters (every one but n_jobs).
constexpr int kSettings = 12;
#define TW_BOOST_NAMES                                                                    \
    "n_estimators", "learning_rate", "rf_n_estimators", "rf_max_depth", "rf_max_features", \
        "bootstrap", "random_state", "min_samples_split", "min_samples_leaf",              \
        "use_histogram", "async_mode", "tol"

BoostConfig config_of(PyObject* const* o) {
    BoostConfig config;
    for (int i = 0; i < kSettings; ++i) convert_config(config, i, o[i]);
    return config;
}

// Trees grown by one boosting pass (a round grows one forest per output).
// (Saturating: the count only labels the progress line.)
std::size_t pass_trees(const BoostConfig& c, std::size_t outputs) {
    std::size_t n = 0;
    if (__builtin_mul_overflow(c.n_estimators, c.rf_n_estimators, &n) ||
        __builtin_mul_overflow(n, outputs, &n)) {
        return SIZE_MAX / 2;
    }
    return n;
}

// Refuses rounds whose trees cannot fit (one forest a round at the least).
void check_rounds(const BoostConfig& c) {
    check_trees(saturating_mul(c.n_estimators, c.rf_n_estimators),
                "n_estimators * rf_n_estimators");
}

// Tree visits of predicting `rows` rows with a fitted ensemble.
template <class Model>
std::size_t visits(const Model& m, std::size_t rows) {
    std::size_t trees = 0;
    for (const auto& forest : m.rounds()) trees += forest.trees.size();
    return rows * trees;
}

std::pair<Matrix, double> parse_x_alpha(PyObject* args, PyObject* kwargs, const char* format,
                                        std::size_t& threads) {
    static const char* const names[] = {"x", "alpha", "n_jobs", nullptr};
    PyObject *ox, *oa = nullptr, *ojobs = Py_None;
    parse_args(args, kwargs, format, names, &ox, &oa, &ojobs);
    Matrix x = to_matrix(ox, "x");
    const double alpha = oa ? to_float(oa, "alpha") : 0.05;
    threads = threads_for(ojobs);
    return {std::move(x), alpha};
}

template <class Model>
PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict", threads);
        Shared<Model> model(self);
        return rows_result(visits(*model, x.rows()), threads, "predict", {x.rows()},
                           [&] { return model->predict(x.view()); });
    });
}

template <class Model>
PyObject* predict_ci(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        auto [x, alpha] = parse_x_alpha(args, kwargs, "O|OO:predict_ci", threads);
        Shared<Model> model(self);
        return rows_result(visits(*model, x.rows()), threads, "predict_ci", {x.rows(), 2},
                           [&] { return model->predict_ci(x.view(), alpha); });
    });
}

template <class Model>
PyObject* importances(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":feature_importances");
        Shared<Model> model(self);
        std::vector<double> values = model->feature_importances();
        const std::size_t n = values.size();
        return adopt_array(std::move(values), {n});
    });
}

template <class Model>
PyObject* n_estimators(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(model->config().n_estimators);
    });
}

// Boosting rounds the fitted model holds (fewer than n_estimators when the
// fit stopped early).
template <class Model>
PyObject* n_iter(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(model->trees_used().size());
    });
}

template <class Model>
PyObject* trees_used(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return count_array(model->trees_used());
    });
}

// ---- BoostedRegressor ----------------------------------------------------

PyObject* reg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {TW_BOOST_NAMES, "conformal_fraction", TW_OPTION_NAMES,
                                            "keep_calibrated", nullptr};
        PyObject* o[kSettings + 2 + kOptions] = {};
        parse_args(args, kwargs, "|OOOOOOOOOOOOOOOOOO:BoostedRegressor", names, &o[0], &o[1],
                   &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                   &o[13], &o[14], &o[15], &o[16], &o[17]);
        BoostConfig config = config_of(o);
        const double fraction = o[kSettings] ? to_float(o[kSettings], "conformal_fraction") : 0.2;
        const BoostOptions options = options_of(o + kSettings + 1, o[kSettings + 1 + kOptions]);
        return make_instance(
            type, new Regressor(tw::boosting::TarnwoodRegressor(std::move(config), fraction),
                                options));
    });
}

PyObject* reg_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    // Two passes (calibration, then the final model on every row) unless
    // the calibrated model is kept.
    return fit_call<Regressor>(
        self, args, kwargs,
        [](const Regressor& m) {
            return Regressor(tw::boosting::TarnwoodRegressor(m.config(), m.conformal_fraction()),
                             m.requested);
        },
        [](const Regressor& m) {
            return (m.requested.keep_calibrated ? 1 : 2) * pass_trees(m.config(), 1);
        },
        [](const Regressor& m, const MatrixView&) { check_rounds(m.config()); });
}

PyObject* reg_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":to_dict");
        Shared<Regressor> model(self);
        return regressor_dict(*model);
    });
}

PyObject* reg_calibration_residuals(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Regressor> model(self);
        return float_array(model->calibration_residuals());
    });
}

#define TW_FIT_DOC                                                                      \
    "fit($self, x, y, sample_weight=None, n_jobs=None, verbose=0, categories=None, "      \
    "max_bins=None, lossless_bins=True)\n--\n\n"

PyMethodDef g_reg_methods[] = {
    TW_METHOD("fit", reg_fit, TW_FIT_DOC),
    TW_METHOD("predict", predict<Regressor>, "predict($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("predict_ci", predict_ci<Regressor>,
              "predict_ci($self, x, alpha=0.05, n_jobs=None)\n--\n\n"
              "Split-conformal intervals: rows of [lower, upper]."),
    TW_METHOD("feature_importances", importances<Regressor>, "feature_importances($self)\n--\n\n"),
    TW_METHOD("to_dict", reg_to_dict, "to_dict($self)\n--\n\n"),
    TW_EXPLAIN_METHODS(Regressor),
    TW_STATE_METHODS(Regressor),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reg_getset[] = {
    TW_GETTER("n_estimators", n_estimators<Regressor>),
    TW_GETTER("is_fitted", is_fitted_getter<Regressor>),
    TW_GETTER("trees_used", trees_used<Regressor>),
    TW_GETTER("n_iter", n_iter<Regressor>),
    TW_GETTER("calibration_residuals", reg_calibration_residuals),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- BoostedClassifier ---------------------------------------------------

PyObject* clf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {TW_BOOST_NAMES, TW_OPTION_NAMES, nullptr};
        PyObject* o[kSettings + kOptions] = {};
        parse_args(args, kwargs, "|OOOOOOOOOOOOOOOO:BoostedClassifier", names, &o[0], &o[1], &o[2],
                   &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                   &o[13], &o[14], &o[15]);
        BoostConfig config = config_of(o);
        const BoostOptions options = options_of(o + kSettings, nullptr);
        return make_instance(
            type, new Classifier(tw::boosting::TarnwoodClassifier(std::move(config)), options));
    });
}

PyObject* clf_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    // The number of classes is known only once y is read, so progress
    // counts the trees of a two-class fit (one forest per round).
    return fit_call<Classifier>(
        self, args, kwargs,
        [](const Classifier& m) {
            return Classifier(tw::boosting::TarnwoodClassifier(m.config()), m.requested);
        },
        [](const Classifier& m) { return pass_trees(m.config(), 1); },
        [](const Classifier& m, const MatrixView&) { check_rounds(m.config()); });
}

PyObject* clf_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict_proba", threads);
        Shared<Classifier> model(self);
        return rows_result(visits(*model, x.rows()), threads, "predict_proba",
                           {x.rows(), model->n_proba_columns()},
                           [&] { return model->predict_proba(x.view()); });
    });
}

PyObject* clf_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":to_dict");
        Shared<Classifier> model(self);
        return classifier_dict(*model);
    });
}

PyObject* clf_n_classes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Classifier> model(self);
        return py_int(model->n_classes());
    });
}

PyMethodDef g_clf_methods[] = {
    TW_METHOD("fit", clf_fit, TW_FIT_DOC),
    TW_METHOD("predict", predict<Classifier>, "predict($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("predict_proba", clf_predict_proba, "predict_proba($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("predict_ci", predict_ci<Classifier>,
              "predict_ci($self, x, alpha=0.05, n_jobs=None)\n--\n\n"
              "Wilson intervals on the probability of class 1 (two-class models)."),
    TW_METHOD("feature_importances", importances<Classifier>,
              "feature_importances($self)\n--\n\n"),
    TW_METHOD("to_dict", clf_to_dict, "to_dict($self)\n--\n\n"),
    TW_EXPLAIN_METHODS(Classifier),
    TW_STATE_METHODS(Classifier),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_clf_getset[] = {
    TW_GETTER("n_estimators", n_estimators<Classifier>),
    TW_GETTER("n_classes", clf_n_classes),
    TW_GETTER("is_fitted", is_fitted_getter<Classifier>),
    TW_GETTER("trees_used", trees_used<Classifier>),
    TW_GETTER("n_iter", n_iter<Classifier>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define TW_BOOST_SIG                                                                    \
    "(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, rf_max_depth=None, "      \
    "rf_max_features=None, bootstrap=True, random_state=None, min_samples_split=2, "    \
    "min_samples_leaf=1, use_histogram=True, async_mode=False, tol=1e-4"
#define TW_OPTION_SIG \
    "max_leaf_nodes=None, validation_fraction=0.0, n_iter_no_change=10, fast_growth=True"

}  // namespace

bool add_boosting(PyObject* module) {
    const TypeDescription classifier{
        "BoostedClassifier",
        "BoostedClassifier" TW_BOOST_SIG ", " TW_OPTION_SIG ")\n--\n\n"
        "Newton boosting with a random forest per round and class (saved states shared "
        "with _rs.TarnwoodClassifier).",
        sizeof(Box<Classifier>), clf_new, dealloc_instance<Classifier>, g_clf_methods,
        g_clf_getset,
    };
    const TypeDescription regressor{
        "BoostedRegressor",
        "BoostedRegressor" TW_BOOST_SIG ", conformal_fraction=0.2, " TW_OPTION_SIG
        ", keep_calibrated=False)\n--\n\n"
        "Squared-loss boosting with a random forest per round and split-conformal "
        "intervals (saved states shared with _rs.TarnwoodRegressor).",
        sizeof(Box<Regressor>), reg_new, dealloc_instance<Regressor>, g_reg_methods,
        g_reg_getset,
    };
    return add_class(module, classifier) != nullptr && add_class(module, regressor) != nullptr;
}

}  // namespace tw::engine
