"""RandomForestClassifier and RandomForestRegressor: surface, labels, sound
failures, array layouts and reproducibility across thread counts."""
import copy
import inspect
import json
import os
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

import _rs

RFC = _rs.RandomForestClassifier
RFR = _rs.RandomForestRegressor


def blobs(n=300, seed=0, k=3, nf=4):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, k, size=n).astype(float)
    x = rng.normal(size=(n, nf)) + y[:, None] * 1.5
    return x, y


def test_signatures_defaults_and_unfitted_state():
    assert str(inspect.signature(RFC)) == (
        "(n_estimators=100, max_depth=None, max_features=None, bootstrap=True, "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)")
    assert str(inspect.signature(RFR)).startswith("(n_estimators=50, max_depth=None")
    assert RFC.fit.__text_signature__ == "($self, x, y, sample_weight=None)"
    assert RFC.score.__text_signature__ == "($self, x, y)"
    assert RFR.predict.__text_signature__ == "($self, x)"
    assert not hasattr(RFR, "predict_proba") and not hasattr(RFR, "score")

    c = RFC()
    assert (c.n_estimators, c.n_classes, c.classes_, c.is_fitted) == (100, 0, None, False)
    assert c.get_info() == {"n_estimators": 100, "n_classes": 0, "is_fitted": 0}
    r = RFR(7)
    assert (r.n_estimators, r.is_fitted) == (7, False)
    assert r.get_info() == {"n_estimators": 7, "is_fitted": 0}
    x = np.zeros((2, 1))
    for call in (lambda: c.predict(x), lambda: c.predict_proba(x),
                 lambda: c.score(x, np.zeros(2))):
        with pytest.raises(ValueError, match="^RandomForestClassifier has not been fitted$"):
            call()
    with pytest.raises(ValueError, match="^RandomForestRegressor has not been fitted$"):
        r.predict(x)


def test_constructor_conversion_errors():
    with pytest.raises(TypeError, match="^argument 'bootstrap': "):
        RFC(bootstrap=1)
    with pytest.raises(TypeError, match="^argument 'max_features': "):
        RFR(max_features=0.5)
    with pytest.raises(OverflowError):
        RFC(n_estimators=-1)
    with pytest.raises(OverflowError):
        RFR(random_state=2**64)
    with pytest.raises(TypeError):
        RFC(unknown=1)
    with pytest.raises(AttributeError):
        RFC().n_estimators = 3


def test_classifier_labels_probabilities_and_info():
    x, y = blobs()
    c = RFC(n_estimators=15, random_state=1, max_features="sqrt")
    c.fit(x, y)
    assert c.classes_ == [0, 1, 2] and c.n_classes == 3 and c.is_fitted
    assert c.get_info() == {"n_estimators": 15, "n_classes": 3, "is_fitted": 1}
    proba = c.predict_proba(x)
    assert len(proba) == len(x) and all(len(row) == 3 for row in proba)
    assert all(abs(sum(row) - 1.0) < 1e-12 for row in proba)
    pred = c.predict(x)
    assert pred == [float(np.argmax(row[::-1]) * -1 + 2) for row in proba]
    assert c.score(x, y) > 0.9


def test_label_truncation_gaps_and_huge_labels():
    x = np.arange(8.0).reshape(-1, 1)
    c = RFC(n_estimators=3, random_state=0)
    c.fit(x, np.array([2.9, 2.0, -1.0, 0.5, 2.2, 2.0, -7.0, 0.0]))
    assert c.classes_ == [0, 2] and c.n_classes == 2
    # Column j belongs to label j; label 2 has no column, so rows sum below 1.
    assert all(len(r) == 2 and r[1] == 0.0 for r in c.predict_proba(x))

    x, y = blobs(n=2000, k=2)
    y[y == 1] = 1e9
    start = time.perf_counter()
    c.fit(x, y)
    assert time.perf_counter() - start < 5.0
    assert c.classes_ == [0, 10**9]
    assert all(r[1] == 0.0 for r in c.predict_proba(x[:50]))


def test_ties_predict_the_later_class_and_score_divides_by_len_y():
    c = RFC(n_estimators=2, bootstrap=False, random_state=0)
    c.fit(np.zeros((2, 1)), np.array([0.0, 1.0]))
    assert c.predict_proba(np.zeros((1, 1))) == [[0.5, 0.5]]
    assert c.predict(np.zeros((1, 1))) == [1.0]
    # Four rows, y of length 8: matches are counted over four rows only.
    assert c.score(np.zeros((4, 1)), np.array([1.0, 1, 1, 0, 1, 1, 1, 1])) == 3 / 8
    # All weights zero: every leaf has no weight, rows of zeros, last index wins.
    c.fit(np.arange(6.0).reshape(-1, 1), np.array([0.0, 1, 0, 1, 0, 1]), np.zeros(6))
    assert c.predict_proba(np.ones((1, 1))) == [[0.0, 0.0]]
    assert c.predict(np.ones((1, 1))) == [1.0]


