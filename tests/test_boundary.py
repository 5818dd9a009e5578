"""The Python surface of the module: registration, signatures, argument
conversion, error types and access rules."""
import ctypes
import inspect

import numpy as np
import pytest

import _rs

ORDER = [
    "DecisionTree",
    "RandomForestRegressor",
    "RandomForestClassifier",
    "TreeSHAP",
    "Tarnwood",
    "TarnwoodClassifier",
    "TarnwoodRegressor",
    "RandomForestUnsupervised",
]


def test_all_lists_registered_classes_in_order():
    assert _rs.__all__ == [n for n in ORDER if hasattr(_rs, n)]
    assert "DecisionTree" in _rs.__all__
    for name in _rs.__all__:
        cls = getattr(_rs, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name
        assert repr(cls) == f"<class 'builtins.{name}'>"


def test_decision_tree_signatures():
    sig = inspect.signature(_rs.DecisionTree)
    assert str(sig) == (
        '(max_depth=None, criterion="entropy", task="classification", '
        "random_state=None, min_samples_split=2, min_samples_leaf=1)"
    ) or str(sig) == (
        "(max_depth=None, criterion='entropy', task='classification', "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)"
    )
    assert _rs.DecisionTree.__text_signature__.startswith("(max_depth=None")
    assert str(inspect.signature(_rs.DecisionTree.fit)) == "(self, /, x, y, sample_weight=None)"
    t = _rs.DecisionTree()
    assert str(inspect.signature(t.fit)) == "(x, y, sample_weight=None)"
    assert str(inspect.signature(t.predict)) == "(x)"
    assert str(inspect.signature(t.get_depth)) == "()"
    assert _rs.DecisionTree.fit.__text_signature__ == "($self, x, y, sample_weight=None)"


def test_array_arguments_are_type_checked():
    t = _rs.DecisionTree()
    y = np.zeros(3)
    for bad in ([[1.0], [2.0], [3.0]], np.zeros((3, 1), dtype=np.int64), np.zeros(3),
                np.zeros((3, 1, 1)), np.zeros((3, 1), dtype=np.float32)):
        with pytest.raises(TypeError, match="^argument 'x': "):
            t.fit(bad, y)
    with pytest.raises(TypeError, match="^argument 'y': "):
        t.fit(np.zeros((3, 1)), np.zeros((3, 1)))
    with pytest.raises(TypeError, match="^argument 'sample_weight': "):
        t.fit(np.zeros((3, 1)), y, [1.0, 1.0, 1.0])
    assert not t.is_fitted


def test_scalar_arguments_follow_conversion_rules():
    with pytest.raises(OverflowError):
        _rs.DecisionTree(max_depth=-1)
    with pytest.raises(TypeError, match="^argument 'max_depth': "):
        _rs.DecisionTree(max_depth=2.5)
    with pytest.raises(TypeError, match="^argument 'criterion': "):
        _rs.DecisionTree(criterion=1)
    with pytest.raises(OverflowError):
        _rs.DecisionTree(random_state=2**64)
    with pytest.raises(OverflowError):
        _rs.DecisionTree(min_samples_leaf=-3)
    _rs.DecisionTree(random_state=2**64 - 1, max_depth=np.int64(3))
    with pytest.raises(TypeError):
        _rs.DecisionTree(unknown=1)
    with pytest.raises(TypeError):
        _rs.DecisionTree(None, "gini", "regression", None, 2, 1, 99)
    with pytest.raises(TypeError):
        _rs.DecisionTree(None, max_depth=3)
    t = _rs.DecisionTree()
    with pytest.raises(TypeError):
        t.fit(np.zeros((2, 1)))
    with pytest.raises(TypeError):
        t.get_depth(1)


def test_internal_failure_is_not_an_exception_subclass():
    with pytest.raises(BaseException) as info:
        try:
            _rs.DecisionTree(task="clustering")
        except Exception:  # must not catch it
            pytest.fail("internal failure was caught as Exception")
    exc_type = type(info.value)
    assert exc_type.__name__ == "PanicException"
    assert not issubclass(exc_type, Exception)
    assert "task must be 'classification' or 'regression'" in str(info.value)


def test_not_fitted_is_value_error_and_properties_are_read_only():
    t = _rs.DecisionTree()
    with pytest.raises(ValueError, match="DecisionTree has not been fitted"):
        t.predict(np.zeros((1, 1)))
    with pytest.raises(AttributeError):
        t.is_fitted = True
    with pytest.raises(AttributeError):
        t.classes_ = [1]


def test_any_array_layout_is_read_correctly():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(60, 4))
    y = (x[:, 1] > 0).astype(float)
    ref = _rs.DecisionTree(random_state=0)
    ref.fit(x, y)
    expected = ref.predict(x)
    layouts = [
        np.asfortranarray(x),
        np.hstack([x, x])[:, :4],
        np.repeat(x, 2, axis=1)[:, ::2],
        x[::-1][::-1],
        x.astype(">f8"),
    ]
    for xl in layouts:
        np.testing.assert_array_equal(xl, x)
        t = _rs.DecisionTree(random_state=0)
        t.fit(xl, np.repeat(y, 2)[::2])
        assert t.predict(xl) == expected


def test_second_initialisation_fails_with_import_error():
    # Calling the initialisation function of the already loaded library again.
    init = ctypes.PyDLL(_rs.__file__).PyInit__rs
    init.restype = ctypes.py_object
    with pytest.raises(ImportError):
        init()
