"""tavrin against scikit-learn's DecisionTreeClassifier(criterion="gini").

Runs every case in this one process, alternating ours and theirs run by
run, and reports medians and ratios. Writes benchmarks/results/results.md
(a Markdown table) and benchmarks/results/scaling.png (fit time against
rows, log-log).

    pip install -e .[bench]        # or: PYTHONPATH=build
    python benchmarks/bench.py     # --quick for a short smoke run
"""
import argparse
import gc
import os
import pathlib
import platform
import statistics
import threading
import time

import numpy as np
import pandas as pd
from sklearn.tree import DecisionTreeClassifier

import peak_memory
import tavrin

RESULTS = pathlib.Path(__file__).resolve().parent / "results"


class StepByStep(tavrin.BinaryClassificationTree):
    """Growth reaches an overridden method, so fit takes the step-by-step path."""

    def _best_split(self, X, y):
        return super()._best_split(X, y)


# -- data -----------------------------------------------------------------------

def numeric_case(rows, features=20, seed=0):
    """Float64 features and a noisy binary target: a deep tree."""
    rng = np.random.default_rng(seed)
    A = rng.normal(size=(rows, features))
    signal = A[:, 0] + 0.5 * A[:, 1] - A[:, 2] * A[:, 3]
    y = (signal + rng.normal(scale=1.0, size=rows) > 0).astype(np.int64)
    return pd.DataFrame(A, columns=[f"x{j}" for j in range(features)]), pd.Series(y)


def mixed_case(rows, seed=1):
    """10 numeric and 10 categorical columns (2 to 30 categories); the
    second frame is the ordinal-encoded copy that scikit-learn gets."""
    rng = np.random.default_rng(seed)
    cols, signal = {}, np.zeros(rows)
    for j in range(10):
        cols[f"x{j}"] = rng.normal(size=rows)
    signal += cols["x0"] - 0.5 * cols["x1"]
    for j, k in enumerate(np.linspace(2, 30, 10).astype(int)):
        codes = rng.integers(0, k, rows)
        effect = rng.normal(size=k)
        signal += 0.5 * effect[codes]
        cols[f"c{j}"] = pd.Categorical.from_codes(codes, [f"v{i:02d}" for i in range(k)])
    X = pd.DataFrame(cols)
    y = pd.Series((signal + rng.normal(scale=1.0, size=rows) > 0).astype(np.int64))
    encoded = X.copy()
    for name in encoded.columns:
        if isinstance(encoded[name].dtype, pd.CategoricalDtype):
            encoded[name] = encoded[name].cat.codes.astype(np.float64)
    return X, y, encoded


# -- timing ---------------------------------------------------------------------

def timed(fn):
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def cpu_timed(fn):
    gc.collect()
    start = time.process_time()
    fn()
    return time.process_time() - start


def alternate(ours, theirs, repeats, clock=timed):
    """Alternating runs; medians in seconds."""
    a, b = [], []
    for _ in range(repeats):
        a.append(clock(ours))
        b.append(clock(theirs))
    return statistics.median(a), statistics.median(b)


def sklearn_tree():
    return DecisionTreeClassifier(criterion="gini", random_state=0)


# -- cases ----------------------------------------------------------------------

def case_fit_numeric(rows, repeats):
    X, y = numeric_case(rows)
    ours, theirs = alternate(lambda: tavrin.BinaryClassificationTree().fit(X, y),
                             lambda: sklearn_tree().fit(X, y), repeats)
    return ours, theirs


def case_fit_mixed(rows, repeats):
    X, y, encoded = mixed_case(rows)
    return alternate(lambda: tavrin.BinaryClassificationTree().fit(X, y),
                     lambda: sklearn_tree().fit(encoded, y), repeats)


def case_predict(rows_fit, rows_predict, repeats):
    X, y = numeric_case(rows_fit)
    ours, theirs = tavrin.BinaryClassificationTree(), sklearn_tree()
    ours.fit(X, y)
    theirs.fit(X, y)
    big, _ = numeric_case(rows_predict, seed=2)
    return alternate(lambda: ours.predict(big), lambda: theirs.predict(big), repeats)


def case_step_path(rows, repeats):
    X, y = numeric_case(rows)
    return alternate(lambda: tavrin.BinaryClassificationTree().fit(X, y),
                     lambda: StepByStep().fit(X, y), repeats)


def case_threads(rows, repeats):
    data = [numeric_case(rows, seed=s) for s in (3, 4)]

    def sequential():
        for X, y in data:
            tavrin.BinaryClassificationTree().fit(X, y)

    def parallel():
        threads = [threading.Thread(target=tavrin.BinaryClassificationTree().fit, args=d) for d in data]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return alternate(parallel, sequential, repeats)


