"""tavrin_tools' learner against scikit-learn's DecisionTreeClassifier and
LightGBM (one tree, one thread), on the cases the estimator is held to:

- fit, 100,000 x 20 float64, unbounded and min_samples_leaf=20;
- fit, 1,000,000 x 20 float64, max_depth=10, against LightGBM's CPU time
  for one tree (num_leaves=1024, max_bin=255, one thread, binning included);
- fit, 100,000 rows and 5 classes; predict_proba on 1,000,000 rows;
- peak memory of a fit over the size of the input's values;
- on request (`--cases many`, about four minutes a repeat): fit with many
  classes, 3,000 rows x 3,000 classes and 262,144 rows x 256 classes, CPU
  time of one thread each.

Times are medians of alternating runs; the machine's load is printed with
them. Runs through tavrin_tools.TreeClassifier when it is there, through
tavrin_tools._tree.grow (the learner itself) otherwise (the line "via" says which).

    PYTHONPATH=build:src python benchmarks/bench_classifier.py [--repeats 3] [--cases fit,lgbm,...] [--bare]
"""
import argparse
import gc
import os
import statistics
import time

import numpy as np

import peak_memory

CASES = ("fit", "classes", "proba", "lgbm", "memory")


def numeric_case(rows, features=20, classes=2, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, features))
    signal = X[:, 0] + 0.5 * X[:, 1] - X[:, 2] * X[:, 3] + rng.normal(scale=1.0, size=rows)
    y = np.searchsorted(np.quantile(signal, np.linspace(0, 1, classes + 1)[1:-1]), signal)
    return X, y.astype(np.intp)


def many_classes_case(rows, classes, labels, seed=0):
    """Random floats; labels drawn at random (nodes stay mixed down to a
    row or two) or the first column cut into `classes` equal bins (a
    shallow tree)."""
    rng = np.random.default_rng(seed)
    X = rng.random((rows, 20))
    y = rng.integers(0, classes, rows) if labels == "random" else (X[:, 0] * classes).astype(np.intp)
    return X, y


class Ours:
    """Fit and predict_proba through the estimator, or the bare learner."""

    bare = False  # --bare: always the learner itself

    def __init__(self, n_threads=2, **params):
        try:
            from tavrin_tools import TreeClassifier
        except ImportError:
            TreeClassifier = None
        if self.bare:
            TreeClassifier = None
        self.via = "TreeClassifier" if TreeClassifier else "_learner"
        self.params = params
        self.n_threads = n_threads
        self.est = TreeClassifier(n_jobs=n_threads, **params) if TreeClassifier else None

    def fit(self, X, y):
        if self.est is not None:
            self.est.fit(X, y)
            return
        from tavrin_tools._tree import grow
        p = self.params
        leaf = p.get("min_samples_leaf", 1)
        self.n_classes = int(y.max()) + 1
        self.tree = grow(
            X=X, y=y, sample_weight=np.ones(len(y)), n_classes=self.n_classes,
            n_categories=np.zeros(X.shape[1], np.int64), criterion=p.get("criterion", "gini"),
            max_depth=-1 if p.get("max_depth") is None else p["max_depth"],
            min_samples_split=max(2, 2 * leaf), min_samples_leaf=leaf, min_weight_leaf=0.0,
            min_impurity_decrease=0.0, max_leaf_nodes=-1, n_threads=self.n_threads)

    def predict_proba(self, X):
        if self.est is not None:
            return self.est.predict_proba(X)
        return np.asarray(self.tree.value)[:, 0][self.tree.apply(X, n_threads=self.n_threads)]  # class shares


def median_times(fns, repeats, clock=time.perf_counter):
    """Runs the callables in turn, `repeats` rounds; median seconds of each."""
    times = [[] for _ in fns]
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            gc.collect()
            start = clock()
            fn()
            times[k].append(clock() - start)
    return [statistics.median(t) for t in times]


def sklearn_tree(**params):
    from sklearn.tree import DecisionTreeClassifier
    return DecisionTreeClassifier(random_state=0, **params)


