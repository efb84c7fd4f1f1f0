"""The distributed fit against the in-memory one on the same rows: wall
time, whether the trees are the same, and how many exact values the
refinement shipped (against the rows times the features a plain gather
would move).

    PYTHONPATH=build:src python benchmarks/bench_dask_fit.py [--rows N] [--workers W]
"""
import argparse
import time

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

from tavrin_tools import TreeClassifier, _learner


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--features", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--depth", type=int, default=10)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, args.features)).round(3)
    y = (X[:, 0] + X[:, 1] * X[:, 2] + rng.normal(scale=0.5, size=args.rows) > 0).astype(int)
    start = time.perf_counter()
    expected = TreeClassifier(max_depth=args.depth, n_jobs=1).fit(X, y)
    in_memory = time.perf_counter() - start

    shipped, refined = [], []
    choose_splits, refine_mask = _learner.choose_splits, _learner.refine_mask

    def counting(*args):
        shipped.append(len(args[8][1]))  # the merged exact values
        return choose_splits(*args)

    def masking(*args):
        mask = refine_mask(*args)
        refined.append((int(mask.sum()), int((args[0][..., -1] > 0)[:, :, :-1].sum())))
        return mask

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # Both run on the client: the counts see every call.
        _learner.choose_splits, _learner.refine_mask = counting, masking
        Xd = da.from_array(X, chunks=(args.rows // (2 * args.workers), -1))
        yd = da.from_array(y, chunks=(Xd.chunks[0],))
        for max_bins in (32, 256):
            shipped.clear()
            refined.clear()
            with dask.config.set({"tavrin.max_bins": max_bins}):
                start = time.perf_counter()
                got = TreeClassifier(max_depth=args.depth).fit(Xd, yd)
                took = time.perf_counter() - start
            same = all(np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)
                       for a, b in zip(expected.tree_.to_dict().values(), got.tree_.to_dict().values()))
            print(f"max_bins {max_bins}: {took:.2f} s (in memory {in_memory:.2f} s), same tree: {same}, "
                  f"{got.tree_.node_count} nodes, bins refined {sum(r[0] for r in refined):,} of "
                  f"{sum(r[1] for r in refined):,} non-empty, distinct exact values merged {sum(shipped):,} "
                  f"(rows x features x levels {args.rows * args.features * args.depth:,})")
        client.close()


if __name__ == "__main__":
    main()
