"""The common inputs of TreeClassifier read without the dataframe layer.

A float, integer or bool numpy matrix, and a plain pandas frame of numpy
numeric, bool and ``category`` columns, are read here in a few tens of
microseconds; everything else (other frame libraries, nullable, object,
text, date or sparse columns, declared categorical columns that are not of
``category`` dtype, infinity, no rows or columns, ...) goes to
``_frame.general_matrix``, which raises scikit-learn's errors. Where this
module answers, it answers what the general reading would: the same matrix,
the same category lists and codes, and the same warnings, which it gets by
calling the general reading's own helpers on one value per category.

Pandas frames are read block by block through the frame's block manager;
anything there of another shape than expected sends the frame down the
general path.
"""
from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
import pandas as pd
from sklearn.utils.multiclass import check_classification_targets

from ._frame import _NUMBER_KINDS, Columns, _categories, _codes, _declared, _kind, _missing, _within_limit, general_matrix
from ._sk_compat import check_feature_names, check_n_features
from ._sparse import is_sparse, sparse_matrix

Matrix = Tuple[np.ndarray, Columns]

# What _frame._kind calls each kind pandas infers.
_INFERRED_KINDS = dict.fromkeys(("string", "bytes"), "text")
_INFERRED_KINDS.update(dict.fromkeys(_NUMBER_KINDS, "numbers"))

# numpy kinds read as numbers: bool, signed and unsigned integers, floats
# (half floats aside: the dataframe layer has no such type).
_NUMERIC = frozenset("biuf")


