"""TreeClassifier's direct reading of numpy matrices and plain pandas frames
against the general reading through the dataframe layer: the same matrix,
category lists (values and their types), codes, warnings and errors, at fit
and at predict; and the batched row walk against the node-by-node one."""
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from sklearn.utils.multiclass import check_classification_targets

from tavrin_tools import TreeClassifier
from tavrin_tools._direct import check_names, check_targets, direct_matrix, record_names
from tavrin_tools._frame import general_matrix
from tavrin_tools._sk_compat import check_feature_names

TEXT = ["a", "b", "c", "d"]
NUMBERS = [3, 1, 2, 10]


@st.composite
def category_column(draw, n):
    """A category column: text or integer categories, some unused, some rows missing."""
    pool = draw(st.sampled_from([TEXT, NUMBERS, [0.5, 1.5, -2.0]]))
    declared = draw(st.lists(st.sampled_from(pool), min_size=1, max_size=len(pool), unique=True))
    values = draw(st.lists(st.sampled_from(declared + [None]), min_size=n, max_size=n))
    return pd.Categorical(values, categories=declared, ordered=draw(st.booleans()))


@st.composite
def numeric_column(draw, n):
    dtype = draw(st.sampled_from(["float64", "float32", "int64", "uint8", "int32", "bool"]))
    if dtype == "bool":
        return np.array(draw(st.lists(st.booleans(), min_size=n, max_size=n)))
    values = draw(st.lists(st.integers(-5, 9), min_size=n, max_size=n))
    out = np.array(values).astype(dtype)
    if dtype.startswith("float") and draw(st.booleans()):
        out[np.array(values) > 6] = np.nan
    if dtype == "float64" and draw(st.integers(0, 9)) == 0:
        out[0] = np.inf
    return out


@st.composite
def frames(draw, n):
    kinds = draw(st.lists(st.sampled_from(["numeric", "category"]), min_size=1, max_size=5))
    cols = {f"c{j}": draw(numeric_column(n) if k == "numeric" else category_column(n)) for j, k in enumerate(kinds)}
    return pd.DataFrame(cols)


