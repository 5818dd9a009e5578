"""Forest fit speed against scikit-learn, ranger and YDF, on the same data.

Every forest: 100 trees, sqrt(p) features per split (regression too),
unlimited depth, 2 threads; min leaf 1 for everyone (ranger's
min.node.size = 1 and YDF's min_examples = 1 set explicitly, scikit-learn's
and tarnwood's defaults). Data sets (train / held-out test):
  reg100k   make_regression 100,000 x 30 (+20,000 test)
  reg43k    43,000 x 9, features of 200-400 distinct values, a Friedman-like target
  multi26   make_classification 16,000 x 16, 26 classes
  multi10   make_classification 50,000 x 20, 10 classes
  bin100k   make_classification 100,000 x 30, 2 classes
Reports fit seconds, the peers' fit time over tarnwood's (ratio > 1: tarnwood
faster), and held-out R^2 / accuracy. Each peer first fits two trees on 300
rows, untimed, so that one-time costs of a fresh process stay out of the
timed fit.

    python benchmarks/bench_forest_speed.py [--sets reg100k,multi26] [--trees 100]
        [--repeats 1] [--peers tarnwood,sklearn] [--max-bins 4096]

--repeats N runs every peer's fit N times (each in a fresh process, the
peers taking turns) and keeps the fastest: timings on a shared machine vary
by 10-50% from minute to minute.
--max-bins N adds tarnwood with max_bins=N (16-bit bins above 256) as the
peer "twN", its ratio taken against the default tarnwood like the others'.

ranger runs through Rscript (Debian's r-cran-ranger), YDF from PyPI (ydf);
each is skipped when missing.
"""
import os

# Idle BLAS threads left spinning by the data generators would steal the
# forests' cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import math
import shutil
import subprocess
import tempfile
import time

import numpy as np


def make(name):
    from sklearn.datasets import make_classification, make_regression
    rng = np.random.default_rng(0)
    if name == "reg100k":
        x, y = make_regression(120_000, 30, n_informative=10, noise=10.0, random_state=0)
        return x, y, 100_000, False
    if name == "reg43k":
        n = 53_000
        levels = rng.integers(200, 401, size=9)
        x = np.column_stack([rng.integers(0, k, n) / k for k in levels])
        y = (10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 10 * x[:, 3]
             + 5 * x[:, 4] + rng.normal(size=n))
        return x, y, 43_000, False
    shape = {"multi26": (20_000, 16, 26, 16_000), "multi10": (60_000, 20, 10, 50_000),
            "bin100k": (120_000, 30, 2, 100_000)}[name]
    x, y = make_classification(shape[0], shape[1], n_informative=min(shape[1], 12),
                               n_classes=shape[2], n_clusters_per_class=1, random_state=0)
    return x, y.astype(float), shape[3], True


def score(y, pred, classify):
    if classify:
        return float(np.mean(np.asarray(pred, dtype=float) == y))
    return float(1 - np.sum((y - pred) ** 2) / np.sum((y - y.mean()) ** 2))


def timed(fit, predict):
    t0 = time.perf_counter()
    model = fit()
    return time.perf_counter() - t0, predict(model)


# Every peer first fits two trees on a few hundred rows, untimed: what a
# process pays once (lazy imports, a library's first-call checks, thread
# pools, the collector's pass over a freshly imported heap) stays out of
# the fit it times.
WARM_ROWS = 300


def warm(make_estimator, xtr, ytr):
    make_estimator(2).fit(xtr[:WARM_ROWS], ytr[:WARM_ROWS])


def run_tarnwood(xtr, ytr, xte, classify, trees, max_bins=256):
    import tarnwood
    cls = tarnwood.ForestClassifier if classify else tarnwood.ForestRegressor
    make = lambda k: cls(n_estimators=k, max_features="sqrt", n_jobs=2, random_state=0,
                         max_bins=max_bins)
    warm(make, xtr, ytr)
    est = make(trees)
    return timed(lambda: est.fit(xtr, ytr), lambda m: m.predict(xte))


def run_sklearn(xtr, ytr, xte, classify, trees):
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    cls = RandomForestClassifier if classify else RandomForestRegressor
    make = lambda k: cls(n_estimators=k, max_features="sqrt", n_jobs=2, random_state=0)
    warm(make, xtr, ytr)
    est = make(trees)
    return timed(lambda: est.fit(xtr, ytr), lambda m: m.predict(xte))


def run_ydf(xtr, ytr, xte, classify, trees):
    import ydf
    cols = lambda x: {f"f{j}": x[:, j] for j in range(x.shape[1])}
    train = cols(xtr)
    train["y"] = ytr.astype(int) if classify else ytr
    make = lambda k: ydf.RandomForestLearner(
        label="y", task=ydf.Task.CLASSIFICATION if classify else ydf.Task.REGRESSION,
        num_trees=k, num_candidate_attributes=int(math.sqrt(xtr.shape[1])), max_depth=-1,
        min_examples=1, num_threads=2, random_seed=0)
    make(2).train({k: v[:WARM_ROWS] for k, v in train.items()})
    learner = make(trees)
    t0 = time.perf_counter()
    model = learner.train(train)
    elapsed = time.perf_counter() - t0
    try:
        pred = model.predict(cols(xte))
    except Exception as exc:  # very deep trees may not fit its prediction format
        print(f"ydf prediction failed ({exc}); fit time kept")
        return elapsed, np.full(len(xte), np.nan)
    if classify:
        labels = np.asarray(learner_labels(pred, ytr))
        return elapsed, labels
    return elapsed, pred


