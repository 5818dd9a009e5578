"""Single exact decision trees as scikit-learn estimators."""
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

from . import _base, _categories
from . import _engine as _native
from .explain import Explainable


class _TreeBase(Explainable, _base.EngineEstimator, BaseEstimator):
    _engine = _native.Tree
    _accepts_missing = True

    def __init__(
        self, max_depth=None, min_samples_split=2, min_samples_leaf=1, random_state=None,
        n_jobs=None, missing_unseen="majority", categorical_features="from_dtype",
    ):
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.missing_unseen = missing_unseen
        self.categorical_features = categorical_features

    def _fit(self, X, y, sample_weight, task):
        owner = type(self).__name__
        _base.check_missing_unseen(self)
        model = _native.Tree(
            max_depth=_base.check_int(owner, "max_depth", self.max_depth, 0, allow_none=True),
            task=task,
            random_state=_base.to_seed(owner, self.random_state),
            min_samples_split=_base.check_int(owner, "min_samples_split", self.min_samples_split, 0),
            min_samples_leaf=_base.check_int(owner, "min_samples_leaf", self.min_samples_leaf, 0),
        )
        model.fit(X, y, sample_weight, n_jobs=self._threads(), **_categories.fit_keywords(self))
        self.model_ = model
        # Class leaves carry their weights already; regression needs them.
        weights = sample_weight if task == "regression" else None
        self.feature_importances_ = _native.tree_importances(model.__getstate__(), X, weights)
        return self

    def get_depth(self):
        """Depth of the fitted tree (a single leaf has depth 0)."""
        return self._fitted_model().get_depth()

    def get_n_leaves(self):
        """Number of leaves of the fitted tree."""
        return self._fitted_model().get_n_leaves()


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
    n_jobs : int or None, default=None
        Threads of predict and explain over many rows: None or -1 for every
        processor, a positive count, or -k for all but k - 1 processors.
        Results are the same for every value.
    missing_unseen : {"majority", "error"}, default="majority"
        What a row whose value is missing (NaN) does at a split whose
        training rows had no missing value of that feature: go to the child
        that more training samples reached (ties: right), or make the
        methods taking X raise a ValueError.
    categorical_features : "from_dtype", None, mask, indices or names, default="from_dtype"
        Columns of X holding categories: "from_dtype" takes a DataFrame's
        pandas `category`, string and object columns (an array has none);
        None makes every column numeric; otherwise a bool mask over the
        features, column indices, or a DataFrame's column names. A
        category the fit did not see is a missing value (refused under
        missing_unseen="error"); at most 256 categories a feature.

    X may hold missing values (NaN) in fit and in every method taking X
    (infinities are refused). A column with missing values is searched
    twice, its missing rows sorted after every value (thresholds send them
    right) and before every value (thresholds send them left), "missing or
    not" included; the better side is kept in the split (ties: right).

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct training labels, sorted.
    n_features_in_ : int
        Number of features seen during fit.
    is_categorical_ : ndarray of bool, shape (n_features_in_,)
        Which features were read as categories.
    categories_ : list of length n_features_in_
        Per categorical feature the ndarray of its categories (code i
        stands for categories_[j][i]); None for a numeric feature.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Mean decrease in impurity of the tree's splits, each weighted by
        its node's training weight, normalised to sum to 1 (zeros for a
        single leaf).
    model_ : tarnwood._engine.Tree
        The fitted engine tree.
    """

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=True)
        return self._fit(X, _base.encode_labels(self, y), sample_weight, "classification")


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
    n_jobs : int or None, default=None
        Threads of predict and explain over many rows: None or -1 for every
        processor, a positive count, or -k for all but k - 1 processors.
        Results are the same for every value.
    missing_unseen : {"majority", "error"}, default="majority"
        What a row whose value is missing (NaN) does at a split whose
        training rows had no missing value of that feature: go to the child
        that more training samples reached (ties: right), or make the
        methods taking X raise a ValueError.
    categorical_features : "from_dtype", None, mask, indices or names, default="from_dtype"
        Columns of X holding categories: "from_dtype" takes a DataFrame's
        pandas `category`, string and object columns (an array has none);
        None makes every column numeric; otherwise a bool mask over the
        features, column indices, or a DataFrame's column names. A
        category the fit did not see is a missing value (refused under
        missing_unseen="error"); at most 256 categories a feature.

    X may hold missing values (NaN) in fit and in every method taking X
    (infinities are refused). A column with missing values is searched
    twice, its missing rows sorted after every value (thresholds send them
    right) and before every value (thresholds send them left), "missing or
    not" included; the better side is kept in the split (ties: right).

    Attributes
    ----------
    n_features_in_ : int
        Number of features seen during fit.
    is_categorical_ : ndarray of bool, shape (n_features_in_,)
        Which features were read as categories.
    categories_ : list of length n_features_in_
        Per categorical feature the ndarray of its categories (code i
        stands for categories_[j][i]); None for a numeric feature.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Mean decrease in impurity of the tree's splits, each weighted by
        its node's training weight, normalised to sum to 1 (zeros for a
        single leaf).
    model_ : tarnwood._engine.Tree
        The fitted engine tree.
    """

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=False)
        return self._fit(X, y, sample_weight, "regression")

    def predict(self, X):
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.predict(X, n_jobs=self._threads())
