"""TreeSHAP: exact Shapley values of a fitted DecisionTree."""
import subprocess

import numpy as np
import pytest

import _rs



def fitted(x, y, task="classification", **kw):
    t = _rs.DecisionTree(task=task, random_state=0, **kw)
    t.fit(x, y)
    return t


def efficiency_gap(phi, pred, base):
    """Largest |sum of values - (v(all) - v(none))| over rows and outputs."""
    return float(np.max(np.abs(phi.sum(axis=2) - (pred - base))))


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    x = rng.random((300, 6))
    y_reg = 3.0 * x[:, 0] - 2.0 * (x[:, 1] > 0.5) + x[:, 2] * x[:, 3] + 0.1 * rng.random(300)
    y_cls = (x[:, 0] + x[:, 1] > 1.0).astype(float) + (x[:, 2] > 0.6)
    return x, y_reg, y_cls


# With the training rows as background, every split weights its subtrees by
# the training counts, so v(no features) is the mean prediction over x_train
# and v(all features) is the prediction itself.


def test_classification_shapes_and_efficiency(data):
    x, _, y = data
    tree = fitted(x, y, max_depth=5)
    ex = _rs.TreeSHAP(tree, x, "classification")
    phi = np.array(ex.explain(x[:40]))
    assert phi.shape == (40, 3, 6)
    proba = np.array(tree.predict_proba(x))
    assert efficiency_gap(phi, proba[:40], proba.mean(axis=0)) < 1e-12


def test_regression_shapes_and_efficiency(data):
    x, y, _ = data
    tree = fitted(x, y, task="regression", max_depth=4)
    for model_type in ("regression", "anything else", "Classification"):
        out = _rs.TreeSHAP(tree, x, model_type).explain(x[:25])
        assert isinstance(out, list) and isinstance(out[0][0][0], float)
        phi = np.array(out)
        assert phi.shape == (25, 1, 6)
        pred = np.array(tree.predict(x))
        assert efficiency_gap(phi, pred[:25, None], pred.mean()) < 1e-12


def test_deep_tree_with_many_features(data):
    # Unlimited depth on noisy targets: far more distinct split features than
    # enumeration can afford; the values must still add up exactly.
    rng = np.random.default_rng(3)
    x = rng.random((1500, 30))
    y = x[:, 0] + rng.normal(size=1500)
    tree = fitted(x, y, task="regression")
    assert tree.get_depth() > 12
    ex = _rs.TreeSHAP(tree, x, "regression")
    phi = np.array(ex.explain(x[:30]))
    pred = np.array(tree.predict(x))
    assert np.count_nonzero(phi[0, 0]) > 12
    assert efficiency_gap(phi, pred[:30, None], pred.mean()) < 1e-9 * np.abs(pred).max()


def test_classification_output_rules(data):
    x, y_reg, _ = data
    # Labels 0 and 2: two outputs (class indices 0 and 1); class 2 falls beyond
    # them, so output 1 is all zeros and output 0 is the only informative one.
    y = np.where(x[:, 0] > 0.5, 2.0, 0.0)
    tree = fitted(x, y, max_depth=3)
    assert tree.classes_ == [0, 2]
    phi = np.array(_rs.TreeSHAP(tree, x, "classification").explain(x[:10]))
    assert phi.shape == (10, 2, 6)
    assert np.all(phi[:, 1] == 0.0)
    assert np.any(phi[:, 0] != 0.0)
    # A regression tree explained as classification: no class weights, two
    # outputs, all zero.
    reg = fitted(x, y_reg, task="regression", max_depth=3)
    phi = np.array(_rs.TreeSHAP(reg, x, "classification").explain(x[:5]))
    assert phi.shape == (5, 2, 6) and np.all(phi == 0.0)


def test_trivial_inputs(data):
    x, y, _ = data
    # A single leaf: all zeros; zero rows: an empty list.
    leaf = fitted(x, np.ones(len(x)), max_depth=3)
    assert leaf.get_n_leaves() == 1
    assert np.all(np.array(_rs.TreeSHAP(leaf, x, "classification").explain(x[:3])) == 0.0)
    tree = fitted(x, y, task="regression", max_depth=3)
    ex = _rs.TreeSHAP(tree, x, "regression")
    assert ex.explain(np.empty((0, 6))) == []
    # An empty background gives zero weights everywhere but still explains.
    phi = np.array(_rs.TreeSHAP(tree, np.empty((0, 6)), "regression").explain(x[:2]))
    assert phi.shape == (2, 1, 6) and np.all(np.isfinite(phi))


