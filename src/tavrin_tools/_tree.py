"""The fitted tree of TreeClassifier: read-only parallel arrays over the C++
tree that ``tavrin_tools._learner`` grows, and the walks of rows down it.

The compiled learner hands out an opaque handle; this class keeps it and
the array views it owns. A FlatTree never changes after it is made, so any
number of threads may read or walk one while another fit makes the next.
"""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _learner

# The arrays of a tree, each with one entry (or row) per node but the last
# two: category_bits holds the category sets of the categorical splits one
# after another, and n_categories has one entry per feature.
ARRAY_NAMES = (
    "children_left", "children_right", "feature", "threshold", "missing_go_to_left", "is_categorical",
    "category_offset", "category_bits", "n_categories", "n_node_samples", "weighted_n_node_samples",
    "impurity", "value",
)
COUNT_NAMES = ("n_classes", "n_features")
PER_NODE = frozenset(ARRAY_NAMES) - {"category_bits", "n_categories"}


def grow(X: np.ndarray, y: np.ndarray, sample_weight: np.ndarray, n_classes: int, n_categories: np.ndarray,
         criterion: str, max_depth: int, min_samples_split: int, min_samples_leaf: int, min_weight_leaf: float,
         min_impurity_decrease: float, max_leaf_nodes: int, n_threads: int) -> "FlatTree":
    """Grows a tree (the learner's arguments, in its order; -1 means no limit)."""
    return FlatTree(_learner.fit(X, y, sample_weight, n_classes, n_categories, criterion, max_depth,
                                 min_samples_split, min_samples_leaf, min_weight_leaf, min_impurity_decrease,
                                 max_leaf_nodes, n_threads))


class FlatTree:
    """A fitted tree as read-only parallel arrays; node 0 is the root.

    Per node: ``children_left``, ``children_right`` (-1 at leaves),
    ``feature`` (-2 at leaves), ``threshold`` (NaN at leaves and categorical
    splits), ``missing_go_to_left``, ``is_categorical``, ``n_node_samples``,
    ``weighted_n_node_samples``, ``impurity`` and ``value`` (weighted class
    counts, one row per node). A categorical split keeps the set of
    categories that go left as a bitset as wide as its column (bit c: code
    c goes left): ``category_left[i]`` is node i's set, or None, stored as
    ``category_bits[category_offset[i]:]`` (``category_offset`` -1 for every
    other node).
    """

    __slots__ = ("_handle", "_arrays", "_sets")

    def __init__(self, handle: Any) -> None:
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_arrays", _learner.tree_arrays(handle))
        object.__setattr__(self, "_sets", None)

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
        return sorted(set(object.__dir__(self)) | set(self._arrays))

    @property
    def node_count(self) -> int:
        return int(self._arrays["children_left"].shape[0])

    @property
    def category_left(self) -> List[Optional[np.ndarray]]:
        """Per node: the read-only bitset of the categories that go left at a
        categorical split, None elsewhere."""
        sets: Optional[List[Optional[np.ndarray]]] = self._sets
        if sets is None:
            offsets = self.category_offset.tolist()
            features = self.feature.tolist()
            words = [max(1, (int(k) + 63) // 64) for k in self.n_categories.tolist()]
            bits = self.category_bits
            sets = [None if at < 0 else bits[at:at + words[features[i]]] for i, at in enumerate(offsets)]
            object.__setattr__(self, "_sets", sets)
        return sets

    def apply(self, X: Any, n_threads: int = 1) -> np.ndarray:
        """The leaf id each row of the float64 matrix X reaches."""
        leaves: np.ndarray = _learner.apply(self._handle, X, n_threads)
        return leaves

    def decision_path(self, X: Any, n_threads: int = 1) -> Tuple[np.ndarray, np.ndarray]:
        """(indptr, indices): the nodes each row visits, root first, as CSR arrays."""
        path: Tuple[np.ndarray, np.ndarray] = _learner.decision_path(self._handle, X, n_threads)
        return path

    def to_dict(self) -> Dict[str, Any]:
        """The tree's arrays (writable copies) and counts."""
        out: Dict[str, Any] = {name: np.array(self._arrays[name]) for name in ARRAY_NAMES}
        out.update((name, int(self._arrays[name])) for name in COUNT_NAMES)
        return out

    @classmethod
    def from_dict(cls, d: Dict[str, Any]) -> "FlatTree":
        """The tree of a dict such as ``to_dict`` gives; ValueError when its
        arrays do not form a tree the walks can trust."""
        return cls(_learner.tree_from_dict(d))

    def __reduce__(self) -> Any:
        return (type(self).from_dict, (self.to_dict(),))

    def __repr__(self) -> str:
        return f"<FlatTree: {self.node_count} nodes, {self.n_leaves} leaves, depth {self.max_depth}>"
