"""How soon Ctrl-C stops long work: a thread sends SIGINT to this process
after a delay, and the time from the signal to KeyboardInterrupt is
printed, for

- BinaryClassificationTree.fit on 1,000,000 x 20 float64 (the fast path),
- TreeClassifier.fit on the same values (one thread),
- predict_proba of 400,000 rows that each walk a chain of 20,000 splits,
  on a float64 and on an object frame.

    PYTHONPATH=build:src python benchmarks/interrupt_latency.py
"""
import os
import signal
import threading
import time

import numpy as np
import pandas as pd

import tavrin
import tavrin_tools


def chain(depth):
    """A hand-built tree of `depth` numeric splits, each with a leaf on the left."""
    root = node = tavrin.Node("b", np.float64(0.5))
    for level in range(depth):
        node.feature_index, node.threshold, node.node_type = 0, float(level), "numeric"
        node.left = tavrin.Node("a", np.float64(1.0))
        node.right = tavrin.Node("b", np.float64(0.75))
        node = node.right
    return root


def latency(work, delay):
    """Milliseconds from SIGINT, sent `delay` seconds into `work`, to the
    KeyboardInterrupt; None when the work finished first."""
    sent = {}

    def interrupt():
        time.sleep(delay)
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    try:
        work()
    except KeyboardInterrupt:
        return 1e3 * (time.perf_counter() - sent["at"])
    finally:
        thread.join()
    return None


def main():
    rng = np.random.default_rng(0)
    A = rng.random((1_000_000, 20))
    labels = rng.integers(0, 2, len(A))
    X, y = pd.DataFrame(A), pd.Series(labels)
    chained = tavrin.BinaryClassificationTree()
    chained.fit(pd.DataFrame({"x": [1.0, 2.0]}), pd.Series([0, 1]))
    chained.tree_ = chain(20_000)
    far = {kind: pd.DataFrame({"x": np.full(400_000, 1e9)}).astype(kind) for kind in ("float64", "object")}
    cases = [
        ("BinaryClassificationTree.fit 1M x 20", lambda: tavrin.BinaryClassificationTree().fit(X, y)),
        ("TreeClassifier.fit 1M x 20", lambda: tavrin_tools.TreeClassifier(n_jobs=1).fit(A, labels)),
        ("predict_proba, float64 frame", lambda: chained.predict_proba(far["float64"])),
        ("predict_proba, object frame", lambda: chained.predict_proba(far["object"])),
    ]
    for name, work in cases:
        times = [latency(work, delay) for delay in (0.3, 1.0, 2.0)]
        shown = ", ".join("finished" if t is None else f"{t:.1f} ms" for t in times)
        print(f"{name:40s} signal at 0.3, 1, 2 s: {shown}", flush=True)


if __name__ == "__main__":
    main()
