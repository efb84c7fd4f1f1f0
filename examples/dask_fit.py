"""Fit tavrin_tools.TreeClassifier on a Dask DataFrame, on the workers.

Reach for this when the training rows already live in Dask (parquet files
on a cluster, more rows than the client machine holds): ``fit`` takes the
Dask DataFrame and grows the tree on the workers of the running Client,
each worker keeping its partitions; only per-node summaries travel. The
result is an ordinary fitted TreeClassifier, the very tree the in-memory fit
grows on the same rows, and its ``predict`` takes Dask collections too.

If a worker holding rows is lost during the fit, ``fit`` raises
tavrin_tools.WorkerLostError naming it: fit again. Ctrl-C during the fit frees the
workers of everything the fit put there.

Needs the dask extra:  python3 -m pip install '.[dask]' && python3 examples/dask_fit.py
"""
import numpy as np

from dask_predict import make_data

FEATURES = ["income", "debt", "region"]  # region is a category column


def main() -> None:
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    from tavrin_tools import TreeClassifier, export_text

    data = make_data(20_000)
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, Client(cluster):
        rows = dd.from_pandas(data, npartitions=4)  # or dd.read_parquet("loans/") on a real cluster
        tree = TreeClassifier(max_depth=4, min_samples_leaf=20).fit(rows[FEATURES], rows["repaid"])
        print(export_text(tree, max_depth=2))

        in_memory = TreeClassifier(max_depth=4, min_samples_leaf=20).fit(data[FEATURES], data["repaid"])
        a, b = tree.tree_.to_dict(), in_memory.tree_.to_dict()
        same = a.keys() == b.keys() and all(np.array_equal(a[k], b[k], equal_nan=True) for k in a)
        print(f"{tree.tree_.node_count} nodes, the in-memory fit's tree: {same}")

        labels = tree.predict(rows[FEATURES])  # a lazy Dask array, one chunk per partition
        accuracy = (labels.compute() == data["repaid"].to_numpy()).mean()
    print(f"training accuracy on {len(data)} rows: {accuracy:.3f}")
    if not same:
        raise SystemExit("the distributed fit grew another tree than the in-memory fit")


if __name__ == "__main__":
    main()
