"""Formatting one feature for one node: _format_feature and the per-node
categorical encoding of _format_categorical."""

import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

import tavrin
from features_support import CLASSES, cls, no_warnings, tb_names  # noqa: F401

UNSUPPORTED = "This tree supports only numeric or categorical features"


def frame():
    return pd.DataFrame({
        "num": [1.5, np.nan, 3.0, 4.0, 5.0, 6.0],
        "cat": pd.Categorical(["a", "a", "b", "b", "c", "c"]),
        "flag": [True, False, True, True, False, False],
        "txt": ["x", "y", "x", "y", "x", "y"],
        "when": pd.date_range("2020-01-01", periods=6),
    })


def prepared(cls, X=None, y=None):
    est = cls()
    X = frame() if X is None else X
    y = pd.Series([1, 0, 0, 0, 1, 1]) if y is None else y
    values, codes = est._prep_data(X, y)
    return est, values, codes


# --- _format_feature ------------------------------------------------------------

def test_numeric_columns_come_back_unchanged(cls, no_warnings):
    est, X, y = prepared(cls)
    col, word = est._format_feature(X, y, 0)
    assert word == "numeric"
    assert col.dtype == object and col[0] == 1.5 and np.isnan(col[1])
    assert np.shares_memory(col, X)
    # A bool column is numeric as well as bool: the numeric test comes first.
    col, word = est._format_feature(X, y, 2)
    assert word == "numeric" and list(col) == [True, False, True, True, False, False]
    assert est.feature_value_maps == {}


def test_categorical_columns_are_encoded(cls, no_warnings):
    est, X, y = prepared(cls)
    col, word = est._format_feature(X=X, y=y, idx=1)
    assert word == "categorical"
    assert type(col) is np.ndarray and col.tolist() == [1, 1, 0, 0, 2, 2]
    assert est.feature_value_maps == {
        1: {"map": {"b": 0, "a": 1, "c": 2}, "rev_map": {0: "b", 1: "a", 2: "c"}}}


@pytest.mark.parametrize("idx", [3, 4], ids=["string", "date"])
def test_other_kinds_are_refused_only_when_formatted(cls, idx):
    est, X, y = prepared(cls)
    with pytest.raises(ValueError) as info:
        est._format_feature(X, y, idx)
    assert str(info.value) == UNSUPPORTED
    assert "tavrin.%s._format_feature" % cls.__name__ in tb_names(info)


def test_format_feature_follows_the_lists_and_self(cls):
    est, X, y = prepared(cls)
    calls = []
    est._format_categorical = lambda *args: calls.append(args) or "codes"
    assert est._format_feature(X, y, 1) == ("codes", "categorical")
    assert len(calls) == 1 and calls[0][0] is X and calls[0][1] is y and calls[0][2] == 1
    # The lists are read from the instance: a label listed nowhere is refused,
    # a label moved to numeric_features is numeric.
    est.categorical_features = []
    with pytest.raises(ValueError, match=UNSUPPORTED):
        est._format_feature(X, y, 1)
    est.numeric_features = ["txt"]
    col, word = est._format_feature(X, y, 3)
    assert word == "numeric" and list(col) == ["x", "y", "x", "y", "x", "y"]


def test_format_feature_errors(cls):
    est, X, y = prepared(cls)
    with pytest.raises(KeyError):
        est._format_feature(X, y, 9)
    with pytest.raises(AttributeError):
        cls()._format_feature(X, y, 0)  # not prepared: no rev_feature_map

    class Failing(cls):
        def _format_categorical(self, X, y, idx):
            raise ZeroDivisionError("inner")

    est, X, y = prepared(Failing)
    with pytest.raises(ZeroDivisionError) as info:
        est._format_feature(X, y, 1)
    assert "tavrin.%s._format_feature" % cls.__name__ in tb_names(info)
    assert "_format_categorical" in tb_names(info)


def test_an_error_inside_format_categorical_names_both_methods(cls):
    est, X, y = prepared(cls)
    with pytest.raises(ValueError) as info:
        est._format_feature(X, y[:3], 1)  # codes of the wrong length
    names = tb_names(info)
    assert "tavrin.%s._format_feature" % cls.__name__ in names
    assert "tavrin.%s._format_categorical" % cls.__name__ in names


# --- _format_categorical ------------------------------------------------------------

def encoder(cls):
    est = cls()
    est.feature_value_maps = {}
    return est


def test_the_worked_example(cls, no_warnings):
    est = encoder(cls)
    X = np.array(["a", "a", "b", "b", "c", "c"], dtype=object)[:, None]
    codes = est._format_categorical(X, np.array([1, 0, 0, 0, 1, 1]), 0)
    assert codes.tolist() == [1, 1, 0, 0, 2, 2]
    entry = est.feature_value_maps[0]
    assert list(entry) == ["map", "rev_map"]
    assert entry["map"] == {"b": 0, "a": 1, "c": 2}
    assert list(entry["rev_map"]) == [0, 1, 2]
    assert entry["rev_map"] == {0: "b", 1: "a", 2: "c"}


