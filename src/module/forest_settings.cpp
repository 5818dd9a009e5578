// Constructor arguments of the forest, single-tree and unsupervised classes,
// shared by both doors.
#include "module/forest_settings.hpp"

namespace tw::py {

ForestSettings parse_forest_settings(PyObject* args, PyObject* kwargs, const char* format,
                              std::uint64_t default_estimators) {
    static const char* const names[] = {"n_estimators",      "max_depth",        "max_features",
                                        "bootstrap",         "random_state",     "min_samples_split",
                                        "min_samples_leaf",  nullptr};
    PyObject *o_n = nullptr, *o_depth = Py_None, *o_feat = Py_None, *o_boot = nullptr,
             *o_seed = Py_None, *o_split = nullptr, *o_leaf = nullptr;
    parse_args(args, kwargs, format, names, &o_n, &o_depth, &o_feat, &o_boot, &o_seed, &o_split,
               &o_leaf);
    ForestSettings s;
    s.n_estimators = o_n ? to_count(o_n, "n_estimators") : default_estimators;
    s.max_depth = to_opt_count(o_depth, "max_depth");
    s.max_features = to_opt_text(o_feat, "max_features");
    s.bootstrap = o_boot ? to_flag(o_boot, "bootstrap") : true;
    s.random_state = to_opt_count(o_seed, "random_state");
    s.min_samples_split = o_split ? to_count(o_split, "min_samples_split") : 2;
    s.min_samples_leaf = o_leaf ? to_count(o_leaf, "min_samples_leaf") : 1;
    return s;
}

DecisionTree parse_tree_settings(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const names[] = {"max_depth", "criterion", "task", "random_state",
                                        "min_samples_split", "min_samples_leaf", nullptr};
    PyObject *o_max_depth = Py_None, *o_criterion = nullptr, *o_task = nullptr,
             *o_seed = Py_None, *o_split = nullptr, *o_leaf = nullptr;
    parse_args(args, kwargs, format, names, &o_max_depth, &o_criterion,
               &o_task, &o_seed, &o_split, &o_leaf);
    auto max_depth = to_opt_count(o_max_depth, "max_depth");
    std::string criterion = o_criterion ? to_text(o_criterion, "criterion") : "entropy";
    std::string task = o_task ? to_text(o_task, "task") : "classification";
    auto seed = to_opt_count(o_seed, "random_state");
    std::uint64_t split = o_split ? to_count(o_split, "min_samples_split") : 2;
    std::uint64_t leaf = o_leaf ? to_count(o_leaf, "min_samples_leaf") : 1;
    return DecisionTree(max_depth, std::move(criterion), std::move(task), seed, split, leaf);
}

UnsupervisedParams parse_unsupervised_settings(PyObject* args, PyObject* kwargs,
                                              const char* format, bool with_jobs) {
    static const char* const with[] = {"n_estimators",     "max_depth", "max_features",
                                       "random_state",     "min_samples_split",
                                       "min_samples_leaf", "n_jobs",    "n_neighbors",
                                       nullptr};
    static const char* const without[] = {"n_estimators",      "max_depth",
                                          "max_features",      "random_state",
                                          "min_samples_split", "min_samples_leaf",
                                          "n_neighbors",       nullptr};
    PyObject *o_trees = nullptr, *o_depth = Py_None, *o_features = Py_None, *o_seed = Py_None,
             *o_split = nullptr, *o_leaf = nullptr, *o_jobs = Py_None, *o_neighbors = Py_None;
    if (with_jobs) {
        parse_args(args, kwargs, format, with, &o_trees, &o_depth, &o_features, &o_seed,
                   &o_split, &o_leaf, &o_jobs, &o_neighbors);
    } else {
        parse_args(args, kwargs, format, without, &o_trees, &o_depth, &o_features, &o_seed,
                   &o_split, &o_leaf, &o_neighbors);
    }
    UnsupervisedParams p;
    p.n_estimators = o_trees ? to_count(o_trees, "n_estimators") : 500;
    p.max_depth = to_opt_count(o_depth, "max_depth");
    p.max_features = to_opt_text(o_features, "max_features");
    p.random_state = to_opt_count(o_seed, "random_state");
    p.min_samples_split = o_split ? to_count(o_split, "min_samples_split") : 2;
    p.min_samples_leaf = o_leaf ? to_count(o_leaf, "min_samples_leaf") : 1;
    p.n_jobs = to_opt_count(o_jobs, "n_jobs");
    p.n_neighbors = to_opt_count(o_neighbors, "n_neighbors").value_or(0);
    return p;
}

}  // namespace tw::py
