"""Column typing and data preparation: _get_dtype, _prep_data and what fit
leaves behind before tree growth."""

import contextlib
import builtins
import gc
import sys
import threading
import warnings

import numpy as np
import pandas as pd
import pytest

import tavrin
from features_support import CLASSES, cls, no_warnings, tb_names  # noqa: F401

WORDS = ["numeric", "string", "categorical", "date", "bool"]
PREP_ATTRIBUTES = [
    "feature_names", "classes", "numeric_features", "string_features",
    "categorical_features", "date_features", "bool_features", "feature_map",
    "rev_feature_map", "taget_map", "rev_taget_map", "feature_value_maps",
]



def _pandas_warns_on_is_categorical_dtype():
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        pd.api.types.is_categorical_dtype(pd.Series([1]))
    return any(issubclass(w.category, DeprecationWarning) for w in seen)


PANDAS_WARNS = _pandas_warns_on_is_categorical_dtype()


def caller_warning():
    """The caller's own deprecated call warns, on pandas versions that warn."""
    return pytest.raises(DeprecationWarning) if PANDAS_WARNS else contextlib.nullcontext()


def mixed_frame():
    return pd.DataFrame({
        "num": [1.5, 2.5, np.nan, 4.0],
        "int": [1, 2, 3, 4],
        "txt": ["x", "y", "x", "z"],
        "cat": pd.Categorical(["a", "b", "a", "c"]),
        "flag": [True, False, True, True],
        "when": pd.to_datetime(["2020-01-01", "2020-01-02", "2020-01-03", "2020-01-04"]),
    })


def kinds(est, X):
    return {w: est._get_dtype(X, w) for w in WORDS}


# --- _get_dtype -------------------------------------------------------------

def test_kinds_of_a_mixed_frame(cls, no_warnings):
    got = kinds(cls(), mixed_frame())
    assert got["numeric"] == ["num", "int", "flag"]
    assert got["categorical"] == ["cat"]
    assert got["date"] == ["when"]
    assert got["bool"] == ["flag"]
    # What pandas calls a string column: the text column, and a categorical
    # of strings (both pandas 2 and 3 say so).
    assert got["string"] == ["txt", "cat"]


def test_labels_in_column_order_not_positions(cls):
    X = pd.DataFrame({3: [1.0], "b": ["s"], 0: [2], (1, 2): [3.0]})
    assert cls()._get_dtype(X, "numeric") == [3, 0, (1, 2)]
    assert cls()._get_dtype(d_type="string", X=X) == ["b"]


def test_kind_word_errors(cls):
    with pytest.raises(KeyError) as info:
        cls()._get_dtype(mixed_frame(), "nope")
    assert info.value.args == ("nope",)
    assert "tavrin.%s._get_dtype" % cls.__name__ in tb_names(info)
    with pytest.raises(TypeError, match="unhashable"):
        cls()._get_dtype(mixed_frame(), ["numeric"])
    # No column: the table is never consulted.
    empty = pd.DataFrame(index=range(3))
    for word in WORDS + ["nope", ["unhashable"]]:
        assert cls()._get_dtype(empty, word) == []


class RecordingFrame:
    """A frame stand-in: columns and label indexing, with a call log."""

    def __init__(self, columns):
        self.columns = columns
        self.taken = []

    def __getitem__(self, label):
        self.taken.append(label)
        return pd.Series([1.0, 2.0])


def test_unknown_word_fails_before_the_first_column_is_taken(cls):
    X = RecordingFrame(["a", "b"])
    with pytest.raises(KeyError):
        cls()._get_dtype(X, "Numeric")
    assert X.taken == []
    assert cls()._get_dtype(X, "numeric") == ["a", "b"]
    assert X.taken == ["a", "b"]


