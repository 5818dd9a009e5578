"""Categorical features in the package's estimators: how
`categorical_features` picks the columns, how they become codes at fit and
in every later call, what reaches the engine, and what is refused.

The tests marked by the `grown` fixture fit real engine models with
category sets; the others stop before the engine or need none."""
import pickle
import types

import numpy as np
import pytest

import tarnwood
from tarnwood import _base, _categories, boost, tree

pd = pytest.importorskip("pandas")

CLASSIFIERS = ["TreeClassifier", "ForestClassifier", "BoostedClassifier"]
REGRESSORS = ["TreeRegressor", "ForestRegressor", "BoostedRegressor"]
SMALL = {
    "TreeClassifier": dict(random_state=0),
    "TreeRegressor": dict(random_state=0),
    "ForestClassifier": dict(n_estimators=4, random_state=0),
    "ForestRegressor": dict(n_estimators=4, random_state=0),
    "BoostedClassifier": dict(n_estimators=3, min_samples_leaf=2, random_state=0),
    "BoostedRegressor": dict(n_estimators=3, min_samples_leaf=2, random_state=0),
}


def make(name, **params):
    return getattr(tarnwood, name)(**{**SMALL[name], **params})


def frame(n=60, seed=0):
    """A frame of a string column with missing entries, a number column and
    a pandas category column with a declared category no row uses."""
    rng = np.random.default_rng(seed)
    city = rng.choice(["paris", "lima", "oslo"], n).astype(object)
    city[::7] = None
    return pd.DataFrame({
        "city": city,
        "x": rng.normal(size=n),
        "size": pd.Categorical(rng.choice(["s", "l"], n), categories=["s", "m", "l"]),
    })


def target(X, regression=False):
    y = (X["city"] == "lima").to_numpy() ^ (X["x"].to_numpy() > 0)
    return y.astype(float) + X["x"].to_numpy() if regression else y


def encoded_fit(est, X, y=None):
    """The encoded training matrix (the estimator records the categories)."""
    y = np.zeros(len(X)) if y is None else y
    return _base.check_fit_data(est, X, y, None, classifier=False)[0]


# ---- which columns are categorical --------------------------------------------


@pytest.mark.parametrize("setting", [
    "from_dtype", [True, False, True], np.array([True, False, True]), [0, 2], [2, 0, 0],
    [-3, -1], np.array([0, 2], dtype=np.uint8), ["city", "size"], np.array(["size", "city"]),
])
def test_every_form_of_the_parameter_picks_the_same_columns(setting):
    est = make("ForestRegressor", categorical_features=setting)
    X = encoded_fit(est, frame())
    assert est.is_categorical_.tolist() == [True, False, True]
    reference = encoded_fit(make("ForestRegressor"), frame())
    np.testing.assert_array_equal(X, reference)
    assert est.categories_[1] is None
    assert est.categories_[0].tolist() == ["lima", "oslo", "paris"]  # sorted distinct values
    assert est.categories_[2].tolist() == ["s", "m", "l"]  # the dtype's own order
    assert list(est.feature_names_in_) == ["city", "x", "size"]


def test_from_dtype_reads_frames_only_and_none_keeps_every_column_numeric():
    numbers = np.arange(12.0).reshape(4, 3)
    for X in (numbers, numbers.astype(str), numbers.astype(object), pd.DataFrame(numbers)):
        est = make("TreeRegressor")
        np.testing.assert_array_equal(encoded_fit(est, X), numbers)
        assert not est.is_categorical_.any() and est.categories_ == [None] * 3
        assert _categories.fit_keywords(est) == {}
    # pandas' own string dtype, and text columns of pyarrow-backed data.
    text = pd.DataFrame({"a": pd.array(["u", "v", None], dtype="string"), "b": [1.0, 2.0, 3.0]})
    est = make("TreeRegressor")
    np.testing.assert_array_equal(encoded_fit(est, text)[:, 0], [0.0, 1.0, np.nan])
    with pytest.raises(ValueError, match="could not convert string to float"):
        encoded_fit(make("TreeRegressor", categorical_features=None), frame())


