"""The package's own door (tarnwood._engine) behind every package estimator:
the same results as `_rs` on the same settings, NumPy results, threads per
call, the interpreter lock released during heavy work, Ctrl-C, progress, and
models pickled when the estimators held `_rs` objects."""
import copy
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _rs
import tarnwood
from tarnwood import ForestClassifier, ForestRegressor
from tarnwood import _engine
from tarnwood._base import resolve_max_features
from tarnwood._persist import _restore, to_engine


def data(n=3000, p=8, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    return x, (x[:, 0] + x[:, 1] * x[:, 2] > 0).astype(float), x[:, 0] * 2 + np.sin(x[:, 1])


def test_engine_forests_equal_the_rs_forests_bit_for_bit():
    x, yc, yr = data()
    for door, rs, y, method in (
        (_engine.ForestClassifier, _rs.RandomForestClassifier, yc, "predict_proba"),
        (_engine.ForestRegressor, _rs.RandomForestRegressor, yr, "predict"),
    ):
        a = door(n_estimators=12, max_features="sqrt", random_state=4)
        b = rs(n_estimators=12, max_features="sqrt", random_state=4)
        # The door's own fits bin without losing thresholds; with the plain
        # edges they grow the specified classes' trees.
        a.fit(x, y, lossless_bins=False, fast_growth=False)
        b.fit(x, y)
        # The door's state adds a fit record; the trees are the same.
        c = to_engine(b, door)
        for t in range(12):
            for key, value in a.tree_arrays(t).items():
                np.testing.assert_array_equal(value, c.tree_arrays(t)[key])
        out = getattr(a, method)(x)
        assert isinstance(out, np.ndarray) and out.dtype == np.float64
        np.testing.assert_array_equal(out, np.array(getattr(b, method)(x)))


def test_engine_trees_boosting_and_unsupervised_equal_rs_bit_for_bit():
    x, yc, yr = data(400, 5)
    a = _engine.Tree(max_depth=6, random_state=1)
    b = _rs.DecisionTree(max_depth=6, random_state=1)
    a.fit(x, yc, n_jobs=2)
    b.fit(x, yc)
    assert a.__getstate__() == b.__getstate__()
    np.testing.assert_array_equal(a.predict_proba(x), np.array(b.predict_proba(x)))
    ea = _engine.TreeExplainer(a, x, "classification")
    eb = _rs.TreeSHAP(b, x, "classification")
    # Rows are explained slice by slice on the pool; the values are the same.
    np.testing.assert_array_equal(ea.explain(x[:70], n_jobs=3), np.array(eb.explain(x[:70])))
    assert ea.explain(x[:0]).shape == (0, 2, 5)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(ea)).explain(x[:5]), ea.explain(x[:5]))

    for door, rs, y in ((_engine.BoostedRegressor, _rs.TarnwoodRegressor, yr),
                        (_engine.BoostedClassifier, _rs.TarnwoodClassifier, yc)):
        # As the forests: the plain edges and the exact growth fit the
        # specified classes' ensembles.
        a = door(n_estimators=4, rf_n_estimators=5, random_state=3, fast_growth=False)
        b = rs(n_estimators=4, rf_n_estimators=5, random_state=3)
        a.fit(x, y, n_jobs=1, lossless_bins=False)
        b.fit(x, y)
        assert a.__getstate__() == b.__getstate__()
        np.testing.assert_array_equal(a.predict(x, n_jobs=2), np.array(b.predict(x)))
        np.testing.assert_array_equal(a.predict_ci(x, 0.1), np.array(b.predict_ci(x, 0.1)))
        np.testing.assert_array_equal(a.feature_importances(), np.array(b.feature_importances()))
        np.testing.assert_array_equal(a.trees_used, np.array(b.trees_used))
        assert repr(a.to_dict()) == repr(b.to_dict())

    a = _engine.UnsupervisedForest(n_estimators=25, random_state=2)
    b = _rs.RandomForestUnsupervised(n_estimators=25, random_state=2)
    a.fit(x[:150], n_jobs=2)
    b.fit(x[:150])
    assert a.__getstate__() == b.__getstate__()
    for use_oob in (True, False):
        np.testing.assert_array_equal(a.proximity_matrix(use_oob), np.array(b.proximity_matrix(use_oob)))
    np.testing.assert_array_equal(a.predict_proximity(x[150:190]), np.array(b.predict_proximity(x[150:190])))
    np.testing.assert_array_equal(a.transform(3), np.array(b.transform(3)))
    np.testing.assert_array_equal(a.outlier_scores(True), np.array(b.outlier_scores(True)))
    indptr, indices, values = a.proximity_sparse(4)
    rows = b.proximity_sparse(4)
    assert [list(zip(indices[indptr[i]:indptr[i + 1]], values[indptr[i]:indptr[i + 1]]))
            for i in range(150)] == [[tuple(p) for p in r] for r in rows]


