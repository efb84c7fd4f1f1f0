"""The inputs TreeClassifier accepts, turned into the learner's float64 matrix.

A pandas or polars frame or a pyarrow table goes through narwhals (its plain
numeric columns in one block, the others one by one); anything else goes
through scikit-learn's ``check_array``. Numeric and
boolean columns become their values (missing values NaN); a categorical column
becomes the code of each value in the column's category list, learnt at fit
(NaN for missing values and for categories that fit never saw).
"""
from __future__ import annotations

from typing import Any, List, Optional, Sequence, Set

import narwhals.stable.v1 as nw
import numpy as np
import pandas as pd

from ._sk_compat import check_array, check_n_features

# Categories per column: None for a numeric column, else the array of the
# column's categories (code c stands for categories[c]).
Columns = List[Optional[np.ndarray]]


def _frame(X: Any) -> Any:
    frame = nw.from_native(X, eager_only=True, pass_through=True)
    return frame if isinstance(frame, nw.DataFrame) else None


def _declared(categorical_features: Any, names: Sequence[Any]) -> Set[int]:
    """Positions of the columns named in ``categorical_features`` (names,
    positions or a boolean mask)."""
    if isinstance(categorical_features, str):  # "from_dtype"
        return set()
    wanted = np.asarray(categorical_features)
    p = len(names)
    if wanted.dtype == bool:
        if wanted.shape != (p,):
            raise ValueError(
                f"categorical_features as a boolean mask needs {p} entries, one per column of X, "
                f"got {wanted.shape[0] if wanted.ndim == 1 else wanted.shape}"
            )
        return set(np.flatnonzero(wanted).tolist())
    out = set()
    position = {name: j for j, name in enumerate(names)}
    for item in wanted.ravel().tolist():
        if isinstance(item, bool) or not isinstance(item, (int, str, bytes, float)) and item is not None:
            raise ValueError(
                "categorical_features must be 'from_dtype', or column names, positions or a boolean mask; "
                f"got {categorical_features!r}"
            )
        if isinstance(item, int):
            if not -p <= item < p:
                raise ValueError(f"categorical_features holds {item}, but X has {p} columns")
            out.add(item % p)
        elif item in position:
            out.add(position[item])
        else:
            raise ValueError(
                f"categorical_features names {item!r}, which is not a column of X "
                f"(columns: {list(names)[:10]})"
            )
    return out


def _text_error(name: Any, what: str) -> ValueError:
    if what == "dates or times":
        how = (
            "convert it to numbers (for example its year, or days since a fixed date), "
            f"or name it in categorical_features=[{name!r}] to treat each value as a category"
        )
    else:
        how = (
            f"make it categorical (pandas: X[{name!r}].astype('category'); polars: "
            f"pl.col({name!r}).cast(pl.Categorical)), name it in categorical_features=[{name!r}], "
            "or encode it as numbers"
        )
    return ValueError(f"column {name!r} holds {what}, which the tree cannot split on: {how}")


def _categories(values: np.ndarray, missing: np.ndarray) -> np.ndarray:
    present = pd.unique(values[~missing])
    try:
        return np.asarray(sorted(present), dtype=object)
    except TypeError:  # values of kinds that do not compare: first appearance
        return np.asarray(present, dtype=object)


def _codes(values: np.ndarray, missing: np.ndarray, categories: np.ndarray) -> np.ndarray:
    codes = np.full(values.shape[0], np.nan)
    keep = ~missing
    found = pd.Index(categories).get_indexer(pd.Index(values[keep], dtype=object))
    codes[np.flatnonzero(keep)[found >= 0]] = found[found >= 0]
    return codes


def _enum_categories(col: Any) -> Optional[np.ndarray]:
    """An enum's declared categories, in their order (also those absent from the column)."""
    declared = getattr(col.dtype, "categories", None)
    if declared is None:  # narwhals' stable v1 Enum does not carry them; the native dtype does
        declared = getattr(getattr(nw.to_native(col), "dtype", None), "categories", None)
    return None if declared is None else np.asarray(list(declared), dtype=object)


def _missing(values: np.ndarray, nulls: Optional[np.ndarray]) -> np.ndarray:
    missing = np.asarray(pd.isna(values)) if values.dtype.kind in "fOc" else np.zeros(len(values), bool)
    return missing if nulls is None else missing | nulls


