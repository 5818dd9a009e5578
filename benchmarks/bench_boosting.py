"""Boosted forests against scikit-learn and LightGBM.

Regressor part: fit/predict time and test R^2 on make_regression and
Friedman #1, conformal interval coverage and width, time per grown tree
relative to RandomForestRegressor at equal tree settings, and the streaming
mode's speed-up.
Classifier part: binary and multiclass synthetic tasks, breast cancer and
digits: fit/predict time, accuracy and log-loss against
HistGradientBoostingClassifier, RandomForestClassifier and LightGBM, plus
time per grown tree.

Usage: python benchmarks/bench_boosting.py [regressor|classifier|all] [--quick]
"""
import sys
import time
import warnings

import numpy as np

import _rs

warnings.filterwarnings("ignore")

try:
    from sklearn.datasets import (load_breast_cancer, load_digits, make_classification,
                                  make_friedman1, make_regression)
    from sklearn.ensemble import (HistGradientBoostingClassifier, HistGradientBoostingRegressor,
                                  RandomForestClassifier)
    from sklearn.metrics import accuracy_score, log_loss, r2_score
    from sklearn.model_selection import train_test_split
except ImportError:  # pragma: no cover
    sys.exit("scikit-learn is needed for this benchmark (pip install scikit-learn)")
try:
    import lightgbm
except ImportError:  # pragma: no cover
    lightgbm = None

QUICK = "--quick" in sys.argv
N = 2000 if QUICK else 5000


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - start


def best_of(k, fn):
    """Best wall-clock and best process CPU seconds over k runs (CPU time is
    the steadier measure on a shared machine)."""
    wall = cpu = float("inf")
    for _ in range(k):
        c0, w0 = time.process_time(), time.perf_counter()
        fn()
        wall = min(wall, time.perf_counter() - w0)
        cpu = min(cpu, time.process_time() - c0)
    return np.array([wall, cpu])


def row(*cells, widths=(34, 10, 10, 10, 10)):
    print("".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                  for i, (c, w) in enumerate(zip(cells, widths))))


def fmt(v, digits=4):
    return f"{v:.{digits}f}"


def report_tree_times(t_boost, t_rf, note="forest on the same targets"):
    for i, kind in enumerate(("wall", "CPU")):
        print(f"   time per grown tree ({kind}): boosted {t_boost[i] * 1e3:.3f} ms, "
              f"RandomForestRegressor {t_rf[i] * 1e3:.3f} ms ({note}), "
              f"ratio {t_boost[i] / t_rf[i]:.3f}")


# ---- regressor ---------------------------------------------------------------

def regression_sets():
    x, y = make_regression(n_samples=N, n_features=20, n_informative=10, noise=10.0,
                           random_state=0)
    yield "make_regression", x, y
    x, y = make_friedman1(n_samples=N, n_features=10, noise=1.0, random_state=0)
    yield "friedman1", x, y


def tree_time_ratio(make_boost, tree_count, xtr, ytr, rf_kwargs, jitter=False):
    """Seconds per grown tree (wall, CPU) of a boosted fit and of
    RandomForestRegressor with equal tree settings. The boosting rounds fit
    continuous working responses; with `jitter` the forest's class labels get
    a tiny continuous perturbation so that its trees, too, grow until the
    depth limit instead of stopping at pure 0/1 leaves."""
    t_boost = best_of(2, lambda: make_boost().fit(xtr, ytr)) / tree_count
    target = ytr
    if jitter:
        target = ytr + np.random.default_rng(0).normal(scale=1e-3, size=len(ytr))
    rf_trees = 100
    t_rf = best_of(2, lambda: _rs.RandomForestRegressor(n_estimators=rf_trees, random_state=0,
                                                        **rf_kwargs).fit(xtr, target)) / rf_trees
    return t_boost, t_rf