def package_estimators():
    return [
        ("TreeClassifier", dict(max_depth=6), "c"),
        ("TreeRegressor", dict(max_depth=6), "r"),
        ("ForestClassifier", dict(n_estimators=8), "c"),
        ("ForestRegressor", dict(n_estimators=8), "r"),
        ("BoostedClassifier", dict(n_estimators=3, rf_n_estimators=4), "c"),
        ("BoostedRegressor", dict(n_estimators=3, rf_n_estimators=4), "r"),
        ("UnsupervisedForest", dict(n_estimators=20), "u"),
    ]


def outputs(est, x):
    """Every result of a fitted package estimator, as arrays."""
    if isinstance(est, tarnwood.UnsupervisedForest):
        return [est.embedding_, est.proximity_matrix(), est.outlier_scores(),
                est.predict_proximity(x[:30]), est.transform(x[:30]), est.feature_importances_,
                est.proximity_sparse(3).toarray()]
    out = [est.predict(x)]
    if hasattr(est, "predict_proba"):
        out.append(est.predict_proba(x))
    if hasattr(est, "explain"):
        out.append(est.explain(x[:40], x))
    if isinstance(est, tarnwood.ForestRegressor):
        # Forests of earlier releases keep no leaf samples (they come last,
        # so a comparison with such a forest stops before them).
        if est._fitted_model().has_leaf_samples:
            out += [est.predict_quantiles(x[:200]), est.predict_interval(x[:200]),
                    est.predict_interval(x[:200], method="quantile")]
    elif hasattr(est, "predict_interval") and (not hasattr(est, "classes_") or len(est.classes_) == 2):
        out.append(est.predict_interval(x))
    return out


@pytest.mark.parametrize("name,params,kind", package_estimators())
def test_every_estimator_gives_the_same_results_for_every_n_jobs(name, params, kind):
    x, yc, yr = data(1500, 6)
    cls = getattr(tarnwood, name)
    results = []
    for n_jobs in (1, 2, -1, None):
        est = cls(random_state=5, n_jobs=n_jobs, **params)
        est.fit(x[:300] if kind == "u" else x, *([] if kind == "u" else [yc if kind == "c" else yr]))
        assert isinstance(est.model_, cls._engine)
        results.append(outputs(est, x))
    for other in results[1:]:
        for got, want in zip(other, results[0]):
            np.testing.assert_array_equal(got, want)


def prefix_of(name):
    return next(p for p in ("Tree", "Forest", "Boosted", "Unsupervised") if name.startswith(p))


@pytest.mark.parametrize("name,params,kind", package_estimators())
def test_estimators_pickled_with_rs_models_still_predict_identically(name, params, kind,
                                                                    monkeypatch):
    # Earlier releases stored `_rs` objects in model_; the saved states are
    # shared, so such pickles keep predicting exactly as before, and the
    # model is converted to the package's own class on first use.
    x, yc, yr = data(800, 6)
    cls = getattr(tarnwood, name)
    if name.startswith("Boosted"):
        # `_rs` states hold no fit options: the package model is fitted
        # without them (as earlier releases fitted every model).
        params = dict(params, rf_max_leaf_nodes=None, early_stopping=False)
        if name == "BoostedRegressor":
            params["interval_method"] = "refit"
    # The `_rs` trees are grown with the compatibility arithmetic.
    monkeypatch.setattr(tarnwood.forest._ForestBase, "_fast_growth", False)
    est = cls(random_state=1, **params)
    est.fit(x[:300] if kind == "u" else x, *([] if kind == "u" else [yc if kind == "c" else yr]))
    want = outputs(est, x) if prefix_of(name) != "Forest" else None
    rs_name = {"Tree": "DecisionTree", "Forest": "RandomForest", "Boosted": "Tarnwood",
               "Unsupervised": "RandomForestUnsupervised"}
    prefix = next(p for p in rs_name if name.startswith(p))
    old_name = rs_name[prefix] + ("" if prefix in ("Tree", "Unsupervised") else name[len(prefix):])
    if prefix == "Forest":
        # The package's forests save their fit record too, which `_rs` does
        # not read: the old model is grown by `_rs` with the same settings.
        features = resolve_max_features("t", est.max_features, x.shape[1])
        est.model_ = getattr(_rs, old_name)(n_estimators=8, max_features=features, random_state=1)
        est.model_.fit(x, yc if kind == "c" else yr)
        # Its bins are the specified classes' edges, not the package's (a
        # copy converts its model on use; est keeps the old one).
        want = outputs(copy.copy(est), x)
    else:
        est.model_ = _restore(old_name, est.model_.__getstate__())
    assert type(est.model_).__name__ == old_name
    back = pickle.loads(pickle.dumps(est))
    for got, w in zip(outputs(back, x), want):
        np.testing.assert_array_equal(got, w)
    assert isinstance(back.model_, cls._engine)


