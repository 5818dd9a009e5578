"""Fits on a Dask cluster that give exactly the model of a local fit.

Install with ``pip install 'tarnwood[dask]'``. Every estimator here wraps a
plain ``tarnwood`` estimator of the same parameters (plus ``client``,
``batch_size`` and ``timeout``), takes dask arrays or dask dataframes
chunked by rows (NumPy and pandas inputs are accepted too), returns dask
arrays from its predictions, and ``to_local()`` hands out the fitted plain
estimator. For the same data and ``random_state`` the fitted model is the
local fit's, byte for byte, whatever the number of workers, threads and
chunks.

How a forest fit runs (``DaskForestClassifier``, ``DaskForestRegressor``):

- the client draws the forest's plan (every tree's sample and seed) before
  any tree grows;
- per block of columns, one task finds the bin edges of those full columns;
  per row chunk, one task bins the chunk (a byte per value) and the chunks'
  bins join into one binned matrix, which each worker that grows trees holds
  once;
- pure tasks, one per batch of trees, grow their trees from the plan on the
  binned matrix (a worker grows as many batches at once as it has threads);
- the client merges the batches strictly in tree order (out-of-bag sums
  included), so nothing depends on where or when a batch ran.

A worker lost mid-fit costs only the batches it held: Dask computes them
again elsewhere and the model does not change. A fit that cannot finish
ends with an error instead of waiting forever: when no worker is left for
``_NO_WORKER_SECONDS``, when a task keeps killing its workers, or after
``timeout`` seconds. Before any work, the fit refuses (MemoryError) binned
data that would not fit a worker's memory limit. Categorical features are
not taken yet: a fit whose `categorical_features` makes a column
categorical is refused (ValueError) before any work.

The unsupervised forest grows the same way, on the bins of its combined
matrix (the real rows, then each column shuffled as the local fit shuffles
it, made on the workers from the real rows' bins); the training rows come
to the client, since the model keeps a copy of them. Its proximities and
neighbour lists are computed across the cluster by row blocks.

The boosted ensembles fit as one task on one worker with that worker's
threads: their rounds run one after another, each on the previous rounds'
predictions, so only the trees within a round could be spread, which this
release does not do yet.
"""
import functools
import inspect
import math
import time

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, TransformerMixin

try:
    import dask
    import dask.array as da
    import distributed
except ImportError as error:  # pragma: no cover - exercised only without the extra
    raise ImportError(
        "tarnwood.dask needs Dask's distributed scheduler: pip install 'tarnwood[dask]' "
        "(or pip install 'dask[distributed]')"
    ) from error

from . import _base, _categories
from . import _engine as _native
from ._dask_tasks import (  # noqa: F401 (FAULT_ENV is the test hook's variable)
    FAULT_ENV,
    _bin_block,
    _binned_matrix,
    _checked_block,
    _column_edges,
    _combined_bins,
    _doubled_column_edges,
    _edges_of,
    _fit_whole,
    _grow_batch,
    _grow_unsupervised,
    _hash_block,
    _joined,
    _neighbour_rows,
    _predict_block,
    _proximity_rows,
    _same,
    _values_of,
)
from .boost import BoostedClassifier, BoostedRegressor
from .forest import ForestClassifier, ForestRegressor
from .unsupervised import UnsupervisedForest

__all__ = [
    "DaskForestClassifier",
    "DaskForestRegressor",
    "DaskBoostedClassifier",
    "DaskBoostedRegressor",
    "DaskUnsupervisedForest",
]

# A fit with no worker at all for this long gives up.
_NO_WORKER_SECONDS = 30.0
# Share of a worker's memory limit a fit may plan to use.
_MEMORY_SHARE = 0.6


# ---- client side ------------------------------------------------------------


def _client(client):
    if client is not None:
        if not isinstance(client, distributed.Client):
            raise TypeError(f"client must be a distributed.Client or None, got {type(client).__name__}")
        return client
    try:
        return distributed.default_client()
    except ValueError as error:
        raise ValueError(
            "no Dask client: create one first (distributed.Client(...)) or pass client="
        ) from error


def _workers(client):
    try:
        info = client.scheduler_info(n_workers=-1)
    except TypeError:  # releases without the n_workers argument list all
        info = client.scheduler_info()
    return info.get("workers", {})


