"""The distributed fit finishing small nodes on one worker
(``tavrin.local_rows``): whether no node, some nodes or the whole tree from
the root are finished so, the tree is the in-memory fit's, array for array."""
import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from tavrin_tools import TreeClassifier, _dask_local  # noqa: E402
from test_dask_fit import assert_same_tree, client  # noqa: E402,F401  (the cluster, one per module)


@pytest.fixture
def finished(monkeypatch):
    """The row counts of the nodes the fits finish on one worker."""
    counts = []
    submit = _dask_local.Finisher.submit

    def counting(self, held, nodes, local, slots):
        counts.extend(nodes[i]["n"] for i in local)
        return submit(self, held, nodes, local, slots)

    monkeypatch.setattr(_dask_local.Finisher, "submit", counting)
    return counts


def problem(n=1500, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3)).round(2)
    x[rng.random(n) < 0.05, 1] = np.nan
    code = rng.integers(0, 7, n)
    y = ((x[:, 0] + np.nan_to_num(x[:, 1]) > 0.2) ^ (code % 3 == 0)).astype(int) + (x[:, 2] > 1.0)
    frame = pd.DataFrame({"a": x[:, 0], "b": x[:, 1], "c": x[:, 2],
                          "color": pd.Categorical(np.array(list("pqrstuv"), dtype=object)[code])})
    return frame, y, rng.integers(0, 4, n).astype(float)


# Weights, class weights, a category column, missing values and every
# limit a subtree must take from the whole fit: max_depth counts from the
# root, min_impurity_decrease scales by the whole fit's weight,
# min_weight_fraction_leaf and fractional min_samples_leaf are resolved
# over all the rows.
SETTINGS = [
    dict(max_depth=7, min_impurity_decrease=0.003, min_weight_fraction_leaf=0.004,
         class_weight={0: 0.5, 1: 2.0, 2: 1.0}),
    dict(criterion="entropy", min_samples_leaf=0.004, max_depth=6),
]


@pytest.mark.parametrize("params", SETTINGS)
@pytest.mark.parametrize("limit", [0, 300, 10**9])
def test_finished_nodes_grow_the_in_memory_subtrees(client, finished, params, limit):
    frame, y, w = problem()
    expected = TreeClassifier(**params).fit(frame, y, sample_weight=w)
    parts = dd.from_pandas(frame, npartitions=4)
    yd, wd = (dd.from_pandas(pd.Series(v, index=frame.index), npartitions=4) for v in (y, w))
    with dask.config.set({"tavrin.local_rows": limit}):
        got = TreeClassifier(**params).fit(parts, yd, sample_weight=wd)
    assert_same_tree(expected, got)
    tree = expected.tree_
    searched = tree.n_node_samples[tree.children_left >= 0]
    assert expected.tree_.is_categorical.any() and len(searched) > 20
    if limit == 0:
        assert finished == []
    elif limit > len(y):
        assert finished == [tree.n_node_samples[0]]  # the root: the whole tree on one worker
    else:  # some subtrees on one worker, the nodes above them over all
        assert finished and max(finished) <= limit and searched.max() > limit
        assert np.isin(finished, tree.n_node_samples).all()


@pytest.mark.parametrize("max_depth, by_bytes, on_one", [(2, True, False), (4, True, True), (None, True, True),
                                                     (2, False, True)])
def test_the_root_is_finished_on_one_worker_where_its_rows_weigh_less_than_its_subtrees_summaries(
        client, finished, max_depth, by_bytes, on_one):
    # The 1,101 rows of weight above zero, of 4 features, weigh about 30 kB
    # across the workers; one node's summary (4 features x 257 bins x 4
    # counts) about 8 kB, fifteen of them (four levels) more than the rows.
    frame, y, w = problem()
    parts = dd.from_pandas(frame, npartitions=3)
    yd, wd = (dd.from_pandas(pd.Series(v, index=frame.index), npartitions=3) for v in (y, w))
    with dask.config.set({"tavrin.local_rows": 10**9, "tavrin.local_by_bytes": by_bytes}):
        got = TreeClassifier(max_depth=max_depth).fit(parts, yd, sample_weight=wd)
    assert_same_tree(TreeClassifier(max_depth=max_depth).fit(frame, y, sample_weight=w), got)
    assert (finished[:1] == [got.tree_.n_node_samples[0]]) == on_one  # the root, first if at all