def learner_labels(pred, ytr):
    classes = np.unique(ytr.astype(int))
    pred = np.asarray(pred)
    if pred.ndim == 1:  # binary: probability of the second class
        return classes[(pred > 0.5).astype(int)]
    return classes[np.argmax(pred, axis=1)]


R_SCRIPT = """
suppressMessages(library(ranger))
args <- commandArgs(TRUE)
tr <- read.csv(args[1]); te <- read.csv(args[2])
if (args[3] == "1") tr$y <- as.factor(tr$y)
invisible(ranger(dependent.variable.name = "y", data = tr[1:300, ], num.trees = 2,
                 mtry = floor(sqrt(ncol(tr) - 1)), min.node.size = 1, num.threads = 2, seed = 0,
                 verbose = FALSE))
t0 <- Sys.time()
fit <- ranger(dependent.variable.name = "y", data = tr, num.trees = as.integer(args[4]),
              mtry = floor(sqrt(ncol(tr) - 1)), min.node.size = 1, num.threads = 2, seed = 0,
              verbose = FALSE)
elapsed <- as.numeric(difftime(Sys.time(), t0, units = "secs"))
pred <- predict(fit, te, num.threads = 2)$predictions
if (args[3] == "1") pred <- as.numeric(as.character(pred))
cat(elapsed, "\\n"); cat(pred, sep = "\\n")
"""


def run_ranger(xtr, ytr, xte, classify, trees):
    with tempfile.TemporaryDirectory() as tmp:
        names = ",".join(f"f{j}" for j in range(xtr.shape[1]))
        np.savetxt(os.path.join(tmp, "tr.csv"), np.column_stack([xtr, ytr]), delimiter=",",
                   header=names + ",y", comments="")
        np.savetxt(os.path.join(tmp, "te.csv"), xte, delimiter=",", header=names, comments="")
        with open(os.path.join(tmp, "run.R"), "w") as f:
            f.write(R_SCRIPT)
        out = subprocess.run(["Rscript", os.path.join(tmp, "run.R"), os.path.join(tmp, "tr.csv"),
                              os.path.join(tmp, "te.csv"), "1" if classify else "0", str(trees)],
                             capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), np.array([float(v) for v in out[1:]])


def available():
    peers = {"tarnwood": run_tarnwood, "sklearn": run_sklearn}
    try:
        import ydf  # noqa: F401
        peers["ydf"] = run_ydf
    except ImportError:
        print("ydf not installed: skipped (pip install ydf)")
    if shutil.which("Rscript") and subprocess.run(
            ["Rscript", "-e", "library(ranger)"], capture_output=True).returncode == 0:
        peers["ranger"] = run_ranger
    else:
        print("ranger not available: skipped (apt-get install r-cran-ranger)")
    return peers


def run_one(name, peer, trees):
    """One peer on one data set, in this process: prints fit seconds and score."""
    x, y, n, classify = make(name)
    if peer.startswith("tw") and peer[2:].isdigit():
        elapsed, pred = run_tarnwood(x[:n], y[:n], x[n:], classify, trees, int(peer[2:]))
        print("RESULT", elapsed, score(y[n:], pred, classify))
        return
    run = {"tarnwood": run_tarnwood, "sklearn": run_sklearn, "ydf": run_ydf,
           "ranger": run_ranger}[peer]
    elapsed, pred = run(x[:n], y[:n], x[n:], classify, trees)
    print("RESULT", elapsed, score(y[n:], pred, classify))


def main():
    import sys
    ap = argparse.ArgumentParser()
    ap.add_argument("--sets", default="reg100k,reg43k,multi26,multi10,bin100k")
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--repeats", type=int, default=1)
    ap.add_argument("--peers", default=None, help="comma-separated subset of the peers")
    ap.add_argument("--max-bins", type=int, default=None,
                    help="also run tarnwood with this max_bins (peer twN)")
    ap.add_argument("--one", nargs=2, metavar=("SET", "PEER"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        run_one(args.one[0], args.one[1], args.trees)
        return
    peers = available()
    if args.max_bins:
        peers[f"tw{args.max_bins}"] = None
    if args.peers:
        peers = {k: v for k, v in peers.items()
                 if k in args.peers.split(",") or k == f"tw{args.max_bins}"}
    print(f"{'data':9} {'peer':9} {'fit s':>8} {'ratio':>7} {'score':>7}")
    for name in args.sets.split(","):
        # The repeats go round the peers in turn, so that a slow phase of
        # the machine falls on every peer alike rather than on one of them.
        runs = {peer: [] for peer in peers}
        failed = {}
        for _ in range(max(1, args.repeats)):
            for peer in peers:
                if peer in failed:
                    continue
                # A fresh process per fit: no library's threads or settings
                # left behind by another one.
                out = subprocess.run([sys.executable, __file__, "--one", name, peer,
                                      "--trees", str(args.trees)], capture_output=True, text=True)
                lines = [l for l in out.stdout.splitlines() if l.startswith("RESULT")]
                if out.returncode != 0 or not lines:
                    failed[peer] = (out.stderr.strip().splitlines() or ["?"])[-1]
                    continue
                runs[peer].append(tuple(float(v) for v in lines[-1].split()[1:]))
        base = None
        for peer in peers:
            if not runs[peer]:
                print(f"{name:9} {peer:9} failed: {failed.get(peer, '?')}")
                continue
            elapsed, value = min(runs[peer])
            base = elapsed if peer == "tarnwood" else base
            ratio = elapsed / base if base else float("nan")
            print(f"{name:9} {peer:9} {elapsed:8.2f} {ratio:7.2f} {value:7.4f}", flush=True)

if __name__ == "__main__":
    main()