def _rows(X):
    """X as a 2-D float dask array chunked by rows only, with known chunk
    sizes, and its column names (None unless X is a dataframe)."""
    names = None
    if hasattr(X, "to_dask_array") and hasattr(X, "columns"):
        names = np.asarray([str(c) for c in X.columns], dtype=object)
        if not all(isinstance(c, str) for c in X.columns):
            names = None
        X = X.to_dask_array(lengths=True)
    elif not isinstance(X, da.Array):
        if hasattr(X, "columns") and all(isinstance(c, str) for c in X.columns):
            names = np.asarray(list(X.columns), dtype=object)
        X = np.asarray(X)
        X = da.from_array(X, chunks=(max(1, X.shape[0]) if X.ndim else 1,) + X.shape[1:])
    if X.ndim != 2:
        raise ValueError(f"Expected a 2D array of rows, got an array of {X.ndim} dimensions")
    if any(math.isnan(c) for c in X.chunks[0]):
        X = X.compute_chunk_sizes()
    if len(X.chunks[1]) != 1:
        X = X.rechunk({1: -1})
    n, d = X.shape
    if n < 1 or d < 1:
        raise ValueError(
            f"Found array with {n} sample(s) and {d} feature(s) while a minimum of 1 of each "
            "is required."
        )
    return X, names


def _vector(v, n, name):
    """A target or weight vector gathered to the client."""
    if v is None:
        return None
    if hasattr(v, "compute") and not isinstance(v, np.ndarray):
        v = v.compute()
    v = np.asarray(v)
    if v.ndim == 2 and v.shape[1] == 1:
        v = v[:, 0]
    if v.ndim != 1 or v.shape[0] != n:
        raise ValueError(f"{name} must have one entry per row of X ({n}), got shape {v.shape}")
    return v


def _wait(client, futures, timeout, what):
    """Gathers every future's result (in the futures' order), each as soon
    as it is ready, so that moving results overlaps the remaining work; ends
    with an error instead of waiting forever (no worker left, a task that
    kills its workers, or the timeout)."""
    start = time.monotonic()
    alone_since = None
    results = [None] * len(futures)
    pending = dict(enumerate(futures))
    try:
        while pending:
            done = _wait_some(list(pending.values()))
            finished = [i for i, f in pending.items() if f in done]
            for i, value in zip(finished, client.gather([pending[i] for i in finished])):
                results[i] = value
                del pending[i]
            if not pending:
                break
            now = time.monotonic()
            if _workers(client):
                alone_since = None
            elif alone_since is None:
                alone_since = now
            elif now - alone_since > _NO_WORKER_SECONDS:
                raise RuntimeError(
                    f"{what}: no Dask worker has been available for {_NO_WORKER_SECONDS:.0f} s, "
                    "so the fit cannot finish"
                )
            if timeout is not None and now - start > timeout:
                raise TimeoutError(f"{what} did not finish within timeout={timeout} s")
        return results
    except distributed.KilledWorker as error:
        raise RuntimeError(
            f"{what}: a task ended its Dask workers several times ({error}); the fit cannot "
            "finish (a worker out of memory is the usual cause)"
        ) from error
    finally:
        client.cancel(futures)


def _wait_some(futures):
    """The futures done within half a second (failed ones count as done)."""
    try:
        return distributed.wait(futures, timeout=0.5, return_when="FIRST_COMPLETED").done
    except TimeoutError:
        return set()


def _check_memory(client, rows, cols, what):
    """MemoryError before any work when the binned matrix and its working
    copies cannot fit a worker's memory limit."""
    workers = _workers(client)
    if not workers:
        raise RuntimeError(f"{what}: the Dask cluster has no workers")
    binned = rows * cols
    # The joined bins, a batch's binned matrix and its row-major copy, per
    # thread a working set and the stand-in values of a batch's walks, and
    # targets, weights and ranks.
    for address, info in workers.items():
        limit = info.get("memory_limit") or 0
        threads = max(1, int(info.get("nthreads") or 1))
        need = 3 * binned + threads * (rows * (cols + 24) + 8 * binned) + 32 * rows
        if limit and need > _MEMORY_SHARE * limit:
            raise MemoryError(
                f"{what}: the binned training data ({rows} rows x {cols} features, about "
                f"{need / 2**20:.0f} MiB with its working copies) does not fit the memory "
                f"limit of worker {address} ({limit / 2**20:.0f} MiB); use workers with more "
                "memory or fewer threads (fits of data larger than one worker are not "
                "supported yet)"
            )
    return workers


