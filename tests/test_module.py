"""Module start-up: names, classes, defaults, the import guards."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pandas.api.types as ptypes
import pytest

import tavrin

ESTIMATORS = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]
ESTIMATOR_METHODS = [
    "__init__", "fit", "predict", "predict_proba", "_prep_data", "_get_dtype",
    "_format_categorical", "_format_feature", "_best_split", "_gini_loop",
    "_grow_tree", "_predict",
]


def run_child(code, **env):
    """Runs code in a fresh interpreter that imports the same tavrin."""
    child_env = dict(os.environ, **env)
    child_env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(tavrin.__file__)), child_env.get("PYTHONPATH", "")]
    )
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=child_env, timeout=300,
    )


def test_module_names_in_binding_order():
    # In a fresh interpreter: other tests rebind module globals.
    result = run_child("""
        import tavrin
        print([k for k in vars(tavrin) if not k.startswith("__")])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr([
        "pd", "np", "is_datetime64_any_dtype", "is_bool_dtype", "is_categorical_dtype",
        "is_numeric_dtype", "is_object_dtype", "is_string_dtype",
        "Node", "BinaryClassificationTree", "BinaryClassificationTreePy",
    ])
    assert tavrin.pd is pd and tavrin.np is np
    for name in ["is_datetime64_any_dtype", "is_bool_dtype", "is_categorical_dtype",
                 "is_numeric_dtype", "is_object_dtype", "is_string_dtype"]:
        assert getattr(tavrin, name) is getattr(ptypes, name)
    assert vars(tavrin)["__builtins__"] is __builtins__ or vars(tavrin)["__builtins__"].__name__ == "builtins"


def test_docstring_shape():
    lines = tavrin.__doc__.split("\n")
    assert lines[0] == "" and lines[1] == "Created on Tue Jun 30 16:06:06 2020"
    assert lines[2] == "" and lines[3].strip() and lines[4] == "" and len(lines) == 5


def test_classes_are_plain_types_with_exact_namespaces():
    assert type(tavrin.Node) is type
    assert list(k for k in vars(tavrin.Node) if k not in ("__dict__", "__weakref__", "__doc__")) == [
        "__module__", "__init__"]
    for cls in ESTIMATORS:
        assert type(cls) is type and cls.__bases__ == (object,)
        assert cls.__module__ == "tavrin" and cls.__doc__ is None
        expected = [m for m in ESTIMATOR_METHODS
                    if cls is tavrin.BinaryClassificationTree or m != "_gini_loop"]
        names = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
        assert names == expected
    assert tavrin.BinaryClassificationTree.__qualname__ == "BinaryClassificationTree"
    assert not issubclass(tavrin.BinaryClassificationTreePy, tavrin.BinaryClassificationTree)
    assert not issubclass(tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy)
    assert not hasattr(tavrin.BinaryClassificationTreePy, "_gini_loop")
    # Each class has method objects of its own.
    for name in ESTIMATOR_METHODS:
        if name != "_gini_loop":
            assert vars(ESTIMATORS[0])[name] is not vars(ESTIMATORS[1])[name]


def test_defaults():
    a, b = ESTIMATORS
    inf_a = a.__init__.__defaults__[0]
    assert a.__init__.__defaults__ == (float("inf"),) and type(inf_a) is float
    assert b.__init__.__defaults__[0] == inf_a and b.__init__.__defaults__[0] is not inf_a
    assert a().max_depth is inf_a and a().max_depth is a().max_depth
    assert a.__init__.__kwdefaults__ is None
    assert a._grow_tree.__defaults__ == (0,) and type(a._grow_tree.__defaults__[0]) is int
    assert a._predict.__defaults__ == ("class",)
    assert tavrin.Node.__init__.__defaults__ == ("leaf",)
    assert a.fit.__defaults__ is None and a._gini_loop.__defaults__ is None


def test_reimport_returns_the_same_module_and_runs_nothing():
    before = dict(vars(tavrin))
    del sys.modules["tavrin"]
    try:
        import tavrin as again
        assert again is tavrin
        assert again.BinaryClassificationTree is before["BinaryClassificationTree"]
        assert dict(vars(again)) == before
    finally:
        sys.modules["tavrin"] = tavrin


def test_second_interpreter_is_refused():
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("no sub-interpreter test module in this build")
    result = run_child("""
        import _testcapi, tavrin
        code = "import tavrin"
        rc = _testcapi.run_in_subinterp(code)
        print("rc", rc)
        # the first interpreter keeps working
        print(tavrin.Node(1, 0.5).probability)
    """)
    assert result.returncode == 0, result.stderr
    assert "rc -1" in result.stdout and "0.5" in result.stdout
    assert ("ImportError: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stderr


def test_failed_import_is_retried_in_full():
    result = run_child("""
        import sys, traceback
        class HidePandas:
            def find_spec(self, name, path=None, target=None):
                if name == "pandas" or name.startswith("pandas."):
                    raise ModuleNotFoundError("No module named 'pandas'", name="pandas")
                return None
        hook = HidePandas()
        sys.meta_path.insert(0, hook)
        try:
            import tavrin
        except ModuleNotFoundError:
            tb = traceback.format_exc()
            print("first failed;", "init tavrin" in tb, "numpy" in sys.modules)
        sys.meta_path.remove(hook)
        import tavrin
        print("second:", sorted(k for k in vars(tavrin) if not k.startswith("__")))
        print(tavrin.BinaryClassificationTree().max_depth)
    """)
    assert result.returncode == 0, result.stderr
    assert "first failed; True False" in result.stdout
    assert "'BinaryClassificationTree'" in result.stdout and "inf" in result.stdout


def test_missing_predicate_fails_with_cannot_import_name():
    result = run_child("""
        import pandas.api.types as t
        del t.is_string_dtype
        try:
            import tavrin
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert result.returncode == 0, result.stderr
    assert "ImportError cannot import name is_string_dtype" in result.stdout
