// tarnwood._engine.Tree and TreeExplainer: the exact single tree of
// decision_tree/ and its exact Shapley values (tree_shap/) behind the
// package door. Same settings, saved states and results as `_rs`
// DecisionTree and TreeSHAP; results come back as NumPy arrays, and calls
// over many rows run on the pool, slice by slice, with the interpreter lock
// released.
#include <memory>
#include <string>
#include <utility>

#include "core/validate.hpp"
#include "decision_tree/decision_tree.hpp"
#include "engine/calls.hpp"
#include "engine/classes.hpp"
#include "engine/explain.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "tree_shap/tree_shap.hpp"

namespace tw::engine {
namespace {

using namespace tw::py;

// The package's tree: missing values allowed in x, and a missing side in
// every split (taught, or the default one).
struct Model : tw::DecisionTree {
    using tw::DecisionTree::DecisionTree;
    explicit Model(tw::DecisionTree&& t) : tw::DecisionTree(std::move(t)) {}
    // Exact trees have no bins: extras.max_bins is not read.
    void fit(const MatrixView& x, Vec y, std::optional<Vec> sample_weight,
             const FitExtras& extras) {
        tw::DecisionTree::fit(x, y, sample_weight, true, extras.categories);
    }
    Model unfitted() const { return Model(tw::DecisionTree::unfitted()); }
    static Model load(std::string_view state) { return Model(tw::DecisionTree::load(state, true)); }
};
using Explainer = tw::TreeShap;

PyTypeObject* g_tree_type = nullptr;

// Rows per slice: a tree's prediction costs tens of nanoseconds a row, an
// explanation thousands of times more.
constexpr std::size_t kPredictGrain = 8192;
constexpr std::size_t kExplainGrain = 16;
// Rough cost of one row in node visits, for the inline-or-released choice.
constexpr std::size_t kPredictCost = 16;
constexpr std::size_t kExplainCost = 4096;

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        return make_instance(type, new Model(parse_tree_settings(args, kwargs, "|OOOOOO:Tree")));
    });
}

PyObject* tree_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return fit_call<Model>(
        self, args, kwargs, [](const Model& m) { return m.unfitted(); },
        [](const Model&) { return std::size_t{1}; }, [](const Model&, const MatrixView&) {});
}

std::size_t n_classes(const Model& m) { return m.classes() ? m.classes()->size() : 0; }

PyObject* tree_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict", threads);
        Shared<Model> model(self);
        return rows_result(x.rows() * kPredictCost, threads, "predict", {x.rows()}, [&] {
            return parallel::sliced_rows(x.view(), 1, kPredictGrain,
                               [&](const MatrixView& part) { return model->predict(part); });
        });
    });
}

PyObject* tree_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict_proba", threads);
        Shared<Model> model(self);
        const std::size_t k = n_classes(*model);
        return rows_result(x.rows() * kPredictCost, threads, "predict_proba", {x.rows(), k}, [&] {
            return parallel::sliced_rows(x.view(), k, kPredictGrain, [&](const MatrixView& part) {
                return model->predict_proba(part);
            });
        });
    });
}

PyObject* tree_get_depth(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":get_depth");
        Shared<Model> model(self);
        return py_int(model->get_depth());
    });
}

PyObject* tree_get_n_leaves(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":get_n_leaves");
        Shared<Model> model(self);
        return py_int(model->get_n_leaves());
    });
}

PyObject* tree_classes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return optional_int_list(model->classes());
    });
}

// unseen_missing(x): None, or (row, feature, 0) for the first row whose path
// meets a missing value at a split whose training rows had none there.
PyObject* tree_unseen_missing(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:unseen_missing", threads);
        Shared<Model> model(self);
        if (!model->tree()) throw ValueError("the tree has not been fitted");
        const Tree& tree = *model->tree();
        const MatrixView v = x.view();
        require_width(v, tree.n_features_used, "x", "the fitted tree reads column");
        for (std::size_t r = 0; r < v.rows; ++r) {
            const std::int64_t f = tree.unseen_missing(v.row(r));
            if (f >= 0) return Py_BuildValue("(nLn)", static_cast<Py_ssize_t>(r), static_cast<long long>(f), Py_ssize_t{0});
        }
        return none();
    });
}