def test_unused_and_extra_columns_are_zero(data):
    x, _, _ = data
    y = 2.0 * x[:, 1] + (x[:, 3] > 0.4)
    tree = fitted(x[:, :4], y, task="regression", max_depth=4)
    wide = np.hstack([x[:, :4], np.ones((len(x), 3))])
    phi = np.array(_rs.TreeSHAP(tree, wide, "regression").explain(wide[:20]))
    assert phi.shape == (20, 1, 7)
    assert np.all(phi[:, 0, [0, 2, 4, 5, 6]] == 0.0)
    assert np.all(np.abs(phi[:, 0, 1]) + np.abs(phi[:, 0, 3]) > 0.0)


def test_nan_routes_right_and_background_size_matters(data):
    x, y, _ = data
    tree = fitted(x, y, task="regression", max_depth=4)
    pred = np.array(tree.predict(x))
    base = pred.mean()
    rows = x[:10].copy()
    rows[:, :3] = np.nan
    phi = np.array(_rs.TreeSHAP(tree, x, "regression").explain(rows))
    assert efficiency_gap(phi, np.array(tree.predict(rows))[:, None], base) < 1e-12
    # A different background changes the weights and therefore the values.
    half = np.array(_rs.TreeSHAP(tree, x[:100], "regression").explain(x[:10]))
    full = np.array(_rs.TreeSHAP(tree, x, "regression").explain(x[:10]))
    assert not np.array_equal(half, full)


def test_explainer_keeps_its_own_copy(data):
    x, y, _ = data
    tree = fitted(x, y, task="regression", max_depth=4)
    background = x.copy()
    ex = _rs.TreeSHAP(tree, background, "regression")
    before = ex.explain(x[:15])
    tree.fit(x[:, ::-1].copy(), -y)  # refit the source tree
    background[:] = 0.0  # and overwrite the background array
    assert ex.explain(x[:15]) == before


def test_any_array_layout_is_read_correctly(data):
    x, y, _ = data
    tree = fitted(x, y, task="regression", max_depth=5)
    ex = _rs.TreeSHAP(tree, x, "regression")
    expected = ex.explain(x[:20])
    for layout in (np.asfortranarray(x), np.repeat(x, 2, axis=1)[:, ::2], x[::-1][::-1]):
        assert _rs.TreeSHAP(tree, layout, "regression").explain(layout[:20]) == expected


def test_invalid_arguments(data):
    x, y, _ = data
    tree = fitted(x, y, task="regression", max_depth=4)
    with pytest.raises(ValueError, match="Tree must be fitted before creating TreeSHAP"):
        _rs.TreeSHAP(_rs.DecisionTree(), x, "regression")
    with pytest.raises(TypeError, match="argument 'tree'"):
        _rs.TreeSHAP(object(), x, "regression")
    with pytest.raises(TypeError, match="argument 'x_train'"):
        _rs.TreeSHAP(tree, x[0], "regression")
    with pytest.raises(TypeError, match="argument 'model_type'"):
        _rs.TreeSHAP(tree, x, 1)
    with pytest.raises(TypeError):
        _rs.TreeSHAP(tree, x)
    ex = _rs.TreeSHAP(tree=tree, x_train=x, model_type="regression")
    with pytest.raises(TypeError, match="argument 'x'"):
        ex.explain(x.astype(np.float32))
    # Columns the tree splits on must exist in both matrices.
    used = max(i for i in range(6) if np.any(np.array(ex.explain(x[:50]))[:, 0, i] != 0.0))
    with pytest.raises(ValueError, match="x_train"):
        _rs.TreeSHAP(tree, x[:, :used], "regression")
    with pytest.raises(ValueError, match="x has"):
        ex.explain(x[:5, :used])
    assert np.array(ex.explain(x[:5, : used + 1])).shape == (5, 1, 6)


# The core on hand-built trees (random structure, features repeated along
# paths, zero n_samples, backgrounds smaller and larger than the training
# sample, NaN): the enumeration matches a plain reference bit for bit, the path
# algorithm matches the enumeration, and deep or wide trees stay exact.


@pytest.fixture(scope="module")
def checker(cpp_exe):
    exe = cpp_exe("tree_shap_check")
    return exe


def run_check(exe, *args):
    res = subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


@pytest.mark.parametrize("seed", [1, 2])
def test_path_algorithm_agrees_with_enumeration(checker, seed):
    out = run_check(checker, "agree", seed, 150)
    fields = dict(kv.split("=") for kv in out.split()[1:])
    assert int(fields["compared"]) > 500 and int(fields["repeated"]) > 100
    assert float(fields["worst"]) < 1e-12


def test_deep_and_wide_trees(checker):
    assert "ok" in run_check(checker, "deep", 20000)
    assert "ok" in run_check(checker, "wide")