def case_fit(repeats):
    X, y = numeric_case(100_000)
    for params in ({}, {"min_samples_leaf": 20}):
        ours, theirs = Ours(**params), sklearn_tree(**params)
        a, b = median_times([lambda: ours.fit(X, y), lambda: theirs.fit(X, y)], repeats)
        yield f"fit 100k x 20 {params or 'unbounded'}", a, b, "DecisionTreeClassifier", ours.via


def case_classes(repeats):
    X, y = numeric_case(100_000, classes=5, seed=3)
    ours, theirs = Ours(), sklearn_tree()
    a, b = median_times([lambda: ours.fit(X, y), lambda: theirs.fit(X, y)], repeats)
    yield "fit 100k x 20, 5 classes", a, b, "DecisionTreeClassifier", ours.via


def case_proba(repeats):
    X, y = numeric_case(100_000, classes=5, seed=3)
    ours, theirs = Ours(), sklearn_tree()
    ours.fit(X, y)
    theirs.fit(X, y)
    Xp, _ = numeric_case(1_000_000, seed=4)
    a, b = median_times([lambda: ours.predict_proba(Xp), lambda: theirs.predict_proba(Xp)], repeats)
    yield "predict_proba 1M rows (5-class tree)", a, b, "DecisionTreeClassifier", ours.via


def case_lgbm(repeats):
    import lightgbm
    X, y = numeric_case(1_000_000)
    ours = Ours(n_threads=1, max_depth=10)
    params = dict(objective="binary", num_leaves=1024, max_depth=10, max_bin=255, num_threads=1,
                  learning_rate=1.0, min_child_samples=1, min_sum_hessian_in_leaf=0.0, verbose=-1)

    def lgbm():
        lightgbm.train(params, lightgbm.Dataset(X, y, params={"max_bin": 255, "verbose": -1}), num_boost_round=1)

    a, b = median_times([lambda: ours.fit(X, y), lgbm], repeats, clock=time.process_time)
    yield "fit 1M x 20, max_depth=10, CPU time, one thread", a, b, "LightGBM one tree", ours.via


def case_many(repeats):
    import warnings
    for rows, classes in ((3_000, 3_000), (262_144, 256)):
        for labels in ("random", "binned"):
            X, y = many_classes_case(rows, classes, labels)
            ours, theirs = Ours(n_threads=1), sklearn_tree()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # scikit-learn: more classes than half the rows
                a, b = median_times([lambda: ours.fit(X, y), lambda: theirs.fit(X, y)], repeats,
                                    clock=time.process_time)
            yield (f"fit {rows:,} x 20, {classes:,} classes ({labels}), 1 thread", a, b,
                   "DecisionTreeClassifier", ours.via)


MEMORY_PROBE = r"""
import json
import bench_classifier as bc, peak_memory
X, y = bc.numeric_case(1_000_000)
bc.Ours.bare = {bare!r}
ours = bc.Ours()
ours.fit(X[:500], y[:500])
print(json.dumps({{"peak": peak_memory.peak_of(lambda: ours.fit(X, y)), "input": X.nbytes, "via": ours.via}}))
"""


def case_memory(repeats):
    out = peak_memory.in_child(MEMORY_PROBE.format(bare=Ours.bare))
    yield "peak memory of fit 1M x 20 (MB)", out["peak"] / 2**20, out["input"] / 2**20, "input values", out["via"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--bare", action="store_true", help="time tavrin_tools._learner, not the estimator")
    args = parser.parse_args()
    Ours.bare = args.bare
    print("load:", os.getloadavg(), "cpus:", os.cpu_count())
    for name in args.cases.split(","):
        for label, ours, theirs, against, via in globals()[f"case_{name}"](args.repeats):
            print(f"{label:52s} ours {ours:9.3f}  {against} {theirs:9.3f}  ratio {ours / theirs:5.2f}  via {via}",
                  flush=True)
    print("load:", os.getloadavg())


if __name__ == "__main__":
    main()
