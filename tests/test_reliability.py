"""Reliability, each case in a fresh interpreter: threads with small stacks,
failed allocations, Ctrl-C during long fits and predicts, trees with cycles."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import tavrin

HERE = os.path.dirname(os.path.abspath(__file__))
# CI's sanitizer leg sets this to "short": fewer allocation points.
SHORT_SWEEP = os.environ.get("TAVRIN_FAULT_SWEEP") == "short"


def child_env():
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(tavrin.__file__)), HERE, env.get("PYTHONPATH", "")])
    return env


def run_child(code, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=child_env(), timeout=timeout)


def test_small_thread_stacks_end_in_a_result_or_recursion_error():
    result = run_child("""
        import threading
        import numpy as np, pandas as pd, tavrin
        from ecosystem_support import chain_data, right_depth

        class StepTree(tavrin.BinaryClassificationTree):
            def _best_split(self, X, y):
                return super()._best_split(X, y)

        X, y = chain_data(300)
        def fit(cls, size):
            try:
                est = cls()
                est.fit(X, y)
                print(size, cls.__name__, "depth", right_depth(est.tree_))
            except RecursionError:
                print(size, cls.__name__, "RecursionError")

        for size in (256, 512, 1024):
            for cls in (tavrin.BinaryClassificationTree, StepTree):
                threading.stack_size(size * 1024)
                t = threading.Thread(target=fit, args=(cls, size))
                t.start()
                t.join()
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    assert len(lines) == 6, result.stdout
    assert all(line.endswith(("depth 299", "RecursionError")) for line in lines), lines
    # Growth in C++ nests nothing: it fits in every one of these threads.
    assert sum(line.endswith("depth 299") for line in lines) >= 3, lines


# Per operation: about how many allocations it makes (measured on 3.11), and
# the stride of the sample taken of them (points 2, 2 + stride, ...). The
# fit's stride is small, as the points that matter there are few. A failure
# lists its points: `python3 tests/fault_sweep.py fit K K+1 1` runs one.
SWEEPS = {"import": (1200, 10), "fit": (4800, 4), "predict": (3600, 16), "pickle": (400, 3),
          # TreeClassifier (predict: predict, predict_proba, apply and decision_path).
          "classifier-fit": (5400, 8), "classifier-predict": (12300, 16),
          "classifier-pickle": (310, 3), "classifier-unpickle": (310, 3)}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif(int(np.__version__.split(".")[0]) < 2,
                    reason="numpy 1.x itself crashes on some failed allocations (in NpyIter_AdvancedNew)")
@pytest.mark.parametrize("op", sorted(SWEEPS))
def test_a_failed_allocation_leaves_later_fits_whole_and_fast(op):
    pytest.importorskip("_testcapi")
    if op.startswith("classifier-"):
        pytest.importorskip("sklearn")
    stop, stride = SWEEPS[op]
    stride *= 10 if SHORT_SWEEP else 1
    result = subprocess.run([sys.executable, os.path.join(HERE, "fault_sweep.py"), op, "2",
                             str(stop), str(stride)],
                            capture_output=True, text=True, env=child_env(), timeout=600)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]


