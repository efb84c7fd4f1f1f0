"""The client as one distributed fit sees it: every future the fit makes is
remembered (weakly), every wait for answers looks out for the workers that
hold the fit's rows, and at the end, however the fit ends, the fit's
futures still alive are released so the workers keep nothing of it.

A worker that holds rows runs every task over them (its tasks may run
nowhere else); once it leaves, those tasks wait for it forever. So waits
are short and repeated, and between them the scheduler is asked whether
every such worker is still there: when one is gone the fit raises
`WorkerLostError` naming it instead of waiting.

Tasks are submitted in batches: those submitted between two waits reach
the scheduler as one graph when the next wait begins. Each graph costs
the scheduler an update of its own, which is most of what a task of the
fit costs it. Where Dask takes graphs of its task objects (its task specs
and expressions), a batch is sent as such a graph, one layer per set of
worker restrictions and priority, with the tasks' order as their internal
priority; otherwise as delayed calls, which cost the client several times
as much to build.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import itertools
import uuid
import weakref
from typing import Any, Dict, List, Sequence

# Seconds between two looks at the cluster while answers are awaited.
_LOOK_EVERY = 1.0


class WorkerLostError(RuntimeError):
    """A worker holding rows of a distributed fit left the cluster."""


class Watch:
    """Stands in for the Client in the fit: submit, compute, wait, gather,
    who_has, run; a context manager that releases the fit's futures on exit
    and then undoes what the fit asked it to (at_exit)."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self._futures: "weakref.WeakValueDictionary[int, Any]" = weakref.WeakValueDictionary()
        self._holders: Dict[str, None] = {}  # pinned workers, in order of first use
        self._at_exit: List[Any] = []
        self._pending: List[Any] = []  # tasks submitted, not sent yet
        self._prefix = uuid.uuid4().hex  # of the keys of the fit's impure tasks, numbered
        self._numbers = itertools.count()
        self._graphs = _task_graphs(client)

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: Any) -> None:
        self._pending.clear()  # never sent: nothing to release on the workers
        self.release()
        for undo in reversed(self._at_exit):
            undo()

    def at_exit(self, undo: Any) -> None:
        """Calls `undo` on exit, once the futures are released."""
        self._at_exit.append(undo)

    def run(self, fn: Any, *args: Any, workers: List[str]) -> None:
        """client.run of fn(*args) on `workers`, for what only tunes them: a
        worker that cannot run it (gone, say) is passed over."""
        self._send()
        present = self.client.scheduler_info()["workers"]
        try:
            self.client.run(fn, *args, workers=[w for w in workers if w in present])
        except Exception:  # noqa: BLE001 (nothing of the fit depends on it)
            pass

    def _kept(self, futures: Any) -> Any:
        for future in futures if isinstance(futures, list) else [futures]:
            self._futures[id(future)] = future
        return futures

    def submit(self, fn: Any, *args: Any, workers: Any = None, allow_other_workers: Any = None, priority: int = 0,
               pure: bool = True) -> Any:
        """client.submit, sent with the next batch (see _send); a task
        pinned to workers (no other allowed) makes them holders, whose loss
        ends the fit."""
        # Dask is imported where it is used: tavrin_tools imports this module without it.
        from dask.base import tokenize
        from dask.utils import funcname
        from distributed import Future

        if workers and allow_other_workers is False:
            self._holders.update(dict.fromkeys(workers))
        key = f"{funcname(fn)}-{tokenize(fn, *args) if pure else f'{self._prefix}-{next(self._numbers)}'}"
        if key in self.client.futures:  # the same pure task again
            return self._kept(Future(key, self.client))
        future: Any = Future(key, self.client)  # the client holds the key from now on, as submit does
        where: Dict[str, Any] = {"workers": tuple(workers)} if workers else {}
        if workers and allow_other_workers:
            where["allow_other_workers"] = True
        if priority:
            where["priority"] = priority
        self._pending.append((key, fn, args, tuple(where.items())))
        return self._kept(future)

    def _send(self) -> None:
        """Sends the tasks submitted since the last batch as one graph, before
        a wait: the scheduler runs them as if submitted one by one. Their
        futures are those submit returned: the graph's own are dropped."""
        if not self._pending:
            return
        pending, self._pending = self._pending, []
        if self._graphs is None:
            from dask.base import annotate
            from dask.delayed import delayed

            calls = []
            for key, fn, args, where in pending:
                with annotate(**_annotations(where)):
                    calls.append(delayed(fn, pure=False)(*args, dask_key_name=key))
            self.client.compute(calls, optimize_graph=False)
            return
        task, parse, layer, graph, expr, spans = self._graphs
        layers: Dict[Any, Dict[str, Any]] = {}
        for key, fn, args, where in pending:
            layers.setdefault(where, {})[key] = task(key, fn, *map(parse, args))
        names = [f"{self._prefix}-layer-{next(self._numbers)}" for _ in layers]
        hlg = graph({name: layer(tasks, annotations=_annotations(where))
                     for name, (where, tasks) in zip(names, layers.items())}, {name: set() for name in names})
        keys = [key for key, *_ in pending]
        self.client._graph_to_futures(expr(dsk=hlg, output_keys=keys), keys,
                                      span_metadata=spans(collections=[{"type": "Future"}]),
                                      internal_priority={key: i for i, key in enumerate(keys)})

    def compute(self, collections: List[Any]) -> List[Any]:
        self._send()
        return self._kept(list(self.client.compute(collections)))  # type: ignore[no-any-return]

    def wait(self, futures: Sequence[Any]) -> None:
        """Returns once every future is finished (or failed)."""
        from distributed import wait

        self._send()
        while True:
            try:
                wait(list(futures), timeout=_LOOK_EVERY)  # type: ignore[no-untyped-call]
                return
            except (TimeoutError, asyncio.TimeoutError):
                self.check()

    def gather(self, futures: Any) -> Any:
        """client.gather. The gather runs on the client's loop while its
        answer is awaited here in short waits: results lost with their
        worker between being computed and fetched would be awaited forever."""
        self._send()
        pending = asyncio.run_coroutine_threadsafe(self.client._gather(futures), self.client.loop.asyncio_loop)
        while True:
            try:
                return pending.result(timeout=_LOOK_EVERY)
            except concurrent.futures.TimeoutError:
                self.check()
            except Exception:
                self.check()  # a failure caused by a lost holder is told as such
                raise

    def who_has(self, futures: List[Any]) -> Dict[Any, List[str]]:
        """Where each future's result is, once each has a place (a result lost
        with its worker is first computed again)."""
        while True:
            self.wait(futures)
            for future in futures:
                if future.status == "error":
                    raise future.exception()
            where: Dict[Any, List[str]] = self.client.who_has(futures)
            if all(where.get(f.key) for f in futures):
                return where

    def check(self) -> None:
        """Raises WorkerLostError if a holder is no longer in the cluster."""
        if not self._holders:
            return
        present = self.client.scheduler_info()["workers"]
        for address in self._holders:
            if address not in present:
                raise WorkerLostError(
                    f"the worker {address} left the cluster during the fit, and with it the rows of the fit "
                    "it held; the fit was abandoned and its state released: fit again (on the remaining "
                    "workers, or once the cluster is whole)")

    def release(self) -> None:
        """Lets go of every future of the fit still alive: the scheduler then
        forgets the fit's tasks and the workers drop their results."""
        for future in list(self._futures.values()):
            future.release()
        self._futures.clear()


def _annotations(where: Any) -> Dict[str, Any]:
    """A task's annotations as Dask takes them, from the hashable form a
    batch groups its tasks by (submit's `where`)."""
    return {name: list(value) if name == "workers" else value for name, value in where}


def _task_graphs(client: Any) -> Any:
    """What a batch is built of as a graph of Dask's own task objects: the
    task, the parser of its arguments (futures made references), the layer
    and graph, the expression and the span's metadata; None where this Dask
    or distributed lacks them (a batch then goes as delayed calls)."""
    import inspect

    try:
        from dask._expr import HLGExpr
        from dask._task_spec import Task, parse_input
        from dask.highlevelgraph import HighLevelGraph, MaterializedLayer
        from distributed.spans import SpanMetadata

        parameters = inspect.signature(client._graph_to_futures).parameters
    except (ImportError, AttributeError, TypeError, ValueError):
        return None
    if not {"expr", "span_metadata", "internal_priority"} <= set(parameters):
        return None
    return Task, parse_input, MaterializedLayer, HighLevelGraph, HLGExpr, SpanMetadata
