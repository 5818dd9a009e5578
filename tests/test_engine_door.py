"""The package's own door (tarnwood._engine) behind ForestClassifier and
ForestRegressor: NumPy results, threads per call, the interpreter lock
released during heavy work, Ctrl-C, progress, and models pickled when the
estimators held `_rs` objects."""
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
from tarnwood import ForestClassifier, ForestRegressor
from tarnwood import _engine
from tarnwood._base import resolve_max_features
from tarnwood._persist import to_engine


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
        a.fit(x, y)
        b.fit(x, y)
        # The door's state adds a fit record; the trees are the same.
        c = to_engine(b, door)
        for t in range(12):
            for key, value in a.tree_arrays(t).items():
                np.testing.assert_array_equal(value, c.tree_arrays(t)[key])
        out = getattr(a, method)(x)
        assert isinstance(out, np.ndarray) and out.dtype == np.float64
        np.testing.assert_array_equal(out, np.array(getattr(b, method)(x)))


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
        m.predict_proba(x)
    t.join()
    # Either the refit waited for no reader (and produced the same model) or
    # it was refused while a prediction held the model.
    assert m.model_.__getstate__() == before
    assert all("borrowed" in e for e in errors)


CHILD = textwrap.dedent("""
    import sys, time
    import numpy as np
    from tarnwood import ForestRegressor
    rng = np.random.default_rng(0)
    x = rng.normal(size=(60000, 20)); y = x[:, 0] + rng.normal(size=60000)
    m = ForestRegressor(n_estimators=3, random_state=0).fit(x[:500], y[:500])
    before = m.model_.__getstate__()
    print("ready", flush=True)
    start = time.perf_counter()
    try:
        m.set_params(n_estimators=2000, max_features=1.0).fit(x, y)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted %.3f" % (time.perf_counter() - start), flush=True)
    assert m.model_.__getstate__() == before
    print("unchanged", flush=True)
""")


def test_ctrl_c_interrupts_a_fit_and_leaves_the_estimator_as_it_was():
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(1.0)
    sent = time.perf_counter()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    took = time.perf_counter() - sent
    assert proc.returncode == 0, err
    lines = out.split()
    assert "interrupted" in lines and "unchanged" in lines, out + err
    assert took < 5.0  # the signal ends the call within the next trees, not at the end


def test_verbose_prints_progress_on_stderr(capfd):
    x, yc, _ = data(20000, 10)
    ForestClassifier(n_estimators=30, random_state=0, verbose=1).fit(x, yc)
    err = capfd.readouterr().err
    assert "fit: 30/30 done in" in err
    ForestClassifier(n_estimators=5, random_state=0).fit(x, yc)
    assert capfd.readouterr().err == ""


def test_estimators_pickled_with_rs_models_still_predict_identically():
    # Earlier releases stored `_rs` forests in model_; the saved states are
    # shared, so such pickles keep predicting exactly as before.
    x, yc, yr = data()
    for cls, rs, y in ((ForestClassifier, _rs.RandomForestClassifier, yc),
                       (ForestRegressor, _rs.RandomForestRegressor, yr)):
        est = cls(n_estimators=8, random_state=1).fit(x, y)
        want = est.predict(x)
        features = resolve_max_features("t", est.max_features, x.shape[1])
        old = rs(n_estimators=8, max_features=features, random_state=1)
        old.fit(x, y)
        est.model_ = old
        back = pickle.loads(pickle.dumps(est))
        assert isinstance(back.model_, rs)
        np.testing.assert_array_equal(back.predict(x), want)
        assert isinstance(back.model_, cls._engine)


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