def test_bad_local_rows_are_refused(client):
    frame, y, _ = problem(40)
    parts, yd = dd.from_pandas(frame, npartitions=2), dd.from_pandas(pd.Series(y), npartitions=2)
    for knob, bad in [("tavrin.local_rows", v) for v in (-1, 2.5, "many", True)] + [("tavrin.local_by_bytes", 1)]:
        with dask.config.set({knob: bad}):
            with pytest.raises(ValueError, match=knob):
                TreeClassifier().fit(parts, yd)


@pytest.mark.parametrize("values, kind", [
    ([0.0, 3.0, 255.0], np.uint8), ([0.0, 256.0], np.uint16), ([1.0, 2.0**32], np.float32),
    ([2.0**32 + 1.0], np.float64), ([0.5, -np.inf, np.inf], np.float32), ([0.1, 1.0], np.float64),
    ([np.nan, 1.0], np.float32), ([-1.0, 2.0], np.float32), ([1.5e300], np.float64),
])
def test_what_travels_is_narrowed_without_changing_a_value(values, kind):
    from tavrin_tools._dask_rows import narrow
    a = np.array(values)
    got = narrow(a)
    assert got.dtype == kind
    assert np.array_equal(got.astype(np.float64), a, equal_nan=True)


def test_counts_travel_as_bytes_with_the_few_larger_ones_apart():
    from dask.sizeof import sizeof
    from tavrin_tools._dask_rows import pack_counts, wide
    counts = np.random.default_rng(0).integers(0, 200, 4000).reshape(2, 2000).astype(float)
    counts[1, 7], counts[0, 3] = 70000.0, 255.0
    packed = pack_counts(counts)
    assert packed[1].tolist() == [3, 2007] and sizeof(packed) < 4100  # not 16,000 as uint32
    assert np.array_equal(wide(packed), counts)
    zeros = pack_counts(np.zeros((50, 40)))  # deflated
    assert sizeof(zeros) < 100 and np.array_equal(wide(zeros), np.zeros((50, 40)))
    many = counts + 300  # all of them reach 255: narrowed whole
    assert pack_counts(many).dtype == np.uint32 and np.array_equal(wide(pack_counts(many)), many)


def test_a_larger_childs_counts_are_its_parents_less_the_smallers():
    from tavrin_tools import _dask_rows as rows
    rng = np.random.default_rng(4)
    x = rng.normal(size=(300, 2)).round(1)
    x[::7, 1] = np.nan
    bins = np.zeros(x.shape, dtype=np.uint16)
    rows._learner.bin_columns(x, bins, [np.array([-0.5, 0.0, 0.5])] * 2, 4)
    codes = rng.integers(0, 3, 300)
    from tavrin_tools._search_params import on_grid, weight_grid
    real = rng.random(300)
    for weight in (rng.integers(0, 5, 300).astype(float), on_grid(real, weight_grid(real.max(), 300))):
        held = rows.Held(x, bins, codes, weight, np.zeros(300, dtype=np.int32), 4, 3, 1)
        edges = rows.bins_of(rows.bin_ranges(held))
        parent = rows.summarize(held, 0, 1, edges)
        held = rows.Held(x, bins, codes, weight, (x[:, 0] > 0.3).astype(np.int32), 4, 3, 2)
        direct = rows.summarize(held, 0, 2, edges)
        counted = np.array([False, True])
        got, searched = rows.merge_round(edges, 3, counted, np.array([1, -1]), np.zeros((2, 2), dtype=np.int64), 1,
                                         rows.summarize(held, 0, 2, edges, counted), parent)
        assert np.array_equal(rows.wide(got[0]), rows.wide(direct[0]))
        assert np.array_equal(searched[0], rows._with_rows(direct[0], 3))
        assert np.array_equal(rows.wide(got[0]), rows.wide(direct[0]))


