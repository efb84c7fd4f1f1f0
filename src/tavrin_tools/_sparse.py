"""Sparse X for TreeClassifier: scipy.sparse matrices and arrays of any
format and index dtype, handed to the compiled learner in compressed form
and never made dense.

The fit reads compressed sparse columns (CSC, float64, duplicates summed)
and the walks compressed sparse rows (CSR); the learner gets either as the
tuple ``(data, indices, indptr, rows, cols)`` and checks the arrays itself.
A stored zero is a zero and a stored NaN a missing value, as in the dense
matrix ``X.toarray()``, whose tree the fit grows. Categorical columns need
dense input.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np
import scipy.sparse as sp

from ._frame import Columns
from ._sk_compat import check_array, check_n_features


def is_sparse(X: Any) -> bool:
    return bool(sp.issparse(X))


def sparse_matrix(X: Any, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Tuple[Any, Columns]:
    """What ``_direct.to_matrix`` gives for a scipy.sparse X: (CSC for the
    fit, CSR for the walks, float64, canonical, columns). With ``columns``
    None the columns are learnt (all numeric), otherwise checked."""
    learn = columns is None
    fmt = "csc" if learn else "csr"
    _check_structure(X)
    X = check_array(X, allow_nan=True, accept_sparse=fmt, accept_large_sparse=True, dtype=np.float64,
                    estimator=estimator)
    if X.format != fmt:
        X = X.asformat(fmt)
    p = X.shape[1]
    check_n_features(estimator, p, reset=learn)
    if columns is None:
        if _names_any(categorical_features):
            raise ValueError("categorical columns need dense input: X is sparse, pass X.toarray() (or a frame) "
                             "to use categorical_features")
    elif any(c is not None for c in columns):
        raise ValueError("this tree has categorical columns, which need dense input: X is sparse, pass X.toarray()")
    if not X.has_canonical_format:
        X = X.copy()  # never the caller's matrix changed
        X.sum_duplicates()
    return X, [None] * p


def _check_structure(X: Any) -> None:
    """ValueError for a matrix whose index arrays were changed into ones
    that do not describe it: scipy's own conversions and sums trust them,
    and would read or write out of bounds."""
    if hasattr(X, "check_format"):  # compressed rows, columns or blocks
        X.check_format(full_check=True)
    elif X.format == "coo":
        coords = X.coords if hasattr(X, "coords") else (X.row, X.col)
        for axis, (c, size) in enumerate(zip(coords, X.shape)):
            if len(c) != X.nnz or (len(c) and (c.min() < 0 or c.max() >= size)):
                raise ValueError(f"the sparse matrix holds an index outside 0 .. {size}-1 on axis {axis}")


def _names_any(categorical_features: Any) -> bool:
    """Whether categorical_features declares a column (by label, position
    or a mask with a True)."""
    if isinstance(categorical_features, str):  # "from_dtype"
        return False
    wanted = np.asarray(categorical_features, dtype=object)
    return bool(wanted.size) and not (wanted.ndim == 1 and all(v is False or v is np.False_ for v in wanted))


def refuse_dask_sparse(X: Any) -> None:
    """TypeError for a Dask collection of sparse chunks, which the
    distributed fit and prediction read as dense blocks."""
    meta = getattr(X, "_meta", None)
    if sp.issparse(meta) or type(meta).__module__.split(".")[0] == "sparse":
        raise TypeError("a Dask collection of sparse chunks is not supported: compute it to one scipy.sparse "
                        "matrix (fit and predict read those without making them dense) or make its chunks dense")


def learner_input(X: Any, fmt: str) -> Any:
    """X as the learner reads it: a scipy.sparse matrix as the tuple
    (data, indices, indptr, rows, cols) of its `fmt` ("csc" or "csr") form,
    anything else as it is."""
    if not sp.issparse(X):
        return X
    if X.format != fmt:
        X = X.asformat(fmt)
    indices, indptr = X.indices, X.indptr
    if indices.dtype != indptr.dtype or indices.dtype not in (np.int32, np.int64):
        indices, indptr = indices.astype(np.int64), indptr.astype(np.int64)
    return (np.asarray(X.data, dtype=np.float64), indices, indptr, int(X.shape[0]), int(X.shape[1]))
