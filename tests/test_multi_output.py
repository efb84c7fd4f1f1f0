"""Several targets at once: one tree serving every output."""
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from tavrin_tools import ExtraTreeClassifier, TreeClassifier, export_text

FLAT = ("children_left", "children_right", "feature", "threshold", "missing_go_to_left", "n_node_samples",
        "weighted_n_node_samples", "impurity")


def frame(seed, n=160):
    rng = np.random.default_rng(seed)
    num = rng.normal(size=n).round(1)
    num[rng.random(n) < 0.1] = np.nan
    cat = rng.choice(list("abcde"), n)
    X = pd.DataFrame({"num": num, "cat": pd.Categorical(cat), "int": rng.integers(0, 4, n)})
    y = np.where((np.nan_to_num(num) > 0.2) ^ np.isin(cat, ["a", "c"]), "yes", "no")
    flip = rng.random(n) < 0.15
    return X, np.where(flip, rng.choice(["yes", "no", "maybe"], n), y)


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 10**6), params=st.sampled_from([
    {}, dict(max_leaf_nodes=9), dict(splitter="random", random_state=3),
    dict(max_features=1, random_state=5, min_samples_leaf=3), dict(min_weight_fraction_leaf=0.05, max_depth=4),
]), weighted=st.booleans())
def test_an_output_given_twice_grows_the_tree_of_one(seed, params, weighted):
    # The mean gini impurity of two equal outputs is that of one, to the
    # bit (entropy sums all outputs' terms in one running sum, as
    # scikit-learn does, so only to rounding): every count, draw and
    # tie-break of the several-output path must match the one-output path.
    X, y = frame(seed)
    w = np.random.default_rng(seed).uniform(0.5, 2.0, len(y)) if weighted else None
    one = TreeClassifier(**params).fit(X, y, sample_weight=w)
    two = TreeClassifier(**params).fit(X, np.column_stack([y, y]), sample_weight=w)
    for name in FLAT:
        np.testing.assert_array_equal(getattr(two.tree_, name), getattr(one.tree_, name), err_msg=name)
    np.testing.assert_array_equal(two.tree_.value[:, 1], one.tree_.value[:, 0])
    np.testing.assert_array_equal(two.predict(X), np.column_stack([one.predict(X)] * 2))


def test_threads_pickling_and_export_keep_every_output():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(20_000, 6))
    Y = np.column_stack([X[:, 0] > 0, (X[:, 1] * 2 + rng.normal(size=len(X))).round().clip(-2, 2),
                         rng.random(len(X)) < 0.3]).astype(int)
    a = ExtraTreeClassifier(max_features=None, random_state=0, n_jobs=1).fit(X, Y)
    b = ExtraTreeClassifier(max_features=None, random_state=0, n_jobs=2).fit(X, Y)
    for name in FLAT:
        np.testing.assert_array_equal(getattr(a.tree_, name), getattr(b.tree_, name), err_msg=name)
    c = pickle.loads(pickle.dumps(TreeClassifier(max_depth=3, ccp_alpha=0.001).fit(X, Y)))
    assert c.tree_.value.shape == (c.tree_.node_count, 3, 5) and c.tree_.n_classes.tolist() == [2, 5, 2]
    assert [p.shape for p in c.predict_proba(X[:4])] == [(4, 2), (4, 5), (4, 2)]
    first = export_text(c).splitlines()[0]
    assert first.count("[") == 4 and "samples 20000" in first  # one row of counts per output


def test_several_outputs_refused_where_they_cannot_be_served():
    X = np.arange(140_000, dtype=float).reshape(-1, 2)
    with pytest.raises(ValueError, match="Monotonicity constraints are not supported with multiple outputs"):
        TreeClassifier(monotonic_cst=[1, 0]).fit(X[:10], np.ones((10, 2)))
    many = np.column_stack([np.arange(len(X)) % 300, np.arange(len(X)) // 300])
    with pytest.raises(ValueError, match="70000 different combinations"):
        TreeClassifier().fit(X, many)
    with pytest.raises(ValueError, match="number of elements in class_weight should match number of outputs"):
        TreeClassifier(class_weight=[{0: 1.0}]).fit(X[:10], np.ones((10, 2)))
