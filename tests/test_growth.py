"""Tree growth and prediction end to end: worked examples, limits, bad input."""
import math
import sys
import traceback

import numpy as np
import pandas as pd
import pytest

import tavrin
from tree_compare import assert_same_tree, tree_depth
from reference_model import ReferenceTree

ESTIMATORS = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_worked_numeric_example(cls):
    X = pd.DataFrame({"f": [1, 2, 3, 4]})
    y = pd.Series(["a", "a", "b", "b"])
    est = cls()
    assert est.fit(X, y) is None
    root = est.tree_
    assert (root.predicted_class, root.probability) == ("a", 0.5)
    assert type(root.probability) is np.float64
    assert (root.node_type, root.feature_index, root.threshold) == ("numeric", 0, 2.5)
    assert (root.left.predicted_class, root.left.probability, root.left.node_type) == ("a", 1.0, "leaf")
    assert (root.right.predicted_class, root.right.probability) == ("b", 1.0)
    assert root.left.left is None and root.right.left is None
    leaf = cls(max_depth=0)
    leaf.fit(X, y)
    assert (leaf.tree_.predicted_class, leaf.tree_.probability, leaf.tree_.left) == ("a", 0.5, None)
    assert est.predict(X) == ["a", "a", "b", "b"]
    assert est.predict(pd.DataFrame({"f": [2.5, 2.4999]})) == ["b", "a"]


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_worked_categorical_example(cls):
    X = pd.DataFrame({"c": pd.Categorical(["u", "u", "v", "w", "w"])})
    y = pd.Series(["b", "a", "a", "b", "b"])
    est = cls()
    est.fit(X, y)
    root = est.tree_
    assert (root.predicted_class, root.probability) == ("b", 0.6)
    assert (root.node_type, root.feature_index) == ("categorical", 0)
    assert isinstance(root.threshold, np.ndarray) and list(root.threshold) == ["v", "u"]
    assert (root.left.predicted_class, root.left.probability) == ("a", 2 / 3)
    assert (root.right.predicted_class, root.right.probability, root.right.left) == ("b", 1.0, None)
    assert est.predict(pd.DataFrame({"c": ["v", "w", "zz"]})) == ["a", "b", "b"]


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_depth_limits_and_leaves(cls):
    rng = np.random.default_rng(0)
    X = pd.DataFrame({"a": rng.normal(size=200), "b": rng.integers(0, 5, 200)})
    y = pd.Series(rng.integers(0, 2, 200))
    for depth in (0, 1, 2, 5):
        est = cls(max_depth=depth)
        est.fit(X, y)
        assert tree_depth(est.tree_) <= depth
    full = cls()
    full.fit(X, y)
    # Column "a" has distinct values, so unbounded growth ends in pure leaves.
    assert full.predict(X) == list(y)


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_unsplittable_columns_fail_only_when_searched(cls):
    X = pd.DataFrame({"n": [1.0, 2.0, 3.0], "s": ["x", "y", "z"]})
    y = pd.Series([0, 1, 1])
    est = cls(max_depth=0)
    est.fit(X, y)
    assert est.tree_.left is None
    est = cls()
    est.tree_ = "previous"
    with pytest.raises(ValueError, match="^This tree supports only numeric or categorical features$") as info:
        est.fit(X, y)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert f"tavrin.{cls.__name__}.fit" in names and f"tavrin.{cls.__name__}._grow_tree" in names
    assert est.tree_ == "previous" and est.n_classes_ == 2


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_bad_max_depth_and_unfitted(cls):
    X = pd.DataFrame({"n": [1.0, 2.0]})
    y = pd.Series([0, 1])
    with pytest.raises(TypeError):
        cls(max_depth=None).fit(X, y)
    with pytest.raises(AttributeError, match="feature_names"):
        cls().predict(X)
    with pytest.raises(AttributeError, match="feature_names"):
        cls().predict_proba(X)
    with pytest.raises(AttributeError, match="tree_"):
        cls()._predict([1.0])
    est = cls()
    est.fit(X, y)
    with pytest.raises(KeyError):
        est.predict(pd.DataFrame({"other": [1.0]}))
    with pytest.raises(TypeError):
        est.predict(pd.DataFrame({"n": ["text"]}))


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_nan_and_infinite_values_end_growth(cls):
    X = pd.DataFrame({"n": [np.nan, np.nan, 1.0, -np.inf, np.inf, np.nan]})
    y = pd.Series([0, 1, 0, 1, 0, 1])
    est = cls()
    est.fit(X, y)
    ref = ReferenceTree(inline=cls is tavrin.BinaryClassificationTreePy)
    ref.fit(X, y)
    assert_same_tree(est.tree_, ref.tree_)


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_prediction_results(cls):
    X = pd.DataFrame({"n": [1.0, 2.0, 3.0, 4.0, 5.0], "extra": list("abcde")})
    y = pd.Series([7, 7, 9, 9, 9])
    est = cls(max_depth=1)
    est.fit(X[["n"]], y)
    labels = est.predict(X[["extra", "n"]])
    assert labels == [7, 7, 9, 9, 9] and all(type(v) is np.int64 for v in labels)
    pairs = est.predict_proba(X)
    assert pairs[0] == [1.0, 0.0] and pairs[-1] == [0.0, 1.0]
    assert all(type(p) is list and len(p) == 2 for p in pairs)
    assert est.predict(X.iloc[:0]) == [] and est.predict_proba(X.iloc[:0]) == []
    assert math.isnan(est._predict([1.0], "other")) and math.isnan(est._predict((1.0,), None))
    assert est._predict((1.0,)) == 7 and est._predict(inputs=[5.0], ptype="prob") == [0.0, 1.0]


