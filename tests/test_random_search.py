"""The randomised search (max_features, splitter="random", random_state),
monotonic constraints and the closeness rule of split values, through
TreeClassifier and ExtraTreeClassifier."""
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from sklearn.tree import DecisionTreeClassifier

from tavrin_tools import ExtraTreeClassifier, TreeClassifier

# scikit-learn takes monotonic constraints from 1.4 on.
SK_MONOTONIC = "monotonic_cst" in DecisionTreeClassifier().get_params()


def tree_arrays(est):
    return {k: v for k, v in est.tree_.to_dict().items() if isinstance(v, np.ndarray)}


def same_tree(a, b):
    da, db = tree_arrays(a), tree_arrays(b)
    return da.keys() == db.keys() and all(np.array_equal(da[k], db[k], equal_nan=True) for k in da)


def mixed_frame(n=6000, seed=0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(rng.normal(size=(n, 14)), columns=[f"x{i}" for i in range(14)])
    X["x3"] = X["x3"].round(1)
    X.loc[rng.random(n) < 0.1, "x5"] = np.nan
    X["c"] = pd.Categorical(rng.integers(0, 9, n))
    y = (X["x0"] + X["x1"] * X["x2"] + (X["c"].cat.codes % 3 == 0) + rng.normal(scale=0.5, size=n) > 0.8)
    return X, y.to_numpy().astype(int) + (X["x4"] > 1.2).to_numpy()


@pytest.mark.parametrize("params", [
    dict(max_features=3),
    dict(max_features="sqrt", max_leaf_nodes=40),
    dict(splitter="random"),
    dict(splitter="random", max_features=0.3, min_samples_leaf=5),
])
def test_a_seed_gives_one_tree_for_every_n_jobs(params):
    # Large enough that nodes are searched and partitioned on two threads.
    X, y = mixed_frame()
    one = TreeClassifier(random_state=7, n_jobs=1, **params).fit(X, y)
    two = TreeClassifier(random_state=7, n_jobs=2, **params).fit(X, y)
    assert same_tree(one, two)
    by_state = [TreeClassifier(random_state=np.random.RandomState(7), n_jobs=j, **params).fit(X, y) for j in (1, 2)]
    assert same_tree(*by_state)
    other = TreeClassifier(random_state=8, n_jobs=1, **params).fit(X, y)
    assert not same_tree(one, other)
    # None: the global RandomState, as scikit-learn draws from it.
    np.random.seed(3)
    a = TreeClassifier(n_jobs=2, **params).fit(X, y)
    np.random.seed(3)
    assert same_tree(a, TreeClassifier(n_jobs=1, **params).fit(X, y))


def test_max_features_as_scikit_learn_counts_them_and_goes_past_constants():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(60, 11))
    y = (X[:, 0] > 0).astype(int)
    for mf in (1, 4, 0.01, 0.5, 1.0, "sqrt", "log2", None):
        ours = TreeClassifier(max_features=mf, random_state=0).fit(X, y).max_features_
        assert ours == DecisionTreeClassifier(max_features=mf, random_state=0).fit(X, y).max_features_
    # Ten constant columns and one that splits: one drawn feature at a time,
    # the search goes on until it has seen a column that is not constant.
    X = np.column_stack([np.ones((40, 10)), np.arange(40.0)])
    y = np.arange(40) >= 17
    for seed in range(20):
        t = TreeClassifier(max_features=1, max_depth=1, random_state=seed).fit(X, y).tree_
        assert (t.feature[0], t.threshold[0]) == (10, 16.5)


def test_random_splits_stay_inside_the_node_and_keep_both_sides():
    X, y = mixed_frame(800, seed=2)
    est = ExtraTreeClassifier(random_state=4, max_features=None, categorical_features=["x3"]).fit(X, y)
    t, Xf = est.tree_, est._matrix(X)
    best = TreeClassifier().fit(X, y).tree_
    assert t.node_count != best.node_count or not np.array_equal(t.threshold, best.threshold)
    path = est.decision_path(X).tocsc()
    for i in np.flatnonzero(t.children_left >= 0):
        values = Xf[path[:, i].indices, t.feature[i]]
        values = values[~np.isnan(values)]
        left = t.n_node_samples[t.children_left[i]]
        assert 0 < left < t.n_node_samples[i]
        if not t.is_categorical[i]:
            assert values.min() <= t.threshold[i] < values.max()


@pytest.mark.parametrize("a, b, splits", [
    (0.0, 5e-8, False), (0.0, 2e-7, True),
    (1e6, 1e6 + 1e-8, False), (1e6, 1e6 + 1e-3, True),  # equal in single precision, apart or not
    (-3.0, -3.0 + 2**-50, False),
])
def test_values_within_1e_7_are_not_split_apart(a, b, splits):
    X = np.array([[a], [a], [b], [b]])
    for est in (TreeClassifier(), ExtraTreeClassifier(random_state=0)):
        t = est.fit(X, [0, 0, 1, 1]).tree_
        assert (t.node_count == 3) == splits
    # Two rows between them: the split falls only where neighbours lie apart.
    X = np.array([[0.0], [0.4], [0.4 + 5e-8], [1.0]])
    t = TreeClassifier(max_depth=1).fit(X, [0, 0, 1, 1]).tree_
    assert t.threshold[0] in (0.2, (0.4 + 5e-8 + 1.0) / 2)


