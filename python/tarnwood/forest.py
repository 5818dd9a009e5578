"""Bagged random forests of histogram trees as scikit-learn estimators."""
import numbers
import warnings

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.metrics import accuracy_score, r2_score
from sklearn.utils.class_weight import compute_sample_weight

from . import _base, _categories
from . import _engine as _native
from .explain import Explainable
from ._structure import TreeStructure, decision_path_matrix, permutation_bunch

_NO_OOB_ROWS = (
    "Some inputs do not have OOB scores. This probably means too few trees were used to "
    "compute any reliable OOB estimates."
)


class _ForestBase(Explainable, _base.EngineEstimator, BaseEstimator):
    _OOB_ATTRIBUTES = ()
    _accepts_missing = True

    def __init__(
        self,
        n_estimators=100,
        max_depth=None,
        max_features=None,
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=1,
        random_state=None,
        n_jobs=None,
        verbose=0,
        oob_score=False,
        warm_start=False,
        max_samples=None,
        min_impurity_decrease=0.0,
        splitter="best",
        max_leaf_nodes=None,
        criterion=None,
        missing_unseen="majority",
        categorical_features="from_dtype",
        max_bins=256,
    ):
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.max_features = max_features
        self.bootstrap = bootstrap
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.oob_score = oob_score
        self.warm_start = warm_start
        self.max_samples = max_samples
        self.min_impurity_decrease = min_impurity_decrease
        self.splitter = splitter
        self.max_leaf_nodes = max_leaf_nodes
        self.criterion = criterion
        self.missing_unseen = missing_unseen
        self.categorical_features = categorical_features
        self.max_bins = max_bins

    def _make_model(self, n_features):
        owner = type(self).__name__
        return self._engine(
            n_estimators=_base.check_int(owner, "n_estimators", self.n_estimators, 1),
            max_depth=_base.check_int(owner, "max_depth", self.max_depth, 0, allow_none=True),
            max_features=_base.resolve_max_features(owner, self.max_features, n_features),
            bootstrap=_base.check_bool(owner, "bootstrap", self.bootstrap),
            random_state=_base.to_seed(owner, self.random_state),
            min_samples_split=_base.check_int(owner, "min_samples_split", self.min_samples_split, 0),
            min_samples_leaf=_base.check_int(owner, "min_samples_leaf", self.min_samples_leaf, 0),
        )

    def _check_oob_score(self):
        """oob_score as (asked for, scoring callable or None)."""
        if callable(self.oob_score) and not isinstance(self.oob_score, (bool, np.bool_)):
            scorer = self.oob_score
        else:
            scorer = None
            _base.check_bool(type(self).__name__, "oob_score", self.oob_score)
        asked = scorer is not None or bool(self.oob_score)
        if asked and not self.bootstrap:
            raise ValueError("Out of bag estimation only available if bootstrap=True")
        return asked, scorer

    def _resolve_max_samples(self, n_samples):
        """The bootstrap sample size for `max_samples`, None for every row."""
        owner = type(self).__name__
        value = self.max_samples
        if value is None:
            return None
        if not self.bootstrap:
            raise ValueError(
                "`max_sample` cannot be set if `bootstrap=False`. Either switch to "
                "`bootstrap=True` or set `max_sample=None`."
            )
        if isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
            count = _base.check_int(owner, "max_samples", value, 1)
            if count > n_samples:
                raise ValueError(f"`max_samples` must be <= n_samples={n_samples} but got value {count}")
            return count
        fraction = _base.check_float(owner, "max_samples", value, low=0.0, high=1.0, low_open=True)
        return max(round(n_samples * fraction), 1)

    # Trees grow with the engine's faster arithmetic (repeated bootstrap
    # rows summed once with their multiplicity, partial feature draws); off,
    # they are the compatibility module's trees bit for bit.
    _fast_growth = True

    def _random_splits(self):
        if self.splitter not in ("best", "random"):
            raise _base.InvalidParameterError(
                f"The 'splitter' parameter of {type(self).__name__} must be 'best' or 'random'. "
                f"Got {self.splitter!r} instead."
            )
        return self.splitter == "random"

    def _criterion(self):
        """The engine's name of the criterion (log_loss is entropy)."""
        allowed = self._CRITERIA
        if not isinstance(self.criterion, str) or self.criterion not in allowed:
            among = ", ".join(repr(c) for c in allowed)
            raise _base.InvalidParameterError(
                f"The 'criterion' parameter of {type(self).__name__} must be a str among "
                f"{{{among}}}. Got {self.criterion!r} instead."
            )
        return "entropy" if self.criterion == "log_loss" else str(self.criterion)

    def _previous_model(self):
        """The fitted engine model a warm start keeps, or None."""
        warm = _base.check_bool(type(self).__name__, "warm_start", self.warm_start)
        if not warm or not hasattr(self, "model_"):
            return None
        previous = self._fitted_model()
        n = _base.check_int(type(self).__name__, "n_estimators", self.n_estimators, 1)
        if n < previous.n_estimators:
            raise ValueError(
                f"n_estimators={n} must be larger or equal to len(estimators_)="
                f"{previous.n_estimators} when warm_start==True"
            )
        if n == previous.n_estimators:
            warnings.warn(
                "Warm-start fitting without increasing n_estimators does not fit new trees.",
                UserWarning,
            )
        return previous

    def _grow(self, X, y, sample_weight, balanced_subsample=False):
        """Fits a new engine model (keeping the trees of the fitted one when
        warm starting) and sets the out-of-bag attributes; the estimator
        changes only when everything succeeds."""
        oob, scorer = self._check_oob_score()
        _base.check_missing_unseen(self)
        previous = self._previous_model()
        model = self._make_model(X.shape[1])
        model.fit(
            X, y, sample_weight, n_jobs=self._threads(), verbose=self._verbosity(),
            oob_score=oob, warm_start=previous,
            max_samples=self._resolve_max_samples(X.shape[0]),
            balanced_subsample=balanced_subsample,
            min_impurity_decrease=_base.check_float(
                type(self).__name__, "min_impurity_decrease", self.min_impurity_decrease, low=0.0),
            random_splits=self._random_splits(),
            max_leaf_nodes=_base.check_int(
                type(self).__name__, "max_leaf_nodes", self.max_leaf_nodes, 2, allow_none=True),
            criterion=self._criterion(), fast_growth=self._fast_growth,
            max_bins=_base.check_int(type(self).__name__, "max_bins", self.max_bins, 2,
                                     maximum=65536),
            **_categories.fit_keywords(self),
        )
        return model, (self._oob_attributes(model, y, scorer) if oob else {})

    def _commit(self, model, oob_attributes):
        for name in self._OOB_ATTRIBUTES:
            self.__dict__.pop(name, None)
        self.__dict__.update(oob_attributes)
        self.model_ = model

    @staticmethod
    def _oob_values(model):
        values, counts = model.oob_predictions()
        seen = counts > 0
        if not seen.all():
            warnings.warn(_NO_OOB_ROWS, UserWarning)
        return values, seen

    # ---- fitted trees -----------------------------------------------------

    @property
    def feature_importances_(self):
        """Mean decrease in impurity (the criterion's: Gini impurity or entropy
        for a classifier, variance for a regressor), each split weighted
        by its node's training weight: per tree normalised to sum to 1, then
        averaged over the trees that split and normalised again. Zeros when
        no tree splits."""
        model = self._fitted_model()
        return model.feature_importances(self.n_features_in_)

    def apply(self, X):
        """Leaf reached by every row in every tree: int64 array of shape
        (n_samples, n_estimators) of node numbers in each tree's pre-order
        numbering (see `trees_`)."""
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.apply(X, n_jobs=self._threads())

    def decision_path(self, X):
        """Nodes every row passes through: (indicator, n_nodes_ptr), a sparse
        (n_samples, total nodes) indicator matrix in CSR form whose columns
        n_nodes_ptr[t] .. n_nodes_ptr[t + 1] - 1 are the nodes of tree t."""
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        row_begin, columns, offsets = model.decision_path(X, n_jobs=self._threads())
        return decision_path_matrix(row_begin, columns, offsets, X.shape[0])

    @property
    def trees_(self):
        """The node arrays of every tree (a list of TreeStructure, built on
        access): children, features, thresholds, values and the plain and
        weighted sample counts of each node."""
        model = self._fitted_model()
        return [TreeStructure(model.tree_arrays(t)) for t in range(model.n_estimators)]

    @property
    def estimators_samples_(self):
        """The rows each tree was grown on: per tree an int64 array of the
        bootstrap draws in draw order (a row drawn twice appears twice), or
        every row once without bootstrapping."""
        model = self._fitted_model()
        return [model.sample_indices(t) for t in range(model.n_estimators)]

    def oob_permutation_importance(self, X, y, n_repeats=5, random_state=None):
        """Permutation importance on each tree's out-of-bag rows.

        For every tree and feature the feature's values are permuted among
        the tree's out-of-bag rows, and the drop of the tree's score on those
        rows (accuracy for a classifier; for a regressor, the rise of the mean
        squared error over the variance of y, a drop of R^2) is averaged over
        the trees; this is repeated `n_repeats` times. Unlike a permutation
        importance on held-out rows of the whole forest, each tree is judged
        only on rows it never saw. Runs in the engine, trees in parallel.

        X and y must be the training data of the last fit (checked).
        Returns a Bunch with importances_mean and importances_std of shape
        (n_features,) and importances of shape (n_features, n_repeats), like
        sklearn.inspection.permutation_importance.
        """
        model = self._fitted_model()
        owner = type(self).__name__
        X = _base.check_features(self, X, reset=False)
        y = np.asarray(y)
        if y.ndim != 1 or y.shape[0] != X.shape[0]:
            raise ValueError("y must be the training targets: one value per row of X")
        repeats = _base.check_int(owner, "n_repeats", n_repeats, 1)
        seed = _base.to_seed(owner, random_state)
        drops = model.oob_permutation_importance(
            X, self._engine_targets(y), repeats, seed, n_jobs=self._threads()
        )
        return permutation_bunch(drops)


