"""Fitted estimators through pickle, copy.deepcopy and joblib, and flat
pickling of trees deeper than the recursion limit allows to pickle."""
import copy
import io
import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import tavrin
from tavrin_tools import disable_flat_pickling, enable_flat_pickling
from tavrin_tools.pickling import flatten_tree, rebuild_tree

from ecosystem_support import CLASSES, chain, chain_data, fitted, mixed_data, right_depth
from ecosystem_support import class_namespaces  # noqa: F401 (autouse fixture)
from tree_compare import assert_same_tree, assert_same_value_maps, same_value

joblib = pytest.importorskip("joblib")

SCHEMA = ["max_depth", "n_classes_", "numeric_features", "string_features", "categorical_features",
          "date_features", "bool_features", "feature_map", "rev_feature_map", "taget_map",
          "rev_taget_map"]


def joblib_round_trip(obj):
    buffer = io.BytesIO()
    joblib.dump(obj, buffer)
    buffer.seek(0)
    return joblib.load(buffer)


ROUND_TRIPS = {f"pickle-{p}": (lambda obj, p=p: pickle.loads(pickle.dumps(obj, protocol=p)))
               for p in range(pickle.HIGHEST_PROTOCOL + 1)}
ROUND_TRIPS["pure-python-pickle"] = lambda obj: pickle._loads(pickle._dumps(obj))
ROUND_TRIPS["deepcopy"] = copy.deepcopy
ROUND_TRIPS["joblib"] = joblib_round_trip


@pytest.fixture(params=[False, True], ids=["default", "flat"])
def flat(request):
    if request.param:
        enable_flat_pickling()
    yield request.param
    disable_flat_pickling()


def assert_same_estimator(got, want):
    assert type(got) is type(want)
    assert list(vars(got)) == list(vars(want))
    for name in SCHEMA:
        g, w = getattr(got, name), getattr(want, name)
        assert type(g) is type(w) and g == w, name
        if isinstance(w, dict):
            assert [type(k) for k in g] == [type(k) for k in w], name
    assert got.feature_names.equals(want.feature_names)
    assert type(got.feature_names) is type(want.feature_names)
    assert got.feature_names.dtype == want.feature_names.dtype
    assert same_value(got.classes, want.classes)
    assert_same_value_maps(got.feature_value_maps, want.feature_value_maps)
    assert_same_tree(got.tree_, want.tree_)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("how", ROUND_TRIPS)
