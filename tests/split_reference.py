"""Plain-Python transcriptions of the split searches, used as references.

They are written as the expressions read, on the same objects, so the
extension must agree with them bit for bit: ties are decided by exact
equality of these numbers.
"""
import math

import numpy as np


def is_float_nan(v):
    return isinstance(v, (float, np.floating)) and math.isnan(v)


def sorted_pairs(xf, y):
    pairs = list(zip(xf, y))
    ordered = sorted(p for p in pairs if not is_float_nan(p[0]))
    missing = sorted((p for p in pairs if is_float_nan(p[0])), key=lambda p: p[1])
    rows = ordered + missing
    return tuple(p[0] for p in rows), tuple(p[1] for p in rows)


def gini_loop(classes, num_left, num_right, best_gini, thresholds, best_idx, idx,
              split_type, best_split_type, best_thr):
    """The two-class scan; squares are products, as on C doubles."""
    m = len(classes)
    left = [float(v) for v in num_left]
    right = [float(v) for v in num_right]
    for i in range(1, m):
        c = int(classes[i - 1])
        left[c] += 1
        right[c] -= 1
        a, b = left[0] / i, left[1] / i
        gini_left = 1.0 - ((0.0 + a * a) + b * b)
        a, b = right[0] / (m - i), right[1] / (m - i)
        gini_right = 1.0 - ((0.0 + a * a) + b * b)
        gini = (i * gini_left + (m - i) * gini_right) / m
        hi, lo = float(thresholds[i]), float(thresholds[i - 1])
        if hi == lo:
            continue
        mid = (hi + lo) * 0.5
        if mid != mid:
            continue
        if gini < best_gini:
            best_gini, best_idx, best_split_type, best_thr = gini, idx, split_type, mid
    return float(best_gini), int(best_idx), best_split_type, float(best_thr)


def _node(tree, y):
    m = y.size
    num_parent = [np.sum(y == c) for c in range(tree.n_classes_)]
    best_gini = 1.0 - sum((n / m) ** 2 for n in num_parent)
    return m, num_parent, best_gini


def _features(tree, X, y, num_parent):
    """Per feature: its position, split type, sorted rows and fresh counts."""
    for idx in tree.feature_names.map(tree.feature_map):
        xf, split_type = tree._format_feature(X, y, idx)
        thresholds, classes = sorted_pairs(xf, y)
        yield idx, split_type, thresholds, classes, [0] * tree.n_classes_, num_parent.copy()


def best_split(tree, X, y):
    """BinaryClassificationTree._best_split."""
    if y.size <= 1:
        return None, None, None
    m, num_parent, best_gini = _node(tree, y)
    best_idx = best_thr = best_split_type = None
    for idx, split_type, thresholds, classes, num_left, num_right in _features(
            tree, X, y, num_parent):
        num_left += [0] * (2 - len(num_left))
        num_right += [0] * (2 - len(num_right))
        if best_idx is None:
            best_idx = -999
        if best_thr is None:
            best_thr = -999.0
        best_gini, best_idx, best_split_type, best_thr = gini_loop(
            np.array(classes), np.array(num_left, dtype=float), np.array(num_right, dtype=float),
            best_gini, np.array(thresholds, dtype=float), best_idx, idx, split_type,
            best_split_type, best_thr)
        if best_idx == -999:
            best_idx = best_thr = None
    return best_idx, best_thr, best_split_type


def best_split_inline(tree, X, y, square=lambda q: q ** 2):
    """BinaryClassificationTreePy._best_split; `square` lets a test swap the
    power for a product to show that the two differ."""
    if y.size <= 1:
        return None, None, None
    m, num_parent, best_gini = _node(tree, y)
    best_idx = best_thr = best_split_type = None
    for idx, split_type, thresholds, classes, num_left, num_right in _features(
            tree, X, y, num_parent):
        for i in range(1, m):
            c = classes[i - 1]
            num_left[c] += 1
            num_right[c] -= 1
            gini_left = 1.0 - sum(square(num_left[x] / i) for x in range(tree.n_classes_))
            gini_right = 1.0 - sum(square(num_right[x] / (m - i)) for x in range(tree.n_classes_))
            gini = (i * gini_left + (m - i) * gini_right) / m
            if thresholds[i] == thresholds[i - 1]:
                continue
            if gini < best_gini:
                mid = (thresholds[i] + thresholds[i - 1]) / 2
                if is_float_nan(mid):
                    continue
                best_gini, best_idx, best_split_type, best_thr = gini, idx, split_type, mid
    return best_idx, best_thr, best_split_type