class ForestClassifier(ClassifierMixin, _base.ClassifierOutputs, _ForestBase):
    """Random forest classifier: bagged histogram trees with soft voting.

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.
    max_depth : int or None, default=None
        Depth limit of every tree.
    max_features : {"sqrt", "log2"}, int, float or None, default="sqrt"
        Features examined per split: the square root or base-2 logarithm of
        the number of features, a count, a fraction of the features, or None
        for all of them. The default is scikit-learn's for classification.
    bootstrap : bool, default=True
        Grow each tree on a bootstrap sample (else on all rows).
    min_samples_split, min_samples_leaf : int, default=2 and 1
        Growth limits of every tree.
    random_state : int, RandomState, Generator or None, default=None
        Seed of the forest; an int gives the same forest on every fit,
        whatever the number of threads.
    n_jobs : int or None, default=None
        Threads used by fit and predict: None or -1 for every processor, a
        positive count, or -k for all but k - 1 processors. Results are the
        same for every value.
    verbose : int or callable, default=0
        0 is silent; 1 or more prints a progress line on stderr during fit
        (trees grown, time elapsed, estimated time left). A callable is
        called instead as ``verbose(done, total, elapsed_seconds)`` a few
        times a second on the calling thread; an exception it raises stops
        the fit and propagates.
    oob_score : bool or callable, default=False
        Estimate the generalisation score from the out-of-bag rows of each
        tree, accumulated while the trees grow. True scores with accuracy;
        a callable `score(y_true, y_pred)` receives the labels of the rows
        that have out-of-bag predictions and their predicted labels.
        Needs bootstrap=True.
    warm_start : bool, default=False
        When fitted already, keep the trees and grow only the ones missing up
        to a raised `n_estimators`; the forest is then identical to one grown
        with that many trees at once (same data and random_state).
    max_samples : int, float or None, default=None
        Rows drawn for each tree's bootstrap sample: a count, a fraction of
        the rows (at least one), or None for as many as there are rows.
    min_impurity_decrease : float, default=0.0
        A node splits only when its weighted impurity decrease,
        N_t / N * (impurity - N_t_L / N_t * left impurity - N_t_R / N_t *
        right impurity) with N the weight of the tree's sample and the
        criterion's impurity, reaches this value.
    max_leaf_nodes : int or None, default=None
        At most this many leaves per tree (at least 2): the nodes then split
        best first, the one of the largest weighted impurity decrease (see
        min_impurity_decrease) next, the first opened among equal ones.
        None grows depth first without a leaf limit.
    splitter : {"best", "random"}, default="best"
        "best" splits on the best bin edge of the features examined;
        "random" is the extremely randomised rule of extra-trees forests:
        per examined feature one threshold, a bin edge drawn uniformly
        between the lowest and highest bins of the node's rows, and the best
        of those. Often combined with bootstrap=False, as scikit-learn's
        ExtraTreesClassifier does by default.
    class_weight : None, "balanced", "balanced_subsample" or dict, default=None
        Weights of the classes, multiplied into the sample weights: a dict
        {label: weight}; "balanced" weighs class c by
        n_samples / (n_classes * count of c); "balanced_subsample" does so
        within each tree's bootstrap sample.
    criterion : {"gini", "entropy", "log_loss"}, default="gini"
        The impurity the splits decrease: the Gini impurity, or the Shannon
        entropy in bits ("log_loss" is the same). It also measures
        `feature_importances_` and `min_impurity_decrease`, and the fitted
        forest keeps it (a warm start must use the same one).
    missing_unseen : {"majority", "error"}, default="majority"
        Missing values (NaN) in X are handled natively; see "Missing
        values" below. This decides what a row whose value is missing does
        at a split whose training rows had no missing value of that
        feature: "majority" sends it to the child that more of the node's
        training samples reached (ties: right); "error" makes predict,
        predict_proba, apply and the other methods taking X raise a
        ValueError naming the row, feature and tree instead.
    categorical_features : "from_dtype", None, mask, indices or names, default="from_dtype"
        Columns of X holding categories: "from_dtype" takes a DataFrame's
        pandas `category`, string and object columns (an array has none);
        None makes every column numeric; otherwise a bool mask over the
        features, column indices, or a DataFrame's column names. Each
        becomes codes 0..k-1 of its categories (at most 256); a category
        the fit did not see is missing (refused with missing_unseen="error").
    max_bins : int, default=256
        Most bins a feature's values are sorted into (2..65536; a feature
        with missing values keeps one of them for those). A feature of at
        most that many distinct values gets a bin per value, so every
        threshold between two training values is a candidate; others get
        bins of about equal size, a value's size blending its rows and its
        share of the feature's range (rows^(1/4) times range share^(3/4), so
        that neither the sparse ends nor the dense middle of a feature are
        left a few wide bins), frequent values kept apart. Above 256,
        features that need more bins than a byte numbers make the fit use
        16-bit bins: finer thresholds on continuous data for a slower fit
        (4096 reaches the accuracy of exact trees on data of many thousand
        distinct values a feature, for about 1.5 times the fit time); see
        "Bins of the histogram trees" in the README.
        splitter="random" and Dask fits keep at most 256.

    Missing values: X may hold NaN in fit and in every method that takes X
    (infinities are refused). Each feature with missing values gets a bin
    of its own, and every candidate threshold is scored twice, with the
    missing rows sent left and right (the better wins; among equal gains,
    right), "missing or not" included (threshold +inf, or -inf with the
    missing rows left), so that informative missingness is learned. The
    side is stored in each split (`trees_[t].missing_go_to_left`) and
    saved with the model.

    Fit and predict release the interpreter lock while they run, so other
    Python threads keep running, and Ctrl-C interrupts them with
    KeyboardInterrupt, leaving the estimator as it was before the call.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
    n_features_in_ : int
    is_categorical_ : ndarray of bool, shape (n_features_in_,)
        Which features were read as categories.
    categories_ : list of length n_features_in_
        Per categorical feature the ndarray of its categories (code i
        stands for categories_[j][i]); None for a numeric feature.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Mean decrease in impurity (see the property).
    oob_score_ : float
        Score of the out-of-bag predictions over the rows that have one
        (with oob_score).
    oob_decision_function_ : ndarray of shape (n_samples, n_classes)
        Mean class probabilities over the trees for which each training row
        was out of bag; NaN rows (with a warning) for rows in every sample.
    trees_ : list of TreeStructure
        Node arrays of the trees (built on access).
    estimators_samples_ : list of ndarray
        Each tree's bootstrap draws.
    model_ : tarnwood._engine.ForestClassifier
    """

    _OOB_ATTRIBUTES = ("oob_score_", "oob_decision_function_")
    _CRITERIA = ("gini", "entropy", "log_loss")

    def __init__(
        self,
        n_estimators=100,
        max_depth=None,
        max_features="sqrt",
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=1,
        random_state=None,
        n_jobs=None,
        verbose=0,
        oob_score=False,
        warm_start=False,
        max_samples=None,
        min_impurity_decrease=0.0,
        splitter="best",
        max_leaf_nodes=None,
        class_weight=None,
        criterion="gini",
        missing_unseen="majority",
        categorical_features="from_dtype",
        max_bins=256,
    ):
        super().__init__(
            n_estimators=n_estimators,
            max_depth=max_depth,
            max_features=max_features,
            bootstrap=bootstrap,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            random_state=random_state,
            n_jobs=n_jobs,
            verbose=verbose,
            oob_score=oob_score,
            warm_start=warm_start,
            max_samples=max_samples,
            min_impurity_decrease=min_impurity_decrease,
            splitter=splitter,
            max_leaf_nodes=max_leaf_nodes,
            criterion=criterion,
            missing_unseen=missing_unseen,
            categorical_features=categorical_features,
            max_bins=max_bins,
        )
        self.class_weight = class_weight

    _engine = _native.ForestClassifier

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=True)
        classes, encoded = np.unique(y, return_inverse=True)
        if (
            _base.check_bool(type(self).__name__, "warm_start", self.warm_start)
            and hasattr(self, "classes_")
            and not np.array_equal(classes, self.classes_)
        ):
            raise ValueError(
                "warm_start needs the classes of the fitted forest: "
                f"{self.classes_!r} were fitted, y has {classes!r}"
            )
        sample_weight, per_sample = self._class_weights(y, sample_weight)
        self.classes_ = classes
        model, oob = self._grow(X, encoded.astype(np.float64), sample_weight, per_sample)
        self._commit(model, oob)
        return self

    def _class_weights(self, y, sample_weight):
        """Sample weights times the class weights, and whether the engine
        balances each tree's sample itself."""
        cw = self.class_weight
        if cw is None:
            return sample_weight, False
        if isinstance(cw, str) and cw in ("balanced", "balanced_subsample"):
            if cw == "balanced_subsample" and self.bootstrap:
                return sample_weight, True
            expanded = compute_sample_weight("balanced", y)
        elif isinstance(cw, dict):
            expanded = compute_sample_weight(cw, y)
        else:
            raise _base.InvalidParameterError(
                "The 'class_weight' parameter of ForestClassifier must be None, 'balanced', "
                f"'balanced_subsample' or a dict. Got {cw!r} instead."
            )
        if sample_weight is None:
            return np.ascontiguousarray(expanded, dtype=np.float64), False
        return sample_weight * expanded, False

    def _oob_attributes(self, model, y, scorer):
        values, seen = self._oob_values(model)
        out = {"oob_decision_function_": values}
        if not seen.any():
            out["oob_score_"] = float("nan")
            return out
        y_true = self.classes_.take(y.astype(np.intp)[seen])
        y_pred = self.classes_.take(np.argmax(values[seen], axis=1))
        out["oob_score_"] = (scorer or accuracy_score)(y_true, y_pred)
        return out

    def _engine_targets(self, y):
        positions = np.searchsorted(self.classes_, y)
        positions = np.clip(positions, 0, len(self.classes_) - 1)
        if not np.array_equal(self.classes_.take(positions), y):
            raise ValueError("y holds labels the classifier was not fitted on")
        return positions.astype(np.float64)


