"""The client as one distributed fit sees it: every future the fit makes is
remembered (weakly), every wait for answers looks out for the workers that
hold the fit's rows, and at the end, however the fit ends, the fit's
futures still alive are released so the workers keep nothing of it.

A worker that holds rows runs every task over them (its tasks may run
nowhere else); once it leaves, those tasks wait for it forever. So waits
are short and repeated, and between them the scheduler is asked whether
every such worker is still there: when one is gone the fit raises
`WorkerLostError` naming it instead of waiting.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
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

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.release()
        for undo in reversed(self._at_exit):
            undo()

    def at_exit(self, undo: Any) -> None:
        """Calls `undo` on exit, once the futures are released."""
        self._at_exit.append(undo)

    def run(self, fn: Any, *args: Any, workers: List[str]) -> None:
        """client.run of fn(*args) on `workers`, for what only tunes them: a
        worker that cannot run it (gone, say) is passed over."""
        present = self.client.scheduler_info()["workers"]
        try:
            self.client.run(fn, *args, workers=[w for w in workers if w in present])
        except Exception:  # noqa: BLE001 (nothing of the fit depends on it)
            pass

    def _kept(self, futures: Any) -> Any:
        for future in futures if isinstance(futures, list) else [futures]:
            self._futures[id(future)] = future
        return futures

    def submit(self, fn: Any, *args: Any, **kwargs: Any) -> Any:
        """client.submit; a task pinned to workers (no other allowed) makes
        them holders, whose loss ends the fit."""
        if kwargs.get("workers") and kwargs.get("allow_other_workers") is False:
            self._holders.update(dict.fromkeys(kwargs["workers"]))
        return self._kept(self.client.submit(fn, *args, **kwargs))

    def compute(self, collections: List[Any]) -> List[Any]:
        return self._kept(list(self.client.compute(collections)))  # type: ignore[no-any-return]

    def wait(self, futures: Sequence[Any]) -> None:
        """Returns once every future is finished (or failed)."""
        from distributed import wait

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
