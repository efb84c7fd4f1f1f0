"""predict, predict_proba, predict_log_proba and apply of a Dask collection:
lazy Dask Arrays computed partition by partition, on the workers, with the
fitted estimator.

The estimator travels as one task of the graph that every partition's task
depends on, so it is pickled once and sent once to each worker that needs
it, however many partitions there are. A partition's answer is what the
in-memory method gives for that partition's rows.
"""
from __future__ import annotations

from typing import Any

import numpy as np


def _on_block(block: Any, est: Any, method: str, width: int, dtype: Any) -> np.ndarray:
    if len(block) == 0:  # the in-memory methods ask for at least one row
        return np.empty((0, width) if width else (0,), dtype=dtype)
    out: np.ndarray = getattr(est, method)(block)
    return out


def predict_dask(fitted: Any, X: Any, method: str) -> Any:
    """`method`'s answer for the Dask DataFrame or 2-D Dask Array X as a Dask
    Array; `fitted` is the estimator's fitted state (its _fitted())."""
    import dask
    import dask.array as da
    import dask.dataframe as dd

    if method in ("predict_proba", "predict_log_proba"):
        width, dtype = len(fitted.classes_), np.dtype(np.float64)
    else:
        width, dtype = 0, fitted.classes_.dtype if method == "predict" else np.dtype(np.intp)
    shared = dask.delayed(fitted, pure=False)
    meta = np.empty((0, width) if width else (0,), dtype=dtype)
    if isinstance(X, dd.DataFrame):
        return X.map_partitions(_on_block, shared, method, width, dtype, meta=meta)
    if not isinstance(X, da.Array):
        raise TypeError(f"X must be a Dask DataFrame or Dask Array, got {type(X).__name__}")
    if X.ndim != 2:
        raise ValueError(f"X must be a 2-D Dask array, got {X.ndim} dimension(s)")
    if X.numblocks[1] > 1:
        X = X.rechunk({1: -1})
    if width:
        return da.map_blocks(_on_block, X, shared, method, width, dtype, dtype=dtype, meta=meta,
                             chunks=(X.chunks[0], (width,)))
    return da.map_blocks(_on_block, X, shared, method, width, dtype, dtype=dtype, meta=meta, drop_axis=1)
