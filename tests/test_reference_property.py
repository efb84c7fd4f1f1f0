"""Both estimators against the reference model on random frames: the same
tree node by node (values and types), the same final category encodings,
the same predictions on fresh rows."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import tavrin
from frame_strategies import draw_target
from reference_model import ReferenceTree
from tree_compare import assert_same_tree, assert_same_value_maps, same_value

ESTIMATORS = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]


@st.composite
def columns(draw, n):
    kind = draw(st.sampled_from(["float", "int", "bool", "cat_str", "cat_int", "float_nan", "cat_nan"]))
    if kind == "float":
        return pd.Series(draw(st.lists(st.sampled_from([-1.5, 0.0, 0.25, 1.0, 2.0, 3.5, -999.0, 1e300]), min_size=n, max_size=n)), dtype="float64")
    if kind == "float_nan":
        return pd.Series(draw(st.lists(st.sampled_from([np.nan, 0.0, 1.0, 2.0, -1.0]), min_size=n, max_size=n)), dtype="float64")
    if kind == "int":
        return pd.Series(draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n)), dtype="int64")
    if kind == "bool":
        return pd.Series(draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype="bool")
    if kind == "cat_str":
        return pd.Series(draw(st.lists(st.sampled_from(list("pqrst")), min_size=n, max_size=n)), dtype="category")
    if kind == "cat_int":
        return pd.Series(draw(st.lists(st.sampled_from([10, 20, 30, 40]), min_size=n, max_size=n)), dtype="category")
    return pd.Series(draw(st.lists(st.sampled_from(["p", "q", None]), min_size=n, max_size=n)), dtype="category")


@st.composite
def problems(draw):
    n = draw(st.integers(1, 60))
    ncols = draw(st.integers(1, 4))
    data = {f"c{j}": draw(columns(n)).values for j in range(ncols)}
    X = pd.DataFrame(data)
    y = draw_target(draw, X, n)
    depth = draw(st.sampled_from([float("inf"), 0, 1, 2, 3]))
    fresh = pd.DataFrame({name: draw(columns(5)).values for name in X.columns})
    return X, y, depth, fresh


def check_against_reference(cls, X, y, depth, fresh):
    est = cls(max_depth=depth)
    ref = ReferenceTree(max_depth=depth, inline=cls is tavrin.BinaryClassificationTreePy)
    try:
        ref.fit(X, y)
    except TypeError as error:  # rows that the sort cannot order: both must fail alike
        with pytest.raises(type(error)):
            est.fit(X, y)
        return
    est.fit(X, y)
    assert est.n_classes_ == ref.n_classes_
    assert_same_tree(est.tree_, ref.tree_)
    assert_same_value_maps(est.feature_value_maps, ref.feature_value_maps)
    for frame in (X, fresh):
        try:
            want = ref.predict(frame)
        except TypeError:
            with pytest.raises(TypeError):
                est.predict(frame)
            continue
        got = est.predict(frame)
        assert len(got) == len(want) and all(same_value(g, w) for g, w in zip(got, want))
        got_p, want_p = est.predict_proba(frame), ref.predict_proba(frame)
        assert all(same_value(a, b) for g, w in zip(got_p, want_p) for a, b in zip(g, w))


@pytest.mark.parametrize("cls", ESTIMATORS)
@settings(max_examples=150)
@given(problems())
def test_matches_reference_model(cls, problem):
    check_against_reference(cls, *problem)


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_larger_mixed_frame_matches_reference(cls):
    rng = np.random.default_rng(7)
    n = 300
    X = pd.DataFrame({
        "num": rng.normal(size=n).round(1),
        "cnt": rng.integers(0, 6, n),
        "flag": rng.integers(0, 2, n).astype(bool),
        "colour": pd.Categorical(rng.choice(["red", "green", "blue", "grey"], n)),
        "size": pd.Categorical(rng.choice([1, 2, 3], n)),
    })
    y = pd.Series(rng.choice(["left", "right"], n), index=rng.permutation(n) + 1000)
    fresh = X.sample(50, random_state=1).reset_index(drop=True)
    fresh.loc[0, "colour"] = np.nan
    check_against_reference(cls, X, y, float("inf"), fresh)
    check_against_reference(cls, X, y, 3, fresh)