def test_regressor_constant_target_and_single_tree_without_bootstrap():
    x, _ = blobs(n=200)
    r = RFR(n_estimators=5, random_state=3)
    r.fit(x, np.full(200, 4.25))
    assert r.predict(x[:10]) == [4.25] * 10
    # One tree on all rows, 256 distinct values: all but the two smallest
    # values get their own bin, so training targets come back exactly.
    xs = np.arange(256.0).reshape(-1, 1)
    ys = xs[:, 0] * 3.0 + 1.0
    r = RFR(n_estimators=1, bootstrap=False)
    r.fit(xs, ys)
    pred = r.predict(xs)
    assert pred[2:] == list(ys[2:]) and pred[0] == pred[1] == 2.5


def test_deep_chain_tree_is_grown_and_walked():
    # Exponentially growing targets make every split peel off the largest
    # row, so the tree is a chain about 250 levels deep.
    x = np.arange(256.0).reshape(-1, 1)
    y = 4.0 ** np.arange(256)
    r = RFR(n_estimators=1, bootstrap=False)
    r.fit(x, y)
    pred = r.predict(x)
    assert pred[2:] == list(y[2:]) and pred[0] == pred[1] == 2.5


def test_invalid_fits_raise_and_keep_the_previous_model():
    x, y = blobs(n=60)
    c = RFC(n_estimators=4, random_state=0)
    c.fit(x, y)
    before = c.predict_proba(x)
    bad_x = x.copy()
    bad_x[2, 1] = np.nan
    with pytest.raises(ValueError, match=r"^X contains non-finite value at row 2, column 1 \(NaN\)"):
        c.fit(bad_x, y)
    with pytest.raises(ValueError, match=r"^y length \(59\) does not match number of samples \(60\)$"):
        c.fit(x, y[:-1])
    with pytest.raises(ValueError, match=r"^y length \(61\)"):
        c.fit(x, np.append(y, 0.0))
    with pytest.raises(ValueError, match=r"^sample_weight length \(3\) does not match number of samples \(60\)$"):
        c.fit(x, y, np.ones(3))
    w = np.ones(60)
    w[5] = -0.5
    with pytest.raises(ValueError, match=r"^sample_weight\[5\] = -0.5 is not a non-negative finite number$"):
        c.fit(x, y, w)
    with pytest.raises(ValueError, match=r"^y contains non-finite value at index 0 \(inf\)"):
        RFR().fit(x, np.full(60, np.inf))
    assert c.predict_proba(x) == before and c.classes_ == [0, 1, 2]


def test_prediction_input_checks():
    x, y = blobs(n=100, nf=5)
    c = RFC(n_estimators=10, random_state=0)
    c.fit(x, y)
    with pytest.raises(ValueError, match="columns, but the fitted forest reads column"):
        c.predict_proba(x[:, :2])
    with pytest.raises(ValueError, match="columns"):
        c.score(x[:, :1], y)
    assert len(c.predict(np.hstack([x, x]))) == 100  # extra columns are ignored
    assert c.predict(np.zeros((0, 5))) == [] and c.predict_proba(np.zeros((0, 5))) == []
    for model in (RFC(n_estimators=0), RFR(n_estimators=0)):
        model.fit(x, y)
        assert model.is_fitted
        with pytest.raises(ValueError, match=r"has no trees \(n_estimators=0\)"):
            model.predict(x)


def test_any_array_layout_gives_the_same_model():
    x, y = blobs(n=150)
    ref = RFR(n_estimators=6, random_state=5, max_features="0.5")
    ref.fit(x, y)
    expected = ref.predict(x)
    wide = np.zeros((150, 8))
    wide[:, ::2] = x
    for xs, ys in ((np.asfortranarray(x), y), (wide[:, ::2], np.repeat(y, 2)[::2]),
                   (x[::-1][::-1], y[::-1].copy()[::-1])):
        m = RFR(n_estimators=6, random_state=5, max_features="0.5")
        m.fit(xs, ys)
        assert m.predict(xs) == expected


def test_fixed_seed_repeats_and_bootstrap_off_without_subsampling():
    x, y = blobs(n=250)
    a = RFC(n_estimators=8, random_state=42, max_features="2")
    b = RFC(n_estimators=8, random_state=42, max_features="2")
    a.fit(x, y)
    b.fit(x, y)
    assert a.predict_proba(x) == b.predict_proba(x)
    b.fit(x, y)
    assert a.predict_proba(x) == b.predict_proba(x)
    other = RFC(n_estimators=8, random_state=43, max_features="2")
    other.fit(x, y)
    assert other.predict_proba(x) != a.predict_proba(x)
    # Every tree sees the same rows and examines every feature: identical trees.
    one = RFC(n_estimators=1, bootstrap=False)
    many = RFC(n_estimators=5, bootstrap=False, random_state=9)
    one.fit(x, y)
    many.fit(x, y)
    assert one.predict_proba(x) == many.predict_proba(x)