def test_bins_count_the_cuts_at_or_below_each_value():
    from tavrin_tools import _learner
    x = np.array([[-np.inf, 0.0], [1.0, np.nan], [1.5, 2.0], [2.0, np.inf], [3.0, 1.0]])
    cuts = [np.array([1.0, 2.0]), np.array([0.5, 1.0, 1.5, 2.0, 2.5])]
    bins = np.full(x.shape, 7, dtype=np.uint16)
    _learner.bin_columns(x, bins, cuts, 9)
    for j, c in enumerate(cuts):
        assert bins[:, j].tolist() == np.where(np.isnan(x[:, j]), 9, np.searchsorted(c, x[:, j], side="right")).tolist()
    _learner.bin_columns(x, bins, [np.empty(0), None], 9)  # no cuts: one bin; None: left as it is
    assert bins[:, 0].tolist() == [0] * 5 and bins[1, 1] == 9
    for bad in ([np.array([2.0, 1.0]), None], [None]):
        with pytest.raises(ValueError):
            _learner.bin_columns(x, bins, bad, 9)
    # Many rows (searched several at a time): cut values, NaN and infinities.
    rng = np.random.default_rng(1)
    c = np.unique(rng.normal(size=40))
    many = rng.choice(np.concatenate([c, rng.normal(size=20), [np.nan, np.inf, -np.inf, -0.0]]), size=(1001, 2))
    out = np.zeros(many.shape, dtype=np.uint16)
    _learner.bin_columns(many, out, [c, c[:1]], 50)
    for j, cj in enumerate([c, c[:1]]):
        expected = np.where(np.isnan(many[:, j]), 50, np.searchsorted(cj, many[:, j], side="right"))
        assert out[:, j].tolist() == expected.tolist()


@pytest.mark.parametrize("params", [dict(max_features=2, random_state=3),
                                    dict(splitter="random", max_features=3, random_state=5, max_depth=9)])
def test_finished_nodes_draw_as_the_whole_fit(client, finished, params):
    # A subtree draws its features and thresholds by its nodes' keys and
    # skips the constants its root inherits, as the whole fit does there.
    frame, y, w = problem(seed=1)
    frame["flat"] = 1.0  # a constant column: known as such below the root
    expected = TreeClassifier(**params).fit(frame, y, sample_weight=w)
    parts = dd.from_pandas(frame, npartitions=3)
    yd, wd = (dd.from_pandas(pd.Series(v, index=frame.index), npartitions=3) for v in (y, w))
    with dask.config.set({"tavrin.local_rows": 300}):
        got = TreeClassifier(**params).fit(parts, yd, sample_weight=wd)
    assert_same_tree(expected, got)
    assert finished and max(finished) <= 300 < expected.tree_.n_node_samples[0]


