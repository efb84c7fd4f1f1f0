"""Targets of pandas' extension dtypes (category, nullable, Arrow-backed) on
the fast path of fit against the step-by-step path: the same tree, classes
and maps, or the same error."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from test_fast_path import PAIRS, assert_same_predictions, counting_np_sum, mixed_frame, problems
from tree_compare import assert_same_tree, assert_same_value_maps, same_value, tree_depth

try:
    import pyarrow  # noqa: F401
except ImportError:  # the Arrow-backed kinds are skipped
    pyarrow = None


def as_ints(y):
    return pd.Series(pd.factorize(y, sort=True)[0] * 3 - 1, index=y.index)


def with_missing(y, dtype):
    y = y.astype(dtype)
    y.iloc[len(y) // 2] = None
    return y


KINDS = {
    "category": lambda y: y.astype("category"),
    "category_unused": lambda y: pd.Series(pd.Categorical(y, categories=[*sorted(set(y), key=str), "unused"]),
                                           index=y.index),
    "category_missing": lambda y: with_missing(y, "category"),
    "Int64": lambda y: as_ints(y).astype("Int64"),
    "Int64_missing": lambda y: with_missing(as_ints(y), "Int64"),
    "boolean": lambda y: (y == y.iloc[0]).astype("boolean"),
    "string": lambda y: y.astype(str).astype("string"),
}
ARROW_KINDS = {
    "string[pyarrow]": lambda y: y.astype(str).astype("string[pyarrow]"),
    "int64[pyarrow]": lambda y: as_ints(y).astype("int64[pyarrow]"),
    "bool[pyarrow]": lambda y: (y == y.iloc[0]).astype("bool[pyarrow]"),
}
if pyarrow is not None:
    KINDS.update(ARROW_KINDS)


def fit_or_error(est, X, y):
    try:
        est.fit(X, y)
    except Exception as error:  # compared between the two paths
        return type(error), str(error)
    return None


def assert_same_items(got, want):
    assert len(got) == len(want)
    assert all(same_value(a, b) for pair in zip(got.items(), want.items()) for a, b in zip(*pair))


def assert_same_fit_of_labels(fast, step):
    # A missing label becomes a NaN of np.unique's in the maps, a new one each fit.
    assert_same_tree(fast.tree_, step.tree_)
    assert_same_value_maps(fast.feature_value_maps, step.feature_value_maps)
    assert fast.n_classes_ == step.n_classes_ and same_value(fast.classes, step.classes)
    assert_same_items(fast.taget_map, step.taget_map)
    assert_same_items(fast.rev_taget_map, step.rev_taget_map)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
@given(problems(), st.sampled_from(sorted(KINDS)))
def test_label_dtypes_fit_as_step_by_step(fast_cls, step_cls, problem, kind):
    X, y, depth, fresh = problem
    y = KINDS[kind](y)
    fast, step = fast_cls(max_depth=depth), step_cls(max_depth=depth)
    error = fit_or_error(step, X, y)
    assert fit_or_error(fast, X, y) == error
    if error is None:
        assert_same_fit_of_labels(fast, step)
        assert_same_predictions(fast, step, [X, fresh])


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
@pytest.mark.parametrize("kind", ["category", "Int64", "boolean", "string", *ARROW_KINDS])
def test_label_dtypes_take_the_fast_path(fast_cls, step_cls, kind):
    if kind in ARROW_KINDS and pyarrow is None:
        pytest.skip("pyarrow is not installed")
    X, y = mixed_frame(300, 5)
    y = KINDS[kind](y)
    fast, step = fast_cls(), step_cls()
    with counting_np_sum() as calls:
        fast.fit(X, y)
    # Codes that np.asarray does not make int64 (pandas before 2.2 gives
    # objects for nullable ones) are left to the step-by-step growth.
    assert (calls[0] == 0) == (kind == "category" or np.asarray(y.map(fast.taget_map)).dtype == np.int64)
    step.fit(X, y)
    assert tree_depth(fast.tree_) > 3
    assert_same_fit_of_labels(fast, step)


@given(st.sampled_from(["int8", "uint8", "int16", "uint32", "int64", "uint64"]), st.data())
def test_integer_labels_are_counted_as_sorting_would_encode_them(dtype, data):
    from tavrin_tools.classifier import _encode

    info = np.iinfo(dtype)
    lo = data.draw(st.sampled_from([int(info.min), 0, int(info.max) - 3]))
    y = np.array(data.draw(st.lists(st.integers(lo, min(int(info.max), lo + 3000)), min_size=1, max_size=40)), dtype)
    want, got = np.unique(y, return_inverse=True), _encode(y)
    assert got[0].dtype == want[0].dtype and np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
