"""The tasks of tarnwood.dask's fits and predictions, run on the Dask
workers (module-level functions, so they travel by name)."""
import os

import numpy as np
import distributed
from sklearn.utils.validation import check_array

from . import _engine as _native

# Test hook: when this environment variable names an existing file, the
# first batch task that removes it ends its worker process at once (the
# worker's nanny starts a new one), as a crash mid-fit would.
FAULT_ENV = "TARNWOOD_DASK_FAULT_ONCE"


def _checked_block(block):
    """A row chunk as C-ordered float64; NaN, infinities and values that are
    not numbers are refused (the distributed fits take no missing values
    yet)."""
    return check_array(block, dtype=np.float64, order="C", ensure_min_samples=0)


def _column_edges(first, end, *blocks, max_bins=256):
    """The bin edges of full columns and each bin's single value (or NaN),
    which the trees' thresholds read as a local fit's do."""
    columns = np.concatenate([_checked_block(b)[:, first:end] for b in blocks], axis=0)
    return _native.bin_edges(np.ascontiguousarray(columns), n_jobs=1, max_bins=max_bins,
                             values=True)


def _doubled_column_edges(first, end, *blocks):
    """Edges of the unsupervised forest's combined columns (each real column
    followed by a shuffle of itself), which are those of the column stacked
    on itself (the plain rule: no bin values)."""
    columns = np.concatenate([_checked_block(b)[:, first:end] for b in blocks], axis=0)
    edges = _native.bin_edges(np.ascontiguousarray(np.concatenate([columns, columns])), n_jobs=1,
                              lossless=False)
    return edges, [np.empty(0) for _ in edges]


def _joined(*parts):
    """The (edges, values) pairs of blocks of columns as one pair."""
    return ([edge for part in parts for edge in part[0]],
            [value for part in parts for value in part[1]])


def _edges_of(joined):
    return joined[0]


def _values_of(joined):
    return joined[1]


def _bin_block(block, edges):
    return _native.bin_rows(_checked_block(block), edges)


def _hash_block(lanes, block):
    return _native.data_hash_rows(lanes, _checked_block(block))


def _binned_matrix(n_features, *bins):
    """The chunks' bins (row-major bytes each) as the feature-after-feature
    bytes a batch reads."""
    rows = [np.frombuffer(b, dtype=np.uint8).reshape(-1, n_features) for b in bins]
    return np.ascontiguousarray(np.concatenate(rows, axis=0).T).tobytes()


def _same(value):
    return value


def _fault_once():
    path = os.environ.get(FAULT_ENV)
    if not path:
        return
    try:
        os.remove(path)
    except OSError:
        return
    os._exit(1)


def _grow_batch(model, binned, edges, values, y, sample_weight, plan, first, end):
    _fault_once()
    return model.grow_batch(binned, edges, y, sample_weight, plan, first, end, n_jobs=1,
                            bin_values=values)


def _combined_bins(model, plan, real_bins):
    return model.combined_bins(plan, real_bins)


def _grow_unsupervised(model, plan, bins, edges, first, end):
    _fault_once()
    return model.grow_batch(plan, bins, edges, first, end, n_jobs=1)


def _worker_threads():
    try:
        return max(1, int(distributed.get_worker().state.nthreads))
    except (ValueError, AttributeError):
        return None


def _fit_whole(estimator, X_blocks, y, sample_weight, fit_kwargs):
    """A whole local fit on one worker, with the worker's threads."""
    _fault_once()
    X = np.concatenate([np.asarray(b) for b in X_blocks], axis=0) if X_blocks else None
    if estimator.get_params().get("n_jobs", 0) is None:
        estimator.set_params(n_jobs=_worker_threads())
    if y is None:
        estimator.fit(X, **fit_kwargs)
    elif sample_weight is None:
        estimator.fit(X, y, **fit_kwargs)
    else:
        estimator.fit(X, y, sample_weight=sample_weight, **fit_kwargs)
    return estimator


def _predict_block(estimator, method, block, *args):
    names = getattr(estimator, "feature_names_in_", None)
    if names is not None and isinstance(block, np.ndarray):
        import pandas as pd

        block = pd.DataFrame(block, columns=names)
    return getattr(estimator, method)(block, *args)


def _proximity_rows(estimator, first, end, use_oob):
    return estimator._fitted_model().proximity_rows(first, end, use_oob, n_jobs=1)


def _neighbour_rows(estimator, first, end, k):
    return estimator._fitted_model().proximity_neighbors(first, end, k, n_jobs=1)
