"""TreeSHAP speed: 1,000 explained rows for regression trees of depth 4, 8, 12
and unlimited, fitted on 10,000 rows x 30 features.

Reports per-row times of
  - TreeSHAP.explain from Python (enumeration up to 10 distinct split
    features, the path algorithm above),
  - the core's enumeration and path algorithm forced on the same tree
    (a small C++ timer compiled on the fly; enumeration on as many rows as fit
    a time budget, skipped where 2^M walks are out of reach),
  - the shap package's TreeExplainer in path-dependent mode on the same tree
    converted to its custom-tree format (optional: `pip install shap`), with
    the largest difference of the values (x_train is the training data, so
    the two value functions coincide).

Times are CPU time of this process (the machine may be shared).

Whole forests and boosted ensembles: benchmarks/bench_shap_ensembles.py.

Run: PYTHONPATH=build python benchmarks/bench_shap.py [--rows 1000] [--budget 3] [--depths 4,8,12,none]
"""
import argparse
import shutil
import struct
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import _rs

ROOT = Path(__file__).resolve().parents[1]


def read_tree(state: bytes):
    """Node arrays of a DecisionTree from its saved state (pickle bytes)."""
    pos = 0

    def take(fmt):
        nonlocal pos
        vals = struct.unpack_from("<" + fmt, state, pos)
        pos += struct.calcsize("<" + fmt)
        return vals

    def text():
        (n,) = take("Q")
        nonlocal pos
        pos += n

    def opt_u64():
        (flag,) = take("B")
        if flag:
            take("Q")

    assert state[:4] == b"TWST"
    pos = 4
    text()  # class tag
    take("I")  # version
    opt_u64()  # max_depth
    opt_u64()  # random_state
    text()  # criterion
    text()  # task
    take("QQ")  # min_samples_split, min_samples_leaf
    (has_classes,) = take("B")
    if has_classes:
        (n,) = take("Q")
        pos += 8 * n
    (has_tree,) = take("B")
    assert has_tree
    take("Q")  # n_features_used
    (n_nodes,) = take("Q")
    node = np.dtype(
        [("threshold", "<f8"), ("value", "<f8"), ("feature", "<u8"), ("n_samples", "<u8"),
         ("left", "<u4"), ("right", "<u4"), ("cw_begin", "<u4"), ("cw_count", "<u4"),
         ("has_cw", "u1")]
    )
    assert node.itemsize == 49
    return np.frombuffer(state, dtype=node, count=n_nodes, offset=pos)


def shap_model(nodes):
    leaf = nodes["left"] == 0
    left = np.where(leaf, -1, nodes["left"].astype(np.int64))
    right = np.where(leaf, -1, nodes["right"].astype(np.int64))
    return {
        "trees": [{
            "children_left": left,
            "children_right": right,
            "children_default": right,  # NaN goes right
            "features": np.where(leaf, -2, nodes["feature"].astype(np.int64)),
            "thresholds": nodes["threshold"].astype(np.float64),
            "values": nodes["value"].reshape(-1, 1).astype(np.float64),
            "node_sample_weight": nodes["n_samples"].astype(np.float64),
        }]
    }


def build_timer(tmp: Path):
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        return None
    sources = [p for area in ("tree", "decision_tree", "tree_shap")
               for p in sorted((ROOT / "src" / area).glob("*.cpp"))]
    exe = tmp / "bench_shap_core"
    subprocess.run(
        [cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-fopenmp", "-I", str(ROOT / "src"),
         *map(str, sources), str(ROOT / "benchmarks/bench_shap_core.cpp"), "-o", str(exe)],
        check=True,
    )
    return exe


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000)
    ap.add_argument("--budget", type=float, default=3.0, help="seconds of enumeration per tree")
    ap.add_argument("--depths", default="4,8,12,none", help="comma list; none = unlimited")
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    n, p = 10_000, 30
    x = rng.normal(size=(n, p))
    y = (np.sin(x[:, 0]) + x[:, 1] * x[:, 2] + (x[:, 3] > 0) * x[:, 4]
         + 0.5 * x[:, 5:10].sum(axis=1) + rng.normal(scale=0.5, size=n))
    xe = x[: args.rows]

    try:
        import shap  # noqa: F401
    except ImportError:
        shap = None

    tmp = Path(tempfile.mkdtemp(prefix="bench_shap_"))
    print("compiling the core timer ...", flush=True)
    timer = build_timer(tmp)
    (tmp / "x.bin").write_bytes(np.ascontiguousarray(x).tobytes())

    header = (f"{'depth':>9} {'nodes':>6} {'M':>3} | {'explain':>10} {'path':>10} "
              f"{'enum':>12} | {'shap':>10} {'shap/ours':>9} {'max|diff|':>9}")
    print(header)
    print("-" * len(header))
    depths = [None if d == "none" else int(d) for d in args.depths.split(",")]
    for depth in depths:
        tree = _rs.DecisionTree(task="regression", max_depth=depth, random_state=0)
        tree.fit(x, y)
        nodes = read_tree(tree.__getstate__())
        ex = _rs.TreeSHAP(tree, x, "regression")

        t0 = time.process_time()
        ours = np.array(ex.explain(xe))[:, 0, :]
        t_explain = (time.process_time() - t0) / args.rows * 1e6

        m = len({int(f) for f, l in zip(nodes["feature"], nodes["left"]) if l != 0})
        path_us = enum_us = float("nan")
        enum_note = ""
        if timer is not None:
            (tmp / "state.bin").write_bytes(tree.__getstate__())
            out = subprocess.run(
                [str(timer), str(tmp / "state.bin"), str(tmp / "x.bin"), str(n), str(p),
                 str(args.rows), str(args.budget)],
                check=True, capture_output=True, text=True,
            ).stdout
            f = dict(kv.split("=") for kv in out.split())
            path_us, enum_us = float(f["path_us"]), float(f["enum_us"])
            if enum_us == enum_us:
                enum_note = f"{enum_us:10.1f}/{f['enum_rows']}"
                assert float(f["enum_vs_path"]) <= 1e-12 * max(1.0, np.abs(y).max()), out
            else:
                enum_note = "infeasible"

        shap_us = float("nan")
        diff = float("nan")
        if shap is not None:
            explainer = shap.TreeExplainer(shap_model(nodes),
                                           feature_perturbation="tree_path_dependent")
            t0 = time.process_time()
            theirs = explainer.shap_values(xe, check_additivity=False)
            shap_us = (time.process_time() - t0) / args.rows * 1e6
            diff = float(np.max(np.abs(np.asarray(theirs).reshape(ours.shape) - ours)))

        label = "unlimited" if depth is None else str(depth)
        print(f"{label:>9} {len(nodes):>6} {m:>3} | {t_explain:8.1f}us {path_us:8.1f}us "
              f"{enum_note:>12} | {shap_us:8.1f}us {shap_us / t_explain:9.2f} {diff:9.2g}",
              flush=True)
    print("times per explained row; enum = forced enumeration per row / rows timed")
    shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
