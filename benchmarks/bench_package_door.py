"""Overhead of the package estimators over the raw engine calls.

    python benchmarks/bench_package_door.py [--rows 200000] [--fit-rows 100000]

Prints, best of a few repeats each: predict / predict_proba of
ForestRegressor / ForestClassifier against the same model's raw
`_rs` call on the same rows (the engine computes identical numbers); fit of
the package estimator against the raw `_rs` fit at --fit-rows x 30; and the
cost of verbose=1.
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--fit-rows", type=int, default=100_000)
    ap.add_argument("--trees", type=int, default=100)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    n = args.fit_rows
    x = rng.normal(size=(n, 30))
    yc = (x[:, 0] + x[:, 1] * x[:, 2] + rng.normal(size=n) > 0).astype(float)
    yr = x[:, 0] * 2 + np.sin(3 * x[:, 1]) + rng.normal(scale=0.3, size=n)
    xt = rng.normal(size=(args.rows, 30))
    rows = []
    for cls, raw_cls, y, method in ((ForestClassifier, _rs.RandomForestClassifier, yc, "predict_proba"),
                                    (ForestRegressor, _rs.RandomForestRegressor, yr, "predict")):
        kw = dict(n_estimators=args.trees, max_features="sqrt", random_state=0)
        est = cls(**kw)
        raw = raw_cls(**kw)
        fit_pkg = best(lambda: est.fit(x, y), 2)
        fit_raw = best(lambda: raw.fit(x, y), 2)
        fit_verbose = best(lambda: cls(verbose=1, **kw).fit(x, y), 2)
        pred_pkg = best(lambda: getattr(est, method)(xt))
        pred_raw = best(lambda: np.asarray(getattr(raw, method)(xt)))
        rows.append((f"{cls.__name__}.fit", fit_pkg, fit_raw))
        rows.append((f"{cls.__name__}.fit verbose=1", fit_verbose, fit_pkg))
        rows.append((f"{cls.__name__}.{method}", pred_pkg, pred_raw))
    print(f"{'call':36s} {'package s':>10s} {'reference s':>12s} {'ratio':>7s}")
    for name, a, b in rows:
        print(f"{name:36s} {a:10.3f} {b:12.3f} {a / b:7.3f}")
    print("reference: the raw _rs call (fit, predict), or the quiet package fit (verbose)")


if __name__ == "__main__":
    main()
