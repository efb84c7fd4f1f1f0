"""A pure-Python transcription of the tree algorithms, used by the tests as
the model that both estimators must agree with node by node.

It follows the documented steps literally, with the module's fixes where the
literal steps go wrong:
- a split whose mask sends every row to one side leaves the node a leaf;
- a recorded split at exactly -999.0 keeps its threshold;
- a one-class target gets no split (the count arrays are padded to two);
- NaN feature values sort after all others, and a NaN midpoint is no
  candidate.
"""
import math
import warnings

import numpy as np
import pandas as pd
from pandas.api import types as ptypes


def is_nan(value):
    return isinstance(value, (float, np.floating)) and value != value


def sort_pairs(xf, y):
    pairs = list(zip(xf, y))
    plain = [p for p in pairs if not is_nan(p[0])]
    nans = [p for p in pairs if is_nan(p[0])]
    return sorted(plain) + sorted(nans, key=lambda p: p[1])


class ReferenceTree:
    def __init__(self, max_depth=float("inf"), inline=False):
        self.max_depth = max_depth
        self.inline = inline

    # -- fit -----------------------------------------------------------------
    def fit(self, X, y):
        self.n_classes_ = len(set(y))
        X, y = self._prep_data(X, y)
        self.tree_ = self._grow_tree(X, y)

    def _get_dtype(self, X, d_type):
        table = {
            "numeric": ptypes.is_numeric_dtype,
            "string": ptypes.is_string_dtype,
            "categorical": ptypes.is_categorical_dtype,
            "date": ptypes.is_datetime64_any_dtype,
            "bool": ptypes.is_bool_dtype,
        }
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return [f for f in X.columns if table[d_type](X[f])]

    def _prep_data(self, X, y):
        self.feature_names = X.columns
        self.classes = np.unique(y)
        for kind in ["numeric", "string", "categorical", "date", "bool"]:
            setattr(self, f"{kind}_features", self._get_dtype(X, kind))
        self.feature_map = dict(zip(self.feature_names, range(len(self.feature_names))))
        self.rev_feature_map = dict(zip(self.feature_map.values(), self.feature_map.keys()))
        self.taget_map = dict(zip(self.classes, range(len(self.classes))))
        self.rev_taget_map = dict(zip(self.taget_map.values(), self.taget_map.keys()))
        self.feature_value_maps = {}
        with np.errstate(invalid="ignore"):
            values = X.values
        if values.dtype.kind in "iub" and X.isna().values.any():
            values = X.to_numpy(dtype=object)  # pandas would turn NaN into an int
        return values, y.map(self.taget_map)

    def _format_feature(self, X, y, idx):
        if self.rev_feature_map[idx] in self.numeric_features:
            return X[:, idx], "numeric"
        if self.rev_feature_map[idx] in self.categorical_features:
            return self._format_categorical(X, y, idx), "categorical"
        raise ValueError("This tree supports only numeric or categorical features")

    def _format_categorical(self, X, y, idx):
        df = pd.DataFrame(X[:, idx], columns=[idx])
        df["y"] = np.asarray(y)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            grp = df.groupby([idx]).y.mean().sort_values()
        self.feature_value_maps[idx] = {
            "map": dict(zip(grp.index, range(len(grp.index)))),
            "rev_map": dict(zip(range(len(grp.index)), grp.index)),
        }
        return np.asarray(df[idx].map(self.feature_value_maps[idx]["map"]).values)

    # -- split search ---------------------------------------------------------
    def _best_split(self, X, y):
        m = y.size
        if m <= 1:
            return None, None, None
        num_parent = [np.sum(y == c) for c in range(self.n_classes_)]
        best_gini = 1.0 - sum((n / m) ** 2 for n in num_parent)
        best = [None, None, None]  # idx, thr, split type
        for idx in self.feature_names.map(self.feature_map):
            xf, split_type = self._format_feature(X, y, idx)
            pairs = sort_pairs(xf, y)
            thresholds = [p[0] for p in pairs]
            classes = [p[1] for p in pairs]
            scan = self._scan_inline if self.inline else self._scan_typed
            best_gini = scan(m, thresholds, classes, num_parent, best_gini, best, idx, split_type)
        return tuple(best)

    def _scan_typed(self, m, thresholds, classes, num_parent, best_gini, best, idx, split_type):
        k = max(self.n_classes_, 2)
        left = [0.0] * k
        right = [float(n) for n in num_parent] + [0.0] * (k - len(num_parent))
        values = [float(v) for v in np.array(thresholds, dtype=float)]
        for i in range(1, m):
            c = classes[i - 1]
            left[c] += 1
            right[c] -= 1
            ql0, ql1 = left[0] / i, left[1] / i
            qr0, qr1 = right[0] / (m - i), right[1] / (m - i)
            gini_left = 1.0 - (ql0 * ql0 + ql1 * ql1)
            gini_right = 1.0 - (qr0 * qr0 + qr1 * qr1)
            gini = (i * gini_left + (m - i) * gini_right) / m
            if values[i] == values[i - 1]:
                continue
            mid = (values[i] + values[i - 1]) * 0.5
            if math.isnan(mid):
                continue
            if gini < best_gini:
                best_gini = gini
                best[:] = [idx, mid, split_type]
        return best_gini

    def _scan_inline(self, m, thresholds, classes, num_parent, best_gini, best, idx, split_type):
        n = self.n_classes_
        left = [0] * n
        right = num_parent.copy()
        for i in range(1, m):
            c = classes[i - 1]
            left[c] += 1
            right[c] -= 1
            gini_left = 1.0 - sum((left[x] / i) ** 2 for x in range(n))
            gini_right = 1.0 - sum((right[x] / (m - i)) ** 2 for x in range(n))
            gini = (i * gini_left + (m - i) * gini_right) / m
            if thresholds[i] == thresholds[i - 1]:
                continue
            if gini < best_gini:
                mid = (thresholds[i] + thresholds[i - 1]) / 2
                if is_nan(mid):
                    continue
                best_gini = gini
                best[:] = [idx, mid, split_type]
        return best_gini

    # -- growth ---------------------------------------------------------------
    def _grow_tree(self, X, y, depth=0):
        counts = [np.sum(y == i) for i in range(self.n_classes_)]
        predicted = np.argmax(counts)
        node = Node(self.rev_taget_map[predicted], counts[predicted] / np.sum(counts))
        if not depth < self.max_depth:
            return node
        idx, thr, split_type = self._best_split(X, y)
        if idx is None:
            return node
        var, _ = self._format_feature(X, y, idx)
        with np.errstate(invalid="ignore"):
            left = var < thr
        if left.all() or not left.any():
            return node
        node.feature_index = idx
        if split_type == "numeric":
            node.threshold = thr
            node.node_type = "numeric"
        else:
            rev_map = self.feature_value_maps[idx]["rev_map"]
            codes = pd.Series([x for x in rev_map.keys() if x < thr])
            node.threshold = np.asarray(codes.map(rev_map).values)
            node.node_type = "categorical"
        node.left = self._grow_tree(X[left], y[left], depth + 1)
        node.right = self._grow_tree(X[~left], y[~left], depth + 1)
        return node

    # -- prediction -----------------------------------------------------------
    def _rows(self, X):
        with np.errstate(invalid="ignore"):
            return X[self.feature_names].values

    def predict(self, X):
        return [self._predict(row) for row in self._rows(X)]

    def predict_proba(self, X):
        return [self._predict(row, "prob") for row in self._rows(X)]

    def _predict(self, inputs, ptype="class"):
        node = self.tree_
        while node.left:
            v = inputs[node.feature_index]
            if node.node_type != "categorical":
                node = node.left if v < node.threshold else node.right
            else:
                node = node.left if v in node.threshold else node.right
        if ptype == "class":
            return node.predicted_class
        if ptype == "prob":
            p = node.probability
            return [p, 1 - p] if node.predicted_class == self.classes[0] else [1 - p, p]
        return np.nan


class Node:
    def __init__(self, predicted_class, probability, node_type="leaf"):
        self.predicted_class = predicted_class
        self.feature_index = 0
        self.threshold = 0
        self.left = None
        self.right = None
        self.node_type = node_type
        self.probability = probability
