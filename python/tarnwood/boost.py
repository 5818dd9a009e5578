"""Boosted ensembles whose weak learner is a whole random forest, as
scikit-learn estimators, with prediction intervals."""
import math
from fractions import Fraction

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

from . import _base, _categories
from . import _engine as _native
from .explain import Explainable


# Early stopping under early_stopping="auto" needs at least this many rows
# (the rule of scikit-learn's histogram boosting).
_AUTO_EARLY_STOPPING_ROWS = 10000


def _check_choice(owner, name, value, allowed):
    if not isinstance(value, str) or value not in allowed:
        among = ", ".join(repr(a) for a in allowed)
        raise _base.InvalidParameterError(
            f"The '{name}' parameter of {owner} must be a str among {{{among}}}. "
            f"Got {value!r} instead."
        )
    return value


class _BoostedBase(Explainable, _base.EngineEstimator, BaseEstimator):
    _accepts_missing = True
    def __init__(
        self,
        n_estimators=100,
        learning_rate=0.1,
        rf_n_estimators=2,
        rf_max_depth=None,
        rf_max_features=None,
        rf_max_leaf_nodes=15,
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=20,
        use_histogram=True,
        async_mode=False,
        tol=1e-4,
        early_stopping="auto",
        validation_fraction=0.1,
        n_iter_no_change=10,
        n_jobs=None,
        random_state=None,
        verbose=0,
        categorical_features="from_dtype",
        max_bins=256,
    ):
        self.n_estimators = n_estimators
        self.learning_rate = learning_rate
        self.rf_n_estimators = rf_n_estimators
        self.rf_max_depth = rf_max_depth
        self.rf_max_features = rf_max_features
        self.rf_max_leaf_nodes = rf_max_leaf_nodes
        self.bootstrap = bootstrap
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.use_histogram = use_histogram
        self.async_mode = async_mode
        self.tol = tol
        self.early_stopping = early_stopping
        self.validation_fraction = validation_fraction
        self.n_iter_no_change = n_iter_no_change
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.categorical_features = categorical_features
        self.max_bins = max_bins

    def _early_stopping_fraction(self, n_samples):
        """The engine's validation_fraction: 0 turns early stopping off."""
        owner = type(self).__name__
        mode = self.early_stopping
        if not (isinstance(mode, (bool, np.bool_)) or mode == "auto"):
            raise _base.InvalidParameterError(
                f"The 'early_stopping' parameter of {owner} must be 'auto' or a bool. "
                f"Got {mode!r} instead."
            )
        fraction = _base.check_float(
            owner, "validation_fraction", self.validation_fraction,
            low=0.0, high=1.0, low_open=True, high_open=True,
        )
        _base.check_int(owner, "n_iter_no_change", self.n_iter_no_change, 1)
        on = n_samples > _AUTO_EARLY_STOPPING_ROWS if mode == "auto" else bool(mode)
        return fraction if on else 0.0

    def _engine_params(self, n_features, n_samples):
        owner = type(self).__name__
        return dict(
            n_estimators=_base.check_int(owner, "n_estimators", self.n_estimators, 1),
            learning_rate=_base.check_float(owner, "learning_rate", self.learning_rate, low=0.0, low_open=True),
            rf_n_estimators=_base.check_int(owner, "rf_n_estimators", self.rf_n_estimators, 1),
            rf_max_depth=_base.check_int(owner, "rf_max_depth", self.rf_max_depth, 0, allow_none=True),
            rf_max_features=_base.resolve_max_features(owner, self.rf_max_features, n_features, "rf_max_features"),
            bootstrap=_base.check_bool(owner, "bootstrap", self.bootstrap),
            random_state=_base.to_seed(owner, self.random_state),
            min_samples_split=_base.check_int(owner, "min_samples_split", self.min_samples_split, 0),
            min_samples_leaf=_base.check_int(owner, "min_samples_leaf", self.min_samples_leaf, 0),
            use_histogram=_base.check_bool(owner, "use_histogram", self.use_histogram),
            async_mode=_base.check_bool(owner, "async_mode", self.async_mode),
            tol=_base.check_float(owner, "tol", self.tol, low=0.0),
            max_leaf_nodes=_base.check_int(owner, "rf_max_leaf_nodes", self.rf_max_leaf_nodes, 2, allow_none=True),
            validation_fraction=self._early_stopping_fraction(n_samples),
            n_iter_no_change=int(self.n_iter_no_change),
        )

    def _fit_model(self, model, X, y, sample_weight):
        model.fit(X, y, sample_weight, n_jobs=self._threads(), verbose=self._verbosity(),
                  max_bins=_base.check_int(type(self).__name__, "max_bins", self.max_bins, 2,
                                           maximum=256),
                  **_categories.fit_keywords(self))
        self.model_ = model
        return model

    @property
    def feature_importances_(self):
        """Mean decrease in impurity of the rounds' regression trees (the
        variance of their targets, nodes weighted by their sample counts),
        averaged over each round's trees, summed over the rounds and
        normalised to sum to 1; one entry per feature, zeros for features
        the ensemble never splits on."""
        model = self._fitted_model()
        kind = "classifier" if isinstance(self, ClassifierMixin) else "regressor"
        return _native.boosted_importances(model.__getstate__(), kind, self.n_features_in_)

    @property
    def n_iter_(self):
        """Boosting rounds the fitted model holds: n_estimators, or with
        early stopping the rounds up to the best held-out loss."""
        return int(self._fitted_model().n_iter)

    @property
    def trees_used_(self):
        """Per boosting round, the number of trees its forest kept."""
        return self._fitted_model().trees_used.astype(np.intp)

    def to_dict(self):
        """The fitted ensemble as plain Python data (task, initial scores,
        learning rate and every tree as parallel node lists)."""
        return self._fitted_model().to_dict()


