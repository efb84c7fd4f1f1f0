"""Sparse X: the tree grown from compressed columns is the dense tree of
X.toarray(), array for array, and the walks over compressed rows answer
as over the dense rows."""
import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given, settings, strategies as st

from tavrin_tools import ExtraTreeClassifier, TreeClassifier
from tavrin_tools._tree import grow


def assert_same_tree(a, b):
    x, y = a.tree_.to_dict(), b.tree_.to_dict()
    assert x.keys() == y.keys()
    for name in x:
        assert np.array_equal(np.asarray(x[name]), np.asarray(y[name]), equal_nan=True), name


@st.composite
def sparse_data(draw):
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    n, p = draw(st.integers(2, 120)), draw(st.integers(1, 30))
    density = draw(st.sampled_from([0.001, 0.01, 0.05, 0.1]))
    X = np.zeros((n, p))
    stored = rng.random((n, p)) < max(density, 1.5 / (n * p))
    # Few distinct values, so that ties and values within 1e-7 of each other occur.
    values = rng.choice([-2.0, -1.0, -1e-8, 1e-8, 0.5, 0.5 + 5e-8, 1.0, 3.0, np.nan], size=stored.sum())
    X[stored] = values
    M = sp.csc_matrix(X)
    # Explicit zeros: stored entries of value 0 (and -0.0).
    zero_at = rng.random(M.nnz) < 0.1
    M.data[zero_at] = rng.choice([0.0, -0.0], size=zero_at.sum())
    n_classes, outputs = draw(st.integers(2, 4)), draw(st.sampled_from([1, 1, 2]))
    y = rng.integers(0, n_classes, size=(n, outputs))
    y[0], y[-1] = 0, 1
    y = y[:, 0] if outputs == 1 else y
    w = None
    if draw(st.booleans()):
        w = rng.choice([0.0, 0.5, 1.0, 2.5, 1 / 3], size=n)
        w[0] = 1.0
    monotonic = rng.integers(-1, 2, size=p) if n_classes == 2 and outputs == 1 and draw(st.booleans()) else None
    return M, y, w, monotonic


PARAMS = st.fixed_dictionaries({}, optional={
    "criterion": st.sampled_from(["gini", "entropy"]),
    "splitter": st.sampled_from(["best", "random"]),
    "max_depth": st.integers(1, 6),
    "min_samples_split": st.integers(2, 10),
    "min_samples_leaf": st.integers(1, 5),
    "min_weight_fraction_leaf": st.sampled_from([0.0, 0.05, 0.2]),
    "min_impurity_decrease": st.sampled_from([0.0, 0.01]),
    "max_leaf_nodes": st.integers(2, 12),
    "max_features": st.sampled_from([None, 1, 3, 0.5, "sqrt"]),
    "class_weight": st.sampled_from([None, "balanced"]),
    "ccp_alpha": st.sampled_from([0.0, 0.01]),
    "random_state": st.integers(0, 2**31),
})


@settings(max_examples=250, deadline=None)
@given(sparse_data(), PARAMS, st.sampled_from([TreeClassifier, ExtraTreeClassifier]))
def test_same_tree_as_dense(data, params, cls):
    M, y, w, monotonic = data
    X = M.toarray()
    params.setdefault("random_state", 0)  # the same draws for both fits
    params["monotonic_cst"] = monotonic
    dense = cls(**params).fit(X, y, sample_weight=w)
    for fmt in ("csc", "csr"):
        got = cls(**params).fit(M.asformat(fmt), y, sample_weight=w)
        assert_same_tree(dense, got)
    Xq = sp.csr_matrix(X[::-1])
    np.testing.assert_array_equal(got.apply(Xq), dense.apply(X[::-1]))
    assert (got.decision_path(Xq) != dense.decision_path(X[::-1])).nnz == 0


def test_every_format_and_index_dtype():
    rng = np.random.default_rng(3)
    X = rng.random((200, 12))
    X[X < 0.8] = 0.0
    y = (X[:, 0] + X[:, 5] > 0.3).astype(int) + (X[:, 7] > 0.5)
    dense = TreeClassifier(random_state=0).fit(X, y)
    want = dense.predict_proba(X)
    for make in (sp.csr_matrix, sp.csc_matrix, sp.coo_matrix, sp.csr_array, sp.csc_array, sp.coo_array):
        M = make(X)
        if hasattr(M, "indices"):
            M.indices, M.indptr = M.indices.astype(np.int64), M.indptr.astype(np.int64)
        est = TreeClassifier(random_state=0).fit(M, y)
        assert_same_tree(dense, est)
        np.testing.assert_array_equal(est.predict_proba(M), want)
        np.testing.assert_array_equal(est.predict(M), dense.predict(X))
        np.testing.assert_array_equal(est.predict_log_proba(M), dense.predict_log_proba(X))
        assert est.score(M, y) == dense.score(X, y)
    got, expected = TreeClassifier().cost_complexity_pruning_path(sp.csr_matrix(X), y), dense.cost_complexity_pruning_path(X, y)
    np.testing.assert_array_equal(got.ccp_alphas, expected.ccp_alphas)