class ForestRegressor(RegressorMixin, _ForestBase):
    """Random forest regressor: bagged histogram trees, mean of the leaves.

    Parameters are those of :class:`ForestClassifier` (without
    class_weight), except that `max_features` defaults to 1.0 (every feature
    examined at every split, scikit-learn's default for regression), that
    `criterion` defaults to "squared_error" (variance reduction, the only
    one) and that `oob_score=True` scores with R^2.

    Attributes
    ----------
    n_features_in_ : int
    is_categorical_, categories_ : as for :class:`ForestClassifier`
    feature_importances_ : ndarray of shape (n_features_in_,)
    oob_score_ : float
        Score of the out-of-bag predictions (with oob_score).
    oob_prediction_ : ndarray of shape (n_samples,)
        Mean prediction over the trees for which each training row was out of
        bag; NaN (with a warning) for rows in every sample.
    trees_, estimators_samples_ : as for :class:`ForestClassifier`
    model_ : tarnwood._engine.ForestRegressor
    """

    _OOB_ATTRIBUTES = ("oob_score_", "oob_prediction_")
    _CRITERIA = ("squared_error",)

    def __init__(
        self,
        n_estimators=100,
        max_depth=None,
        max_features=1.0,
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=1,
        random_state=None,
        n_jobs=None,
        verbose=0,
        oob_score=False,
        warm_start=False,
        max_samples=None,
        min_impurity_decrease=0.0,
        splitter="best",
        max_leaf_nodes=None,
        criterion="squared_error",
        missing_unseen="majority",
        categorical_features="from_dtype",
        max_bins=256,
    ):
        super().__init__(
            n_estimators=n_estimators,
            max_depth=max_depth,
            max_features=max_features,
            bootstrap=bootstrap,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            random_state=random_state,
            n_jobs=n_jobs,
            verbose=verbose,
            oob_score=oob_score,
            warm_start=warm_start,
            max_samples=max_samples,
            min_impurity_decrease=min_impurity_decrease,
            splitter=splitter,
            max_leaf_nodes=max_leaf_nodes,
            criterion=criterion,
            missing_unseen=missing_unseen,
            categorical_features=categorical_features,
            max_bins=max_bins,
        )

    _engine = _native.ForestRegressor

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=False)
        model, oob = self._grow(X, y, sample_weight)
        self._commit(model, oob)
        return self

    def _oob_attributes(self, model, y, scorer):
        values, seen = self._oob_values(model)
        out = {"oob_prediction_": values}
        if not seen.any():
            out["oob_score_"] = float("nan")
            return out
        out["oob_score_"] = (scorer or r2_score)(y[seen], values[seen])
        return out

    def _engine_targets(self, y):
        return np.ascontiguousarray(y, dtype=np.float64)

    def predict(self, X):
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.predict(X, n_jobs=self._threads())

    def predict_quantiles(self, X, quantiles=(0.05, 0.5, 0.95)):
        """Quantile regression forest (Meinshausen 2006) quantiles.

        Every training row gets, at a row x, the weight its draws times its
        sample weight take in the total of the leaf x reaches, averaged over
        the trees; the quantile at level q is the smallest training target y
        whose cumulative weight reaches q (level 0 gives the smallest target
        of positive weight). These are exact quantiles of the weighted
        empirical distribution, up to the rounding of the cumulative sums:
        a sum within (L + 2) * 2^-52 of q (L the training draws in the
        leaves gathered, about 1e-10 for a million) counts as reaching it.
        The forest keeps each tree's training rows grouped by leaf, so no
        training data is needed here; the first call after a fit (of this
        method, predict_interval, or a save) does the grouping.

        quantiles : float or sequence of floats in [0, 1]
        Returns an array of shape (n_samples, len(quantiles)), nondecreasing
        along each row when the levels are.
        """
        model = self._fitted_model()
        levels = _check_quantiles(quantiles)
        X = _base.check_features(self, X, reset=False)
        return model.predict_quantiles(X, levels, n_jobs=self._threads())

    def predict_interval(self, X, alpha=0.1, method="jackknife+"):
        """Prediction intervals at level 1 - alpha from the out-of-bag rows,
        without a calibration split (needs bootstrap=True).

        method="jackknife+": jackknife+-after-bootstrap (Kim, Xu and Barber
        2020). With mu_i(x) the mean prediction of the trees that left
        training row i out and R_i = |y_i - mu_i(x_i)| its out-of-bag
        residual, the interval runs from the floor(alpha (n + 1))-th
        smallest mu_i(x) - R_i to the ceil((1 - alpha)(n + 1))-th smallest
        mu_i(x) + R_i, over the n rows some tree left out (infinite when
        alpha (n + 1) < 1). Guarantee: coverage of at least 1 - 2 alpha on
        exchangeable data (their theorem, for a tree count drawn at random
        around n_estimators); in practice, and in this package's tests, at
        least 1 - alpha. Widths hardly change with x. Costs about n_samples
        x training rows x n_estimators / 3 additions.

        method="quantile": conformalised quantile regression on the
        out-of-bag rows. Each training row scores
        max(lo_i - y_i, y_i - hi_i), lo_i and hi_i being its out-of-bag
        quantile forest quantiles (:meth:`predict_quantiles` from the trees
        that left it out) at alpha / 2 and 1 - alpha / 2; with Q the
        ceil((1 - alpha)(n + 1))-th smallest score, the interval is
        [lo(x) - Q, hi(x) + Q]. Widths follow the local spread of y, so
        they widen where the data are noisier. Coverage is about 1 - alpha
        (this package's tests hold it within their tolerance of 1 - alpha at
        alpha 0.05, 0.1 and 0.2); unlike split conformal it has no
        finite-sample guarantee, since the out-of-bag quantiles come from a
        third of the trees and a new row's from all of them.

        Returns an array of shape (n_samples, 2) holding [lower, upper].
        Ends that would cross (an empty interval: jackknife+ above
        alpha = 1/2, or a negative Q) give the point halfway between them.
        """
        model = self._fitted_model()
        alpha = _base.check_float(
            "predict_interval", "alpha", alpha, low=0.0, high=1.0, low_open=True, high_open=True
        )
        if method not in ("jackknife+", "quantile"):
            raise _base.InvalidParameterError(
                "The 'method' parameter of predict_interval must be 'jackknife+' or "
                f"'quantile'. Got {method!r} instead."
            )
        X = _base.check_features(self, X, reset=False)
        return model.predict_interval(X, alpha, method, n_jobs=self._threads())


def _check_quantiles(quantiles):
    """The quantile levels as a non-empty 1-D float64 array inside [0, 1]."""
    try:
        levels = np.asarray(quantiles, dtype=np.float64)
    except (TypeError, ValueError, OverflowError) as error:
        raise ValueError(f"quantiles must be a float or a sequence of floats: {error}") from None
    if levels.ndim == 0:
        levels = levels.reshape(1)
    if levels.ndim != 1 or levels.size == 0:
        raise ValueError(
            f"quantiles must be a float or a non-empty 1-D sequence of floats, got shape "
            f"{levels.shape}"
        )
    bad = ~((levels >= 0.0) & (levels <= 1.0))
    if bad.any():
        raise ValueError(f"quantiles must lie in [0, 1], got {float(levels[bad][0])!r}")
    return np.ascontiguousarray(levels)