def _frame_column(col: Any, name: Any, categories: Any, learn: bool, declared: bool) -> Any:
    """(values, categories) of one narwhals column; categories None when numeric."""
    dtype = col.dtype
    categorical_dtype = dtype == nw.Categorical or dtype == nw.Enum
    nulls = col.is_null().to_numpy()
    if (learn and (categorical_dtype or declared)) or (not learn and categories is not None):
        values = col.to_numpy()
        missing = _missing(values, nulls)
        if learn:
            categories = _enum_categories(col) if dtype == nw.Enum else None
            if categories is None:
                categories = _categories(values, missing)
        return _codes(values, missing, categories), categories
    if categorical_dtype:
        raise ValueError(f"column {name!r} is categorical, but it held numbers when the tree was fitted")
    if dtype.is_numeric() or dtype == nw.Boolean:
        values = np.array(col.cast(nw.Float64).to_numpy(), dtype=np.float64)
        values[nulls] = np.nan
        return values, None
    if dtype in (nw.Datetime, nw.Date, nw.Duration) or str(dtype).startswith(("Datetime", "Duration", "Time")):
        raise _text_error(name, "dates or times")
    raise _text_error(name, f"text or other values that are not numbers ({dtype})")


def _array_column(values: np.ndarray, j: int, categories: Any, categorical: bool) -> Any:
    if categorical:
        missing = _missing(values, None)
        if categories is None:
            categories = _categories(values, missing)
        return _codes(values, missing, categories), categories
    try:
        return values.astype(np.float64), None
    except ValueError:  # text; other objects keep numpy's TypeError
        sample = next((v for v in values if isinstance(v, (str, bytes))), values[0])
        raise _text_error(j, f"values that are not numbers (for example {sample!r})") from None


def _checked(out: np.ndarray, estimator: Any) -> np.ndarray:
    # scikit-learn's errors for no rows and for infinity
    checked: np.ndarray = check_array(out, allow_nan=True, dtype=np.float64, order=None, estimator=estimator)
    return checked


def to_matrix(X: Any, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Any:
    """(float64 matrix, columns). With ``columns`` None the column kinds and
    category lists are learnt from X (fit); otherwise X is read with them."""
    learn = columns is None
    known: Columns = [] if columns is None else columns
    frame = _frame(X)
    if frame is not None:
        names = list(frame.columns)
        check_n_features(estimator, len(names), reset=learn)
        declared = _declared(categorical_features, names) if learn else set()
        schema = list(frame.schema.values())
        learnt: Columns = [None] * len(names)
        # Plain numeric columns in one block (one conversion instead of one per column).
        block = [j for j, dtype in enumerate(schema) if dtype.is_numeric()
                 and (j not in declared if learn else known[j] is None)]
        values = frame.select([nw.col(names[j]) for j in block]).to_numpy() if block else None
        if values is not None and values.dtype.kind in "iuf" and len(block) == len(names):
            return _checked(np.asarray(values, dtype=np.float64), estimator), learnt  # no second copy
        out = np.empty((len(frame), len(names)), dtype=np.float64, order="F")
        if values is not None and values.dtype.kind in "iuf":
            out[:, block] = values
        else:  # nullable columns that numpy holds as objects: column by column
            block = []
        done = set(block)
        for j, name in enumerate(names):
            if j not in done:
                out[:, j], learnt[j] = _frame_column(
                    frame.get_column(name), name, None if learn else known[j], learn, j in declared
                )
        return _checked(out, estimator), learnt
    arr = check_array(X, allow_nan=True, dtype=None, estimator=estimator)
    p = arr.shape[1]
    check_n_features(estimator, p, reset=learn)
    if learn:
        declared = _declared(categorical_features, range(p))
        wanted = [j in declared for j in range(p)]
    else:
        wanted = [c is not None for c in known]
    if not any(wanted) and arr.dtype.kind in "biuf":  # already checked: no infinity
        return np.asarray(arr, dtype=np.float64), [None] * p
    out = np.empty(arr.shape, dtype=np.float64, order="F")
    learnt = []
    for j in range(p):
        out[:, j], cats = _array_column(arr[:, j], j, None if learn else known[j], wanted[j])
        learnt.append(cats)
    return _checked(out, estimator), learnt
