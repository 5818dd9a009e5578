// Module functions of `tarnwood._engine` giving the impurity importances of
// estimators whose models the package still keeps as `_rs` objects: a
// single tree and the boosted ensembles, read from their saved states.
//
// tree_importances(state, x, sample_weight=None): the tree's impurity
// decreases normalised to sum to 1 over x's columns. Regression trees weigh
// their leaves by the rows of x (the training rows) times sample_weight when
// it is given, else by their sample counts.
// boosted_importances(state, kind, n_features): kind "regressor" or
// "classifier"; see boosting/importances.hpp.
#include <string>

#include "boosting/classifier.hpp"
#include "boosting/importances.hpp"
#include "boosting/regressor.hpp"
#include "core/validate.hpp"
#include "decision_tree/decision_tree.hpp"
#include "engine/classes.hpp"
#include "module/py.hpp"
#include "tree/node_totals.hpp"

namespace tw::engine {
namespace {

using namespace tw::py;

PyObject* tree_importances(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"state", "x", "sample_weight", nullptr};
        PyObject *ostate, *ox, *ow = Py_None;
        parse_args(args, kwargs, "OO|O:tree_importances", names, &ostate, &ox, &ow);
        const std::string_view state = to_bytes(ostate, "state");
        const Matrix x = to_matrix(ox, "x");
        const std::optional<Vector> w = to_opt_vector(ow, "sample_weight");
        const DecisionTree model = DecisionTree::load(state, true);
        if (!model.tree()) throw ValueError("the tree has not been fitted");
        const Tree& tree = *model.tree();
        const MatrixView view = x.view();
        require_width(view, tree.n_features_used, "x", "the tree reads column");
        const std::size_t n_classes =
            model.is_classification() && model.classes() ? model.classes()->size() : 0;
        std::vector<double> leaf_weight;
        if (w && !model.is_classification()) {
            if (w->view().size() != view.rows) {
                throw ValueError("sample_weight must have one entry per row of x");
            }
            if (view.rows > 0xFFFFFFFFull) throw ValueError("x has too many rows");
            std::vector<std::uint32_t> rows(view.rows), leaves(view.rows);
            for (std::size_t r = 0; r < view.rows; ++r) rows[r] = static_cast<std::uint32_t>(r);
            tree.walk_rows(view.rows, [&](std::size_t r) { return view.row(r); },
                           [&](std::size_t r, std::uint32_t leaf) { leaves[r] = leaf; });
            leaf_weight = leaf_weights(tree.nodes.size(), rows, leaves, w->view(), {});
        }
        std::vector<double> out = normalised_decreases(tree, n_classes, leaf_weight, view.cols);
        if (out.empty()) out.assign(view.cols, 0.0);
        return float_array(out);
    });
}

PyObject* boosted_importances(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"state", "kind", "n_features", nullptr};
        PyObject *ostate, *okind, *on;
        parse_args(args, kwargs, "OOO:boosted_importances", names, &ostate, &okind, &on);
        const std::string_view state = to_bytes(ostate, "state");
        const std::string kind = to_text(okind, "kind");
        const std::uint64_t n = to_count(on, "n_features");
        std::vector<boosting::InternalRF> rounds;
        if (kind == "regressor") {
            rounds = boosting::TarnwoodRegressor::load(state, true).rounds();
        } else if (kind == "classifier") {
            rounds = boosting::TarnwoodClassifier::load(state, true).rounds();
        } else {
            throw ValueError("kind must be 'regressor' or 'classifier'");
        }
        const std::uint64_t used = boosting::columns_read(rounds);
        if (n < used || n > (std::uint64_t{1} << 26)) {
            throw ValueError("n_features (" + std::to_string(n) + ") must cover the " +
                             std::to_string(used) + " columns the ensemble reads");
        }
        return float_array(boosting::impurity_importances(rounds, static_cast<std::size_t>(n)));
    });
}

PyMethodDef g_functions[] = {
    TW_METHOD("tree_importances", tree_importances,
              "tree_importances(state, x, sample_weight=None)\n--\n\n"
              "Impurity importances of a saved DecisionTree over x's columns."),
    TW_METHOD("boosted_importances", boosted_importances,
              "boosted_importances(state, kind, n_features)\n--\n\n"
              "Impurity importances of a saved boosted ensemble."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_importance_functions(PyObject* module) {
    return PyModule_AddFunctions(module, g_functions) == 0;
}

}  // namespace tw::engine
