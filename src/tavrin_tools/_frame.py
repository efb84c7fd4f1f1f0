"""The inputs TreeClassifier accepts, turned into the learner's float64 matrix.

A pandas or polars frame or a pyarrow table goes through narwhals (its plain
numeric columns in one block, the others one by one); anything else goes
through scikit-learn's ``check_array``. Numeric and
boolean columns, and object columns holding only numbers, become their values
(missing values NaN); a categorical column becomes the code of each value in
the column's category list, learnt at fit (NaN for missing values and for
categories that fit never saw). A pandas sparse column is made dense first:
the matrix is dense anyway, so that costs one column's copy.
"""
from __future__ import annotations

import warnings
from typing import Any, List, Optional, Sequence, Set

import narwhals.stable.v1 as nw
import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype

from . import _learner
from ._sk_compat import check_array, check_n_features

# What pandas' infer_dtype (missing values skipped) calls a column of numbers.
_NUMBER_KINDS = frozenset(("integer", "floating", "mixed-integer-float", "decimal", "boolean"))

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
    p = len(names)
    if isinstance(categorical_features, (list, tuple)) and any(isinstance(i, tuple) for i in categorical_features):
        # names of MultiIndex columns: numpy would make each tuple a row
        items = [i.item() if isinstance(i, np.generic) else i for i in categorical_features]
    else:
        wanted = np.asarray(categorical_features)
        if wanted.dtype == bool:
            if wanted.shape != (p,):
                raise ValueError(
                    f"categorical_features as a boolean mask needs {p} entries, one per column of X, "
                    f"got {wanted.shape[0] if wanted.ndim == 1 else wanted.shape}"
                )
            return set(np.flatnonzero(wanted).tolist())
        items = wanted.ravel().tolist()
    out = set()
    position = {name: j for j, name in enumerate(names)}
    for item in items:
        if isinstance(item, bool) or not isinstance(item, (int, str, bytes, float, tuple)) and item is not None:
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
    if what.startswith("dates or times"):
        how = (
            "convert it to numbers (for example its year, or days since a fixed date), "
            f"or name it in categorical_features=[{name!r}] to treat each value as a category"
        )
    elif what.startswith("complex numbers"):
        how = (
            "split it into real columns (for example its real and imaginary parts, or its magnitude), "
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


def _within_limit(categories: np.ndarray, name: Any) -> np.ndarray:
    limit = getattr(_learner, "MAX_CATEGORIES", 65536)
    if len(categories) > limit:
        raise ValueError(
            f"column {name!r} has {len(categories)} categories, more than the {limit} a categorical column "
            "may have: group the rare ones (for example into one 'other' category), or, if its values are "
            "numbers whose order means something, leave it numeric (out of categorical_features)"
        )
    return categories


def _kind(values: np.ndarray) -> Optional[str]:
    """'text' or 'numbers' when every value (missing ones aside) is one, else None."""
    kind = infer_dtype(values, skipna=True)
    return "text" if kind in ("string", "bytes") else "numbers" if kind in _NUMBER_KINDS else None


def _codes(values: np.ndarray, missing: np.ndarray, categories: np.ndarray, name: Any) -> np.ndarray:
    codes = np.full(values.shape[0], np.nan)
    keep = ~missing
    found = pd.Index(categories).get_indexer(pd.Index(values[keep], dtype=object))
    # Cast first, then a same-type masked store: numpy's fancy store that
    # casts on the way crashes when it fails to allocate its buffer.
    known = np.where(found >= 0, found, -1).astype(np.float64)
    known[found < 0] = np.nan
    codes[keep] = known
    if (found < 0).any():
        unseen = values[keep][found < 0]
        then, now = _kind(categories), _kind(unseen)
        if then is not None and now is not None and then != now:
            seen, new = (v.item() if isinstance(v, np.generic) else v for v in (categories[0], unseen[0]))
            warnings.warn(
                f"column {name!r} held {then} at fit, but here it holds {now} (for example {new!r}) that "
                f"fit never saw: those rows go with missing values. Give the column the type it had at fit "
                f"(for example {seen!r})",
                UserWarning,
                stacklevel=2,
            )
    return codes


def _object_numbers(values: np.ndarray) -> Optional[np.ndarray]:
    """An object column of numbers (None, NaN and other missing values
    aside) as float64, missing values NaN; None if it holds text. Other
    objects go through numpy's conversion, and its TypeError (the one
    scikit-learn raises) if they are no numbers."""
    if infer_dtype(values, skipna=True) in _NUMBER_KINDS | {"empty"}:
        missing = np.asarray(pd.isna(values))
        out = np.full(values.shape[0], np.nan)
        out[~missing] = values[~missing].astype(np.float64)
        return out
    if any(isinstance(v, (str, bytes)) for v in values):
        return None
    converted: np.ndarray = values.astype(np.float64)
    return converted


def _enum_categories(col: Any) -> Optional[np.ndarray]:
    """An enum's declared categories, in their order (also those absent from the column)."""
    declared = getattr(col.dtype, "categories", None)
    if declared is None:  # narwhals' stable v1 Enum does not carry them; the native dtype does
        declared = getattr(getattr(nw.to_native(col), "dtype", None), "categories", None)
    return None if declared is None else np.asarray(list(declared), dtype=object)


def _missing(values: np.ndarray, nulls: Optional[np.ndarray]) -> np.ndarray:
    missing = np.asarray(pd.isna(values)) if values.dtype.kind in "fOc" else np.zeros(len(values), bool)
    return missing if nulls is None else missing | nulls


def _native_dtype(col: Any) -> Any:
    native = nw.to_native(col)
    dtype = getattr(native, "dtype", None)
    return getattr(native, "type", None) if dtype is None else dtype  # pyarrow: type


def _frame_column(col: Any, name: Any, categories: Any, learn: bool, declared: bool) -> Any:
    """(values, categories) of one narwhals column; categories None when numeric."""
    if isinstance(_native_dtype(col), pd.SparseDtype):
        col = nw.from_native(nw.to_native(col).sparse.to_dense(), series_only=True)
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
            _within_limit(categories, name)
        return _codes(values, missing, categories, name), categories
    if categorical_dtype:
        raise ValueError(f"column {name!r} is categorical, but it held numbers when the tree was fitted")
    if dtype.is_numeric() or dtype == nw.Boolean:
        values = np.array(col.cast(nw.Float64).to_numpy(), dtype=np.float64)
        values[nulls] = np.nan
        return values, None
    native = _native_dtype(col)
    if dtype == nw.Object:
        values = _object_numbers(col.to_numpy())
        if values is not None:
            values[nulls] = np.nan
            return values, None
    if (dtype in (nw.Datetime, nw.Date, nw.Duration) or str(dtype).startswith(("Datetime", "Duration", "Time"))
            or isinstance(native, pd.PeriodDtype)):
        raise _text_error(name, f"dates or times ({native})")
    if isinstance(native, np.dtype) and native.kind == "c":
        raise _text_error(name, f"complex numbers ({native})")
    raise _text_error(name, f"text or other values that are not numbers ({native})")


def _array_column(values: np.ndarray, j: int, categories: Any, categorical: bool) -> Any:
    if categorical:
        missing = _missing(values, None)
        if categories is None:
            categories = _within_limit(_categories(values, missing), j)
        return _codes(values, missing, categories, j), categories
    numbers = _object_numbers(values) if values.dtype == object else values.astype(np.float64)
    if numbers is None:
        sample = next((v for v in values if isinstance(v, (str, bytes))), values[0])
        raise _text_error(j, f"values that are not numbers (for example {sample!r})")
    return numbers, None


def _checked(out: np.ndarray, estimator: Any) -> np.ndarray:
    # scikit-learn's errors for no rows and for infinity
    checked: np.ndarray = check_array(out, allow_nan=True, dtype=np.float64, order=None, estimator=estimator)
    return checked


def general_matrix(X: Any, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Any:
    """(float64 matrix, columns) of any input. With ``columns`` None the
    column kinds and category lists are learnt from X (fit); otherwise X is
    read with them. (``_direct.to_matrix`` reads the common inputs faster.)"""
    learn = columns is None
    known: Columns = [] if columns is None else columns
    labels = None
    if isinstance(X, pd.DataFrame) and isinstance(X.columns, pd.MultiIndex):
        # The frame libraries take only flat column names: read the columns
        # by position, name them by their tuples in messages.
        labels = list(X.columns)
        X = X.copy(deep=False)
        X.columns = pd.RangeIndex(len(labels))
    frame = _frame(X)
    if frame is not None:
        names = list(frame.columns)
        labels = names if labels is None else labels
        check_n_features(estimator, len(names), reset=learn)
        declared = _declared(categorical_features, labels) if learn else set()
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
                    frame.get_column(name), labels[j], None if learn else known[j], learn, j in declared
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
