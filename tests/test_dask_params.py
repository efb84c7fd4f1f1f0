"""The distributed fit with the parameters that change how the tree grows
(best-first growth, drawn features, random splits, monotonic constraints,
declared categorical columns): array for array the in-memory fit's tree."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from tavrin_tools import TreeClassifier, _dask_fit, _learner  # noqa: E402
# The module's cluster of worker processes is test_dask_fit's fixture.
from test_dask_fit import assert_same_tree, client, frame_parts, spread  # noqa: E402, F401

# The cluster's scheduler runs on threads of this process and draws from
# `random` while Hypothesis makes examples: not a draw of the strategies.
pytestmark = pytest.mark.filterwarnings("ignore:Do not use the `random` module inside strategies")


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


@settings(max_examples=20, deadline=None)
@given(rows(), st.integers(0, 2**32 - 1), st.sampled_from([1, 2, "sqrt", 0.5, None]),
       st.sampled_from(["best", "random"]), st.sampled_from([None, 6]))
def test_drawn_features_and_random_splits(client, problem, seed, max_features, splitter, leaves):
    X, y, sizes, max_bins = problem
    params = dict(random_state=seed, max_features=max_features, splitter=splitter, max_leaf_nodes=leaves)
    expected, got = both(params, X, y, sizes, max_bins)
    assert got.max_features_ == expected.max_features_


@pytest.mark.parametrize("splitter, weighted", [("best", False), ("best", True), ("random", True)])
def test_bins_of_many_rows_send_runs_of_their_values_first(client, splitter, weighted):
    # Four bins of hundreds of rows each: their values travel as runs, and
    # only the runs that may hold the split (or a drawn threshold) send
    # their values. Huge values make a bin too wide for runs; rounding makes
    # ties inside runs.
    rng = np.random.default_rng(11)
    X = rng.normal(size=(2000, 3))
    X[:5, 2], X[5:10, 2] = 1.5e308, -1.5e308
    X[rng.random(2000) < 0.05, 0] = np.nan
    X[:, 1] = X[:, 1].round(1)
    y = ((np.nan_to_num(X[:, 0]) > 0.3) ^ (X[:, 1] > 0)).astype(int) + (X[:, 2] > 1.5)
    w = rng.integers(0, 3, 2000).astype(float) if weighted else None
    both(dict(splitter=splitter, random_state=2, max_depth=5), X, y, [700, 1300], 4, w=w)


@settings(max_examples=15, deadline=None)
@given(rows(classes=2), st.data(), st.sampled_from(["best", "random"]))
def test_monotonic_constraints(client, problem, data, splitter):
    X, y, sizes, max_bins = problem
    cst = data.draw(st.lists(st.sampled_from([-1, 0, 1]), min_size=X.shape[1], max_size=X.shape[1]))
    both(dict(monotonic_cst=cst, splitter=splitter, random_state=0), X, y, sizes, max_bins)


def test_monotonic_bounds_and_refusals_are_the_in_memory_ones(client):
    # Constraints against the data: many splits refused, the bounded
    # probabilities kept per node.
    rng = np.random.default_rng(8)
    X = rng.normal(size=(600, 2)).round(1)
    y = (np.sin(3 * X[:, 0]) + rng.normal(scale=0.3, size=600) > 0).astype(int)
    expected, got = both(dict(monotonic_cst=[1, -1], max_depth=6), X, y, [300, 300], 8)
    assert "proba" in got.tree_.to_dict() and expected.tree_.node_count > 7
    Xd, y3 = da.from_array(X, chunks=300), da.from_array(y + (X[:, 1] > 1), chunks=300)
    with pytest.raises(ValueError, match="multiclass"):
        TreeClassifier(monotonic_cst=[1, 0]).fit(Xd, y3)


@pytest.mark.parametrize("params", [dict(splitter="random"), dict(max_features=1),
                                    dict(splitter="random", max_features=2, max_leaf_nodes=9),
                                    dict(monotonic_cst=[-1, 0, 1], splitter="random")])
def test_category_columns_with_draws(client, params, monkeypatch):
    # 70 categories over unevenly held partitions, missing values among them.
    if "max_leaf_nodes" in params:  # a node per batch: category sets of one word and of two
        monkeypatch.setattr(_dask_fit, "_SUMMARY_BYTES", 1)
    rng = np.random.default_rng(5)
    n = 700
    code = np.sort(rng.integers(0, 70, n))
    x = rng.normal(size=n).round(1)
    y = ((code % 3 == 0) ^ (x > 0.3)).astype(int)
    colors = np.array([f"c{k:02d}" for k in range(70)], dtype=object)[code]
    colors[rng.random(n) < 0.05] = None
    df = pd.DataFrame({"x": x, "color": pd.Categorical(colors), "z": rng.integers(0, 4, n).astype(float)})
    params = dict(params, random_state=3, min_samples_leaf=2)
    expected = TreeClassifier(**params).fit(df, y)
    frame, yd = dd.from_pandas(df, npartitions=3), dd.from_pandas(pd.Series(y, index=df.index), npartitions=3)
    assert_same_tree(expected, TreeClassifier(**params).fit(frame, yd))
    if "monotonic_cst" in params:
        with pytest.raises(ValueError, match="categorical column"):
            TreeClassifier(monotonic_cst=[0, 1, 0]).fit(frame, yd)


@pytest.mark.parametrize("declared", [["a", "t"], [0, 2], [True, False, True]])
def test_declared_category_columns(client, declared):
    # A numeric and a text column declared categorical, partitions holding
    # different categories; the same declaration by position on an array.
    rng = np.random.default_rng(6)
    n = 400
    a = rng.integers(0, 9, n).astype(float)
    a[rng.random(n) < 0.05] = np.nan
    x = rng.normal(size=n).round(1)
    t = np.array(["u", "v", "w", "zz"], dtype=object)[np.sort(rng.integers(0, 4, n))]
    y = ((a % 3 == 0) ^ (x > 0.3)).astype(int) + (t == "v")
    df = pd.DataFrame({"a": a, "x": x, "t": t})
    params = dict(categorical_features=declared, max_depth=6, splitter="random", random_state=2)
    expected = TreeClassifier(**params).fit(df, y)
    _, (frame, yd) = frame_parts(df.to_numpy(), y, None, [150, 0, 250])
    frame.columns = df.columns
    got = TreeClassifier(**params).fit(frame.astype({"a": float, "x": float}), yd)
    assert_same_tree(expected, got)
    assert [list(c) for c in got.categories_ if c is not None] == [list(c) for c in expected.categories_
                                                                  if c is not None]
    if not isinstance(declared[0], str):
        params["categorical_features"] = [0] if declared == [0, 2] else [True, False]
        both(params, df[["a", "x"]].to_numpy(), y, [100, 300], 256)


def test_draw_kernel_reads_constancy_and_refuses_broken_input():
    # Two rows of classes 0 and 1; feature 0 holds one value, feature 1 two.
    counts = np.zeros((1, 2, 3, 3))
    counts[0, 0, 0] = [1, 1, 2]
    counts[0, 1, 0], counts[0, 1, 1] = [1, 0, 1], [0, 1, 1]
    lo, hi = np.full((1, 2, 2), np.inf), np.full((1, 2, 2), -np.inf)
    lo[0, 0, 0] = hi[0, 0, 0] = 0.5
    lo[0, 1], hi[0, 1] = [0.0, 1.0], [0.0, 1.0]
    node = (np.array([[1.0, 1.0]]), np.array([2]), np.array([2.0]))
    params = ("gini", -1, 2, 1, 0.0, 0.0, None, 1, True, 7, None)
    for seed in range(8):
        keys = np.array([seed + 1], dtype=np.uint64)
        searched, ends, constants = _learner.draw_features(counts, lo, hi, *node, params, keys, np.array([0, 0]),
                                                           np.zeros(0, dtype=np.int32))
        assert searched.tolist() == [[0, 1]] and set(constants.tolist()) <= {0} and ends.tolist()[-1] == len(constants)
        # A known constant is never searched again.
        searched, _, constants = _learner.draw_features(counts, lo, hi, *node, params, keys, np.array([0, 1]),
                                                        np.array([0], dtype=np.int32))
        assert searched.tolist() == [[0, 1]] and constants.tolist() == [0]
    with pytest.raises(ValueError, match="keys"):
        _learner.refine_mask(counts, lo, hi, *node, params)
    with pytest.raises(ValueError, match="known constant"):
        _learner.draw_features(counts, lo, hi, *node, params, keys, np.array([0, 1]), np.array([5], dtype=np.int32))
    with pytest.raises(ValueError, match="one per feature"):
        _learner.refine_mask(counts, lo, hi, *node, params[:10] + (np.array([1], dtype=np.int8),), (None, keys, None))