def monotone_along(est, X, j, sign):
    grid = np.unique(X[:, j])
    for row in X[:10]:
        Z = np.repeat(row[None, :], len(grid), axis=0)
        Z[:, j] = grid
        p = est.predict_proba(Z)[:, 1]
        assert np.all(sign * np.diff(p) >= 0), (j, sign, p)


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(1, 4), st.sampled_from(["best", "random"]),
       st.sampled_from([None, 3]), st.booleans())
def test_monotonic_constraints_hold(seed, p, splitter, max_depth, weighted):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(10, 200))
    X = rng.integers(0, 12, size=(n, p)) / 4.0  # exact in float32
    y = (X @ rng.normal(size=p) + rng.normal(size=n) > 0).astype(int)
    y[:2] = (0, 1)
    w = rng.integers(1, 4, n).astype(float) if weighted else None
    cst = rng.integers(-1, 2, p)
    est = TreeClassifier(monotonic_cst=cst, splitter=splitter, max_depth=max_depth, random_state=seed)
    est.fit(X, y, sample_weight=w)
    for j in np.flatnonzero(cst):
        monotone_along(est, X, j, cst[j])
    if p == 1 and splitter == "best" and SK_MONOTONIC:  # one column: no tie between features to break
        sk = DecisionTreeClassifier(monotonic_cst=cst, max_depth=max_depth).fit(X, y, sample_weight=w)
        np.testing.assert_array_equal(est.predict_proba(X), sk.predict_proba(X))
        np.testing.assert_array_equal(est.tree_.value, sk.tree_.value)


def test_monotonic_values_survive_pruning_and_pickling_and_bad_constraints_are_refused():
    rng = np.random.default_rng(5)
    X = np.round(rng.normal(size=(300, 2)) * 8) / 8
    y = (X[:, 0] + rng.normal(size=300) > 0).astype(int)
    # One column: no tie between features for scikit-learn to break its way.
    est = TreeClassifier(monotonic_cst=[1], ccp_alpha=0.002).fit(X[:, :1], y)
    assert est.tree_.node_count > 3
    if SK_MONOTONIC:
        sk = DecisionTreeClassifier(monotonic_cst=[1], ccp_alpha=0.002).fit(X[:, :1], y)
        assert est.tree_.node_count == sk.tree_.node_count
        np.testing.assert_array_equal(est.tree_.value, sk.tree_.value)
    monotone_along(est, X[:, :1], 0, 1)
    again = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(again.predict_proba(X[:, :1]), est.predict_proba(X[:, :1]))
    frame = pd.DataFrame({"a": X[:, 0], "kind": pd.Categorical(X[:, 1] > 0)})
    with pytest.raises(ValueError, match="categorical column.*kind"):
        TreeClassifier(monotonic_cst=[0, 1]).fit(frame, y)
    with pytest.raises(ValueError, match="multiclass"):
        TreeClassifier(monotonic_cst=[1, 0]).fit(X, np.arange(300) % 3)
    with pytest.raises(ValueError, match="monotonic_cst has shape 3 but the input data X has 2 features"):
        TreeClassifier(monotonic_cst=[1, 0, 0]).fit(X, y)
    with pytest.raises(ValueError, match="-1, 0 or 1"):
        TreeClassifier(monotonic_cst=[2, 0]).fit(X, y)


def nested(t, i=0):
    """The tree under node i as nested tuples, whatever order its nodes were numbered in."""
    if t["children_left"][i] < 0:
        return (t["n_node_samples"][i], tuple(t["value"][i].ravel()))
    threshold = None if t["is_categorical"][i] else t["threshold"][i]  # NaN: a category set
    return (t["feature"][i], threshold, t["missing_go_to_left"][i],
            nested(t, t["children_left"][i]), nested(t, t["children_right"][i]))


@pytest.mark.parametrize("numeric_only, weighted", [(True, False), (False, False), (True, True)])
def test_drawn_features_give_the_same_tree_depth_first_as_best_first(numeric_only, weighted):
    # Depth first partitions a column's arrays only at the nodes that search
    # it; best first (with room for every leaf) at every split.
    X, y = mixed_frame(n=8000, seed=2)
    if numeric_only:
        X = X.drop(columns="c")
    w = np.random.default_rng(0).integers(1, 4, len(y)).astype(float) if weighted else None
    for seed in (0, 5):
        deep = TreeClassifier(max_features=2, random_state=seed).fit(X, y, sample_weight=w)
        wide = TreeClassifier(max_features=2, random_state=seed, max_leaf_nodes=10**6).fit(X, y, sample_weight=w)
        assert deep.get_depth() > 10
        assert nested(deep.tree_.to_dict()) == nested(wide.tree_.to_dict())