def bench_regressor():
    print("== Regressor")
    cfg = dict(n_estimators=20, learning_rate=0.3, rf_n_estimators=20, rf_max_depth=10,
               random_state=0)
    for name, x, y in regression_sets():
        xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.25, random_state=1)
        print(f"-- {name}: {len(xtr)} train rows, {len(xte)} test rows, {x.shape[1]} features")
        row("model", "fit s", "pred s", "R^2")
        models = [
            ("TarnwoodRegressor", lambda: _rs.TarnwoodRegressor(**cfg)),
            ("TarnwoodRegressor async tol=0", lambda: _rs.TarnwoodRegressor(async_mode=True,
                                                                           tol=0.0, **cfg)),
            # The change rule compares absolute prediction changes, so its
            # tolerance is set relative to the target's spread.
            ("TarnwoodRegressor async tol=sd/100", lambda: _rs.TarnwoodRegressor(
                async_mode=True, tol=0.01 * float(np.std(ytr)), **cfg)),
            ("TarnwoodRegressor async tol=sd/20", lambda: _rs.TarnwoodRegressor(
                async_mode=True, tol=0.05 * float(np.std(ytr)), **cfg)),
            ("HistGradientBoostingRegressor", lambda: HistGradientBoostingRegressor(random_state=0)),
        ]
        if lightgbm is not None:
            models.append(("LGBMRegressor", lambda: lightgbm.LGBMRegressor(verbose=-1,
                                                                           random_state=0)))
        fitted = {}
        for label, make in models:
            m = make()
            _, t_fit = timed(m.fit, xtr, ytr)
            pred, t_pred = timed(m.predict, xte)
            row(label, fmt(t_fit, 3), fmt(t_pred, 3), fmt(r2_score(yte, pred)))
            fitted[label] = (m, t_fit)
        base = fitted["TarnwoodRegressor"]
        for label in ("TarnwoodRegressor async tol=0", "TarnwoodRegressor async tol=sd/100",
                      "TarnwoodRegressor async tol=sd/20"):
            m, t = fitted[label]
            print(f"   {label}: speed-up {base[1] / t:.2f}x, trees per round "
                  f"{np.mean(m.trees_used):.1f} of {cfg['rf_n_estimators']}")
        m = base[0]
        print("   conformal intervals (held-out coverage, mean width):")
        for alpha in (0.05, 0.1, 0.2):
            ci = np.array(m.predict_ci(xte, alpha))
            cover = np.mean((yte >= ci[:, 0]) & (yte <= ci[:, 1]))
            print(f"     alpha={alpha}: coverage {cover:.4f} (target {1 - alpha:.2f}), "
                  f"width {np.mean(ci[:, 1] - ci[:, 0]):.4f}")
        trees = 2 * cfg["n_estimators"] * cfg["rf_n_estimators"]
        t_boost, t_rf = tree_time_ratio(lambda: _rs.TarnwoodRegressor(**cfg), trees, xtr, ytr,
                                        dict(max_depth=cfg["rf_max_depth"]))
        report_tree_times(t_boost, t_rf)


# ---- classifier --------------------------------------------------------------

def classification_sets():
    x, y = make_classification(n_samples=N, n_features=20, n_informative=8, random_state=0)
    yield "binary synthetic", x, y
    x, y = make_classification(n_samples=N, n_features=20, n_informative=10, n_classes=4,
                               n_clusters_per_class=2, random_state=0)
    yield "4-class synthetic", x, y
    d = load_breast_cancer()
    yield "breast cancer", d.data, d.target
    d = load_digits()
    yield "digits", d.data, d.target


def bench_classifier():
    print("== Classifier")
    cfg = dict(n_estimators=20, learning_rate=0.3, rf_n_estimators=20, rf_max_depth=10,
               random_state=0)
    for name, x, y in classification_sets():
        x = np.ascontiguousarray(x, dtype=np.float64)
        y = y.astype(np.float64)
        xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.25, random_state=1, stratify=y)
        labels = np.unique(y)
        print(f"-- {name}: {len(xtr)} train rows, {x.shape[1]} features, {len(labels)} classes")
        row("model", "fit s", "pred s", "accuracy", "log-loss")
        models = [
            ("TarnwoodClassifier", lambda: _rs.TarnwoodClassifier(**cfg)),
            ("HistGradientBoostingClassifier", lambda: HistGradientBoostingClassifier(random_state=0)),
            ("RandomForestClassifier (sklearn)", lambda: RandomForestClassifier(n_jobs=-1,
                                                                               random_state=0)),
        ]
        if lightgbm is not None:
            models.append(("LGBMClassifier", lambda: lightgbm.LGBMClassifier(verbose=-1,
                                                                             random_state=0)))
        for label, make in models:
            m = make()
            _, t_fit = timed(m.fit, xtr, ytr)
            proba, t_pred = timed(m.predict_proba, xte)
            proba = np.asarray(proba)
            pred = labels[np.argmax(proba, axis=1)]
            row(label, fmt(t_fit, 3), fmt(t_pred, 3), fmt(accuracy_score(yte, pred)),
                fmt(log_loss(yte, np.clip(proba, 1e-15, 1), labels=labels)))
        per_round = len(labels) if len(labels) > 2 else 1
        trees = cfg["n_estimators"] * cfg["rf_n_estimators"] * per_round
        t_boost, t_rf = tree_time_ratio(lambda: _rs.TarnwoodClassifier(**cfg), trees, xtr, ytr,
                                        dict(max_depth=cfg["rf_max_depth"]), jitter=True)
        report_tree_times(t_boost, t_rf, "forest on jittered labels")


if __name__ == "__main__":
    part = next((a for a in sys.argv[1:] if not a.startswith("--")), "all")
    if part in ("regressor", "all"):
        bench_regressor()
    if part in ("classifier", "all"):
        bench_classifier()