def test_codes_pair_with_rows_by_position(cls):
    X = np.array(["a", "a", "b", "b", "c", "c"], dtype=object)[:, None]
    codes = [1, 0, 0, 0, 1, 1]
    reference = encoder(cls)
    expected = reference._format_categorical(X, np.array(codes), 0)
    for index in ([5, 4, 3, 2, 1, 0], [10, 11, 12, 13, 14, 15], list("uvwxyz")):
        est = encoder(cls)
        got = est._format_categorical(X, pd.Series(codes, index=index), 0)
        assert got.tolist() == expected.tolist()
        assert est.feature_value_maps == reference.feature_value_maps


def test_single_value_missing_values_and_integer_categories(cls, no_warnings):
    est = encoder(cls)
    codes = est._format_categorical(np.array([["u"], ["u"]], dtype=object), [1, 0], 0)
    assert codes.tolist() == [0, 0] and est.feature_value_maps[0]["map"] == {"u": 0}

    X = np.array([["u", 1], [np.nan, 2], ["v", 3], [None, 4]], dtype=object)
    codes = est._format_categorical(X, [1, 0, 0, 1], 0)
    assert codes.dtype == np.float64
    assert codes[0] == 1 and codes[2] == 0 and np.isnan(codes[1]) and np.isnan(codes[3])
    assert est.feature_value_maps[0] == {"map": {"v": 0, "u": 1}, "rev_map": {0: "v", 1: "u"}}

    codes = est._format_categorical(np.array([[np.nan], [None]], dtype=object), [0, 1], 0)
    assert est.feature_value_maps[0] == {"map": {}, "rev_map": {}}
    assert codes.dtype == np.float64 and np.isnan(codes).all()

    # A frame whose only column is categorical with integer categories is an
    # integer matrix once prepared; with a missing value a float matrix.
    for values, target, expected, order in (
            ([3, 1, 3, 2], [1, 0, 0, 1], [1, 0, 1, 2], [1, 3, 2]),
            ([3, 1, None, 2], [1, 0, 1, 0], [2, 0, None, 1], [1, 2, 3])):
        X = pd.DataFrame({"c": pd.Categorical(values)})
        est = cls()
        matrix, y = est._prep_data(X, pd.Series(target))
        assert matrix.dtype.kind == ("f" if None in values else "i")
        col, word = est._format_feature(matrix, y, 0)
        assert word == "categorical"
        assert [None if np.isnan(v) else v for v in col.astype(float)] == expected
        assert list(est.feature_value_maps[0]["map"]) == order


def test_mixed_matrix_from_a_frame(cls, no_warnings):
    X = pd.DataFrame({
        "n": [0.5, 1.5, 2.5, 3.5],
        "c": pd.Categorical(["lo", "hi", "hi", None]),
        "k": pd.Categorical([10, 20, 10, 20]),
    })
    est = cls()
    matrix, y = est._prep_data(X, pd.Series(["p", "q", "q", "p"], index=[7, 5, 3, 1]))
    assert matrix.dtype == object
    col, _ = est._format_feature(matrix, y, 1)
    assert col.dtype == np.float64 and col[:3].tolist() == [0, 1, 1] and np.isnan(col[3])
    col, _ = est._format_feature(matrix, y, 2)
    assert col.tolist() == [0, 1, 0, 1]
    assert est.feature_value_maps[2]["rev_map"] == {0: 10, 1: 20}
    # Below the root: a subset of rows, with the labels of the training target.
    mask = np.array([False, True, True, True])
    col, _ = est._format_feature(matrix[mask], y[mask], 1)
    assert est.feature_value_maps[1]["map"] == {"hi": 0}
    assert col[:2].tolist() == [0, 0] and np.isnan(col[2])


def test_string_values_come_back_as_numpy_arrays(cls, no_warnings):
    # Recent pandas holds text in its own array type; callers get numpy.
    est = encoder(cls)
    X = np.array([["x"], ["y"], ["x"]], dtype=object)
    codes = est._format_categorical(X, [0, 1, 1], 0)
    assert type(codes) is np.ndarray and codes.tolist() == [0, 1, 0]

    class Labelled(dict):
        def __getitem__(self, idx):
            entry = dict.__getitem__(self, idx)
            return {"map": {k: "code-%d" % v for k, v in entry["map"].items()}}

    est.feature_value_maps = Labelled()
    codes = est._format_categorical(X, [0, 1, 1], 0)
    assert type(codes) is np.ndarray and codes.tolist() == ["code-0", "code-1", "code-0"]


