"""Fit tavrin on a sample, then predict a Dask DataFrame partition by partition.

Reach for this when the rows to score do not fit in one machine's memory, or
already live in Dask: tavrin fits a pandas frame in memory on one core, but
a row's prediction depends on that row alone, so each partition can be
scored on its own, on as many worker processes or machines as Dask has. Fit on a sample (or on
training data that fits in memory), ship the fitted estimator to the workers
(Dask pickles it), and score every partition there. For data that fits in
memory, plain ``predict`` is simpler and faster. Prefer worker processes to
threads: prediction holds the GIL while it reads rows and builds its result.

Needs the dask extra:  python3 -m pip install '.[dask]' && python3 examples/dask_predict.py
"""
from typing import Any

import numpy as np
import pandas as pd


def predict_partitions(estimator: Any, frame: Any, proba: bool = False) -> Any:
    """Labels (a Dask Series) or, with ``proba``, the two class probabilities
    (a Dask DataFrame with one column per class) for every row of ``frame``,
    computed partition by partition with the fitted ``estimator``."""
    import dask

    classes = estimator.classes
    if proba:
        if len(classes) != 2:
            raise ValueError("predict_proba gives a pair per row: it needs a two-class target")
        meta = pd.DataFrame({str(c): pd.Series(dtype=float) for c in classes})
    else:
        meta = pd.Series(np.array([], dtype=classes.dtype), name="prediction")
    # One task holds the estimator; every partition's task depends on it, so
    # it is pickled once and sent once to each worker that needs it.
    shared = dask.delayed(estimator, pure=False)
    return frame.map_partitions(_predict_partition, shared, proba, meta=meta)


def _predict_partition(part: pd.DataFrame, estimator: Any, proba: bool) -> Any:
    if proba:
        columns = [str(c) for c in estimator.classes]
        return pd.DataFrame(estimator.predict_proba(part), index=part.index, columns=columns, dtype=float)
    labels = np.asarray(estimator.predict(part), dtype=estimator.classes.dtype)
    return pd.Series(labels, index=part.index, name="prediction", dtype=estimator.classes.dtype)


def make_data(n: int, seed: int = 0) -> pd.DataFrame:
    """Loan-like rows: two numbers, a category column and a yes/no target."""
    rng = np.random.default_rng(seed)
    income = rng.gamma(3.0, 15.0, size=n)
    debt = rng.uniform(0.0, 60.0, size=n)
    region = pd.Categorical(rng.choice(["north", "south", "east", "west"], size=n))
    score = income - debt + np.where(np.asarray(region) == "south", 10.0, 0.0) + rng.normal(0, 8, size=n)
    return pd.DataFrame({"income": income, "debt": debt, "region": region,
                         "repaid": np.where(score > 5, "yes", "no").astype(object)})


def main() -> None:
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import tavrin

    rows = dd.from_pandas(make_data(200_000), npartitions=8)
    sample = rows.sample(frac=0.05, random_state=0).compute()
    estimator = tavrin.BinaryClassificationTree(max_depth=6)
    estimator.fit(sample[["income", "debt", "region"]], sample["repaid"])

    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, \
            Client(cluster):
        predicted = predict_partitions(estimator, rows[["income", "debt", "region"]])
        accuracy = (predicted == rows["repaid"]).mean().compute()
    print(f"fitted on {len(sample)} sampled rows; accuracy on all {len(rows)} rows: {accuracy:.3f}")


if __name__ == "__main__":
    main()
