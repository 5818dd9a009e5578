"""Distributed fits on a local Dask cluster of two worker processes: the
fitted models must be the local fits' byte for byte, whatever the workers
and the chunking, also when a worker dies mid-fit; fits that cannot finish
end with an error; predictions come back as dask arrays.

Every test is bounded (an alarm per test, and the fits' own timeouts); the
whole file runs in well under a minute on two cores.
"""
import os
import pickle
import signal
import tempfile
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import tarnwood  # noqa: E402
from tarnwood import dask as tdask  # noqa: E402

# The fault hook is read by the worker processes, which inherit the
# environment when the cluster starts.
_TOKEN = os.path.join(tempfile.mkdtemp(prefix="tarnwood-dask-"), "kill-once")
os.environ[tdask.FAULT_ENV] = _TOKEN

TEST_SECONDS = 40


@pytest.fixture(autouse=True)
def bounded():
    """Fails a test that runs longer than TEST_SECONDS instead of hanging."""

    def expire(signum, frame):
        raise TimeoutError(f"test ran longer than {TEST_SECONDS} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TEST_SECONDS)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None,
        silence_logs=50,
    )
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def _data(n=600, d=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, d))
    # A column of a few unevenly spaced values: its bins hold one value
    # each, which the thresholds read as in a local fit.
    X[:, 3] = np.round(np.exp(X[:, 3]), 1)
    y = X[:, 0] + 0.5 * X[:, 1] ** 2 + 0.3 * np.minimum(X[:, 3], 3.0) + 0.2 * rng.normal(size=n)
    labels = np.where(X[:, 2] + 0.3 * rng.normal(size=n) > 0.3, "spam", "ham")
    weights = rng.uniform(0.5, 2.0, size=n)
    return X, y, labels, weights


def _state(estimator):
    return pickle.dumps(estimator.model_)


FOREST_CASES = [
    (tdask.DaskForestRegressor, tarnwood.ForestRegressor, "y",
     dict(n_estimators=24, oob_score=True, max_samples=0.7, random_state=4), True),
    (tdask.DaskForestClassifier, tarnwood.ForestClassifier, "labels",
     dict(n_estimators=24, oob_score=True, criterion="entropy",
          class_weight="balanced_subsample", random_state=4), True),
    (tdask.DaskForestRegressor, tarnwood.ForestRegressor, "y",
     dict(n_estimators=16, splitter="random", max_leaf_nodes=40, random_state=9), False),
]


@pytest.mark.parametrize("dask_cls, local_cls, target, params, weighted", FOREST_CASES)
def test_forest_fit_equals_the_local_fit_for_any_chunking(client, dask_cls, local_cls, target,
                                                          params, weighted):
    X, y, labels, w = _data()
    t = {"y": y, "labels": labels}[target]
    sw = w if weighted else None
    local = local_cls(**params).fit(X, t, sample_weight=sw)
    for rows, batch in [(600, None), (150, 5), (97, 1)]:
        est = dask_cls(**params, batch_size=batch, timeout=30)
        est.fit(da.from_array(X, chunks=(rows, 3)), da.from_array(t, chunks=rows),
                sample_weight=None if sw is None else da.from_array(sw, chunks=rows))
        assert _state(est.to_local()) == _state(local), (rows, batch)
        if params.get("oob_score"):
            assert est.oob_score_ == local.oob_score_
    predicted = est.predict(da.from_array(X, chunks=(250, 6)))
    assert isinstance(predicted, da.Array)
    np.testing.assert_array_equal(predicted.compute(), local.predict(X))
    if hasattr(local, "predict_proba"):
        np.testing.assert_array_equal(est.predict_proba(X).compute(), local.predict_proba(X))
    # The Dask estimator pickles without its cluster and predicts the same.
    again = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(again.to_local().predict(X), local.predict(X))


def test_one_worker_and_a_worker_killed_mid_fit_give_the_same_forest(client):
    X, y, _, _ = _data(seed=1)
    params = dict(n_estimators=30, random_state=11)
    local = tarnwood.ForestRegressor(**params).fit(X, y)
    Xd = da.from_array(X, chunks=(200, 6))
    # One worker.
    client.cluster.scale(1)
    _wait_workers(client, 1)
    one = tdask.DaskForestRegressor(**params, batch_size=4, timeout=30).fit(Xd, y)
    assert _state(one.to_local()) == _state(local)
    client.cluster.scale(2)
    _wait_workers(client, 2)
    # The first batch to start ends its worker's process; Dask grows the
    # lost batches (and the binned data) again on the other worker.
    open(_TOKEN, "w").close()
    killed = tdask.DaskForestRegressor(**params, batch_size=2, timeout=30).fit(Xd, y)
    assert not os.path.exists(_TOKEN), "the fault hook did not fire"
    assert _state(killed.to_local()) == _state(local)
    _wait_workers(client, 2)


def _wait_workers(client, count, seconds=20):
    deadline = time.monotonic() + seconds
    while len(client.scheduler_info()["workers"]) != count:
        assert time.monotonic() < deadline, f"cluster did not reach {count} workers"
        time.sleep(0.1)


