"""The fitted tree of TreeClassifier: read-only parallel arrays over the C++
tree that ``tavrin_tools._learner`` grows, and the walks of rows down it.

The compiled learner hands out an opaque handle; this class keeps it and
the array views it owns. A FlatTree never changes after it is made, so any
number of threads may read or walk one while another fit makes the next.
"""
from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar, cast

import numpy as np
from scipy.sparse import csr_matrix

from . import _learner
from ._sparse import learner_input

# The arrays of a tree, each with one entry (or row) per node but the last
# two: category_bits holds the category sets of the categorical splits one
# after another, and n_categories has one entry per feature.
ARRAY_NAMES = (
    "children_left", "children_right", "feature", "threshold", "missing_go_to_left", "is_categorical",
    "category_offset", "category_bits", "n_categories", "n_node_samples", "weighted_n_node_samples",
    "impurity", "value",
)
COUNT_NAMES = ("n_classes", "n_features")
# Kept only by trees grown under monotonic constraints: per node the class
# probabilities as the constraints bound them.
OPTIONAL_NAMES = ("proba",)
T = TypeVar("T")
PER_NODE = frozenset(ARRAY_NAMES + OPTIONAL_NAMES) - {"category_bits", "n_categories"}


def grow(X: np.ndarray, y: np.ndarray, sample_weight: np.ndarray, n_classes: int, n_categories: np.ndarray,
         criterion: str, max_depth: int, min_samples_split: int, min_samples_leaf: int, min_weight_leaf: float,
         min_impurity_decrease: float, max_leaf_nodes: int, n_threads: int, max_features: int = -1,
         random_split: bool = False, seed: int = 0, monotonic_cst: Optional[np.ndarray] = None,
         root: Optional[Tuple[int, float, int, float, float, Optional[np.ndarray]]] = None,
         targets: Optional[Tuple[np.ndarray, np.ndarray]] = None) -> "FlatTree":
    """Grows a tree (the learner's arguments, in its order; -1 means no
    limit, and max_features -1 every feature at every node). `root`: None
    for a whole tree; for the subtree of one node of a larger fit, (the
    node's depth, the whole fit's total weight, the node's key, the lower
    and upper bound of its value, its known constant features or None).
    `targets`: None for one output; for several, y holds each row's code of
    its combination of classes (n_classes codes) and targets is (classes per
    output, the classes of each combination: one row per code)."""
    handle = _learner.fit(learner_input(X, "csc"), y, sample_weight, n_classes, n_categories, criterion, max_depth,
                          min_samples_split, min_samples_leaf, min_weight_leaf, min_impurity_decrease, max_leaf_nodes,
                          n_threads, max_features, random_split, seed, monotonic_cst, root, targets)
    return FlatTree(handle, None if targets is None else targets[0])


