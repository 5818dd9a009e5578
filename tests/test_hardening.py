"""Regression tests for faults found by the robustness suite and the
sanitizer runs: each input here once crashed the interpreter, read out of
range or allocated without bound."""
import numpy as np
import pytest

import _rs

X = np.random.default_rng(11).normal(size=(30, 3))


def needs(name):
    if not hasattr(_rs, name):
        pytest.skip(f"{name} is not registered")
    return getattr(_rs, name)


def test_embedding_size_that_wraps_around_is_refused():
    cls = needs("RandomForestUnsupervised")
    u = cls(n_estimators=4, random_state=0)
    u.fit(X)
    # 30 * 2**63 wraps to 0 in 64 bits; the table used to be allocated empty
    # and then written past its end.
    for k in (2**63, 2**64 - 1, 2**62 + 1):
        with pytest.raises(ValueError, match="n_components"):
            u.transform(k)
        with pytest.raises(ValueError, match="n_components"):
            u.fit_transform(X, k)
    # The object still works.
    assert len(u.transform(2)) == 30


def test_zero_width_matrix_with_huge_row_count_is_answered_at_once():
    # np.empty((2**40, 0)) costs no memory; validation used to walk its 2**40
    # empty rows before comparing lengths, which hung the interpreter.
    z = np.empty((2**40, 0))
    y = np.zeros(4)
    makers = {
        "DecisionTree": lambda c: c(),
        "RandomForestRegressor": lambda c: c(n_estimators=2),
        "RandomForestClassifier": lambda c: c(n_estimators=2),
        "TarnwoodClassifier": lambda c: c(n_estimators=1, rf_n_estimators=1),
        "TarnwoodRegressor": lambda c: c(n_estimators=1, rf_n_estimators=1),
        "Tarnwood": lambda c: c(n_estimators=1, rf_n_estimators=1),
    }
    for name, make in makers.items():
        if not hasattr(_rs, name):
            continue
        with pytest.raises(ValueError):
            make(getattr(_rs, name)).fit(z, y)
    if hasattr(_rs, "RandomForestUnsupervised"):
        with pytest.raises(ValueError):
            _rs.RandomForestUnsupervised(n_estimators=2).fit(z)


def test_explainer_of_a_single_leaf_does_not_walk_a_zero_width_background():
    cls = needs("TreeSHAP")
    leaf = _rs.DecisionTree()
    leaf.fit(X[:, :0], np.zeros(len(X)))
    # The background covers used to be counted row by row even though a
    # single leaf has no split; 2**40 zero-width rows hung the constructor.
    s = cls(leaf, np.empty((2**40, 0)), "classification")
    assert s.explain(np.empty((2, 0))) == [[[]], [[]]]
