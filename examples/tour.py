"""A tour of tarnwood's estimators on data sets that ship with scikit-learn.

Every estimator of the package is fitted on three quarters of a data set and
scored on the rest, next to scikit-learn's nearest equivalent (with the same
tree settings where the two share them). A table of scores and fit times
comes first, then what the estimators offer beyond a score: explanations,
prediction intervals, importances and outlier scores. The scores are the same
on every run (every random_state is fixed); the fit times are this machine's.

Run after `pip install .`:  python examples/tour.py
"""
import time

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes, load_digits, load_wine
from sklearn.decomposition import PCA
from sklearn.ensemble import (
    HistGradientBoostingClassifier,
    HistGradientBoostingRegressor,
    IsolationForest,
    RandomForestClassifier,
    RandomForestRegressor,
)
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import cross_val_score, train_test_split
from sklearn.neighbors import KNeighborsClassifier
from sklearn.preprocessing import StandardScaler
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

import tarnwood

SEED = 0


def timed_fit(model, *args):
    start = time.perf_counter()
    model.fit(*args)
    return model, time.perf_counter() - start


def split(loader, named_labels=False):
    """(data, x_train, x_test, y_train, y_test); with `named_labels` the
    targets are the class names ("benign", ...) instead of their codes."""
    data = loader()
    y = data.target_names[data.target] if named_labels else data.target
    x_train, x_test, y_train, y_test = train_test_split(data.data, y, test_size=0.25, random_state=SEED)
    return data, x_train, x_test, y_train, y_test


class Table:
    COLUMNS = ("estimator", "data (train/test)", "metric", "tarnwood", "fit s",
               "scikit-learn equivalent", "score", "fit s")

    def __init__(self):
        self.rows = []

    def add(self, name, data, metric, ours, reference):
        """`ours` is (score, fit seconds), `reference` (name, score, fit seconds)."""
        (score, seconds), (ref_name, ref_score, ref_seconds) = ours, reference
        self.rows.append([name, data, metric, f"{score:.3f}", f"{seconds:.3f}",
                          ref_name, f"{ref_score:.3f}", f"{ref_seconds:.3f}"])

    def print(self):
        widths = [max(len(str(r[i])) for r in [self.COLUMNS] + self.rows) for i in range(len(self.COLUMNS))]
        numeric = {3, 4, 6, 7}
        for row in [self.COLUMNS] + self.rows:
            cells = [c.rjust(w) if i in numeric else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))]
            print("  ".join(cells).rstrip())


def trees(table, notes, cancer, diabetes):
    data, x_train, x_test, y_train, y_test = cancer
    shape = f"breast_cancer {len(x_train)}/{len(x_test)}"
    tree, t = timed_fit(tarnwood.TreeClassifier(max_depth=5, random_state=SEED), x_train, y_train)
    ref, rt = timed_fit(DecisionTreeClassifier(max_depth=5, random_state=SEED), x_train, y_train)
    table.add("TreeClassifier", shape, "accuracy", (tree.score(x_test, y_test), t),
              ("DecisionTreeClassifier", ref.score(x_test, y_test), rt))
    shap = tree.explain(x_test[:1], X_background=x_train)[0, list(tree.classes_).index("malignant")]
    top = np.argmax(np.abs(shap))
    notes.append(f"TreeClassifier.explain: exact Shapley values; '{data.feature_names[top]}' moves the "
                 f"first test tumour's P(malignant) most ({shap[top]:+.3f})")

    _, x_train, x_test, y_train, y_test = diabetes
    shape = f"diabetes {len(x_train)}/{len(x_test)}"
    tree, t = timed_fit(tarnwood.TreeRegressor(max_depth=3, random_state=SEED), x_train, y_train)
    ref, rt = timed_fit(DecisionTreeRegressor(max_depth=3, random_state=SEED), x_train, y_train)
    table.add("TreeRegressor", shape, "R^2", (tree.score(x_test, y_test), t),
              ("DecisionTreeRegressor", ref.score(x_test, y_test), rt))


def forests(table, notes, digits, diabetes):
    # Both sides at their defaults: 100 trees, sqrt(64) = 8 pixels per split.
    _, x_train, x_test, y_train, y_test = digits
    shape = f"digits {len(x_train)}/{len(x_test)}"
    forest, t = timed_fit(tarnwood.ForestClassifier(random_state=SEED), x_train, y_train)
    ref, rt = timed_fit(RandomForestClassifier(n_jobs=-1, random_state=SEED), x_train, y_train)
    table.add("ForestClassifier", shape, "accuracy", (forest.score(x_test, y_test), t),
              ("RandomForestClassifier", ref.score(x_test, y_test), rt))

    _, x_train, x_test, y_train, y_test = diabetes
    shape = f"diabetes {len(x_train)}/{len(x_test)}"
    forest, t = timed_fit(tarnwood.ForestRegressor(min_samples_leaf=5, random_state=SEED), x_train, y_train)
    ref, rt = timed_fit(
        RandomForestRegressor(min_samples_leaf=5, n_jobs=-1, random_state=SEED), x_train, y_train
    )
    table.add("ForestRegressor", shape, "R^2", (forest.score(x_test, y_test), t),
              ("RandomForestRegressor", ref.score(x_test, y_test), rt))
    for method in ("jackknife+", "quantile"):
        bounds = forest.predict_interval(x_test, alpha=0.1, method=method)
        covered = np.mean((bounds[:, 0] <= y_test) & (y_test <= bounds[:, 1]))
        widths = bounds[:, 1] - bounds[:, 0]
        notes.append(f"ForestRegressor.predict_interval({method}): 90% out-of-bag intervals cover "
                     f"{covered:.1%} of the test patients (widths {widths.min():.0f} to {widths.max():.0f})")


