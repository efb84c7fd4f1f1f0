"""TreeClassifier.fit on Dask collections, on a local cluster of worker
processes: the same tree, array for array, as the in-memory fit on the
same rows, whatever the partitioning and the bins; and the kernels that
merge and prune what travels between them."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from tavrin_tools import TreeClassifier, _learner  # noqa: E402

# The cluster's scheduler runs on threads of this process and draws from
# `random` while Hypothesis makes examples: not a draw of the strategies.
pytestmark = pytest.mark.filterwarnings("ignore:Do not use the `random` module inside strategies")


def test_without_a_client_the_error_says_how_to_start_one():
    X = da.from_array(np.arange(8.0).reshape(4, 2), chunks=2)
    y = da.from_array(np.array([0, 1, 0, 1]), chunks=2)
    try:
        distributed.get_client()
        pytest.skip("a Client of another test module is running")
    except ValueError:
        pass
    with pytest.raises(RuntimeError, match="Client()"):
        TreeClassifier().fit(X, y)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(autouse=True)
def spread(monkeypatch):
    """Every node grown over the workers: nodes of these tests' few rows
    are otherwise finished on one worker from the root (test_dask_local
    tests that); and the nodes of any round of two or more searched on
    several workers, as only large rounds otherwise are."""
    from tavrin_tools import _dask_fit
    monkeypatch.setattr(_dask_fit, "_SPREAD", 2)
    with dask.config.set({"tavrin.local_rows": 0}):
        yield


def assert_same_tree(expected, got):
    a, b = expected.tree_.to_dict(), got.tree_.to_dict()
    assert a.keys() == b.keys()
    for name in a:
        assert np.array_equal(np.asarray(a[name]), np.asarray(b[name]), equal_nan=True), name


def frame_parts(X, y, w, sizes):
    """X, y (and w) as Dask DataFrame and Series with partitions of these sizes."""
    df = pd.DataFrame(X, columns=[f"c{j}" for j in range(X.shape[1])])
    ends = np.cumsum([0] + list(sizes))
    cut = [slice(a, b) for a, b in zip(ends[:-1], ends[1:])]
    out = [dd.from_delayed([dask.delayed(df.iloc[s]) for s in cut], meta=df.iloc[:0]),
           dd.from_delayed([dask.delayed(pd.Series(y[s], index=df.index[s])) for s in cut],
                           meta=pd.Series(y[:0]))]
    if w is not None:
        out.append(dd.from_delayed([dask.delayed(pd.Series(w[s], index=df.index[s])) for s in cut],
                                   meta=pd.Series(w[:0])))
    return df, out


def test_real_weights_give_the_in_memory_tree(client):
    # Column 1 mirrors column 0, so each split of one has its twin in the
    # other: equal impurities that sums in another order (per partition, per
    # bin) would tell apart in their last bits. Weights of tenths and thirds,
    # and "balanced" class weights over counts of 3 to 7, are not exact sums.
    rng = np.random.default_rng(11)
    n = 700
    x = rng.integers(0, 25, size=n).astype(float)
    X = np.column_stack([x, -x, rng.normal(size=n).round(1)])
    y = np.digitize(x + rng.normal(scale=6, size=n), [8, 16])
    w = rng.choice([0.1, 0.2, 0.7, 1 / 3, 2.9], size=n)
    for class_weight in (None, "balanced"):
        params = dict(class_weight=class_weight, max_depth=7, min_weight_fraction_leaf=0.003)
        expected = TreeClassifier(**params).fit(X, y, sample_weight=w)
        for sizes, local in (([n], 0), ([300, 1, 0, 399], 0), ([123, 456, 121], 10**6)):
            _, (Xd, yd, wd) = frame_parts(X, y, w, sizes)
            with dask.config.set({"tavrin.local_rows": local, "tavrin.max_bins": 7}):
                got = TreeClassifier(**params).fit(Xd, yd, sample_weight=wd)
            assert_same_tree(expected, got)


@st.composite
def problems(draw):
    n = draw(st.integers(1, 60))
    p = draw(st.integers(1, 3))
    # Few distinct values: ties between rows, between features and between splits.
    X = np.array(draw(st.lists(st.sampled_from([0.0, 1.0, 1.5, 2.0, 2.0 + 5e-8, 3.0, np.nan]),
                               min_size=n * p, max_size=n * p))).reshape(n, p)
    if draw(st.booleans()):
        X[:, 0] = 4.0  # a constant column
    y = np.array(draw(st.lists(st.integers(0, draw(st.integers(1, 2))), min_size=n, max_size=n)))
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=6)))
    sizes = np.diff([0] + cuts + [n]).tolist()  # 1 to 7 partitions, some empty or of one row
    params = dict(criterion=draw(st.sampled_from(["gini", "entropy"])),
                  max_depth=draw(st.sampled_from([None, 1, 3])),
                  min_samples_split=draw(st.integers(2, 6)), min_samples_leaf=draw(st.integers(1, 3)),
                  min_impurity_decrease=draw(st.sampled_from([0.0, 0.01])))
    return X, y, sizes, params, draw(st.sampled_from([2, 3, 256]))


@settings(max_examples=30, deadline=None)
@given(problems(), st.booleans())
def test_frames_and_arrays_grow_the_in_memory_tree(client, problem, as_array):
    X, y, sizes, params, max_bins = problem
    expected = TreeClassifier(**params).fit(X, y)
    if as_array:
        chunks = tuple(sizes)
        Xd, yd = da.from_array(X, chunks=(chunks, X.shape[1])), da.from_array(y, chunks=(chunks,))
    else:
        _, (Xd, yd) = frame_parts(X, y, None, sizes)
    with dask.config.set({"tavrin.max_bins": max_bins}):
        got = TreeClassifier(**params).fit(Xd, yd)
    assert_same_tree(expected, got)
    assert np.array_equal(got.classes_, expected.classes_)


@pytest.mark.parametrize("as_delayed", [False, True])
def test_integer_weights_and_more_rows(client, monkeypatch, as_delayed):
    if as_delayed:  # batches sent as delayed calls, as where Dask lacks its task graphs
        from tavrin_tools import _dask_watch
        monkeypatch.setattr(_dask_watch, "_task_graphs", lambda client: None)
    rng = np.random.default_rng(3)
    X = rng.normal(size=(3000, 4)).round(2)
    X[rng.random(3000) < 0.05, 1] = np.nan
    y = (X[:, 0] + 0.5 * np.nan_to_num(X[:, 1]) + rng.normal(scale=0.5, size=3000) > 0).astype(int)
    y[X[:, 3] > 1.2] = 2
    w = rng.integers(0, 4, size=3000).astype(float)
    params = dict(max_depth=8, min_samples_leaf=3, min_weight_fraction_leaf=0.01, ccp_alpha=0.001)
    expected = TreeClassifier(**params).fit(X, y, sample_weight=w)
    df, (Xd, yd, wd) = frame_parts(X, y, w, [700, 0, 1100, 1, 1199])
    with dask.config.set({"tavrin.max_bins": 16}):
        got = TreeClassifier(**params).fit(Xd, yd, sample_weight=wd)
    assert expected.tree_.node_count > 20
    assert_same_tree(expected, got)
    assert list(got.feature_names_in_) == list(df.columns)
    np.testing.assert_array_equal(got.predict_proba(df), expected.predict_proba(X))


def test_class_weight_from_the_global_class_counts(client):
    # Classes in proportion 1:1:2:4 and a partition without class 3, so
    # "balanced" weighs 2, 2, 1, 0.5 only when counted over all rows: sums of
    # such weights are exact, and the tree must be the in-memory one.
    rng = np.random.default_rng(7)
    y = np.repeat([0, 1, 2, 3], [64, 64, 128, 256])
    X = np.column_stack([y + rng.integers(-2, 3, size=512), rng.integers(0, 6, size=512)]).astype(float)
    order = np.argsort(y == 3, kind="stable")
    X, y = X[order], y[order]
    w = rng.integers(1, 3, size=512).astype(float)
    _, (Xd, yd, wd) = frame_parts(X, y, w, [200, 312])
    for class_weight, weight, weight_d in (("balanced", None, None), ({0: 0.25, 1: 3.0, 3: 0.0}, w, wd)):
        params = dict(class_weight=class_weight, min_samples_leaf=0.02, max_depth=6)
        expected = TreeClassifier(**params).fit(X, y, sample_weight=weight)
        got = TreeClassifier(**params).fit(Xd, yd, sample_weight=weight_d)
        assert expected.tree_.node_count > 7
        assert_same_tree(expected, got)
    with pytest.raises(ValueError, match="finite weight"):
        TreeClassifier(class_weight={0: -1.0}).fit(Xd, yd)


@pytest.mark.parametrize("criterion, n_colors", [("gini", 6), ("entropy", 70)])
def test_category_columns_grow_the_in_memory_tree(client, criterion, n_colors):
    # Partitions holding different categories (none of the first partition's
    # later ones), of unknown categories in Dask, missing values, integer
    # weights; 70 categories take two words per set.
    rng = np.random.default_rng(n_colors)
    n = 900
    code = np.sort(rng.integers(0, n_colors, n))
    x = rng.normal(size=n).round(1)
    y = ((code % 3 == 0) ^ (x > 0.3)).astype(int) + (code % 5 == 1)
    colors = np.array([f"c{k:02d}" for k in range(n_colors)], dtype=object)[code]
    colors[rng.random(n) < 0.05] = None
    df = pd.DataFrame({"x": x, "color": pd.Categorical(colors)})
    w = rng.integers(0, 3, n).astype(float)
    params = dict(criterion=criterion, max_depth=6, min_samples_leaf=2)
    expected = TreeClassifier(**params).fit(df, y, sample_weight=w)
    frame = dd.from_pandas(df, npartitions=4)
    frame = frame.assign(color=frame["color"].cat.as_unknown())
    yd, wd = (dd.from_pandas(pd.Series(v, index=df.index), npartitions=4) for v in (y, w))
    got = TreeClassifier(**params).fit(frame, yd, sample_weight=wd)
    assert expected.tree_.is_categorical.sum() >= 2
    assert_same_tree(expected, got)
    assert list(got.categories_[1]) == list(expected.categories_[1])
    np.testing.assert_array_equal(got.predict_proba(frame).compute(), expected.predict_proba(df))


def test_partitioning_faults_are_named(client):
    X = da.from_array(np.arange(8.0).reshape(4, 2), chunks=2)
    y = da.from_array(np.array([0, 1, 0, 1]), chunks=2)
    with pytest.raises(ValueError, match="partition it like X"):
        TreeClassifier().fit(X, da.from_array(np.array([0, 1, 0, 1]), chunks=1).to_dask_dataframe())
    with pytest.raises(TypeError, match="Dask Series or Array"):
        TreeClassifier().fit(X, np.array([0, 1, 0, 1]))


def test_value_lists_merge_equal_values():
    a = (np.array([0, 2, 2]), np.array([1.0, 3.0]), np.array([[1.0, 0.0, 1.0], [0.0, 2.0, 2.0]]))
    b = (np.array([0, 1, 2]), np.array([3.0, 5.0]), np.array([[1.0, 0.0, 1.0], [0.0, 1.0, 1.0]]))
    offsets, values, counts = _learner.merge_value_lists(a, b)
    assert offsets.tolist() == [0, 2, 3]
    assert values.tolist() == [1.0, 3.0, 5.0]
    assert counts.tolist() == [[1.0, 0.0, 1.0], [1.0, 2.0, 3.0], [0.0, 1.0, 1.0]]
    with pytest.raises(ValueError, match="offsets"):
        _learner.merge_value_lists(a, (np.array([0, 3, 2]), b[1], b[2]))


def test_only_bins_that_may_win_are_refined():
    # One feature, 1,000 rows, class 1 exactly above 0.5, ten bins with a
    # boundary at 0.5: that boundary is the perfect split. Only the two bins
    # beside it reach it at a corner of their boxes; no other bin's values
    # travel.
    x = np.linspace(0.0, 1.0, 1000)
    y = (x > 0.5).astype(np.int64)
    edges = np.linspace(0.0, 1.0, 11)[1:-1]
    bins = np.searchsorted(edges, x, side="right").astype(np.uint16)[:, None]
    slot = np.zeros(1000, dtype=np.int32)
    laid = _learner.lay_out(bins, y, None, np.arange(1000, dtype=np.int32), slot, 1)
    every = np.arange(10)
    counts, lo, hi, _ = _learner.node_summary(x[:, None], *laid, 0, 1, 10, 2, every, every, False)
    summary = (np.concatenate([counts, counts.sum(axis=-1, keepdims=True)], axis=-1).astype(float),
               lo.reshape(1, 1, 10), hi.reshape(1, 1, 10))
    params = ("gini", -1, 2, 1, 0.0, 0.0)
    node = (np.array([[500.0, 500.0]]), np.array([1000]), np.array([1000.0]))
    mask = _learner.refine_mask(*summary, *node, params)
    assert np.flatnonzero(mask[0, 0]).tolist() == [4, 5]
    requests = np.argwhere(mask).astype(np.int64)
    lists = _learner.list_runs(x[:, None], *laid, requests, np.zeros(2, np.int32), np.zeros(2), np.zeros(2), 10, 2)[0]
    assert len(lists[1]) == 200
    split = _learner.choose_splits(*summary, *node, params, mask, lists, np.array([0.5]), 1000.0)
    assert split["feature"].tolist() == [0] and split["n_left"].tolist() == [500]
    assert split["threshold"][0] == x[499] / 2 + x[500] / 2


def test_predictions_of_dask_collections_are_the_in_memory_ones(client):
    rng = np.random.default_rng(5)
    X = rng.normal(size=(400, 3)).round(1)
    X[rng.random(400) < 0.1, 2] = np.nan
    y = np.array(["no", "maybe", "yes"])[(X[:, 0] > 0).astype(int) + (np.nan_to_num(X[:, 2]) > 0.5)]
    df, (frame, yd) = frame_parts(X, y, None, [150, 0, 250])
    array = da.from_array(X, chunks=((100, 0, 300), (2, 1)))  # columns in two chunks
    for tree in (TreeClassifier(max_depth=4).fit(X, y), TreeClassifier(max_depth=4).fit(frame, yd)):
        for method in ("predict", "predict_proba", "predict_log_proba", "apply"):
            expected = getattr(tree, method)(df if hasattr(tree, "feature_names_in_") else X)
            for Xd in (frame, array):
                got = getattr(tree, method)(Xd)
                assert isinstance(got, da.Array), method
                computed = got.compute()
                assert computed.dtype == expected.dtype, method
                np.testing.assert_array_equal(computed, expected, err_msg=method)
    with pytest.raises(ValueError, match="2-D"):
        tree.predict(da.from_array(X[:, 0], chunks=100))


def test_categorical_kernel_sets_and_refuses_broken_counts():
    # Category 0 holds class 0, category 2 class 1, category 1 nothing, and
    # one missing row of class 1: category 0 alone goes left; the missing
    # values and the absent category go right with the missing row.
    counts = np.zeros((1, 1, 4, 3))
    counts[0, 0, 0], counts[0, 0, 2], counts[0, 0, 3] = [2, 0, 2], [0, 1, 1], [0, 1, 1]
    summary = (counts, np.zeros((1, 1, 3)), np.full((1, 1, 3), 2.0))
    node = (np.array([[2.0, 2.0]]), np.array([4]), np.array([4.0]))
    params = ("gini", -1, 2, 1, 0.0, 0.0, np.array([3]))
    mask = _learner.refine_mask(*summary, *node, params)
    assert not mask.any()
    no_lists = (np.zeros(1, dtype=np.int64), np.empty(0), np.empty((0, 3)))
    split = _learner.choose_splits(*summary, *node, params, mask, no_lists, np.array([0.5]), 4.0)
    assert split["feature"].tolist() == [0] and np.isnan(split["threshold"][0])
    assert split["categories"].tolist() == [[1]] and split["missing_left"].tolist() == [0]
    assert split["n_left"].tolist() == [2]
    counts[0, 0, 3, 2] = np.nan
    with pytest.raises(ValueError, match="whole numbers"):
        _learner.refine_mask(*summary, *node, params)


@pytest.mark.parametrize("merged", [0, 8])
def test_a_boundary_too_close_over_all_rows_splits_where_a_node_lacks_the_close_value(client, monkeypatch, merged):
    # Feature 0's cut at 1.0 puts 1 - 6e-8 below it and 1.0, 1 + 6e-8 above:
    # too close over all rows for a split there, but where x1 is 0 the
    # value 1.0 is absent and the 1.2e-7 gap across the cut splits the
    # classes. Only that node's own values tell: read at every summary
    # where the bins are kept apart (merged 0), or searched inside the one
    # bin they are merged into.
    from tavrin_tools import _dask_rows

    def merging(most):
        import tavrin_tools._dask_rows as rows
        rows._MERGED = most

    client.run(merging, merged)
    monkeypatch.setattr(_dask_rows, "_MERGED", merged)
    bins = _dask_rows.Bins(np.array([[1 - 6e-8, 1.0]]), np.array([[1 - 6e-8, 1 + 6e-8]]), np.array([[200.0, 400.0]]))
    if merged:  # one bin of both, the missing bin kept; no node's own values needed
        assert bins.table.tolist() == [[0, 0, 2]] and len(bins.need_lo) + len(bins.need_hi) == 0
        assert bins.lo.tolist() == [[1 - 6e-8, np.inf]] and bins.hi.tolist() == [[1 + 6e-8, -np.inf]]
    else:
        assert not bins.renumbered and bins.need_hi.tolist() == [0] and bins.need_lo.tolist() == [1]
    rng = np.random.default_rng(3)
    n = 600
    x1 = rng.integers(0, 2, n).astype(float)
    x0 = np.where(x1 == 0, rng.choice([1 - 6e-8, 1 + 6e-8], n), rng.choice([1 - 6e-8, 1.0, 1 + 6e-8], n))
    y = np.where(x1 == 0, x0 > 1.0, rng.random(n) < 0.7).astype(int)
    X = np.column_stack([x0, x1])
    edges_of = _dask_rows.edges_of  # feature 0 (three values) cut at 1.0 alone
    monkeypatch.setattr(_dask_rows, "edges_of", lambda s, m: np.array([1.0]) if len(np.unique(np.concatenate(s))) == 3
                        else edges_of(s, m))
    expected = TreeClassifier(max_depth=3).fit(X, y)
    try:
        got = TreeClassifier(max_depth=3).fit(da.from_array(X, chunks=200), da.from_array(y, chunks=200))
    finally:
        client.run(merging, 8)
    assert_same_tree(expected, got)
    assert expected.tree_.feature[1] == 0
