"""Fitted trees that the pickling, export and plot tests share."""
import numpy as np
import pandas as pd
import pytest

import tavrin

CLASSES = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]


@pytest.fixture(autouse=True)
def class_namespaces():
    """Pickling with protocol 2 or more makes CPython cache `__slotnames__`
    (an empty list) on a plain class; the module tests check the classes'
    namespaces exactly, so the cache is checked and dropped after each test."""
    classes = CLASSES + [tavrin.Node]
    before = {cls: set(vars(cls)) for cls in classes}
    yield
    for cls in classes:
        added = set(vars(cls)) - before[cls]
        assert added <= {"__slotnames__"}, (cls, added)
        if added:
            assert vars(cls)["__slotnames__"] == []
            del cls.__slotnames__


def mixed_data(n=120, seed=3):
    """Numeric and category columns, a string target, a few missing numbers."""
    rng = np.random.default_rng(seed)
    size = rng.normal(size=n)
    size[::17] = np.nan
    colour = pd.Categorical(rng.choice(["red", "green", "blue", "grey"], size=n))
    count = rng.integers(0, 9, size=n)
    logit = np.nan_to_num(size) + (np.asarray(colour) == "red") - 0.2 * count
    y = pd.Series(np.where(logit + rng.normal(scale=0.5, size=n) > 0, "yes", "no"), dtype=object)
    return pd.DataFrame({"size": size, "colour": colour, "count": count}), y


def fitted(cls, X, y, **kwargs):
    est = cls(**kwargs)
    est.fit(X, y)
    return est


def chain(depth, node_class=None):
    """A hand-built tree of `depth` numeric splits, each with a leaf on the left."""
    node_class = node_class or tavrin.Node
    root = node = node_class("b", np.float64(0.5))
    for level in range(depth):
        node.feature_index, node.threshold, node.node_type = 0, float(level), "numeric"
        node.left = node_class("a", np.float64(1.0))
        node.right = node_class("b", np.float64(0.75))
        node = node.right
    return root


def chain_data(n):
    """Sorted values with alternating labels: fit grows a chain n - 1 splits deep."""
    return pd.DataFrame({"x": np.arange(n, dtype=float)}), pd.Series(np.arange(n) % 2)


def right_depth(node):
    depth = 0
    while node.left is not None:
        node, depth = node.right, depth + 1
    return depth