def _check_alpha(alpha):
    return _base.check_float("predict_interval", "alpha", alpha, low=0.0, high=1.0, low_open=True, high_open=True)


_SHARED_PARAMETERS = """
    n_estimators : int, default=100
        Boosting rounds (at most that many with early stopping).
    learning_rate : float, default=0.1
        Shrinkage of every round.
    rf_n_estimators : int, default=2
        Trees of each round's random forest (grown in parallel, so two cost
        about one on two cores; their mean is the round's step).
    rf_max_depth, rf_max_features : default None, None
        Depth limit of the forests' trees and features per split (as in
        :class:`ForestRegressor`).
    rf_max_leaf_nodes : int or None, default=15
        Leaves per tree, split best first (histogram grower only; None grows
        depth first up to `rf_max_depth`).
    bootstrap : bool, default=True
        Each tree grows on a bootstrap sample of the rows.
    min_samples_split : int, default=2
    min_samples_leaf : int, default=20
        Growth settings of the forests' trees.
    use_histogram : bool, default=True
        Histogram trees (at most 256 bins a feature, binned once per fit);
        False grows exact trees.
    async_mode : bool, default=False
        Stop growing a round's forest once its prediction is stable (to
        `tol`); faster, but not reproducible bit for bit.
    tol : float, default=1e-4
    early_stopping : 'auto' or bool, default='auto'
        Hold out `validation_fraction` of the rows the model grows on and stop
        once `n_iter_no_change` rounds in a row have not lowered their loss
        (squared error, or log-loss for the classifier); the model keeps the
        rounds up to the best one (`n_iter_`). 'auto' turns it on above
        10000 samples.
    validation_fraction : float in (0, 1), default=0.1
    n_iter_no_change : int, default=10
    n_jobs : int or None, default=None
        Threads used by fit and predict: None or -1 for every processor, a
        positive count, or -k for all but k - 1 processors. Results are the
        same for every value (except with `async_mode`).
    random_state : int, RandomState, Generator or None, default=None
    verbose : int or callable, default=0
        0 is silent; 1 or more prints a progress line on stderr during fit
        (trees grown, time elapsed, estimated time left); a callable is
        called as ``verbose(done, total, elapsed_seconds)``.
    categorical_features : "from_dtype", None, mask, indices or names, default="from_dtype"
        Columns of X holding categories: "from_dtype" takes a DataFrame's
        pandas `category`, string and object columns (an array has none);
        None makes every column numeric; otherwise a bool mask over the
        features, column indices, or a DataFrame's column names. Each
        becomes codes 0..k-1 of its categories (at most 256); a category
        the fit did not see is read as a missing value.
    max_bins : int, default=256
        Most bins a feature's values are sorted into by the histogram rounds
        (2..256; a feature with missing values keeps one of them for those).
        A feature of at most that many distinct values gets a bin per value,
        so every threshold between two training values is a candidate;
        others get bins of about equal size, a value's size blending its rows
        and its share of the feature's range (rows^(1/4) times range
        share^(3/4), so that neither the sparse ends nor the dense middle of
        a feature are left a few wide bins), frequent values kept apart."""


