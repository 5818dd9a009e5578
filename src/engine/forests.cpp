// tarnwood._engine.ForestClassifier and ForestRegressor: the bagged forests
// of random_forest/ behind the package door. Same settings and trees as the
// `_rs` forests; predictions come back as NumPy arrays, and fit and predict
// run with the interpreter lock released (engine/run.hpp). Fits here keep a
// fit record (saved with the state), which the fit options (out-of-bag
// estimates, sample sizes, balanced samples, warm starts) and the analyses
// (engine/forest_analyses.hpp) build on; states of the `_rs` forests load too.
// Planned forests grown in batches (plan_batches, grow_batch, merge_batches)
// let another party grow the trees, a batch at a time, with the result of a
// local fit.
#include <string>
#include <type_traits>
#include <utility>

#include "engine/calls.hpp"
#include "engine/classes.hpp"
#include "engine/explain.hpp"
#include "engine/forest_analyses.hpp"
#include "engine/forest_intervals.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "histogram/histogram.hpp"
#include "random_forest/batches.hpp"
#include "random_forest/random_forest.hpp"

namespace tw::engine {
namespace {

using namespace tw::py;

// The door's forests: the core forests, reading saved states with a fit
// record as well.
template <class Core>
struct Door : Core {
    explicit Door(ForestSettings s) : Core(std::move(s)) {}
    explicit Door(Core&& core) : Core(std::move(core)) {}
    static Door load(std::string_view state) { return Door(Core::load(state, true)); }
};
using Clf = Door<tw::RandomForestClassifier>;
using Reg = Door<tw::RandomForestRegressor>;

// The criterion a fit names: "gini" or "entropy" for the classifier,
// "squared_error" (the variance, the only one) for the regressor.
template <class Model>
split::Criterion to_criterion(PyObject* obj) {
    const std::string name = to_text(obj, "criterion");
    if constexpr (std::is_same_v<Model, Clf>) {
        if (name == "gini") return split::Criterion::kGini;
        if (name == "entropy") return split::Criterion::kEntropy;
        throw ValueError("criterion must be 'gini' or 'entropy', got '" + name + "'");
    } else {
        if (name == "squared_error") return split::Criterion::kGini;
        throw ValueError("criterion must be 'squared_error', got '" + name + "'");
    }
}

// The `criterion` property: the impurity the fitted trees decreased.
template <class Model>
PyObject* forest_criterion(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        const char* name = std::is_same_v<Model, Clf> ? split::criterion_name(model->criterion())
                                                      : "squared_error";
        return PyUnicode_FromString(name);
    });
}

// The options of a fit with a record from its keywords (nullptr: not given).
template <class Model>
FitOptions to_fit_options(PyObject* ooob, PyObject* osamples, PyObject* obalanced,
                          PyObject* odecrease, PyObject* orandom, PyObject* oleaves,
                          PyObject* ocriterion, PyObject* ofast) {
    FitOptions options;
    options.record = true;
    options.missing_values = true;
    options.fast_growth = !ofast || to_flag(ofast, "fast_growth");
    options.oob = ooob && to_flag(ooob, "oob_score");
    options.max_samples = to_opt_count(osamples, "max_samples");
    options.balanced_subsample = obalanced && to_flag(obalanced, "balanced_subsample");
    if (odecrease) options.min_impurity_decrease = to_float(odecrease, "min_impurity_decrease");
    options.random_splits = orandom && to_flag(orandom, "random_splits");
    options.max_leaf_nodes = to_opt_count(oleaves, "max_leaf_nodes");
    if (options.max_leaf_nodes && *options.max_leaf_nodes < 2) {
        PyErr_SetString(PyExc_ValueError, "max_leaf_nodes must be at least 2 or None");
        throw PyErrorSet{};
    }
    if (ocriterion != Py_None) options.criterion = to_criterion<Model>(ocriterion);
    return options;
}