def _signature(local_class, extra):
    """The local estimator's parameters followed by the Dask ones."""
    params = list(inspect.signature(local_class.__init__).parameters.values())
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    params += [inspect.Parameter(name, kind, default=default) for name, default in extra]
    return inspect.Signature(params)


_DASK_PARAMS = (("client", None), ("batch_size", None), ("timeout", None))


def _batch_size(batch_size, n_trees, workers):
    """Trees per task: as asked, else about four tasks per worker thread."""
    threads = sum(max(1, int(w.get("nthreads") or 1)) for w in workers.values())
    return batch_size or max(1, math.ceil(n_trees / (4 * threads)))


def _binned(client, workers, X, column_edges):
    """The futures of X's row chunks, of the bin edges and bin values (one
    task per block of full columns, `column_edges(first, end, *chunks)`,
    giving both) and of the binned matrix (each chunk binned by its own
    task, then joined)."""
    d = int(X.shape[1])
    threads = sum(max(1, int(w.get("nthreads") or 1)) for w in workers.values())
    blocks = client.compute(list(X.to_delayed()[:, 0]))
    n_col_blocks = max(1, min(d, 2 * threads))
    bounds = [round(i * d / n_col_blocks) for i in range(n_col_blocks + 1)]
    edge_parts = [
        client.submit(column_edges, a, b, *blocks, pure=True)
        for a, b in zip(bounds, bounds[1:]) if b > a
    ]
    joined = client.submit(_joined, *edge_parts, pure=True)
    edges = client.submit(_edges_of, joined, pure=True)
    values = client.submit(_values_of, joined, pure=True)
    bins = [client.submit(_bin_block, block, edges, pure=True) for block in blocks]
    binned = client.submit(_binned_matrix, d, *bins, pure=True)
    return blocks, edges, values, binned


class _DaskEstimator(BaseEstimator):
    """What every Dask estimator shares: the parameters of its local class
    plus the Dask ones, the fitted local estimator and attribute access to
    it, and block-wise predictions."""

    _local_class = None

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if cls.__dict__.get("_local_class") is None:
            return
        signature = _signature(cls._local_class, _DASK_PARAMS)

        def __init__(self, *args, **params):
            bound = signature.bind(self, *args, **params)
            bound.apply_defaults()
            for name, value in list(bound.arguments.items())[1:]:
                setattr(self, name, value)

        __init__.__signature__ = signature
        __init__.__doc__ = f"Parameters of {cls._local_class.__name__}, then client, batch_size, timeout."
        cls.__init__ = __init__

    def _local_params(self):
        names = inspect.signature(self._local_class.__init__).parameters
        return {name: getattr(self, name) for name in list(names)[1:]}

    def _new_local(self):
        return self._local_class(**self._local_params())

    def _checked_dask_params(self):
        owner = type(self).__name__
        _base.check_int(owner, "batch_size", self.batch_size, 1, allow_none=True)
        if self.timeout is not None:
            _base.check_float(owner, "timeout", self.timeout, low=0.0, low_open=True)
        return _client(self.client)

    def to_local(self):
        """The fitted plain estimator (the same model as a local fit)."""
        return self._fitted_local()

    def _fitted_local(self):
        local = self.__dict__.get("_local")
        if local is None:
            from sklearn.exceptions import NotFittedError

            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                "appropriate arguments before using this estimator."
            )
        return local

    def __getattr__(self, name):
        # Fitted attributes (classes_, model_, feature_importances_, ...) are
        # the local estimator's.
        if name.endswith("_") and not name.startswith("__"):
            local = self.__dict__.get("_local")
            if local is not None:
                return getattr(local, name)
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def __sklearn_is_fitted__(self):
        return self.__dict__.get("_local") is not None

    def _scattered_local(self):
        """The fitted local estimator held on the cluster (sent once per
        client and fit) by a task, which Dask runs again should the worker
        holding its result be lost."""
        local = self._fitted_local()
        client = _client(self.client)
        held = self.__dict__.get("_scattered")
        if held is None or held[0] is not client or held[1] is not local:
            held = (client, local, client.submit(_same, local, pure=False))
            self.__dict__["_scattered"] = held
        return held[2]

    def __getstate__(self):
        state = super().__getstate__()
        state.pop("_scattered", None)
        return state

    def _blockwise(self, X, method, columns=None, dtype=np.float64, *args):
        """method(X_block) of the local estimator for every row chunk of X,
        as a dask array (columns: the width of 2-D results, None for 1-D)."""
        X, _ = _rows(X)
        model = self._scattered_local()
        blocks = X.to_delayed()[:, 0]
        parts = []
        for block, rows in zip(blocks, X.chunks[0]):
            task = dask.delayed(_predict_block, pure=True)(model, method, block, *args)
            shape = (rows,) if columns is None else (rows, columns)
            parts.append(da.from_delayed(task, shape=shape, dtype=dtype))
        return da.concatenate(parts, axis=0)