def boosted(table, notes, cancer, diabetes):
    data, x_train, x_test, y_train, y_test = cancer
    shape = f"breast_cancer {len(x_train)}/{len(x_test)}"
    model, t = timed_fit(
        tarnwood.BoostedClassifier(random_state=SEED), x_train, y_train
    )
    ref, rt = timed_fit(HistGradientBoostingClassifier(random_state=SEED), x_train, y_train)
    table.add("BoostedClassifier", shape, "accuracy", (model.score(x_test, y_test), t),
              ("HistGradientBoostingClassifier", ref.score(x_test, y_test), rt))
    bounds = model.predict_interval(x_test, alpha=0.05)
    notes.append(f"BoostedClassifier.predict_interval: 95% Wilson intervals on P({model.classes_[1]}), "
                 f"median width {np.median(bounds[:, 1] - bounds[:, 0]):.3f}")
    top3 = data.feature_names[np.argsort(model.feature_importances_)[::-1][:3]]
    notes.append(f"BoostedClassifier.feature_importances_: top three {', '.join(top3)}")

    _, x_train, x_test, y_train, y_test = diabetes
    shape = f"diabetes {len(x_train)}/{len(x_test)}"
    model, t = timed_fit(
        tarnwood.BoostedRegressor(random_state=SEED), x_train, y_train,
    )
    ref, rt = timed_fit(HistGradientBoostingRegressor(random_state=SEED), x_train, y_train)
    table.add("BoostedRegressor", shape, "R^2", (model.score(x_test, y_test), t),
              ("HistGradientBoostingRegressor", ref.score(x_test, y_test), rt))
    bounds = model.predict_interval(x_test, alpha=0.1)
    covered = np.mean((bounds[:, 0] <= y_test) & (y_test <= bounds[:, 1]))
    notes.append(f"BoostedRegressor.predict_interval: 90% split-conformal intervals cover "
                 f"{covered:.1%} of the {len(y_test)} test patients (width {bounds[0, 1] - bounds[0, 0]:.1f})")


def unsupervised(table, notes):
    # 178 wines of three cultivars, 13 chemical measurements; the labels are
    # only used to judge the embedding.
    wine = load_wine()
    x, labels = wine.data, wine.target
    scaled = StandardScaler().fit_transform(x)
    forest, t = timed_fit(tarnwood.UnsupervisedForest(n_estimators=300, random_state=SEED), x)
    pca, rt = timed_fit(PCA(n_components=2, random_state=SEED), scaled)
    knn = KNeighborsClassifier(n_neighbors=5)

    def separation(embedding):
        return cross_val_score(knn, embedding, labels, cv=5).mean()

    table.add("UnsupervisedForest", f"wine {len(x)}", "5-NN acc. 2-D", (separation(forest.embedding_), t),
              ("PCA (standardised)", separation(pca.transform(scaled)), rt))

    # Outlier scores: ten rows whose measurements are each taken from a
    # different wine break the correlations between columns.
    rng = np.random.default_rng(SEED)
    planted = np.column_stack([rng.choice(x[:, j], size=10) for j in range(x.shape[1])])
    mixed = np.vstack([x, planted])
    is_planted = np.r_[np.zeros(len(x)), np.ones(len(planted))]
    forest = tarnwood.UnsupervisedForest(n_estimators=300, random_state=SEED).fit(mixed)
    iso = IsolationForest(random_state=SEED).fit(mixed)
    notes.append(f"UnsupervisedForest.outlier_scores: ten planted rows of mixed-up measurements are found "
                 f"with ROC AUC {roc_auc_score(is_planted, forest.outlier_scores()):.3f} "
                 f"(IsolationForest {roc_auc_score(is_planted, -iso.score_samples(mixed)):.3f})")


def main():
    # Binary classification: 569 tumours, 30 measurements each, labelled by
    # name ("benign" or "malignant").
    cancer = split(load_breast_cancer, named_labels=True)
    # Ten classes: 1797 handwritten digits of 8 x 8 pixels.
    digits = split(load_digits)
    # Regression: disease progression a year on for 442 diabetes patients,
    # 10 measurements each.
    diabetes = split(load_diabetes)

    table, notes = Table(), []
    trees(table, notes, cancer, diabetes)
    forests(table, notes, digits, diabetes)
    boosted(table, notes, cancer, diabetes)
    unsupervised(table, notes)
    table.print()
    print()
    for note in notes:
        print(note)
    try:
        tarnwood.ForestClassifier().fit([[0.0, np.inf], [1.0, 2.0]], ["a", "b"])
    except ValueError as err:
        print(f"invalid input is refused: ForestClassifier().fit(X with an infinity) -> "
              f"ValueError: {str(err).splitlines()[0]}")


if __name__ == "__main__":
    main()
