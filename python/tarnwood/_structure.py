"""Read-only views of fitted trees and forests for tools that read tree
structure: node arrays in the layout scikit-learn's `tree_` objects use,
decision paths as sparse indicator matrices, and permutation-importance
results as a Bunch."""
import numpy as np
from scipy import sparse
from sklearn.utils import Bunch

TREE_LEAF = -1
TREE_UNDEFINED = -2


class TreeStructure:
    """The node arrays of one fitted tree.

    Nodes are numbered in pre-order (root 0, then the left subtree, then the
    right subtree), the numbering `apply` reports. A row goes left at a
    split when its value of `feature` is <= `threshold`, and a row whose
    value is missing (NaN) goes left where `missing_go_to_left` is 1.

    Attributes
    ----------
    node_count : int
    children_left, children_right : ndarray of int64, shape (node_count,)
        Child node numbers; -1 at leaves.
    feature : ndarray of int64, shape (node_count,)
        Feature tested by each split; -2 at leaves.
    threshold : ndarray of float64, shape (node_count,)
        Split thresholds; -2.0 at leaves. A split of "missing or not" has
        threshold +inf (every value left, missing values right) or -inf
        with missing values going left.
    missing_go_to_left : ndarray of uint8, shape (node_count,)
        1 where a split sends missing values left, else 0 (leaves 0). Where
        the node's training rows had missing values of the feature, the
        side is the better of the two; elsewhere it is the child that more
        of the node's training samples reached (ties: right).
    is_categorical : ndarray of bool, shape (node_count,)
        True where a split tests a category set (a categorical feature):
        such a split has threshold NaN, and a row goes left when its
        category's code (its position in the estimator's `categories_`) is
        in the set; a missing or unseen category goes the missing side.
    categorical_bitset : ndarray of uint32, shape (node_count, 8)
        The set of each category split: code c goes left when bit c % 32 of
        word c // 32 is set (zeros at other nodes).
    value : ndarray of float64, shape (node_count, 1, n_values)
        Per node, the weighted class shares of its training sample (a
        classifier; columns in the order of `classes_`) or its weighted mean
        target (a regressor). At leaves these are the tree's predictions.
    n_node_samples : ndarray of int64, shape (node_count,)
        Bootstrap positions that reached each node (a row drawn twice counts
        twice).
    weighted_n_node_samples : ndarray of float64, shape (node_count,)
        Their total weight (sample weights times class weights).
    max_depth : int
        Depth of the tree (a single leaf has depth 0).
    n_leaves : int
    """

    def __init__(self, arrays):
        for key, value in arrays.items():
            if key == "missing_go_to_left":
                value = value.astype(np.uint8)
            elif key == "is_categorical":
                value = value.astype(bool)
            elif key == "categorical_bitset":
                value = value.astype(np.uint32)
            value.setflags(write=False)
            setattr(self, key, value)
        self.node_count = int(self.children_left.shape[0])
        self.capacity = self.node_count
        self.n_outputs = 1
        self.n_leaves = int(np.count_nonzero(self.children_left == TREE_LEAF))

    @property
    def max_depth(self):
        depth = np.zeros(self.node_count, dtype=np.int64)
        splits = np.flatnonzero(self.children_left != TREE_LEAF)
        for i in splits:  # children follow their parent in pre-order
            depth[self.children_left[i]] = depth[self.children_right[i]] = depth[i] + 1
        return int(depth.max()) if self.node_count else 0

    def __repr__(self):
        return f"TreeStructure(node_count={self.node_count}, max_depth={self.max_depth})"


def decision_path_matrix(row_begin, columns, offsets, n_rows):
    """The indicator matrix of decision paths: entry (i, j) is 1 when row i
    passes node j of the stacked trees (node k of tree t is column
    offsets[t] + k)."""
    data = np.ones(columns.shape[0], dtype=np.int64)
    indicator = sparse.csr_matrix((data, columns, row_begin), shape=(n_rows, int(offsets[-1])))
    return indicator, offsets


def permutation_bunch(drops):
    """Bunch(importances_mean, importances_std, importances) of a
    (n_features, n_repeats) array of score drops."""
    return Bunch(
        importances_mean=np.mean(drops, axis=1),
        importances_std=np.std(drops, axis=1),
        importances=drops,
    )
