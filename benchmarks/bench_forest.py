"""Random forests against scikit-learn and LightGBM's random-forest mode.

Data: make_classification(100,000 x 30, 10 informative, seed 0) and
make_regression(100,000 x 30, seed 0), 80/20 split. 100 trees, unlimited
depth, max_features "sqrt" (classifier) and "0.33" (regressor). Reports fit
time, predict time (best of three calls), test accuracy / R^2 and the peak
memory of the fit (each fit runs in a fresh subprocess so peaks are not
shared), then fit time of our forests at 25k, 50k, 100k and 200k rows.

    python benchmarks/bench_forest.py [--trees 100] [--rows 100000] [--scaling 25000,50000,100000,200000]

Needs scikit-learn, lightgbm and psutil (pip install scikit-learn lightgbm psutil).
"""
import argparse
import json
import math
import os
import subprocess
import sys
import threading
import time

import numpy as np


def make_data(task, rows):
    from sklearn.datasets import make_classification, make_regression
    from sklearn.model_selection import train_test_split

    if task == "clf":
        x, y = make_classification(n_samples=rows, n_features=30, n_informative=10,
                                   random_state=0)
    else:
        x, y = make_regression(n_samples=rows, n_features=30, random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    return train_test_split(x, y, test_size=0.2, random_state=0)


class PeakRss:
    """Samples the resident set size of this process while a block runs."""

    def __init__(self):
        import psutil

        self.proc = psutil.Process()
        self.peak = 0
        self._stop = threading.Event()

    def _run(self):
        while not self._stop.is_set():
            self.peak = max(self.peak, self.proc.memory_info().rss)
            time.sleep(0.002)

    def __enter__(self):
        self.base = self.proc.memory_info().rss
        self.peak = self.base
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, self.proc.memory_info().rss)


def feature_fraction(task):
    # The fraction of features our forests examine per split, as a fraction
    # LightGBM understands: sqrt(30) -> 5 of 30; "0.33" -> int(0.33 * 30) = 9 of 30.
    return (int(math.sqrt(30)) if task == "clf" else int(0.33 * 30)) / 30.0


def build(lib, task, trees, leaves):
    if lib == "tarnwood":
        import _rs

        if task == "clf":
            return _rs.RandomForestClassifier(n_estimators=trees, max_features="sqrt",
                                              random_state=0)
        return _rs.RandomForestRegressor(n_estimators=trees, max_features="0.33", random_state=0)
    if lib == "sklearn":
        from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

        if task == "clf":
            return RandomForestClassifier(n_estimators=trees, max_features="sqrt", n_jobs=-1,
                                          random_state=0)
        return RandomForestRegressor(n_estimators=trees, max_features=0.33, n_jobs=-1,
                                     random_state=0)
    import lightgbm as lgb

    params = dict(boosting_type="rf", n_estimators=trees, bagging_fraction=0.632,
                  bagging_freq=1, feature_fraction=feature_fraction(task),
                  num_leaves=max(2, int(round(leaves))), min_child_samples=1, max_depth=-1,
                  random_state=0, verbose=-1, n_jobs=os.cpu_count(),
                  # Leaf-wise growth keeps a histogram per open leaf; with tens of
                  # thousands of leaves that would take gigabytes, so cap the cache.
                  histogram_pool_size=1024)
    return lgb.LGBMClassifier(**params) if task == "clf" else lgb.LGBMRegressor(**params)


def quality(task, y_true, pred):
    if task == "clf":
        return float(np.mean(np.asarray(pred) == y_true))
    pred = np.asarray(pred)
    return float(1.0 - np.sum((y_true - pred) ** 2) / np.sum((y_true - y_true.mean()) ** 2))


def leaf_counts(model):
    """Leaves per tree, read from the model's saved state (the same bytes
    pickling uses): header, settings, labels, then the trees."""
    import struct

    data = model.__getstate__()
    pos = 4
    (n,) = struct.unpack_from("<Q", data, pos)
    pos += 8 + n + 4                       # class tag, format version
    pos += 8                               # n_estimators
    pos += 1 + (8 if data[pos] else 0)     # max_depth
    if data[pos]:                          # max_features
        (n,) = struct.unpack_from("<Q", data, pos + 1)
        pos += 8 + n
    pos += 1
    pos += 1                               # bootstrap
    pos += 1 + (8 if data[pos] else 0)     # random_state
    pos += 16 + 1                          # min_samples_split, min_samples_leaf, fitted
    if "Classifier" in type(model).__name__:
        if data[pos]:
            (n,) = struct.unpack_from("<Q", data, pos + 1)
            pos += 8 + 8 * n
        pos += 1
    (n_trees,) = struct.unpack_from("<Q", data, pos)
    pos += 8
    counts = []
    for _ in range(n_trees):
        _, n_nodes = struct.unpack_from("<QQ", data, pos)
        pos += 16
        nodes = np.frombuffer(data, dtype=np.uint8, count=49 * n_nodes, offset=pos)
        left = nodes.reshape(n_nodes, 49)[:, 32:36].copy().view("<u4")[:, 0]
        counts.append(int(np.sum(left == 0)))
        pos += 49 * n_nodes
        (n_cw,) = struct.unpack_from("<Q", data, pos)
        pos += 8 + 16 * n_cw
    assert pos + 4 == len(data)           # CRC-32 trailer
    return counts


