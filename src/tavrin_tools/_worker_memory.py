"""A worker's freed memory during a distributed fit.

Dask's nanny starts its workers with glibc's malloc thresholds fixed low
(MALLOC_TRIM_THRESHOLD_=65536), so that a worker hands freed memory back
to the system at once. A fit's steps free and allocate arrays of the same
sizes level after level; handed back, each is faulted in and zeroed again,
which cost a fifth of the workers' time on the benchmark. While a fit
runs on a worker whose environment fixes the thresholds, they are raised
(freed memory is kept for the next step, blocks up to glibc's largest
threshold come from the heap); once the last fit there ends they are set
back to the environment's values, and the freed memory is handed back
(malloc_trim). A worker with glibc's own sliding thresholds (none fixed)
is left as it is: those already rise with the blocks freed.
"""
from __future__ import annotations

import ctypes
import os
from typing import Any, Dict, Optional, Set, Tuple

_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_GLIBC_DEFAULT = 128 * 1024  # both thresholds, when fixed without a value of their own
_KEPT = 1 << 30  # the trim threshold during a fit
_MAPPED = 32 << 20  # the mmap threshold during a fit: glibc's largest on 64-bit

# The environment's names of what fixes the thresholds, and the tunables behind them.
_FIXING = {"MALLOC_TRIM_THRESHOLD_": "trim_threshold", "MALLOC_MMAP_THRESHOLD_": "mmap_threshold",
           "MALLOC_TOP_PAD_": "top_pad", "MALLOC_MMAP_MAX_": "mmap_max"}

# The fits running on this worker that raised the thresholds.
_fits: Set[str] = set()


def _libc() -> Any:
    try:
        lib = ctypes.CDLL(None)
        return lib if hasattr(lib, "mallopt") and hasattr(lib, "malloc_trim") else None
    except OSError:
        return None


def fixed_thresholds(environ: Any = os.environ) -> Optional[Tuple[int, int]]:
    """The (trim, mmap) thresholds the environment fixes, or None where it
    fixes none (or says something this does not read)."""
    tunables: Dict[str, str] = {}
    for item in environ.get("GLIBC_TUNABLES", "").split(":"):
        name, _, value = item.partition("=")
        if name.startswith("glibc.malloc."):
            tunables[name[len("glibc.malloc."):]] = value
    given = {tunable: environ[name] for name, tunable in _FIXING.items() if name in environ}
    given.update({name: value for name, value in tunables.items() if name in _FIXING.values()})
    if not given:
        return None
    try:
        return (int(given.get("trim_threshold", _GLIBC_DEFAULT)), int(given.get("mmap_threshold", _GLIBC_DEFAULT)))
    except ValueError:
        return None


def keep_freed(fit: str, libc: Any = None) -> bool:
    """Raises this worker's thresholds for the fit `fit` (see the module);
    whether they are raised while it runs."""
    libc = libc or _libc()
    if libc is None or fixed_thresholds() is None:
        return False
    if not _fits:
        if not (libc.mallopt(_M_TRIM_THRESHOLD, _KEPT) and libc.mallopt(_M_MMAP_THRESHOLD, _MAPPED)):
            _set_back(libc)
            return False
    _fits.add(fit)
    return True


def hand_back(fit: str, libc: Any = None) -> None:
    """The fit `fit` has ended here: once no other fit runs, the thresholds
    are the environment's again and the freed memory goes back."""
    if fit not in _fits:
        return
    _fits.discard(fit)
    if not _fits:
        _set_back(libc or _libc())


def _set_back(libc: Any) -> None:
    fixed = fixed_thresholds()
    if libc is None or fixed is None:
        return
    libc.mallopt(_M_TRIM_THRESHOLD, fixed[0])
    libc.mallopt(_M_MMAP_THRESHOLD, fixed[1])
    libc.malloc_trim(0)
