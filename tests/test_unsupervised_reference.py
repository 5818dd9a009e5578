"""The unsupervised forest's fast paths against plain pair-by-pair versions.

A small C++ driver (tests/cpp/unsupervised_driver.cpp) links the engine,
replays the fit plan, and recomputes every analysis with the straightforward
algorithms (leaf codes by path numbering, n x n counter tables, hash-ordered
leaf groups, dense matrix products). Results must agree bit for bit.
"""
import json
import pathlib
import subprocess

import numpy as np
import pytest


VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "rng_vectors.json"


@pytest.fixture(scope="module")
def driver(cpp_exe):
    return cpp_exe("unsupervised_driver")


def run_check(driver, x, seed, trees, max_features="-", min_leaf=1, k=3):
    text = f"{x.shape[0]} {x.shape[1]}\n" + "\n".join(
        " ".join(repr(float(v)) for v in row) for row in x
    )
    res = subprocess.run(
        [str(driver), "check", str(seed), str(trees), max_features, str(min_leaf), str(k)],
        input=text, capture_output=True, text=True, check=True,
    )
    lines = res.stdout.split("\n")
    return [line for line in lines if line]


def test_plan_matches_reference_vectors(driver):
    case = json.loads(VECTORS.read_text())["unsupervised_plan"]
    res = subprocess.run(
        [str(driver), "plan", str(case["seed"]), str(case["n_rows"]), str(case["n_features"]),
         str(case["n_trees"])],
        capture_output=True, text=True, check=True,
    )
    plan = json.loads(res.stdout)
    assert plan["column_permutations"] == case["column_permutations"]
    assert len(plan["trees"]) == len(case["trees"])
    for got, want in zip(plan["trees"], case["trees"]):
        assert got["bootstrap_indices"] == want["bootstrap_indices"]
        assert got["oob_rows"] == want["oob_rows"]
        assert got["tree_seed"] == want["tree_seed"]
    assert plan["next_u64_after_plan"] == str(case["next_u64_after_plan"])


ANALYSES = [
    "proximity_oob", "proximity_all", "sparse", "predict_proximity", "outlier_scores",
    "predict_outlier_scores", "transform", "feature_importances",
]


def blobs(seed, n, p):
    r = np.random.default_rng(seed)
    half = n // 2
    return np.vstack([r.normal(0, 1, (half, p)), r.normal(4, 1, (n - half, p))])


@pytest.mark.parametrize(
    "seed,trees,max_features,min_leaf,k",
    [
        (7, 40, "-", 1, 4),      # full feature set, pruning of sparse lists
        (8, 25, "sqrt", 2, 1),   # feature subsampling, tiny K
        (9, 60, "0.5", 1, 100),  # K above n - 1
    ],
)
def test_fast_paths_equal_pairwise_reference(driver, seed, trees, max_features, min_leaf, k):
    x = blobs(seed, 60, 4)
    x[:, 3] = np.round(x[:, 3])  # heavy ties: large leaf groups
    x[5] = x[6]                  # duplicate rows always share leaves
    assert run_check(driver, x, seed, trees, max_features, min_leaf, k) == [
        "ok " + name for name in ANALYSES
    ]


def test_reference_with_constant_column_and_few_rows(driver):
    # A constant column is never split; with 3 rows many trees have no
    # out-of-bag rows at all, and leaf groups are mostly the whole data.
    x = np.array([[1.0, 5.0], [2.0, 5.0], [2.0, 5.0]])
    assert run_check(driver, x, 3, 30, k=0) == ["ok " + name for name in ANALYSES]


def test_reference_with_shallow_trees(driver):
    # min_samples_leaf large: a few big leaves, so pairs meet in most trees.
    x = blobs(11, 80, 3)
    assert run_check(driver, x, 11, 20, "-", 15, 5) == ["ok " + name for name in ANALYSES]
