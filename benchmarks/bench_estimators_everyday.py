"""tavrin's own estimators at everyday sizes, against scikit-learn's
DecisionTreeClassifier:

- fit on 8,000 rows with `category` labels (as data packages load their
  targets) against the same fit with text labels, both estimators, on a
  numeric and a mixed frame (goal: <= 1.3 x);
- predict of 1, 10, 100 and 1,000 rows of a frame on a tree of about
  7,000 leaves, against scikit-learn's predict of the same rows (goal for
  one row: <= 1.5 x);
- predict of 1,000,000 rows on that tree, on one core (the process bound
  to one CPU) and on two.

Times are medians of alternating runs of batches; the machine's load is
printed with them. Writes benchmarks/results/estimators_everyday.md.

    PYTHONPATH=build:src python benchmarks/bench_estimators_everyday.py [--repeats 7]
"""
import argparse
import os
import pathlib
import platform
import statistics
import time
import warnings

import numpy as np
import pandas as pd
from sklearn.tree import DecisionTreeClassifier

import tavrin
from bench import machine_load, mixed_case, numeric_case

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
CLASSES = (tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy)


def per_call(fn, batch):
    start = time.perf_counter()
    for _ in range(batch):
        fn()
    return (time.perf_counter() - start) / batch


def alternate(ours, theirs, repeats, batch=1):
    """Medians of alternating batches, in seconds per call."""
    ours(), theirs()  # warm: first calls import and cache
    a, b = [], []
    for _ in range(repeats):
        a.append(per_call(ours, batch))
        b.append(per_call(theirs, batch))
    return statistics.median(a), statistics.median(b)


def n_leaves(node):
    count, stack = 0, [node]
    while stack:
        n = stack.pop()
        if n.left is None:
            count += 1
        else:
            stack += [n.left, n.right]
    return count


def case_category_labels(repeats):
    X, y = numeric_case(8000, features=10)
    Xm, ym, _ = mixed_case(8000)
    for frame, (A, b) in (("numeric 8,000 x 10", (X, y)), ("mixed 8,000 x 20", (Xm, ym))):
        text = pd.Series(np.where(b == 1, "yes", "no"))
        labels = text.astype("category")
        for cls in CLASSES:
            cat, txt = alternate(lambda: cls().fit(A, labels), lambda: cls().fit(A, text), repeats)
            yield (f"{cls.__name__}.fit, {frame}, category labels vs text labels", cat, txt, "text labels",
                   1.3)


def case_predict_rows(repeats):
    X, y = numeric_case(48_000, features=10)
    ours = tavrin.BinaryClassificationTree()
    ours.fit(X, y)
    theirs = DecisionTreeClassifier(criterion="gini", random_state=0).fit(X, y)
    leaves = n_leaves(ours.tree_)
    fresh, _ = numeric_case(1000, features=10, seed=5)
    for rows in (1, 10, 100, 1000):
        head = fresh.iloc[:rows]
        batch = max(1, 200 // rows)
        o, t = alternate(lambda: ours.predict(head), lambda: theirs.predict(head), repeats, batch)
        goal = 1.5 if rows == 1 else None
        yield (f"BinaryClassificationTree.predict, {rows:,} row{'s' if rows > 1 else ''}, tree of {leaves:,} "
               "leaves", o, t, "DecisionTreeClassifier.predict", goal)
    big, _ = numeric_case(1_000_000, features=10, seed=6)
    cores = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else None
    for label, cpus in (("one core", {min(cores)} if cores else None), ("two cores", cores)):
        if cpus is None or (label == "two cores" and len(cpus) < 2):
            continue
        os.sched_setaffinity(0, cpus)
        try:
            o, t = alternate(lambda: ours.predict(big), lambda: theirs.predict(big), max(3, repeats // 2))
        finally:
            os.sched_setaffinity(0, cores)
        yield (f"BinaryClassificationTree.predict, 1,000,000 rows, {label}", o, t,
               "DecisionTreeClassifier.predict", None)


def seconds(s):
    return f"{s * 1e3:.3f} ms" if s < 1 else f"{s:.3f} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    warnings.simplefilter("ignore", UserWarning)  # scikit-learn's feature-name notices
    load_before = machine_load()
    rows = []
    for case in (case_category_labels, case_predict_rows):
        for what, ours, theirs, other, goal in case(args.repeats):
            ratio = ours / theirs
            met = "" if goal is None else ("yes" if ratio <= goal else "**no**")
            rows.append((what, seconds(ours), f"{seconds(theirs)} ({other})", f"{ratio:.2f} x",
                         "" if goal is None else f"<= {goal} x", met))
            print(" | ".join(rows[-1]), flush=True)
    lines = [
        "# tavrin's estimators at everyday sizes",
        "",
        f"Command: `PYTHONPATH=build:src python benchmarks/bench_estimators_everyday.py --repeats {args.repeats}` "
        "(medians of alternating runs).",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores; Python {platform.python_version()}, "
        f"numpy {np.__version__}, pandas {pd.__version__}, scikit-learn {__import__('sklearn').__version__}.",
        f"Load average (1, 5, 15 min) before the run: {load_before}; after: {machine_load()}.",
        "",
        "| what | tavrin | other | ratio | goal | met |",
        "| --- | --- | --- | --- | --- | --- |",
    ]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "estimators_everyday.md").write_text("\n".join(lines) + "\n")
    print(f"wrote {RESULTS / 'estimators_everyday.md'}")


if __name__ == "__main__":
    main()