def test_duplicate_labels_are_tested_once_per_occurrence(cls, monkeypatch):
    X = pd.DataFrame([[1.0, "s", 2.0]], columns=["a", "b", "a"])
    seen = []

    def spy(col):
        seen.append(type(col))
        return True

    monkeypatch.setattr(tavrin, "is_numeric_dtype", spy)
    assert cls()._get_dtype(X, "numeric") == ["a", "b", "a"]
    assert seen == [pd.DataFrame, pd.Series, pd.DataFrame]
    monkeypatch.undo()
    # pandas' own predicates accept no kind for a two-column selection.
    assert kinds(cls(), X) == {"numeric": [], "string": ["b"], "categorical": [],
                               "date": [], "bool": []}


def test_predicates_are_read_from_the_module_at_each_call(cls, monkeypatch):
    est = cls()
    X = mixed_frame()
    monkeypatch.setattr(tavrin, "is_bool_dtype", lambda col: col.name == "when")
    assert est._get_dtype(X, "bool") == ["when"]
    monkeypatch.undo()
    assert est._get_dtype(X, "bool") == ["flag"]
    # A name gone from the module falls back to builtins, then NameError.
    monkeypatch.delattr(tavrin, "is_datetime64_any_dtype")
    with pytest.raises(NameError, match="name 'is_datetime64_any_dtype' is not defined"):
        est._get_dtype(X, "numeric")
    monkeypatch.setattr(builtins, "is_datetime64_any_dtype", lambda col: True, raising=False)
    assert est._get_dtype(X, "date") == list(X.columns)


def test_truth_of_the_predicate_result(cls, monkeypatch):
    class NoTruth:
        def __bool__(self):
            raise RuntimeError("no truth")

    monkeypatch.setattr(tavrin, "is_numeric_dtype", lambda col: np.bool_(col.name == "int"))
    assert cls()._get_dtype(mixed_frame(), "numeric") == ["int"]
    monkeypatch.setattr(tavrin, "is_numeric_dtype", lambda col: NoTruth())
    with pytest.raises(RuntimeError, match="no truth"):
        cls()._get_dtype(mixed_frame(), "numeric")


def test_errors_pass_through_unchanged(cls):
    with pytest.raises(AttributeError):
        cls()._get_dtype([1, 2], "numeric")
    with pytest.raises(KeyError):
        cls()._get_dtype(RecordingFrameMissing(), "numeric")


class RecordingFrameMissing:
    columns = ["gone"]

    def __getitem__(self, label):
        raise KeyError(label)


# --- warnings -----------------------------------------------------------------

def categorical_frame():
    return pd.DataFrame({"c": pd.Categorical(["a", "b"]), "d": pd.Categorical([1, 2])})


def test_no_warning_reaches_the_caller(cls, no_warnings):
    est = cls()
    assert est._get_dtype(categorical_frame(), "categorical") == ["c", "d"]
    est._prep_data(categorical_frame(), pd.Series([0, 1]))


def test_filters_are_left_as_they_were(cls):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        before = list(warnings.filters)
        cls()._get_dtype(categorical_frame(), "categorical")
        assert warnings.filters == before
        # The caller's own use of the deprecated predicate still warns: no
        # filter is left behind, and what was silenced is not remembered.
        with caller_warning():
            pd.api.types.is_categorical_dtype(categorical_frame()["c"])
        with pytest.raises(RuntimeError):
            cls()._get_dtype(Exploding(), "categorical")
        assert warnings.filters == before
        with caller_warning():
            pd.api.types.is_categorical_dtype(categorical_frame()["c"])


class Exploding:
    columns = ["c", "x"]

    def __getitem__(self, label):
        if label == "x":
            raise RuntimeError("boom")
        return categorical_frame()[label]


def test_the_callers_warning_registry_is_kept(cls):
    # The caller's once-per-location warnings stay shown once: the module
    # makes the interpreter forget no more of what it has shown than pandas'
    # own calls do (some pandas code paths reset the registry by themselves,
    # e.g. with pyarrow installed).
    def mine():
        warnings.warn("mine", UserWarning)

    est, X = cls(), categorical_frame()
    # With pyarrow installed, pandas' first label lookup on these column
    # labels builds an index engine inside a catch_warnings block of its own,
    # which does reset the registries: look the labels up once beforehand.
    for label in X.columns:
        X[label]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        mine()
        est._get_dtype(X, "categorical")
        mine()
    assert [str(w.message) for w in caught] == ["mine"]