def test_duplicates_are_summed_and_the_callers_matrix_kept():
    M = sp.csc_matrix((np.array([1.0, 2.0, 5.0, -1.0]), np.array([0, 0, 1, 2]), np.array([0, 4])), shape=(4, 1))
    assert not M.has_canonical_format
    y = [0, 1, 1, 0]
    dense = TreeClassifier().fit(M.toarray(), y)
    est = TreeClassifier().fit(M, y)
    assert_same_tree(dense, est)
    assert M.nnz == 4  # not summed in place


def csr_parts(X):
    M = sp.csr_matrix(X)
    return M.data.copy(), M.indices.copy(), M.indptr.copy()


def test_malformed_sparse_input_raises_value_error():
    rng = np.random.default_rng(0)
    X = rng.random((30, 4))
    X[X < 0.5] = 0.0
    y = np.arange(30) % 2
    est = TreeClassifier().fit(X, y)
    tree = est.tree_
    data, indices, indptr = csr_parts(X)
    bad = {
        "index out of range": (data, np.where(indices == indices.max(), 99, indices), indptr),
        "negative index": (data, np.where(indices == indices.max(), -1, indices), indptr),
        "indptr decreasing": (data, indices, indptr[::-1].copy()),
        "indptr past the values": (data, indices, indptr + 5),
        "indptr too short": (data, indices, indptr[:-2]),
        "data shorter than indices": (data[:-1], indices, indptr),
    }
    for what, (d, i, p) in bad.items():
        for dtype in (np.int32, np.int64):
            with pytest.raises(ValueError):
                tree.apply((d, i.astype(dtype), p.astype(dtype), 30, 4))
            with pytest.raises(ValueError):
                tree.decision_path((d, i.astype(dtype), p.astype(dtype), 30, 4))
    # Hand-mutated scipy matrices: refused before scipy's own conversions read them.
    for make, arrays in ((sp.csc_matrix, ("indices", "indptr")), (sp.csr_array, ("indices", "indptr")),
                         (sp.coo_matrix, ("row", "col"))):
        for name in arrays:
            M = make(X)
            getattr(M, name)[1] = 99 if name != "indptr" else -1
            with pytest.raises(ValueError):
                TreeClassifier().fit(M, y)
            with pytest.raises(ValueError):
                est.predict(M)
    # The fit reads columns; a row stored twice in one column is refused too.
    C = sp.csc_matrix(X)
    twice = C.indices.copy()
    twice[1] = twice[0]
    for parts in ((C.data, twice, C.indptr), (C.data, C.indices + 40, C.indptr), (C.data, C.indices, C.indptr[::-1].copy())):
        with pytest.raises(ValueError):
            grow(parts + (30, 4), y.astype(np.int64), np.ones(30), 2, np.zeros(4, np.int64), "gini", -1, 2, 1, 0.0,
                 0.0, -1, 1)


def test_clear_errors():
    X = sp.random(20, 5, density=0.5, random_state=0, format="csr")
    y = np.arange(20) % 2
    with pytest.raises(ValueError, match="categorical columns need dense input"):
        TreeClassifier(categorical_features=[1]).fit(X, y)
    with pytest.raises(ValueError, match="inconsistent numbers of samples"):
        TreeClassifier().fit(X, y[:-1])
    est = TreeClassifier().fit(X, y)
    with pytest.raises(ValueError, match="5 features"):
        est.predict(sp.random(3, 6, density=0.5, format="csr"))
    frame = TreeClassifier(categorical_features=[0]).fit(np.c_[np.arange(20) % 3, np.ones(20)], y)
    with pytest.raises(ValueError, match="dense input"):
        frame.predict(sp.csr_matrix(np.ones((2, 2))))
    with pytest.raises(ValueError, match="infinity"):
        TreeClassifier().fit(sp.csr_matrix(np.array([[np.inf], [1.0]])), [0, 1])


def test_dask_collection_of_sparse_chunks_is_refused():
    da = pytest.importorskip("dask.array")
    X = np.random.default_rng(0).random((40, 3))
    y = np.arange(40) % 2
    chunks = da.from_array(X, chunks=(20, 3)).map_blocks(sp.csr_matrix)
    with pytest.raises(TypeError, match="sparse chunks"):
        TreeClassifier().fit(chunks, da.from_array(y, chunks=20))
    with pytest.raises(TypeError, match="sparse chunks"):
        TreeClassifier().fit(X, y).predict(chunks)
