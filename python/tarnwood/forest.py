"""Bagged random forests of histogram trees as scikit-learn estimators."""
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

from . import _base
from . import _engine as _native


class _ForestBase(_base.EngineEstimator, BaseEstimator):
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

    Fit and predict release the interpreter lock while they run, so other
    Python threads keep running, and Ctrl-C interrupts them with
    KeyboardInterrupt, leaving the estimator as it was before the call.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
    n_features_in_ : int
    model_ : tarnwood._engine.ForestClassifier
    """

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
        )

    _engine = _native.ForestClassifier

    @_base.keeps_state_on_failure
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=True)
        model = self._make_model(X.shape[1])
        encoded = _base.encode_labels(self, y)
        model.fit(X, encoded, sample_weight, n_jobs=self._threads(), verbose=self._verbosity())
        self.model_ = model
        return self


class ForestRegressor(RegressorMixin, _ForestBase):
    """Random forest regressor: bagged histogram trees, mean of the leaves.

    Parameters are those of :class:`ForestClassifier`, except that
    `max_features` defaults to 1.0 (every feature examined at every split,
    scikit-learn's default for regression).

    Attributes
    ----------
    n_features_in_ : int
    model_ : tarnwood._engine.ForestRegressor
    """

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
        )

    _engine = _native.ForestRegressor

    @_base.keeps_state_on_failure
    def fit(self, X, y, sample_weight=None):
        X, y, sample_weight = _base.check_fit_data(self, X, y, sample_weight, classifier=False)
        model = self._make_model(X.shape[1])
        model.fit(X, y, sample_weight, n_jobs=self._threads(), verbose=self._verbosity())
        self.model_ = model
        return self

    def predict(self, X):
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.predict(X, n_jobs=self._threads())
