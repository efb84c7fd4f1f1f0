"""The randomised search's parameters of TreeClassifier, turned into the
learner's arguments at fit: the number of features drawn per node, the
fit's seed and the monotonic constraints, with scikit-learn's definitions
and error messages."""
from __future__ import annotations

from numbers import Integral
from typing import Any, List, Optional, Sequence

import numpy as np
from sklearn.utils import check_random_state


def resolve_max_features(max_features: Any, n_features: int) -> int:
    """Features drawn per node, as DecisionTreeClassifier counts them."""
    if max_features is None:
        return n_features
    if isinstance(max_features, str):
        if max_features == "sqrt":
            return max(1, int(np.sqrt(n_features)))
        return max(1, int(np.log2(n_features)))  # "log2"
    if isinstance(max_features, Integral):
        return int(max_features)
    return max(1, int(max_features * n_features))


def draw_seed(random_state: Any) -> int:
    """One 64-bit seed from ``random_state`` (None: numpy's global
    RandomState, as scikit-learn takes it); every draw of the fit is keyed
    by it. Drawn at every fit, as scikit-learn's splitters draw theirs."""
    rng = check_random_state(random_state)
    high, low = rng.randint(0, 2**32, size=2, dtype=np.uint64)
    return int(high) << 32 | int(low)


def check_monotonic(monotonic_cst: Any, n_features: int, n_classes: int, categories: Sequence[Optional[Any]],
                    names: Optional[Sequence[Any]]) -> Optional[np.ndarray]:
    """The constraints as int64, one per column, or None; scikit-learn's
    errors for a wrong length, values other than -1, 0, 1 and a multi-class
    target, and a ValueError naming any constrained categorical column."""
    if monotonic_cst is None:
        return None
    cst = np.asarray(monotonic_cst)
    if cst.ndim != 1 or cst.shape[0] != n_features:
        shape = cst.shape[0] if cst.ndim else ()
        raise ValueError(f"monotonic_cst has shape {shape} but the input data X has {n_features} features.")
    if not np.all(np.isin(cst, (-1, 0, 1))):
        raise ValueError(f"monotonic_cst must be None or an array-like of -1, 0 or 1, but got {np.unique(cst)}")
    cst = cst.astype(np.int64)
    if n_classes > 2:
        raise ValueError("Monotonicity constraints are not supported with multiclass classification")
    bad: List[str] = [str(names[j]) if names is not None else str(j)
                      for j in range(n_features) if cst[j] != 0 and categories[j] is not None]
    if bad:
        raise ValueError(f"monotonic_cst constrains categorical column(s) {', '.join(bad)}: a monotonic "
                         "constraint needs an order of values, so only numeric columns may have one")
    return cst