@pytest.mark.parametrize("setting, error, match", [
    (["city"], ValueError, "needs X to be a DataFrame"),
    ("auto", _base.InvalidParameterError, "'categorical_features' parameter of ForestRegressor"),
    ("", _base.InvalidParameterError, "must be 'from_dtype', None"),
    (1, _base.InvalidParameterError, "Got 1 instead"),
    (True, _base.InvalidParameterError, "Got True"),
    ([[0, 1]], _base.InvalidParameterError, "categorical_features"),
    ([0.5], _base.InvalidParameterError, "categorical_features"),
    ([0, "x"], _base.InvalidParameterError, "categorical_features"),
    ({"city": True}, _base.InvalidParameterError, "categorical_features"),
    ([True, False], ValueError, "categorical_features: the bool mask has 2 entries, but X has 3"),
    ([3], ValueError, "column index 3 is out of range for X with 3 features"),
    ([-4], ValueError, "column index -4 is out of range"),
    (["town"], ValueError, "X has no column named 'town'"),
])
def test_bad_settings_are_refused_naming_the_parameter(setting, error, match):
    est = make("ForestRegressor", categorical_features=setting)
    X = np.zeros((60, 3)) if "DataFrame" in match else frame()
    with pytest.raises(error, match=match):
        est.fit(X, np.zeros(60))
    assert not hasattr(est, "is_categorical_")


# ---- the encoding ---------------------------------------------------------------


def test_strings_categories_and_codes_give_one_encoding():
    labels = np.array(["b", "a", "c", "a", "b", "c", "c"], dtype=object)
    codes = np.array([1, 0, 2, 0, 1, 2, 2])
    other = np.linspace(-1.0, 1.0, 7)
    forms = [
        pd.DataFrame({"g": labels, "v": other}),
        pd.DataFrame({"g": pd.Categorical(labels, categories=["a", "b", "c"]), "v": other}),
        np.column_stack([labels, other]),
        np.column_stack([labels.astype(str), other.astype(str)]),
        np.column_stack([codes, other]),
        np.column_stack([codes.astype(float), other]),
        pd.DataFrame({"g": codes.astype(np.int8), "v": other}),
    ]
    for X in forms:
        est = make("TreeRegressor", categorical_features=[0])
        np.testing.assert_array_equal(encoded_fit(est, X), np.column_stack([codes, other]))
        assert est.categories_[0].shape == (3,)
    # Integer codes are labels in numeric order; float and int labels of one
    # value are one label.
    est = make("TreeRegressor", categorical_features=[True])
    mixed = np.array([[10], [2.0], [2], [True], [1.0], [-3]], dtype=object)
    np.testing.assert_array_equal(encoded_fit(est, mixed)[:, 0], [3, 2, 2, 1, 1, 0])
    assert est.categories_[0].tolist() == [-3, 1, 2, 10]


def test_declared_categories_keep_their_order_and_unused_ones():
    column = pd.Categorical(["lo", "hi", None, "hi"], categories=["hi", "mid", "lo"])
    est = make("TreeRegressor")
    X = encoded_fit(est, pd.DataFrame({"c": column}))
    np.testing.assert_array_equal(X[:, 0], [2.0, 0.0, np.nan, 0.0])
    assert est.categories_[0].tolist() == ["hi", "mid", "lo"]
    assert _categories.fit_keywords(est) == {"categories": [3]}


def test_every_kind_of_missing_entry_is_missing_and_mixed_labels_sort_numbers_first():
    column = np.array(["b", None, np.nan, pd.NA, pd.NaT, 2, "a", 1.5], dtype=object)
    est = make("TreeRegressor", categorical_features=[0])
    X = encoded_fit(est, column.reshape(-1, 1))
    np.testing.assert_array_equal(X[:, 0], [3, np.nan, np.nan, np.nan, np.nan, 1, 2, 0])
    assert est.categories_[0].tolist() == [1.5, 2, "a", "b"]


def test_refused_values_in_categorical_columns():
    est = make("TreeRegressor", categorical_features=[0])
    with pytest.raises(ValueError, match="infinite value"):
        encoded_fit(est, np.array([[1.0], [np.inf]]))
    unhashable = np.empty((2, 1), dtype=object)
    unhashable[0, 0], unhashable[1, 0] = "a", ["x"]
    with pytest.raises(ValueError, match="cannot be a category"):
        encoded_fit(est, unhashable)


