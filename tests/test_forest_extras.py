"""Out-of-bag estimates, importances, class weights, sample sizes, warm
starts and the fitted trees of ForestClassifier and ForestRegressor."""
import pickle
import warnings

import numpy as np
import pytest
from sklearn.metrics import r2_score, recall_score

from tarnwood import ForestClassifier, ForestRegressor


def classification(n=600, p=5, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = np.where(x[:, 0] + 0.5 * x[:, 1] + 0.7 * rng.normal(size=n) > 0, "yes", "no")
    return x, y


def regression(n=600, p=5, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    return x, 2 * x[:, 0] + np.sin(2 * x[:, 1]) + 0.3 * rng.normal(size=n)


def recomputed_oob(model, X):
    """Out-of-bag predictions from apply, the samples and the leaf values,
    summed in tree order as plain Python would."""
    leaves = model.apply(X)
    trees = model.trees_
    width = trees[0].value.shape[2]
    total = np.zeros((X.shape[0], width))
    count = np.zeros(X.shape[0])
    for t, (tree, sample) in enumerate(zip(trees, model.estimators_samples_)):
        out = np.ones(X.shape[0], dtype=bool)
        out[sample] = False
        total[out] += tree.value[leaves[out, t], 0, :]
        count[out] += 1
    with np.errstate(invalid="ignore"):
        return total / count[:, None], count


# ---- out-of-bag estimates ---------------------------------------------------


@pytest.mark.parametrize("options", [{}, {"max_samples": 0.4}, {"class_weight": "balanced_subsample"}])
def test_oob_decision_function_is_the_tree_order_sum_over_out_of_bag_trees(options):
    X, y = classification()
    model = ForestClassifier(n_estimators=25, random_state=3, oob_score=True, **options).fit(X, y)
    want, count = recomputed_oob(model, X)
    assert (count > 0).all()
    np.testing.assert_array_equal(model.oob_decision_function_, want)
    labels = model.classes_[np.argmax(want, axis=1)]
    assert model.oob_score_ == np.mean(labels == y)


def test_oob_prediction_and_r2_of_the_regressor_recompute_exactly():
    X, y = regression()
    w = np.random.default_rng(1).uniform(0.2, 3.0, size=len(y))
    model = ForestRegressor(n_estimators=25, random_state=3, oob_score=True).fit(X, y, w)
    want, _ = recomputed_oob(model, X)
    np.testing.assert_array_equal(model.oob_prediction_, want[:, 0])
    assert model.oob_score_ == r2_score(y, want[:, 0])


@pytest.mark.parametrize("cls", [ForestClassifier, ForestRegressor])
def test_oob_results_do_not_depend_on_the_thread_count(cls):
    X, y = classification(1500) if cls is ForestClassifier else regression(1500)
    runs = [cls(n_estimators=30, random_state=5, oob_score=True, n_jobs=j).fit(X, y)
            for j in (1, 2, 3)]
    attr = "oob_decision_function_" if cls is ForestClassifier else "oob_prediction_"
    for other in runs[1:]:
        np.testing.assert_array_equal(getattr(other, attr), getattr(runs[0], attr))
        assert other.oob_score_ == runs[0].oob_score_


def test_oob_score_tracks_a_held_out_score_on_large_data():
    X, y = classification(24000, 8, seed=2)
    model = ForestClassifier(n_estimators=60, random_state=0, oob_score=True).fit(X[:12000], y[:12000])
    assert abs(model.oob_score_ - model.score(X[12000:], y[12000:])) < 0.015
    Xr, yr = regression(24000, 8, seed=2)
    reg = ForestRegressor(n_estimators=60, random_state=0, oob_score=True).fit(Xr[:12000], yr[:12000])
    assert abs(reg.oob_score_ - reg.score(Xr[12000:], yr[12000:])) < 0.015


def test_rows_never_out_of_bag_are_nan_with_a_warning():
    X, y = classification(200)
    with pytest.warns(UserWarning, match="do not have OOB scores"):
        model = ForestClassifier(n_estimators=2, random_state=0, oob_score=True).fit(X, y)
    missing = np.isnan(model.oob_decision_function_).all(axis=1)
    assert missing.any() and not missing.all()
    seen = ~missing
    labels = model.classes_[np.argmax(model.oob_decision_function_[seen], axis=1)]
    assert model.oob_score_ == np.mean(labels == y[seen])


def test_callable_oob_score_gets_the_labels_and_refits_drop_stale_estimates():
    X, y = classification()
    calls = []

    def score(y_true, y_pred):
        calls.append((y_true, y_pred))
        return recall_score(y_true, y_pred, pos_label="yes")

    model = ForestClassifier(n_estimators=20, random_state=0, oob_score=score).fit(X, y)
    y_true, y_pred = calls[0]
    assert set(y_pred) <= {"yes", "no"} and np.array_equal(y_true, y)
    assert model.oob_score_ == score(y_true, y_pred)
    model.set_params(oob_score=False).fit(X, y)
    assert not hasattr(model, "oob_score_") and not hasattr(model, "oob_decision_function_")


def test_oob_needs_bootstrap_and_bad_settings_leave_the_estimator_as_it_was():
    X, y = classification()
    model = ForestClassifier(n_estimators=5, random_state=0).fit(X, y)
    before = model.model_.__getstate__()
    for bad in (dict(bootstrap=False, oob_score=True), dict(bootstrap=False, max_samples=0.5),
                dict(max_samples=10**6), dict(max_samples=0.0), dict(oob_score="yes"),
                dict(class_weight="often")):
        with pytest.raises(ValueError):
            model.set_params(**bad).fit(X[:, :3], y)
        model.set_params(bootstrap=True, oob_score=False, max_samples=None, class_weight=None)
        assert model.model_.__getstate__() == before and model.n_features_in_ == X.shape[1]


# ---- importances --------------------------------------------------------------


def gini_decreases(tree, n_features):
    """Impurity decreases of one tree from its node arrays."""
    imp = np.zeros(n_features)
    w = tree.weighted_n_node_samples
    gini = w * (1.0 - (tree.value[:, 0, :] ** 2).sum(axis=1))
    for i in np.flatnonzero(tree.children_left >= 0):
        left, right = tree.children_left[i], tree.children_right[i]
        imp[tree.feature[i]] += gini[i] - gini[left] - gini[right]
    return imp


def test_impurity_importances_follow_from_the_node_arrays():
    X, y = classification(800, 6)
    model = ForestClassifier(n_estimators=15, random_state=1, class_weight="balanced").fit(X, y)
    per_tree = [gini_decreases(t, 6) for t in model.trees_]
    want = np.mean([v / v.sum() for v in per_tree], axis=0)
    np.testing.assert_allclose(model.feature_importances_, want / want.sum(), rtol=1e-9)


@pytest.mark.parametrize("cls", [ForestClassifier, ForestRegressor])
def test_informative_features_rank_first_and_pure_noise_is_near_zero(cls):
    rng = np.random.default_rng(4)
    X = rng.normal(size=(3000, 6))
    signal = 2 * X[:, 0] + X[:, 1]
    y = (signal + 0.3 * rng.normal(size=3000) > 0).astype(int) if cls is ForestClassifier else signal
    model = cls(n_estimators=40, max_depth=4, random_state=0, oob_score=True).fit(X, y)
    imp = model.feature_importances_
    assert imp.shape == (6,) and abs(imp.sum() - 1.0) < 1e-12
    assert list(np.argsort(-imp)[:2]) == [0, 1] and imp[2:].max() < 0.02
    deep = cls(n_estimators=40, random_state=0).fit(X, y)
    perm = deep.oob_permutation_importance(X, y, n_repeats=3, random_state=0)
    assert perm.importances.shape == (6, 3)
    assert list(np.argsort(-perm.importances_mean)[:2]) == [0, 1]
    assert np.abs(perm.importances_mean[2:]).max() < 0.01
    assert perm.importances_mean[0] > 0.2


def test_forests_of_single_leaves_have_zero_importances():
    X, y = classification()
    model = ForestClassifier(n_estimators=5, max_depth=0, random_state=0).fit(X, y)
    np.testing.assert_array_equal(model.feature_importances_, np.zeros(X.shape[1]))
    perm = model.oob_permutation_importance(X, y, random_state=0)
    np.testing.assert_array_equal(perm.importances, np.zeros((X.shape[1], 5)))


def test_oob_permutation_importance_is_reproducible_and_checks_its_data():
    X, y = classification(900)
    model = ForestClassifier(n_estimators=20, random_state=0).fit(X, y)
    a = model.oob_permutation_importance(X, y, n_repeats=4, random_state=7)
    b = model.set_params(n_jobs=1).oob_permutation_importance(X, y, n_repeats=4, random_state=7)
    np.testing.assert_array_equal(a.importances, b.importances)
    np.testing.assert_array_equal(a.importances_std, np.std(a.importances, axis=1))
    other = X.copy()
    other[0, 0] += 1.0
    for args in ((other, y), (X[:-1], y[:-1]), (X, y[::-1])):
        with pytest.raises(ValueError, match="training data"):
            model.oob_permutation_importance(*args)
    with pytest.raises(ValueError, match="not fitted on"):
        model.oob_permutation_importance(X, np.where(y == "yes", "maybe", y))


# ---- class weights and sample sizes -------------------------------------------


@pytest.mark.parametrize("class_weight", ["balanced", "balanced_subsample", {0: 1.0, 1: 12.0}])
def test_class_weights_raise_the_recall_of_a_rare_class(class_weight):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(6000, 4))
    y = (X[:, 0] + 0.8 * rng.normal(size=6000) > 1.9).astype(int)  # about 6% ones
    train, test = slice(0, 4000), slice(4000, None)
    plain = ForestClassifier(n_estimators=30, min_samples_leaf=25, random_state=0)
    weighted = ForestClassifier(n_estimators=30, min_samples_leaf=25, random_state=0,
                                class_weight=class_weight)
    base = recall_score(y[test], plain.fit(X[train], y[train]).predict(X[test]))
    better = recall_score(y[test], weighted.fit(X[train], y[train]).predict(X[test]))
    assert better > base + 0.2


def test_class_weights_scale_the_weighted_node_sizes():
    X, y = classification(500)
    w = np.random.default_rng(2).uniform(0.5, 2.0, size=500)
    model = ForestClassifier(n_estimators=3, random_state=0, class_weight={"yes": 3.0}).fit(X, y, w)
    root = [t.weighted_n_node_samples[0] for t in model.trees_]
    factor = np.where(y == "yes", 3.0, 1.0) * w
    for got, sample in zip(root, model.estimators_samples_):
        assert got == pytest.approx(factor[sample].sum(), rel=1e-12)


def test_max_samples_sets_the_draws_per_tree():
    X, y = regression(400)
    for max_samples, want in ((0.25, 100), (37, 37), (1.0, 400), (None, 400)):
        model = ForestRegressor(n_estimators=3, random_state=0, max_samples=max_samples).fit(X, y)
        assert [len(s) for s in model.estimators_samples_] == [want] * 3
    model = ForestRegressor(n_estimators=2, bootstrap=False, random_state=0).fit(X, y)
    for s in model.estimators_samples_:
        np.testing.assert_array_equal(s, np.arange(400))


def test_weighted_regression_nodes_carry_their_in_bag_weight():
    X, y = regression(300)
    w = np.random.default_rng(3).uniform(0.1, 5.0, size=300)
    model = ForestRegressor(n_estimators=4, random_state=0).fit(X, y, w)
    for tree, sample in zip(model.trees_, model.estimators_samples_):
        assert tree.weighted_n_node_samples[0] == pytest.approx(w[sample].sum(), rel=1e-12)
        assert tree.n_node_samples[0] == len(sample)
        leaf = tree.children_left == -1
        assert tree.weighted_n_node_samples[leaf].sum() == pytest.approx(w[sample].sum())


# ---- warm starts ---------------------------------------------------------------


@pytest.mark.parametrize("cls", [ForestClassifier, ForestRegressor])
def test_growing_in_two_steps_equals_growing_at_once(cls):
    X, y = classification(700) if cls is ForestClassifier else regression(700)
    extra = dict(random_state=11, oob_score=True, max_samples=0.7)
    once = cls(n_estimators=100, **extra).fit(X, y)
    steps = cls(n_estimators=60, warm_start=True, **extra).fit(X, y)
    steps = pickle.loads(pickle.dumps(steps))  # the record survives pickling
    steps.set_params(n_estimators=100).fit(X, y)
    assert steps.model_.__getstate__() == once.model_.__getstate__()
    oob = "oob_decision_function_" if cls is ForestClassifier else "oob_prediction_"
    np.testing.assert_array_equal(getattr(steps, oob), getattr(once, oob))
    assert steps.oob_score_ == once.oob_score_
    np.testing.assert_array_equal(steps.feature_importances_, once.feature_importances_)


def test_warm_start_refusals_leave_the_forest_as_it_was():
    X, y = classification()
    model = ForestClassifier(n_estimators=10, random_state=0, warm_start=True).fit(X, y)
    before = model.model_.__getstate__()
    with pytest.raises(ValueError, match="must be larger or equal"):
        model.set_params(n_estimators=5).fit(X, y)
    with pytest.raises(ValueError, match="classes"):
        model.set_params(n_estimators=20).fit(X, np.where(y == "yes", "maybe", y))
    with pytest.raises(ValueError, match="features"):
        model.fit(X[:, :4], y)
    assert model.model_.__getstate__() == before and model.n_features_in_ == X.shape[1]
    with pytest.warns(UserWarning, match="without increasing n_estimators"):
        model.set_params(n_estimators=10).fit(X, y)
    assert model.model_.__getstate__() == before
    # Warm starts on other data grow on it, but no out-of-bag estimate spans both.
    Z, _ = classification(seed=9)
    model.set_params(n_estimators=12).fit(Z, y)
    assert len(model.trees_) == 12
    with pytest.raises(ValueError, match="different training data"):
        model.oob_permutation_importance(Z, y)


# ---- fitted trees ---------------------------------------------------------------


def test_apply_decision_path_and_node_arrays_agree_with_predictions():
    X, y = classification(500)
    model = ForestClassifier(n_estimators=7, random_state=0).fit(X, y)
    leaves = model.apply(X[:50])
    assert leaves.shape == (50, 7) and leaves.dtype == np.int64
    indicator, ptr = model.decision_path(X[:50])
    assert indicator.shape == (50, ptr[-1])
    trees = model.trees_
    proba = np.zeros((50, 2))
    for t, tree in enumerate(trees):
        assert ptr[t + 1] - ptr[t] == tree.node_count
        assert (tree.children_left[leaves[:, t]] == -1).all()
        proba += tree.value[leaves[:, t], 0, :]
        for r in range(50):
            path = indicator[r].indices[(indicator[r].indices >= ptr[t]) & (indicator[r].indices < ptr[t + 1])] - ptr[t]
            assert path[0] == 0 and path[-1] == leaves[r, t]
            # Each node on the path is the child the row's value chooses.
            for a, b in zip(path[:-1], path[1:]):
                go_left = X[r, tree.feature[a]] <= tree.threshold[a]
                assert b == (tree.children_left[a] if go_left else tree.children_right[a])
    np.testing.assert_allclose(proba / 7, model.predict_proba(X[:50]), rtol=1e-12)
    tree = trees[0]
    split = tree.children_left >= 0
    assert (tree.feature[~split] == -2).all() and (tree.threshold[~split] == -2.0).all()
    assert (tree.n_node_samples[split] == tree.n_node_samples[tree.children_left[split]]
            + tree.n_node_samples[tree.children_right[split]]).all()
    assert tree.max_depth == model.trees_[0].max_depth > 0


# ---- importances of single trees and boosted ensembles ----------------------


@pytest.mark.parametrize("weighted", [False, True])
def test_single_tree_importances_match_scikit_learns_tree(weighted):
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from tarnwood import TreeClassifier, TreeRegressor

    rng = np.random.default_rng(0)
    X = rng.normal(size=(500, 6))
    w = rng.uniform(0.5, 2.0, size=500) if weighted else None
    yc = (X[:, 0] + 0.5 * X[:, 1] > 0).astype(int)
    yr = 2 * X[:, 0] + X[:, 1]
    for ours, theirs, y in ((TreeClassifier(random_state=0), DecisionTreeClassifier(random_state=0), yc),
                            (TreeRegressor(random_state=0), DecisionTreeRegressor(random_state=0), yr)):
        got = ours.fit(X, y, w).feature_importances_
        want = theirs.fit(X, y, w).feature_importances_
        assert got.shape == (6,) and abs(got.sum() - 1.0) < 1e-12
        np.testing.assert_allclose(got, want, atol=0.02)
    assert (TreeRegressor(max_depth=0).fit(X, yr).feature_importances_ == 0).all()


def test_boosted_importances_cover_features_the_first_tree_never_splits_on():
    from tarnwood import BoostedRegressor

    rng = np.random.default_rng(1)
    X = rng.normal(size=(400, 8))
    y = 3 * X[:, 7] + 0.1 * rng.normal(size=400)
    # Stumps on one random feature each: the first one rarely picks the last.
    for seed in range(20):
        model = BoostedRegressor(n_estimators=4, rf_n_estimators=6, rf_max_depth=1,
                                 rf_max_features=1, random_state=seed).fit(X, y)
        if len(model.model_.feature_importances()) < 8:
            break
    else:
        pytest.fail("no first tree without a split on the last feature")
    imp = model.feature_importances_
    assert imp.shape == (8,) and abs(imp.sum() - 1.0) < 1e-12
    assert np.argmax(imp) == 7 and imp[7] > 0.3


def test_min_impurity_decrease_keeps_only_splits_that_reach_it():
    X, y = classification(2000, 6)
    plain = ForestClassifier(n_estimators=8, random_state=0).fit(X, y)
    zero = ForestClassifier(n_estimators=8, random_state=0, min_impurity_decrease=0.0).fit(X, y)
    assert zero.model_.__getstate__() == plain.model_.__getstate__()
    limit = 0.002
    model = ForestClassifier(n_estimators=8, random_state=0, min_impurity_decrease=limit).fit(X, y)
    smaller = sum(t.node_count for t in model.trees_)
    assert 1 < smaller < sum(t.node_count for t in plain.trees_) / 4
    for tree in model.trees_:
        decrease = gini_decreases_per_node(tree) / tree.weighted_n_node_samples[0]
        assert (decrease[tree.children_left >= 0] >= limit * (1 - 1e-9)).all()
    Xr, yr = regression(2000, 6)
    reg = ForestRegressor(n_estimators=4, random_state=0, min_impurity_decrease=0.05).fit(Xr, yr)
    assert sum(t.node_count for t in reg.trees_) < sum(
        t.node_count for t in ForestRegressor(n_estimators=4, random_state=0).fit(Xr, yr).trees_)
    with pytest.raises(ValueError, match="min_impurity_decrease"):
        ForestRegressor(min_impurity_decrease=-1.0).fit(Xr, yr)


def gini_decreases_per_node(tree):
    w = tree.weighted_n_node_samples
    gini = w * (1.0 - (tree.value[:, 0, :] ** 2).sum(axis=1))
    out = np.zeros(tree.node_count)
    split = np.flatnonzero(tree.children_left >= 0)
    out[split] = gini[split] - gini[tree.children_left[split]] - gini[tree.children_right[split]]
    return out


# ---- the extremely randomised splitter ------------------------------------------


@pytest.mark.parametrize("cls", [ForestClassifier, ForestRegressor])
def test_random_splitter_matches_extra_trees_and_is_reproducible(cls):
    from sklearn.ensemble import ExtraTreesClassifier, ExtraTreesRegressor

    X, y = classification(4000, 8) if cls is ForestClassifier else regression(4000, 8)
    peer = ExtraTreesClassifier if cls is ForestClassifier else ExtraTreesRegressor
    kw = dict(n_estimators=40, bootstrap=False, random_state=0)
    runs = [cls(splitter="random", n_jobs=j, **kw).fit(X[:3000], y[:3000]) for j in (1, 3)]
    assert runs[0].model_.__getstate__() == runs[1].model_.__getstate__()
    ours = runs[0].score(X[3000:], y[3000:])
    theirs = peer(**kw).fit(X[:3000], y[:3000]).score(X[3000:], y[3000:])
    assert ours > theirs - 0.02
    best = cls(**kw).fit(X[:3000], y[:3000])
    # Random thresholds: other trees (for the regressor just as large, as
    # both grow to one row per leaf).
    assert sum(t.node_count for t in runs[0].trees_) >= sum(t.node_count for t in best.trees_)
    assert not np.array_equal(runs[0].trees_[0].threshold[:3], best.trees_[0].threshold[:3])
    # Every split threshold is a bin edge between two occupied bins, so both
    # sides of every split hold rows.
    for tree in runs[0].trees_[:5]:
        split = tree.children_left >= 0
        assert (tree.n_node_samples[tree.children_left[split]] > 0).all()
        assert (tree.n_node_samples[tree.children_right[split]] > 0).all()
    with pytest.raises(ValueError, match="splitter"):
        cls(splitter="worst").fit(X, y)


def test_random_splitter_with_weights_classes_and_warm_start():
    X, y = classification(1500)
    w = np.random.default_rng(0).uniform(0.5, 2.0, size=len(y))
    kw = dict(splitter="random", random_state=2, oob_score=True, class_weight="balanced")
    once = ForestClassifier(n_estimators=30, **kw).fit(X, y, w)
    steps = ForestClassifier(n_estimators=12, warm_start=True, **kw).fit(X, y, w)
    steps.set_params(n_estimators=30).fit(X, y, w)
    assert steps.model_.__getstate__() == once.model_.__getstate__()
    assert once.oob_score_ > 0.75
    multi = np.digitize(X[:, 0], [-1.0, 0.0, 1.0])
    model = ForestClassifier(n_estimators=20, splitter="random", random_state=0).fit(X, multi)
    assert model.score(X, multi) > 0.9


@pytest.mark.parametrize("p, max_features", [(5, None), (20, "sqrt"), (40, 0.5), (70, 3), (70, None)])
@pytest.mark.parametrize("bootstrap", [True, False])
def test_random_splits_of_counted_and_weighted_rows_agree(p, max_features, bootstrap):
    # Unit weights let binary trees count their rows (with lane-wise byte
    # counters when enough features are examined); weights of 2 take the
    # weighted sums. Doubling every weight scales each side's weight and
    # class weights exactly, so the gains, and hence the trees, are the same.
    X, y = classification(n=700, p=p, seed=p)
    kw = dict(n_estimators=4, splitter="random", bootstrap=bootstrap,
              max_features=max_features, random_state=11)
    counted = ForestClassifier(**kw).fit(X, y)
    weighted = ForestClassifier(**kw).fit(X, y, sample_weight=np.full(len(y), 2.0))
    for a, b in zip(counted.trees_, weighted.trees_):
        np.testing.assert_array_equal(a.feature, b.feature)
        np.testing.assert_array_equal(a.threshold, b.threshold)
        np.testing.assert_array_equal(a.n_node_samples, b.n_node_samples)
    np.testing.assert_array_equal(counted.predict_proba(X), weighted.predict_proba(X))


# ---- the leaf limit --------------------------------------------------------------

def _split_paths(tree, node=0, path=""):
    if tree.children_left[node] < 0:
        return set()
    return ({path} | _split_paths(tree, tree.children_left[node], path + "L")
            | _split_paths(tree, tree.children_right[node], path + "R"))


def test_leaf_limit_splits_best_first():
    # With every feature examined and no bootstrap the splits are fixed, so
    # a tree of k leaves holds the k - 1 splits a best-first walk of the
    # unlimited tree picks, by weighted Gini decrease from its node values.
    X, y = classification(n=800, p=4, seed=8)
    kw = dict(n_estimators=1, max_features=None, bootstrap=False, random_state=0)
    full = ForestClassifier(**kw).fit(X, y).trees_[0]

    def decrease(i):
        def gini(j):
            shares = full.value[j, 0]
            return full.weighted_n_node_samples[j] * (1.0 - np.sum(shares ** 2))
        return gini(i) - gini(full.children_left[i]) - gini(full.children_right[i])

    for k in (2, 3, 7, 20):
        frontier, chosen, paths = [(0, "")], set(), {}
        while frontier and len(chosen) < k - 1:
            splittable = [(i, p) for i, p in frontier if full.children_left[i] >= 0]
            if not splittable:
                break
            i, p = max(splittable, key=lambda item: decrease(item[0]))
            frontier.remove((i, p))
            chosen.add(p)
            frontier += [(full.children_left[i], p + "L"), (full.children_right[i], p + "R")]
        limited = ForestClassifier(max_leaf_nodes=k, **kw).fit(X, y).trees_[0]
        assert limited.n_leaves == k
        assert _split_paths(limited) == chosen


@pytest.mark.parametrize("cls, data", [(ForestClassifier, classification),
                                       (ForestRegressor, regression)])
def test_leaf_limit_keeps_layout_reproducibility_and_bounds(cls, data):
    X, y = data(n=900, p=6, seed=2)
    # A limit no tree reaches grows the depth-first trees exactly (all
    # features examined, so no draws depend on the order of the nodes).
    kw = dict(n_estimators=6, max_features=None, random_state=4)
    a, b = cls(**kw).fit(X, y), cls(max_leaf_nodes=10**6, **kw).fit(X, y)
    for s, t in zip(a.trees_, b.trees_):
        for name in ("children_left", "children_right", "feature", "threshold", "value"):
            np.testing.assert_array_equal(getattr(s, name), getattr(t, name))
    np.testing.assert_array_equal(a.apply(X), b.apply(X))
    for splitter in ("best", "random"):
        runs = [cls(n_estimators=8, max_leaf_nodes=9, splitter=splitter, random_state=1,
                    oob_score=True, n_jobs=j).fit(X, y) for j in (1, 2)]
        assert all(t.n_leaves <= 9 for t in runs[0].trees_)
        assert max(t.n_leaves for t in runs[0].trees_) == 9
        np.testing.assert_array_equal(runs[0].predict(X), runs[1].predict(X))
        assert runs[0].oob_score_ == runs[1].oob_score_
        back = pickle.loads(pickle.dumps(runs[0]))
        np.testing.assert_array_equal(back.predict(X), runs[0].predict(X))
    for bad in (1, 0, -3, 2.5, "8"):
        with pytest.raises(ValueError, match="max_leaf_nodes"):
            cls(max_leaf_nodes=bad).fit(X, y)
