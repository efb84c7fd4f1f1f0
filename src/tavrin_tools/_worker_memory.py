"""A worker's large allocations during a distributed fit.

Dask's nanny starts its workers with glibc's malloc thresholds fixed
(MALLOC_TRIM_THRESHOLD_=65536, which also fixes the mmap threshold at its
default of 128 KiB), so that each block of more than 128 KiB is mapped
when allocated and unmapped when freed. A fit's steps free and allocate
arrays of the same sizes level after level, so each was faulted in and
zeroed again: 640,000 page faults a fit on the benchmark, against about
160,000 with the threshold raised, which took a fifth off the workers'
CPU time. While a fit runs on a worker whose environment fixes the
thresholds, the mmap threshold is raised to 8 MiB (such blocks come from
the heap, where freed ones are used again; the trim threshold stays as
it is); once the last fit there ends it is set back to the environment's
value, and the free heap is handed back (malloc_trim). A worker with
glibc's own sliding thresholds (none fixed) is left as it is: those
already rise with the blocks freed.

While a fit runs on a worker, its routes keep the layout freed last for
the next (_learner.keep_spares); once the last fit there ends, those kept
go, and so do the layouts Dask frees after that.
"""
from __future__ import annotations

import ctypes
import os
from typing import Any, Dict, Optional, Set

from . import _learner

_M_MMAP_THRESHOLD = -3
_GLIBC_DEFAULT = 128 * 1024  # the mmap threshold, when fixed without a value of its own
# The mmap threshold during a fit: blocks up to this size come from the heap.
# Larger ones (a level's layout of the rows, say) are still mapped apart,
# which keeps the heap from holding their holes; at glibc's largest (32
# MiB) the fit was no faster and a worker's peak memory higher.
_MAPPED = 8 << 20

# The environment's names of what fixes the thresholds, and the tunables behind them.
_FIXING = {"MALLOC_TRIM_THRESHOLD_": "trim_threshold", "MALLOC_MMAP_THRESHOLD_": "mmap_threshold",
           "MALLOC_TOP_PAD_": "top_pad", "MALLOC_MMAP_MAX_": "mmap_max"}

# The fits running on this worker, and those of them that raised the threshold.
_running: Set[str] = set()
_fits: Set[str] = set()


def _libc() -> Any:
    try:
        lib = ctypes.CDLL(None)
        return lib if hasattr(lib, "mallopt") and hasattr(lib, "malloc_trim") else None
    except OSError:
        return None


def fixed_mmap_threshold(environ: Any = os.environ) -> Optional[int]:
    """The mmap threshold where the environment fixes the thresholds, or
    None where it fixes none (or says something this does not read)."""
    tunables: Dict[str, str] = {}
    for item in environ.get("GLIBC_TUNABLES", "").split(":"):
        name, _, value = item.partition("=")
        if name.startswith("glibc.malloc."):
            tunables[name[len("glibc.malloc."):]] = value
    given = {tunable: environ[name] for name, tunable in _FIXING.items() if name in environ}
    given.update({name: value for name, value in tunables.items() if name in _FIXING.values()})
    if not given or not all(value.isdigit() for value in given.values()):
        return None
    return int(given.get("mmap_threshold", _GLIBC_DEFAULT))


def keep_freed(fit: str, libc: Any = None) -> bool:
    """Raises this worker's mmap threshold for the fit `fit` (see the
    module); whether it is raised while the fit runs."""
    _running.add(fit)
    _learner.keep_spares(True)
    libc = libc or _libc()
    if libc is None or fixed_mmap_threshold() is None:
        return False
    if not _fits and not libc.mallopt(_M_MMAP_THRESHOLD, _MAPPED):
        return False
    _fits.add(fit)
    return True


def hand_back(fit: str, libc: Any = None) -> None:
    """The fit `fit` has ended here: the freed layouts kept for the next
    route go (see _learner.route) and, once no other fit runs, the
    threshold is the environment's again and the free heap goes back."""
    _running.discard(fit)
    if not _running:
        _learner.keep_spares(False)
    if fit not in _fits:
        return
    _fits.discard(fit)
    libc = libc or _libc()
    fixed = fixed_mmap_threshold()
    if not _fits and libc is not None and fixed is not None:
        libc.mallopt(_M_MMAP_THRESHOLD, fixed)
        libc.malloc_trim(0)