class FlatTree:
    """A fitted tree as read-only parallel arrays; node 0 is the root.

    Laid out as scikit-learn's ``Tree``, so that code reading a fitted
    ``DecisionTreeClassifier``'s ``tree_`` reads this one the same way: per
    node ``children_left``, ``children_right`` (-1 at leaves), ``feature``
    and ``threshold`` (-2 at leaves), ``missing_go_to_left``,
    ``n_node_samples``, ``weighted_n_node_samples``, ``impurity`` and
    ``value`` (the weighted class shares of each output, shape
    ``(node_count, n_outputs, max_n_classes)``, zero past an output's
    classes); ``node_count``, ``capacity``,
    ``max_depth``, ``n_leaves``, ``n_features``, ``n_outputs``, ``n_classes``
    (an array, one entry per output) and ``max_n_classes``; ``apply``,
    ``decision_path``, ``predict`` and ``compute_feature_importances``.

    Beyond it: ``weighted_class_counts``, the weighted class counts of each
    node (shape ``(node_count, max_n_classes)`` with one output,
    ``(node_count, n_outputs, max_n_classes)`` with several), and the categorical
    splits. ``is_categorical`` marks them (their ``threshold`` is NaN); such
    a split keeps the set of categories that go left as a bitset as wide as
    its column (bit c: code c goes left): ``category_left[i]`` is node i's
    set, or None, stored as ``category_bits[category_offset[i]:]``
    (``category_offset`` -1 for every other node). Code that knows only
    thresholds cannot read a categorical split.
    """

    __slots__ = ("_handle", "_arrays", "_cache", "_outputs")

    def __init__(self, handle: Any, outputs: Any = None) -> None:
        """`outputs`: None for one output; for several, the number of classes
        of each, the tree counting their classes one output after another."""
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_arrays", _learner.tree_arrays(handle))
        object.__setattr__(self, "_cache", {})
        if outputs is not None:
            outputs = np.array(outputs, dtype=np.intp).ravel()
            if len(outputs) < 1 or (outputs < 1).any() or int(outputs.sum()) != int(self._arrays["n_classes"]):
                raise ValueError("the classes per output do not add up to the tree's classes")
            outputs.flags.writeable = False
        object.__setattr__(self, "_outputs", outputs)

    def __getattr__(self, name: str) -> Any:
        try:
            return object.__getattribute__(self, "_arrays")[name]
        except (KeyError, AttributeError):
            raise AttributeError(f"'FlatTree' object has no attribute {name!r}") from None

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a FlatTree is read-only")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a FlatTree is read-only")

    def __dir__(self) -> List[str]:
        return sorted(set(object.__dir__(self)) | set(self._arrays) - {"value", "threshold", "n_classes"})

    def _derived(self, name: str, make: Callable[[], T]) -> T:
        # Computed once per tree; two threads racing here compute equal values.
        cache: Dict[str, Any] = self._cache
        if name not in cache:
            made = make()
            if isinstance(made, np.ndarray):
                made.flags.writeable = False
            cache[name] = made
        return cast(T, cache[name])

    @property
    def node_count(self) -> int:
        return int(self._arrays["children_left"].shape[0])

    capacity = node_count

    @property
    def n_outputs(self) -> int:
        return 1 if self._outputs is None else len(self._outputs)

    @property
    def max_n_classes(self) -> int:
        return int(self._arrays["n_classes"]) if self._outputs is None else int(self._outputs.max())

    @property
    def n_classes(self) -> np.ndarray:
        if self._outputs is not None:
            per_output: np.ndarray = self._outputs
            return per_output
        return self._derived("n_classes", lambda: np.array([self.max_n_classes], dtype=np.intp))

    def _per_output(self, flat: np.ndarray) -> np.ndarray:
        """Per node (node_count, n_outputs, max_n_classes) from the counts
        laid out output after output, zero past an output's classes."""
        out = np.zeros((flat.shape[0], self.n_outputs, self.max_n_classes), dtype=flat.dtype)
        at = 0
        for k, n in enumerate(self.n_classes.tolist()):
            out[:, k, :n] = flat[:, at:at + n]
            at += n
        return out

    @property
    def weighted_class_counts(self) -> np.ndarray:
        counts: np.ndarray = self._arrays["value"]
        if self._outputs is None:
            return counts
        return self._derived("weighted_class_counts", lambda: self._per_output(counts))

    @property
    def value(self) -> np.ndarray:
        def shares() -> np.ndarray:
            if "proba" in self._arrays:
                bounded: np.ndarray = self._arrays["proba"][:, None, :]
                return bounded
            counts = self.weighted_class_counts
            if self._outputs is None:
                counts = counts[:, None, :]
            total = counts.sum(axis=2, keepdims=True)
            total[total == 0.0] = 1.0
            out: np.ndarray = counts / total
            return out

        return self._derived("value", shares)

    @property
    def threshold(self) -> np.ndarray:
        return self._derived(
            "threshold", lambda: np.where(self.children_left < 0, -2.0, self._arrays["threshold"]))

    @property
    def category_left(self) -> List[Optional[np.ndarray]]:
        """Per node: the read-only bitset of the categories that go left at a
        categorical split, None elsewhere."""
        def sets() -> List[Optional[np.ndarray]]:
            offsets = self.category_offset.tolist()
            features = self.feature.tolist()
            words = [max(1, (int(k) + 63) // 64) for k in self.n_categories.tolist()]
            bits = self.category_bits
            return [None if at < 0 else bits[at:at + words[features[i]]] for i, at in enumerate(offsets)]

        out: List[Optional[np.ndarray]] = self._derived("category_left", sets)
        return out

    def apply(self, X: Any, n_threads: int = 1) -> np.ndarray:
        """The leaf id each row of X (a matrix of numbers, categorical
        columns as their codes) reaches."""
        leaves: np.ndarray = _learner.apply(self._handle, learner_input(X, "csr"), n_threads)
        return leaves

    def decision_path(self, X: Any, n_threads: int = 1) -> csr_matrix:
        """Sparse (n_rows, node_count) indicator of the nodes each row visits."""
        indptr, indices = _learner.decision_path(self._handle, learner_input(X, "csr"), n_threads)
        data = np.ones(len(indices), dtype=np.intp)
        return csr_matrix((data, indices, indptr), shape=(len(indptr) - 1, self.node_count))

    def predict(self, X: Any) -> np.ndarray:
        """``value`` of the leaf each row reaches, as scikit-learn's Tree gives
        it: shape (rows, max_n_classes) with one output, (rows, n_outputs,
        max_n_classes) with several."""
        out: np.ndarray = self.value.take(self.apply(X), axis=0)
        return out.reshape(out.shape[0], self.max_n_classes) if self.n_outputs == 1 else out

    def compute_feature_importances(self, normalize: bool = True) -> np.ndarray:
        """Total impurity decrease per feature, each split's weighted by the
        share of the sample weight reaching it; normalised to sum to 1
        unless ``normalize`` is False or no split decreases the impurity."""
        left, right = self.children_left, self.children_right
        split = left >= 0
        wi = self.weighted_n_node_samples * self._arrays["impurity"]
        out = np.zeros(self.n_features, dtype=np.float64)
        np.add.at(out, self.feature[split], wi[split] - wi[left[split]] - wi[right[split]])
        out /= self.weighted_n_node_samples[0]
        total = np.sum(out)
        return out / total if normalize and total > 0.0 else out

    def to_dict(self) -> Dict[str, Any]:
        """The tree's arrays (writable copies) and counts."""
        out: Dict[str, Any] = {name: np.array(self._arrays[name])
                               for name in ARRAY_NAMES + OPTIONAL_NAMES if name in self._arrays}
        out.update((name, int(self._arrays[name])) for name in COUNT_NAMES)
        if self._outputs is not None:
            out["output_classes"] = np.array(self._outputs)
        return out

    @classmethod
    def from_dict(cls, d: Dict[str, Any]) -> "FlatTree":
        """The tree of a dict such as ``to_dict`` gives; ValueError when its
        arrays do not form a tree the walks can trust."""
        outputs = d.get("output_classes") if isinstance(d, dict) else None
        return cls(_learner.tree_from_dict(d), outputs)

    def __reduce__(self) -> Any:
        return (type(self).from_dict, (self.to_dict(),))

    def __setstate__(self, state: Any) -> None:
        # Only pickles of the compiled tree of earlier versions come here
        # (this class pickles through from_dict): their dict kept one set of
        # `words` words for every node.
        if not isinstance(state, dict) or "category_left" not in state:
            raise ValueError("this pickle holds no tavrin_tools tree that this version can read")
        d = {k: v for k, v in state.items() if k != "category_left"}
        sets = np.asarray(state["category_left"], dtype=np.uint64)
        if sets.ndim != 2 or sets.shape[1] < 1:
            raise ValueError("this pickle's tree has malformed category sets")
        at = np.flatnonzero(np.asarray(state["is_categorical"]) & (np.asarray(state["children_left"]) >= 0))
        d["category_offset"] = np.full(sets.shape[0], -1, dtype=np.int64)
        d["category_offset"][at] = np.arange(len(at)) * sets.shape[1]
        d["category_bits"] = sets[at].ravel()
        d["n_categories"] = np.zeros(int(state["n_features"]), dtype=np.int64)
        d["n_categories"][np.asarray(state["feature"])[at]] = 64 * sets.shape[1]
        loaded = type(self).from_dict(d)
        for name in self.__slots__:
            object.__setattr__(self, name, object.__getattribute__(loaded, name))

    def __repr__(self) -> str:
        return f"<FlatTree: {self.node_count} nodes, {self.n_leaves} leaves, depth {self.max_depth}>"


# Pickles made before the tree was wrapped here name the compiled tree class
# of the learner module; they load as this class (see __setstate__).
_learner.FlatTree = FlatTree  # type: ignore[attr-defined]
