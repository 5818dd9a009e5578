"""Shapley values of whole ensembles: tarnwood's `explain` against shap's
TreeExplainer (path-dependent mode), on 10,000 x 20 regression data.

Cases:
  forest   a 100-tree forest of unlimited depth: tarnwood's ForestRegressor
           against shap on scikit-learn's RandomForestRegressor with the same
           settings and data (every feature per split, bootstrap samples),
           and against shap on tarnwood's own trees (identical models: the
           trees handed to shap as node arrays, `explained_trees()`), where
           the values must agree.
  boosted  a depth-8 boosted ensemble (BoostedRegressor, rounds x trees per
           round), against shap on the identical trees.

Times are wall-clock seconds of explaining `--rows` rows, the best of
`--repeat` runs; tarnwood runs on 1 and on 2 threads, shap on one (its tree
explainer has no threads). Run under an exclusive lock on a shared machine:

    PYTHONPATH=build:python flock -x /tmp/tw-cpu.lock \\
        python benchmarks/bench_shap_ensembles.py [--rows 1000] [--repeat 2] [--cases forest,boosted]

Needs shap and scikit-learn (`pip install shap`; optional, never a
dependency of the package).
"""
import argparse
import time

import numpy as np


def best_time(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def shap_model(estimator):
    """The estimator's trees as a model shap's TreeExplainer accepts."""
    trees, offset = estimator.model_.explained_trees()
    return {
        "trees": trees,
        "base_offset": float(offset[0]),
        "tree_output": "raw_value",
        "objective": "squared_error",
        "input_dtype": np.float64,
        "internal_dtype": np.float64,
    }


def data(n=10_000, p=20, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = (np.sin(x[:, 0]) + x[:, 1] * x[:, 2] + (x[:, 3] > 0) * x[:, 4]
         + 0.5 * x[:, 5:10].sum(axis=1) + rng.normal(scale=0.5, size=n))
    return x, y


def report(name, ours1, ours2, peer, peer_label):
    print(f"{name:<34} tarnwood 1 thread {ours1:8.2f}s  2 threads {ours2:8.2f}s | "
          f"{peer_label} {peer:8.2f}s | ratio {peer / ours1:6.1f}x (1 thread) "
          f"{peer / ours2:6.1f}x (2 threads)", flush=True)


def explain_both(est, xe, repeat):
    def run(threads):
        est.set_params(n_jobs=threads)
        return best_time(lambda: est.explain(xe, return_expected_value=True), repeat)

    t1, (v1, e1) = run(1)
    t2, (v2, e2) = run(2)
    assert np.array_equal(v1, v2) and np.array_equal(e1, e2), "thread counts disagree"
    return t1, t2, v1, e1


def compare_identical(label, est, xe, ours, expected, t1, t2, repeat):
    import shap

    explainer = shap.TreeExplainer(shap_model(est), feature_perturbation="tree_path_dependent")
    ts, theirs = best_time(lambda: explainer.shap_values(xe, check_additivity=False), 1)
    theirs = np.asarray(theirs).reshape(ours.shape)
    diff = float(np.max(np.abs(theirs - ours)))
    scale = float(np.max(np.abs(ours)))
    report(label, t1, t2, ts, "shap (same trees)")
    print(f"{'':<34} max |ours - shap| = {diff:.3g} (values up to {scale:.3g}); "
          f"expected values {expected[0]:.12g} vs {float(np.ravel(explainer.expected_value)[0]):.12g}",
          flush=True)
    return diff, scale


def forest_case(x, y, xe, repeat):
    import shap
    from sklearn.ensemble import RandomForestRegressor

    import tarnwood

    ours = tarnwood.ForestRegressor(n_estimators=100, random_state=0).fit(x, y)
    t1, t2, values, expected = explain_both(ours, xe, repeat)
    sk = RandomForestRegressor(n_estimators=100, max_features=1.0, random_state=0, n_jobs=2)
    sk.fit(x, y)
    sk_explainer = shap.TreeExplainer(sk, feature_perturbation="tree_path_dependent")
    ts, _ = best_time(lambda: sk_explainer.shap_values(xe, check_additivity=False), 1)
    nodes_ours = np.mean([t.node_count for t in ours.trees_])
    nodes_sk = np.mean([e.tree_.node_count for e in sk.estimators_])
    print(f"forest: 100 trees, unlimited depth; mean nodes per tree: tarnwood {nodes_ours:.0f}, "
          f"scikit-learn {nodes_sk:.0f}", flush=True)
    report("forest vs shap on scikit-learn", t1, t2, ts, "shap (sklearn forest)")
    compare_identical("forest vs shap on the same trees", ours, xe, values, expected, t1, t2,
                      repeat)


def boosted_case(x, y, xe, repeat, rounds=20, trees=10):
    import tarnwood

    est = tarnwood.BoostedRegressor(n_estimators=rounds, rf_n_estimators=trees, rf_max_depth=8,
                                    random_state=0).fit(x, y)
    n_trees = int(np.sum(est.trees_used_))
    print(f"boosted: {rounds} rounds x {trees} trees of depth 8 ({n_trees} trees kept)", flush=True)
    t1, t2, values, expected = explain_both(est, xe, repeat)
    compare_identical("boosted vs shap on the same trees", est, xe, values, expected, t1, t2,
                      repeat)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--cases", default="forest,boosted")
    args = ap.parse_args()
    x, y = data()
    xe = x[: args.rows]
    print(f"explaining {args.rows} rows of {x.shape[0]} x {x.shape[1]} data", flush=True)
    cases = args.cases.split(",")
    if "forest" in cases:
        forest_case(x, y, xe, args.repeat)
    if "boosted" in cases:
        boosted_case(x, y, xe, args.repeat)


if __name__ == "__main__":
    main()