@pytest.mark.parametrize("seed", range(3))
def test_summaries_and_runs_agree_with_the_rows(seed):
    # Per slot and feature: the span and the listed bins' extremes are those
    # of the slot's rows of weight above zero; a bin's runs, all picked,
    # hold exactly the values of its whole list.
    from tavrin_tools import _dask_rows as rows
    rng = np.random.default_rng(seed)
    n, p, slots = 500, 3, 4
    x = rng.choice([-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 3.5], size=(n, p)) + rng.integers(0, 2, (n, p)) * 1e-9
    x[rng.random((n, p)) < 0.1] = np.nan
    bins = np.zeros(x.shape, dtype=np.uint16)
    rows._learner.bin_columns(x, bins, [np.array([0.0, 1.0, 2.0])] * p, 4)
    weight = rng.integers(0, 3, n).astype(float)
    slot = rng.integers(-1, slots, n).astype(np.int32)
    codes = rng.integers(0, 2, n)
    held = rows.Held(x, bins, codes, weight, slot, 4, 2, slots)
    every = np.arange(p * 4)
    counts, lo, hi, span = rows._learner.node_summary(*held.kernel_args(), 0, slots, 4, 2, every, every, True)
    # Without spans the rest is the same; counts are the rows' weights and rows.
    alike = rows._learner.node_summary(*held.kernel_args(), 0, slots, 4, 2, every, every, False)
    assert alike[3] is None and all(np.array_equal(a, b) for a, b in zip(alike[:3], (counts, lo, hi)))
    kept = (slot >= 0) & (weight > 0)
    expect = np.zeros_like(counts)
    for f in range(p):
        np.add.at(expect, (slot[kept], f, bins[kept, f], codes[kept]), weight[kept])
        np.add.at(expect, (slot[kept], f, bins[kept, f], 2), 1.0)
    assert np.array_equal(counts, expect)
    # Rows of weight 1: whole numbers of rows per class.
    whole = rows._learner.node_summary(held.x, held.bins, held.codes, None, held.order, held.starts, 0, slots, 4, 2,
                                       every, every, False)[0]
    expect = np.zeros(whole.shape, np.uint32)
    for f in range(p):
        np.add.at(expect, (slot[kept], f, bins[kept, f], codes[kept]), 1)
    assert np.array_equal(whole, expect)
    for s in range(slots):
        for f in range(p):
            v = x[(slot == s) & (weight > 0), f]
            v = v[~np.isnan(v)]
            assert span[s, f].tolist() == ([v.min(), v.max()] if len(v) else [np.inf, -np.inf])
            for b in range(4):
                inside = v[bins[(slot == s) & (weight > 0), f][~np.isnan(x[(slot == s) & (weight > 0), f])] == b]
                assert (lo[s, f * 4 + b], hi[s, f * 4 + b]) == ((inside.min(), inside.max()) if len(inside)
                                                                else (np.inf, -np.inf))
    # Every bin's range and rows over all the slots.
    ranges = rows.bin_ranges(held)
    assert np.array_equal(ranges[0], lo.min(axis=0).reshape(p, 4))
    assert np.array_equal(ranges[1], hi.max(axis=0).reshape(p, 4))
    assert np.array_equal(ranges[2], counts[..., 2].sum(axis=0)[:, :4])
    # Binning finds the ranges over every row of weight above zero (a column
    # of bins given, cuts None, included), as bin_ranges does over them.
    again = np.zeros_like(bins)
    again[:, 2] = bins[:, 2]
    found = rows._learner.bin_and_range(x, again, [np.array([0.0, 1.0, 2.0])] * 2 + [None], 4, weight)
    every_row = rows.Held(x, bins, codes, weight, np.zeros(n, np.int32), 4, 2, 1)
    assert np.array_equal(again, bins)
    assert all(np.array_equal(a, b) for a, b in zip(found, rows._learner.bin_ranges(*every_row.kernel_args(), 4, 2)))
    requests = np.array([(s, f, b) for s in range(slots) for f in range(p) for b in range(4)], dtype=np.int64)
    args = (*held.kernel_args(), requests, np.zeros(len(requests), np.int32), np.zeros(len(requests)),
            np.ones(len(requests)))
    whole = rows._learner.list_runs(*args, 4, 2)[0]
    cut = rows._learner.list_runs(*args[:7], np.full(len(requests), 3, np.int32), *args[8:], 4, 2)
    picked = rows._learner.run_lists(cut[4], np.arange(3 * len(requests)), 2)
    merged = [np.concatenate([picked[1][picked[0][3 * q + i]:picked[0][3 * q + i + 1]] for i in range(3)])
              for q in range(len(requests))]
    for q in range(len(requests)):
        assert np.array_equal(np.unique(merged[q]), whole[1][whole[0][q]:whole[0][q + 1]])
    assert np.array_equal(cut[1].sum(axis=0), whole[2].sum(axis=0))


@pytest.mark.parametrize("y", [np.array([3, -2, 3, 0]), np.array([-128, 127, 5], np.int8),
                               np.array([2**64 - 1, 2**64 - 3], np.uint64), np.array([7, -2**40, 7]),
                               np.array(["b", "a", "b"]), np.array([True, False, True])])
def test_a_partitions_labels_are_those_np_unique_finds(y):
    from tavrin_tools import _dask_rows as rows
    weight = np.arange(1.0, len(y) + 1)
    labels, counts, top = rows.labels_of((None, y, weight))
    expected, inverse, expected_counts = np.unique(y, return_inverse=True, return_counts=True)
    assert labels.dtype == expected.dtype and np.array_equal(labels, expected)
    assert np.array_equal(counts, expected_counts) and top.tolist() == [weight[inverse == j].max()
                                                                          for j in range(len(expected))]


@pytest.mark.parametrize("count", [1, 3, 8, 9, 70])
def test_reductions_combine_every_result_once(count):
    from tavrin_tools import _dask_fit

    class Now:  # runs each task at once: its "future" is its result
        def submit(self, fn, *args, pure):
            return fn(*args)

    got = _dask_fit._reduce(Now(), [[i] for i in range(count)], lambda *parts: sum(parts, []), sorted)
    assert got == list(range(count))


@pytest.mark.parametrize("weighted", [False, True])
def test_rows_of_a_fits_start_are_laid_out_as_lay_out_lays_them(weighted):
    from tavrin_tools import _dask_rows as rows
    rng = np.random.default_rng(1)
    x, bins, codes = rng.normal(size=(200, 3)), rng.integers(0, 5, (200, 3)).astype(np.uint16), rng.integers(0, 2, 200)
    weight = rng.integers(1, 3, 200).astype(float) if weighted else None
    held = rows.Held(x, bins, codes, weight, np.zeros(200, np.int32), 4, 2, 1)
    expected = rows._learner.lay_out(bins, codes, weight, np.arange(200, dtype=np.int32), np.zeros(200, np.int32), 1)
    for got, want in zip((held.bins, held.codes, held.weight, held.order, held.starts), expected):
        assert (got is None and want is None) or (got.dtype == want.dtype and np.array_equal(got, want))