def to_matrix(X: Any, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Matrix:
    """(float64 matrix, columns), as ``_frame.general_matrix`` gives them.
    With ``columns`` None the column kinds and category lists are learnt
    from X (fit); otherwise X is read with them."""
    if is_sparse(X):  # kept sparse: the learner reads compressed columns and rows
        return sparse_matrix(X, categorical_features, columns, estimator)
    found = direct_matrix(X, categorical_features, columns, estimator)
    return general_matrix(X, categorical_features, columns, estimator) if found is None else found


# Answers worked out for a pandas Index (immutable) and a fitted array,
# kept while both are the same objects and the array holds what it held:
# rows taken from one frame share its Index objects, so repeated small
# predicts skip reading the Index's values.
_MEMO: Dict[Tuple[int, int], Tuple[Any, np.ndarray, List[Any], Any]] = {}
_MEMO_SIZE = 64
_MEMO_WIDTH = 4096  # longer Indexes are not kept


def _memo(index: pd.Index, fitted: np.ndarray, work: Callable[[], Any]) -> Any:
    key = (id(index), id(fitted))
    kept = _MEMO.get(key)
    now = fitted.tolist()
    if kept is not None and kept[0] is index and kept[1] is fitted and kept[2] == now:
        return kept[3]
    answer = work()
    if len(index) <= _MEMO_WIDTH:
        if len(_MEMO) >= _MEMO_SIZE:
            _MEMO.clear()
        _MEMO[key] = (index, fitted, now, answer)
    return answer


def check_names(estimator: Any, X: Any) -> None:
    """scikit-learn's check of X's column names against those seen at fit.
    The usual cases, where it finds nothing to say, are recognised without
    it: a numpy matrix after a fit without names, and a frame whose column
    names are the fitted ones, all plain str."""
    fitted = estimator.__dict__.get("feature_names_in_")
    if type(X) is np.ndarray and fitted is None:
        return
    if type(X) is pd.DataFrame and type(fitted) is np.ndarray and _memo(X.columns, fitted, lambda: _same_names(X, fitted)):
        return
    check_feature_names(estimator, X, reset=False)


def record_names(estimator: Any, X: Any) -> None:
    """scikit-learn's recording of X's column names at fit
    (``feature_names_in_``), done here for a plain frame whose names are
    all str, the one case where it keeps them."""
    if type(X) is pd.DataFrame and not isinstance(X.columns, pd.MultiIndex) and len(X.columns):
        names = X.columns.tolist()
        if set(map(type, names)) == {str}:
            estimator.feature_names_in_ = np.asarray(names, dtype=object)
            return
    check_feature_names(estimator, X, reset=True)


def check_targets(y: np.ndarray) -> None:
    """scikit-learn's check that y holds classes, which a 1-D array of
    integers or booleans always passes (its type is binary or multiclass)."""
    if not (y.ndim == 1 and y.dtype.kind in "biu"):
        check_classification_targets(y)


def _same_names(X: pd.DataFrame, fitted: np.ndarray) -> bool:
    names = X.columns.tolist()
    return set(map(type, names)) == {str} and names == fitted.tolist()


def direct_matrix(X: Any, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Optional[Matrix]:
    """The matrix and columns of a numpy matrix or plain pandas frame, or
    None when X takes the general path."""
    if type(X) is np.ndarray:
        return _array(X, categorical_features, columns, estimator)
    if type(X) is pd.DataFrame:
        return _pandas(X, categorical_features, columns, estimator)
    return None


def _no_infinity(values: np.ndarray) -> bool:
    if values.dtype.kind != "f":
        return True
    with np.errstate(over="ignore", invalid="ignore"):
        if np.isfinite(np.sum(values)):  # one pass; NaN or an overflow looks closer
            return True
    return not np.isinf(values).any()


def _array(X: np.ndarray, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Optional[Matrix]:
    if X.ndim != 2 or X.dtype.kind not in _NUMERIC or X.dtype.itemsize < 4 and X.dtype.kind == "f":
        return None
    n, p = X.shape
    if n == 0 or p == 0 or not _no_infinity(X):
        return None
    if columns is None:
        if not isinstance(categorical_features, str) or categorical_features != "from_dtype":
            return None  # declared columns: the general path reads them
        check_n_features(estimator, p, reset=True)
        return np.asarray(X, dtype=np.float64), [None] * p
    if len(columns) != p or any(c is not None for c in columns):
        return None
    return np.asarray(X, dtype=np.float64), [None] * p


def _blocks(X: pd.DataFrame) -> Optional[List[Tuple[np.ndarray, Any]]]:
    """(column positions, values) of each block: a 2-D numeric ndarray (one
    row per column) or a Categorical; None for anything else."""
    blocks = getattr(X._mgr, "blocks", None)
    if blocks is None:
        return None
    out = []
    for block in blocks:
        locs = np.asarray(block.mgr_locs.as_array)
        values = block.values
        if isinstance(values, np.ndarray):
            kind, size = values.dtype.kind, values.dtype.itemsize
            if values.ndim != 2 or values.shape[0] != len(locs) or kind not in _NUMERIC or kind == "f" and size < 4:
                return None
        elif type(values) is not pd.Categorical or len(locs) != 1:
            return None
        out.append((locs, values))
    return out


def _pandas(X: pd.DataFrame, categorical_features: Any, columns: Optional[Columns], estimator: Any) -> Optional[Matrix]:
    learn = columns is None
    if isinstance(X.columns, pd.MultiIndex) or not X.columns.is_unique:
        return None
    n, p = X.shape
    if n == 0 or p == 0 or not learn and len(columns) != p:  # type: ignore[arg-type]
        return None
    try:
        blocks = _blocks(X)
    except AttributeError:  # a block manager of another make
        return None
    if blocks is None:
        return None
    numeric = [(locs, values) for locs, values in blocks if isinstance(values, np.ndarray)]
    categorical = sorted((int(locs[0]), values) for locs, values in blocks if not isinstance(values, np.ndarray))
    if learn:
        declared = set() if isinstance(categorical_features, str) else _declared(categorical_features, X.columns.tolist())
        if any(j in declared for locs, _ in numeric for j in locs.tolist()):
            return None
    else:
        kinds = dict(categorical)
        if any((columns[j] is None) != (j not in kinds) for j in range(p)):  # type: ignore[index]
            return None
    if not all(_no_infinity(values) for _, values in numeric):
        return None
    if learn:
        check_n_features(estimator, p, reset=True)
    if len(numeric) == 1 and not categorical and np.array_equal(numeric[0][0], np.arange(p)):
        return np.asarray(numeric[0][1].T, dtype=np.float64), [None] * p
    out = np.empty((n, p), dtype=np.float64, order="F")
    for locs, values in numeric:
        # Cast first, then a same-type store: numpy's fancy store that casts
        # on the way crashes when it fails to allocate its buffer.
        out[:, locs] = np.asarray(values.T, dtype=np.float64)
    learnt: Columns = [None] * p
    for j, cat in categorical:
        out[:, j], learnt[j] = _category_codes(cat, X.columns, j, None if learn else columns[j])  # type: ignore[index]
    return out, learnt


def _category_codes(cat: pd.Categorical, labels: pd.Index, j: int,
                    categories: Optional[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    """The float codes of category column j in the column's category list
    (learnt when ``categories`` is None), NaN where missing or unknown."""
    # As intp first: numpy's fancy indexing that casts its index on the
    # way crashes when it fails to allocate its buffer.
    codes = np.asarray(cat.codes).astype(np.intp)
    if categories is not None:
        fitted = categories
        table = _memo(cat.categories, fitted, lambda: _known_table(cat, fitted))
        if table is not None:
            return table[codes], fitted
    # One value per category the column holds, in order of first
    # appearance, then one missing value if it holds any: the general
    # reading's helpers see what they would see in the whole column, once.
    missing_rows = bool((codes < 0).any())
    if categories is None and cat.categories.inferred_type == "string":
        # Text at fit: the values are the categories' own str objects, and
        # they sort, so the order of first appearance does not matter (it
        # does at predict, for the example a warning gives). What stands
        # for a missing value matters only in that it is missing.
        present = np.flatnonzero(np.bincount(codes + 1, minlength=len(cat.categories) + 1)[1:])
        values = np.asarray(cat.categories.tolist() + [np.nan], dtype=object)
        some = np.append(present, -1) if missing_rows else present
        values = values[some]
    else:
        present = pd.unique(codes[codes >= 0])
        some = np.append(present, -1).astype(codes.dtype) if missing_rows else present
        values = pd.Categorical.from_codes(some, dtype=cat.dtype).to_numpy()
    missing = _missing(values, some < 0)
    name = _Label(labels, j)
    if categories is None:
        categories = _within_limit(_categories(values, missing), name)
        table = _known_table(cat, categories)  # every category the column holds is in the list
        if table is not None:
            return table[codes], categories
    coded = _codes(values, missing, categories, name)
    table = np.full(len(cat.categories) + 1, np.nan)  # the last entry: code -1
    table[present] = coded[:len(present)]
    return table[codes], categories


class _Label:
    """Column j's label in a message, as the general path writes it (its
    repr); read from the Index only if a message is made."""

    def __init__(self, labels: pd.Index, j: int) -> None:
        self.labels, self.j = labels, j

    def __repr__(self) -> str:
        return repr(self.labels[self.j:self.j + 1].tolist()[0])


def _known_table(cat: pd.Categorical, categories: np.ndarray) -> Optional[np.ndarray]:
    """Per category code of the column (and -1 last): its code in the fitted
    ``categories``, NaN for -1 and categories unknown at fit. None unless
    both are all text or all numbers: then Python's hashing finds what the
    general path's lookup finds, and an unknown category is of the kind of
    the fitted ones, which the general path passes over without a warning."""
    here = cat.categories
    kind = _kind(categories)
    # inferred_type is kept by the categories' Index, which rows taken from
    # one frame share; it skips no missing values, but categories have none.
    if kind is None or _INFERRED_KINDS.get(here.inferred_type) != kind:
        return None
    position: Dict[Any, int] = dict(zip(categories.tolist(), range(len(categories))))
    found = np.fromiter((position.get(v, -1) for v in here.tolist()), dtype=np.int64, count=len(here))
    found = np.append(found, -1)
    table = found.astype(np.float64)
    table[found < 0] = np.nan
    return table
