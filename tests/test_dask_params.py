"""The distributed fit with the parameters that change how the tree grows
(best-first growth, drawn features, random splits, monotonic constraints,
declared categorical columns): array for array the in-memory fit's tree."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from tavrin_tools import TreeClassifier  # noqa: E402
# The module's cluster of worker processes is test_dask_fit's fixture.
from test_dask_fit import assert_same_tree, client, frame_parts  # noqa: E402, F401


@st.composite
def rows(draw, max_rows=80, max_cols=4, classes=3):
    n = draw(st.integers(1, max_rows))
    p = draw(st.integers(1, max_cols))
    # Few distinct values: ties between rows, features and splits.
    X = np.array(draw(st.lists(st.sampled_from([0.0, 1.0, 1.5, 2.0, 2.0 + 5e-8, 3.0, 7.0, np.nan]),
                               min_size=n * p, max_size=n * p))).reshape(n, p)
    if draw(st.booleans()):
        X[:, -1] = 4.0  # a constant column
    y = np.array(draw(st.lists(st.integers(0, classes - 1), min_size=n, max_size=n)))
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=4)))
    sizes = np.diff([0] + cuts + [n]).tolist()  # some partitions empty or of one row
    return X, y, sizes, draw(st.sampled_from([2, 256]))


def both(params, X, y, sizes, max_bins, as_array=True, w=None):
    """The in-memory and the distributed fit of the same rows."""
    expected = TreeClassifier(**params).fit(X, y, sample_weight=w)
    if as_array:
        chunks = tuple(sizes)
        Xd, yd = da.from_array(X, chunks=(chunks, X.shape[1])), da.from_array(y, chunks=(chunks,))
        wd = None if w is None else da.from_array(w, chunks=(chunks,))
    else:
        _, parts = frame_parts(X, y, w, sizes)
        Xd, yd, wd = parts + [None] * (3 - len(parts))
    with dask.config.set({"tavrin.max_bins": max_bins}):
        got = TreeClassifier(**params).fit(Xd, yd, sample_weight=wd)
    assert_same_tree(expected, got)
    return expected, got


@settings(max_examples=15, deadline=None)
@given(rows(), st.integers(2, 12), st.sampled_from(["gini", "entropy"]), st.sampled_from([0.0, 0.02]))
def test_best_first_growth(client, problem, leaves, criterion, decrease):
    X, y, sizes, max_bins = problem
    both(dict(max_leaf_nodes=leaves, criterion=criterion, min_impurity_decrease=decrease), X, y, sizes, max_bins)


def test_best_first_growth_of_a_larger_tree(client):
    # Many near-equal improvements, a budget spent deep in the tree, and
    # weighted rows: the order of the splits and the ids of the nodes.
    rng = np.random.default_rng(4)
    X = rng.normal(size=(1500, 3)).round(1)
    y = (X[:, 0] + rng.normal(size=1500) > 0).astype(int) + (X[:, 1] > 1)
    w = rng.integers(0, 3, 1500).astype(float)
    for leaves in (3, 60):
        expected, _ = both(dict(max_leaf_nodes=leaves), X, y, [600, 0, 900], 16, as_array=False, w=w)
        assert expected.tree_.n_leaves == leaves