@pytest.mark.parametrize("seed", range(3))
def test_routes_move_the_rows_their_values_say(seed):
    # Slot 0 splits at a threshold, slot 1 between bins 1 and 2 of its
    # feature (the bin's values up to 0.5 left), slot 2 by category, slot 3
    # not: each row of weight above zero goes where its value says, in row
    # order within its new slot; the edges are the values either side of
    # the split between bins.
    from tavrin_tools import _dask_rows as rows
    rng = np.random.default_rng(seed)
    n, p = 400, 3
    x = rng.choice([-1.0, -0.5, 0.0, 0.25, 0.5, 0.75, 1.0, 2.0], size=(n, p))
    x[:, 2] = rng.integers(0, 5, n)  # category codes
    x[rng.random((n, p)) < 0.1] = np.nan
    bins = np.zeros(x.shape, dtype=np.uint16)
    rows._learner.bin_columns(x, bins, [np.array([-0.5, 0.0, 1.0])] * 2 + [None], 5)
    bins[:, 2] = np.where(np.isnan(x[:, 2]), 5, np.nan_to_num(x[:, 2]))
    weight = rng.integers(0, 3, n).astype(float)
    slot = rng.integers(-1, 4, n).astype(np.int32)
    codes = rng.integers(0, 2, n)
    held = rows.Held(x, bins, codes, weight, slot, 5, 2, 4)
    kept = rows.Bins(*rows.bin_ranges(held))
    # The layout of a route, once freed, is what the next route writes over,
    # while a fit runs here.
    rows._learner.keep_spares(True)
    whole = rows.Held(x, bins, codes, None, np.zeros(n, np.int32), 5, 2, 1)
    stay = (np.array([0]), np.array([10.0]), np.array([1], np.uint8), np.zeros((1, 1), np.uint64), np.array([-1]),
            np.array([0.0]))
    freed = rows.route(whole, stay, np.array([0], np.int32), np.array([1], np.int32), kept)
    assert np.array_equal(freed.order, np.arange(n))
    spare = freed.bins.ctypes.data
    del freed
    sets = np.zeros((4, 1), np.uint64)
    sets[2, 0] = 0b10110
    splits = (np.array([0, 1, 2, -1]), np.array([0.25, np.nan, np.nan, np.nan]), np.array([1, 0, 1, 0], np.uint8),
              sets, np.array([-1, 2, -1, -1]), np.array([0.0, 0.5, 0.0, 0.0]))
    to_left, to_right = np.array([0, 2, 4, 6], np.int32), np.array([1, 3, -1, 7], np.int32)
    moved = rows.route(held, splits, to_left, to_right, kept)
    assert moved.bins.ctypes.data == spare
    v = x[np.arange(n), np.array([0, 1, 2, 0])[np.clip(slot, 0, 3)]]
    left = np.select([np.isnan(v), slot == 0, slot == 1, slot == 2],
                     [splits[2][np.clip(slot, 0, 3)] == 1, v <= 0.25,
                      (bins[:, 1] < 2) | ((bins[:, 1] == 2) & (v <= 0.5)),
                      (0b10110 >> np.nan_to_num(v).astype(int)) & 1 == 1], False)
    goes = np.where(slot >= 0, np.where(left, to_left[np.clip(slot, 0, 3)], to_right[np.clip(slot, 0, 3)]), -1)
    goes[(slot == 3) | (weight == 0)] = -1
    for s in range(8):
        assert moved.order[moved.starts[s]:moved.starts[s + 1]].tolist() == np.flatnonzero(goes == s).tolist()
    assert np.array_equal(moved.bins, bins[moved.order]) and np.array_equal(moved.weight, weight[moved.order])
    below, above = moved.edges[-1]
    sent = (slot == 1) & (weight > 0) & ~np.isnan(v)
    assert below[1] == v[sent & left].max(initial=-np.inf) and above[1] == v[sent & ~left].min(initial=np.inf)
    assert np.isneginf(below[[0, 2, 3]]).all() and np.isposinf(above[[0, 2, 3]]).all()
    # The same splits as a round chooses them, its nodes' slots in any order:
    # the r-th split slot's children go to slots 2r and 2r + 1.
    names = ("feature", "threshold", "missing_left", "categories", "bin", "bin_value")
    shuffled = [2, 0, 3, 1]
    found = [{name: np.asarray(a)[shuffled[:2]] for name, a in zip(names, splits)},
             {name: np.asarray(a)[shuffled[2:]][:, :0] if name == "categories" else np.asarray(a)[shuffled[2:]]
              for name, a in zip(names, splits)}]
    again = rows.route_chosen(held, kept, np.array(shuffled), *found)
    canonical = rows.route(held, splits, np.array([0, 2, 4, -1], np.int32), np.array([1, 3, 5, -1], np.int32), kept)
    assert all(np.array_equal(a, b) for a, b in zip(again.kernel_args()[1:], canonical.kernel_args()[1:]))
    assert all(np.array_equal(a, b) for a, b in zip(again.edges[-1], canonical.edges[-1]))
    # Once no fit runs here, what was kept goes, and a layout freed then is not kept.
    del again
    assert rows._learner.spare_bytes() > 0
    rows._learner.keep_spares(False)
    assert rows._learner.spare_bytes() == 0
    del moved, canonical
    assert rows._learner.spare_bytes() == 0


