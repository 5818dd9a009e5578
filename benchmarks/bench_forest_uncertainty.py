"""Quantile regression forests and out-of-bag intervals of ForestRegressor.

Data: y = 10 sin(pi x0 x1) + 20 (x2 - 0.5)^2 + 10 x3 + 5 x4 + (0.5 + 2 x5) e
(Friedman's first function with noise growing along x5), x uniform on
[0, 1]^10, e standard normal; --rows training rows and --test held-out
rows, seed 0. --trees trees, max_features=1.0, n_jobs=2 everywhere.
Reports (best of --repeats calls each):

  1. model size: the pickled forest, which keeps every tree's training rows
     grouped by leaf, against the same forest without them (the state an
     earlier release saved; target: at most 2x at 100k rows);
  2. fit time against the `_rs` forest of the same settings, which grows the
     same trees without any bookkeeping;
  3. predict_quantiles time for 3 and 99 levels against predict, and the
     mean quantile (pinball) loss on the held-out rows;
  4. predict_interval (jackknife+ and quantile) at alpha 0.1: time, held-out
     coverage and mean width;
  5. optional peers (imported lazily, skipped when missing):
     quantile-forest's RandomForestQuantileRegressor with the same data and
     tree count (fit and predict time, model size, loss), and MAPIE's
     jackknife+-after-bootstrap around scikit-learn's forest on the first
     --peer-rows rows (coverage and width; it refits its own resamples).

    python benchmarks/bench_forest_uncertainty.py [--rows 100000] [--test 2000]
        [--trees 100] [--repeats 2] [--peer-rows 5000]
"""
import argparse
import pickle
import time
import zlib

import numpy as np

from bench_forest_extras import best


def data(rows, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(rows, 10))
    y = (10 * np.sin(np.pi * X[:, 0] * X[:, 1]) + 20 * (X[:, 2] - 0.5) ** 2 + 10 * X[:, 3]
         + 5 * X[:, 4] + (0.5 + 2 * X[:, 5]) * rng.normal(size=rows))
    return X, y


def pinball(y, q, levels):
    diff = y[:, None] - q
    return float(np.mean(np.maximum(levels * diff, (levels - 1) * diff)))