// fit(x, y, sample_weight=None, n_jobs=None, verbose=0, oob_score=False,
// warm_start=None, max_samples=None, balanced_subsample=False,
// min_impurity_decrease=0.0, random_splits=False, max_leaf_nodes=None,
// criterion=None, categories=None, max_bins=None, lossless_bins=True,
// fast_growth=True) (engine/calls.hpp; fast_growth: grow/grow.hpp): grows a new
// forest (or, warm_start being a fitted forest of this class, possibly this
// one, keeps its trees and grows the ones missing up to n_estimators) and
// replaces the fitted one only when the whole fit succeeds.
template <class Model>
PyObject* forest_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x",          "y",           "sample_weight",
                                            "n_jobs",     "verbose",     "oob_score",
                                            "warm_start", "max_samples", "balanced_subsample",
                                            "min_impurity_decrease",     "random_splits",
                                            "max_leaf_nodes",            "criterion",
                                            "categories",                "max_bins",
                                            "lossless_bins",             "fast_growth",
                                            nullptr};
        PyObject *ox, *oy, *ow = Py_None, *ojobs = Py_None, *overbose = Py_None;
        PyObject *ooob = nullptr, *owarm = nullptr, *osamples = Py_None, *obalanced = nullptr;
        PyObject *odecrease = nullptr, *orandom = nullptr, *oleaves = Py_None;
        PyObject *ocriterion = Py_None, *ocategories = Py_None, *obins = Py_None;
        PyObject *olossless = Py_True, *ofast = nullptr;
        parse_args(args, kwargs, "OO|OOOOOOOOOOOOOOO:fit", names, &ox, &oy, &ow, &ojobs,
                   &overbose, &ooob, &owarm, &osamples, &obalanced, &odecrease, &orandom,
                   &oleaves, &ocriterion, &ocategories, &obins, &olossless, &ofast);
        const Matrix x = to_matrix(ox, "x");
        const Vector y = to_vector(oy, "y");
        const std::optional<Vector> w = to_opt_vector(ow, "sample_weight");
        const std::size_t threads = threads_for(ojobs);
        const Progress progress = progress_for(overbose);
        FitOptions options = to_fit_options<Model>(ooob, osamples, obalanced, odecrease, orandom,
                                                   oleaves, ocriterion, ofast);
        options.categories = to_categories(ocategories);
        options.bins =
            BinSettings{to_max_bins(obins, kWideBins), to_flag(olossless, "lossless_bins")};
        const bool warm_other = owarm && owarm != Py_None && owarm != self;
        if (warm_other && Py_TYPE(owarm) != Py_TYPE(self)) {
            PyErr_Format(PyExc_TypeError, "argument 'warm_start': expected None or a %s, got %s",
                         Py_TYPE(self)->tp_name, Py_TYPE(owarm)->tp_name);
            throw PyErrorSet{};
        }
        // The forest whose trees a warm start keeps: another model, read
        // under shared access, or this one.
        std::optional<Shared<Model>> other;
        if (warm_other) other.emplace(owarm);
        Exclusive<Model> model(self);
        if (warm_other) options.warm_start = &**other;
        else if (owarm == self) options.warm_start = &*model;
        std::optional<Vec> weights;
        if (w) weights = w->view();
        const std::size_t kept = options.warm_start && options.warm_start->is_fitted()
                                     ? options.warm_start->trees().size()
                                     : 0;
        const std::uint64_t total = model->settings().n_estimators;
        // The core fit changes the model only once it has succeeded.
        check_trees(total);
        run_released("fit", threads, progress, total > kept ? total - kept : 0,
                     [&] { model->fit(x.view(), y.view(), weights, options); });
        return none();
    });
}

// ---- planned forests grown in batches (random_forest/batches.hpp) ----------