def test_worker_kernels_refuse_broken_row_orders_and_entries():
    from tavrin_tools import _learner
    rng = np.random.default_rng(0)
    x = rng.normal(size=(50, 3))
    bins = np.zeros((50, 3), np.uint16)
    _learner.bin_columns(x, bins, [np.array([0.0])] * 3, 2)
    codes = rng.integers(0, 2, 50)
    # Every slot splits on feature 1 at 0.0, its rows read.
    splits = (np.ones(3, np.int64), np.zeros(3), np.zeros(3, np.uint8), np.zeros((3, 1), np.uint64),
              np.full(3, -1, np.int64), np.zeros(3))
    to, lo, hi = np.arange(3, dtype=np.int32), np.full((3, 2), -1.0), np.ones((3, 2))
    bins, codes, _, order, starts = _learner.lay_out(bins, codes, None, np.arange(50, dtype=np.int32),
                                                     rng.integers(-1, 3, 50).astype(np.int32), 3)
    none = np.zeros(0, np.int64)
    far, negative = order.copy(), order.copy()
    far[-1], negative[-1] = 50, -1  # in the last slot
    for o, s in [(far, starts), (negative, starts), (order[1:], starts), (order, np.array([0, 99])),
                 (order, np.array([5, 2])), (order, none)]:
        with pytest.raises(ValueError):
            _learner.node_summary(x, bins, codes, None, o, s, 0, 3, 2, 2, none, none, True)
        with pytest.raises(ValueError):
            _learner.list_runs(x, bins, codes, None, o, s, np.array([[2, 0, 0]]), np.array([2], np.int32), np.zeros(1),
                               np.ones(1), 2, 2)
        with pytest.raises(ValueError):
            _learner.route(x, bins, codes, None, o, s, 2, 2, splits, to, to, lo, hi)
        with pytest.raises(ValueError):
            _learner.bin_ranges(x, bins, codes, None, o, s, 2, 2)
    wrong = bins.copy()
    wrong[0, 1] = 3  # past the missing bin
    with pytest.raises(ValueError, match="bin out of range"):
        _learner.node_summary(x, wrong, codes, None, order, starts, 0, 3, 2, 2, none, none, False)
    with pytest.raises(ValueError, match="bin out of range"):
        _learner.route(x, wrong, codes, None, order, starts, 2, 2, splits, to, to, lo, hi)
    with pytest.raises(ValueError, match="bin out of range"):
        _learner.bin_ranges(x, wrong, codes, None, order, starts, 2, 2)
    for request in ([[0, 5, 0]], [[0, 0, 9]], [[1, 0, 0], [0, 0, 0]], [[0, 0, 0], [0, 0, 0]]):
        with pytest.raises(ValueError):
            _learner.list_runs(x, bins, codes, None, order, starts, np.array(request), np.zeros(len(request), np.int32),
                               np.zeros(len(request)), np.ones(len(request)), 2, 2)
    entries = (np.array([0]), np.zeros(1), np.array([0], np.int32), None)
    for kept, picked in [((np.array([0, 1]),) + entries[1:], [0]), (entries[:2] + (np.array([7], np.int32), None), [0]),
                         (entries, [1, 0]), (entries[:3], [0])]:
        with pytest.raises(ValueError):
            _learner.run_lists(kept, np.array(picked), 2)
