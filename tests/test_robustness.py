"""Any argument of any type, to any method, ends in a Python exception or a
result: never a crash. Each call runs in this process, so a crash fails the
whole run."""
import math
import traceback

import numpy as np
import pandas as pd
from hypothesis import given, settings, strategies as st

import tavrin

BCT = tavrin.BinaryClassificationTree
BCTPy = tavrin.BinaryClassificationTreePy


class Evil:
    """Raises from every protocol the module might touch."""

    def __eq__(self, other):
        raise RuntimeError("eq")

    def __lt__(self, other):
        raise RuntimeError("lt")

    def __hash__(self):
        raise RuntimeError("hash")

    def __bool__(self):
        raise RuntimeError("bool")

    def __len__(self):
        raise RuntimeError("len")

    def __iter__(self):
        raise RuntimeError("iter")

    def __getitem__(self, key):
        raise RuntimeError("getitem")

    def __getattr__(self, name):
        raise RuntimeError(name)

    def __float__(self):
        raise RuntimeError("float")

    def __index__(self):
        raise RuntimeError("index")


class BadIter:
    """Iterates forever or yields odd things, never raising by itself."""

    def __init__(self, n):
        self.n = n

    def __iter__(self):
        return iter(range(self.n))

    def __len__(self):
        return -1 if self.n > 3 else self.n


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2**62, max_value=2**200),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=5), st.binary(max_size=5),
    st.sampled_from([math.inf, -math.inf, math.nan, -999, -999.0, 0, 1, 2, "class", "prob",
                     "numeric", "categorical", "leaf", "bool", "date", "string"]),
    st.builds(Evil), st.builds(BadIter, st.integers(0, 6)), st.just(object()),
    st.sampled_from([np.int64(3), np.float64("nan"), np.bool_(True), np.float32(1.5)]),
)

dtypes = st.sampled_from(["int64", "int32", "float64", "float32", "bool", "uint8", "object",
                          "complex128", "datetime64[ns]"])


@st.composite
def arrays(draw):
    dtype = draw(dtypes)
    shape = draw(st.sampled_from([(), (0,), (3,), (4,), (2, 3), (3, 1), (1, 2, 2)]))
    n = int(np.prod(shape)) if shape else 1
    values = draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n))
    a = np.array(values, dtype="int64").astype(dtype).reshape(shape)
    if draw(st.booleans()) and a.ndim:
        a = a[::-1]
    if draw(st.booleans()):
        a.flags.writeable = False
    return a


@st.composite
def frames(draw):
    n = draw(st.integers(0, 6))
    kinds = draw(st.lists(st.sampled_from(["f", "i", "b", "c", "s", "d", "o"]), max_size=3))
    data = {}
    for j, kind in enumerate(kinds):
        if kind == "f":
            col = pd.Series(draw(st.lists(st.floats(allow_nan=True, width=32), min_size=n, max_size=n)), dtype="float64")
        elif kind == "i":
            col = pd.Series(draw(st.lists(st.integers(-5, 5), min_size=n, max_size=n)), dtype="int64")
        elif kind == "b":
            col = pd.Series(draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype="bool")
        elif kind == "c":
            col = pd.Series(draw(st.lists(st.sampled_from(["a", "b", None]), min_size=n, max_size=n)), dtype="category")
        elif kind == "s":
            col = pd.Series(draw(st.lists(st.sampled_from(["x", "y"]), min_size=n, max_size=n)))
        elif kind == "d":
            col = pd.Series(pd.to_datetime(draw(st.lists(st.integers(0, 10**9), min_size=n, max_size=n)), unit="s"))
        else:
            col = pd.Series(draw(st.lists(st.one_of(st.integers(), st.text(max_size=2)), min_size=n, max_size=n)), dtype=object)
        data[draw(st.sampled_from([f"c{j}", j, "dup"]))] = col.values
    return pd.DataFrame(data, index=range(n)) if data else pd.DataFrame(index=range(n))


@st.composite
def series(draw):
    n = draw(st.integers(0, 6))
    values = draw(st.lists(st.one_of(st.integers(0, 2), st.sampled_from(["a", "b"])), min_size=n, max_size=n))
    index = draw(st.sampled_from([None, list(range(10, 10 + n))]))
    return pd.Series(values, index=index, dtype=object if draw(st.booleans()) else None)