class _DaskForest(_DaskEstimator):
    _classifier = False

    def fit(self, X, y, sample_weight=None):
        local = self._new_local()
        owner = type(self).__name__
        _categories.refuse_distributed(owner, local, X)
        client = self._checked_dask_params()
        X, names = _rows(X)
        n, d = (int(s) for s in X.shape)
        y = _vector(y, n, "y")
        sample_weight = _vector(sample_weight, n, "sample_weight")
        if _base.check_bool(owner, "warm_start", self.warm_start):
            raise ValueError(f"{owner} does not warm start; fit a new forest")
        # The local estimator's checks of y and the weights (X is checked
        # chunk by chunk on the workers).
        _, y, sample_weight = _base.check_fit_data(
            local, np.zeros((n, 1)), y, sample_weight, classifier=self._classifier
        )
        per_sample = False
        if self._classifier:
            local.classes_, encoded = np.unique(y, return_inverse=True)
            sample_weight, per_sample = local._class_weights(y, sample_weight)
            targets = encoded.astype(np.float64)
        else:
            targets = np.ascontiguousarray(y, dtype=np.float64)
        oob, scorer = local._check_oob_score()
        model = local._make_model(d)
        plan = model.plan_batches(
            n, d, oob_score=oob, max_samples=local._resolve_max_samples(n),
            balanced_subsample=per_sample,
            min_impurity_decrease=_base.check_float(
                owner, "min_impurity_decrease", self.min_impurity_decrease, low=0.0),
            random_splits=local._random_splits(),
            max_leaf_nodes=_base.check_int(owner, "max_leaf_nodes", self.max_leaf_nodes, 2,
                                           allow_none=True),
            criterion=local._criterion(), fast_growth=local._fast_growth,
        )
        workers = _check_memory(client, n, d, f"{owner}.fit")
        batches = self._grow(client, workers, X, model, plan, targets, sample_weight)
        blocks, binned, edges, batch_futures, lanes = batches
        results = _wait(client, batch_futures + [lanes], self.timeout, f"{owner}.fit")
        data_hash = _native.data_hash_end(results[-1], targets)
        model.merge_batches(plan, results[:-1], data_hash, targets, sample_weight,
                            n_jobs=local._threads())
        local.n_features_in_ = d
        _categories.install(local, None, d)
        if names is not None and len(names) == d:
            local.feature_names_in_ = names
        local.model_ = model
        if oob:
            local.__dict__.update(local._oob_attributes(model, targets, scorer))
        self._local = local
        return self

    def _grow(self, client, workers, X, model, plan, targets, sample_weight):
        n, d = (int(s) for s in X.shape)
        n_trees = int(model.n_estimators)
        size = _batch_size(self.batch_size, n_trees, workers)
        max_bins = _base.check_int(type(self).__name__, "max_bins", getattr(self, "max_bins", 256),
                                   2, maximum=256)
        blocks, edges, values, binned = _binned(
            client, workers, X, functools.partial(_column_edges, max_bins=max_bins))
        lanes = _native.data_hash_start(n, d, n)
        for block in blocks:
            lanes = client.submit(_hash_block, lanes, block, pure=True)
        # Held as tasks rather than scattered, so that Dask can make them
        # again when the worker holding them is lost.
        y_f = client.submit(_same, targets, pure=True)
        w_f = None if sample_weight is None else client.submit(_same, sample_weight, pure=True)
        futures = [
            client.submit(_grow_batch, model, binned, edges, values, y_f, w_f, plan, first,
                          min(n_trees, first + size), pure=True, retries=0)
            for first in range(0, n_trees, size)
        ]
        return blocks, binned, edges, futures, lanes


