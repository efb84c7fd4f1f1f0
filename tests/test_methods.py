"""Method objects: attributes, binding of self, argument binding messages,
traceback entries, introspection."""
import gc
import inspect
import pydoc
import sys
import traceback
import weakref

import pytest

import tavrin

BCT = tavrin.BinaryClassificationTree
BCTPy = tavrin.BinaryClassificationTreePy

SIGNATURES = {
    "__init__": ["self", "max_depth"],
    "fit": ["self", "X", "y"],
    "predict": ["self", "X"],
    "predict_proba": ["self", "X"],
    "_prep_data": ["self", "X", "y"],
    "_get_dtype": ["self", "X", "d_type"],
    "_format_categorical": ["self", "X", "y", "idx"],
    "_format_feature": ["self", "X", "y", "idx"],
    "_best_split": ["self", "X", "y"],
    "_gini_loop": ["self", "classes", "num_left", "num_right", "best_gini", "thresholds",
                   "best_idx", "idx", "split_type", "best_split_type", "best_thr"],
    "_grow_tree": ["self", "X", "y", "depth"],
    "_predict": ["self", "inputs", "ptype"],
}


def all_methods():
    yield tavrin.Node, "__init__", vars(tavrin.Node)["__init__"]
    for cls in (BCT, BCTPy):
        for name in SIGNATURES:
            if name in vars(cls):
                yield cls, name, vars(cls)[name]


@pytest.mark.parametrize("cls,name,f", list(all_methods()), ids=lambda v: getattr(v, "__qualname__", v))
def test_function_attributes(cls, name, f):
    assert f.__name__ == name
    assert f.__qualname__ == f"{cls.__name__}.{name}"
    assert f.__module__ == "tavrin"
    assert f.__doc__ is None
    assert f.__kwdefaults__ is None
    assert callable(f) and getattr(cls, name) is f
    params = list(inspect.signature(f).parameters)
    if cls is tavrin.Node:
        assert params == ["self", "predicted_class", "probability", "node_type"]
    else:
        assert params == SIGNATURES[name]
    assert repr(f).startswith(f"<function {cls.__name__}.{name} at 0x")


def test_signatures_show_defaults_and_drop_self_when_bound():
    assert str(inspect.signature(BCT.__init__)) == "(self, max_depth=inf)"
    assert str(inspect.signature(BCT._grow_tree)) == "(self, X, y, depth=0)"
    assert str(inspect.signature(BCT()._predict)) == "(inputs, ptype='class')"
    assert str(inspect.signature(tavrin.Node)) == "(predicted_class, probability, node_type='leaf')"


def test_help_shows_parameters():
    text = pydoc.render_doc(BCT, renderer=pydoc.plaintext)
    assert "fit(self, X, y)" in text
    assert "__init__(self, max_depth=inf)" in text
    assert "_grow_tree(self, X, y, depth=0)" in pydoc.render_doc(BCT._grow_tree, renderer=pydoc.plaintext)
    assert "_gini_loop(self, classes, num_left" in pydoc.render_doc(BCT._gini_loop, renderer=pydoc.plaintext)


def test_descriptor_binding():
    est = BCT()
    bound = est.fit
    assert bound.__self__ is est and bound.__func__ is BCT.fit
    assert BCT.__dict__["fit"].__get__(None, BCT) is BCT.fit
    assert BCT.__dict__["fit"].__get__(est, BCT).__self__ is est
    # Not a data descriptor: an instance attribute shadows it.
    est.fit = 5
    assert est.fit == 5


def test_function_attributes_are_settable_like_a_functions():
    f = BCTPy._predict
    old = f.__defaults__
    try:
        f.__defaults__ = ("prob",)
        assert f.__defaults__ == ("prob",)
        with pytest.raises(TypeError):
            f.__defaults__ = ["x"]
        f.__defaults__ = None
        with pytest.raises(TypeError, match=r"_predict\(\) takes exactly 3 positional arguments \(2 given\)"):
            f(BCTPy(), [1])
    finally:
        f.__defaults__ = old
    f.custom = 1
    assert f.__dict__["custom"] == 1
    del f.custom
    with pytest.raises(TypeError):
        f.__name__ = 3
    assert weakref.ref(f)() is f