def test_fitted_estimators_round_trip(cls, how, flat):
    X, y = mixed_data()
    est = fitted(cls, X, y, max_depth=6)
    assert est.tree_.left is not None and est.categorical_features == ["colour"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        back = ROUND_TRIPS[how](est)
    assert back is not est and back.tree_ is not est.tree_
    assert_same_estimator(back, est)
    X_new, _ = mixed_data(seed=11)
    assert back.predict(X_new) == est.predict(X_new)
    assert back.predict_proba(X_new) == est.predict_proba(X_new)
    # The copy is a working estimator of its own: refitting one leaves the other.
    back.fit(X_new.iloc[:20], pd.Series(["u", "v"] * 10))
    assert est.classes.tolist() == ["no", "yes"]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_unfitted_and_integer_target_estimators_round_trip(cls, flat):
    blank = pickle.loads(pickle.dumps(cls(4)))
    assert type(blank) is cls and vars(blank) == {"max_depth": 4}
    X, _ = mixed_data()
    y = pd.Series(np.where(X["count"] > 4, 7, 2))
    est = fitted(cls, X, y)
    back = joblib_round_trip(est)
    assert_same_estimator(back, est)
    assert [type(v) for v in back.predict(X)] == [type(v) for v in est.predict(X)]


def test_pickling_adds_only_cpythons_slot_names_cache():
    # Not the module's doing: CPython caches the slot names of any plain
    # class there the first time one of its instances is pickled.
    X, y = mixed_data()
    for cls in CLASSES:
        names = list(vars(cls))
        pickle.dumps(fitted(cls, X, y), protocol=2)
        assert list(vars(cls)) == names + ["__slotnames__"]
        assert "__slotnames__" in vars(tavrin.Node)


def test_a_pickle_loads_in_a_fresh_interpreter(tmp_path):
    # The classes are found by name: nothing but the installed module is needed.
    X, y = mixed_data()
    est = fitted(tavrin.BinaryClassificationTree, X, y)
    (tmp_path / "est.pkl").write_bytes(pickle.dumps(est))
    X.to_pickle(tmp_path / "X.pkl")
    code = ("import pickle, sys, pandas as pd\n"
            "est = pickle.load(open(sys.argv[1], 'rb'))\n"
            "print(repr(est.predict(pd.read_pickle(sys.argv[2]))))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(tavrin.__file__)), os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-W", "error", "-c", code, str(tmp_path / "est.pkl"),
                             str(tmp_path / "X.pkl")], capture_output=True, text=True, env=env,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr(est.predict(X))


def test_default_pickling_reaches_the_documented_depths():
    # The README promises these depths at the default recursion limit.
    assert sys.getrecursionlimit() >= 1000
    tree = chain(120)
    for how in ("pickle-5", "deepcopy", "joblib"):
        assert_same_tree(ROUND_TRIPS[how](tree), tree)


@pytest.mark.parametrize("how", ["pickle-2", "pickle-5", "pure-python-pickle", "deepcopy", "joblib"])
def test_flat_pickling_has_no_depth_limit(how, flat):
    tree = chain(3000)
    if not flat:
        # Newer interpreters measure the C stack instead of counting levels.
        if sys.version_info < (3, 12):
            with pytest.raises(RecursionError):
                ROUND_TRIPS[how](tree)
        return
    back = ROUND_TRIPS[how](tree)
    assert right_depth(back) == 3000
    assert_same_tree_iteratively(back, tree)


def assert_same_tree_iteratively(got, want):
    stack = [(got, want)]
    while stack:
        g, w = stack.pop()
        assert list(vars(g)) == list(vars(w))
        for attr in ("predicted_class", "probability", "node_type", "feature_index", "threshold"):
            assert same_value(getattr(g, attr), getattr(w, attr)), attr
        assert (g.left is None) == (w.left is None)
        if w.left is not None:
            stack += [(g.left, w.left), (g.right, w.right)]


def test_a_deep_fitted_tree_predicts_the_same_after_flat_pickling():
    X, y = chain_data(400)
    est = fitted(tavrin.BinaryClassificationTree, X, y)
    assert right_depth(est.tree_) == 399
    enable_flat_pickling()
    try:
        for how in ("pickle-5", "deepcopy", "joblib"):
            back = ROUND_TRIPS[how](est)
            assert back.predict(X) == est.predict(X) == y.tolist()
    finally:
        disable_flat_pickling()


def test_flat_records_keep_order_extras_types_and_sharing():
    Node = tavrin.Node
    root = chain(2)
    root.note = {"why": "extra attribute"}
    root.right.threshold = np.array(["u", "v"], dtype=object)
    root.right.node_type = "categorical"
    root.right.right.left = root  # a cycle
    root.right.left = root.left  # a node reached twice
    records = flatten_tree(root)
    assert len(records) == 4
    keys, values, links = records[0]
    assert keys == ("predicted_class", "feature_index", "threshold", "left", "right",
                    "node_type", "probability", "note")
    assert links == ((3, 1), (4, 2)) and values[3] is None and values[7] is root.note
    back = rebuild_tree(pickle.loads(pickle.dumps(records)))
    assert type(back) is Node and list(vars(back)) == list(keys)
    assert back.right.right.left is back
    assert back.right.left is back.left
    assert back.note == root.note
    assert same_value(back.right.threshold, root.right.threshold)
    # Break the cycles now: the collector would otherwise free them in the
    # middle of some later test that counts references.
    root.right.right.left = back.right.right.left = None


def test_flat_pickling_spares_subclasses_and_can_be_turned_off():
    class Sub(tavrin.Node):
        pass

    enable_flat_pickling()
    try:
        assert b"rebuild_tree" in pickle.dumps(chain(2))
        # Subclasses are pickled as usual, by reference to their own class.
        sub = copy.deepcopy(chain(2, Sub))
        assert type(sub) is Sub and type(sub.right.right) is Sub
    finally:
        disable_flat_pickling()
    assert b"rebuild_tree" not in pickle.dumps(chain(2))
    disable_flat_pickling()  # a second call is harmless
