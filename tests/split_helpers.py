"""Estimators prepared for split search without fit: a subclass formats
features itself, and the attributes fit would set are set by hand."""
import numpy as np
import pandas as pd

import tavrin


def make_tree(cls, n_classes, n_features, kinds=None, **attrs):
    kinds = kinds or ["numeric"] * n_features

    class Tree(cls):
        formatted = []

        def _format_feature(self, X, y, idx):
            self.formatted.append(idx)
            return X[:, idx], kinds[idx]

    tree = Tree()
    names = [f"f{i}" for i in range(n_features)]
    tree.n_classes_ = n_classes
    tree.feature_names = pd.Index(names)
    tree.feature_map = {n: i for i, n in enumerate(names)}
    tree.formatted = []
    for k, v in attrs.items():
        setattr(tree, k, v)
    return tree


TREES = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]


def column(values, dtype=None):
    return np.array(values, dtype=dtype).reshape(-1, 1)
