"""Walking a fitted tavrin tree and wording its nodes, shared by the exporters.

The walk is iterative: a tree grown without a depth limit can be hundreds of
levels deep, deeper than the interpreter's recursion limit allows to recurse.
"""
from __future__ import annotations

from typing import Any, Iterator, List, NamedTuple, Optional, Tuple

import numpy as np

from ._flat_nodes import linked_root


class Visit(NamedTuple):
    """One node of the walk, in depth-first order (left before right)."""

    node_id: int  # 0 for the root, then in the order of the walk
    node: Any
    depth: int
    parent_id: Optional[int]  # None for the root
    went_left: Optional[bool]  # None for the root
    cut: bool  # a split node whose children lie below max_depth


def fitted_view(estimator: Any) -> Any:
    """The estimator to read throughout one export: a TreeClassifier's
    state of one fit (a refit in another thread meanwhile changes nothing
    read through it), anything else as it is."""
    view = getattr(estimator, "_fitted", None)
    if view is None or "tree_" not in getattr(estimator, "__dict__", {}):
        return estimator  # not fitted: fitted_root says so
    return view()


def fitted_root(estimator: Any) -> Any:
    root = getattr(estimator, "tree_", None)
    if root is None:
        raise ValueError(
            f"this {type(estimator).__name__} is not fitted: call fit(X, y) before exporting its tree"
        )
    if hasattr(root, "children_left"):  # a TreeClassifier's flat tree
        return linked_root(estimator)
    return root


def is_leaf(node: Any) -> bool:
    # Prediction treats a node as a leaf exactly when `left` is falsy.
    return not node.left


def walk(estimator: Any, max_depth: Optional[int] = None) -> Iterator[Visit]:
    """Nodes of the fitted tree from the root, depth-first, left subtree first."""
    if max_depth is not None and max_depth < 0:
        raise ValueError(f"max_depth must be None or at least 0, got {max_depth!r}")
    stack: List[Tuple[Any, int, Optional[int], Optional[bool]]] = [
        (fitted_root(estimator), 0, None, None)
    ]
    next_id = 0
    while stack:
        node, depth, parent_id, went_left = stack.pop()
        node_id, next_id = next_id, next_id + 1
        cut = not is_leaf(node) and max_depth is not None and depth >= max_depth
        yield Visit(node_id, node, depth, parent_id, went_left, cut)
        if not is_leaf(node) and not cut:
            # Right is pushed first so that left comes out first.
            stack.append((node.right, depth + 1, node_id, False))
            stack.append((node.left, depth + 1, node_id, True))


def value_text(value: Any) -> str:
    """A label, category or threshold as a reader expects it (no numpy reprs)."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, str):
        return repr(value)
    return str(value)


def share_text(probability: Any) -> str:
    text = f"{float(probability) * 100:.1f}"
    return (text[:-2] if text.endswith(".0") else text) + "%"


def outcome_text(node: Any, sep: str = ", ") -> str:
    """What the node predicts: its label and the share of its training rows
    with it (of each output, one after another, with several outputs)."""
    outcomes = getattr(node, "outcomes", None) or [(node.predicted_class, node.probability)]
    text = sep.join(f"{label.item() if isinstance(label, np.generic) else label} {share_text(share)}"
                    for label, share in outcomes)
    sizes = getattr(node, "sizes", None)  # row count and class counts, when the node has them
    return text + (sep + sizes if sizes else "")


def feature_name(estimator: Any, index: Any) -> str:
    names: Any = getattr(estimator, "feature_names", None)
    if names is None:
        names = getattr(estimator, "feature_names_in_", None)
    try:
        return str(names[index])
    except (TypeError, IndexError, KeyError):
        return f"feature {index}"


def rule_text(estimator: Any, node: Any, precision: int) -> str:
    """The test of a split node; rows for which it holds go left."""
    name = feature_name(estimator, node.feature_index)
    if hasattr(node, "rule_text"):  # a TreeClassifier's node words its own test
        return str(node.rule_text(name, precision))
    if node.node_type == "categorical":
        values = ", ".join(value_text(v) for v in np.asarray(node.threshold, dtype=object).ravel())
        return f"{name} in {{{values}}}"
    threshold = node.threshold
    if isinstance(threshold, (float, np.floating)):
        return f"{name} < {threshold_text(float(threshold), precision)}"
    return f"{name} < {value_text(threshold)}"


def threshold_text(threshold: float, precision: int) -> str:
    """At least `precision` significant digits, and as many more as it takes
    to read back as the threshold itself: a rounded threshold could put a
    value between it and the printed one on the wrong side of the test."""
    digits = max(precision, 1)
    text = f"{threshold:.{digits}g}"
    while digits < 17 and float(text) != threshold and threshold == threshold:
        digits += 1
        text = f"{threshold:.{digits}g}"
    return text