class BoostedRegressor(RegressorMixin, _BoostedBase):
    __doc__ = """Gradient boosting under squared loss with a random forest per round,
    and split-conformal prediction intervals.

    `fit` holds out a `conformal_fraction` share of the rows (drawn at
    random) for calibration and boosts on the rest (early stopping, when on,
    holds its validation rows out of that rest). The absolute residuals of
    the calibration rows give the intervals' half-width (see
    :meth:`conformal_quantile`).

    ``interval_method="holdout"`` (the default) keeps that model: the fit
    grows one model, and since the calibration rows took no part in growing
    it (nor in stopping it early), the interval of a new row exchangeable
    with the training rows covers its target with probability at least
    1 - alpha, and below 1 - alpha + 1 / (n_cal + 1) when the residuals have
    no ties (the split-conformal guarantee, marginal over the calibration
    draw and the new row). The price is that the point model never sees the
    calibration rows. ``interval_method="refit"`` then boosts again on all
    rows and keeps that model with the same half-width: its predictions use
    every row, but the fit costs two models and the guarantee holds only
    approximately (it belongs to the calibrated model, not the kept one).

    Parameters
    ----------""" + _SHARED_PARAMETERS + """
    conformal_fraction : float in [0.1, 0.5], default=0.1
        Share of the rows held out for calibration.
    interval_method : {'holdout', 'refit'}, default='holdout'
        Keep the calibrated model, or grow the kept model again on all rows.

    Attributes
    ----------
    n_features_in_ : int
    is_categorical_ : ndarray of bool, shape (n_features_in_,)
        Which features were read as categories.
    categories_ : list of length n_features_in_
        Per categorical feature the ndarray of its categories; None for a
        numeric feature.
    n_iter_ : int
        Boosting rounds of the kept model.
    calibration_residuals_ : ndarray
        Sorted absolute residuals of the held-out calibration rows.
    feature_importances_ : ndarray of shape (n_features_in_,)
    model_ : tarnwood._engine.BoostedRegressor
    """

    def __init__(
        self,
        n_estimators=100,
        learning_rate=0.1,
        rf_n_estimators=2,
        rf_max_depth=None,
        rf_max_features=None,
        rf_max_leaf_nodes=15,
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=20,
        use_histogram=True,
        async_mode=False,
        tol=1e-4,
        early_stopping="auto",
        validation_fraction=0.1,
        n_iter_no_change=10,
        n_jobs=None,
        conformal_fraction=0.1,
        interval_method="holdout",
        random_state=None,
        verbose=0,
        categorical_features="from_dtype",
        max_bins=256,
    ):
        super().__init__(
            n_estimators=n_estimators,
            learning_rate=learning_rate,
            rf_n_estimators=rf_n_estimators,
            rf_max_depth=rf_max_depth,
            rf_max_features=rf_max_features,
            rf_max_leaf_nodes=rf_max_leaf_nodes,
            bootstrap=bootstrap,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            use_histogram=use_histogram,
            async_mode=async_mode,
            tol=tol,
            early_stopping=early_stopping,
            validation_fraction=validation_fraction,
            n_iter_no_change=n_iter_no_change,
            n_jobs=n_jobs,
            random_state=random_state,
            verbose=verbose,
            categorical_features=categorical_features,
            max_bins=max_bins,
        )
        self.conformal_fraction = conformal_fraction
        self.interval_method = interval_method

    _engine = _native.BoostedRegressor

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=False)
        owner = type(self).__name__
        fraction = _base.check_float(
            owner, "conformal_fraction", self.conformal_fraction,
            low=0.1, high=0.5,
        )
        method = _check_choice(owner, "interval_method", self.interval_method, ("holdout", "refit"))
        n = X.shape[0]
        n_cal = int(fraction * n)  # the engine truncates the same product
        if n_cal < 1 or n_cal >= n:
            raise ValueError(
                f"{owner} holds out int(conformal_fraction * n_samples) rows for calibration "
                f"and needs at least one calibration row and one training row; got "
                f"n_samples = {n} with conformal_fraction = {fraction}."
            )
        params = self._engine_params(X.shape[1], n - n_cal if method == "holdout" else n)
        model = _native.BoostedRegressor(
            conformal_fraction=fraction, keep_calibrated=method == "holdout", **params)
        overflow = ValueError(
            f"{owner}: the boosted predictions overflow the float range (learning_rate="
            f"{self.learning_rate!r} over {self.n_estimators!r} rounds makes the residuals grow "
            "without bound); use a smaller learning_rate, at most 1 for a converging fit."
        )
        try:
            self._fit_model(model, X, y, sample_weight)
        except RuntimeError as err:
            # Scores of overflowing predictions are NaN (inf - inf).
            if "calibration score is NaN" in str(err):
                raise overflow from None
            raise
        residuals = np.sort(model.calibration_residuals)
        if not np.all(np.isfinite(residuals)):
            raise overflow
        self.calibration_residuals_ = residuals
        return self

    def predict(self, X):
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.predict(X, n_jobs=self._threads())

    def conformal_quantile(self, alpha=0.05):
        """Half-width of the (1 - alpha) split-conformal interval.

        With the n sorted calibration residuals r_1 <= ... <= r_n this is
        r_k for k = ceil((n + 1) * (1 - alpha)), the finite-sample quantile
        that guarantees coverage of at least 1 - alpha on exchangeable data;
        when k > n no finite width does, and the result is inf.
        """
        _base.check_is_fitted(self, "model_")
        alpha = _check_alpha(alpha)
        residuals = self.calibration_residuals_
        n = residuals.size
        # Exact rational arithmetic: no rounding can move k across an integer.
        k = math.ceil((n + 1) * (1 - Fraction(alpha)))
        if k > n:
            return math.inf
        return float(residuals[max(k, 1) - 1])

    @_base.consistent
    def predict_interval(self, X, alpha=0.05):
        """Split-conformal prediction intervals at level 1 - alpha.

        Returns an array of shape (n_samples, 2) holding [lower, upper] per
        row: the point prediction -/+ :meth:`conformal_quantile` (alpha).
        """
        q = self.conformal_quantile(alpha)
        prediction = self.predict(X)
        return np.column_stack([prediction - q, prediction + q])


