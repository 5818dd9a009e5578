"""Accuracy of histogram forests against exact forests: does the binning
lose usable thresholds?

For each data set (held-out half, mean over --seeds seeds of the forests):
  - tarnwood's ForestRegressor / ForestClassifier (lossless bins, the default),
  - the same engine with the plain quantile edges the `_rs` classes use
    (lossless_bins=False),
  - scikit-learn's exact RandomForestRegressor / RandomForestClassifier,
all with 100 trees, unlimited depth, n_jobs=2 and the libraries' default
features per split (every feature for regression, sqrt(p) for classification).
Targets: regression R² within 0.05 points of scikit-learn's, accuracy within
0.2 points.

Data: friedman1 (4000 rows, continuous), diabetes (442 rows), "grid" (43,000
rows x 9 friedman-like features rounded to 300 levels each, so a few hundred
distinct values), "linear" (make_regression, 60,000 x 30, every value
distinct: the hardest case for 256 bins, whose largest nodes want thresholds
finer than 256 quantiles), four sets of 60,000 rows whose columns are
log-normal (loglinear: the target linear in their logs; lognormal: in the
values), heavy-tailed (t with 2 degrees of freedom) or of six shapes
(mixed), and a classification set (make_classification, 20,000 x 20).

--bins N adds a column: the lossless forest at max_bins=N (with its fit time),
showing what finer bins recover where 256 lose accuracy. --max-features sets
the features drawn per split for every forest (default: each library's own);
with "sqrt" the linear set shows the largest gap of the 256 bins.

    python benchmarks/bench_binning.py [--seeds 3] [--sets grid,linear] [--bins 4096]
                                       [--max-features sqrt]
"""
import argparse
import time

import numpy as np


def sets():
    from sklearn.datasets import (load_diabetes, make_classification, make_friedman1,
                                  make_regression)

    x, y = make_friedman1(n_samples=4000, noise=1.0, random_state=1)
    yield "friedman1 4000x10", x, y, False
    d = load_diabetes()
    yield "diabetes 442x10", d.data, d.target, False
    x, y = make_friedman1(n_samples=43000, n_features=9, noise=0.5, random_state=0)
    yield "grid 43000x9 (300 levels)", np.round(x * 300) / 300, y, False
    x, y = make_regression(n_samples=60000, n_features=30, n_informative=10, noise=10.0,
                           random_state=0)
    yield "linear 60000x30", x, y, False
    # Columns of skewed and heavy-tailed shapes, whose bins must serve both
    # a dense middle and long sparse ends.
    rng = np.random.default_rng(42)
    n, p = 60000, 10
    b = rng.normal(size=p)
    z = rng.normal(size=(n, p))
    yield "loglinear 60000x10", np.exp(z), z @ b + 0.5 * rng.normal(size=n), False
    x = np.exp(rng.normal(size=(n, p)))
    yield "lognormal 60000x10", x, x @ b + rng.normal(size=n), False
    x = rng.standard_t(2, size=(n, p))
    yield "heavy 60000x10", x, 3 * np.tanh(x) @ b + 0.3 * rng.normal(size=n), False
    x = np.column_stack([rng.normal(size=n), np.exp(rng.normal(size=n)), rng.exponential(size=n),
                         rng.standard_t(3, size=n), rng.uniform(size=n), rng.normal(size=n) ** 3])
    y = (x[:, 0] + np.log(x[:, 1]) + np.sqrt(x[:, 2]) + np.tanh(x[:, 3]) + 2 * x[:, 4]
         + np.cbrt(x[:, 5]) + 0.3 * rng.normal(size=n))
    yield "mixed 60000x6", x, y, False
    x, y = make_classification(n_samples=20000, n_features=20, n_informative=8, random_state=0)
    yield "classification 20000x20", x, y, True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=int, default=3)
    ap.add_argument("--sets", default="",
                    help="comma-separated first words of the set names (default: all)")
    ap.add_argument("--bins", type=int, default=0,
                    help="also fit the lossless forest at this max_bins")
    ap.add_argument("--max-features", default=None, choices=["sqrt", "log2"],
                    help="features drawn per split (default: each library's own)")
    args = ap.parse_args()
    # Every library keeps its own default unless --max-features is given.
    kw = {} if args.max_features is None else {"max_features": args.max_features}
    wanted = [w for w in args.sets.split(",") if w]

    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    from sklearn.metrics import accuracy_score, r2_score

    import tarnwood
    from tarnwood import _engine

    more = f"{'bins=' + str(args.bins):>11} {'gap':>6} {'fit s':>6} " if args.bins else ""
    print(f"{'data':<28} {'lossless':>9} {'plain':>9} {'sklearn':>9} {'gap pts':>8} "
          f"{more}{'fit s (ours/sk)':>16}")
    for name, x, y, classify in sets():
        if wanted and name.split()[0] not in wanted:
            continue
        rng = np.random.default_rng(0)
        order = rng.permutation(len(y))
        half = len(y) // 2
        tr, te = order[:half], order[half:]
        score = accuracy_score if classify else r2_score
        ours, plain, theirs, t_ours, t_theirs = [], [], [], 0.0, 0.0
        finer, t_finer = [], 0.0
        for seed in range(args.seeds):
            cls = tarnwood.ForestClassifier if classify else tarnwood.ForestRegressor
            t0 = time.perf_counter()
            m = cls(n_estimators=100, random_state=seed, n_jobs=2, **kw).fit(x[tr], y[tr])
            t_ours += time.perf_counter() - t0
            ours.append(score(y[te], m.predict(x[te])))
            if args.bins:
                t0 = time.perf_counter()
                m = cls(n_estimators=100, random_state=seed, n_jobs=2, max_bins=args.bins,
                        **kw).fit(x[tr], y[tr])
                t_finer += time.perf_counter() - t0
                finer.append(score(y[te], m.predict(x[te])))
            # The same fit with the plain edges, on the engine directly.
            e = (_engine.ForestClassifier if classify else _engine.ForestRegressor)(
                n_estimators=100, random_state=seed, **kw)
            if classify:
                e.fit(x[tr], y[tr].astype(float), n_jobs=2, lossless_bins=False)
                plain.append(score(y[te], np.argmax(e.predict_proba(x[te]), axis=1)))
            else:
                e.fit(x[tr], y[tr], n_jobs=2, lossless_bins=False)
                plain.append(score(y[te], e.predict(x[te])))
            sk = (RandomForestClassifier if classify else RandomForestRegressor)(
                n_estimators=100, random_state=seed, n_jobs=2, **kw)
            t0 = time.perf_counter()
            sk.fit(x[tr], y[tr])
            t_theirs += time.perf_counter() - t0
            theirs.append(score(y[te], sk.predict(x[te])))
        a, b, c = np.mean(ours), np.mean(plain), np.mean(theirs)
        if args.bins:
            d = np.mean(finer)
            more = f"{d:11.4f} {100 * (d - c):+6.2f} {t_finer / args.seeds:6.2f} "
        print(f"{name:<28} {a:9.4f} {b:9.4f} {c:9.4f} {100 * (a - c):+8.2f} "
              f"{more}{t_ours / args.seeds:7.2f}/{t_theirs / args.seeds:.2f}")


if __name__ == "__main__":
    main()