def call(f, *args):
    # One line for both the module's calls and the caller's own, so that a
    # warning silenced for the first would be remembered for the second if
    # silencing left anything behind.
    return f(*args)


def test_a_silenced_warning_is_not_remembered(cls):
    est = cls()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        call(est._get_dtype, categorical_frame(), "categorical")
        with caller_warning():
            call(pd.api.types.is_categorical_dtype, categorical_frame()["c"])


def test_other_warnings_still_reach_the_caller(cls, monkeypatch):
    def noisy(col):
        warnings.warn("from the caller's own predicate", UserWarning)
        return False

    monkeypatch.setattr(tavrin, "is_categorical_dtype", noisy)
    with pytest.warns(UserWarning, match="caller's own predicate"):
        cls()._get_dtype(categorical_frame(), "categorical")


def test_quiet_calls_from_several_threads(cls):
    # Warnings are errors for every thread here: a warning that slipped
    # through while another thread took the filter out would fail a worker.
    errors = []
    start = threading.Barrier(4)

    def work():
        try:
            start.wait()
            for _ in range(40):
                assert cls()._get_dtype(categorical_frame(), "categorical") == ["c", "d"]
        except BaseException as exc:  # handed to the main thread
            errors.append(exc)

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        before = list(warnings.filters)
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert warnings.filters == before
        with caller_warning():
            pd.api.types.is_categorical_dtype(categorical_frame()["c"])


# --- _prep_data -----------------------------------------------------------------

def test_schema_of_a_mixed_frame(cls, no_warnings):
    est = cls()
    X = mixed_frame()
    y = pd.Series(["no", "yes", "no", "yes"], index=[10, 30, 20, 40])
    values, codes = est._prep_data(X, y)
    assert list(vars(est)) == ["max_depth"] + PREP_ATTRIBUTES
    assert est.feature_names is X.columns
    assert list(est.classes) == ["no", "yes"]
    assert est.numeric_features == ["num", "int", "flag"]
    assert est.categorical_features == ["cat"]
    assert est.date_features == ["when"] and est.bool_features == ["flag"]
    assert est.feature_map == {"num": 0, "int": 1, "txt": 2, "cat": 3, "flag": 4, "when": 5}
    assert est.rev_feature_map == {v: k for k, v in est.feature_map.items()}
    assert est.taget_map == {"no": 0, "yes": 1} and est.rev_taget_map == {0: "no", 1: "yes"}
    assert est.feature_value_maps == {}
    assert type(values) is np.ndarray and values.dtype == object and values.shape == (4, 6)
    for j, label in enumerate(X.columns):
        assert list(values[:, j]) == list(X[label].values) or label == "num"
    assert np.isnan(values[2, 0])
    assert codes.tolist() == [0, 1, 0, 1] and list(codes.index) == [10, 30, 20, 40]


@pytest.mark.parametrize("target, classes, codes", [
    (["no", "yes", "no"], ["no", "yes"], [0, 1, 0]),
    ([5, 2, 5], [2, 5], [1, 0, 1]),
    ([7, 7, 7], [7], [0, 0, 0]),
    ([True, False, True], [False, True], [1, 0, 1]),
])
def test_target_encodings(cls, target, classes, codes):
    est = cls()
    _, got = est._prep_data(pd.DataFrame({"a": [1.0, 2.0, 3.0]}), pd.Series(target))
    assert list(est.classes) == classes
    assert est.taget_map == {c: i for i, c in enumerate(classes)}
    assert est.rev_taget_map == dict(enumerate(classes))
    assert got.tolist() == codes
    # Class codes are plain ints and the map keys are the elements of classes.
    assert all(type(v) is int for v in est.taget_map.values())
    assert [type(k) for k in est.taget_map] == [type(c) for c in est.classes]


