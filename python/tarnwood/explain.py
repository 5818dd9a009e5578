"""Exact Shapley values of the supervised estimators, and their optional
conversion to a `shap.Explanation`.

Every supervised estimator (trees, forests, boosted ensembles) gains
`explain` and `explain_interactions` from `Explainable`. Values are exact,
computed in the engine, and identical for every `n_jobs`.

Outputs (the scores explained, "raw" scores):

- tree and forest classifiers: the class probabilities, one output per
  class in the order of `classes_` (a forest's are the mean of its trees');
- regressors: the predicted value (a forest's mean of trees; a boosted
  model's init + learning_rate x the sum over rounds of each round's forest
  mean);
- boosted classifiers: raw scores before the link: one output, the log-odds
  of `classes_[1]`, for two classes (predict_proba = 1 / (1 + exp(-score)));
  one output per class beyond, turned into probabilities by softmax.

Local accuracy: for each row and output, expected value + the sum of the
row's values equals that score (to rounding).
"""
import numpy as np

from . import _base


class Explainable:
    """`explain` and `explain_interactions` for estimators whose fitted
    engine model (`model_`) offers them."""

    def explain(self, X, X_background=None, *, return_expected_value=False):
        """Exact Shapley values of the model's raw scores for the rows of X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Rows to explain.
        X_background : array-like of shape (n_background, n_features), default=None
            None: path-dependent values (shap's "tree_path_dependent"): a
            feature left out of a coalition follows both sides of each of
            its splits, weighted by the training samples that went each way
            (each node's sample count, bootstrap repeats included).
            Given: interventional values (shap's "interventional") against
            these rows: a coalition's value is the mean, over background
            rows, of the score of the row that takes X's values on the
            coalition and the background row's elsewhere. Exact; the work
            grows with the number of background rows.
        return_expected_value : bool, default=False
            Also return the expected value per output: the cover-weighted
            mean score (path-dependent) or the mean score over the
            background rows (interventional).

        Returns
        -------
        values : ndarray of shape (n_samples, n_outputs, n_features)
            One block of columns per output (see the module documentation
            for the outputs of each estimator).
        expected_value : ndarray of shape (n_outputs,)
            Only when return_expected_value is True. For every row,
            expected_value + values.sum(axis=2) equals the raw scores.
        """
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        background = None
        if X_background is not None:
            background = _base.check_features(self, X_background, reset=False)
            if background.shape[0] == 0:
                raise ValueError("X_background has no rows; pass at least one row or None.")
        values, expected = model.explain(X, background, n_jobs=self._threads())
        return (values, expected) if return_expected_value else values

    def explain_interactions(self, X, *, return_expected_value=False):
        """Exact path-dependent Shapley interaction values for the rows of X.

        Returns an array of shape (n_samples, n_outputs, n_features,
        n_features): per row and output a symmetric matrix whose entry (i, j)
        is half the interaction of features i and j and whose row i sums to
        feature i's Shapley value (the diagonal holds the rest). With
        return_expected_value, also the expected value per output. Memory
        grows as n_samples x n_outputs x n_features**2.
        """
        model = self._fitted_model()
        X = _base.check_features(self, X, reset=False)
        values, expected = model.explain_interactions(X, n_jobs=self._threads())
        return (values, expected) if return_expected_value else values


def shap_explanation(estimator, X, X_background=None, feature_names=None):
    """A `shap.Explanation` of the estimator's raw scores for the rows of X,
    for shap's plots (`shap.plots.beeswarm`, `shap.plots.waterfall`, ...).

    The values are tarnwood's own (`estimator.explain`); shap is only needed
    for the Explanation class and imported here, never by tarnwood itself.
    One output: values of shape (n_samples, n_features) and base values of
    shape (n_samples,); several outputs (classes): shape (n_samples,
    n_features, n_outputs) and (n_samples, n_outputs), as shap lays them out.
    Feature names default to the estimator's `feature_names_in_`, else
    "x0", "x1", ...
    """
    try:
        import shap
    except ImportError as error:  # pragma: no cover - depends on the environment
        raise ImportError(
            "shap_explanation needs the optional dependency shap (pip install shap)"
        ) from error
    values, expected = estimator.explain(X, X_background, return_expected_value=True)
    data = _base.check_features(estimator, X, reset=False)
    if feature_names is None:
        names = getattr(estimator, "feature_names_in_", None)
        feature_names = (
            list(names) if names is not None else [f"x{i}" for i in range(values.shape[2])]
        )
    n = values.shape[0]
    if values.shape[1] == 1:
        shap_values = values[:, 0, :]
        base = np.full(n, expected[0])
    else:
        shap_values = np.transpose(values, (0, 2, 1))
        base = np.tile(expected, (n, 1))
    return shap.Explanation(
        values=shap_values, base_values=base, data=data, feature_names=list(feature_names)
    )