class DaskForestClassifier(ClassifierMixin, _DaskForest):
    """ForestClassifier fitted on a Dask cluster, identical to a local fit.

    Parameters are ForestClassifier's, then ``client`` (a
    distributed.Client; None uses the default client), ``batch_size`` (trees
    per task; None: about four tasks per worker thread) and ``timeout``
    (seconds a fit may take; None: no limit). ``warm_start`` is refused.
    """

    _local_class = ForestClassifier
    _classifier = True

    def predict_proba(self, X):
        """Class probabilities, a dask array of shape (n_rows, n_classes)."""
        return self._blockwise(X, "predict_proba", len(self._fitted_local().classes_))

    def predict(self, X):
        """Predicted labels, a dask array computed chunk by chunk."""
        return self._blockwise(X, "predict", None, self._fitted_local().classes_.dtype)


class DaskForestRegressor(RegressorMixin, _DaskForest):
    """ForestRegressor fitted on a Dask cluster, identical to a local fit.

    Parameters as for :class:`DaskForestClassifier`, with ForestRegressor's.
    """

    _local_class = ForestRegressor

    def predict(self, X):
        """Predictions, a dask array computed chunk by chunk."""
        return self._blockwise(X, "predict")


class _DaskWhole(_DaskEstimator):
    """Estimators fitted as one task on one worker (the whole data there)."""

    def _fit_on_worker(self, X, y=None, sample_weight=None):
        local = self._new_local()
        _categories.refuse_distributed(type(self).__name__, local, X)
        client = self._checked_dask_params()
        X, names = _rows(X)
        n = int(X.shape[0])
        y = _vector(y, n, "y")
        sample_weight = _vector(sample_weight, n, "sample_weight")
        blocks = client.compute(list(X.to_delayed()[:, 0]))
        future = client.submit(_fit_whole, local, blocks, y, sample_weight, {}, pure=False)
        (fitted,) = _wait(client, [future], self.timeout, f"{type(self).__name__}.fit")
        client.cancel(blocks)
        # The worker's thread count never changes the model; keep the user's.
        fitted.set_params(n_jobs=self.n_jobs)
        if names is not None and len(names) == X.shape[1]:
            fitted.feature_names_in_ = names
        self._local = fitted
        return self


class DaskBoostedRegressor(RegressorMixin, _DaskWhole):
    """BoostedRegressor fitted on a Dask worker (one task with the worker's
    threads; the model equals a local fit's). Parameters are
    BoostedRegressor's, then client, batch_size (unused) and timeout."""

    _local_class = BoostedRegressor

    def fit(self, X, y, sample_weight=None):
        return self._fit_on_worker(X, y, sample_weight)

    def predict(self, X):
        return self._blockwise(X, "predict")

    def predict_interval(self, X, alpha=0.1):
        return self._blockwise(X, "predict_interval", 2, np.float64, alpha)


class DaskBoostedClassifier(ClassifierMixin, _DaskWhole):
    """BoostedClassifier fitted on a Dask worker; see DaskBoostedRegressor."""

    _local_class = BoostedClassifier

    def fit(self, X, y, sample_weight=None):
        return self._fit_on_worker(X, y, sample_weight)

    def predict_proba(self, X):
        return self._blockwise(X, "predict_proba", len(self._fitted_local().classes_))

    def predict(self, X):
        return self._blockwise(X, "predict", None, self._fitted_local().classes_.dtype)


