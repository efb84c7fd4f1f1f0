"""Node records, estimator construction and the fit pipeline, with the
preparation and growth steps replaced through overrides."""
import numpy as np
import pytest

import tavrin

ESTIMATORS = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]


def test_node_defaults_and_attribute_order():
    node = tavrin.Node(1, 0.5)
    assert list(vars(node).items()) == [
        ("predicted_class", 1), ("feature_index", 0), ("threshold", 0), ("left", None),
        ("right", None), ("node_type", "leaf"), ("probability", 0.5)]
    marker = object()
    node = tavrin.Node(predicted_class="a", probability=marker, node_type="numeric")
    assert node.predicted_class == "a" and node.probability is marker and node.node_type == "numeric"
    assert tavrin.Node.__init__(node, 1, 2) is None


def test_node_assignment_failure_keeps_earlier_attributes():
    class Picky(tavrin.Node):
        def __setattr__(self, name, value):
            if name == "left":
                raise ValueError("no left")
            object.__setattr__(self, name, value)

    node = Picky.__new__(Picky)
    with pytest.raises(ValueError, match="no left"):
        tavrin.Node.__init__(node, "c", 0.1)
    assert list(vars(node)) == ["predicted_class", "feature_index", "threshold"]


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_construction(cls):
    assert cls().max_depth == float("inf")
    assert cls(3).max_depth == 3 and cls(max_depth=None).max_depth is None
    assert list(vars(cls(2))) == ["max_depth"]
    with pytest.raises(AttributeError):
        cls().tree_
    with pytest.raises(AttributeError):
        cls().n_classes_


def recording(cls, prepared=None, grown="tree"):
    calls = []

    class Recording(cls):
        def _prep_data(self, X, y):
            calls.append(("prep", X, y, self.n_classes_))
            if prepared is None:
                return ("X'", "y'")
            return prepared() if callable(prepared) else prepared

        def _grow_tree(self, *args, **kwargs):
            calls.append(("grow", args, kwargs))
            if isinstance(grown, Exception):
                raise grown
            return grown

    return Recording, calls


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_fit_pipeline_order_and_result(cls):
    Recording, calls = recording(cls)
    est = Recording()
    assert est.fit("X", ["a", "b", "a"]) is None
    assert calls == [("prep", "X", ["a", "b", "a"], 2), ("grow", ("X'", "y'"), {})]
    assert est.n_classes_ == 2 and type(est.n_classes_) is int
    assert est.tree_ == "tree"
    # Hash and equality decide the count, before any preparation.
    est.fit(X="X", y=[1, 1.0, True, np.int64(1), 2])
    assert est.n_classes_ == 2


@pytest.mark.parametrize("cls", ESTIMATORS)
@pytest.mark.parametrize("prepared,message", [
    (("a", "b", "c"), "too many values to unpack (expected 2)"),
    (("a",), "need more than 1 value to unpack"),
    ([], "need more than 0 values to unpack"),
    (lambda: iter(["a"]), "need more than 1 value to unpack"),
    (lambda: iter("abc"), "too many values to unpack (expected 2)"),
])
def test_fit_unpacks_strictly(cls, prepared, message):
    Recording, calls = recording(cls, prepared=prepared)
    with pytest.raises(ValueError) as info:
        Recording().fit(1, [1])
    assert str(info.value) == message


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_fit_unpacks_any_iterable(cls):
    Recording, calls = recording(cls, prepared=lambda: iter(["p", "q"]))
    Recording().fit(1, [1])
    assert calls[-1] == ("grow", ("p", "q"), {})
    Recording, calls = recording(cls, prepared=["p", "q"])
    Recording().fit(1, [1])
    assert calls[-1] == ("grow", ("p", "q"), {})


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_failed_fit_keeps_the_previous_tree(cls):
    Recording, calls = recording(cls, grown=KeyError("boom"))
    est = Recording()
    est.tree_ = "old"
    with pytest.raises(KeyError):
        est.fit(1, [1, 2, 3])
    assert est.tree_ == "old" and est.n_classes_ == 3
    with pytest.raises(TypeError):
        est.fit(1, 5)  # set(5)
    assert est.tree_ == "old" and est.n_classes_ == 3


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_fit_honours_instance_overrides(cls):
    est = cls()
    est._prep_data = lambda X, y: (X, y)
    est._grow_tree = lambda X, y: ("grown", X, y)
    est.fit("X", [1])
    assert est.tree_ == ("grown", "X", [1])