def test_more_than_256_categories_are_refused_naming_the_column():
    wide = pd.DataFrame({"x": np.zeros(300), "zip": [f"z{i}" for i in range(300)]})
    with pytest.raises(ValueError, match=r"column 'zip' has 300 categories.*target or ordinal"):
        make("ForestClassifier").fit(wide, np.arange(300) % 2)
    with pytest.raises(ValueError, match="column 1 has 257 categories"):
        encoded_fit(make("TreeRegressor", categorical_features=[1]),
                    np.column_stack([np.zeros(257), np.arange(257)]))
    declared = pd.DataFrame({"c": pd.Categorical(["a"] * 3, categories=[str(i) for i in range(
        299)] + ["a"])})
    with pytest.raises(ValueError, match="column 'c' has 300 categories"):
        encoded_fit(make("TreeRegressor"), declared)
    # 256 is the limit, not past it.
    est = make("TreeRegressor", categorical_features=[0])
    encoded_fit(est, np.arange(256.0).reshape(-1, 1))
    assert _categories.fit_keywords(est) == {"categories": [256]}
    with pytest.raises(ValueError, match="column 0 has 256 categories and missing values"):
        encoded_fit(est, np.r_[np.arange(256.0), np.nan].reshape(-1, 1))


def test_later_calls_encode_with_the_fitted_categories():
    est = make("ForestRegressor", missing_unseen="majority")
    encoded_fit(est, frame())
    new = pd.DataFrame({
        "city": ["oslo", "rome", None],
        "x": [0.5, 1.0, 2.0],
        # Another declared order, and a category the fit never saw.
        "size": pd.Categorical(["l", "s", "xl"], categories=["xl", "l", "s"]),
    })
    before = new.copy()
    X = _base.check_features(est, new, reset=False)
    np.testing.assert_array_equal(X, [[1.0, 0.5, 2.0], [np.nan, 1.0, 0.0], [np.nan, 2.0, np.nan]])
    pd.testing.assert_frame_equal(new, before)  # the caller's frame is not written to
    est.set_params(missing_unseen="error")
    with pytest.raises(ValueError, match=r"X\[1, 0\] holds 'rome', a category of column 'city'"):
        _base.check_features(est, new, reset=False)
    # Missing values stay missing under "error" (the trees decide about them).
    ok = new.iloc[[0, 2]].assign(size=pd.Categorical(["l", "m"]))
    assert np.isnan(_base.check_features(est, ok, reset=False)[1, 0])


def test_feature_names_are_still_checked():
    est = make("ForestRegressor")
    encoded_fit(est, frame())
    with pytest.raises(ValueError, match="feature names should match"):
        _base.check_features(est, frame()[["x", "city", "size"]], reset=False)
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        with pytest.raises(ValueError, match="X has 2 features, but ForestRegressor is expecting"):
            _base.check_features(est, np.zeros((3, 2)), reset=False)
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        X = _base.check_features(est, frame().to_numpy(), reset=False)
    np.testing.assert_array_equal(X, encoded_fit(make("ForestRegressor"), frame()))


def test_pyarrow_and_polars_tables_are_read_through_pandas():
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"city": ["lima", None, "oslo"], "x": [1.0, 2.0, 3.0]})
    est = make("TreeRegressor")
    np.testing.assert_array_equal(encoded_fit(est, table), [[0, 1], [np.nan, 2], [1, 3]])
    assert est.categories_[0].tolist() == ["lima", "oslo"]
    pl = pytest.importorskip("polars")
    est = make("TreeRegressor")
    encoded_fit(est, pl.DataFrame({"city": ["lima", None, "oslo"], "x": [1.0, 2.0, 3.0]}))
    assert est.is_categorical_.tolist() == [True, False]


# ---- what reaches the engine ----------------------------------------------------


class _Stop(Exception):
    pass


class _Recorder:
    """Stands in for an engine model: records the arguments of fit."""

    calls = []

    def __init__(self, **params):
        pass

    def fit(self, X, y, sample_weight=None, **options):
        _Recorder.calls.append((np.array(X), options))
        raise _Stop


@pytest.fixture
def recorder(monkeypatch):
    stub = types.SimpleNamespace(
        Tree=_Recorder, BoostedClassifier=_Recorder, BoostedRegressor=_Recorder)
    monkeypatch.setattr(tree, "_native", stub)
    monkeypatch.setattr(boost, "_native", stub)
    monkeypatch.setattr(tarnwood.ForestClassifier, "_engine", _Recorder)
    monkeypatch.setattr(tarnwood.ForestRegressor, "_engine", _Recorder)
    _Recorder.calls = []
    return _Recorder.calls