def interrupted(code, delay):
    """Runs code that prints "ready" (and maybe numbers) before its long
    step; sends SIGINT `delay` seconds later (or delay(*numbers)). The long
    step alone would outlast the timeout."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        ready = child.stdout.readline().split()
        assert ready[:1] == ["ready"], child.stderr.read()[-2000:]
        time.sleep(delay(*map(float, ready[1:])) if callable(delay) else delay)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err[-2000:]
    return out.split()


def test_ctrl_c_stops_a_long_fit_and_leaves_its_attributes():
    out = interrupted("""
        import numpy as np, pandas as pd, tavrin
        rng = np.random.default_rng(0)
        X = pd.DataFrame(rng.random((1_000_000, 20)))
        y = pd.Series(rng.integers(0, 2, len(X)))
        est = tavrin.BinaryClassificationTree()
        est.fit(X.iloc[:20], y.iloc[:20])
        before = est.tree_, est.feature_value_maps
        print("ready", flush=True)
        try:
            est.fit(X, y)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", (est.tree_, est.feature_value_maps) == before)
    """, delay=1.0)
    assert out == ["interrupted", "True"]


def test_ctrl_c_stops_a_long_tree_classifier_fit():
    pytest.importorskip("sklearn")
    # A whole fit first, for the time it takes here; the one interrupted a
    # fifth of that time in must stop long before its end (a handler run
    # only once growth has finished would not).
    out = interrupted("""
        import time
        import numpy as np, tavrin_tools
        rng = np.random.default_rng(0)
        X = rng.random((300_000, 20))
        y = rng.integers(0, 2, len(X))
        def fit():
            start = time.process_time()
            try:
                tavrin_tools.TreeClassifier(n_jobs=1).fit(X, y)
                return "finished", time.process_time() - start
            except KeyboardInterrupt:
                return "interrupted", time.process_time() - start
        _, whole = fit()
        print("ready", whole, flush=True)
        how, part = fit()
        print(how, part < whole / 2)
    """, delay=lambda whole: whole / 5)
    assert out == ["interrupted", "True"]


@pytest.mark.parametrize("kind", ["float64", "object"])
def test_ctrl_c_stops_a_long_predict(kind):
    # Every row walks a chain of 20,000 splits.
    out = interrupted(f"""
        import numpy as np, pandas as pd, tavrin
        from ecosystem_support import chain
        est = tavrin.BinaryClassificationTree()
        est.fit(pd.DataFrame({{"x": [1.0, 2.0]}}), pd.Series([0, 1]))
        est.tree_ = chain(20_000)
        X = pd.DataFrame({{"x": np.full(400_000, 1e9)}}).astype("{kind}")
        assert est.predict(X.iloc[:3]) == ["b"] * 3
        print("ready", flush=True)
        try:
            est.predict_proba(X)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
    """, delay=0.5)
    assert out == ["interrupted"]


def test_a_long_object_predict_lets_other_threads_run():
    # The signal comes from a Python thread: it is sent during the walk
    # only if the walk lets that thread run. A hundredth of the rows, walked
    # first, tells how long the whole walk would take.
    result = run_child("""
        import os, signal, threading, time
        import numpy as np, pandas as pd, tavrin
        from ecosystem_support import chain
        est = tavrin.BinaryClassificationTree()
        est.fit(pd.DataFrame({"x": [1.0, 2.0]}), pd.Series([0, 1]))
        est.tree_ = chain(20_000)
        X = pd.DataFrame({"x": np.full(400_000, 1e9)}).astype(object)
        start = time.perf_counter()
        est.predict_proba(X.iloc[:4_000])
        whole = 100 * (time.perf_counter() - start)
        def interrupt():
            time.sleep(0.3)
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        start = time.perf_counter()
        try:
            est.predict_proba(X)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - start < whole / 2)
    """)
    assert result.stdout.split() == ["interrupted", "True"], result.stderr[-2000:]


@pytest.mark.parametrize("step", [False, True], ids=["fast", "step"])
def test_a_tree_with_a_cycle_stays_interruptible(step):
    out = interrupted(f"""
        import numpy as np, pandas as pd, tavrin
        class StepTree(tavrin.BinaryClassificationTree):
            def _predict(self, inputs, ptype="class"):
                return super()._predict(inputs, ptype)
        est = (StepTree if {step} else tavrin.BinaryClassificationTree)()
        est.fit(pd.DataFrame({{"x": [1.0, 2.0, 3.0, 4.0]}}), pd.Series([0, 0, 1, 1]))
        est.tree_.right = est.tree_
        print("ready", flush=True)
        try:
            est.predict(pd.DataFrame({{"x": [9.0]}}))
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
    """, delay=0.3)
    assert out == ["interrupted"]
