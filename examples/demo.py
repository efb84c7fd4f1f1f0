"""tavrin demo: both estimators and tavrin_tools.TreeClassifier on real data
shipped on disk, next to scikit-learn's DecisionTreeClassifier.

Run from the repository root:  python3 examples/demo.py
"""
import sys
import time

import numpy as np
import pandas as pd
from palmerpenguins import load_penguins
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import train_test_split
from sklearn.tree import DecisionTreeClassifier

import tavrin
from tavrin_tools import TreeClassifier, export_text, plot_tree


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


# Small data time in milliseconds, which swing from run to run: each time
# shown is the median of this many runs.
REPEATS = 7


def timed(f, *args):
    """f(*args) and the median of its times over REPEATS runs."""
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = f(*args)
        times.append(time.perf_counter() - start)
    return result, float(np.median(times))


def run(name, X, y, max_depth=5):
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.3, random_state=0, stratify=y)
    print(f"\n== {name}: {len(X_train)} training rows, {len(X_test)} test rows, {X.shape[1]} features")
    print(f"{'estimator':32} {'accuracy':>8} {'fit ms':>9} {'predict ms':>11}   (medians of {REPEATS} runs)")
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
    # The scikit-learn estimator takes the frame as it is: categories split natively.
    tc = TreeClassifier(max_depth=max_depth)
    _, fit_s = timed(tc.fit, X_train, y_train)
    score, pred_s = timed(tc.score, X_test, y_test)
    print(f"{'tavrin_tools.TreeClassifier':32} {score:8.3f} {fit_s * 1e3:9.1f} {pred_s * 1e3:11.1f}")
    print("\nBinaryClassificationTree, top levels:")
    print(export_text(fitted["BinaryClassificationTree"], max_depth=3, precision=4), end="")
    print("\nTreeClassifier, top levels (rows per node and their class counts):")
    print(export_text(tc, max_depth=2, precision=4), end="")
    return fitted["BinaryClassificationTree"]


def main(picture=None):
    """Runs both data sets; with a path, also draws the penguin tree there."""
    for name, X, y in (penguins(), breast_cancer()):
        est = run(name, X, y)
        if picture and name.startswith("penguins"):
            draw(est, picture)
    if not picture:
        print("\nTo draw the penguin tree: python3 examples/demo.py --picture tree.png")


def draw(est, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(13, 5.5))
    plot_tree(est, ax=ax, max_depth=2, precision=4, fontsize=9)
    ax.set_title("tavrin.BinaryClassificationTree on penguins (sex), top three levels")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    print(f"\ntree drawn in {path}")


if __name__ == "__main__":
    # python3 examples/demo.py --picture docs/tree.png redraws the README's picture.
    main(sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "--picture" else None)