// plan_batches(rows, n_features, oob_score=False, max_samples=None,
// balanced_subsample=False, min_impurity_decrease=0.0, random_splits=False,
// max_leaf_nodes=None, criterion=None, fast_growth=True) -> bytes: the plan of a fit with
// these options on rows x n_features training data, with this object's
// settings (its random_state drawn once here when None).
template <class Model>
PyObject* forest_plan_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"rows",       "n_features",   "oob_score",
                                            "max_samples", "balanced_subsample",
                                            "min_impurity_decrease",      "random_splits",
                                            "max_leaf_nodes",             "criterion",
                                            "fast_growth",                nullptr};
        PyObject *orows, *ocols, *ooob = nullptr, *osamples = Py_None, *obalanced = nullptr;
        PyObject *odecrease = nullptr, *orandom = nullptr, *oleaves = Py_None;
        PyObject *ocriterion = Py_None, *ofast = nullptr;
        parse_args(args, kwargs, "OO|OOOOOOOO:plan_batches", names, &orows, &ocols, &ooob,
                   &osamples, &obalanced, &odecrease, &orandom, &oleaves, &ocriterion, &ofast);
        const std::uint64_t rows = to_count(orows, "rows");
        const std::uint64_t cols = to_count(ocols, "n_features");
        const FitOptions options = to_fit_options<Model>(ooob, osamples, obalanced, odecrease,
                                                         orandom, oleaves, ocriterion, ofast);
        Shared<Model> model(self);
        check_trees(model->settings().n_estimators);
        return py_bytes(model->plan_batches(rows, cols, options).save());
    });
}

// Row weights: the given ones, or 1 for every row.
std::vector<double> weights_or_ones(const std::optional<Vector>& w, std::size_t rows) {
    if (w) return std::vector<double>(w->view().begin(), w->view().end());
    return std::vector<double>(rows, 1.0);
}

// grow_batch(bins, edges, y, sample_weight, plan, first, end, n_jobs=None,
// bin_values=None) -> bytes: trees [first, end) of the plan grown on the
// binned training matrix (bins: bytes, feature after feature, a byte per
// row; bin_values: what bin_edges(..., values=True) gives with the edges),
// with the interpreter lock released.
template <class Model>
PyObject* forest_grow_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"bins",  "edges", "y",      "sample_weight",
                                            "plan",  "first", "end",    "n_jobs",
                                            "bin_values", nullptr};
        PyObject *obins, *oedges, *oy, *ow, *oplan, *ofirst, *oend, *ojobs = Py_None,
                                                                    *ovalues = Py_None;
        parse_args(args, kwargs, "OOOOOOO|OO:grow_batch", names, &obins, &oedges, &oy, &ow,
                   &oplan, &ofirst, &oend, &ojobs, &ovalues);
        const std::string_view bins = to_bytes(obins, "bins");
        std::vector<std::vector<double>> edges = to_edges(oedges);
        std::vector<std::vector<double>> values;
        if (ovalues != Py_None) values = to_edges(ovalues, "bin_values");
        const Vector y = to_vector(oy, "y");
        const std::optional<Vector> w = to_opt_vector(ow, "sample_weight");
        const ForestPlan plan = ForestPlan::load(to_bytes(oplan, "plan"));
        const std::uint64_t first = to_count(ofirst, "first");
        const std::uint64_t end = to_count(oend, "end");
        const std::size_t threads = threads_for(ojobs);
        const std::size_t rows = static_cast<std::size_t>(plan.rows);
        if (edges.size() != plan.cols) throw ValueError("edges must list one array per feature");
        const std::vector<double> weights = weights_or_ones(w, y.view().size());
        Shared<Model> model(self);
        std::string out;
        run_released("grow_batch", threads, Progress{}, 0, [&] {
            const HistogramData hist = histogram_of_bins(
                {reinterpret_cast<const std::uint8_t*>(bins.data()), bins.size()}, rows,
                std::move(edges), std::move(values));
            out = model->grow_batch(hist, y.view(), weights, plan, first, end);
        });
        return py_bytes(out);
    });
}

