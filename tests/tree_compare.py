"""Node-by-node comparison of fitted trees, types included."""
import math

import numpy as np


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and all(same_value(x, y) for x, y in zip(a.tolist(), b.tolist()))
    if isinstance(a, (float, np.floating)) and math.isnan(a):
        return math.isnan(b)
    return bool(a == b)


def assert_same_tree(got, want, path="root"):
    for attr in ("predicted_class", "probability", "node_type", "feature_index", "threshold"):
        g, w = getattr(got, attr), getattr(want, attr)
        assert same_value(g, w), f"{path}.{attr}: {g!r} ({type(g).__name__}) != {w!r} ({type(w).__name__})"
    assert (got.left is None) == (want.left is None), f"{path}: leaf in one tree only"
    assert (got.right is None) == (want.right is None), f"{path}: leaf in one tree only"
    if want.left is not None:
        assert_same_tree(got.left, want.left, path + ".left")
        assert_same_tree(got.right, want.right, path + ".right")


def assert_same_value_maps(got, want):
    assert list(got) == list(want)
    for key in want:
        for part in ("map", "rev_map"):
            g, w = got[key][part], want[key][part]
            assert list(g.items()) == list(w.items()), (key, part, g, w)
            assert [type(v) for v in g.values()] == [type(v) for v in w.values()]
            assert [type(k) for k in g] == [type(k) for k in w]


def tree_depth(node):
    if node.left is None:
        return 0
    return 1 + max(tree_depth(node.left), tree_depth(node.right))
