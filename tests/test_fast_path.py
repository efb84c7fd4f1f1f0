"""The whole-tree fast path of fit (and the row walk of predict) against
the step-by-step path and the reference model: the same trees node by
node with types, the same final category encodings, the same predictions
and the same errors, on every kind of frame the fast path accepts."""
import contextlib
import sys
import threading
import traceback

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

import tavrin
from frame_strategies import draw_target
from reference_model import ReferenceTree
from tree_compare import assert_same_tree, assert_same_value_maps, same_value, tree_depth


class StepTree(tavrin.BinaryClassificationTree):
    """Takes the step-by-step path: growth reaches an overridden method."""

    def _best_split(self, X, y):
        return super()._best_split(X, y)

    def _predict(self, inputs, ptype="class"):
        return super()._predict(inputs, ptype)


class StepTreePy(tavrin.BinaryClassificationTreePy):
    def _best_split(self, X, y):
        return super()._best_split(X, y)

    def _predict(self, inputs, ptype="class"):
        return super()._predict(inputs, ptype)


PAIRS = [(tavrin.BinaryClassificationTree, StepTree), (tavrin.BinaryClassificationTreePy, StepTreePy)]


@contextlib.contextmanager
def counting_np_sum():
    # Step-by-step growth counts classes with np.sum at every node; the
    # fast path never calls it.
    calls = [0]
    original = np.sum

    def counted(*args, **kwargs):
        calls[0] += 1
        return original(*args, **kwargs)

    np.sum = counted
    try:
        yield calls
    finally:
        np.sum = original


@st.composite
def columns(draw, n):
    kind = draw(st.sampled_from(
        ["float", "float_nan", "int", "big_int", "bool", "cat_str", "cat_int", "cat_nan", "cat_int_nan", "ties",
         "cat_obj", "cat_na_str"]))
    values = lambda pool: draw(st.lists(st.sampled_from(pool), min_size=n, max_size=n))
    if kind == "float":
        return pd.Series(values([-1.5, 0.0, -0.0, 0.25, 1.0, 2.0, 3.5, -999.0, 1e300, -1e308, np.inf]), dtype="float64")
    if kind == "float_nan":
        return pd.Series(values([np.nan, 0.0, 1.0, 2.0, -1.0]), dtype="float64")
    if kind == "int":
        return pd.Series(draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n)), dtype="int64")
    if kind == "big_int":
        return pd.Series(values([2**53, 2**53 - 1, -(2**53), 7, 2**60]), dtype="int64")
    if kind == "bool":
        return pd.Series(draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype="bool")
    if kind == "cat_str":
        return pd.Series(values(list("pqrstuvw")), dtype="category")
    if kind == "cat_int":
        return pd.Series(values([10, 20, 30, 40, -5]), dtype="category")
    if kind == "cat_int_nan":
        return pd.Series(values([10, 20, None]), dtype="category")
    if kind == "ties":
        return pd.Series(values([1.0, 1.0, 2.0]), dtype="float64")
    if kind == "cat_obj":  # object categories in an order of their own
        return pd.Series(pd.Categorical(values(["b", "a", None]), categories=pd.Index(["b", "z", "a"], dtype=object)))
    if kind == "cat_na_str":  # text categories whose missing value is pd.NA
        return pd.Series(values(["p", "q", None]), dtype="string").astype("category")
    return pd.Series(values(["p", "q", "é", None]), dtype="category")


@st.composite
def problems(draw):
    n = draw(st.integers(2, 80))
    ncols = draw(st.integers(1, 4))
    X = pd.DataFrame({f"c{j}": draw(columns(n)).values for j in range(ncols)})
    y = draw_target(draw, X, n)
    depth = draw(st.sampled_from([float("inf"), 1, 2, 3, 5, 2.5]))
    fresh = pd.DataFrame({name: draw(columns(6)).values for name in X.columns})
    return X, y, depth, fresh


def assert_same_predictions(got_est, want_est, frames):
    for frame in frames:
        try:
            want = want_est.predict(frame)
            want_p = want_est.predict_proba(frame)
        except TypeError:
            with pytest.raises(TypeError):
                got_est.predict(frame)
            continue
        got, got_p = got_est.predict(frame), got_est.predict_proba(frame)
        assert type(got) is list and len(got) == len(want)
        assert all(same_value(g, w) for g, w in zip(got, want))
        assert all(type(g) is list and len(g) == 2 for g in got_p)
        assert all(same_value(a, b) for g, w in zip(got_p, want_p) for a, b in zip(g, w))