MEMORY_PROBE = r"""
import json
import bench, peak_memory, tavrin
from sklearn.tree import DecisionTreeClassifier

X, y = bench.numeric_case({rows})
values = X.values
est = tavrin.BinaryClassificationTree() if {ours} else DecisionTreeClassifier(criterion="gini", random_state=0)
est.fit(X.iloc[:200], y.iloc[:200])  # libraries loaded, code paths warm
print(json.dumps({{"peak": peak_memory.peak_of(lambda: est.fit(X, y)), "input": values.nbytes}}))
"""


def case_memory(rows):
    return {"ours" if ours else "sklearn": peak_memory.in_child(MEMORY_PROBE.format(rows=rows, ours=ours))
            for ours in (True, False)}


def case_predict_mixed(rows_fit, rows_predict, repeats):
    X, y, encoded = mixed_case(rows_fit)
    ours, theirs = tavrin.BinaryClassificationTree(), sklearn_tree()
    ours.fit(X, y)
    theirs.fit(encoded, y)
    big, _, big_encoded = mixed_case(rows_predict, seed=2)
    return alternate(lambda: ours.predict(big), lambda: theirs.predict(big_encoded), repeats)


def case_predict_proba(rows_fit, rows_predict, repeats):
    X, y = numeric_case(rows_fit)
    ours, theirs = tavrin.BinaryClassificationTree(), sklearn_tree()
    ours.fit(X, y)
    theirs.fit(X, y)
    big, _ = numeric_case(rows_predict, seed=2)
    return alternate(lambda: ours.predict_proba(big), lambda: theirs.predict_proba(big), repeats)


def many_classes_case(rows, classes=5, features=20, seed=7):
    X, _ = numeric_case(rows, features, seed)
    rng = np.random.default_rng(seed)
    signal = X["x0"] + 0.5 * X["x1"] - X["x2"] * X["x3"] + rng.normal(scale=1.0, size=rows)
    edges = np.quantile(signal, np.linspace(0, 1, classes + 1)[1:-1])
    return X, pd.Series(np.searchsorted(edges, signal).astype(np.int64))


def case_py_many_classes(rows, repeats):
    X, y = many_classes_case(rows)
    return alternate(lambda: tavrin.BinaryClassificationTreePy().fit(X, y),
                     lambda: sklearn_tree().fit(X, y), repeats)


def case_py_two_classes(rows, repeats):
    X, y = numeric_case(rows)
    return alternate(lambda: tavrin.BinaryClassificationTreePy().fit(X, y),
                     lambda: tavrin.BinaryClassificationTree().fit(X, y), repeats)


def lightgbm_tree(X, y, depth):
    import lightgbm

    params = {"objective": "binary", "num_iterations": 1, "max_depth": depth, "num_leaves": 2 ** depth,
              "max_bin": 255, "min_data_in_leaf": 1, "min_sum_hessian_in_leaf": 0.0, "num_threads": 1,
              "verbose": -1, "deterministic": True, "force_row_wise": True}
    return lightgbm.train(params, lightgbm.Dataset(X, y, params={"verbose": -1, "max_bin": 255}))


def case_fit_lightgbm(rows, depth, repeats):
    """CPU time of one depth-limited tree, LightGBM on one thread."""
    X, y = numeric_case(rows)
    return alternate(lambda: tavrin.BinaryClassificationTree(max_depth=depth).fit(X, y),
                     lambda: lightgbm_tree(X, y, depth), repeats, clock=cpu_timed)


MIXED_MEMORY_PROBE = r"""
import json
import bench, peak_memory, tavrin

X, y, encoded = bench.mixed_case({rows})
who = {who!r}
if who == "tavrin":
    est, data = tavrin.BinaryClassificationTree(), X
    fit = lambda A, b: est.fit(A, b)
elif who == "scikit-learn":
    est, data = bench.sklearn_tree(), encoded
    fit = lambda A, b: est.fit(A, b)
else:
    data = X
    fit = lambda A, b: bench.lightgbm_tree(A, b, 10)
fit(data.iloc[:200], y.iloc[:200])  # libraries loaded, code paths warm
print(json.dumps({{"peak": peak_memory.peak_of(lambda: fit(data, y)), "frame": int(X.memory_usage(deep=True).sum())}}))
"""


def case_memory_mixed(rows):
    return {who: peak_memory.in_child(MIXED_MEMORY_PROBE.format(rows=rows, who=who))
            for who in ("tavrin", "scikit-learn", "LightGBM")}


