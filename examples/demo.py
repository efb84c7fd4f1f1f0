"""tavrin demo: both estimators on real data shipped on disk, next to
scikit-learn's DecisionTreeClassifier.

Run from the repository root:  python3 examples/demo.py
"""
import time

import numpy as np
import pandas as pd
from palmerpenguins import load_penguins
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import train_test_split
from sklearn.tree import DecisionTreeClassifier

import tavrin


def penguins():
    """Penguin sex from species, island (category columns) and body measurements."""
    df = load_penguins().dropna(subset=["sex"]).reset_index(drop=True)
    X = df[["species", "island", "bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]].copy()
    for col in ("species", "island"):
        X[col] = X[col].astype("category")
    return "penguins (sex)", X, df["sex"].astype(object)


def breast_cancer():
    data = load_breast_cancer(as_frame=True)
    labels = pd.Series(np.asarray(data.target_names, dtype=object)[data.target])
    return "breast cancer (diagnosis)", data.data, labels


def timed(f, *args):
    start = time.perf_counter()
    result = f(*args)
    return result, time.perf_counter() - start


def describe(est, node=None, depth=0, max_levels=3, lines=None):
    """The top levels of a fitted tree as indented rules."""
    lines = [] if lines is None else lines
    node = est.tree_ if node is None else node
    pad = "  " * depth
    share = f"{node.predicted_class} ({float(node.probability):.0%})"
    if node.left is None or depth >= max_levels:
        lines.append(f"{pad}-> {share}" + ("" if node.left is None else " ..."))
        return lines
    name = est.feature_names[node.feature_index]
    if node.node_type == "categorical":
        test = f"{name} in {{{', '.join(map(str, node.threshold))}}}"
    else:
        test = f"{name} < {float(node.threshold):.4g}"
    lines.append(f"{pad}if {test}:   [{share}]")
    describe(est, node.left, depth + 1, max_levels, lines)
    lines.append(f"{pad}else:")
    describe(est, node.right, depth + 1, max_levels, lines)
    return lines


def run(name, X, y, max_depth=5):
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.3, random_state=0, stratify=y)
    print(f"\n== {name}: {len(X_train)} training rows, {len(X_test)} test rows, {X.shape[1]} features")
    print(f"{'estimator':32} {'accuracy':>8} {'fit ms':>9} {'predict ms':>11}")
    fitted = {}
    for cls in (tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy):
        est = cls(max_depth=max_depth)
        _, fit_s = timed(est.fit, X_train, y_train)
        pred, pred_s = timed(est.predict, X_test)
        acc = np.mean(np.asarray(pred, dtype=object) == y_test.to_numpy(dtype=object))
        print(f"{cls.__name__:32} {acc:8.3f} {fit_s * 1e3:9.1f} {pred_s * 1e3:11.1f}")
        fitted[cls.__name__] = est
    # scikit-learn needs numbers: categories become their codes.
    Xs_train = X_train.apply(lambda c: c.cat.codes if isinstance(c.dtype, pd.CategoricalDtype) else c)
    Xs_test = X_test.apply(lambda c: c.cat.codes if isinstance(c.dtype, pd.CategoricalDtype) else c)
    sk = DecisionTreeClassifier(criterion="gini", max_depth=max_depth, random_state=0)
    _, fit_s = timed(sk.fit, Xs_train, y_train)
    pred, pred_s = timed(sk.predict, Xs_test)
    print(f"{'sklearn DecisionTreeClassifier':32} {np.mean(pred == y_test.to_numpy()):8.3f} "
          f"{fit_s * 1e3:9.1f} {pred_s * 1e3:11.1f}")
    print("\nBinaryClassificationTree, top levels:")
    print("\n".join(describe(fitted["BinaryClassificationTree"])))


def main():
    for name, X, y in (penguins(), breast_cancer()):
        run(name, X, y)


if __name__ == "__main__":
    main()
