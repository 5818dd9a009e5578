"""Saved model states: pickling and deep copies keep models identical, and a
corrupted or foreign state is refused cleanly."""
import copy
import pickle

import numpy as np
import pytest

import _rs


def _data(rng, n=80, p=3):
    x = rng.normal(size=(n, p))
    y = (x[:, 0] + 0.3 * x[:, 1] > 0).astype(float)
    return x, y


@pytest.mark.parametrize("task", ["classification", "regression"])
def test_decision_tree_round_trips(rng, task):
    x, y = _data(rng)
    if task == "regression":
        y = x[:, 0] * 2.0 + x[:, 2]
    model = _rs.DecisionTree(task=task, max_depth=5, random_state=3, min_samples_leaf=2)
    unfitted = pickle.loads(pickle.dumps(model))
    assert not unfitted.is_fitted
    model.fit(x, y)
    for clone in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model), copy.copy(model)):
        assert clone.is_fitted
        assert clone.predict(x) == model.predict(x)
        assert clone.classes_ == model.classes_
        assert clone.get_depth() == model.get_depth()
        if task == "classification":
            assert clone.predict_proba(x) == model.predict_proba(x)
    # The copy is independent of the original.
    clone = copy.deepcopy(model)
    model.fit(x[:10], 1.0 - y[:10])
    assert clone.predict(x) != model.predict(x) or clone.get_n_leaves() != model.get_n_leaves()


def test_corrupted_states_are_value_errors(rng):
    x, y = _data(rng)
    model = _rs.DecisionTree(random_state=0)
    model.fit(x, y)
    state = model.__getstate__()
    target = _rs.DecisionTree()
    bad_states = [b"", b"junk", state[:-1], state + b"\0", state[:len(state) // 2]]
    # Flip single bytes all over the state: each result either loads into a
    # structurally sound tree or is refused; nothing may crash.
    for i in range(0, len(state), max(1, len(state) // 200)):
        mutated = bytearray(state)
        mutated[i] ^= 0xFF
        bad_states.append(bytes(mutated))
    for bad in bad_states:
        try:
            target.__setstate__(bad)
        except ValueError as err:
            assert "invalid saved state" in str(err)
        else:
            target.predict(np.zeros((2, 64)))
    with pytest.raises(TypeError):
        target.__setstate__("not bytes")


def test_state_naming_the_largest_feature_number_is_refused():
    # A hand-made state whose split tests feature 2**32 - 1 but claims the
    # tree reads no column at all: the column count must not wrap around to
    # zero, or predict would read far outside the row.
    import struct
    import zlib

    x = np.array([[0.0], [1.0], [2.0], [3.0]])
    tree = _rs.DecisionTree(task="regression", max_depth=1)
    tree.fit(x, np.array([0.0, 0.0, 1.0, 1.0]))
    state = bytearray(tree.__getstate__()[:-4])
    at = state.find(struct.pack("<QQ", 1, 3))  # columns read, node count
    assert at > 0
    state[at:at + 8] = struct.pack("<Q", 0)
    state[at + 32:at + 40] = struct.pack("<Q", 0xFFFFFFFF)  # root's feature
    state += struct.pack("<I", zlib.crc32(bytes(state)))
    with pytest.raises(ValueError, match="invalid saved state"):
        _rs.DecisionTree().__setstate__(bytes(state))
