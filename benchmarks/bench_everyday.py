"""tavrin_tools.TreeClassifier against scikit-learn's DecisionTreeClassifier
at everyday sizes, where per-call costs weigh as much as the tree:

- fit on a 1,000 x 17 frame with 2 category columns (scikit-learn on the same
  data one-hot encoded beforehand, as a numpy matrix);
- predict on 100 rows of that frame (scikit-learn: the encoded rows);
- GridSearchCV, 27 settings x 5 folds, on the 1,000-row frame;
- predict_proba on 1,000,000 rows x 20 numeric features, a depth-limited and
  an unbounded tree (the numeric case of bench_classifier.py).

Each case runs TreeClassifier with n_jobs=1 and n_jobs=2 (scikit-learn's tree
has no threads), alternating with scikit-learn; times are medians, and the
machine's load is printed with them.

    PYTHONPATH=build:src python benchmarks/bench_everyday.py [--repeats 7] [--cases fit,predict,...]
"""
import argparse
import os
import time

import numpy as np
import pandas as pd
from sklearn.model_selection import GridSearchCV
from sklearn.tree import DecisionTreeClassifier

from bench_classifier import median_times, numeric_case
from tavrin_tools import TreeClassifier

CASES = ("fit", "predict", "grid", "proba")
GOALS = {"fit": 0.5, "predict": 1.0, "grid": 0.6, "proba": 0.6}
GRID = {"max_depth": [4, 8, None], "min_samples_leaf": [1, 5, 20], "criterion": ["gini", "entropy", "log_loss"]}


def everyday_frame(rows=1000, seed=0):
    """15 numeric columns and 2 category columns, and the label; with the
    same data one-hot encoded as a float64 matrix for scikit-learn."""
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(rng.normal(size=(rows, 15)), columns=[f"x{j}" for j in range(15)])
    X["colour"] = pd.Categorical(rng.choice(["red", "green", "blue", "grey", "gold"], rows))
    X["size"] = pd.Categorical(rng.choice(["S", "M", "L"], rows))
    signal = X["x0"] + 0.5 * X["x1"] * X["x2"] + X["colour"].isin(["red", "gold"]) - (X["size"] == "L")
    y = (signal + rng.normal(scale=0.8, size=rows) > 0.5).astype(int).to_numpy()
    encoded = pd.get_dummies(X, dtype=float).to_numpy()
    return X, encoded, y


def case_fit(repeats):
    X, encoded, y = everyday_frame()
    theirs = DecisionTreeClassifier(random_state=0)
    for params in ({}, {"max_depth": 4}):
        for threads in (1, 2):
            ours = TreeClassifier(n_jobs=threads, **params)
            theirs.set_params(**params)
            a, b = median_times([lambda: ours.fit(X, y), lambda: theirs.fit(encoded, y)], repeats)
            yield f"fit 1,000 x 17 (2 category columns) {params or 'unbounded'}", threads, a, b


def case_predict(repeats):
    X, encoded, y = everyday_frame()
    theirs = DecisionTreeClassifier(random_state=0).fit(encoded, y)
    rows, rows_encoded = X.iloc[:100], encoded[:100]
    numeric = encoded[:, :15]
    theirs_numeric = DecisionTreeClassifier(random_state=0).fit(numeric, y)
    for threads in (1, 2):
        ours = TreeClassifier(n_jobs=threads).fit(X, y)
        ours_numeric = TreeClassifier(n_jobs=threads).fit(numeric, y)
        calls = [lambda: ours.predict(rows), lambda: theirs.predict(rows_encoded),
                 lambda: ours_numeric.predict(numeric[:100]), lambda: theirs_numeric.predict(numeric[:100])]
        # Each timed call is 100 predicts: one is tens of microseconds.
        a, b, c, d = (t / 100 for t in median_times([_times(f, 100) for f in calls], repeats))
        yield "predict 100 rows (frame; sklearn: encoded matrix)", threads, a, b
        yield "predict 100 rows (numpy, 15 numeric columns)", threads, c, d


def _times(fn, n):
    def run():
        for _ in range(n):
            fn()
    return run


def case_grid(repeats):
    X, encoded, y = everyday_frame()
    for threads in (1, 2):
        ours = GridSearchCV(TreeClassifier(n_jobs=threads), GRID, cv=5)
        theirs = GridSearchCV(DecisionTreeClassifier(random_state=0), GRID, cv=5)
        a, b = median_times([lambda: ours.fit(X, y), lambda: theirs.fit(encoded, y)], max(1, repeats // 2))
        yield "GridSearchCV 27 settings x 5 folds, 1,000 rows", threads, a, b


def case_proba(repeats):
    X, y = numeric_case(100_000, classes=5, seed=3)
    rows, _ = numeric_case(1_000_000, seed=4)
    for params in ({"max_depth": 10}, {}):
        theirs = DecisionTreeClassifier(random_state=0, **params).fit(X, y)
        for threads in (1, 2):
            ours = TreeClassifier(n_jobs=threads, **params).fit(X, y)
            a, b = median_times([lambda: ours.predict_proba(rows), lambda: theirs.predict_proba(rows)],
                                max(1, repeats // 2))
            yield f"predict_proba 1M x 20 (5-class tree, {params or 'unbounded'})", threads, a, b


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--cases", default=",".join(CASES))
    args = parser.parse_args()
    print("load:", os.getloadavg(), "cpus:", os.cpu_count())
    for name in args.cases.split(","):
        for label, threads, ours, theirs in globals()[f"case_{name}"](args.repeats):
            ratio = ours / theirs
            print(f"{label:52s} n_jobs={threads}  ours {ours * 1e3:9.3f} ms  sklearn {theirs * 1e3:9.3f} ms  "
                  f"ratio {ratio:5.2f}  (goal <= {GOALS[name]})", flush=True)
    print("load:", os.getloadavg())


if __name__ == "__main__":
    start = time.perf_counter()
    main()
    print(f"took {time.perf_counter() - start:.0f} s")