def test_duplicate_labels_and_no_columns(cls):
    est = cls()
    X = pd.DataFrame([[1.0, 2.0, 3.0]], columns=["a", "b", "a"])
    values, _ = est._prep_data(X, pd.Series([1]))
    assert est.feature_map == {"a": 2, "b": 1}
    assert est.rev_feature_map == {2: "a", 1: "b"}
    assert values.shape == (1, 3)

    est = cls()
    values, codes = est._prep_data(pd.DataFrame(index=[4, 5]), pd.Series([1, 0], index=[4, 5]))
    for attr in ["numeric_features", "string_features", "categorical_features",
                 "date_features", "bool_features"]:
        assert getattr(est, attr) == []
    assert est.feature_map == {} and est.rev_feature_map == {}
    assert values.shape == (2, 0) and codes.tolist() == [1, 0]


def test_values_of_single_kind_frames(cls, no_warnings):
    est = cls()
    values, _ = est._prep_data(pd.DataFrame({"c": pd.Categorical([3, 1, 3])}), pd.Series([0, 1, 0]))
    assert values.dtype.kind == "i" and values[:, 0].tolist() == [3, 1, 3]
    assert est.categorical_features == ["c"] and est.numeric_features == []
    values, _ = est._prep_data(pd.DataFrame({"c": pd.Categorical([3, None, 1])}),
                               pd.Series([0, 1, 0]))
    assert values.dtype.kind == "f" and np.isnan(values[1, 0])
    values, _ = est._prep_data(pd.DataFrame({"s": ["u", "v"], "t": ["w", "z"]}),
                               pd.Series([0, 1]))
    assert type(values) is np.ndarray and values.dtype == object
    assert est.string_features == ["s", "t"]
    values, _ = est._prep_data(pd.DataFrame({"b": [True, False]}), pd.Series([0, 1]))
    assert values.dtype == bool
    assert est.numeric_features == ["b"] and est.bool_features == ["b"]


def test_each_step_reads_back_what_the_previous_stored(cls):
    class Sub(cls):
        def __setattr__(self, name, value):
            if name == "classes":
                value = value[::-1]
            if name == "feature_names":
                value = list(value) + ["extra"]
            object.__setattr__(self, name, value)

    est = Sub()
    _, codes = est._prep_data(pd.DataFrame({"a": [1.0, 2.0]}), pd.Series(["p", "q"]))
    assert est.feature_map == {"a": 0, "extra": 1}
    assert est.taget_map == {"q": 0, "p": 1}
    assert codes.tolist() == [1, 0]


def test_get_dtype_is_reached_through_self(cls):
    calls = []

    class Sub(cls):
        def _get_dtype(self, X, d_type):
            calls.append(d_type)
            return [d_type]

    est = Sub()
    est._prep_data(pd.DataFrame({"a": [1.0]}), pd.Series([1]))
    assert calls == WORDS
    assert est.bool_features == ["bool"] and est.numeric_features == ["numeric"]


def stored(est):
    return [a for a in PREP_ATTRIBUTES if a in vars(est)]


def test_a_failure_leaves_exactly_what_was_stored_before_it(cls):
    X = pd.DataFrame({"a": [1.0, 2.0]})
    est = cls()
    with pytest.raises(AttributeError) as info:
        est._prep_data(X, ["p", "q"])
    assert stored(est) == PREP_ATTRIBUTES
    assert "tavrin.%s._prep_data" % cls.__name__ in tb_names(info)

    est = cls()
    with pytest.raises(TypeError):
        est._prep_data(X, pd.Series(["p", 1], dtype=object))
    assert stored(est) == ["feature_names"]

    class Failing(cls):
        def _get_dtype(self, X, d_type):
            if d_type == "categorical":
                raise LookupError("no categories")
            return []

    est = Failing()
    with pytest.raises(LookupError):
        est._prep_data(X, pd.Series([1, 0]))
    assert stored(est) == PREP_ATTRIBUTES[:4]

    # A second call replaces all twelve; the encodings start empty again.
    est = cls()
    est._prep_data(X, pd.Series([1, 0]))
    est.feature_value_maps[0] = "old"
    est._prep_data(pd.DataFrame({"z": ["s", "t"]}), pd.Series(["x", "x"]))
    assert est.feature_value_maps == {} and est.feature_map == {"z": 0}
    assert list(est.classes) == ["x"] and est.string_features == ["z"]


