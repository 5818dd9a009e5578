// Constructor arguments and plain-data export of the boosted ensembles.
#include "module/boost_settings.hpp"

#include "boosting/importances.hpp"

namespace tw::py {
namespace {

using tw::boosting::BoostConfig;
using tw::boosting::InternalRF;
using Regressor = tw::boosting::TarnwoodRegressor;
using Classifier = tw::boosting::TarnwoodClassifier;

PyObject* signed_list(const std::vector<std::int64_t>& values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        check(PyLong_FromLongLong(static_cast<long long>(values[i]))).release());
    }
    return list.release();
}

PyObject* tree_entry(const tw::Tree& tree) {
    const tw::boosting::FlatTree flat = tw::boosting::flatten_tree(tree);
    Ref d = check(PyDict_New());
    dict_set(d.get(), "children_left", signed_list(flat.children_left));
    dict_set(d.get(), "children_right", signed_list(flat.children_right));
    dict_set(d.get(), "feature", signed_list(flat.feature));
    dict_set(d.get(), "threshold", float_list(flat.threshold));
    dict_set(d.get(), "value", float_list(flat.value));
    return d.release();
}

// Round entries: forest r*outputs + k is output k of round r; forests beyond
// the last complete round are not exported.
PyObject* build_rounds(const std::vector<InternalRF>& forests, std::size_t outputs) {
    if (outputs == 0) throw tw::InternalError("a model without outputs cannot be exported");
    const std::size_t n_rounds = forests.size() / outputs;
    Ref rounds = check(PyList_New(static_cast<Py_ssize_t>(n_rounds)));
    for (std::size_t r = 0; r < n_rounds; ++r) {
        Ref outs = check(PyList_New(static_cast<Py_ssize_t>(outputs)));
        for (std::size_t k = 0; k < outputs; ++k) {
            const InternalRF& forest = forests[r * outputs + k];
            Ref trees = check(PyList_New(static_cast<Py_ssize_t>(forest.trees.size())));
            for (std::size_t t = 0; t < forest.trees.size(); ++t) {
                PyList_SET_ITEM(trees.get(), static_cast<Py_ssize_t>(t), tree_entry(forest.trees[t]));
            }
            Ref out = check(PyDict_New());
            dict_set(out.get(), "trees", trees.release());
            PyList_SET_ITEM(outs.get(), static_cast<Py_ssize_t>(k), out.release());
        }
        Ref round = check(PyDict_New());
        dict_set(round.get(), "outputs", outs.release());
        PyList_SET_ITEM(rounds.get(), static_cast<Py_ssize_t>(r), round.release());
    }
    return rounds.release();
}

}  // namespace

void convert_config(BoostConfig& c, int index, PyObject* o) {
    if (o == nullptr) return;
    switch (index) {
        case 0: c.n_estimators = to_count(o, "n_estimators"); break;
        case 1: c.learning_rate = to_float(o, "learning_rate"); break;
        case 2: c.rf_n_estimators = to_count(o, "rf_n_estimators"); break;
        case 3: c.rf_max_depth = to_opt_count(o, "rf_max_depth"); break;
        case 4: c.rf_max_features = to_opt_text(o, "rf_max_features"); break;
        case 5: c.bootstrap = to_flag(o, "bootstrap"); break;
        case 6: c.random_state = to_opt_count(o, "random_state"); break;
        case 7: c.min_samples_split = to_count(o, "min_samples_split"); break;
        case 8: c.min_samples_leaf = to_count(o, "min_samples_leaf"); break;
        case 9: c.use_histogram = to_flag(o, "use_histogram"); break;
        case 10: c.async_mode = to_flag(o, "async_mode"); break;
        case 11: c.tol = to_float(o, "tol"); break;
        case 12: c.n_jobs = to_opt_count(o, "n_jobs"); break;
        default: throw tw::InternalError("unknown configuration parameter");
    }
}

PyObject* regressor_dict(const Regressor& m) {
    m.check_fitted();
    Ref d = check(PyDict_New());
    dict_set(d.get(), "task", py_text("regression"));
    dict_set(d.get(), "n_outputs", py_int(1));
    dict_set(d.get(), "learning_rate", py_float(m.config().learning_rate));
    const double init = m.init();
    dict_set(d.get(), "init", float_list(std::span<const double>(&init, 1)));
    dict_set(d.get(), "n_estimators", py_int(m.rounds().size()));
    dict_set(d.get(), "conformal_quantile", py_float(m.conformal_quantile()));
    dict_set(d.get(), "rounds", build_rounds(m.rounds(), 1));
    return d.release();
}

PyObject* classifier_dict(const Classifier& m) {
    m.check_fitted();
    const std::size_t outputs = m.init().size();
    if (outputs == 0) throw tw::InternalError("a model without outputs cannot be exported");
    Ref d = check(PyDict_New());
    // A single-class model keeps one score but is evaluated with softmax like
    // every non-binary model, so it is exported as multiclass.
    dict_set(d.get(), "task", py_text(m.n_classes() == 2 ? "binary" : "multiclass"));
    dict_set(d.get(), "n_outputs", py_int(outputs));
    dict_set(d.get(), "n_classes", py_int(m.n_classes()));
    dict_set(d.get(), "learning_rate", py_float(m.config().learning_rate));
    dict_set(d.get(), "init", float_list(m.init()));
    dict_set(d.get(), "n_estimators", py_int(m.rounds().size() / outputs));
    dict_set(d.get(), "rounds", build_rounds(m.rounds(), outputs));
    return d.release();
}

}  // namespace tw::py
