"""The drop-in parameters against scikit-learn, one thread each, on
100,000 x 20 float64 (two classes, the data of bench_classifier.py):

- max_features="sqrt": TreeClassifier against DecisionTreeClassifier (goal:
  at most 0.15 of its time);
- splitter="random": ExtraTreeClassifier against scikit-learn's
  ExtraTreeClassifier (both with their defaults, max_features="sqrt"), and
  with max_features=None on both (goal: at most 0.5 of its time);
- monotonic_cst (+1 on the first column, -1 on the third): TreeClassifier
  against DecisionTreeClassifier (goal: at most 0.15 of its time).

Times are medians of alternating runs, with random_state=0 on both sides.
Writes benchmarks/results/dropin.md.

    PYTHONPATH=build:src python benchmarks/bench_dropin.py [--repeats 3]
"""
import argparse
import os
import statistics
import time

import numpy as np
from sklearn.tree import DecisionTreeClassifier as SkTree
from sklearn.tree import ExtraTreeClassifier as SkExtra

from tavrin_tools import ExtraTreeClassifier, TreeClassifier

from bench_classifier import numeric_case

GOALS = {"max_features": 0.15, "random": 0.5, "monotonic": 0.15}


def cases(features):
    cst = np.zeros(features, dtype=int)
    cst[0], cst[2] = 1, -1
    return [
        ("max_features", 'max_features="sqrt"', TreeClassifier(max_features="sqrt", random_state=0, n_jobs=1),
         SkTree(max_features="sqrt", random_state=0)),
        ("random", 'ExtraTreeClassifier()', ExtraTreeClassifier(random_state=0, n_jobs=1), SkExtra(random_state=0)),
        ("random", 'splitter="random", max_features=None',
         TreeClassifier(splitter="random", random_state=0, n_jobs=1), SkExtra(max_features=None, random_state=0)),
        ("monotonic", "monotonic_cst", TreeClassifier(monotonic_cst=cst, n_jobs=1),
         SkTree(monotonic_cst=cst, random_state=0)),
    ]


def timed(est, X, y):
    start = time.perf_counter()
    est.fit(X, y)
    return time.perf_counter() - start


def write_result(name, lines):
    """Writes the table's lines to benchmarks/results/<name>."""
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", name)
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote", out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rows", type=int, default=100_000)
    args = parser.parse_args()
    X, y = numeric_case(args.rows)
    lines = [f"# Drop-in parameters, {args.rows:,} x {X.shape[1]} float64, one thread",
             "", f"load average at start: {os.getloadavg()[0]:.2f}; medians of {args.repeats} alternating runs", "",
             "| case | tavrin_tools (s) | scikit-learn (s) | ratio | goal | leaves (ours / theirs) |",
             "| --- | --- | --- | --- | --- | --- |"]
    for kind, label, ours, theirs in cases(X.shape[1]):
        t_ours, t_theirs = [], []
        for _ in range(args.repeats):
            t_ours.append(timed(ours, X, y))
            t_theirs.append(timed(theirs, X, y))
        a, b = statistics.median(t_ours), statistics.median(t_theirs)
        goal = GOALS[kind]
        verdict = "met" if a / b <= goal else "missed"
        lines.append(f"| {label} | {a:.3f} | {b:.3f} | {a / b:.3f} | <= {goal} ({verdict}) | "
                     f"{ours.get_n_leaves()} / {theirs.get_n_leaves()} |")
        print(lines[-1], flush=True)
    write_result("dropin.md", lines)


if __name__ == "__main__":
    main()
