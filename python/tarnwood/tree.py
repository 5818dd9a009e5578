"""Single exact decision trees as scikit-learn estimators."""
import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

import _rs

from . import _base
from . import _engine as _native


class _TreeBase(BaseEstimator):
    def __init__(self, max_depth=None, min_samples_split=2, min_samples_leaf=1, random_state=None):
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.random_state = random_state

    def _make_model(self, task):
        owner = type(self).__name__
        return _rs.DecisionTree(
            max_depth=_base.check_int(owner, "max_depth", self.max_depth, 0, allow_none=True),
            task=task,
            random_state=_base.to_seed(owner, self.random_state),
            min_samples_split=_base.check_int(owner, "min_samples_split", self.min_samples_split, 0),
            min_samples_leaf=_base.check_int(owner, "min_samples_leaf", self.min_samples_leaf, 0),
        )

    def get_depth(self):
        """Depth of the fitted tree (a single leaf has depth 0)."""
        return _base.fitted(self).get_depth()

    def get_n_leaves(self):
        """Number of leaves of the fitted tree."""
        return _base.fitted(self).get_n_leaves()

    def explain(self, X, X_background):
        """Exact Shapley values of the tree's predictions for the rows of X.

        X_background supplies the covers of the tree's nodes. Returns an
        array of shape (n_rows, n_outputs, n_features): one output per class
        for a classifier (in the order of `classes_`), a single output for a
        regressor.
        """
        model = _base.fitted(self)
        X = _base.check_features(self, X, reset=False)
        background = _base.check_features(self, X_background, reset=False)
        task = "classification" if isinstance(self, ClassifierMixin) else "regression"
        explainer = _rs.TreeSHAP(model, background, task)
        values = explainer.explain(X)
        n_outputs = len(self.classes_) if task == "classification" else 1
        return _base.as_array(values, X.shape[0], n_outputs * X.shape[1]).reshape(
            X.shape[0], n_outputs, X.shape[1]
        )


class TreeClassifier(ClassifierMixin, _base.ClassifierOutputs, _TreeBase):
    """Exact decision tree classifier (Gini splits at midpoints of sorted values).

    Parameters
    ----------
    max_depth : int or None, default=None
        Depth limit; None grows until the leaves are pure or too small.
    min_samples_split : int, default=2
        Fewest samples a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest samples each child of a split must keep.
    random_state : int, RandomState, Generator or None, default=None
        Seed of the tie-breaking generator. An int gives reproducible trees.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct training labels, sorted.
    n_features_in_ : int
        Number of features seen during fit.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Mean decrease in impurity of the tree's splits, each weighted by
        its node's training weight, normalised to sum to 1 (zeros for a
        single leaf).
    model_ : _rs.DecisionTree
        The fitted engine tree.
    """

    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=True)
        model = self._make_model("classification")
        model.fit(X, _base.encode_labels(self, y), sample_weight)
        self.model_ = model
        self.feature_importances_ = _native.tree_importances(model.__getstate__(), X)
        return self


class TreeRegressor(RegressorMixin, _TreeBase):
    """Exact decision tree regressor (variance splits at midpoints of sorted values).

    Parameters
    ----------
    max_depth : int or None, default=None
        Depth limit; None grows until the leaves are pure or too small.
    min_samples_split : int, default=2
        Fewest samples a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest samples each child of a split must keep.
    random_state : int, RandomState, Generator or None, default=None
        Seed of the tie-breaking generator. An int gives reproducible trees.

    Attributes
    ----------
    n_features_in_ : int
        Number of features seen during fit.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Mean decrease in impurity of the tree's splits, each weighted by
        its node's training weight, normalised to sum to 1 (zeros for a
        single leaf).
    model_ : _rs.DecisionTree
        The fitted engine tree.
    """

    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=False)
        model = self._make_model("regression")
        model.fit(X, y, sample_weight)
        self.model_ = model
        self.feature_importances_ = _native.tree_importances(model.__getstate__(), X, sample_weight)
        return self

    def predict(self, X):
        model = _base.fitted(self)
        X = _base.check_features(self, X, reset=False)
        return _base.as_array(model.predict(X), X.shape[0])
