"""A TreeClassifier's flat tree as linked nodes for the exporters' walk.

Each node carries what the exporters read from tavrin's own nodes (label,
share, kind, feature, children) plus its size and class counts, and words its
own test: ``x <= t`` (the classifier's rule, not tavrin's ``<``), where
missing values go, and for a categorical split the categories that go left.
"""
from __future__ import annotations

from typing import Any, List, Optional

import numpy as np


def _number(value: float) -> str:
    return f"{value:.6g}"


class FlatNode:
    __slots__ = ("left", "right", "predicted_class", "probability", "node_type", "feature_index",
                 "threshold", "missing_left", "sizes", "outcomes")
    left: Optional["FlatNode"]
    right: Optional["FlatNode"]
    predicted_class: Any
    probability: float
    node_type: str
    feature_index: int
    threshold: Any  # a number, or the list of categories that go left; None on leaves
    missing_left: bool
    sizes: str
    outcomes: Optional[List[Any]]  # several outputs: (label, share) of each

    def rule_text(self, name: str, precision: int) -> str:
        from ._walk import threshold_text, value_text  # _walk imports this module

        if self.node_type == "categorical":
            values = ", ".join(value_text(v) for v in self.threshold)
            test = f"{name} in {{{values}}}"
        else:
            test = f"{name} <= {threshold_text(float(self.threshold), precision)}"
        return test + (" or missing" if self.missing_left else "")


def _left_categories(bits: np.ndarray, categories: Optional[np.ndarray]) -> List[Any]:
    if categories is None:
        return []
    codes = [c for c in range(len(categories)) if (int(bits[c // 64]) >> (c % 64)) & 1]
    return [categories[c] for c in codes]


def linked_root(estimator: Any) -> FlatNode:
    """The root of ``estimator.tree_`` as linked FlatNodes (built iteratively:
    a flat tree can be deeper than the recursion limit)."""
    t = estimator.tree_
    value = np.asarray(t.weighted_class_counts)
    several = value.ndim == 3
    classes = list(estimator.classes_) if several else [estimator.classes_]
    value = value if several else value[:, None, :]
    widths = [len(c) for c in classes]
    total = value.sum(axis=2)
    best = np.argmax(value, axis=2)
    cats = getattr(estimator, "categories_", None) or [None] * t.n_features
    nodes = [FlatNode() for _ in range(t.node_count)]
    left, right = np.asarray(t.children_left).tolist(), np.asarray(t.children_right).tolist()
    sets = t.category_left
    for i, node in enumerate(nodes):
        node.left = nodes[left[i]] if left[i] >= 0 else None
        node.right = nodes[right[i]] if right[i] >= 0 else None
        outcomes = [(classes[k][best[i, k]], float(value[i, k, best[i, k]] / total[i, k]) if total[i, k] > 0 else 0.0)
                    for k in range(len(classes))]
        node.predicted_class, node.probability = outcomes[0]
        node.outcomes = outcomes if several else None
        node.feature_index = int(t.feature[i])
        node.missing_left = bool(t.missing_go_to_left[i]) and node.left is not None
        if node.left is None:
            node.node_type, node.threshold = "leaf", None
        elif t.is_categorical[i]:
            node.node_type = "categorical"
            node.threshold = _left_categories(sets[i], cats[node.feature_index])
        else:
            node.node_type, node.threshold = "numeric", float(t.threshold[i])
        counts = " ".join("[" + ", ".join(_number(v) for v in value[i, k, :n]) + "]" for k, n in enumerate(widths))
        node.sizes = f"samples {int(t.n_node_samples[i])}, counts {counts}"
    return nodes[0]