def worker(lib, task, rows, trees, leaves):
    xtr, xte, ytr, yte = make_data(task, rows)
    model = build(lib, task, trees, leaves)
    with PeakRss() as mem:
        t0 = time.perf_counter()
        model.fit(xtr, ytr)
        fit_s = time.perf_counter() - t0
    # Best of three calls for every library alike: a single call on a shared
    # machine is at the mercy of whatever else runs at that moment.
    predict_s = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        pred = model.predict(xte)
        predict_s = min(predict_s, time.perf_counter() - t0)
    out = dict(fit=fit_s, predict=predict_s, quality=quality(task, yte, pred),
               peak_mb=(mem.peak - mem.base) / 2**20)
    if lib == "tarnwood":
        out["leaves"] = float(np.mean(leaf_counts(model)))
    print(json.dumps(out))


TIMEOUT = 1200.0


def run(lib, task, rows, trees, leaves=0.0):
    cmd = [sys.executable, __file__, "--worker", lib, task, str(rows), str(trees), str(leaves)]
    try:
        res = subprocess.run(cmd, capture_output=True, text=True, check=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        nan = float("nan")
        return dict(fit=TIMEOUT, predict=nan, quality=nan, peak_mb=nan, timed_out=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--scaling", default="25000,50000,100000,200000")
    ap.add_argument("--timeout", type=float, default=TIMEOUT,
                    help="seconds before a single fit is abandoned")
    ap.add_argument("--worker", nargs=5)
    args = ap.parse_args()
    globals()["TIMEOUT"] = args.timeout
    if args.worker:
        lib, task, rows, trees, leaves = args.worker
        worker(lib, task, int(rows), int(trees), float(leaves))
        return

    print(f"{args.rows} rows x 30 features, 80/20 split, {args.trees} trees, "
          f"{os.cpu_count()} processors")
    for task, metric in (("clf", "accuracy"), ("reg", "R^2")):
        ours = run("tarnwood", task, args.rows, args.trees)
        sk = run("sklearn", task, args.rows, args.trees)
        lg = run("lightgbm", task, args.rows, args.trees, ours["leaves"])
        name = "classifier" if task == "clf" else "regressor"
        print(f"\n{name} (mean leaves per tree: {ours['leaves']:.0f})")
        print(f"  {'':10s} {'fit s':>8s} {'predict s':>10s} {metric:>9s} {'fit peak MB':>12s}")
        for label, r in (("tarnwood", ours), ("sklearn", sk), ("lightgbm", lg)):
            more = "  (abandoned after the timeout: fit time is a lower bound)" if r.get(
                "timed_out") else ""
            print(f"  {label:10s} {r['fit']:8.2f} {r['predict']:10.3f} {r['quality']:9.4f} "
                  f"{r['peak_mb']:12.1f}{more}")
        print(f"  fit: {sk['fit'] / ours['fit']:.1f}x faster than sklearn, "
              f"{lg['fit'] / ours['fit']:.2f}x LightGBM's time; predict: "
              f"{sk['predict'] / ours['predict']:.1f}x faster than sklearn; "
              f"{metric} {100 * (ours['quality'] - sk['quality']):+.2f} points vs sklearn; "
              f"peak memory {ours['peak_mb'] / max(sk['peak_mb'], 1e-9):.2f}x sklearn's",
              flush=True)

    sizes = [int(s) for s in args.scaling.split(",") if s]
    if sizes:
        print("\nfit time by rows (tarnwood)")
        for task in ("clf", "reg"):
            prev = None
            for rows in sizes:
                r = run("tarnwood", task, rows, args.trees)
                note = ""
                if prev:
                    ratio = r["fit"] / prev[1]
                    nlogn = (rows * math.log(rows)) / (prev[0] * math.log(prev[0]))
                    note = f"  x{ratio:.2f} vs x{nlogn:.2f} for n log n"
                print(f"  {task} {rows:>7d} rows: {r['fit']:7.2f} s{note}", flush=True)
                prev = (rows, r["fit"])


if __name__ == "__main__":
    main()