def test_the_entry_is_complete_when_stored_and_read_back(cls):
    snapshots = []

    class Watching(dict):
        def __setitem__(self, idx, entry):
            snapshots.append((idx, {k: dict(v) for k, v in entry.items()}))
            dict.__setitem__(self, idx, entry)

        def __getitem__(self, idx):
            return {"map": {"a": 7, "b": 8}}

    est = cls()
    est.feature_value_maps = Watching()
    X = np.array([["a"], ["b"], ["c"]], dtype=object)
    codes = est._format_categorical(X, np.array([1, 0, 0]), 0)
    assert snapshots == [(0, {"map": {"b": 0, "c": 1, "a": 2},
                              "rev_map": {0: "b", 1: "c", 2: "a"}})]
    assert codes[:2].tolist() == [7, 8] and np.isnan(codes[2])


def test_a_failure_after_storing_keeps_the_entry(cls):
    class Broken(dict):
        def __getitem__(self, idx):
            raise LookupError("read back")

    est = cls()
    est.feature_value_maps = Broken()
    with pytest.raises(LookupError):
        est._format_categorical(np.array([["a"], ["b"]], dtype=object), [0, 1], 0)
    assert dict(est.feature_value_maps) == {0: {"map": {"a": 0, "b": 1},
                                                "rev_map": {0: "a", 1: "b"}}}


def test_later_calls_replace_the_entry(cls):
    est = encoder(cls)
    X = np.array([["a"], ["b"], ["c"]], dtype=object)
    est._format_categorical(X, [0, 1, 1], 0)
    est._format_categorical(X[1:], [1, 0], 0)
    assert est.feature_value_maps == {0: {"map": {"c": 0, "b": 1}, "rev_map": {0: "c", 1: "b"}}}


def test_pd_and_np_are_read_from_the_module(cls, monkeypatch):
    seen = []

    class Spy:
        def __init__(self, real):
            self.real = real

        def __getattr__(self, name):
            seen.append(name)
            return getattr(self.real, name)

    monkeypatch.setattr(tavrin, "pd", Spy(pd))
    monkeypatch.setattr(tavrin, "np", Spy(np))
    est = encoder(cls)
    est._format_categorical(np.array([["a"], ["b"]], dtype=object), [0, 1], 0)
    assert seen[:2] == ["DataFrame", "asarray"]


def test_format_categorical_errors(cls):
    est = encoder(cls)
    with pytest.raises(Exception):
        est._format_categorical(np.array(["a", "b"], dtype=object), [0, 1], 0)  # 1-d
    with pytest.raises(AttributeError):
        cls()._format_categorical(np.array([["a"]], dtype=object), [0], 0)
    with pytest.raises(ValueError):
        est._format_categorical(np.array([["a"], ["b"]], dtype=object), [0, 1, 1], 0)


def test_no_reference_is_lost_or_kept(cls):
    est, X, y = prepared(cls)
    for _ in range(3):
        est._format_feature(X, y, 1)
    objects = (est, X, y)
    counts = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        est._format_feature(X, y, 0)
        est._format_feature(X, y, 1)
        with pytest.raises(ValueError):
            est._format_feature(X, y, 3)
        with pytest.raises(ValueError):
            est._format_feature(X, y[:2], 1)
    assert [sys.getrefcount(o) for o in objects] == counts


# --- against pandas itself ---------------------------------------------------------

def direct_encoding(values, codes):
    df = pd.DataFrame({"v": pd.Series(values, dtype=object), "y": np.asarray(codes)})
    means = df.groupby(["v"]).y.mean().sort_values()
    mapping = dict(zip(means.index, range(len(means))))
    mapped = np.array([mapping.get(v, np.nan) if v == v and v is not None else np.nan
                       for v in values], dtype=float)
    return mapping, mapped


@given(
    rows=st.lists(
        st.tuples(st.sampled_from(["a", "b", "c", "d", None]), st.integers(0, 2)),
        min_size=1, max_size=40),
    seed=st.integers(0, 2**32 - 1),
)
def test_encoding_matches_pandas(rows, seed):
    values = [v for v, _ in rows]
    codes = [c for _, c in rows]
    labels = np.random.default_rng(seed).permutation(len(rows)) * 3 + 100
    X = np.empty((len(rows), 2), dtype=object)
    X[:, 0] = 0.0
    X[:, 1] = values
    for cls in CLASSES:
        est = encoder(cls)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = est._format_categorical(X, pd.Series(codes, index=labels), 1)
        mapping, expected = direct_encoding(values, codes)
        entry = est.feature_value_maps[1]
        assert entry["map"] == mapping
        assert entry["rev_map"] == {i: v for v, i in mapping.items()}
        assert type(got) is np.ndarray
        np.testing.assert_array_equal(got.astype(float), expected)
        # Code 0 goes to the lowest mean, and means never decrease with the code.
        means = [np.mean([c for v, c in rows if v == entry["rev_map"][i]])
                 for i in range(len(mapping))]
        assert means == sorted(means)
