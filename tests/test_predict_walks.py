"""The two C++ walks of predict against the row-by-row `_predict`: up to
2048 rows walk the Node objects, reading each node when a row first
reaches it; more rows walk the whole tree flattened first. Both answer as
`_predict` does, and hand the call to it where they must."""
import numpy as np
import pandas as pd
import pytest

import tavrin
from test_fast_path import CountingClasses, StepTree, assert_same_predictions, mixed_frame, node
from tree_compare import same_value

MANY = 2049  # rows from which the tree is flattened first


def twin(est):
    step = StepTree()
    step.__dict__.update(est.__dict__)
    return step


@pytest.mark.parametrize("frame", ["mixed", "numeric", "object"])
def test_both_walks_of_a_fitted_tree_answer_as_predict_does(frame):
    X, y = mixed_frame(3000, 21)
    est = tavrin.BinaryClassificationTree()
    est.fit(X if frame != "numeric" else X[["num", "cnt", "flag"]], y)
    rows = X.astype(object) if frame == "object" else X  # an object matrix, described cell by cell
    for n in (1, 7, 2048, MANY, 3000):
        assert_same_predictions(est, twin(est), [rows.iloc[:n], rows.iloc[::-1].iloc[:n]])


def hand_made(estimator_class, tree, X):
    est = estimator_class()
    est.feature_names = X.columns
    est.classes = CountingClasses(np.array(["a", "b"], dtype=object))
    est.tree_ = tree
    return est


def leaf_pair():
    shared = node("b", 0.6)
    return node("a", 0.5, "numeric", 0, -1.0, shared, shared)  # one node reached from both sides


def odd_subtrees():
    yield type("Other", (), {})()
    yield node("a", 0.5, "numeric", 7, 1.5, node("a", 1.0), node("b", 1.0))  # a column the rows lack
    yield leaf_pair()
    root = node("a", 0.5, "numeric", 0, 5.0, node("b", 0.9), None)
    root.right = node("b", 0.5, "numeric", 0, 9.0, root, node("a", 0.8))  # a cycle
    yield root


@pytest.mark.parametrize("odd", range(4))
def test_nodes_no_row_reaches_are_not_read(odd):
    # Every row goes left at the root; the right side is not a plain tree.
    X = pd.DataFrame({"x": [-1.0, -2.0, -0.5, -3.0]})
    make = lambda: node("a", 0.5, "numeric", 0, 0.0, node("a", 0.75), list(odd_subtrees())[odd])
    fast, step = hand_made(tavrin.BinaryClassificationTree, make(), X), hand_made(StepTree, make(), X)
    got, want = fast.predict_proba(X), step.predict_proba(X)
    assert all(same_value(a, b) for g, w in zip(got, want) for a, b in zip(g, w))
    assert fast.predict(X) == step.predict(X) == ["a"] * 4
    assert fast.classes.reads == 1  # answered in C++
    # Flattening reads the whole tree, finds the odd subtree and leaves every
    # row to _predict.
    many = pd.concat([X] * (MANY // 4 + 1), ignore_index=True)
    fast.classes.reads = 0
    assert fast.predict_proba(many) == got * (MANY // 4 + 1)
    assert fast.classes.reads == len(many)


def test_a_node_reached_twice_leaves_the_rows_to_predict():
    X = pd.DataFrame({"x": [-2.0, 0.5, -0.5, 3.0]})
    fast, step = (hand_made(cls, node("a", 0.5, "numeric", 0, 0.0, leaf_pair(), node("a", 0.7)), X)
                  for cls in (tavrin.BinaryClassificationTree, StepTree))
    assert fast.predict_proba(X) == step.predict_proba(X)
    assert fast.classes.reads == len(X)


def test_frames_of_many_category_dtypes_read_alike_call_after_call():
    # More category dtypes than the reader keeps converted: entries are
    # replaced while a frame is read, and read again on the next call.
    rng = np.random.default_rng(4)
    n = 400
    X = pd.DataFrame({f"c{j}": pd.Categorical(rng.choice([f"{j}{c}" for c in "pqrs"], n)) for j in range(20)})
    X["num"] = rng.normal(size=n)
    y = pd.Series(np.where((X["c3"] == "3p") | (X["c19"] == "19q") | (X["num"] > 1), "u", "v"))
    est = tavrin.BinaryClassificationTree()
    est.fit(X, y)
    for _ in range(2):
        for rows in (X.iloc[:5], X.iloc[::-1], X[X.columns[::-1]]):
            assert_same_predictions(est, twin(est), [rows])
