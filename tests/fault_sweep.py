"""Failed allocations, one per forked child: python3 fault_sweep.py OP FIRST STOP STRIDE.

OP is import, fit, predict or pickle (tavrin's estimator), or
classifier-fit, classifier-predict, classifier-pickle or classifier-unpickle
(tavrin_tools.TreeClassifier). Each child makes allocation number k fail
(k = FIRST, FIRST + STRIDE, ... below STOP) while it runs OP once, then,
with allocation working again, fits a new estimator, which must grow the
tree a child without a fault grows (tavrin's on the fast path); no child
may die. Prints one line per bad point and exits 1 if there is any."""
import importlib
import os
import pickle
import sys
import warnings

import _testcapi
import numpy as np
import pandas as pd

# Text in object arrays: pyarrow's string conversions do not survive every
# failed allocation (they crash), and are no part of what is tested here.
try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # deprecated where it is the default
        pd.set_option("future.infer_string", False)
except KeyError:  # pandas without the option (OptionError is a KeyError)
    pass

OP = sys.argv[1]
FIRST, STOP, STRIDE = (int(a) for a in sys.argv[2:5])

# Numeric and category columns, with equal category means (numpy's tie order).
X = pd.DataFrame({"x": np.arange(40, dtype=float) % 7, "c": pd.Categorical(list("abcdab" * 6 + "abcd"))})
y = pd.Series(np.arange(40) % 2)


def signature(root):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        out.append((type(node).__name__, node.node_type, node.feature_index, repr(node.threshold),
                    repr(node.predicted_class), repr(node.probability)))
        if node.left is not None:
            stack += [node.right, node.left]
    return repr(out)


def fresh_fit():
    import tavrin

    calls = [0]
    original = np.sum

    def counted(*args, **kwargs):  # step-by-step growth calls np.sum at every node
        calls[0] += 1
        return original(*args, **kwargs)

    np.sum = counted
    try:
        est = tavrin.BinaryClassificationTree()
        est.fit(X, y)
    finally:
        np.sum = original
    return signature(est.tree_) + (" step path" if calls[0] else "")


CLASSIFIER = OP.startswith("classifier-")

if CLASSIFIER:
    from tavrin_tools import TreeClassifier

    def fresh_fit():
        est = TreeClassifier(n_jobs=2).fit(X, y)
        arrays = est.tree_.to_dict()
        return repr(({k: v.tolist() if hasattr(v, "tolist") else v for k, v in arrays.items()},
                     est.predict_proba(X).tolist()))

    fitted = TreeClassifier(n_jobs=2).fit(X, y)
    blob = pickle.dumps(fitted)
elif OP != "import":
    import tavrin

    class StepTree(tavrin.BinaryClassificationTree):
        def _predict(self, inputs, ptype="class"):
            return super()._predict(inputs, ptype)

    fitted = StepTree()
    if OP != "fit":
        fitted.fit(X, y)
    else:
        # The module's one check of the interpreter's arithmetic runs at the
        # first plain predict as well: here, outside the faults.
        plain = tavrin.BinaryClassificationTree()
        plain.tree_, plain.feature_names = tavrin.Node("a", 1.0), X.columns
        plain.predict(X)


def operation():
    if OP == "classifier-fit":
        TreeClassifier(n_jobs=2).fit(X, y)
    elif OP == "classifier-predict":
        fitted.predict(X)
        fitted.predict_proba(X)
        fitted.apply(X)
        fitted.decision_path(X)
    elif OP == "classifier-pickle":
        pickle.dumps(fitted)
    elif OP == "classifier-unpickle":
        pickle.loads(blob)
    elif OP == "import":
        importlib.import_module("tavrin")
    elif OP == "fit":
        tavrin.BinaryClassificationTree().fit(X, y)
    elif OP == "predict":
        tavrin.BinaryClassificationTree.predict_proba(fitted, X)
        fitted.predict(X)
        fitted.predict_proba(X)
    else:
        pickle.loads(pickle.dumps(fitted))


def child(k):
    outcome = "ok"
    try:
        if k:
            _testcapi.set_nomemory(k, k + 1)
        try:
            operation()
        finally:
            _testcapi.remove_mem_hooks()
    except MemoryError:
        outcome = "MemoryError"
    except BaseException as e:  # noqa: BLE001 (any other error is reported)
        outcome = f"{type(e).__name__}: {e}"
    try:
        after = fresh_fit()
    except BaseException as e:  # noqa: BLE001
        after = f"next fit: {type(e).__name__}: {e}"
    return outcome, after


def in_child(k):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        code = 0
        try:
            os.write(w, repr(child(k)).encode())
        except BaseException:  # noqa: BLE001
            code = 3
        os._exit(code)
    os.close(w)
    chunks = []
    while True:
        chunk = os.read(r, 1 << 16)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    if status != 0 or not chunks:
        return None
    return eval(b"".join(chunks).decode())


reference = in_child(0)
assert reference is not None and reference[0] == "ok" and "step path" not in reference[1], reference
# numpy's own pickling of dtypes crashes at some failed allocations
# (arraydescr_reduce): a child that dies while pickling is counted, not failed.
DEATHS_ALLOWED = OP in ("pickle", "classifier-pickle")
bad = deaths = 0
for k in range(FIRST, STOP, STRIDE):
    result = in_child(k)
    if result is None and DEATHS_ALLOWED:
        deaths += 1
        continue
    if result is None:
        print(f"{OP} point {k}: the child died")
    elif result[1] != reference[1]:
        print(f"{OP} point {k}: {result[0]}; then {result[1][:300]}")
    else:
        continue
    bad += 1
print(f"{OP}: {len(range(FIRST, STOP, STRIDE))} points, {bad} bad, {deaths} children died")
sys.exit(1 if bad else 0)
