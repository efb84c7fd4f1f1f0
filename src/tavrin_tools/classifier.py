"""TreeClassifier: a scikit-learn estimator grown by tavrin's C++ learner.

The estimator validates and converts its inputs here, in Python; growth and
the walk of rows down the tree happen in ``tavrin_tools._learner`` (wrapped by
``tavrin_tools._tree``) without the interpreter lock. Pruning works on the
learner's flat tree in numpy.
"""
from __future__ import annotations

import os
from numbers import Integral, Real
from typing import Any, Dict, Optional

import numpy as np
from scipy.sparse import csr_matrix
from sklearn.base import BaseEstimator, ClassifierMixin, clone
from sklearn.utils import Bunch
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions
from sklearn.utils.class_weight import compute_sample_weight
from sklearn.utils.validation import (
    _check_sample_weight,
    check_consistent_length,
    check_is_fitted,
    column_or_1d,
)

from ._direct import check_names, check_targets, record_names, to_matrix
from ._pruning import prune, subtree
from ._search_params import (check_monotonic, count as _count, draw_seed, growth_limits, on_grid, resolve_max_features,
                             weight_grid)
from ._tree import FlatTree, grow
from ._sk_compat import check_array


def _n_threads(n_jobs: Optional[int]) -> int:
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        cores = os.cpu_count() or 1
    if n_jobs is None:
        return cores
    return _count(n_jobs) if n_jobs > 0 else max(1, cores + 1 + n_jobs)


def _check_total(weight: np.ndarray, what: str) -> None:
    with np.errstate(over="ignore"):
        total = np.sum(weight)
    if not np.isfinite(total):
        raise ValueError(
            f"{what} add up to more than the largest float64 ({np.finfo(np.float64).max:.4g}): divide them by "
            "a common factor (their mean, for example); only their ratios shape the tree"
        )


# Everything fit sets. Fit builds it on a staging copy and publishes it in one
# step (see _publish); the methods that use it read it through _fitted.
_FITTED = ("tree_", "classes_", "n_classes_", "n_features_in_", "feature_names_in_", "categories_",
           "is_categorical_", "max_features_", "n_outputs_", "_node_proba", "_node_class")


def _dask_answer(est: "TreeClassifier", X: Any, method: str) -> np.ndarray:
    """The lazy Dask Array of `method` for a Dask collection X (see
    _dask_predict). Typed as the in-memory answer: a Dask Array stands in
    for the array it computes."""
    from ._dask_predict import predict_dask
    answer: np.ndarray = predict_dask(est._fitted(), X, method)
    return answer



def _encode(y: np.ndarray) -> Any:
    """np.unique(y, return_inverse=True). Integer labels in a narrow range
    are counted instead of sorted: the same classes (dtype included) and
    codes, in a pass over y."""
    if y.dtype.kind in "iu" and y.size:
        lo, hi = int(y.min()), int(y.max())
        if hi - lo <= max(1024, y.size) and -(2**62) <= lo and hi < 2**62:
            offsets = y.astype(np.int64) - lo
            present = np.bincount(offsets, minlength=hi - lo + 1) > 0
            code_of = np.cumsum(present) - 1
            return (np.flatnonzero(present) + lo).astype(y.dtype), code_of[offsets]
    return np.unique(y, return_inverse=True)

