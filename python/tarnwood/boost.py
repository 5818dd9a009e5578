"""Boosted ensembles whose weak learner is a whole random forest, as
scikit-learn estimators, with prediction intervals."""
import math
from fractions import Fraction

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

from . import _base
from . import _engine as _native
from .explain import Explainable


class _BoostedBase(Explainable, _base.EngineEstimator, BaseEstimator):
    def __init__(
        self,
        n_estimators=20,
        learning_rate=0.1,
        rf_n_estimators=20,
        rf_max_depth=None,
        rf_max_features=None,
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=1,
        use_histogram=True,
        async_mode=False,
        tol=1e-4,
        n_jobs=None,
        random_state=None,
        verbose=0,
    ):
        self.n_estimators = n_estimators
        self.learning_rate = learning_rate
        self.rf_n_estimators = rf_n_estimators
        self.rf_max_depth = rf_max_depth
        self.rf_max_features = rf_max_features
        self.bootstrap = bootstrap
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.use_histogram = use_histogram
        self.async_mode = async_mode
        self.tol = tol
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    def _engine_params(self, n_features):
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
        )

    def _fit_model(self, model, X, y, sample_weight):
        model.fit(X, y, sample_weight, n_jobs=self._threads(), verbose=self._verbosity())
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
    def trees_used_(self):
        """Per boosting round, the number of trees its forest kept."""
        return self._fitted_model().trees_used.astype(np.intp)

    def to_dict(self):
        """The fitted ensemble as plain Python data (task, initial scores,
        learning rate and every tree as parallel node lists)."""
        return self._fitted_model().to_dict()


def _check_alpha(alpha):
    return _base.check_float("predict_interval", "alpha", alpha, low=0.0, high=1.0, low_open=True, high_open=True)


class BoostedRegressor(RegressorMixin, _BoostedBase):
    """Gradient boosting under squared loss with a random forest per round,
    and split-conformal prediction intervals.

    `fit` first boosts on a share of the rows (`conformal_fraction` is held
    out), records the absolute residuals of the held-out rows, then boosts
    again on all rows and keeps that model.

    Parameters
    ----------
    n_estimators : int, default=20
        Boosting rounds.
    learning_rate : float, default=0.1
        Shrinkage of every round.
    rf_n_estimators, rf_max_depth, rf_max_features : default 20, None, None
        Trees per round's forest, their depth limit and features per split
        (as in :class:`ForestRegressor`).
    bootstrap, min_samples_split, min_samples_leaf, use_histogram :
        Growth settings of the forests' trees.
    async_mode : bool, default=False
        Stop growing a round's forest once its prediction is stable (to
        `tol`); faster, but not reproducible bit for bit.
    tol : float, default=1e-4
    n_jobs : int or None, default=None
        Threads used by fit and predict: None or -1 for every processor, a
        positive count, or -k for all but k - 1 processors. Results are the
        same for every value (except with `async_mode`).
    random_state : int, RandomState, Generator or None, default=None
    verbose : int or callable, default=0
        0 is silent; 1 or more prints a progress line on stderr during fit
        (trees grown over both passes, time elapsed, estimated time left); a
        callable is called as ``verbose(done, total, elapsed_seconds)``.
    conformal_fraction : float in [0.1, 0.5], default=0.2
        Share of the rows held out for calibration.

    Attributes
    ----------
    n_features_in_ : int
    calibration_residuals_ : ndarray
        Sorted absolute residuals of the held-out calibration rows.
    feature_importances_ : ndarray of shape (n_features_in_,)
    model_ : tarnwood._engine.BoostedRegressor
    """

    def __init__(
        self,
        n_estimators=20,
        learning_rate=0.1,
        rf_n_estimators=20,
        rf_max_depth=None,
        rf_max_features=None,
        bootstrap=True,
        min_samples_split=2,
        min_samples_leaf=1,
        use_histogram=True,
        async_mode=False,
        tol=1e-4,
        n_jobs=None,
        conformal_fraction=0.2,
        random_state=None,
        verbose=0,
    ):
        super().__init__(
            n_estimators=n_estimators,
            learning_rate=learning_rate,
            rf_n_estimators=rf_n_estimators,
            rf_max_depth=rf_max_depth,
            rf_max_features=rf_max_features,
            bootstrap=bootstrap,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            use_histogram=use_histogram,
            async_mode=async_mode,
            tol=tol,
            n_jobs=n_jobs,
            random_state=random_state,
            verbose=verbose,
        )
        self.conformal_fraction = conformal_fraction

    _engine = _native.BoostedRegressor

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=False)
        owner = type(self).__name__
        fraction = _base.check_float(
            owner, "conformal_fraction", self.conformal_fraction,
            low=0.1, high=0.5,
        )
        params = self._engine_params(X.shape[1])
        n = X.shape[0]
        n_cal = int(fraction * n)  # the engine truncates the same product
        if n_cal < 1 or n_cal >= n:
            raise ValueError(
                f"{owner} holds out int(conformal_fraction * n_samples) rows for calibration "
                f"and needs at least one calibration row and one training row; got "
                f"n_samples = {n} with conformal_fraction = {fraction}."
            )
        model = _native.BoostedRegressor(conformal_fraction=fraction, **params)
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
    """Logistic (two classes) or softmax (more) boosting with Newton steps,
    one random forest per round and class.

    Parameters are those of :class:`BoostedRegressor` without
    `conformal_fraction`.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
    n_features_in_ : int
    feature_importances_ : ndarray of shape (n_features_in_,)
    model_ : tarnwood._engine.BoostedClassifier
    """

    _engine = _native.BoostedClassifier

    @_base.atomic_fit
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=True)
        params = self._engine_params(X.shape[1])
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