def test_globals_and_builtins(cls, monkeypatch):
    seen = []

    class SpyNumpy:
        def __getattr__(self, name):
            return getattr(np, name)

        def unique(self, y):
            seen.append("unique")
            return np.unique(y)

    real_zip = builtins.zip

    def spy_zip(*args):
        # The module's code has no frame of its own: a call from it would
        # come straight from this test. pandas' own calls are not counted.
        if sys._getframe(1).f_code.co_filename == __file__:
            seen.append("zip")
        return real_zip(*args)

    monkeypatch.setattr(tavrin, "np", SpyNumpy())
    est = cls()
    X, y = pd.DataFrame({"a": [1.0]}), pd.Series([1])
    builtins.zip = spy_zip
    try:
        est._prep_data(X, y)
    finally:
        builtins.zip = real_zip
    assert seen == ["unique"] and est.feature_map == {"a": 0}


def test_date_and_string_columns_are_accepted(cls):
    est = cls()
    X = mixed_frame()[["when", "txt"]]
    values, _ = est._prep_data(X, pd.Series([0, 1, 0, 1]))
    assert est.date_features == ["when"] and est.string_features == ["txt"]
    assert values.shape == (4, 2)


def test_missing_target_class_gives_a_nan_code(cls):
    est = cls()
    _, codes = est._prep_data(pd.DataFrame({"a": [1.0, 2.0, 3.0]}), pd.Series([1.0, np.nan, 1.0]))
    # np.unique keeps NaN as a class of its own; pandas maps it to its code.
    assert len(est.classes) == 2 and np.isnan(est.classes[1])
    assert codes.tolist() == [0, 1, 0]


# --- fit, up to growth ------------------------------------------------------------

def test_fit_stores_the_schema_before_growth(cls, no_warnings):
    est = cls()
    y = pd.Series(["a", "b", "a", "a"], index=[3, 1, 2, 0])
    # The text column is refused by the root's split search, after preparation.
    with pytest.raises(ValueError, match="only numeric or categorical"):
        est.fit(mixed_frame(), y)
    assert list(vars(est)) == ["max_depth", "n_classes_"] + PREP_ATTRIBUTES
    assert est.n_classes_ == 2 and "tree_" not in vars(est)
    assert est.categorical_features == ["cat"]


def test_fit_hands_the_prepared_data_to_growth(cls):
    got = []

    class Sub(cls):
        def _grow_tree(self, X, y, depth=0):
            got.append((X, y, depth))
            return "root"

    est = Sub()
    X = mixed_frame()
    y = pd.Series([1, 0, 1, 1], index=[9, 8, 7, 6])
    assert est.fit(X, y) is None
    (values, codes, depth), = got
    assert type(values) is np.ndarray and values.shape == (4, 6)
    assert codes.tolist() == [1, 0, 1, 1] and list(codes.index) == [9, 8, 7, 6]
    assert depth == 0 and est.tree_ == "root"


# --- references ---------------------------------------------------------------------

def test_no_reference_is_lost_or_kept(cls):
    est = cls()
    X = mixed_frame()
    y = pd.Series([1, 0, 1, 1])
    word = "categorical"
    for _ in range(3):  # warm caches first
        est._prep_data(X, y)
    # Garbage of earlier tests that refers to the same interned word must not
    # be collected between the two counts.
    gc.collect()
    counts = [sys.getrefcount(o) for o in (est, X, y, word, X.columns)]
    for _ in range(20):
        est._prep_data(X, y)
        est._get_dtype(X, word)
        with pytest.raises(KeyError):
            est._get_dtype(X, "nope")
        with pytest.raises(AttributeError):
            est._prep_data(X, [1])
    est._prep_data(X, y)
    assert [sys.getrefcount(o) for o in (est, X, y, word, X.columns)] == counts