def test_progress_callback_sees_the_trees_and_can_stop_the_fit():
    x, yc, yr = data(20000, 10)
    seen = []
    ForestClassifier(n_estimators=40, random_state=0,
                     verbose=lambda done, total, elapsed: seen.append((done, total, elapsed))).fit(x, yc)
    assert seen and seen[-1][:2] == (40, 40)
    assert all(a[0] <= b[0] and a[2] <= b[2] for a, b in zip(seen, seen[1:]))

    est = tarnwood.BoostedRegressor(n_estimators=2, rf_n_estimators=3, random_state=0).fit(x, yr)
    before = est.model_.__getstate__()

    def refuse(done, total, elapsed):
        assert total == 40 * 10  # one pass: the calibrated model is kept
        raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        est.set_params(n_estimators=40, rf_n_estimators=10, verbose=refuse).fit(x, yr)
    assert est.model_.__getstate__() == before


@pytest.mark.parametrize("cls", [ForestClassifier, ForestRegressor])
def test_every_n_jobs_gives_the_same_model_and_predictions(cls):
    x, yc, yr = data()
    y = yc if cls is ForestClassifier else yr
    states, preds = set(), []
    for n_jobs in (None, 1, 2, 3, -1, -2):
        m = cls(n_estimators=10, random_state=7, n_jobs=n_jobs).fit(x, y)
        states.add(m.model_.__getstate__())
        preds.append(m.predict(x))
    assert len(states) == 1
    for p in preds[1:]:
        np.testing.assert_array_equal(p, preds[0])


@pytest.mark.parametrize("n_jobs", [0, 1.5, "2", True])
def test_bad_n_jobs_and_verbose_are_refused(n_jobs):
    x, yc, _ = data(200)
    with pytest.raises(ValueError, match="n_jobs"):
        ForestClassifier(n_estimators=2, n_jobs=n_jobs).fit(x, yc)
    with pytest.raises(ValueError, match="verbose"):
        ForestClassifier(n_estimators=2, verbose=-1).fit(x, yc)


