"""Overhead of the package estimators over the raw engine calls.

    python benchmarks/bench_package_door.py [--rows 200000] [--fit-rows 100000] [--repeats 3]

Prints, best of a few repeats each, for ForestClassifier and
ForestRegressor: the package's fit at --fit-rows x 30 and its predict /
predict_proba on --rows rows against the raw call of its engine module
(`tarnwood._engine`, the same model: the package's own overhead, i.e. input
validation and label handling) and against the `_rs` call (nested lists);
and the cost of verbose=1 against the quiet package fit. All compute
identical numbers.
"""
import argparse
import time

import numpy as np

import _rs
from tarnwood import ForestClassifier, ForestRegressor


def best(f, k=3):
    t = float("inf")
    for _ in range(k):
        t0 = time.perf_counter()
        f()
        t = min(t, time.perf_counter() - t0)
    return t


def race(calls, k):
    """Best time of each call over k rounds, the calls taking turns in every
    round, so that warm-up and memory growth favour none of them."""
    times = [float("inf")] * len(calls)
    for _ in range(k):
        for i, f in enumerate(calls):
            times[i] = min(times[i], best(f, 1))
    return times


class _Stub:
    """Stands in for the engine model: returns at once, so that timing the
    package's call measures only its own work (validation, label handling)."""

    classes = 2

    def __init__(self, **kwargs):
        pass

    def fit(self, *args, **kwargs):
        pass

    def predict_proba(self, x, n_jobs=None):
        return np.empty((len(x), self.classes))

    def predict(self, x, n_jobs=None):
        return np.empty(len(x))


def package_overhead(cls, x, y, xt, method, repeats):
    """Seconds of the package's own work in fit and in `method`."""
    saved = cls._engine
    cls._engine = _Stub
    try:
        est = cls(n_estimators=1)
        fit = min(best(lambda: est.fit(x, y), 1) for _ in range(repeats))
        call = min(best(lambda: getattr(est, method)(xt), 1) for _ in range(repeats))
    finally:
        cls._engine = saved
    return fit, call


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--fit-rows", type=int, default=100_000)
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    n = args.fit_rows
    x = rng.normal(size=(n, 30))
    yc = (x[:, 0] + x[:, 1] * x[:, 2] + rng.normal(size=n) > 0).astype(float)
    yr = x[:, 0] * 2 + np.sin(3 * x[:, 1]) + rng.normal(scale=0.3, size=n)
    xt = rng.normal(size=(args.rows, 30))
    rows = []
    overheads = []
    for cls, raw_cls, y, method in ((ForestClassifier, _rs.RandomForestClassifier, yc, "predict_proba"),
                                    (ForestRegressor, _rs.RandomForestRegressor, yr, "predict")):
        kw = dict(n_estimators=args.trees, max_features="sqrt", random_state=0)
        est = cls(**kw)
        est.fit(x[:1000], y[:1000])
        engine = est.model_
        yy = np.unique(y, return_inverse=True)[1].astype(float) if cls is ForestClassifier else y
        fresh = type(engine)(n_estimators=args.trees, max_features=str(int(np.sqrt(30))),
                             random_state=0)
        raw = raw_cls(n_estimators=args.trees, max_features=str(int(np.sqrt(30))), random_state=0)
        loud = cls(verbose=1, **kw)
        fit_pkg, fit_engine, fit_rs, fit_verbose = race(
            [lambda: est.fit(x, y), lambda: fresh.fit(x, yy), lambda: raw.fit(x, yy),
             lambda: loud.fit(x, y)], args.repeats)
        engine = est.model_
        pred_pkg, pred_engine, pred_rs = race(
            [lambda: getattr(est, method)(xt), lambda: getattr(engine, method)(xt),
             lambda: np.asarray(getattr(raw, method)(xt))], 2 * args.repeats)
        own_fit, own_call = package_overhead(cls, x, y, xt, method, 2 * args.repeats)
        name = cls.__name__
        overheads.append((name, own_fit, fit_engine, method, own_call, pred_engine))
        rows.append((f"{name}.fit", fit_pkg, fit_engine, fit_rs))
        rows.append((f"{name}.fit verbose=1", fit_verbose, fit_pkg, None))
        rows.append((f"{name}.{method}", pred_pkg, pred_engine, pred_rs))
    print(f"{'call':34s} {'package s':>10s} {'engine s':>9s} {'ratio':>6s} {'_rs s':>8s} {'ratio':>6s}")
    for name, a, b, c in rows:
        tail = f" {c:8.3f} {a / c:6.3f}" if c is not None else ""
        print(f"{name:34s} {a:10.3f} {b:9.3f} {a / b:6.3f}{tail}")
    print("engine: the raw tarnwood._engine call on the same model (for verbose=1: the quiet "
          "package fit); _rs: the compatibility module's call")
    print()
    print("the package's own work (engine replaced by a stub), as a share of the engine call:")
    for name, own_fit, fit_engine, method, own_call, call_engine in overheads:
        print(f"  {name}.fit {own_fit:.4f} s = {100 * own_fit / fit_engine:.2f}%   "
              f"{name}.{method} {own_call:.4f} s = {100 * own_call / call_engine:.2f}%")


if __name__ == "__main__":
    main()