class TreeClassifier(ClassifierMixin, BaseEstimator):  # type: ignore[misc]
    """A decision tree classifier with scikit-learn's interface, grown in C++.

    Splits, stopping rules, weights, missing values, the randomised search
    (``splitter``, ``max_features``, ``random_state``), monotonic
    constraints and pruning follow :class:`sklearn.tree.DecisionTreeClassifier`:
    numeric splits test ``x <= threshold`` at the midpoint of two
    neighbouring values more than 1e-7 apart; each split learns where
    missing values (NaN, None, null) go, and a split that saw none sends
    them to its larger child. X is read as float64 (scikit-learn casts it to
    float32).

    Categorical columns split natively into two sets of categories: the
    optimal subset for two classes, for more classes the best of one ordering
    of the node's categories per class. A category the node never saw in
    training, including categories unknown at fit, goes with missing values.

    Columns may hold numbers, booleans, object values that are all numbers
    (None and NaN missing) or categories; text, dates and times, periods
    and complex numbers are refused unless declared categorical, with the
    way to convert them. A pandas sparse column is made dense (it costs
    that column's copy); a scipy.sparse matrix or array is not: the learner
    reads its compressed columns and grows the tree of ``X.toarray()``.
    MultiIndex columns are read by position and named by their tuples.

    Parameters
    ----------
    criterion : {"gini", "entropy", "log_loss"}, default="gini"
        "entropy" and "log_loss" are the same (Shannon information gain).
    splitter : {"best", "random"}, default="best"
        "best": the best split of each searched feature. "random": one split
        per searched feature, drawn: a threshold uniform between the node's
        smallest and largest value (missing values sent to a side drawn at
        random), or for a categorical column a subset of the node's
        categories drawn uniformly among those that leave both sides
        non-empty (missing values counting as one more category); the best
        of these wins.
    max_features : int, float, "sqrt", "log2" or None, default=None
        Features searched per node, drawn without replacement: a count, a
        fraction of the columns (at least one), their square root or log2,
        or all. The search goes on past them until one feature that is not
        constant at the node has been searched.
    random_state : int, RandomState instance or None, default=None
        Seeds the draws of ``max_features`` and ``splitter="random"``: one
        64-bit seed is drawn from it at fit (None: from numpy's global
        RandomState). Each draw is keyed by that seed and the node's place
        in the tree, so a seed gives the same tree for every ``n_jobs``.
    max_depth : int or None, default=None
        None grows until the other rules stop it.
    min_samples_split, min_samples_leaf : int or float, default=2, 1
        Counts of rows, or fractions of the training rows (rounded up), as in
        scikit-learn; a split needs at least ``2 * min_samples_leaf`` rows.
    min_weight_fraction_leaf : float, default=0.0
        Least share of the total sample weight in each leaf.
    max_leaf_nodes : int or None, default=None
        With a number, the tree grows best-first (largest impurity decrease
        first) until it has that many leaves.
    min_impurity_decrease : float, default=0.0
        A node splits only if ``N_t / N * (impurity - N_t_R / N_t * right_impurity
        - N_t_L / N_t * left_impurity)`` (weighted counts) reaches this.
    class_weight : dict, "balanced" or None, default=None
        Weights per class label multiplying ``sample_weight``; "balanced"
        gives ``n_samples / (n_classes * np.bincount(y))``.
    ccp_alpha : float, default=0.0
        Complexity parameter of minimal cost-complexity pruning; see
        :meth:`cost_complexity_pruning_path`.
    monotonic_cst : array-like of int or None, default=None
        Per column 1 (the probability of ``classes_[1]`` may only rise with
        the column), -1 (only fall) or 0. Two classes and numeric columns
        only; the node values are bounded as scikit-learn bounds them.
    categorical_features : "from_dtype" or array-like, default="from_dtype"
        Columns of pandas ``category``, polars ``Categorical``/``Enum`` and
        pyarrow dictionary type are always categorical. Name more columns here
        (by label, position or a boolean mask), for example text columns or
        integer codes in a numpy array.
    n_jobs : int or None, default=None
        Threads for growth and prediction; None or -1: every core the process
        may use, -2: all but one. The tree does not depend on it.

    Attributes
    ----------
    tree_ : FlatTree
        The fitted tree as read-only parallel arrays in scikit-learn's
        ``Tree`` layout, node 0 the root: ``children_left``,
        ``children_right`` (-1 at leaves), ``feature`` and ``threshold`` (-2
        at leaves), ``missing_go_to_left``, ``n_node_samples``,
        ``weighted_n_node_samples``, ``impurity``, ``value`` (weighted class
        shares, shape ``(node_count, n_outputs_, max n_classes_)``), ``node_count``,
        ``max_depth``, ``n_leaves`` and the rest of that layout; plus
        ``weighted_class_counts``, ``is_categorical`` and ``category_left``
        (per node: None, or at a categorical split the bitset of the
        categories that go left, as wide as its column; bit c set: category
        code c goes left).
    classes_, n_classes_, n_features_in_, feature_names_in_ :
        As in scikit-learn (``feature_names_in_`` only for string column
        names); with several outputs ``classes_`` is a list of arrays and
        ``n_classes_`` an array, one entry per output.
    categories_ : list
        Per column, None for a numeric column, else the array of its
        categories: code c in ``tree_`` stands for ``categories_[j][c]``.
    is_categorical_ : ndarray of bool
        Which columns were treated as categorical.
    max_features_ : int
        Features drawn per node.
    n_outputs_ : int
        The number of targets: the columns of a 2-D y (a multilabel
        indicator matrix, or several columns of classes), else 1. The tree
        serves them all, its impurity the mean over them; ``predict`` then
        gives one column per output and ``predict_proba`` a list of arrays.
    """

    _parameter_constraints: Dict[str, Any] = {
        "criterion": [StrOptions({"gini", "entropy", "log_loss"})],
        "splitter": [StrOptions({"best", "random"})],
        "max_features": [
            Interval(Integral, 1, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="right"),
            StrOptions({"sqrt", "log2"}),
            None,
        ],
        "random_state": ["random_state"],
        "monotonic_cst": ["array-like", None],
        "max_depth": [Interval(Integral, 1, None, closed="left"), None],
        "min_samples_split": [
            Interval(Integral, 2, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="right"),
        ],
        "min_samples_leaf": [
            Interval(Integral, 1, None, closed="left"),
            Interval(RealNotInt, 0.0, 1.0, closed="neither"),
        ],
        "min_weight_fraction_leaf": [Interval(Real, 0.0, 0.5, closed="both")],
        "max_leaf_nodes": [Interval(Integral, 2, None, closed="left"), None],
        "min_impurity_decrease": [Interval(Real, 0.0, None, closed="left")],
        "class_weight": [dict, list, StrOptions({"balanced"}), None],
        "ccp_alpha": [Interval(Real, 0.0, None, closed="left")],
        "categorical_features": [StrOptions({"from_dtype"}), "array-like"],
        "n_jobs": [
            Interval(Integral, 1, None, closed="left"),
            Interval(Integral, None, -1, closed="right"),
            None,
        ],
    }

    def __init__(
        self,
        *,
        criterion: str = "gini",
        splitter: str = "best",
        max_depth: Optional[int] = None,
        min_samples_split: Any = 2,
        min_samples_leaf: Any = 1,
        min_weight_fraction_leaf: float = 0.0,
        max_features: Any = None,
        random_state: Any = None,
        max_leaf_nodes: Optional[int] = None,
        min_impurity_decrease: float = 0.0,
        class_weight: Any = None,
        ccp_alpha: float = 0.0,
        monotonic_cst: Any = None,
        categorical_features: Any = "from_dtype",
        n_jobs: Optional[int] = None,
    ) -> None:
        self.criterion = criterion
        self.splitter = splitter
        self.max_features = max_features
        self.random_state = random_state
        self.monotonic_cst = monotonic_cst
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.categorical_features = categorical_features
        self.n_jobs = n_jobs

    # -- fitting -----------------------------------------------------------

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> "TreeClassifier":
        """Grows the tree on X (pandas or polars frame, pyarrow table or
        array-like) and labels y; returns self. The new fitted state replaces
        the old one in one step: a fit that fails or is interrupted leaves
        the previous one (or none) whole, and other threads predicting
        meanwhile get the old model's answers or the new one's."""
        staged = self._unfitted()
        if hasattr(X, "__dask_graph__"):  # a Dask collection: grown on the workers of the current Client
            from ._dask_fit import fit_distributed
            fit_distributed(staged, X, y, sample_weight)
        else:
            staged._grow(X, y, sample_weight)
        self._publish(staged)
        return self

    def _unfitted(self) -> "TreeClassifier":
        """An estimator of this class with this one's parameters and other
        settings but no fitted state."""
        staged: TreeClassifier = object.__new__(type(self))
        staged.__dict__ = {k: v for k, v in vars(self).copy().items() if k not in _FITTED}
        return staged

    def _publish(self, staged: "TreeClassifier") -> None:
        state = {k: v for k, v in vars(self).copy().items() if k not in _FITTED}
        fitted = vars(staged)
        state.update((k, fitted[k]) for k in _FITTED if k in fitted)
        # One store of the instance dict pointer: a reader holding the old
        # dict keeps a whole old state, and none sees part of the new one
        # (an update of the dict in place would show each name as it lands).
        self.__dict__ = state

    def _fitted(self) -> "TreeClassifier":
        """The fitted state as an estimator sharing this one's instance dict.
        Fit replaces that dict instead of changing it, so everything read
        through the result comes from one fit."""
        view: TreeClassifier = object.__new__(type(self))
        view.__dict__ = self.__dict__
        check_is_fitted(view)
        return view

    def _grow(self, X: Any, y: Any, sample_weight: Any) -> None:
        """Fit's work, on the staging estimator of _unfitted."""
        self._validate_params()
        Xf, codes, weight, targets = self._training_data(X, y, sample_weight)
        seed = draw_seed(self.random_state)
        n, p = Xf.shape
        self.max_features_ = resolve_max_features(self.max_features, p)
        if targets is not None and self.monotonic_cst is not None:
            raise ValueError("Monotonicity constraints are not supported with multiple outputs.")
        monotonic = check_monotonic(self.monotonic_cst, p, self.n_classes_, self.categories_,
                                    getattr(self, "feature_names_in_", None))
        tree = grow(
            Xf,
            codes,
            weight,
            len(self.classes_) if targets is None else len(targets[1]),
            np.asarray([0 if c is None else len(c) for c in self.categories_], dtype=np.int64),
            *growth_limits(self, n, np.sum(weight)),
            -1 if self.max_leaf_nodes is None else _count(self.max_leaf_nodes),
            _n_threads(self.n_jobs),
            -1 if self.max_features_ >= p else _count(self.max_features_),
            self.splitter == "random",
            seed,
            monotonic,
            None,
            targets,
        )
        if self.ccp_alpha > 0.0:
            flat = tree.to_dict()
            _, _, leaves = prune(flat, float(self.ccp_alpha))
            tree = FlatTree.from_dict(subtree(flat, leaves))
        self._set_tree(tree)

    def _training_data(self, X: Any, y: Any, sample_weight: Any) -> Any:
        if y is None:
            raise ValueError(f"{type(self).__name__} requires y to be passed, but the target y is None.")
        record_names(self, X)
        Xf, self.categories_ = to_matrix(X, self.categorical_features, None, self)
        self.is_categorical_ = np.asarray([c is not None for c in self.categories_])
        y = check_array(y, allow_nan=False, ensure_2d=False, dtype=None, input_name="y", estimator=self)
        if y.ndim == 2 and y.shape[1] == 1:
            y = y.ravel()
        y = y if y.ndim == 2 else column_or_1d(y, warn=True)
        check_consistent_length(Xf, y)
        check_targets(y)
        codes, targets = self._encode_targets(y)
        if sample_weight is None:
            weight = np.ones(Xf.shape[0], dtype=np.float64)
        else:
            weight = np.array(_check_sample_weight(sample_weight, Xf, dtype=np.float64), dtype=np.float64)
            if (weight < 0).any():
                raise ValueError("sample_weight holds negative values: every weight must be 0 or more")
            _check_total(weight, "the weights of sample_weight")
        if self.class_weight is not None:
            per_row = compute_sample_weight(self.class_weight, y)
            if not np.all(np.isfinite(per_row) & (per_row >= 0)):
                raise ValueError(f"class_weight must give every class a finite weight of 0 or more, got {self.class_weight!r}")
            with np.errstate(over="ignore"):
                weight = weight * per_row
            _check_total(weight, "the weights of class_weight (times sample_weight)")
        if not weight.sum() > 0:
            raise ValueError("Sample weights must contain at least one non-zero number.")
        if sample_weight is not None or self.class_weight is not None:
            weight = on_grid(weight, weight_grid(float(weight.max()), len(weight)))
        return Xf, codes.astype(np.intp).ravel(), weight, targets

    def _encode_targets(self, y: np.ndarray) -> Any:
        """Sets classes_, n_classes_ and n_outputs_ from y; returns the class
        code of each row and None for one output. For several, each row's
        code stands for its combination of classes: returns those codes and
        (the classes per output, the classes of each combination)."""
        columns = [y] if y.ndim == 1 else [y[:, k] for k in range(y.shape[1])]
        try:
            encoded = [_encode(column) for column in columns]
        except TypeError as exc:
            raise ValueError(f"the labels in y must be comparable with each other to be sorted: {exc}") from None
        self.n_outputs_ = len(columns)
        if y.ndim == 1:
            self.classes_, codes = encoded[0]
            self.n_classes_: Any = len(self.classes_)
            return codes, None
        self.classes_ = [classes for classes, _ in encoded]
        per_output = np.array([len(classes) for classes in self.classes_], dtype=np.intp)
        self.n_classes_ = per_output
        # One number per combination (mixed radix), then the combinations present.
        key = np.zeros(len(y), dtype=np.int64)
        if np.sum(np.log2(per_output)) < 62:
            for (_, codes), n in zip(encoded, per_output.tolist()):
                key = key * n + codes
            present, combination = _encode(key)
            joint = np.zeros((len(present), len(columns)), dtype=np.int64)
            for k in range(len(columns) - 1, -1, -1):
                n = int(per_output[k])
                joint[:, k] = present % n
                present = present // n
        else:
            joint, combination = np.unique(np.column_stack([c for _, c in encoded]), axis=0, return_inverse=True)
        if len(joint) > 65535:
            raise ValueError(f"y holds {len(joint)} different combinations of classes across its outputs; "
                             "the tree takes at most 65535")
        return np.asarray(combination).ravel(), (per_output.astype(np.int64), joint.astype(np.int64))

    def _set_tree(self, tree: Any) -> None:
        self.tree_ = tree
        # Per node and output: class probabilities (the weighted class
        # shares) and the predicted class index.
        if self.n_outputs_ == 1:
            self._node_proba = tree.value[:, 0, :]
            self._node_class = np.argmax(self._node_proba, axis=1)
        else:
            self._node_proba = [tree.value[:, k, :n] for k, n in enumerate(self.n_classes_.tolist())]
            self._node_class = [np.argmax(proba, axis=1) for proba in self._node_proba]

    def cost_complexity_pruning_path(self, X: Any, y: Any, sample_weight: Any = None) -> Bunch:
        """The effective alphas of minimal cost-complexity pruning and the
        total leaf impurity after each step, as scikit-learn defines them: a
        tree with these parameters but ``ccp_alpha=0`` is grown on X, y, then
        pruned weakest link first down to its root. ``ccp_alpha`` set to one
        of the returned alphas gives the tree of that step (of the last step
        of equal alphas; 0 keeps the whole tree, as in scikit-learn). A step
        that lowers the impurity by nothing has alpha 0, never a rounding
        residue below it; the smallest positive alpha prunes it."""
        grown = clone(self).set_params(ccp_alpha=0.0).fit(X, y, sample_weight=sample_weight)
        alphas, impurities, _ = prune(grown.tree_.to_dict(), None)
        return Bunch(ccp_alphas=np.maximum(alphas, 0.0), impurities=impurities)

    # -- prediction --------------------------------------------------------

    # Each method below takes the fitted state once (_fitted) and reads all
    # of it from there.

    def _matrix(self, X: Any) -> np.ndarray:
        check_names(self, X)
        Xf: np.ndarray = to_matrix(X, None, self.categories_, self)[0]
        return Xf

    def _leaves(self, X: Any) -> np.ndarray:
        Xf = self._matrix(X)
        return np.asarray(self.tree_.apply(Xf, n_threads=_n_threads(self.n_jobs)))

    def apply(self, X: Any) -> np.ndarray:
        """The id of the leaf each row of X ends in."""
        if hasattr(X, "__dask_graph__"):
            return _dask_answer(self, X, "apply")
        return self._fitted()._leaves(X)

    def decision_path(self, X: Any) -> csr_matrix:
        """Sparse (n_rows, node_count) indicator of the nodes each row visits."""
        fitted = self._fitted()
        Xf = fitted._matrix(X)
        path: csr_matrix = fitted.tree_.decision_path(Xf, n_threads=_n_threads(self.n_jobs))
        return path

    def predict_proba(self, X: Any) -> np.ndarray:
        """Class probabilities per row, columns in the order of ``classes_``:
        the weighted class shares of the row's leaf (with several outputs, a
        list of such arrays, one per output)."""
        if hasattr(X, "__dask_graph__"):
            return _dask_answer(self, X, "predict_proba")
        fitted = self._fitted()
        leaves = fitted._leaves(X)
        if fitted.n_outputs_ > 1:
            return [proba.take(leaves, axis=0) for proba in fitted._node_proba]  # type: ignore[return-value]
        return np.asarray(fitted._node_proba.take(leaves, axis=0))

    def predict_log_proba(self, X: Any) -> np.ndarray:
        """The log of predict_proba (a list of arrays for several outputs)."""
        if hasattr(X, "__dask_graph__"):
            return _dask_answer(self, X, "predict_log_proba")
        proba: Any = self.predict_proba(X)
        with np.errstate(divide="ignore"):
            if isinstance(proba, list):
                return [np.log(p) for p in proba]  # type: ignore[return-value]
            return np.asarray(np.log(proba))

    def predict(self, X: Any) -> np.ndarray:
        """The most probable class of each row (the first in ``classes_`` on a
        tie); with several outputs, one column per output."""
        if hasattr(X, "__dask_graph__"):
            return _dask_answer(self, X, "predict")
        fitted = self._fitted()
        leaves = fitted._leaves(X)
        if fitted.n_outputs_ > 1:
            return np.column_stack([classes.take(best[leaves])
                                    for classes, best in zip(fitted.classes_, fitted._node_class)])
        return np.asarray(fitted.classes_.take(fitted._node_class[leaves]))

    # -- the fitted tree -----------------------------------------------------

    def get_depth(self) -> int:
        return int(self._fitted().tree_.max_depth)

    def get_n_leaves(self) -> int:
        return int(self._fitted().tree_.n_leaves)

    @property
    def feature_importances_(self) -> np.ndarray:
        """Normalised total impurity decrease per feature (weighted by the
        share of the sample weight reaching each split), as scikit-learn."""
        importances: np.ndarray = self._fitted().tree_.compute_feature_importances()
        return importances

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.sparse = True
        tags.target_tags.multi_output = True
        tags.classifier_tags.multi_label = True
        return tags

    def _more_tags(self) -> Dict[str, Any]:  # scikit-learn < 1.6
        return {"allow_nan": True, "multioutput": True, "multilabel": True}
