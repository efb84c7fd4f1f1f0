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
    from ._sparse import refuse_dask_sparse
    refuse_dask_sparse(X)
    import dask.array as da
    import dask.dataframe as dd
    from dask.delayed import delayed

    # Dask's collections are not typed throughout: handled as Any here.
    blocks: Any = X
    map_blocks: Any = da.map_blocks
    width: int = 0
    dtype: Any = fitted.classes_.dtype if method == "predict" else np.dtype(np.intp)
    if method in ("predict_proba", "predict_log_proba"):
        width, dtype = len(fitted.classes_), np.dtype(np.float64)
    shared = delayed(fitted, pure=False)
    meta = np.empty((0, width) if width else (0,), dtype=dtype)
    is_frame, is_array = isinstance(X, dd.DataFrame), isinstance(X, da.Array)
    if is_frame:
        return blocks.map_partitions(_on_block, shared, method, width, dtype, meta=meta)
    if not is_array:
        raise TypeError(f"X must be a Dask DataFrame or Dask Array, got {type(X).__name__}")
    if blocks.ndim != 2:
        raise ValueError(f"X must be a 2-D Dask array, got {blocks.ndim} dimension(s)")
    if blocks.numblocks[1] > 1:
        blocks = blocks.rechunk({1: -1})
    if width:
        return map_blocks(_on_block, blocks, shared, method, width, dtype, dtype=dtype, meta=meta,
                          chunks=(blocks.chunks[0], (width,)))
    return map_blocks(_on_block, blocks, shared, method, width, dtype, dtype=dtype, meta=meta, drop_axis=1)