def test_fits_that_cannot_finish_end_with_a_clear_error(client, monkeypatch):
    X, y, _, _ = _data(n=300, seed=2)
    est = tdask.DaskForestRegressor(n_estimators=8, random_state=0, timeout=30)
    # A task that keeps killing its workers: Dask gives up on it, and so
    # does the fit.
    scheduler = client.cluster.scheduler
    allowed = scheduler.allowed_failures
    scheduler.allowed_failures = 0
    try:
        open(_TOKEN, "w").close()
        with pytest.raises(RuntimeError, match="ended its Dask workers"):
            est.fit(da.from_array(X, chunks=(100, 6)), y)
    finally:
        scheduler.allowed_failures = allowed
        if os.path.exists(_TOKEN):
            os.remove(_TOKEN)
    assert not hasattr(est, "model_")
    _wait_workers(client, 2)
    # The binned data cannot fit the workers' memory: refused before any work.
    monkeypatch.setattr(tdask, "_MEMORY_SHARE", 1e-9)
    with pytest.raises(MemoryError, match="memory limit"):
        est.fit(X, y)
    monkeypatch.undo()
    # Bad inputs answer as the local estimator does, from the workers too.
    bad = X.copy()
    bad[5, 2] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        est.fit(da.from_array(bad, chunks=(100, 6)), y)
    with pytest.raises(ValueError, match="one entry per row"):
        est.fit(X, y[:-1])
    with pytest.raises(ValueError, match="warm start"):
        tdask.DaskForestRegressor(warm_start=True).fit(X, y)
    assert not hasattr(est, "model_")


def test_a_cluster_without_workers_is_refused_at_once():
    cluster = distributed.LocalCluster(processes=False, n_workers=0, dashboard_address=":0")
    with distributed.Client(cluster) as c:
        X, y, _, _ = _data(n=50)
        with pytest.raises(RuntimeError, match="no workers"):
            tdask.DaskForestRegressor(n_estimators=2, client=c).fit(X, y)
    cluster.close()


def test_boosted_and_unsupervised_fits_and_proximities_equal_the_local_ones(client):
    """The boosted ensembles fit on one worker; the unsupervised forest in
    batches, its proximity tables by row blocks."""
    X, y, labels, w = _data(n=400, seed=3)
    Xd = da.from_array(X, chunks=(150, 6))
    reg = dict(n_estimators=4, rf_n_estimators=5, random_state=2)
    local = tarnwood.BoostedRegressor(**reg).fit(X, y, sample_weight=w)
    remote = tdask.DaskBoostedRegressor(**reg, timeout=30).fit(Xd, y, sample_weight=w)
    assert _state(remote.to_local()) == _state(local)
    np.testing.assert_array_equal(remote.predict(Xd).compute(), local.predict(X))
    clf = tarnwood.BoostedClassifier(**reg).fit(X, labels)
    remote = tdask.DaskBoostedClassifier(**reg, timeout=30).fit(Xd, labels)
    assert _state(remote.to_local()) == _state(clf)
    np.testing.assert_array_equal(remote.predict(Xd).compute(), clf.predict(X))

    # The unsupervised forest grows in batches too, also through a worker
    # lost mid-fit.
    params = dict(n_estimators=40, max_features=3, random_state=5)
    local = tarnwood.UnsupervisedForest(**params).fit(X)
    remote = tdask.DaskUnsupervisedForest(**params, timeout=30).fit(Xd)
    assert _state(remote.to_local()) == _state(local)
    np.testing.assert_array_equal(remote.embedding_, local.embedding_)
    open(_TOKEN, "w").close()
    killed = tdask.DaskUnsupervisedForest(**params, batch_size=3, timeout=30).fit(
        da.from_array(X, chunks=(61, 6)))
    assert not os.path.exists(_TOKEN), "the fault hook did not fire"
    assert _state(killed.to_local()) == _state(local)
    _wait_workers(client, 2)
    for use_oob in (True, False):
        blocks = remote.proximity_matrix(use_oob, rows_per_block=70)
        assert isinstance(blocks, da.Array) and blocks.numblocks[0] == 6
        np.testing.assert_array_equal(blocks.compute(), local.proximity_matrix(use_oob))
    top = remote.proximity_sparse(k=7, rows_per_block=90)
    expected = local.proximity_sparse(k=7)
    assert top.nnz <= 7 * 400
    for part in ("indptr", "indices", "data"):
        np.testing.assert_array_equal(getattr(top, part), getattr(expected, part))


def test_dataframes_keep_their_column_names(client):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    X, y, _, _ = _data(n=300, seed=4)
    frame = pd.DataFrame(X, columns=[f"f{i}" for i in range(X.shape[1])])
    params = dict(n_estimators=6, random_state=1)
    local = tarnwood.ForestRegressor(**params).fit(frame, y)
    remote = tdask.DaskForestRegressor(**params, timeout=30).fit(
        dd.from_pandas(frame, npartitions=3), dd.from_pandas(pd.Series(y), npartitions=3)
    )
    assert _state(remote.to_local()) == _state(local)
    assert list(remote.feature_names_in_) == list(local.feature_names_in_)
    np.testing.assert_array_equal(
        remote.predict(dd.from_pandas(frame, npartitions=2)).compute(), local.predict(frame)
    )