BINDING_CASES = [
    # (callable, args, kwargs, message)
    (BCT.fit, (), {}, "fit() takes exactly 3 positional arguments (0 given)"),
    (BCT().fit, (1,), {}, "fit() takes exactly 3 positional arguments (2 given)"),
    (BCT().fit, (1, 2, 3), {}, "fit() takes exactly 3 positional arguments (4 given)"),
    (BCT().fit, (), {"X": 1}, "fit() takes exactly 3 positional arguments (2 given)"),
    (BCT().fit, (), {"y": 1}, "fit() takes exactly 3 positional arguments (1 given)"),
    (BCT.fit, (), {"X": 1, "y": 2}, "fit() takes exactly 3 positional arguments (0 given)"),
    (BCT().fit, (1, 2), {"z": 3}, "fit() got an unexpected keyword argument 'z'"),
    (BCT().fit, (1,), {"X": 2, "y": 3}, "fit() got multiple values for keyword argument 'X'"),
    (BCT().fit, (1,), {"self": 2, "y": 3}, "fit() got multiple values for keyword argument 'self'"),
    (BCT, (1, 2), {}, "__init__() takes at most 2 positional arguments (3 given)"),
    (BCT.__init__, (), {}, "__init__() takes at least 1 positional argument (0 given)"),
    (BCT().__init__, (), {"depth": 1}, "__init__() got an unexpected keyword argument 'depth'"),
    (tavrin.Node, (), {}, "__init__() takes at least 3 positional arguments (1 given)"),
    (tavrin.Node, (1,), {}, "__init__() takes at least 3 positional arguments (2 given)"),
    (tavrin.Node, (1, 2, 3, 4), {}, "__init__() takes at most 4 positional arguments (5 given)"),
    (tavrin.Node, (), {"probability": 1}, "__init__() takes at least 3 positional arguments (1 given)"),
    (tavrin.Node, (1,), {"node_type": 1}, "__init__() takes at least 3 positional arguments (2 given)"),
    (BCT()._grow_tree, (1,), {"depth": 3}, "_grow_tree() takes at least 3 positional arguments (2 given)"),
    (BCT()._grow_tree, (1, 2, 3, 4), {}, "_grow_tree() takes at most 4 positional arguments (5 given)"),
    (BCT()._predict, (), {}, "_predict() takes at least 2 positional arguments (1 given)"),
    (BCT()._gini_loop, (1,) * 9, {}, "_gini_loop() takes exactly 11 positional arguments (10 given)"),
    (BCT()._gini_loop, (1,) * 9, {"bogus": 1, "best_thr": 2},
     "_gini_loop() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("f,args,kwargs,message", BINDING_CASES)
def test_binding_messages(f, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    assert str(info.value) == message


def test_non_string_keyword_reaching_the_method():
    # The interpreter refuses non-string keywords on its own call paths; the
    # type's tp_call receives them when called through the slot wrapper.
    call = type(BCT.fit).__call__
    with pytest.raises(TypeError, match=r"^fit\(\) keywords must be strings$"):
        call(BCT.fit, BCT(), 1, 2, **{1: 2})
    with pytest.raises(TypeError, match=r"^fit\(\) keywords must be strings$"):
        call(BCT.fit, BCT(), 1, **{"y": 2, 1: 2})
    # ... and a keyword naming a positional argument wins over a later bad key.
    with pytest.raises(TypeError, match="multiple values for keyword argument 'X'"):
        call(BCT.fit, BCT(), 1, **{"X": 2, "y": 3, 5: 1})


def test_keywords_bind_by_value_not_identity():
    name = "".join(["max_", "depth"])  # not the interned string
    est = BCT(**{name: 7})
    assert est.max_depth == 7
    est2 = BCT.__new__(BCT)
    BCT.__init__(self=est2, max_depth=3)
    assert est2.max_depth == 3


def test_every_error_gets_a_traceback_entry_named_after_the_method():
    for cls in (BCT, BCTPy):
        with pytest.raises(TypeError) as info:
            cls().fit(1)
        names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
        assert names[-1] == f"tavrin.{cls.__name__}.fit"
        with pytest.raises(TypeError) as info:
            cls().fit(None, None)  # set(None) fails inside the body
        names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
        assert names[-1] == f"tavrin.{cls.__name__}.fit"
    with pytest.raises(AttributeError) as info:
        tavrin.Node.__init__(1, 2, 3)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "tavrin.Node.__init__"


def test_nested_method_errors_carry_one_entry_per_method():
    class Failing(BCT):
        def _grow_tree(self, X, y, depth=0):
            raise KeyError("deep")

        def _prep_data(self, X, y):
            return X, y

    with pytest.raises(KeyError) as info:
        Failing().fit([1], [2])
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["tavrin.BinaryClassificationTree.fit", "_grow_tree"]


def test_functions_report_what_they_hold_to_the_collector():
    f = BCT.__init__
    assert f.__defaults__ in gc.get_referents(f)

    class Holder:
        pass

    holder = Holder()
    holder.f = f
    f.__dict__["cycle"] = holder
    try:
        assert f.__dict__ in gc.get_referents(f)
    finally:
        del f.__dict__["cycle"]
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def test_recursion_through_methods_raises_recursion_error():
    class Deep(BCT):
        def _prep_data(self, X, y):
            return self.fit(X, y)

    with pytest.raises(RecursionError):
        Deep().fit([1], [1])


def test_no_reference_leaks_on_success_and_failure():
    class Cheap(BCT):
        def _prep_data(self, X, y):
            return (X, y)

        def _grow_tree(self, X, y, depth=0):
            return None

    X, y, est = object(), [1, 2, 1], Cheap()
    objects = [X, y, est, Cheap._prep_data]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(200):
        est.fit(X, y)
        est.fit(X=X, y=y)
        with pytest.raises(TypeError):
            est.fit(X, y, 3)
        with pytest.raises(TypeError):
            est.fit(X, y, **{"z": 1})
    del est.tree_, est.n_classes_
    assert [sys.getrefcount(o) for o in objects] == before


def test_deep_nesting_ends_in_recursion_error_even_with_a_huge_limit():
    import subprocess
    import textwrap
    import os

    code = textwrap.dedent("""
        import sys, threading, tavrin
        sys.setrecursionlimit(10**7)

        class Deep(tavrin.BinaryClassificationTree):
            def _prep_data(self, X, y):
                return self.fit(X, y)

        def run():
            try:
                Deep().fit([1], [1])
            except RecursionError as e:
                print("RecursionError:", e)

        run()
        threading.stack_size(1 << 20)  # a small thread stack
        t = threading.Thread(target=run)
        t.start()
        t.join()
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(tavrin.__file__), env.get("PYTHONPATH", "")])
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.count("RecursionError:") == 2
