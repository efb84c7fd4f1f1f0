"""The few scikit-learn helpers whose names moved between the releases
supported (1.3 to the current one), behind one spelling each."""
from __future__ import annotations

import inspect
from typing import Any

from sklearn.utils import validation as _validation
from sklearn.utils.validation import check_array as _check_array

# 1.6 renamed force_all_finite to ensure_all_finite; 1.8 dropped the old name.
_FINITE_KW = (
    "ensure_all_finite"
    if "ensure_all_finite" in inspect.signature(_check_array).parameters
    else "force_all_finite"
)


def check_array(array: Any, *, allow_nan: bool, **kwargs: Any) -> Any:
    kwargs[_FINITE_KW] = "allow-nan" if allow_nan else True
    return _check_array(array, **kwargs)


def check_feature_names(estimator: Any, X: Any, *, reset: bool) -> None:
    """Records (reset) or checks the column names of X as scikit-learn does,
    with its warnings and errors."""
    if hasattr(_validation, "_check_feature_names"):
        _validation._check_feature_names(estimator, X, reset=reset)
    else:  # scikit-learn < 1.6: a method of BaseEstimator
        estimator._check_feature_names(X, reset=reset)


def check_n_features(estimator: Any, n_features: int, *, reset: bool) -> None:
    if reset:
        estimator.n_features_in_ = n_features
    elif n_features != estimator.n_features_in_:
        raise ValueError(
            f"X has {n_features} features, but {type(estimator).__name__} "
            f"is expecting {estimator.n_features_in_} features as input."
        )