anything = st.one_of(scalars, arrays(), frames(), series(),
                     st.lists(scalars, max_size=4), st.tuples(scalars, scalars),
                     st.dictionaries(st.text(max_size=3), scalars, max_size=3))


def methods():
    for cls in (tavrin.Node, BCT, BCTPy):
        for name, value in vars(cls).items():
            if callable(value) and type(value).__module__ == "tavrin":
                yield cls, name, value


METHODS = list(methods())


def check_error_leaves_through(cls, name, error):
    """Every error leaving a method carries that method's traceback entry."""
    entries = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    assert f"tavrin.{cls.__name__}.{name}" in entries, (entries, error)
PARAM_NAMES = ["self", "X", "y", "idx", "depth", "inputs", "ptype", "max_depth", "classes",
               "num_left", "num_right", "best_gini", "thresholds", "best_idx", "split_type",
               "best_split_type", "best_thr", "d_type", "predicted_class", "probability",
               "node_type", "bogus"]


def instance_for(cls, draw):
    if cls is tavrin.Node:
        return tavrin.Node(1, 0.5)
    est = cls(draw(st.sampled_from([math.inf, 0, 1, 2, None, "x"])))
    if draw(st.booleans()):
        # a partly or fully made-up fitted state
        for attr, strategy in [("n_classes_", st.integers(-1, 3)), ("feature_names", st.just(pd.Index(["a", "b"]))),
                               ("feature_map", st.just({"a": 0, "b": 1})), ("rev_feature_map", st.just({0: "a", 1: "b"})),
                               ("numeric_features", st.just(["a"])), ("categorical_features", st.just(["b"])),
                               ("classes", st.just(np.array([0, 1]))), ("rev_taget_map", st.just({0: 0, 1: 1})),
                               ("feature_value_maps", st.just({})), ("tree_", st.just(tavrin.Node(0, 1.0)))]:
            if draw(st.booleans()):
                setattr(est, attr, draw(strategy))
    return est


@settings(max_examples=600)
@given(st.data())
def test_any_arguments_end_in_exception_or_result(data):
    cls, name, method = data.draw(st.sampled_from(METHODS))
    bound = data.draw(st.booleans())
    args = data.draw(st.lists(anything, max_size=12))
    kwargs = data.draw(st.dictionaries(st.sampled_from(PARAM_NAMES), anything, max_size=3))
    target = getattr(instance_for(cls, data.draw), name) if bound else method
    try:
        target(*args, **kwargs)
    except (Exception, RecursionError) as error:
        check_error_leaves_through(cls, name, error)


@settings(max_examples=200)
@given(st.data())
def test_plausible_arguments_end_in_exception_or_result(data):
    """Arguments of the right shape, so that calls get deep into the bodies."""
    cls, name, method = data.draw(st.sampled_from(METHODS))
    est = instance_for(cls, data.draw)
    X = data.draw(st.one_of(frames(), arrays()))
    y = data.draw(st.one_of(series(), arrays()))
    args = {
        "fit": (X, y), "_prep_data": (X, y), "predict": (X,), "predict_proba": (X,),
        "_get_dtype": (X, data.draw(st.sampled_from(["numeric", "string", "categorical", "date", "bool", "nope"]))),
        "_format_feature": (X, y, data.draw(st.integers(-2, 3))),
        "_format_categorical": (X, y, data.draw(st.integers(-2, 3))),
        "_best_split": (X, y), "_grow_tree": (X, y, data.draw(st.integers(-1, 3))),
        "_predict": (data.draw(st.one_of(arrays(), st.lists(scalars, max_size=3))), data.draw(scalars)),
        "__init__": (data.draw(scalars),) if cls is not tavrin.Node else (1, 0.5),
        "_gini_loop": tuple(data.draw(st.one_of(arrays(), scalars)) for _ in range(10)),
    }[name]
    try:
        getattr(est, name)(*args)
    except (Exception, RecursionError) as error:
        check_error_leaves_through(cls, name, error)
