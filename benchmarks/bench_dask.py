"""The distributed fit on a LocalCluster against the in-memory fit of the
same rows and LightGBM's Dask estimator: wall time, bytes moved (per level
and in all, against the data's bytes) and peak memory per worker (against
its share of the data). Writes benchmarks/results/dask.md.

    PYTHONPATH=build:src python benchmarks/bench_dask.py [--rows N] [--features P] [--workers W]

The rows are generated on the workers (float64 normals, one chunk per
worker) and kept there. Bytes moved are distributed's own counters of what
each worker sent (to other workers and to the client); the tasks the
client submits (the splits of a level, a few numbers per node) are not
counted. Peak memory: each worker's resident set high-water mark, reset
before the fit, less its resident set before it.
"""
import argparse
import operator
import os
import statistics
import time
from typing import Any, Dict, List

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

from tavrin_tools import TreeClassifier, _dask_fit, _dask_local

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "dask.md")


def sent(dask_worker: Any) -> int:
    return int(dask_worker.transfer_outgoing_bytes_total)


def reset_peak() -> int:
    """Resets this process's resident high-water mark; its resident bytes now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status("VmRSS")


def status(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def peak() -> int:
    return status("VmHWM")


class Meter:
    """Bytes the workers have sent, read at the start of each level's search
    (the driver's calls of _search) and of each level's local finishing."""

    def __init__(self, client: Client) -> None:
        self.client = client
        self.marks: List[tuple] = []
        self.local: Dict[int, int] = {}

    def total(self) -> int:
        return sum(self.client.run(sent).values())

    def install(self) -> Any:
        search, submit = _dask_fit._search, _dask_local.Finisher.submit
        meter = self

        def measured_search(client, held, bins, nodes, which, first, *rest):
            depth = nodes[which[0]]["depth"]
            if not meter.marks or meter.marks[-1][0] != depth:
                meter.marks.append((depth, meter.total(), len(which)))
            else:
                d, b, k = meter.marks[-1]
                meter.marks[-1] = (d, b, k + len(which))
            return search(client, held, bins, nodes, which, first, *rest)

        def measured_submit(self, held, nodes, local, first):
            for i in local:
                meter.local[nodes[i]["depth"]] = meter.local.get(nodes[i]["depth"], 0) + nodes[i]["n"]
            return submit(self, held, nodes, local, first)

        _dask_fit._search, _dask_local.Finisher.submit = measured_search, measured_submit
        return lambda: (setattr(_dask_fit, "_search", search), setattr(_dask_local.Finisher, "submit", submit))


def make_block(m: int, p: int, seed: int) -> tuple:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((m, p))
    return x, (x[:, 0] + x[:, 1] * x[:, 2] + 0.5 * rng.standard_normal(m) > 0).astype(np.int64)


def same_tree(a: Any, b: Any) -> bool:
    x, y = a.tree_.to_dict(), b.tree_.to_dict()
    return x.keys() == y.keys() and all(np.array_equal(np.asarray(x[k]), np.asarray(y[k]), equal_nan=True) for k in x)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--local-rows", type=int, nargs="+", default=[0, 100_000, 300_000])
    parser.add_argument("--max-bins", type=int, nargs="+", default=[256, 1024])
    parser.add_argument("--no-lightgbm", action="store_true")
    parser.add_argument("--rounds", type=int, default=3, help="alternating LightGBM and tavrin fits")
    args = parser.parse_args()
    n, p, workers = args.rows, args.features, args.workers
    data_bytes = n * p * 8
    share = data_bytes / workers
    lines = [f"# Distributed fit (benchmarks/bench_dask.py)\n",
             f"{n:,} rows x {p} float64 features (normals; class from three of them and noise), max_depth "
             f"{args.depth}, LocalCluster of {workers} worker processes (1 thread each), one chunk of rows per "
             f"worker, generated and kept on the workers. Data: {data_bytes / 1e6:.0f} MB, a worker's share "
             f"{share / 1e6:.0f} MB. Machine: {os.cpu_count()} cores shared with other work; load average "
             f"before the runs {os.getloadavg()[0]:.2f}.\n"]
    rows: List[str] = []
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      memory_limit=0) as cluster, Client(cluster) as client:
        # Each worker makes its chunk of X and y.
        client.wait_for_workers(workers)
        sizes = [n // workers + (i < n % workers) for i in range(workers)]
        names = sorted(client.scheduler_info()["workers"])
        blocks = [client.submit(make_block, m, p, seed, workers=[w]) for seed, (m, w) in enumerate(zip(sizes, names))]
        xs = [client.submit(operator.getitem, b, 0, workers=[w]) for b, w in zip(blocks, names)]
        ys = [client.submit(operator.getitem, b, 1, workers=[w]) for b, w in zip(blocks, names)]
        X = da.concatenate([da.from_delayed(dask.delayed(f), (m, p), np.float64) for f, m in zip(xs, sizes)])
        y = da.concatenate([da.from_delayed(dask.delayed(f), (m,), np.int64) for f, m in zip(ys, sizes)])
        wait(xs + ys)
        del blocks

        local_X, local_y = X.compute(), y.compute()
        start = time.perf_counter()
        expected = TreeClassifier(max_depth=args.depth, n_jobs=1).fit(local_X, local_y)
        in_memory = time.perf_counter() - start
        del local_X, local_y
        lines.append(f"In-memory fit of the same rows, one process, one thread: {in_memory:.1f} s, "
                     f"{expected.tree_.node_count} nodes.\n")

        meter = Meter(client)
        undo = meter.install()
        levels_table: List[str] = []
        try:
            for max_bins in args.max_bins:
                for local_rows in args.local_rows:
                    meter.marks.clear()
                    meter.local.clear()
                    before = client.run(reset_peak)
                    start_bytes = meter.total()
                    load = os.getloadavg()[0]
                    with dask.config.set({"tavrin.max_bins": max_bins, "tavrin.local_rows": local_rows}):
                        start = time.perf_counter()
                        got = TreeClassifier(max_depth=args.depth).fit(X, y)
                        took = time.perf_counter() - start
                    moved = meter.total() - start_bytes
                    peaks = client.run(peak)
                    grown = max((peaks[w] - before[w]) / share for w in peaks)
                    whole = max((peaks[w]) / share for w in peaks)
                    rows.append(f"| {max_bins} | {local_rows:,} | {took:.1f} s | {took / in_memory:.2f}x | "
                                f"{moved / 1e6:.1f} MB | {100 * moved / data_bytes:.1f} % | {grown:.2f}x "
                                f"({whole:.2f}x) | {same_tree(expected, got)} | {load:.2f} |")
                    marks = meter.marks + [(None, start_bytes + moved, 0)]
                    levels_table.append(f"| {max_bins} | {local_rows:,} | reading the rows | | "
                                        f"{(marks[0][1] - start_bytes) / 1e6:.2f} MB | |")
                    for (d, b, k), (_, b_next, _) in zip(marks, marks[1:]):
                        local = meter.local.get(d + 1, 0) + (meter.local.get(0, 0) if d == 0 else 0)
                        levels_table.append(f"| {max_bins} | {local_rows:,} | {d} | {k} | {(b_next - b) / 1e6:.2f} MB "
                                            f"| {local:,} |")
                    if not meter.marks and meter.local:
                        levels_table.append(f"| {max_bins} | {local_rows:,} | 0 | 0 | {moved / 1e6:.2f} MB | "
                                            f"{meter.local.get(0, 0):,} |")
                    print(rows[-1], flush=True)
        finally:
            undo()

        lgbm = "not installed"
        if not args.no_lightgbm:
            try:
                import lightgbm
            except ImportError:
                lightgbm = None
            if lightgbm is not None:
                def lgbm_fit() -> float:
                    start = time.perf_counter()
                    model = lightgbm.DaskLGBMClassifier(n_estimators=1, num_leaves=1024, max_depth=args.depth,
                                                        num_threads=1, verbose=-1, client=client)
                    model.fit(X, y)
                    return time.perf_counter() - start

                def tavrin_fit() -> float:
                    start = time.perf_counter()
                    got = TreeClassifier(max_depth=args.depth).fit(X, y)  # dask.config's defaults
                    took = time.perf_counter() - start
                    assert same_tree(expected, got)
                    return took

                lgbm_time = lgbm_fit()
                # On a shared machine one fit is not a measure: the two fits
                # alternate, and both are read by their best and median.
                theirs, ours = [], []
                for _ in range(args.rounds):
                    theirs.append(lgbm_fit())
                    ours.append(tavrin_fit())
                lgbm = (f"{lgbm_time:.1f} s (one tree: n_estimators=1, num_leaves=1024, max_depth={args.depth}, "
                        f"the same workers, 1 thread each; its own sockets carry its histograms, so distributed's "
                        f"counters do not see them). Then {args.rounds} rounds, each a LightGBM fit and a tavrin fit "
                        f"at the defaults: LightGBM best {min(theirs):.2f} s, median {statistics.median(theirs):.2f} "
                        f"s; tavrin best {min(ours):.2f} s, median {statistics.median(ours):.2f} s (ratio of the "
                        f"bests {min(ours) / min(theirs):.2f}, of the medians "
                        f"{statistics.median(ours) / statistics.median(theirs):.2f})")
                print("lightgbm", lgbm, flush=True)
        client.close()

    lines.append(f"LightGBM's Dask estimator: {lgbm}.\n")
    lines.append("| max_bins | tavrin.local_rows | wall | against in memory | bytes moved | against the data | "
                 "peak memory per worker, grown in the fit (whole process) against its share | same tree | "
                 "load average at start |")
    lines.append("| --- | --- | --- | --- | --- | --- | --- | --- | --- |")
    lines.extend(rows)
    lines.append("\nPer level: the bytes the workers sent from the start of the level's search to the next "
                 "level's (summaries, exact value lists, the driver's gathers; and the rows of nodes finished "
                 "on one worker, gathered meanwhile), and the rows of the level's children that went to be "
                 "finished on one worker.\n")
    lines.append("| max_bins | tavrin.local_rows | depth | nodes searched over the workers | bytes moved | "
                 "rows finished on one worker |")
    lines.append("| --- | --- | --- | --- | --- | --- |")
    lines.extend(levels_table)
    with open(RESULTS, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
