"""TreeClassifier.tree_ read as scikit-learn's Tree: the same arrays, shapes
and methods on data both grow the same tree from (values exact in float32,
no ties), scikit-learn's own tools on it, and pickles of earlier versions."""
import copyreg
import pickle

import numpy as np
import pytest
from sklearn.tree import DecisionTreeClassifier, export_graphviz

from tavrin_tools import TreeClassifier
from tavrin_tools._tree import FlatTree


def data(n=400, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.permutation(n * 4).reshape(n, 4).astype(np.float64)  # distinct and exact in float32
    y = (X[:, 0] > 2 * n).astype(int) + (X[:, 1] > 3 * n) + (X[:, 2] > 3.5 * n)
    return X, y, rng.integers(1, 4, n).astype(np.float64)


@pytest.mark.parametrize("params", [dict(max_depth=4), dict(max_leaf_nodes=12, criterion="entropy")])
def test_tree_arrays_and_methods_match_scikit_learns(params):
    X, y, w = data()
    ours = TreeClassifier(**params).fit(X, y, sample_weight=w)
    sk = DecisionTreeClassifier(random_state=0, **params).fit(X, y, sample_weight=w)
    a, b = ours.tree_, sk.tree_
    for name in ("children_left", "children_right", "feature", "threshold", "n_node_samples",
                 "missing_go_to_left", "n_classes"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    # scikit-learn before 1.4 kept weighted counts in value, its shares since.
    shares = b.value / b.value.sum(axis=2, keepdims=True)
    np.testing.assert_allclose(a.value, shares, rtol=1e-12, atol=1e-15)
    for name in ("impurity", "weighted_n_node_samples"):
        np.testing.assert_allclose(getattr(a, name), getattr(b, name), rtol=1e-12, atol=1e-15, err_msg=name)
    assert (a.node_count, a.capacity, a.max_depth, a.n_leaves, a.n_outputs, a.max_n_classes, a.n_features) == (
        b.node_count, b.capacity, b.max_depth, b.n_leaves, b.n_outputs, b.max_n_classes, b.n_features)
    X32 = X.astype(np.float32)
    np.testing.assert_array_equal(a.apply(X32), b.apply(X32))
    np.testing.assert_array_equal(a.decision_path(X32).toarray(), b.decision_path(X32).toarray())
    np.testing.assert_allclose(a.predict(X32), shares[b.apply(X32), 0], rtol=1e-12)
    for normalize in (True, False):
        np.testing.assert_allclose(a.compute_feature_importances(normalize=normalize),
                                   b.compute_feature_importances(normalize=normalize), rtol=1e-12)
    np.testing.assert_allclose(ours.feature_importances_, sk.feature_importances_, rtol=1e-12)
    if np.array_equal(b.value, shares):  # scikit-learn's value holds shares: its export reads ours alike
        assert export_graphviz(ours) == export_graphviz(sk)
    else:
        assert export_graphviz(ours).startswith("digraph Tree {")
    # The weighted counts stay at hand.
    np.testing.assert_allclose(a.weighted_class_counts, shares[:, 0] * b.weighted_n_node_samples[:, None])


class OldTree:
    """Pickles as earlier versions' compiled tree did (class, then its state dict)."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return (copyreg.__newobj__, (OldTree,), self.state)


def test_pickles_of_the_compiled_tree_load():
    # Earlier versions pickled the tree as an instance of the learner
    # module's FlatTree with a dict holding one category set per node.
    rng = np.random.default_rng(3)
    X = np.column_stack([rng.integers(0, 70, 500), rng.normal(size=500)]).astype(np.float64)
    y = ((X[:, 0] % 5 < 2) ^ (X[:, 1] > 0)).astype(int)
    est = TreeClassifier(categorical_features=[0]).fit(X, y)
    t = est.tree_
    words = 2
    old = {k: np.array(v) for k, v in t.to_dict().items()
           if k not in ("category_offset", "category_bits", "n_categories")}
    old.update(n_classes=2, n_features=2, category_left=np.zeros((t.node_count, words), np.uint64))
    for i, bits in enumerate(t.category_left):
        if bits is not None:
            old["category_left"][i] = bits
    old["category_left"][t.children_left < 0] = 7  # leaves' sets were never read

    blob = pickle.dumps(OldTree(old), protocol=2).replace(
        OldTree.__module__.encode() + b"\nOldTree", b"tavrin_tools._learner\nFlatTree")
    back = pickle.loads(blob)
    assert isinstance(back, FlatTree)
    assert (back.is_categorical & (back.children_left >= 0)).any()
    np.testing.assert_array_equal(back.apply(X), t.apply(X))
    odd = np.array([[69.0, 0.0], [70.0, 0.0], [127.0, 1.0], [128.0, -1.0], [np.nan, 0.5]])
    np.testing.assert_array_equal(back.apply(odd), t.apply(odd))
