"""Structure discovery without labels.

Makes three clusters of different shapes plus a handful of planted outliers,
fits RandomForestUnsupervised on the unlabelled rows, and saves a PNG of the
2-D proximity embedding with every row coloured by its outlier score.

    python examples/unsupervised_embedding.py [output.png]

matplotlib is optional; without it the script prints a text summary only.
"""
import sys

import numpy as np

import _rs


def make_data(seed=0):
    r = np.random.default_rng(seed)
    p = 6
    round_blob = r.normal(0.0, 1.0, (150, p))
    stretched = r.normal(0.0, 1.0, (150, p)) * [3.0, 0.4, 0.4, 0.4, 0.4, 0.4] + 6.0
    t = r.uniform(0, 2 * np.pi, 150)
    ring = np.zeros((150, p))
    ring[:, 0] = 5 * np.cos(t) - 6
    ring[:, 1] = 5 * np.sin(t) + 6
    ring[:, 2:] = r.normal(0.0, 0.3, (150, p - 2))
    # Outliers: every coordinate copied from some real row, but from rows of
    # different clusters, so only the combination is unusual.
    pool = np.vstack([round_blob, stretched, ring])
    outliers = np.array([[pool[r.integers(len(pool)), j] for j in range(p)] for _ in range(12)])
    x = np.vstack([round_blob, stretched, ring, outliers])
    group = np.repeat([0, 1, 2, 3], [150, 150, 150, 12])
    return x, group


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "unsupervised_embedding.png"
    x, group = make_data()
    model = _rs.RandomForestUnsupervised(n_estimators=300, random_state=7)
    embedding = np.array(model.fit_transform(x, n_components=2))
    scores = np.array(model.outlier_scores())
    importances = model.feature_importances()

    names = ["round blob", "stretched blob", "ring", "planted outliers"]
    for g, name in enumerate(names):
        s = scores[group == g]
        print(f"{name:>16}: {len(s):3d} rows, outlier score median {np.median(s):6.2f}, "
              f"max {s.max():6.2f}")
    top = np.argsort(-scores)[:12]
    print(f"planted outliers among the 12 highest scores: {int((group[top] == 3).sum())} of 12")
    print("feature importances:", " ".join(f"{v:.3f}" for v in importances))

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no picture written")
        return

    fig, ax = plt.subplots(figsize=(7.5, 6))
    markers = ["o", "s", "^", "X"]
    order = np.argsort(scores)  # high scores drawn on top
    vmin, vmax = np.percentile(scores, 2), scores.max()
    for g, name in enumerate(names):
        idx = order[group[order] == g]
        sc = ax.scatter(embedding[idx, 0], embedding[idx, 1], c=scores[idx], cmap="viridis",
                        vmin=vmin, vmax=vmax, marker=markers[g], s=70 if g == 3 else 22,
                        edgecolors="red" if g == 3 else "none", linewidths=1.0, label=name)
    fig.colorbar(sc, ax=ax, label="outlier score")
    ax.set_xlabel("MDS axis 1")
    ax.set_ylabel("MDS axis 2")
    ax.set_title("Unsupervised random forest: proximity embedding")
    ax.legend(loc="best", fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