def test_pickled_and_copied_forests_predict_identically():
    x, y = blobs(n=200)
    c = RFC(n_estimators=6, random_state=2, max_features="sqrt", max_depth=6)
    r = RFR(n_estimators=4, random_state=2, min_samples_leaf=3)
    assert not pickle.loads(pickle.dumps(c)).is_fitted
    c.fit(x, y)
    r.fit(x, x[:, 0] * 3.0)
    for clone in (pickle.loads(pickle.dumps(c)), copy.deepcopy(c)):
        assert clone.predict_proba(x) == c.predict_proba(x)
        assert (clone.classes_, clone.n_classes, clone.get_info()) == (
            c.classes_, c.n_classes, c.get_info())
        # Settings survive too: a refit of the copy gives the same model.
        clone.fit(x, y)
        assert clone.predict_proba(x) == c.predict_proba(x)
    clone = pickle.loads(pickle.dumps(r))
    assert clone.predict(x) == r.predict(x) and clone.n_estimators == 4
    state = c.__getstate__()
    for bad in (state[:-5], state + b"\0", state.replace(b"RandomForestClassifier",
                                                          b"RandomForestClassifieR"),
                r.__getstate__()):
        with pytest.raises(ValueError, match="^invalid saved state"):
            RFC().__setstate__(bad)


SCRIPT = r"""
import json, sys, numpy as np, _rs
rng = np.random.default_rng(0)
x = rng.normal(size=(3000, 6)); y = (x[:, 0] + x[:, 1] * x[:, 2] > 0).astype(float) + (x[:, 3] > 1)
w = rng.uniform(0.2, 2.0, size=3000)
c = _rs.RandomForestClassifier(n_estimators=24, random_state=7, max_features="sqrt")
c.fit(x, y, w)
r = _rs.RandomForestRegressor(n_estimators=12, random_state=7, max_features="0.5")
r.fit(x, x[:, 0] * 2 + np.sin(x[:, 1]))
print(json.dumps([[v.hex() for row in c.predict_proba(x) for v in row], [v.hex() for v in r.predict(x)]]))
"""


def test_results_do_not_depend_on_the_number_of_threads():
    outputs = []
    for threads in ("1", "2", "3"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        res = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True,
                             text=True, check=True)
        outputs.append(json.loads(res.stdout))
    assert outputs[0] == outputs[1] == outputs[2]


def test_prediction_copies_route_like_the_trees(cpp_checks):
    # Random trees and rows full of ties, NaN, infinities and signed zeros,
    # through both compact forms, against plain walks, bit for bit (also
    # under AddressSanitizer and UndefinedBehaviorSanitizer when available).
    from conftest import ctest

    out = ctest(cpp_checks, "-R", "^packed_check")
    assert "tests passed" in out


def test_unit_and_doubled_weights_grow_the_same_binary_trees():
    # Unit weights let the grower count rows in integers and hand histograms
    # down the tree; doubling every weight scales every sum exactly, so the
    # weighted arithmetic must pick the very same splits and shares.
    rng = np.random.default_rng(11)
    n = 3000
    x = rng.normal(size=(n, 6))
    x[:, 1] = np.round(x[:, 1] * 2)  # heavy ties
    y = np.where(x[:, 0] + 0.5 * x[:, 2] * x[:, 3] + rng.normal(0, 0.7, n) > 0, 3.0, 0.0)
    xt = rng.normal(size=(500, 6))
    xt[::7, 4] = np.nan
    for data in (x, x[:700]):
        for params in (
            {},
            {"max_features": "sqrt"},
            {"min_samples_leaf": 3, "max_depth": 7},
            {"bootstrap": False, "min_samples_split": 40},
        ):
            plain = RFC(n_estimators=6, random_state=4, **params)
            doubled = RFC(n_estimators=6, random_state=4, **params)
            plain.fit(data, y[: len(data)])
            doubled.fit(data, y[: len(data)], sample_weight=np.full(len(data), 2.0))
            assert plain.predict_proba(xt) == doubled.predict_proba(xt), params
            assert plain.predict(data) == doubled.predict(data), params
    # Wide rows: too many features to hand histograms down the tree.
    wide = rng.normal(size=(300, 1100))
    yw = (wide[:, 0] + wide[:, 7] > 0).astype(float)
    plain = RFC(n_estimators=3, random_state=1)
    doubled = RFC(n_estimators=3, random_state=1)
    plain.fit(wide, yw)
    doubled.fit(wide, yw, sample_weight=np.full(300, 2.0))
    assert plain.predict_proba(wide) == doubled.predict_proba(wide)