def test_probability_pairs_follow_classes_order():
    est = tavrin.BinaryClassificationTree()
    est.classes = np.array(["x", "y"])
    est.tree_ = tavrin.Node("x", 0.75)
    assert est._predict([0], "prob") == [0.75, 0.25]
    est.tree_ = tavrin.Node("y", 0.75)
    assert est._predict([0], "prob") == [0.25, 0.75]
    est.classes = np.array([])
    with pytest.raises(IndexError):
        est._predict([0], "prob")


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_predict_calls_an_overridden_predict_per_row(cls):
    seen = []

    class Spy(cls):
        def _predict(self, inputs, ptype="class"):
            seen.append((list(inputs), ptype))
            return ptype

    est = Spy()
    est.fit(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), pd.Series([0, 1]))
    assert est.predict(pd.DataFrame({"b": [9], "a": [8], "c": [0]})) == ["class"]
    assert est.predict_proba(pd.DataFrame({"b": [9], "a": [8]})) == ["prob"]
    assert seen == [([8, 9], "class"), ([8, 9], "prob")]


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_deep_tree_beyond_the_recursion_limit_raises(cls):
    n = 120
    X = pd.DataFrame({"f": np.arange(n, dtype=float)})
    y = pd.Series([i % 2 for i in range(n)])  # forces one level per row
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(60)
    try:
        est = cls()
        with pytest.raises(RecursionError):
            est.fit(X, y)
    finally:
        sys.setrecursionlimit(old)
    est.fit(X, y)
    assert tree_depth(est.tree_) > 50


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_rebinding_module_globals_reaches_growth(cls):
    made = []

    class CountingNode(tavrin.Node):
        def __init__(self, **kw):
            made.append(kw)
            super().__init__(**kw)

    saved = tavrin.Node
    tavrin.Node = CountingNode
    try:
        est = cls()
        est.fit(pd.DataFrame({"f": [1, 2, 3, 4]}), pd.Series(["a", "a", "b", "b"]))
    finally:
        tavrin.Node = saved
    assert len(made) == 3 and set(made[0]) == {"predicted_class", "probability"}
    assert type(est.tree_) is CountingNode


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_fit_and_predict_raise_no_warnings(cls):
    import warnings

    X = pd.DataFrame({"n": [np.nan, 1.0, 2.0, np.nan, 3.0, 0.5],
                      "c": pd.Categorical(list("abab") + [None, "a"])})
    y = pd.Series([0, 1, 0, 1, 1, 0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        est = cls()
        est.fit(X, y)  # an object matrix with NaN: numpy would warn on "<"
        est.predict(X)
        est.predict_proba(X)
    assert est.tree_.left is not None


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_missing_integer_categories_stay_missing(cls):
    # pandas turns a missing integer category into the smallest int64 when
    # the whole frame is integer; the prepared values keep it missing.
    import warnings

    X = pd.DataFrame({"n": [0, 0, 1, 1, 2], "c": pd.Categorical([10, None, 10, 20, None])})
    y = pd.Series(["a", "b", "a", "b", "b"])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        values, _ = cls()._prep_data(X, y)
        est = cls()
        est.fit(X, y)
        labels = est.predict(X)
    assert values.dtype == object and values[1, 1] != values[1, 1]  # NaN
    assert values[0, 1] == 10 and type(values[0, 0]) is int
    for entry in est.feature_value_maps.values():
        assert all(-1000 < k < 1000 for k in entry["map"])
    ref = ReferenceTree(inline=cls is tavrin.BinaryClassificationTreePy)
    ref.fit(X, y)
    assert_same_tree(est.tree_, ref.tree_)
    assert labels == ref.predict(X)


class StepGrowth(tavrin.BinaryClassificationTree):
    def _grow_tree(self, X, y, depth=0):
        return super()._grow_tree(X, y, depth)


def three_class_problem():
    rng = np.random.default_rng(21)
    X = pd.DataFrame({"x": rng.normal(size=120).round(2), "c": pd.Categorical(rng.choice(list("pqrs"), 120))})
    return X, pd.Series(rng.choice(["b", "a", "c"], 120))


TWO_LABEL_WARNING = ("BinaryClassificationTree weighs only the first two sorted labels when it chooses splits, "
                     "and y has 3 classes: use BinaryClassificationTreePy or tavrin_tools.TreeClassifier "
                     "for more than two classes")


@pytest.mark.parametrize("cls", [tavrin.BinaryClassificationTree, StepGrowth])
def test_more_than_two_classes_warn_once_per_fit_and_grow_the_same_tree(cls):
    import warnings

    X, y = three_class_problem()
    est = cls(max_depth=4)
    for _ in range(2):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert est.fit(X, y) is None
        assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, TWO_LABEL_WARNING)]
        assert caught[0].filename == __file__  # the caller's line
    ref = ReferenceTree(max_depth=4)
    ref.fit(X, y)
    assert_same_tree(est.tree_, ref.tree_)
    assert est.n_classes_ == 3 and est.classes.tolist() == ["a", "b", "c"]


def test_two_classes_and_the_all_class_search_do_not_warn():
    import warnings

    X, y = three_class_problem()
    two = y.where(y != "c", "a")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for cls in ESTIMATORS + [StepGrowth]:
            cls().fit(X, two)
        tavrin.BinaryClassificationTreePy().fit(X, y)


def test_the_warning_as_an_error_leaves_the_estimator_as_it_was():
    import warnings

    X, y = three_class_problem()
    est = tavrin.BinaryClassificationTree()
    est.fit(X, y.where(y != "c", "a"))
    before = dict(vars(est))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="y has 3 classes") as info:
            est.fit(X, y)
        with pytest.raises(UserWarning):
            fresh = tavrin.BinaryClassificationTree()
            fresh.fit(X, y)
    assert vars(fresh) == {"max_depth": math.inf}
    assert vars(est).keys() == before.keys() and all(vars(est)[k] is v for k, v in before.items())
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "tavrin.BinaryClassificationTree.fit"