@pytest.mark.parametrize("name", CLASSIFIERS + REGRESSORS)
def test_engine_fit_gets_category_counts_only_when_a_column_is_categorical(recorder, name):
    X = frame()
    y = target(X, regression=name in REGRESSORS)
    numbers = X.assign(city=X["city"].isna(), size=X["size"].cat.codes)
    for data, setting in ((X, "from_dtype"), (X[["x"]], "from_dtype"), (numbers, [1])):
        with pytest.raises(_Stop):
            make(name, categorical_features=setting).fit(data, y)
    (coded, with_cats), (plain, numeric), (_, one) = recorder
    assert with_cats["categories"] == [3, 0, 3]
    assert all(type(k) is int for k in with_cats["categories"])
    assert coded.dtype == np.float64 and np.isnan(coded[0, 0])
    assert "categories" not in numeric
    np.testing.assert_array_equal(plain[:, 0], X["x"].to_numpy())
    # A numeric column under a mask: its distinct values are the labels.
    assert one["categories"] == [0, len(np.unique(X["x"])), 0]


@pytest.mark.parametrize("local", ["ForestClassifier", "BoostedRegressor"])
def test_distributed_fits_refuse_categorical_columns(local):
    pytest.importorskip("distributed")
    from tarnwood import dask as tw_dask

    cls = {"ForestClassifier": tw_dask.DaskForestClassifier,
           "BoostedRegressor": tw_dask.DaskBoostedRegressor}[local]
    with pytest.raises(ValueError, match=r"does not take categorical features.*'city'"):
        cls(categorical_features="from_dtype").fit(frame(), np.zeros(60))
    with pytest.raises(ValueError, match="column 0"):
        cls(categorical_features=[0]).fit(np.zeros((4, 2)), np.zeros(4))
    assert "categorical_features" in cls().get_params()


# ---- fitted models (these need the engine's category sets) ----------------------


@pytest.mark.parametrize("name", CLASSIFIERS + REGRESSORS)
def test_strings_categories_and_codes_predict_alike(name):
    X = frame(120)
    y = target(X, regression=name in REGRESSORS)
    as_codes = X.assign(city=X["city"].map({"lima": 0, "oslo": 1, "paris": 2}))
    fitted = [
        make(name).fit(X, y),
        make(name).fit(X.assign(city=pd.Categorical(X["city"])), y),
        make(name, categorical_features=["city", "size"]).fit(as_codes, y),
    ]
    method = "predict_proba" if name in CLASSIFIERS else "predict"
    test = frame(40, seed=5)
    test_codes = test.assign(city=test["city"].map({"lima": 0, "oslo": 1, "paris": 2}))
    first = getattr(fitted[0], method)(test)
    np.testing.assert_array_equal(getattr(fitted[1], method)(test), first)
    np.testing.assert_array_equal(getattr(fitted[2], method)(test_codes), first)
    again = pickle.loads(pickle.dumps(fitted[0]))
    assert [c if c is None else c.tolist() for c in again.categories_] == \
        [["lima", "oslo", "paris"], None, ["s", "m", "l"]]
    np.testing.assert_array_equal(getattr(again, method)(test), first)


@pytest.mark.parametrize("name", ["TreeClassifier", "ForestClassifier"])
def test_an_unseen_category_predicts_as_a_missing_value(name):
    X = frame(120)
    est = make(name).fit(X, target(X))
    unseen = frame(30, seed=2).assign(city="rome")
    missing = unseen.assign(city=None)
    np.testing.assert_array_equal(est.predict_proba(unseen), est.predict_proba(missing))
    if hasattr(est, "apply"):
        np.testing.assert_array_equal(est.apply(unseen), est.apply(missing))
    est.set_params(missing_unseen="error")
    with pytest.raises(ValueError, match="'rome', a category of column 'city'"):
        est.predict(unseen)


def test_numeric_data_fits_exactly_as_without_the_parameter():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(80, 4))
    y = X[:, 0] > 0
    for name in ("TreeClassifier", "ForestClassifier", "BoostedClassifier"):
        a = make(name).fit(X, y)
        b = make(name, categorical_features=None).fit(pd.DataFrame(X), y)
        assert a.model_.__getstate__() == b.model_.__getstate__()
        np.testing.assert_array_equal(a.predict_proba(X), b.predict_proba(X))
        assert not a.is_categorical_.any()


def test_a_warm_start_keeps_the_fitted_categories():
    X = frame(120)
    est = make("ForestClassifier", warm_start=True).fit(X, target(X))
    est.set_params(n_estimators=6).fit(X, target(X))
    assert est.model_.n_estimators == 6
    fewer = X.assign(city=X["city"].replace("paris", "lima"))
    with pytest.raises(ValueError, match="warm_start needs the categorical features"):
        est.set_params(n_estimators=8).fit(fewer, target(X))
    assert est.model_.n_estimators == 6
