"""The Dask example: fit on a sample, predict partition by partition on a
local cluster of one worker process, same answers as predicting in memory."""
import importlib.util
import pathlib

import pandas as pd
import pytest

import tavrin
from ecosystem_support import class_namespaces  # noqa: F401 (autouse fixture)
from tavrin_tools import disable_flat_pickling, enable_flat_pickling, export_text

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dask_predict.py"
FEATURES = ["income", "debt", "region"]


def load_example():
    spec = importlib.util.spec_from_file_location("dask_predict", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    return load_example()


@pytest.fixture(scope="module")
def client():
    # One worker process: the estimator really is pickled and loaded there.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.mark.parametrize("cls", [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy],
                         ids=lambda c: c.__name__)
def test_partitions_predict_as_the_whole_frame_does(example, client, cls):
    data = example.make_data(3000, seed=1)
    data.loc[::97, "income"] = float("nan")
    rows = dd.from_pandas(data, npartitions=5)
    sample = rows.sample(frac=0.2, random_state=1).compute()
    est = cls(max_depth=5)
    est.fit(sample[FEATURES], sample["repaid"])
    assert "region in {" in export_text(est), "the tree should test the category column"

    labels = example.predict_partitions(est, rows[FEATURES]).compute()
    assert isinstance(labels, pd.Series) and labels.index.equals(data.index)
    assert labels.tolist() == est.predict(data[FEATURES])

    proba = example.predict_partitions(est, rows[FEATURES], proba=True).compute()
    assert list(proba.columns) == ["no", "yes"] and proba.index.equals(data.index)
    assert proba.values.tolist() == [[float(p) for p in pair] for pair in est.predict_proba(data[FEATURES])]


def test_flat_pickles_load_on_the_workers(example, client):
    data = example.make_data(800, seed=2)
    rows = dd.from_pandas(data, npartitions=3)
    est = tavrin.BinaryClassificationTree()
    est.fit(data[FEATURES], data["repaid"])
    enable_flat_pickling()
    try:
        labels = example.predict_partitions(est, rows[FEATURES]).compute()
    finally:
        disable_flat_pickling()
    assert labels.tolist() == est.predict(data[FEATURES]) == data["repaid"].tolist()


def test_probabilities_need_two_classes(example):
    est = tavrin.BinaryClassificationTree()
    est.fit(pd.DataFrame({"x": [1.0, 2.0, 3.0]}), pd.Series(["a", "b", "c"]))
    with pytest.raises(ValueError, match="two-class"):
        example.predict_partitions(est, dd.from_pandas(pd.DataFrame({"x": [1.0]}), npartitions=1),
                                   proba=True)