def assert_same_fit(fast, step):
    assert_same_tree(fast.tree_, step.tree_)
    assert_same_value_maps(fast.feature_value_maps, step.feature_value_maps)
    for name in ("n_classes_", "feature_map", "rev_taget_map"):
        assert getattr(fast, name) == getattr(step, name)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
@given(problems())
def test_fast_path_matches_step_path_and_reference(fast_cls, step_cls, problem):
    X, y, depth, fresh = problem
    fast, step = fast_cls(max_depth=depth), step_cls(max_depth=depth)
    ref = ReferenceTree(max_depth=depth, inline=fast_cls is tavrin.BinaryClassificationTreePy)
    fast.fit(X, y)
    step.fit(X, y)
    ref.fit(X, y)
    assert_same_fit(fast, step)
    assert_same_tree(fast.tree_, ref.tree_)
    assert_same_value_maps(fast.feature_value_maps, ref.feature_value_maps)
    assert_same_predictions(fast, step, [X, fresh])


def mixed_frame(n, seed):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({
        "num": rng.normal(size=n).round(1),
        "cnt": rng.integers(0, 6, n),
        "flag": rng.integers(0, 2, n).astype(bool),
        "colour": pd.Categorical(rng.choice(["red", "green", "blue", "grey", "teal"], n)),
        "size": pd.Categorical(rng.choice([1, 2, 3, 4, 5, 6], n)),
    })
    y = pd.Series(rng.choice(["left", "right"], n, p=[0.7, 0.3]), index=rng.permutation(n) + 1000)
    return X, y


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
@pytest.mark.parametrize("frame", ["mixed", "numeric", "categorical"])
def test_fast_path_is_taken_and_exact_on_larger_frames(fast_cls, step_cls, frame):
    X, y = mixed_frame(600, 3)
    if frame == "numeric":
        X = X[["num", "cnt"]]
    elif frame == "categorical":
        X = X[["colour", "size"]]
    fast, step = fast_cls(), step_cls()
    with counting_np_sum() as calls:
        fast.fit(X, y)
    assert calls[0] == 0
    with counting_np_sum() as calls:
        step.fit(X, y)
    assert calls[0] > 0
    assert tree_depth(fast.tree_) > 3
    assert_same_fit(fast, step)
    assert_same_predictions(fast, step, [X, X.sample(40, random_state=2)])