def case_scaling(sizes, repeats):
    points = []
    for rows in sizes:
        X, y = numeric_case(rows)
        ours, theirs = alternate(lambda: tavrin.BinaryClassificationTree().fit(X, y),
                                 lambda: sklearn_tree().fit(X, y), repeats)
        points.append((rows, ours, theirs))
        print(f"  scaling {rows:>9,} rows: ours {ours:8.3f} s, scikit-learn {theirs:8.3f} s", flush=True)
    return points


# -- report ---------------------------------------------------------------------

def slope(points, column):
    x = np.log([p[0] for p in points])
    y = np.log([p[column] for p in points])
    return float(np.polyfit(x, y, 1)[0])


def plot(points, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = np.array([p[0] for p in points], dtype=float)
    fig, ax = plt.subplots(figsize=(6.4, 4.4))
    ax.loglog(rows, [p[1] for p in points], "o-", label="tavrin BinaryClassificationTree")
    ax.loglog(rows, [p[2] for p in points], "s-", label="scikit-learn DecisionTreeClassifier")
    ref = rows * np.log(rows)
    ax.loglog(rows, ref / ref[-1] * points[-1][1], "k:", label="n log n (through our last point)")
    ax.set_xlabel("training rows (20 float64 features, noisy binary target)")
    ax.set_ylabel("fit time, median (s)")
    ax.set_title("Fit time against rows, unbounded depth")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def machine_load():
    try:
        return " ".join(pathlib.Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one repeat (smoke run)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cases", default=",".join(str(c) for c in range(1, 14)),
                        help="comma-separated case numbers; a subset writes results-cases-<list>.md")
    args = parser.parse_args()
    wanted = {int(c) for c in args.cases.split(",")}
    q = args.quick
    r = 1 if q else args.repeats
    n_fit, n_pred, n_step = (5_000, 20_000, 1_000) if q else (100_000, 1_000_000, 10_000)
    n_big = 20_000 if q else 1_000_000
    sizes = [1_000, 3_000, 10_000] if q else [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000]

    rows = []
    load_before = machine_load()

    def record(case, what, ours, theirs, ratio_text, goal, met):
        rows.append((case, what, ours, theirs, ratio_text, goal, "yes" if met else "**no**"))
        print(f"{case}. {what}: {ours} | {theirs} | {ratio_text} (goal {goal}: {'met' if met else 'NOT met'})", flush=True)

    if 1 in wanted:
        o, t = case_fit_numeric(n_fit, r)
        record(1, f"fit {n_fit:,} x 20 float64, unbounded depth", f"{o:.3f} s", f"{t:.3f} s",
               f"{o / t:.2f} x", "<= 0.5 x", o / t <= 0.5)
    if 2 in wanted:
        o, t = case_fit_mixed(n_fit, r)
        record(2, f"fit {n_fit:,} x (10 numeric + 10 categorical)", f"{o:.3f} s", f"{t:.3f} s",
               f"{o / t:.2f} x", "<= 0.5 x", o / t <= 0.5)
    if 3 in wanted:
        o, t = case_predict(n_fit, n_pred, r)
        record(3, f"predict {n_pred:,} rows, tree of case 1", f"{o:.3f} s", f"{t:.3f} s",
               f"{o / t:.2f} x", "<= 1.0 x", o / t <= 1.0)
    if 4 in wanted:
        o, t = case_step_path(n_step, 1)
        record(4, f"fast path vs step-by-step path, case 1 at {n_step:,} rows", f"{o:.3f} s",
               f"{t:.3f} s (step path)", f"{t / o:.0f} x faster", ">= 100 x", t / o >= 100)
    if 5 in wanted:
        o, t = case_threads(n_fit, r)
        record(5, f"two fits of {n_fit:,} rows in two threads vs one after the other", f"{o:.3f} s",
               f"{t:.3f} s (sequential)", f"{t / o:.2f} x throughput", ">= 1.7 x", t / o >= 1.7)
    if 6 in wanted:
        mem = case_memory(n_fit)
        po, pt, size = mem["ours"]["peak"], mem["sklearn"]["peak"], mem["ours"]["input"]
        record(6, f"peak memory during fit of case 1 beyond the input (X.values = {size / 2**20:.1f} MiB)",
               f"{po / 2**20:.1f} MiB", f"{pt / 2**20:.1f} MiB", f"{po / size:.2f} x X.values", "<= 1 x",
               po <= size)
    points = []
    if 7 in wanted:
        points = case_scaling(sizes, r)
        # Growth over the last decade of rows against n log n's growth there.
        top = [p for p in points if p[0] * 10 >= points[-1][0]]
        (n0, a0, b0), (n1, a1, b1) = top[0], top[-1]
        nlogn = (n1 * np.log(n1)) / (n0 * np.log(n0))
        record(7, f"fit time scaling, {sizes[0]:,} to {sizes[-1]:,} rows (log-log slope over all; growth over "
               "the last decade)", f"slope {slope(points, 1):.2f}; x{a1 / a0:.1f}",
               f"slope {slope(points, 2):.2f}; x{b1 / b0:.1f}", f"n log n grows x{nlogn:.1f} from {n0:,} to {n1:,}",
               "<= 1.2 x n log n's growth", a1 / a0 <= nlogn * 1.2)
    if 8 in wanted:
        mem = case_memory_mixed(n_big)
        frame = mem["tavrin"]["frame"]
        po = mem["tavrin"]["peak"]
        peers = ", ".join(f"{k} {v['peak'] / 2**20:.0f} MiB" for k, v in mem.items() if k != "tavrin")
        record(8, f"peak memory of fit {n_big:,} x (10 numeric + 10 categorical) beyond the data "
               f"(frame: {frame / 2**20:.0f} MiB by memory_usage(deep=True))", f"{po / 2**20:.0f} MiB", peers,
               f"{po / frame:.2f} x the frame", "<= 2 x", po <= 2 * frame)
    if 9 in wanted:
        o, t = case_predict_mixed(n_fit, n_big, r)
        record(9, f"predict {n_big:,} rows of the mixed frame, tree of case 2 (scikit-learn on ordinal codes)",
               f"{o:.3f} s", f"{t:.3f} s", f"{o / t:.2f} x", "<= 1.0 x", o / t <= 1.0)
    if 10 in wanted:
        o, t = case_predict_proba(n_fit, n_big, r)
        record(10, f"predict_proba {n_big:,} rows, tree of case 1", f"{o:.3f} s", f"{t:.3f} s",
               f"{o / t:.2f} x", "<= 2.0 x", o / t <= 2.0)
    if 11 in wanted:
        o, t = case_py_many_classes(n_fit, r)
        record(11, f"BinaryClassificationTreePy fit {n_fit:,} x 20 float64, 5 classes", f"{o:.3f} s", f"{t:.3f} s",
               f"{o / t:.2f} x", "<= 0.5 x", o / t <= 0.5)
    if 12 in wanted:
        o, t = case_py_two_classes(n_fit, r)
        record(12, f"BinaryClassificationTreePy vs BinaryClassificationTree, case 1 (2 classes, same tree)",
               f"{o:.3f} s", f"{t:.3f} s (BinaryClassificationTree)", f"{o / t:.2f} x", "<= 2 x", o / t <= 2)
    if 13 in wanted:
        o, t = case_fit_lightgbm(n_big, 10, r)
        record(13, f"fit {n_big:,} x 20 float64 at max_depth=10, CPU time (LightGBM: one tree, 255 bins, "
               "one thread)", f"{o:.3f} s", f"{t:.3f} s (LightGBM)", f"{o / t:.2f} x", "<= 1.0 x", o / t <= 1.0)

    RESULTS.mkdir(exist_ok=True)
    suffix = "-quick" if q else ""
    if wanted != set(range(1, 14)):
        suffix += "-cases-" + "-".join(str(c) for c in sorted(wanted))
    if points:
        plot(points, RESULTS / f"scaling{suffix}.png")
    command = "python benchmarks/bench.py" + (" --quick" if q else "") + (
        f" --cases {args.cases}" if "-cases-" in suffix else "")
    lines = [
        "# tavrin against scikit-learn and LightGBM",
        "",
        f"Command: `{command}` (medians of {r} alternating runs).",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores; Python {platform.python_version()}, "
        f"numpy {np.__version__}, pandas {pd.__version__}, scikit-learn {__import__('sklearn').__version__}.",
        f"Load average (1, 5, 15 min) before the run: {load_before}; after: {machine_load()}. Cases 3, 5, 9 and 10 "
        "use both cores: another busy process on a 2-core machine lowers them most.",
        "",
        "| case | what | tavrin | scikit-learn / other | ratio | goal | met |",
        "| --- | --- | --- | --- | --- | --- | --- |",
    ]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    if points:
        lines += ["", "Scaling (case 7), median fit seconds:", "", "| rows | tavrin | scikit-learn |",
                  "| --- | --- | --- |"]
        lines += [f"| {n:,} | {a:.4f} | {b:.4f} |" for n, a, b in points]
        lines += ["", f"![fit time against rows](scaling{suffix}.png)"]
    lines += [""]
    (RESULTS / f"results{suffix}.md").write_text("\n".join(lines))
    print(f"wrote {RESULTS / f'results{suffix}.md'}")


if __name__ == "__main__":
    main()
