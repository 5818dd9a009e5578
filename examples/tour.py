"""A short tour of tarnwood's single exact decision tree.

Run after `pip install .`:  python examples/tour.py
"""
import numpy as np

import _rs


def make_data(n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3.0, 3.0, size=(n, 4))
    # Three classes cut out of the plane of the first two features; the other
    # two features are noise.
    y = np.where(x[:, 0] + x[:, 1] > 1.0, 2.0, np.where(x[:, 0] - x[:, 1] > 0.5, 1.0, 0.0))
    target = np.sin(x[:, 0]) + 0.5 * x[:, 1] ** 2 + rng.normal(0, 0.1, n)
    return x, y, target


def main():
    x, y, target = make_data(2_000, seed=0)
    x_test, y_test, target_test = make_data(500, seed=1)

    clf = _rs.DecisionTree(max_depth=6, random_state=0)
    clf.fit(x, y)
    pred = np.array(clf.predict(x_test))
    print("classification tree")
    print(f"  classes_          {clf.classes_}")
    print(f"  depth / leaves    {clf.get_depth()} / {clf.get_n_leaves()}")
    print(f"  test accuracy     {np.mean(pred == y_test):.3f}")
    print(f"  predict_proba[:3] {[[round(p, 3) for p in row] for row in clf.predict_proba(x_test[:3])]}")

    reg = _rs.DecisionTree(task="regression", min_samples_leaf=5, random_state=0)
    reg.fit(x, target)
    pred = np.array(reg.predict(x_test))
    r2 = 1.0 - np.sum((pred - target_test) ** 2) / np.sum((target_test - target_test.mean()) ** 2)
    print("regression tree")
    print(f"  depth / leaves    {reg.get_depth()} / {reg.get_n_leaves()}")
    print(f"  test R^2          {r2:.3f}")

    try:
        _rs.DecisionTree().fit(np.array([[np.nan]]), np.array([0.0]))
    except ValueError as err:
        print(f"invalid input is refused: {err}")


if __name__ == "__main__":
    main()