def frames_whose_values_are_taken(action):
    """The row counts of the frames whose `values` the action takes."""
    code = pd.DataFrame.values.fget.__code__
    rows = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code:
            rows.append(len(frame.f_locals["self"]))

    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(None)
    return rows


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
def test_mixed_frames_are_read_in_place(fast_cls, step_cls):
    X, y = mixed_frame(1500, 9)
    X["many"] = pd.Categorical([f"m{i * 7 % 300:03d}" for i in range(len(X))])  # 16-bit codes
    X["named"] = pd.Categorical(X["colour"].astype(str), categories=pd.Index(["teal", "red", "grey", "green", "blue"], dtype=object))
    fast, step = fast_cls(), step_cls()
    # Only the last searched node's rows are ever made a matrix.
    assert all(n < len(X) for n in frames_whose_values_are_taken(lambda: fast.fit(X, y)))
    step.fit(X, y)
    assert_same_fit(fast, step)
    fresh = X.sample(300, random_state=1)
    for method in (fast.predict, fast.predict_proba):
        assert frames_whose_values_are_taken(lambda: method(fresh)) == []
    assert_same_predictions(fast, step, [X, fresh])
    # The preparation is still the method call, traceback entry and all.
    with pytest.raises(TypeError) as info:
        fast_cls().fit(X, pd.Series(["a", 1] * (len(X) // 2)))
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
    at = names.index(f"tavrin.{fast_cls.__name__}.fit")
    assert names[at + 1] == f"tavrin.{fast_cls.__name__}._prep_data"

    # A frame of another type, or a missing value the matrix holds as pd.NA,
    # takes the frame's values, with the same results.
    Frame = type("Frame", (pd.DataFrame,), {})
    na = X.assign(colour=X["colour"].astype("string").astype("category"))
    for other in (Frame(X), na):
        fast, step = fast_cls(), step_cls()
        assert len(X) in frames_whose_values_are_taken(lambda: fast.fit(other, y))
        step.fit(other, y)
        assert_same_fit(fast, step)
        assert_same_predictions(fast, step, [other])


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
def test_many_categories_with_equal_means(fast_cls, step_cls):
    # Many categories whose rows are all of one class: long runs of equal
    # means, whose order numpy's sort decides.
    rng = np.random.default_rng(5)
    n = 900
    cats = rng.integers(0, 40, n)
    y = pd.Series(np.where(cats % 3 == 0, "b", np.where(cats % 3 == 1, "a", rng.choice(["a", "b"], n))))
    X = pd.DataFrame({"c": pd.Categorical([f"k{c:02d}" for c in cats]), "x": rng.integers(0, 4, n)})
    fast, step = fast_cls(), step_cls()
    fast.fit(X, y)
    step.fit(X, y)
    assert_same_fit(fast, step)
    y3 = pd.Series(rng.choice(["a", "b", "c"], n))
    fast.fit(X, y3)
    step.fit(X, y3)
    assert_same_fit(fast, step)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
def test_many_classes_and_runs_of_equal_values(fast_cls, step_cls):
    # Eight classes: the scan rules positions out by an estimate before
    # their exact impurity, and must never rule out the one the exact scan
    # keeps (ties between features included).
    rng = np.random.default_rng(13)
    n = 2000
    X = pd.DataFrame({"a": rng.normal(size=n).round(1), "b": rng.integers(0, 30, n).astype(float),
                      "c": rng.normal(size=n), "d": rng.normal(size=n).round(1)})
    y = pd.Series((X["a"] * 3 + rng.normal(size=n)).round().clip(-3, 4).astype(int))
    fast, step = fast_cls(), step_cls()
    fast.fit(X, y)
    step.fit(X, y)
    assert tree_depth(fast.tree_) > 5
    assert_same_fit(fast, step)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
@pytest.mark.parametrize("seed", [0, 1])
def test_two_class_scans_that_skip_blocks_of_rows(fast_cls, step_cls, seed):
    # Nodes of thousands of rows, where the two-class scan passes over whole
    # blocks of positions: a strong feature, weak ones, a copy of the strong
    # one (ties between features) and one of few values (ties in a column).
    rng = np.random.default_rng(seed)
    n = 3000
    strong = rng.normal(size=n)
    X = pd.DataFrame({"weak": rng.normal(size=n), "strong": strong, "copy": strong,
                      "few": rng.integers(0, 8, n).astype(float), "scaled": strong * 3.0 + 1.0})
    y = pd.Series((strong + 0.3 * rng.normal(size=n) > 0.2).astype(int))
    fast, step = fast_cls(), step_cls()
    fast.fit(X, y)
    step.fit(X, y)
    assert tree_depth(fast.tree_) > 5
    assert_same_fit(fast, step)


def chain(n):
    # Alternating classes along one feature: every split peels off an end.
    return pd.DataFrame({"x": np.arange(n, dtype=float)}), pd.Series(np.arange(n) % 2)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
def test_trees_deeper_than_the_recursion_limit_raise_alike(fast_cls, step_cls):
    X, y = chain(260)
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(200)
        for cls in (fast_cls, step_cls):
            with pytest.raises(RecursionError):
                cls().fit(X, y)
        sys.setrecursionlimit(max(limit, 2000))
        fast, step = fast_cls(), step_cls()
        fast.fit(X, y)
        step.fit(X, y)
    finally:
        sys.setrecursionlimit(limit)
    assert tree_depth(fast.tree_) > 200
    assert_same_fit(fast, step)


def test_two_threads_fit_the_same_trees_as_one_at_a_time():
    X, y = mixed_frame(3000, 11)
    X2, y2 = mixed_frame(3000, 12)
    jobs = [(tavrin.BinaryClassificationTree, X, y), (tavrin.BinaryClassificationTreePy, X2, y2),
            (tavrin.BinaryClassificationTree, X2, y2)]
    alone = []
    for cls, A, b in jobs:
        est = cls()
        est.fit(A, b)
        alone.append(est)
    together = [cls() for cls, _, _ in jobs]
    errors = []

    def run(est, A, b):
        try:
            est.fit(A, b)
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(est, A, b)) for est, (_, A, b) in zip(together, jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for got, want in zip(together, alone):
        assert_same_fit(got, want)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
def test_what_growth_reaches_decides_the_path(fast_cls, step_cls, monkeypatch):
    X, y = mixed_frame(200, 4)
    step = step_cls()
    step.fit(X, y)

    # An instance attribute counts as an override.
    est = fast_cls()
    est._format_feature = lambda X, y, idx: fast_cls._format_feature(est, X, y, idx)
    with counting_np_sum() as calls:
        est.fit(X, y)
    assert calls[0] > 0
    assert_same_fit(est, step)

    # A rebound module global is used by the step-by-step growth.
    class MyNode(tavrin.Node):
        pass

    monkeypatch.setattr(tavrin, "Node", MyNode)
    est = fast_cls()
    est.fit(X, y)
    assert type(est.tree_) is MyNode and type(est.tree_.left) is MyNode
    monkeypatch.undo()

    # A column the tree cannot split fails as it does step by step.
    bad = X.assign(when=pd.Timestamp("2020-01-01"))
    with pytest.raises(ValueError, match="only numeric or categorical"):
        fast_cls().fit(bad, y)
    # Values the fast path does not take fall back, with the same result.
    obj = X.assign(cnt=X["cnt"] * 2**60 + 1)
    fast, step = fast_cls(), step_cls()
    with counting_np_sum() as calls:
        fast.fit(obj, y)
    assert calls[0] > 0
    step.fit(obj, y)
    assert_same_fit(fast, step)


class CountingClasses:
    """A `classes` whose item reads are counted: predict_proba reads
    classes[0] once per row step by step, once per call on the fast path."""

    def __init__(self, classes):
        self.classes, self.reads = classes, 0

    def __getitem__(self, i):
        self.reads += 1
        return self.classes[i]


def node(pred, prob, kind="leaf", feature=0, thr=0, left=None, right=None):
    n = tavrin.Node(pred, np.float64(prob))
    if left is not None:
        n.feature_index, n.threshold, n.node_type, n.left, n.right = feature, thr, kind, left, right
    return n


def hand_made_trees():
    leaves = lambda: (node("a", 0.75), node("b", 0.6), node("a", 1.0))
    a, b, c = leaves()
    yield node("a", 0.5, "numeric", 0, 1.5, a, node("b", 0.5, "categorical", 1, np.array(["p", "q"], dtype=object), b, c))
    a, b, c = leaves()
    yield node("a", 0.5, "categorical", 1, np.array([10, 20]), a, node("b", 0.5, "numeric", 0, np.float64(-0.5), b, c))
    a, b, c = leaves()
    yield node("a", 0.5, "categorical", 0, np.array([1.0, 2.5]), a, node("b", 0.5, "categorical", 1, np.array([1, 0]), b, c))


FRAMES = {
    "float": pd.DataFrame({"x": [0.0, 1.5, np.nan, 2.5, -1.0, 1.0], "k": [10.0, 20.0, 1.0, np.nan, 0.0, 30.0]}),
    "int": pd.DataFrame({"x": [0, 1, 2, 3, -2, 2**62], "k": [10, 20, 1, 0, 30, 2**53 + 1]}),
    "bool": pd.DataFrame({"x": [True, False, True, False, True, True], "k": [True, False, False, True, True, False]}),
    "object": pd.DataFrame({"x": [0.5, 2.0, np.nan, 1, True, -3], "k": ["p", "q", None, "z", "p", np.nan]}, dtype=object),
    "object_numbers": pd.DataFrame({"x": [0.5, 2.0, 7, 1, True, -3], "k": [10, 20.0, None, 1, True, 2.5]}, dtype=object),
    "unordered": pd.DataFrame({"x": [0.5, "s", 1.0, 2.0, 0.0, 3.0], "k": ["p", "q", "r", "p", "q", "r"]}, dtype=object),
}


@pytest.mark.parametrize("frame", list(FRAMES))
@pytest.mark.parametrize("tree", range(3))
@pytest.mark.parametrize("copies", [1, 350])  # a few rows walk the nodes; over 2048 the flattened tree
def test_fast_walk_matches_the_row_by_row_walk(frame, tree, copies):
    X = pd.concat([FRAMES[frame]] * copies, ignore_index=True)
    ests = []
    for cls in (tavrin.BinaryClassificationTree, StepTree):
        est = cls()
        est.feature_names = X.columns
        est.classes = CountingClasses(np.array(["a", "b"], dtype=object))
        est.tree_ = list(hand_made_trees())[tree]
        ests.append(est)
    fast, step = ests
    try:
        want = step.predict(X)
    except TypeError:
        with pytest.raises(TypeError):
            fast.predict(X)
        with pytest.raises(TypeError):
            fast.predict_proba(X)
        return
    got = fast.predict(X)
    assert got == want
    want_p, reads = step.predict_proba(X), step.classes.reads
    got_p = fast.predict_proba(X)
    assert all(same_value(a, b) for g, w in zip(got_p, want_p) for a, b in zip(g, w))
    assert reads == len(X)
    # Rows whose values a node compares only through numpy's own rules
    # (text against a numeric category array) send the call row by row.
    row_by_row = (frame == "object" and tree in (1, 2)) or (frame == "unordered" and tree == 2)
    assert fast.classes.reads == (len(X) if row_by_row else 1)


def test_fast_walk_reads_the_classes_once():
    X, y = mixed_frame(300, 8)
    est = tavrin.BinaryClassificationTree()
    est.fit(X, y)
    want = StepTree.predict_proba(est, X)  # the module's own walk, row by row
    est.classes = CountingClasses(est.classes)
    got = est.predict_proba(X)
    assert est.classes.reads == 1
    assert all(same_value(a, b) for g, w in zip(got, want) for a, b in zip(g, w))
    # A tree that is not plain Node objects is walked row by row.
    est.tree_.left = type("Other", (), dict(vars(est.tree_.left)))()
    est.classes.reads = 0
    assert est.predict_proba(X) == got
    assert est.classes.reads == len(X)


@pytest.mark.parametrize("fast_cls, step_cls", PAIRS)
@pytest.mark.parametrize("max_depth", [float("-inf"), -1, 0, 0.5, 2.0, 2.5, float("nan"), 10**30, -(10**30), True, np.int64(2)])
def test_every_kind_of_depth_limit_grows_the_same_tree(fast_cls, step_cls, max_depth):
    X, y = mixed_frame(150, 6)
    X.columns = [3, 1, "a", 0, "b"]  # labels of two kinds
    fast, step = fast_cls(max_depth), step_cls(max_depth)
    fast.fit(X, y)
    step.fit(X, y)
    assert_same_fit(fast, step)


def test_fast_walk_takes_the_truth_of_equality_for_a_nan_label():
    X = pd.DataFrame({"a": [1.0, 2.0, 3.0]})
    y = pd.Series([np.nan, 1.0, 1.0], dtype=object)
    est = tavrin.BinaryClassificationTree()
    est.fit(X, y)
    got, want = est.predict_proba(X), StepTree.predict_proba(est, X)
    assert all(same_value(a, b) for g, w in zip(got, want) for a, b in zip(g, w))
    assert [float(p) for p in got[0]] == [0.0, 1.0]  # nan == nan is false


@pytest.mark.parametrize("values, message", [
    ([1e308, 1.7e308, 1.0, 2.0], "overflow encountered"),
    ([-np.inf, np.inf, -np.inf, np.inf], "invalid value encountered"),
])
def test_midpoints_that_numpy_flags_warn_and_raise_as_step_by_step(values, message):
    X, y = pd.DataFrame({"a": values}), pd.Series([0, 1, 0, 1])
    for cls in (tavrin.BinaryClassificationTreePy, StepTreePy):
        with pytest.warns(RuntimeWarning, match=message), np.errstate(all="warn"):
            cls().fit(X, y)
        with pytest.raises(FloatingPointError, match=message), np.errstate(all="raise"):
            cls().fit(X, y)
    # Large values whose sums stay finite keep the fast path.
    with counting_np_sum() as calls, np.errstate(all="raise"):
        tavrin.BinaryClassificationTreePy().fit(X.clip(-1e300, 1e300), y)
    assert calls[0] == 0


def test_an_error_while_checking_the_arithmetic_is_raised_not_remembered():
    from test_module import run_child

    result = run_child("""
        import numpy as np, pandas as pd, tavrin
        X, y = pd.DataFrame({"a": np.arange(40.0)}), pd.Series([0, 1] * 20)
        class Failing(np.int64):
            def __new__(cls, *args):
                raise MemoryError
        real, np.int64 = np.int64, Failing  # the first fit's check fails
        try:
            tavrin.BinaryClassificationTree().fit(X, y)
        except MemoryError:
            print("raised")
        np.int64 = real
        calls, np_sum = [], np.sum
        np.sum = lambda *a, **k: calls.append(1) or np_sum(*a, **k)
        tavrin.BinaryClassificationTree().fit(X, y)
        print(len(calls))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["raised", "0"]