def _read(reader, X, categorical_features, columns):
    """(matrix, columns, warnings) or the exception raised; None when the
    direct reading passes X on."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            est = TreeClassifier()
            if columns is not None:
                est.n_features_in_ = len(columns)
            got = reader(X, categorical_features, columns, est)
        except (ValueError, TypeError) as exc:
            return type(exc), str(exc)
    if got is None:
        return None
    return got[0], got[1], [(w.category, str(w.message)) for w in caught]


def _typed(columns):
    return [None if c is None else [(type(v), v) for v in c.tolist()] for c in columns]


def _assert_same(direct, general):
    if direct is None:
        return False
    if isinstance(general, tuple) and len(general) == 2:  # an error
        assert direct == general
        return True
    assert np.array_equal(direct[0], general[0], equal_nan=True) and direct[0].dtype == np.float64
    assert _typed(direct[1]) == _typed(general[1])
    assert direct[2] == general[2]
    return True


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_frames_read_as_the_general_path_reads_them(data):
    n = data.draw(st.integers(1, 12))
    X = data.draw(frames(n))
    general = _read(general_matrix, X, "from_dtype", None)
    direct = _read(direct_matrix, X, "from_dtype", None)
    took = _assert_same(direct, general)
    assert took or np.isinf(X.select_dtypes("number").to_numpy(dtype=float)).any()
    if isinstance(general, tuple) and len(general) == 2:
        return
    fitted = general[1]
    # At predict: new rows whose category columns hold other categories, in
    # another order, of another kind or none at all; now and then a column
    # of the other kind than at fit (the general path's to answer).
    m = data.draw(st.integers(1, 12))
    flipped = data.draw(st.lists(st.booleans(), min_size=X.shape[1], max_size=X.shape[1]).map(
        lambda f: [b and (hash(tuple(f)) % 4 == 0) for b in f]))
    later = pd.DataFrame({name: data.draw(category_column(m) if (c is None) == flip else numeric_column(m))
                          for name, c, flip in zip(X.columns, fitted, flipped)})
    general = _read(general_matrix, later, None, fitted)
    for _ in range(2):  # the second read finds the category tables of the first
        took = _assert_same(_read(direct_matrix, later, None, fitted), general)
        assert took or any(flipped) or np.isinf(later.select_dtypes("number").to_numpy(dtype=float)).any()


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(["float64", "float32", "int16", "uint64", "bool", "float16"]),
       st.integers(0, 6), st.integers(0, 4), st.booleans())
def test_arrays_read_as_the_general_path_reads_them(dtype, n, p, infinite):
    X = (np.arange(n * p).reshape(n, p) % 5).astype(dtype)
    if infinite and n * p and X.dtype.kind == "f":
        X[-1, -1] = np.inf
    general = _read(general_matrix, X, "from_dtype", None)
    direct = _read(direct_matrix, X, "from_dtype", None)
    assert _assert_same(direct, general) == (dtype != "float16" and n * p > 0 and not (infinite and X.dtype.kind == "f"))
    if direct is not None:
        assert _assert_same(_read(direct_matrix, X, None, direct[1]), _read(general_matrix, X, None, direct[1]))


def test_estimator_fits_and_predicts_alike_on_either_path(monkeypatch):
    rng = np.random.default_rng(5)
    X = pd.DataFrame({"x": rng.normal(size=300), "k": rng.integers(0, 4, 300),
                      "c": pd.Categorical(rng.choice(["p", "q", "r"], 300))})
    y = (X["x"] + (X["c"] == "q") > 0.3).astype(int)
    fast = TreeClassifier(max_depth=4, n_jobs=1).fit(X, y)
    new = X.iloc[:50].assign(c=pd.Categorical(rng.choice(["q", "s"], 50)))  # "s": unknown at fit
    expected = fast.predict_proba(new)
    monkeypatch.setattr("tavrin_tools._direct.direct_matrix", lambda *a: None)
    slow = TreeClassifier(max_depth=4, n_jobs=1).fit(X, y)
    np.testing.assert_array_equal(slow.predict_proba(new), expected)
    assert [list(c) if c is not None else None for c in slow.categories_] == [
        list(c) if c is not None else None for c in fast.categories_]


def test_category_tables_follow_the_fitted_categories_in_place():
    X = pd.DataFrame({"c": pd.Categorical(["p", "q", "r", "p"] * 10), "x": np.arange(40.0)})
    est = TreeClassifier(n_jobs=1).fit(X, [0, 1, 1, 0] * 10)
    to_codes = lambda: direct_matrix(X, None, est.categories_, est)[0][:4, 0]  # noqa: E731
    np.testing.assert_array_equal(to_codes(), [0, 1, 2, 0])
    est.categories_[0][[0, 1]] = est.categories_[0][[1, 0]]  # changed in place: no stale table
    np.testing.assert_array_equal(to_codes(), [1, 0, 2, 1])


def test_name_check_shortcut_agrees_with_scikit_learn():
    X = pd.DataFrame({"a": [0.0, 1.0, 2.0], "b": [1.0, 0.0, 1.0]})
    est = TreeClassifier().fit(X, [0, 1, 1])
    check_names(est, X)  # the fitted names: nothing to say
    with pytest.raises(ValueError, match="feature names should match"):
        check_names(est, X[["b", "a"]])
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        check_names(est, X.to_numpy())
    renamed = X.copy()
    renamed.columns = pd.Index([np.str_("a"), "b"], dtype=object)  # equal names, but not all of type str
    with pytest.raises(TypeError):
        check_names(est, renamed)
    plain = TreeClassifier().fit(X.to_numpy(), [0, 1, 1])
    with pytest.warns(UserWarning, match="has feature names"):
        check_names(plain, X)
    for labels in (["a", "b"], [0, 1], ["a", 1], [np.str_("a"), "b"], []):
        frame = pd.DataFrame(np.zeros((1, len(labels))), columns=pd.Index(labels, dtype=object))
        ours, theirs = TreeClassifier(), TreeClassifier()
        ours.feature_names_in_ = theirs.feature_names_in_ = np.array(["old"], dtype=object)
        outcomes = []
        for est, record in ((ours, record_names), (theirs, lambda e, f: check_feature_names(e, f, reset=True))):
            try:
                record(est, frame)
                outcomes.append(getattr(est, "feature_names_in_", None))
            except TypeError as exc:
                outcomes.append(str(exc))
        if isinstance(outcomes[1], str):  # scikit-learn's TypeError
            assert outcomes[0] == outcomes[1]
        else:
            assert _typed([outcomes[0]]) == _typed([outcomes[1]])


def test_target_check_shortcut_agrees_with_scikit_learn():
    for y in (np.array([0, 3, 3]), np.array([True, False]), np.array([0.5, 1.0]), np.array([[0, 1], [1, 0]])):
        try:
            check_classification_targets(y)
        except ValueError as exc:
            with pytest.raises(ValueError, match=str(exc)[:30]):
                check_targets(y)
        else:
            check_targets(y)


@pytest.mark.parametrize("max_depth", [3, None])
def test_batched_walk_reaches_the_leaves_of_the_node_by_node_walk(max_depth):
    rng = np.random.default_rng(7)
    X = rng.normal(size=(2000, 4))
    X[:, 3] = rng.integers(0, 6, 2000)
    X[rng.random(X.shape) < 0.05] = np.nan
    y = ((np.nan_to_num(X[:, 0]) > 0) ^ np.isin(X[:, 3], [1, 4])).astype(int) + (X[:, 1] > 1)
    est = TreeClassifier(max_depth=max_depth, categorical_features=[3], n_jobs=1).fit(X, y)
    for rows in (X, X[:7], X[:9], np.asfortranarray(X[:1500]), X[::3]):
        path = est.decision_path(rows)
        np.testing.assert_array_equal(est.apply(rows), path.indices[path.indptr[1:] - 1])