PyMethodDef g_tree_methods[] = {
    TW_METHOD("unseen_missing", tree_unseen_missing, "unseen_missing($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("fit", tree_fit, "fit($self, x, y, sample_weight=None, n_jobs=None, verbose=0, categories=None, max_bins=None, "
    "lossless_bins=True)\n--\n\n"),
    TW_METHOD("predict", tree_predict, "predict($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("predict_proba", tree_predict_proba, "predict_proba($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("get_depth", tree_get_depth, "get_depth($self)\n--\n\n"),
    TW_METHOD("get_n_leaves", tree_get_n_leaves, "get_n_leaves($self)\n--\n\n"),
    TW_EXPLAIN_METHODS(Model),
    TW_STATE_METHODS(Model),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_tree_getset[] = {
    TW_GETTER("classes_", tree_classes),
    TW_GETTER("is_fitted", is_fitted_getter<Model>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- TreeExplainer -------------------------------------------------------

PyObject* explainer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"tree", "x_train", "model_type", nullptr};
        PyObject *otree, *ox, *otype;
        parse_args(args, kwargs, "OOO:TreeExplainer", names, &otree, &ox, &otype);
        if (g_tree_type == nullptr || !PyObject_TypeCheck(otree, g_tree_type)) {
            PyErr_Format(PyExc_TypeError, "argument 'tree': expected a Tree, got '%s'",
                         Py_TYPE(otree)->tp_name);
            throw PyErrorSet{};
        }
        Shared<Model> tree(otree);
        const Matrix x = to_matrix(ox, "x_train");
        const std::string model_type = to_text(otype, "model_type");
        auto explainer = std::make_unique<Explainer>(*tree, x.view(), model_type);
        return make_instance(type, explainer.release());
    });
}

// explain(x, n_jobs=None): Shapley values of shape (rows, outputs, features).
PyObject* explainer_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:explain", threads);
        Shared<Explainer> ex(self);
        const std::size_t outputs = ex->n_outputs();
        const std::size_t features = ex->n_features();
        return rows_result(x.rows() * kExplainCost, threads, "explain",
                           {x.rows(), outputs, features}, [&] {
                               return parallel::sliced_rows(x.view(), outputs * features, kExplainGrain,
                                                  [&](const MatrixView& part) {
                                                      return ex->explain(part);
                                                  });
                           });
    });
}

// Unpickling: the constructor needs a tree and background rows, so a saved
// explainer is rebuilt from its state by this class method.
PyObject* explainer_from_state(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"state", nullptr};
        PyObject* ostate;
        parse_args(args, kwargs, "O:_from_state", names, &ostate);
        auto explainer = std::make_unique<Explainer>(Explainer::load(to_bytes(ostate, "state")));
        return make_instance(reinterpret_cast<PyTypeObject*>(cls), explainer.release());
    });
}

PyMethodDef g_explainer_methods[] = {
    TW_METHOD("explain", explainer_explain, "explain($self, x, n_jobs=None)\n--\n\n"),
    TW_STATE_METHODS(Explainer),
    {"_from_state",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(explainer_from_state)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, "_from_state($type, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_explainer_getset[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_trees(PyObject* module) {
    const TypeDescription tree{
        "Tree",
        "Tree(max_depth=None, criterion=\"entropy\", task=\"classification\", "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)\n--\n\n"
        "Exact decision tree (saved states shared with _rs.DecisionTree).",
        sizeof(Box<Model>), tree_new, dealloc_instance<Model>, g_tree_methods, g_tree_getset,
    };
    g_tree_type = add_class(module, tree);
    if (g_tree_type == nullptr) return false;
    const TypeDescription explainer{
        "TreeExplainer",
        "TreeExplainer(tree, x_train, model_type)\n--\n\n"
        "Exact Shapley values of a Tree's predictions (saved states shared with _rs.TreeSHAP).",
        sizeof(Box<Explainer>), explainer_new, dealloc_instance<Explainer>,
        g_explainer_methods, g_explainer_getset,
    };
    return add_class(module, explainer) != nullptr;
}

}  // namespace tw::engine