def plain_state_bytes(model, n, weighted=False):
    """Bytes of the model's state without its leaf samples (a version-2 state:
    settings, trees and fit record)."""
    state = model.__getstate__()
    tail = 8 + 8 * n + 8 + (8 * n if weighted else 0) + 8 + 4 * n + 8
    for t in range(model.n_estimators):
        nodes = model.tree_arrays(t)["children_left"].size
        sample = model.sample_indices(t)
        tail += 8 + 4 * (nodes + 1) + 8 + 4 * (sample.size + n - np.unique(sample).size)
    body = bytearray(state[:-4 - tail])
    at = 4 + 8 + len("RandomForestRegressor")
    body[at:at + 4] = (2).to_bytes(4, "little")
    body += zlib.crc32(bytes(body)).to_bytes(4, "little")
    check = type(model).__new__(type(model))
    check.__setstate__(bytes(body))  # loads: the stripped state is well formed
    assert not check.has_leaf_samples
    return len(body)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--test", type=int, default=2000)
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--peer-rows", type=int, default=5000)
    a = ap.parse_args()

    import _rs
    import tarnwood

    X_all, y_all = data(a.rows + a.test)
    X, y, X_new, y_new = X_all[:a.rows], y_all[:a.rows], X_all[a.rows:], y_all[a.rows:]
    print(f"rows {a.rows}, test rows {a.test}, trees {a.trees}, 10 features, n_jobs=2")

    make = lambda: tarnwood.ForestRegressor(n_estimators=a.trees, random_state=0, n_jobs=2)
    t_fit, forest = best(lambda: make().fit(X, y), a.repeats)
    plain = _rs.RandomForestRegressor(n_estimators=a.trees, random_state=0)
    t_plain, _ = best(lambda: plain.fit(X, y), a.repeats)
    same = np.array_equal(plain.predict(X_new[:200]), forest.predict(X_new[:200]))
    print(f"fit: {t_fit:.2f} s with leaf samples, {t_plain:.2f} s for the _rs forest "
          f"(ratio {t_fit / t_plain:.2f}; same trees: {same})")

    size = len(pickle.dumps(forest))
    bare = plain_state_bytes(forest.model_, a.rows)
    print(f"model size: {size / 1e6:.1f} MB pickled; {bare / 1e6:.1f} MB without leaf samples "
          f"(ratio {size / bare:.2f}, target <= 2); "
          f"{len(plain.__getstate__()) / 1e6:.1f} MB for the _rs forest")

    levels3 = np.array([0.05, 0.5, 0.95])
    levels99 = np.linspace(0.01, 0.99, 99)
    t_pred, _ = best(lambda: forest.predict(X_new), a.repeats)
    t_q3, q3 = best(lambda: forest.predict_quantiles(X_new, levels3), a.repeats)
    t_q99, q99 = best(lambda: forest.predict_quantiles(X_new, levels99), a.repeats)
    print(f"predict: {t_pred * 1e3:.1f} ms; predict_quantiles 3 levels {t_q3 * 1e3:.1f} ms, "
          f"99 levels {t_q99 * 1e3:.1f} ms ({a.test} rows)")
    print(f"pinball loss: 3 levels {pinball(y_new, q3, levels3):.4f}, "
          f"99 levels {pinball(y_new, q99, levels99):.4f}")

    for method in ("jackknife+", "quantile"):
        t_iv, iv = best(lambda: forest.predict_interval(X_new, alpha=0.1, method=method), a.repeats)
        cover = np.mean((iv[:, 0] <= y_new) & (y_new <= iv[:, 1]))
        print(f"predict_interval {method}: {t_iv:.2f} s, coverage {cover:.3f} (target 0.9), "
              f"mean width {np.mean(iv[:, 1] - iv[:, 0]):.3f}")

    try:
        from quantile_forest import RandomForestQuantileRegressor
    except ImportError:
        print("quantile-forest not installed: peer skipped")
    else:
        qrf = lambda: RandomForestQuantileRegressor(n_estimators=a.trees, max_features=1.0,
                                                    random_state=0, n_jobs=2)
        t_qfit, peer = best(lambda: qrf().fit(X, y), 1)
        t_p3, p3 = best(lambda: peer.predict(X_new, quantiles=list(levels3)), 1)
        t_p99, p99 = best(lambda: peer.predict(X_new, quantiles=list(levels99)), 1)
        psize = len(pickle.dumps(peer))
        print(f"quantile-forest: fit {t_qfit:.2f} s (ours {t_fit:.2f} s, {t_qfit / t_fit:.1f}x); "
              f"predict 3 levels {t_p3 * 1e3:.0f} ms (ours {t_q3 * 1e3:.0f} ms, "
              f"{t_p3 / t_q3:.1f}x), 99 levels {t_p99 * 1e3:.0f} ms "
              f"({t_p99 / t_q99:.1f}x); size {psize / 1e6:.1f} MB ({psize / size:.1f}x ours); "
              f"pinball 3 levels {pinball(y_new, p3, levels3):.4f}, "
              f"99 levels {pinball(y_new, p99, levels99):.4f}")

    try:
        from mapie.regression import JackknifeAfterBootstrapRegressor
        from sklearn.ensemble import RandomForestRegressor
    except ImportError:
        print("MAPIE not installed: peer skipped")
    else:
        n = min(a.peer_rows, a.rows)
        ours = make().fit(X[:n], y[:n])
        t_ours, iv = best(lambda: ours.predict_interval(X_new, alpha=0.1), 1)
        cover = np.mean((iv[:, 0] <= y_new) & (y_new <= iv[:, 1]))
        width = np.mean(iv[:, 1] - iv[:, 0])
        mapie = JackknifeAfterBootstrapRegressor(
            RandomForestRegressor(n_estimators=1, max_features=1.0, n_jobs=1),
            confidence_level=0.9, resampling=a.trees, method="plus", random_state=0, n_jobs=2)
        t0 = time.perf_counter()
        mapie.fit_conformalize(X[:n], y[:n])
        _, miv = mapie.predict_interval(X_new)
        t_m = time.perf_counter() - t0
        miv = miv[:, :, 0]
        mcover = np.mean((miv[:, 0] <= y_new) & (y_new <= miv[:, 1]))
        print(f"jackknife+ on {n} rows: ours coverage {cover:.3f}, width {width:.3f}, "
              f"{t_ours:.2f} s to predict; MAPIE (forest of {a.trees} one-tree bootstraps) "
              f"coverage {mcover:.3f}, width {np.mean(miv[:, 1] - miv[:, 0]):.3f}, "
              f"{t_m:.1f} s to fit and predict")


if __name__ == "__main__":
    main()
