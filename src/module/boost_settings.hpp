// Constructor arguments and plain-data export of the boosted ensembles,
// shared by the `_rs` classes and the package door.
//
// Configuration index: the position of a parameter in the constructor table
// of the boosted classifier: n_estimators, learning_rate, rf_n_estimators,
// rf_max_depth, rf_max_features, bootstrap, random_state,
// min_samples_split, min_samples_leaf, use_histogram, async_mode, tol,
// n_jobs (0..12).
#pragma once
#include "boosting/classifier.hpp"
#include "boosting/config.hpp"
#include "boosting/regressor.hpp"
#include "module/py.hpp"

namespace tw::py {

// Converts the parameter at configuration index `index`; a null object
// keeps the default.
void convert_config(tw::boosting::BoostConfig& c, int index, PyObject* o);

// The fitted ensembles as nested dicts and lists (task, initial scores,
// learning rate and every tree's node lists, round by round).
PyObject* regressor_dict(const tw::boosting::TarnwoodRegressor& m);
PyObject* classifier_dict(const tw::boosting::TarnwoodClassifier& m);

}  // namespace tw::py
