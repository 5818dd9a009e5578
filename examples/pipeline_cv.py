"""tarnwood's estimators inside scikit-learn pipelines, with cross-validation,
a grid search and conformal prediction intervals.

Run after `pip install .`:  python examples/pipeline_cv.py
"""
import numpy as np
from sklearn.compose import ColumnTransformer
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score, train_test_split
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder

import tarnwood


def make_data(n, seed):
    """Four numeric columns and one categorical column (as text)."""
    rng = np.random.default_rng(seed)
    numeric = rng.normal(size=(n, 4))
    colour = rng.choice(np.array(["red", "green", "blue"]), size=n)
    X = np.empty((n, 5), dtype=object)
    X[:, :4] = numeric
    X[:, 4] = colour
    shift = np.select([colour == "red", colour == "green"], [1.0, -1.0], 0.0)
    y_reg = np.sin(2 * numeric[:, 0]) + numeric[:, 1] ** 2 + shift + rng.normal(0, 0.3, n)
    y_cls = np.where(numeric[:, 0] + shift > 0.3, "high", np.where(numeric[:, 1] > 0, "mid", "low"))
    return X, y_reg, y_cls


def pipeline(model):
    encode = ColumnTransformer(
        [("colour", OneHotEncoder(), [4])], remainder="passthrough", sparse_threshold=0
    )
    return Pipeline([("encode", encode), ("model", model)])


def main():
    X, y_reg, y_cls = make_data(1_500, seed=0)
    cv = KFold(n_splits=5, shuffle=True, random_state=0)

    print("5-fold cross-validation")
    for name, model, target, scoring in [
        ("TreeClassifier", tarnwood.TreeClassifier(max_depth=6, random_state=0), y_cls, "accuracy"),
        ("ForestClassifier", tarnwood.ForestClassifier(n_estimators=100, random_state=0), y_cls, "accuracy"),
        ("BoostedClassifier", tarnwood.BoostedClassifier(n_estimators=10, random_state=0), y_cls, "accuracy"),
        ("TreeRegressor", tarnwood.TreeRegressor(min_samples_leaf=10, random_state=0), y_reg, "r2"),
        ("ForestRegressor", tarnwood.ForestRegressor(n_estimators=100, random_state=0), y_reg, "r2"),
        ("BoostedRegressor", tarnwood.BoostedRegressor(n_estimators=20, random_state=0), y_reg, "r2"),
    ]:
        scores = cross_val_score(pipeline(model), X, target, cv=cv, scoring=scoring)
        print(f"  {name:18s} {scoring:8s} {scores.mean():.3f} +/- {scores.std():.3f}")

    print("\ngrid search over the forest's leaf size and feature sampling")
    search = GridSearchCV(
        pipeline(tarnwood.ForestRegressor(n_estimators=60, random_state=0)),
        {"model__min_samples_leaf": [1, 5, 20], "model__max_features": [None, "sqrt", 0.5]},
        cv=3,
        scoring="r2",
    ).fit(X, y_reg)
    print(f"  best parameters {search.best_params_}, r2 {search.best_score_:.3f}")

    print("\nsplit-conformal intervals of the boosted regressor on held-out rows")
    X_train, X_test, y_train, y_test = train_test_split(X, y_reg, test_size=0.4, random_state=1)
    model = pipeline(tarnwood.BoostedRegressor(n_estimators=20, random_state=0)).fit(X_train, y_train)
    X_test_encoded = model[:-1].transform(X_test)
    for alpha in (0.5, 0.2, 0.1, 0.05):
        bounds = model[-1].predict_interval(X_test_encoded, alpha=alpha)
        covered = np.mean((bounds[:, 0] <= y_test) & (y_test <= bounds[:, 1]))
        width = bounds[0, 1] - bounds[0, 0]
        print(f"  level {1 - alpha:.0%}: coverage {covered:.3f}, width {width:.3f}")


if __name__ == "__main__":
    main()
