"""The unsupervised synthetic-data forest as a scikit-learn transformer."""
import numpy as np
from scipy import sparse
from sklearn.base import BaseEstimator, TransformerMixin

from . import _base
from . import _engine as _native

# Axes whose eigenvalue is this small carry no usable direction; new rows get
# 0 on them instead of a quotient of rounding noise.
_TINY_EIGENVALUE = 1e-12


class UnsupervisedForest(_base.EngineEstimator, TransformerMixin, BaseEstimator):
    """Breiman's unsupervised random forest: real rows against column-permuted
    synthetic copies, with proximities, outlier scores, an MDS embedding and
    permutation importances.

    `fit_transform(X)` returns the classical-MDS embedding of the training
    rows computed from their out-of-bag proximities (`embedding_`).
    `transform(X)` places any rows in that same space from their
    proximities to the training rows (Gower's out-of-sample formula for
    classical scaling). New rows fall in every tree's out-of-bag set, so
    their proximities are on the scale of the training rows' out-of-bag
    proximities; for the training rows themselves `transform` is therefore
    close to, but not equal to, `embedding_`.

    Parameters
    ----------
    n_estimators : int, default=500
    max_depth : int or None, default=None
    max_features : {"sqrt", "log2"}, int, float or None, default=None
    min_samples_split, min_samples_leaf : int, default=2 and 1
    n_jobs : int or None, default=None
        Threads used by every call: None or -1 for every processor, a
        positive count, or -k for all but k - 1 processors. Results are the
        same for every value.
    n_neighbors : int or None, default=None
        Default neighbour count of :meth:`proximity_sparse`.
    n_components : int, default=2
        Dimensions of the embedding.
    random_state : int, RandomState, Generator or None, default=None
    verbose : int or callable, default=0
        0 is silent; 1 or more prints a progress line on stderr during fit
        (trees grown, time elapsed, estimated time left); a callable is
        called as ``verbose(done, total, elapsed_seconds)``.

    Attributes
    ----------
    n_features_in_ : int
    embedding_ : ndarray of shape (n_samples, n_components)
    eigenvalues_ : ndarray of shape (n_components,)
        Eigenvalue of each embedding axis (0 for an axis not found).
    feature_importances_ : ndarray of shape (n_features_in_,)
        Permutation importances (computed on access).
    model_ : tarnwood._engine.UnsupervisedForest
    """

    _missing_refusal = (
        "UnsupervisedForest needs complete rows: its synthetic class is drawn "
        "from each column's values, so a missing value would either be copied "
        "into the synthetic rows or tell the two classes apart by itself. "
        "Impute the missing values first (for example with "
        "sklearn.impute.SimpleImputer)."
    )

    def __init__(
        self,
        n_estimators=500,
        max_depth=None,
        max_features=None,
        min_samples_split=2,
        min_samples_leaf=1,
        n_jobs=None,
        n_neighbors=None,
        n_components=2,
        random_state=None,
        verbose=0,
    ):
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.max_features = max_features
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.n_jobs = n_jobs
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.random_state = random_state
        self.verbose = verbose

    _engine = _native.UnsupervisedForest

    @_base.atomic_fit
    def fit(self, X, y=None):
        """Fits the forest and computes the embedding of the training rows."""
        X = _base.check_features(self, X, reset=True)
        _base.check_int(type(self).__name__, "n_components", self.n_components, 1)
        model = self._make_model(X.shape[1])
        model.fit(X, n_jobs=self._threads(), verbose=self._verbosity())
        return self._finish_fit(model)

    def _make_model(self, n_features):
        """An unfitted engine forest with this estimator's settings."""
        owner = type(self).__name__
        return _native.UnsupervisedForest(
            n_estimators=_base.check_int(owner, "n_estimators", self.n_estimators, 1),
            max_depth=_base.check_int(owner, "max_depth", self.max_depth, 0, allow_none=True),
            max_features=_base.resolve_max_features(owner, self.max_features, n_features),
            random_state=_base.to_seed(owner, self.random_state),
            min_samples_split=_base.check_int(owner, "min_samples_split", self.min_samples_split, 0),
            min_samples_leaf=_base.check_int(owner, "min_samples_leaf", self.min_samples_leaf, 0),
            n_neighbors=_base.check_int(owner, "n_neighbors", self.n_neighbors, 1, allow_none=True),
        )

    def _finish_fit(self, model):
        """Installs a fitted engine forest with its embedding."""
        n_components = _base.check_int(type(self).__name__, "n_components", self.n_components, 1)
        threads = self._threads()
        embedding = model.transform(n_components, n_jobs=threads)
        # The embedding's axes are eigenvectors of the double-centred
        # out-of-bag proximities B = J P J / 2; keep what new rows need.
        prox = model.proximity_matrix(True, n_jobs=threads)
        row_means = prox.mean(axis=1)
        grand_mean = row_means.mean()
        centred = 0.5 * (prox - row_means[:, None] - row_means[None, :] + grand_mean)
        norms = np.einsum("ij,ij->j", embedding, embedding)
        with np.errstate(divide="ignore", invalid="ignore"):
            eigenvalues = np.where(
                norms > 0, np.einsum("ij,ik,kj->j", embedding, centred, embedding) / norms, 0.0
            )
        self.model_ = model
        self.embedding_ = embedding
        self.eigenvalues_ = eigenvalues
        self._row_means = row_means
        self._grand_mean = grand_mean
        return self

    def fit_transform(self, X, y=None):
        """Fits and returns the embedding of the training rows."""
        return self.fit(X).embedding_.copy()

    @_base.consistent
    def transform(self, X):
        """Coordinates of the rows of X on the embedding's axes."""
        prox = self.predict_proximity(X)
        centred = 0.5 * (
            prox - prox.mean(axis=1, keepdims=True) - self._row_means[None, :] + self._grand_mean
        )
        lam = self.eigenvalues_
        usable = np.abs(lam) > _TINY_EIGENVALUE
        scale = np.where(usable, 1.0 / np.where(usable, lam, 1.0), 0.0)
        return (centred @ self.embedding_) * scale[None, :]

    def proximity_matrix(self, use_oob=True):
        """Proximities of the training rows, shape (n_samples, n_samples).

        With `use_oob` a tree counts a pair only when one of the two rows was
        out of its bootstrap sample.
        """
        model = self._fitted_model()
        return model.proximity_matrix(bool(use_oob), n_jobs=self._threads())

    def proximity_sparse(self, k=None):
        """The k largest out-of-bag proximities of every training row (itself
        excluded) as a CSR matrix of shape (n_samples, n_samples).

        k defaults to `n_neighbors`; at least 1 and at most n_samples - 1.
        """
        model = self._fitted_model()
        k = _base.check_int(type(self).__name__, "k", k, 0, allow_none=True)
        indptr, indices, data = model.proximity_sparse(k, n_jobs=self._threads())
        n = model.n_samples
        return sparse.csr_matrix((data, indices, indptr), shape=(n, n))

    def predict_proximity(self, X):
        """Proximities of the rows of X to the training rows (every tree
        counts), shape (n_rows, n_samples)."""
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.predict_proximity(X, n_jobs=self._threads())

    def outlier_scores(self, use_sparse=False):
        """Standardised outlier scores of the training rows (higher is more
        outlying, at most 20)."""
        model = self._fitted_model()
        return model.outlier_scores(bool(use_sparse), n_jobs=self._threads())

    def predict_outlier_scores(self, X):
        """Outlier scores of new rows, standardised against the training rows."""
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        return model.predict_outlier_scores(X, n_jobs=self._threads())

    @property
    def feature_importances_(self):
        """Permutation importances: how much permuting each feature lowers
        the forest's recognition of real rows (non-negative parts sum to 1)."""
        return self._fitted_model().feature_importances(n_jobs=self._threads())