class BoostedClassifier(ClassifierMixin, _base.ClassifierOutputs, _BoostedBase):
    __doc__ = """Logistic (two classes) or softmax (more) boosting with Newton steps,
    one random forest per round and class.

    The probabilities are the model's own (sigmoid or softmax of the raw
    scores), fitted under log-loss; early stopping, when on, holds out a
    `validation_fraction` share of every class and stops on their log-loss.

    Parameters
    ----------""" + _SHARED_PARAMETERS + """

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
    n_features_in_ : int
    is_categorical_ : ndarray of bool, shape (n_features_in_,)
        Which features were read as categories.
    categories_ : list of length n_features_in_
        Per categorical feature the ndarray of its categories; None for a
        numeric feature.
    n_iter_ : int
        Boosting rounds of the fitted model.
    feature_importances_ : ndarray of shape (n_features_in_,)
    model_ : tarnwood._engine.BoostedClassifier
    """

    _engine = _native.BoostedClassifier

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=True)
        params = self._engine_params(X.shape[1], X.shape[0])
        encoded = _base.encode_labels(self, y)
        self._fit_model(_native.BoostedClassifier(**params), X, encoded, sample_weight)
        return self

    @_base.consistent
    def predict_interval(self, X, alpha=0.05):
        """Wilson score interval on the probability of `classes_[1]`
        (two-class problems only), shape (n_samples, 2).

        The engine uses tabulated normal quantiles: z = 2.576 for
        alpha <= 0.01, 1.96 up to 0.05, 1.645 up to 0.1 and 1.28 above.
        """
        model = self._fitted_model()
        if len(self.classes_) != 2:
            raise ValueError("predict_interval needs a classifier fitted on exactly two classes")
        alpha = _check_alpha(alpha)
        X = _base.check_features(self, X, reset=False)
        return model.predict_ci(X, alpha, n_jobs=self._threads())
