"""TreeClassifier's parameters turned into the learner's arguments at fit:
the growth limits, the number of features drawn per node, the fit's seed,
the monotonic constraints, with scikit-learn's definitions and error
messages, and the grid of the rows' weights. The in-memory and the
distributed fit both take them from here."""
from __future__ import annotations

from math import ceil, frexp
from numbers import Integral
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from sklearn.utils import check_random_state


def count(value: Any) -> int:
    """A count for the learner: values past any possible row count mean the
    same as the largest it takes."""
    return min(int(value), 2**31 - 1)


def growth_limits(est: Any, n: int, weight_total: float) -> Tuple[str, int, int, int, float, float]:
    """(criterion, max_depth, min_samples_split, min_samples_leaf,
    min_weight_leaf, min_impurity_decrease) for a fit of n rows of total
    weight weight_total: fractions of n rounded up, as scikit-learn, and a
    split needing at least 2 * min_samples_leaf rows."""
    leaf = est.min_samples_leaf
    leaf = count(leaf) if isinstance(leaf, Integral) else int(ceil(leaf * n))
    split = est.min_samples_split
    split = count(split) if isinstance(split, Integral) else max(2, int(ceil(split * n)))
    return ("entropy" if est.criterion == "log_loss" else est.criterion,
            -1 if est.max_depth is None else count(est.max_depth), count(max(split, 2 * leaf)), leaf,
            float(est.min_weight_fraction_leaf * weight_total), float(est.min_impurity_decrease))


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


def weight_grid(largest: float, n: int) -> int:
    """The exponent e of the grid 2**e on which any n weights of at most
    `largest` add up exactly in float64, in any order: each partial sum is
    a whole number of 2**e below 2**53 * 2**e. The largest weight and the
    row count are the same however the rows are split, so the in-memory fit
    and the distributed one (whose sums are made per partition and merged)
    use one grid."""
    if not largest > 0.0:
        return 0
    return max(frexp(largest)[1] + max(n - 1, 0).bit_length() - 53, -1074)


def on_grid(weight: np.ndarray, exponent: int) -> np.ndarray:
    """The weights rounded to the nearest whole number of 2**exponent (ties
    to even), a positive weight to one step at least: sums of the result do
    not depend on their order. A weight moves by at most half a step, of the
    order of the rounding a float64 sum of all of them already makes; weights
    already on the grid (whole numbers, halves, ... unit weights) stay as
    they are."""
    steps = np.rint(np.ldexp(weight, -exponent))
    steps[(steps == 0.0) & (weight > 0.0)] = 1.0
    grid: np.ndarray = np.ldexp(steps, exponent)
    return grid