class DaskUnsupervisedForest(TransformerMixin, _DaskEstimator):
    """UnsupervisedForest grown across a Dask cluster, identical to a local
    fit, with its proximities and neighbour lists computed across the
    cluster by row blocks (integer counts, so the values equal the local
    ones). Parameters are UnsupervisedForest's, then client, batch_size and
    timeout (as for DaskForestClassifier)."""

    _local_class = UnsupervisedForest

    def fit(self, X, y=None):
        """Grows the trees across the cluster in batches (on the bins of the
        combined real and shuffled rows, made on the workers from the row
        chunks), then installs them with the training rows, which come to
        the client (the model keeps a copy of them), and computes the
        embedding there as the local fit does."""
        client = self._checked_dask_params()
        X, names = _rows(X)
        n, d = (int(s) for s in X.shape)
        local = self._new_local()
        owner = type(self).__name__
        _base.check_int(owner, "n_components", self.n_components, 1)
        if n == 0 or d == 0:
            raise ValueError(f"X must have at least one row and one column (got {n} rows and "
                             f"{d} columns)")
        model = local._make_model(d)
        plan = model.plan_batches(n, d)
        workers = _check_memory(client, 2 * n, d, f"{owner}.fit")
        n_trees = int(model.n_estimators)
        size = _batch_size(self.batch_size, n_trees, workers)
        blocks, edges, _, real = _binned(client, workers, X, _doubled_column_edges)
        combined = client.submit(_combined_bins, model, plan, real, pure=True)
        futures = [
            client.submit(_grow_unsupervised, model, plan, combined, edges, first,
                          min(n_trees, first + size), pure=True, retries=0)
            for first in range(0, n_trees, size)
        ]
        checked = [client.submit(_checked_block, block, pure=True) for block in blocks]
        results = _wait(client, futures + checked, self.timeout, f"{owner}.fit")
        x = np.ascontiguousarray(np.concatenate(results[len(futures):], axis=0))
        model.merge_batches(plan, results[:len(futures)], x, n_jobs=local._threads())
        local.n_features_in_ = d
        if names is not None and len(names) == d:
            local.feature_names_in_ = names
        self._local = local._finish_fit(model)
        return self

    def transform(self, X):
        return self._blockwise(X, "transform", int(self._fitted_local().embedding_.shape[1]))

    def _row_blocks(self, rows_per_block):
        local = self._fitted_local()
        n = int(local.model_.n_samples)
        owner = type(self).__name__
        size = _base.check_int(owner, "rows_per_block", rows_per_block, 1, allow_none=True)
        if size is None:
            size = max(1, min(n, 2**24 // max(1, n)))
        return local, n, [(a, min(n, a + size)) for a in range(0, n, size)]

    def proximity_matrix(self, use_oob=True, rows_per_block=None):
        """The training rows' proximities as a dask array of row blocks
        (rows_per_block rows each; None: blocks of about 16 M values)."""
        local, n, blocks = self._row_blocks(rows_per_block)
        model = self._scattered_local()
        parts = [
            da.from_delayed(dask.delayed(_proximity_rows, pure=True)(model, a, b, bool(use_oob)),
                            shape=(b - a, n), dtype=np.float64)
            for a, b in blocks
        ]
        return da.concatenate(parts, axis=0)

    def proximity_sparse(self, k=None, rows_per_block=None):
        """The k largest out-of-bag proximities of every training row as a
        scipy CSR matrix (as UnsupervisedForest.proximity_sparse), computed
        by row blocks on the cluster: at most k entries a row ever exist."""
        from scipy import sparse

        client = self._checked_dask_params()
        local, n, blocks = self._row_blocks(rows_per_block)
        k = _base.check_int(type(self).__name__, "k", k, 0, allow_none=True)
        model = self._scattered_local()
        futures = [client.submit(_neighbour_rows, model, a, b, k, pure=False) for a, b in blocks]
        parts = _wait(client, futures, self.timeout, f"{type(self).__name__}.proximity_sparse")
        counts = np.concatenate([np.diff(p[0]) for p in parts]) if parts else np.zeros(0, np.uint64)
        indptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.uint64)
        indices = np.concatenate([p[1] for p in parts]) if parts else np.zeros(0, np.uint64)
        data = np.concatenate([p[2] for p in parts]) if parts else np.zeros(0)
        return sparse.csr_matrix((data, indices, indptr), shape=(n, n))

    def outlier_scores(self, use_sparse=False):
        return self._fitted_local().outlier_scores(use_sparse)
