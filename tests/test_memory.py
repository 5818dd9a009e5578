"""Repeated fit/predict cycles keep the resident memory of the process flat:
nothing a call allocates outlives it, also when calls fail."""
import ctypes
import gc
import os
import signal

import numpy as np
import pytest

import _rs

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (AttributeError, OSError):
    _mallinfo2 = None


def heap_in_use():
    """Bytes the C allocator has handed out and not yet taken back (freed
    memory that the allocator keeps for reuse does not count, unlike in the
    resident size); None where the C library cannot tell."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


rng = np.random.default_rng(7)
X = rng.normal(size=(2000, 4))
Y_CLASS = (X[:, 0] > 0).astype(float)
Y_MULTI = np.digitize(X[:, 1], [-0.5, 0.5]).astype(float)
Y_REG = X[:, 0] + 0.5 * X[:, 2]
X_NAN = X.copy()
X_NAN[3, 2] = np.nan


def swallow(fn, *args):
    try:
        fn(*args)
    except (ValueError, TypeError, OverflowError):
        pass


def cycle_decision_tree():
    for task, y in (("classification", Y_MULTI), ("regression", Y_REG)):
        t = _rs.DecisionTree(task=task, random_state=1)
        t.fit(X, y, np.ones(len(y)))
        t.predict(X)
        if task == "classification":
            t.predict_proba(X)
        swallow(t.fit, X_NAN, y)
        swallow(t.predict, X[:, :0])
        state = t.__getstate__()
        u = _rs.DecisionTree.__new__(_rs.DecisionTree)
        u.__setstate__(state)
        swallow(u.__setstate__, state[:-3])


def cycle_forests():
    r = _rs.RandomForestRegressor(n_estimators=3, random_state=1)
    r.fit(X, Y_REG)
    r.predict(X)
    swallow(r.fit, X_NAN, Y_REG)
    c = _rs.RandomForestClassifier(n_estimators=3, random_state=1)
    c.fit(X, Y_MULTI)
    c.predict_proba(X)
    c.score(X, Y_MULTI)
    swallow(c.predict, X[:, :0])


def cycle_tree_shap():
    t = _rs.DecisionTree(max_depth=4, random_state=1)
    t.fit(X, Y_MULTI)
    s = _rs.TreeSHAP(t, X, "classification")
    s.explain(X[:20])
    swallow(s.explain, X[:, :0])


def cycle_boosting():
    n = 300
    for cls, y in ((_rs.TarnwoodClassifier, Y_CLASS), (_rs.TarnwoodClassifier, Y_MULTI),
                   (_rs.TarnwoodRegressor, Y_REG)):
        m = cls(n_estimators=2, rf_n_estimators=3, random_state=1, rf_max_depth=6)
        m.fit(X[:n], y[:n])
        m.predict(X)
        m.to_dict()
        m.feature_importances()
        swallow(m.predict_ci, X)
        swallow(m.fit, X_NAN, y)
    a = _rs.Tarnwood(n_estimators=2, rf_n_estimators=4, random_state=1, async_mode=True,
                     task="regression", rf_max_depth=6)
    a.fit(X[:n], Y_REG[:n])
    a.predict_ci(X)


def cycle_unsupervised():
    u = _rs.RandomForestUnsupervised(n_estimators=6, random_state=1, max_depth=8)
    u.fit(X[:60])
    u.proximity_matrix(True)
    u.proximity_sparse(5)
    u.outlier_scores(True)
    u.predict_outlier_scores(X[60:80])
    u.transform(2)
    u.feature_importances()
    swallow(u.predict_proximity, X[:5, :0])


def cycle_package():
    import tarnwood

    n = 300
    for est, y in ((tarnwood.TreeClassifier(random_state=1), Y_MULTI),
                   (tarnwood.ForestRegressor(n_estimators=3, random_state=1, n_jobs=2), Y_REG),
                   (tarnwood.ForestClassifier(n_estimators=3, random_state=1), Y_MULTI),
                   (tarnwood.BoostedClassifier(n_estimators=2, rf_n_estimators=3,
                                               random_state=1, rf_max_depth=6), Y_CLASS),
                   (tarnwood.BoostedRegressor(n_estimators=2, rf_n_estimators=3,
                                              random_state=1, rf_max_depth=6), Y_REG)):
        est.fit(X[:n], y[:n])
        est.predict(X)
        swallow(est.fit, X_NAN, y)
        swallow(est.predict, X[:, :1])
    est.predict_interval(X[:50])
    tarnwood.TreeRegressor(max_depth=4).fit(X, Y_REG).explain(X[:10], X)
    u = tarnwood.UnsupervisedForest(n_estimators=6, random_state=1, max_depth=8).fit(X[:60])
    u.transform(X[60:70])
    u.proximity_sparse(4)
    u.outlier_scores()


class _Stop(Exception):
    pass


def _refuse(done, total, elapsed):
    raise _Stop


def cycle_package_interrupted():
    # Fits ended early: by a signal (an alarm whose handler raises, as
    # Ctrl-C does) and by a progress callback that raises.
    import tarnwood

    def alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        for est in (tarnwood.ForestRegressor(n_estimators=400, random_state=1),
                    tarnwood.BoostedRegressor(n_estimators=40, rf_n_estimators=10)):
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            try:
                est.fit(X, Y_REG)
            except KeyboardInterrupt:
                pass
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    try:
        tarnwood.UnsupervisedForest(n_estimators=2000, verbose=_refuse).fit(X[:200])
    except _Stop:
        pass


# TARNWOOD_MEMORY_CYCLES raises the count for a long manual run (e.g. 1000).
CYCLE_COUNT = int(os.environ.get("TARNWOOD_MEMORY_CYCLES", 80))
LEAKED = []


def cycle_leaking():
    # Calibration of the measurement itself: keeps one matrix copy per cycle.
    LEAKED.append(X.copy())


CYCLES = {
    "DecisionTree": cycle_decision_tree,
    "RandomForestClassifier": cycle_forests,
    "TreeSHAP": cycle_tree_shap,
    "TarnwoodClassifier": cycle_boosting,
    "RandomForestUnsupervised": cycle_unsupervised,
    "package": cycle_package,
    "package, interrupted": cycle_package_interrupted,
}


@pytest.mark.parametrize("name", list(CYCLES))
def test_repeated_cycles_keep_resident_memory_flat(name):
    if not name.startswith("package") and not hasattr(_rs, name):
        pytest.skip(f"{name} is not registered")
    cycle = CYCLES[name]
    # Warm up allocator pools (one per thread that has allocated), thread
    # stacks and caches.
    for _ in range(15 if name.startswith("package") else 5):
        cycle()
    gc.collect()
    before, heap_before = resident(), heap_in_use()
    for _ in range(CYCLE_COUNT):
        cycle()
    gc.collect()
    grown = resident() - before
    # Leaking one copy of the 64 KiB training matrix per cycle would add
    # 5 MiB to the heap; allocator noise stays well below the bounds. The
    # resident size is the coarser measure (freed memory kept for reuse can
    # absorb a leak for a while), so its bound is the more tolerant one.
    # The package's calls run on threads of their own, each allocating from
    # an allocator arena whose freed memory stays resident, so their bound
    # is wider; the heap bound below is the same for every cycle.
    bound = 32 if name.startswith("package") else 12
    assert grown < bound * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB"
    if heap_before is not None:
        heap_grown = heap_in_use() - heap_before
        assert heap_grown < 2 * 2**20, f"heap in use grew by {heap_grown / 2**20:.1f} MiB"


def test_the_measurement_sees_a_leak():
    for _ in range(5):
        cycle_leaking()
    gc.collect()
    before = heap_in_use()
    if before is None:
        pytest.skip("the C library does not report heap use")
    for _ in range(CYCLE_COUNT):
        cycle_leaking()
    assert heap_in_use() - before >= 4 * 2**20
    LEAKED.clear()