def test_other_threads_run_while_a_fit_runs_and_readers_share_a_model():
    x, yc, _ = data(40000, 10)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.002)

    t = threading.Thread(target=ticker)
    t.start()
    start = time.perf_counter()
    m = ForestClassifier(n_estimators=60, random_state=0).fit(x, yc)
    end = time.perf_counter()
    stop.set()
    t.join()
    during = [s for s in ticks if start < s < end]
    # With the lock held the whole fit, the ticker could not run at all.
    assert len(during) >= 0.25 * (end - start) / 0.002

    want = m.predict_proba(x)
    results = [None] * 8

    def read(i):
        results[i] = m.predict_proba(x)

    threads = [threading.Thread(target=read, args=(i,)) for i in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for r in results:
        np.testing.assert_array_equal(r, want)


def test_fit_while_another_thread_reads_is_refused_cleanly():
    x, yc, _ = data(60000, 10)
    m = ForestClassifier(n_estimators=40, random_state=0).fit(x, yc)
    before = m.model_.__getstate__()
    errors = []

    def refit():
        time.sleep(0.02)
        try:
            m.model_.fit(x, yc)
        except RuntimeError as e:
            errors.append(str(e))

    t = threading.Thread(target=refit)
    t.start()
    for _ in range(3):
        # A prediction that starts while the refit holds the model is
        # refused in turn (which side comes first depends on timing).
        try:
            m.predict_proba(x)
        except RuntimeError as e:
            assert "being fitted or loaded by another call" in str(e)
    t.join()
    # Either the refit waited for no reader (and produced the same model) or
    # it was refused while a prediction held the model.
    assert m.model_.__getstate__() == before
    assert all("in use by another call" in e for e in errors)


CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np
    import tarnwood
    rng = np.random.default_rng(0)
    x = rng.normal(size=(60000, 20)); y = x[:, 0] + rng.normal(size=60000)
    small = dict(TreeRegressor={}, ForestRegressor=dict(n_estimators=3),
                 BoostedRegressor=dict(n_estimators=1, rf_n_estimators=2),
                 UnsupervisedForest=dict(n_estimators=3))
    big = dict(ForestRegressor=dict(n_estimators=2000, max_features=1.0),
               BoostedRegressor=dict(n_estimators=200, rf_n_estimators=20),
               UnsupervisedForest=dict(n_estimators=5000))
    name, call = sys.argv[1], sys.argv[2]
    cls = getattr(tarnwood, name)
    m = cls(random_state=0, **small[name])
    m.fit(x[:500]) if name == "UnsupervisedForest" else m.fit(x[:500], y[:500])
    before = m.model_.__getstate__()
    raised = []
    def handler(signum, frame):
        raised.append(time.perf_counter())
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, handler)
    rows = np.repeat(x, 40, axis=0)
    print("ready", flush=True)
    try:
        if call == "fit":
            m.set_params(**big[name])
            m.fit(x) if name == "UnsupervisedForest" else m.fit(x, y)
        elif call == "fit_big":
            # Few trees on many rows (enough of them to outlast the wait
            # before the signal): the stop is seen inside a tree.
            m.set_params(**({"n_estimators": 8} if "Forest" in name else {}))
            m.fit(rows, np.repeat(y, 40))
        elif call == "predict":
            for _ in range(1000):
                m.predict(rows)
        elif call == "explain":
            for _ in range(1000):
                m.explain(rows, x[:500])
        elif call == "explain_path":
            for _ in range(1000):
                m.explain(rows)
        elif call == "quantiles":
            for _ in range(1000):
                m.predict_quantiles(rows, [0.1, 0.9])
        elif call in ("jackknife+", "quantile"):
            for _ in range(1000):
                m.predict_interval(rows, alpha=0.1, method=call)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted %.3f" % (time.perf_counter() - raised[0]), flush=True)
    assert m.model_.__getstate__() == before
    print("unchanged", flush=True)
""")


@pytest.mark.parametrize("name,call", [
    ("ForestRegressor", "fit"), ("BoostedRegressor", "fit"), ("UnsupervisedForest", "fit"),
    ("ForestRegressor", "predict"), ("TreeRegressor", "explain"),
    ("ForestRegressor", "explain"), ("BoostedRegressor", "explain_path"),
    ("TreeRegressor", "fit_big"), ("ForestRegressor", "fit_big"),
    ("ForestRegressor", "quantiles"), ("ForestRegressor", "jackknife+"),
    ("ForestRegressor", "quantile"),
])
def test_ctrl_c_interrupts_a_call_and_leaves_the_estimator_as_it_was(name, call):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, name, call], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    # A big fit first validates its 384 MB of rows in NumPy (missing values
    # allowed: a slower check), which no signal handler interrupts; the
    # signal is meant for the engine's work after it.
    time.sleep(2.0 if call == "fit_big" else 1.0)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    lines = out.split()
    assert "interrupted" in lines and "unchanged" in lines, out + err
    # The work stops at its next tree or slice of rows once the handler ran.
    assert float(lines[lines.index("interrupted") + 1]) < 0.5, out


def test_verbose_prints_progress_on_stderr(capfd):
    x, yc, _ = data(20000, 10)
    ForestClassifier(n_estimators=30, random_state=0, verbose=1).fit(x, yc)
    err = capfd.readouterr().err
    assert "fit: 30/30 done in" in err
    ForestClassifier(n_estimators=5, random_state=0).fit(x, yc)
    assert capfd.readouterr().err == ""


@settings(max_examples=40, deadline=None)
@given(n_jobs=st.one_of(st.none(), st.integers(-2**70, 2**70), st.floats(), st.text(max_size=3),
                        st.booleans()),
       verbose=st.one_of(st.none(), st.integers(-2**70, 2**70), st.floats(), st.booleans()))
def test_engine_call_arguments_answer_cleanly(n_jobs, verbose):
    x, yc, _ = data(60, 3)
    m = _engine.ForestClassifier(n_estimators=2, random_state=0)
    try:
        m.fit(x, yc, None, n_jobs, verbose)
    except (TypeError, ValueError):
        pass
    try:
        m.predict_proba(x, n_jobs)
    except (TypeError, ValueError):
        pass
    m.fit(x, yc)
    assert m.predict_proba(x).shape == (60, 2)