// merge_batches(plan, batches, data_hash, y, sample_weight=None,
// n_jobs=None): installs the batches (a list of bytes, trees in plan order)
// as the fitted forest, reading them on n_jobs threads; the object changes
// only when the whole merge succeeds.
template <class Model>
PyObject* forest_merge_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"plan", "batches", "data_hash", "y",
                                            "sample_weight", "n_jobs", nullptr};
        PyObject *oplan, *obatches, *ohash, *oy, *ow = Py_None, *ojobs = Py_None;
        parse_args(args, kwargs, "OOOO|OO:merge_batches", names, &oplan, &obatches, &ohash, &oy,
                   &ow, &ojobs);
        const std::size_t threads = threads_for(ojobs);
        const ForestPlan plan = ForestPlan::load(to_bytes(oplan, "plan"));
        if (!PyList_Check(obatches)) {
            PyErr_Format(PyExc_TypeError, "argument 'batches': expected a list, got %s",
                         Py_TYPE(obatches)->tp_name);
            throw PyErrorSet{};
        }
        std::vector<std::string_view> batches;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obatches); ++i) {
            batches.push_back(to_bytes(PyList_GET_ITEM(obatches, i), "batches"));
        }
        const std::uint64_t hash = to_count(ohash, "data_hash");
        const Vector y = to_vector(oy, "y");
        const std::optional<Vector> w = to_opt_vector(ow, "sample_weight");
        const std::vector<double> weights = weights_or_ones(w, y.view().size());
        Exclusive<Model> model(self);
        Model merged(ForestSettings(model->settings()));
        run_released("merge_batches", threads, Progress{}, 0,
                     [&] { merged.merge(plan, batches, hash, y.view(), weights); });
        *model = std::move(merged);
        return none();
    });
}

#define TW_FOREST_BATCHES(T)                                                                 \
    TW_METHOD("plan_batches", forest_plan_batches<T>,                                        \
              "plan_batches($self, rows, n_features, oob_score=False, max_samples=None, "    \
              "balanced_subsample=False, min_impurity_decrease=0.0, random_splits=False, "   \
              "max_leaf_nodes=None, criterion=None, fast_growth=True)\n--\n\n"),                             \
        TW_METHOD("grow_batch", forest_grow_batch<T>,                                        \
                  "grow_batch($self, bins, edges, y, sample_weight, plan, first, end, "      \
                  "n_jobs=None, bin_values=None)\n--\n\n"),                                 \
        TW_METHOD("merge_batches", forest_merge_batches<T>,                                  \
                  "merge_batches($self, plan, batches, data_hash, y, "                       \
                  "sample_weight=None, n_jobs=None)\n--\n\n")

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

#define TW_FIT_DOC                                                                    \
    "fit($self, x, y, sample_weight=None, n_jobs=None, verbose=0, oob_score=False, "    \
    "warm_start=None, max_samples=None, balanced_subsample=False, "                 \
    "min_impurity_decrease=0.0, random_splits=False, max_leaf_nodes=None, "       \
    "criterion=None, categories=None, max_bins=None, lossless_bins=True, "          \
    "fast_growth=True)\n--\n\n"

PyMethodDef g_clf_methods[] = {
    TW_METHOD("fit", forest_fit<Clf>, TW_FIT_DOC),
    TW_METHOD("predict_proba", clf_predict_proba, "predict_proba($self, x, n_jobs=None)\n--\n\n"),
    TW_FOREST_ANALYSES(Clf),
    TW_FOREST_BATCHES(Clf),
    TW_EXPLAIN_METHODS(Clf),
    TW_STATE_METHODS(Clf),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_clf_getset[] = {
    TW_GETTER("n_estimators", forest_n_estimators<Clf>),
    TW_GETTER("classes_", forest_classes<Clf>),
    TW_GETTER("is_fitted", is_fitted_getter<Clf>),
    TW_GETTER("criterion", forest_criterion<Clf>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_reg_methods[] = {
    TW_METHOD("fit", forest_fit<Reg>, TW_FIT_DOC),
    TW_METHOD("predict", reg_predict, "predict($self, x, n_jobs=None)\n--\n\n"),
    TW_FOREST_ANALYSES(Reg),
    TW_FOREST_BATCHES(Reg),
    TW_EXPLAIN_METHODS(Reg),
    TW_FOREST_INTERVALS(Reg),
    TW_STATE_METHODS(Reg),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reg_getset[] = {
    TW_GETTER("n_estimators", forest_n_estimators<Reg>),
    TW_GETTER("is_fitted", is_fitted_getter<Reg>),
    TW_GETTER("criterion", forest_criterion<Reg>),
    TW_GETTER("has_leaf_samples", forest_has_leaf_samples<Reg>),
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
