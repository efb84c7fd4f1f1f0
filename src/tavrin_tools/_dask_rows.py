"""The distributed fit's side on the workers: the rows a worker holds for a
whole fit, and what it computes over them.

Each worker turns its partitions into the learner's column form once (the
same reading as an in-memory fit), gives every numeric value its bin, and
keeps the rows with their class codes, weights and the slot of the open
node each row is in (-1 once its node is finished). Every step of the
growth reads that state and returns a small answer (bin summaries, exact
value lists) or the state with new slots, so the rows never leave their
worker.
"""
from __future__ import annotations

import zlib
from typing import Any, Dict, List, Optional, Sequence, Tuple

from dask.sizeof import sizeof
import numpy as np
from sklearn.utils.validation import column_or_1d

from . import _learner
from ._direct import to_matrix
from ._search_params import on_grid
from ._sk_compat import check_array

# Counts (as pack_counts sends them), the lo and hi values asked for, spans.
Summary = Tuple[Any, np.ndarray, np.ndarray, Optional[np.ndarray]]
Lists = Tuple[np.ndarray, np.ndarray, np.ndarray]


class _Reader:
    """The little of an estimator that reading a matrix with known columns asks for."""

    def __init__(self, p: int) -> None:
        self.n_features_in_ = p


def read_part(X: Any, y: Any, weight: Any, p: int, max_bins: int, categorical: bool,
              categorical_features: Any = "from_dtype") -> Tuple[Any, ...]:
    """One partition as (float64 matrix, labels, weights or None, per column a
    sketch of its values for the bin edges, per column its categories or
    None). With `categorical`, category columns (those of
    `categorical_features`) are read as an in-memory fit reads them: coded
    in the sorted list of the categories they hold."""
    categories: List[Any] = [None] * p
    if len(X) == 0:
        Xf = np.empty((0, p), dtype=np.float64)
    else:
        Xf, found = to_matrix(X, categorical_features, None if categorical else categories, _Reader(p))
        Xf = np.ascontiguousarray(Xf)
        categories = list(found)
    labels = column_or_1d(check_array(y, allow_nan=False, ensure_2d=False, dtype=None, ensure_min_samples=0,
                                      input_name="y"))
    if len(labels) != len(Xf):
        raise ValueError(f"a partition of y has {len(labels)} rows where X's has {len(Xf)}: partition y like X")
    w = None
    if weight is not None:
        w = np.asarray(weight, dtype=np.float64).ravel()
        if len(w) != len(Xf):
            raise ValueError(f"a partition of sample_weight has {len(w)} rows where X's has {len(Xf)}: "
                             "partition it like X")
        if not np.all(np.isfinite(w)) or (w < 0).any():
            raise ValueError("sample_weight must hold finite values of 0 or more")
    return Xf, labels, w, [_sketch(Xf[:, j], max_bins) for j in range(p)], categories


# Values of a column sorted for its sketch: evenly spaced rows beyond this
# many per bin (the edges only change what travels, never the tree).
_SKETCH_PER_BIN = 64


def _sketch(column: np.ndarray, max_bins: int) -> np.ndarray:
    step = len(column) // (_SKETCH_PER_BIN * max_bins)
    values: Optional[np.ndarray] = np.unique(column[::step]) if step > 1 else None
    # A column of few distinct values is sketched whole: each its own bin.
    if values is None or np.count_nonzero(~np.isnan(values)) <= max_bins:
        values = np.unique(column)
    kept: np.ndarray = values[~np.isnan(values)]
    if len(kept) <= max_bins:
        return kept
    picked: np.ndarray = kept[np.linspace(0, len(kept) - 1, max_bins).round().astype(np.intp)]
    return picked


def labels_of(part: Tuple[Any, ...]) -> Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]:
    """The partition's distinct labels, their counts and, with sample
    weights, each label's largest weight."""
    y = np.asarray(part[1])
    if y.dtype.kind in "iu" and len(y) and int(y.max()) - int(y.min()) < max(1 << 16, len(y)):
        # Whole-number labels of a narrow range: counted, not sorted (the same answer).
        low, unsigned = y.min(), y.dtype.kind == "u"
        shift = (y - low if unsigned else y.astype(np.int64) - np.int64(low)).astype(np.intp)
        every = np.bincount(shift)
        present = np.flatnonzero(every)
        labels = present.astype(y.dtype) + low if unsigned else (present + np.int64(low)).astype(y.dtype)
        counts = every[present]
        inverse = (np.cumsum(every > 0) - 1)[shift]
    else:
        labels, inverse, counts = np.unique(y, return_inverse=True, return_counts=True)
    top = None
    if part[2] is not None:
        top = np.zeros(len(labels))
        np.maximum.at(top, inverse.ravel(), part[2])
    return labels, counts, top


def sketches_of(part: Tuple[Any, ...]) -> List[np.ndarray]:
    return part[3]  # type: ignore[no-any-return]


def edges_of(sketches: Sequence[np.ndarray], max_bins: int) -> np.ndarray:
    """At most max_bins - 1 cut values from the columns' sketches: bin j of a
    column holds the values from cut j - 1 (inclusive) to cut j."""
    values = np.unique(np.concatenate([np.asarray(s, dtype=np.float64) for s in sketches]))
    if len(values) > max_bins - 1:
        values = np.unique(values[np.linspace(0, len(values) - 1, max_bins - 1).round().astype(np.intp)])
    return values


class Held:
    """A worker's rows for the whole fit: the values (rows x features, in
    the rows' first order) and, laid out slot by slot (see _learner.lay_out),
    the rows of weight above zero of the open nodes: per position its bins,
    class code and weight, its row of `x` (`order`), and per slot where its
    positions start (`starts`). Each step reads a slot's bins, codes and
    weights in memory order. A route lays the rows out anew (a new Held);
    `edges`: per route so far, its edges.

    Made from rows in their first order: x, bins, codes, weight and the
    slot of each row (-1: none)."""

    def __init__(self, x: np.ndarray, bins: np.ndarray, codes: np.ndarray, weight: Optional[np.ndarray],
                 slot: np.ndarray, n_bins: int, n_classes: int, n_slots: int,
                 edges: Tuple[Any, ...] = ()) -> None:
        order = np.arange(len(x), dtype=np.int32)
        if n_slots == 1 and not slot.any() and (weight is None or (weight > 0).all()):
            # Every row in slot 0 (as a fit starts): laid out as they are.
            laid = (np.ascontiguousarray(bins, dtype=np.uint16), np.ascontiguousarray(codes, dtype=np.int64),
                    None if weight is None else np.ascontiguousarray(weight, dtype=np.float64), order,
                    np.array([0, len(x)], dtype=np.int64))
        else:
            laid = _learner.lay_out(bins, codes, weight, order, slot, n_slots)
        self._set(x, laid, n_bins, n_classes, edges)

    def _set(self, x: np.ndarray, laid: Tuple[Any, ...], n_bins: int, n_classes: int,
             edges: Tuple[Any, ...]) -> None:
        self.x = x
        self.bins, self.codes, self.weight, self.order, self.starts = laid
        # What list_runs keeps for run_values, by the first slot of its nodes:
        # it lives as long as these rows' layout (one round).
        self.listed: Dict[int, Any] = {}
        # The state of the rounds searched here (search_round), and the kept
        # summaries of those done (choose), by their first slot; the rows'
        # next layout (route) takes the kept ones as `parents`, for the
        # nodes' children.
        self.rounds: Dict[int, List[Any]] = {}
        self.kept: Dict[int, Any] = {}
        self.parents: Dict[int, Any] = {}
        # The bins' ranges (bin_ranges), where found with the bins.
        self.ranges: Optional[Tuple[np.ndarray, np.ndarray, np.ndarray]] = None
        self.n_bins, self.n_classes, self.edges = n_bins, n_classes, edges

    @classmethod
    def laid_out(cls, x: np.ndarray, laid: Tuple[Any, ...], n_bins: int, n_classes: int,
                 edges: Tuple[Any, ...]) -> "Held":
        """A Held of rows already laid out (as _learner.route gives them)."""
        held = cls.__new__(cls)
        held._set(x, laid, n_bins, n_classes, edges)
        return held

    def kernel_args(self) -> Tuple[Any, ...]:
        return self.x, self.bins, self.codes, self.weight, self.order, self.starts


def _held_bytes(held: Held) -> int:
    """What a Held weighs for the scheduler: its arrays. Without this Dask
    takes it for a small object, and would move a worker's rows to another
    worker for the sake of balancing a step over them."""
    arrays = (held.x, held.bins, held.codes, held.weight, held.order, held.starts)
    return sum(a.nbytes for a in arrays if a is not None)



def categories_of(part: Tuple[Any, ...]) -> List[Any]:
    return part[4]  # type: ignore[no-any-return]


def _recoded(part: Tuple[Any, ...], categories: List[Any]) -> np.ndarray:
    """The partition's matrix with its category codes in the global lists."""
    x = part[0].copy() if any(c is not None for c in categories) else part[0]
    for j, (here, every) in enumerate(zip(part[4], categories)):
        if every is None or here is None or not len(x):
            continue
        position = dict(zip(every.tolist(), range(len(every))))
        table = np.array([position[v] for v in here.tolist()] + [np.nan], dtype=np.float64)
        column = x[:, j]
        x[:, j] = table[np.where(np.isnan(column), len(here), column).astype(np.intp)]
    return x  # type: ignore[no-any-return]


def hold(classes: np.ndarray, class_weight: Optional[np.ndarray], edges: List[np.ndarray], categories: List[Any],
         n_bins: int, weighted: bool, grid: Optional[int], *parts: Any) -> Held:
    """The rows of this worker's partitions, binned and coded; a row's weight
    is its sample weight times its class's weight, on the fit's `grid` (see
    on_grid), as in memory. A category column's bin is its category's code
    in the global list `categories`."""
    p = len(edges)
    xs = [_recoded(part, categories) for part in parts] or [np.empty((0, p))]
    # One partition is kept as it is, not copied.
    x = np.ascontiguousarray(xs[0] if len(xs) == 1 else np.concatenate(xs), dtype=np.float64)
    labels = np.concatenate([part[1] for part in parts])
    codes = np.searchsorted(classes, labels).astype(np.int64)
    weight = np.concatenate([part[2] for part in parts]) if weighted else None
    if class_weight is not None:
        with np.errstate(over="ignore"):
            weight = (np.ones(len(codes)) if weight is None else weight) * class_weight[codes]
    if weight is not None and grid is not None:
        weight = on_grid(weight, grid)
    bins = np.empty(x.shape, dtype=np.uint16)
    for j in range(p):
        if categories[j] is not None:
            column = x[:, j]
            bins[:, j] = np.where(np.isnan(column), n_bins, np.nan_to_num(column))
    # The bins' ranges come with the bins, from the same pass over the values.
    ranges = _learner.bin_and_range(x, bins, [None if c is not None else e for e, c in zip(edges, categories)], n_bins,
                                    weight)
    held = Held(x, bins, codes, weight, np.zeros(len(x), dtype=np.int32), n_bins, len(classes), 1)
    held.ranges = ranges[0], ranges[1], ranges[2]
    return held


def root_counts(held: Held) -> Tuple[np.ndarray, int, float, float]:
    """(class weights, rows, their weight, the weight of every row) of the
    rows of weight above zero, as the learner counts the root."""
    if held.weight is None:  # every row weighs 1
        n = len(held.codes)
        return np.bincount(held.codes, minlength=held.n_classes).astype(np.float64), n, float(n), float(n)
    w = held.weight
    kept = w != 0.0
    counts = np.bincount(held.codes[kept], weights=w[kept], minlength=held.n_classes).astype(np.float64)
    return counts, int(kept.sum()), float(w[kept].sum()), float(w.sum())


def narrow(a: np.ndarray) -> np.ndarray:
    """A float64 array in the narrowest of uint8, uint16, uint32 and float32
    that holds each of its values exactly (itself where none does): what
    travels between workers. The learner's kernels read any of them as
    float64, and widen them back to the very same values."""
    if a.size == 0:
        return a
    if a.dtype.kind == "u":
        top = a.max()
        return next(a.astype(kind, copy=False) for kind in (np.uint8, np.uint16, np.uint32, np.uint64)
                    if top <= np.iinfo(kind).max)
    if a.min() >= 0.0 and np.array_equal(np.floor(a), a):  # whole numbers (no NaN, no infinity)
        top = a.max()
        for kind in (np.uint8, np.uint16, np.uint32):
            if top <= np.iinfo(kind).max:
                return a.astype(kind)
    with np.errstate(over="ignore"):
        single = a.astype(np.float32)
    return single if np.array_equal(single.astype(np.float64), a, equal_nan=True) else a


class Deflated:
    """A byte array deflated for the trip (zlib): the counts of deep nodes'
    bins are mostly 0 and small numbers."""

    def __init__(self, a: np.ndarray) -> None:
        self.shape, self.data = a.shape, zlib.compress(a.tobytes(), 1)

    def array(self) -> np.ndarray:
        return np.frombuffer(zlib.decompress(self.data), dtype=np.uint8).reshape(self.shape)


def _register_sizes() -> None:
    """What the fit's own objects weigh for the scheduler, which counts
    and balances what moves by these sizes."""
    register: Any = sizeof.register  # untyped in Dask
    register(Held)(_held_bytes)
    register(Deflated)(lambda d: len(d.data))
    register(Bins)(lambda b: sum(a.nbytes for a in (b.lo, b.hi, b.need_lo, b.need_hi, b.table)))


def _deflated(a: np.ndarray) -> Any:
    deflated = Deflated(a)
    return deflated if len(deflated.data) < 0.8 * a.nbytes else a


def pack_counts(a: np.ndarray, travels: bool = True) -> Any:
    """Whole-number counts as they travel: narrowed, or where few of them
    reach 255, as (bytes, positions of those that do, their values), which
    `wide` reads back to the very same values; bytes deflated where that
    pays and they `travel` (the merged counts stay where they are merged).
    Deep nodes' bins hold few rows, but one large bin would widen a whole
    array."""
    small = narrow(a)
    if small.dtype.itemsize == 1 and small.dtype.kind == "u":
        return _deflated(small) if travels else small
    if small.dtype.kind != "u":
        return small
    big = np.flatnonzero(a >= 255)
    index = np.min_scalar_type(max(a.size - 1, 0))
    values = narrow(a.ravel()[big])
    if len(big) * (index.itemsize + values.dtype.itemsize) >= a.size * (small.dtype.itemsize - 1):
        return small
    low = np.minimum(a, 255).astype(np.uint8)
    return _deflated(low) if travels else low, big.astype(index), values


def wide(a: Any) -> np.ndarray:
    """An array as narrow or pack_counts sent it, in float64."""
    if isinstance(a, Deflated):
        a = a.array()
    if isinstance(a, tuple):
        out: np.ndarray = wide(a[0])
        out.ravel()[a[1]] = a[2]
        return out
    return a.astype(np.float64, copy=False)  # type: ignore[no-any-return]


def bin_ranges(held: Held) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per feature and bin the smallest and largest value of the rows of
    weight above zero (+inf and -inf for an empty bin), and their number:
    those hold found, where it did."""
    if held.ranges is not None:
        return held.ranges
    lo, hi, rows = _learner.bin_ranges(*held.kernel_args(), held.n_bins, held.n_classes)
    return lo, hi, rows


def combined(combine: Any, last: Any, *results: Any) -> Any:
    """combine(*results) (the one result as it is), then last(...) of it
    where given: a task of a reduction (_dask_fit._reduce)."""
    out = results[0] if len(results) == 1 else combine(*results)
    return out if last is None else last(out)


def add_ranges(*parts: Tuple[np.ndarray, ...]) -> Tuple[np.ndarray, ...]:
    """The ranges of the rows of every part (bin_ranges' answers)."""
    lo, hi, rows = parts[0]
    for part in parts[1:]:
        lo, hi, rows = np.minimum(lo, part[0]), np.maximum(hi, part[1]), rows + part[2]
    return lo, hi, rows


# How many bins' rows, on average, bins merged into one may hold.
_MERGED = 8


class Bins:
    """What the fit knows of every bin from all the rows: its smallest and
    largest value (`lo`, `hi`, features x bins), and the bins whose values
    a node's summary carries (flat indices into features x bins).

    A node's values in a bin lie within the bin's: where the bin's largest
    value and the next non-empty bin's smallest are apart (values_apart),
    so are any node's values across that boundary, which is then a split
    whatever the node's values, and the bin's `hi` stands for the node's
    largest value in the search (its threshold is found when the rows
    move: route). The other boundaries, too close to tell, would need the
    node's own values, read at every summary: such neighbours are made one
    bin first (`table`, per feature each bin's new number; the values
    inside a bin are searched exactly where it may hold the best split),
    while the merged bin holds at most _MERGED times a feature's mean rows
    per bin. Only the boundaries still too close then need the node's own
    values: its largest in the bin below (`need_hi`) and its smallest in
    the bin above (`need_lo`)."""

    def __init__(self, lo: np.ndarray, hi: np.ndarray, rows: Optional[np.ndarray] = None) -> None:
        p, nb = lo.shape
        self.table = np.tile(np.arange(nb + 1, dtype=np.uint16), (p, 1))
        self.renumbered = False
        lo, hi = lo.copy(), hi.copy()
        for f in range(p if rows is not None else 0):
            full = np.flatnonzero(np.isfinite(lo[f]))
            if len(full) < 2:
                continue
            near = ~_learner.values_apart(hi[f, full[:-1]], lo[f, full[1:]]).astype(bool)
            if not near.any():  # (a category column's codes are always apart)
                continue
            size = rows[f, full]  # type: ignore[index]
            most = _MERGED * size.sum() / len(full)
            group = np.zeros(len(full), dtype=np.intp)
            filled = size[0]  # the rows of the bin being merged into
            for k in range(1, len(full)):
                joined = near[k - 1] and filled + size[k] <= most
                filled = filled + size[k] if joined else size[k]
                group[k] = group[k - 1] + (not joined)
            if group[-1] == len(full) - 1:
                continue
            # An empty bin takes the number of the full bin before it.
            self.table[f, :nb] = group[np.maximum(np.searchsorted(full, np.arange(nb), side="right") - 1, 0)]
            merged_lo, merged_hi = np.full(nb, np.inf), np.full(nb, -np.inf)
            np.minimum.at(merged_lo, group, lo[f, full])
            np.maximum.at(merged_hi, group, hi[f, full])
            lo[f], hi[f] = merged_lo, merged_hi
            self.renumbered = True
        self.lo, self.hi = lo, hi
        close = np.zeros(lo.shape, dtype=bool)  # the boundary above each bin is too close to tell
        after = np.zeros(lo.shape, dtype=bool)  # the boundary below each bin is
        for f in range(p):
            full = np.flatnonzero(np.isfinite(lo[f]))
            if len(full) > 1:
                near = ~_learner.values_apart(hi[f, full[:-1]], lo[f, full[1:]]).astype(bool)
                close[f, full[:-1]] = near
                after[f, full[1:]] = near
        self.need_hi, self.need_lo = np.flatnonzero(close), np.flatnonzero(after)


def bins_of(ranges: Tuple[np.ndarray, ...]) -> Bins:
    return Bins(*ranges)


def rebin(held: Held, bins: Bins) -> Held:
    """The rows with their bins as `bins` numbers them (see Bins.table)."""
    if not bins.renumbered:
        return held
    laid = (_learner.renumber_bins(held.bins, bins.table), held.codes, held.weight, held.order, held.starts)
    return Held.laid_out(held.x, laid, held.n_bins, held.n_classes, held.edges)


def summarize(held: Held, first: Any, slots: int, bins: Bins, counted: Optional[np.ndarray] = None,
              spans: bool = True, travels: bool = True) -> Summary:
    """The slots' (first, first + 1, ..., or those of the array `first`)
    class weights and rows per feature and bin (only of the slots
    `counted`, where given), the smallest and largest values `bins` asks
    for, and with `spans` per feature the smallest and largest value (the
    span: what drawn features and thresholds read; None without). Counts
    that stay on this worker (not `travels`) are not deflated."""
    counts, lo, hi, span = _learner.node_summary(*held.kernel_args(), first, slots, held.n_bins, held.n_classes,
                                                 bins.need_lo, bins.need_hi, spans,
                                                 None if counted is None else counted.astype(np.uint8))
    # Rows of weight 1 come as whole numbers of rows per class: as _sent sends them.
    return pack_counts(counts, travels), narrow(lo), narrow(hi), None if span is None else narrow(span)


def _sent(held: Held, counts: np.ndarray) -> np.ndarray:
    """Counts (class weights, then rows, on the last axis) as they travel:
    where every row weighs 1, the rows are the sum of the class weights and
    stay behind (_with_rows counts them again)."""
    return counts[..., :-1] if held.weight is None and held.n_classes > 1 else counts


def _with_rows(counts: np.ndarray, n_classes: int) -> np.ndarray:
    """Counts as _sent sends them, with the rows again: the sum of the class
    weights, exact in float64 for rows of weight 1."""
    counts = wide(counts)
    if counts.shape[-1] == n_classes + 1:
        return counts
    out = np.empty(counts.shape[:-1] + (n_classes + 1,))
    out[..., :-1] = counts
    _count_rows(out)
    return out


def _count_rows(counts: np.ndarray) -> None:
    """Writes the last column of `counts` (the rows) as the sum of the
    others (the class weights of rows of weight 1: whole numbers, so any
    order gives the same sums)."""
    rows = counts[..., -1]
    rows[...] = counts[..., 0]
    for c in range(1, counts.shape[-1] - 1):
        rows += counts[..., c]


def merge_round(bins: Bins, n_classes: int, counted: Optional[np.ndarray], sibling: Optional[np.ndarray],
                parent: Optional[np.ndarray], n_parts: int, *parts: Summary) -> Tuple[Summary, "Searched"]:
    """The workers' summaries of a round (the first n_parts of `parts`)
    added up: the summary kept for the next round (see _dask_fit._siblings)
    and the arrays the search reads (_searched). With `counted`, the
    workers counted only those slots, and every other slot j's counts are
    its parent's (row parent[j, 1] of the summary kept by the round
    parts[n_parts + parent[j, 0]]: see search_round) less its sibling's
    (slot sibling[j]). Exact, as weights are 1 or on the fit's grid
    (on_grid)."""
    own, parents = parts[:n_parts], parts[n_parts:]

    def fold(ufunc: Any, arrays: Any) -> np.ndarray:
        arrays = iter(arrays)
        out: np.ndarray = next(arrays)
        for a in arrays:
            out = ufunc(out, a)
        return out

    sent = fold(np.add, (wide(part[0]) for part in own))
    lo, hi = fold(np.minimum, (wide(part[1]) for part in own)), fold(np.maximum, (wide(part[2]) for part in own))
    span = None if own[0][3] is None else np.stack([fold(np.minimum, (wide(part[3])[..., 0] for part in own)),
                                                    fold(np.maximum, (wide(part[3])[..., 1] for part in own))],
                                                   axis=2)
    # The search's counts, rows last, made in place: `own_counts` is the
    # part of them as the workers send them.
    width = sent.shape[-1]
    counts = np.empty((len(sent) if counted is None else len(counted),) + sent.shape[1:-1] + (n_classes + 1,))
    own_counts = counts[..., :width]
    if counted is not None and sibling is not None and parent is not None:
        own_counts[counted] = sent
        del sent
        whole = [wide(p[0]) for p in parents]
        for j in np.flatnonzero(~counted):
            own_counts[j] = whole[parent[j, 0]][parent[j, 1]] - own_counts[sibling[j]]
        del whole
    else:
        own_counts[...] = sent
        del sent
    if width == n_classes:  # rows of weight 1
        _count_rows(counts)
    # Kept as whole numbers of rows where every row weighs 1.
    own_counts = own_counts.astype(np.uint32) if width == n_classes else np.ascontiguousarray(own_counts)
    kept = (pack_counts(own_counts, travels=False), narrow(lo), narrow(hi), None if span is None else narrow(span))
    return kept, _searched((counts, lo, hi, span), bins, n_classes)


def summary_rows(held: Held, first: int, needed: np.ndarray) -> Tuple[Any]:
    """Of the summary kept by the last round searched here whose first slot
    was `first` (held.parents), the counts of the nodes `needed`: what
    merge_round reads of a parent's summary kept on another worker."""
    return (pack_counts(wide(held.parents[first][0])[needed]),)


def search_round(held: Held, first: int, bins: Bins, n_classes: int, counted: Optional[np.ndarray],
                 sibling: Optional[np.ndarray], parent: Optional[np.ndarray], parents: Tuple[Any, ...],
                 search: Tuple[Any, ...], own: Optional[Tuple[Any, ...]], *parts: Summary) -> Tuple[Any, ...]:
    """Merges, searches and keeps, with these rows (held.rounds, under the
    round's first slot `first`), the state of a round searched here:
    merge_round's kept summary (for the nodes' children) and search arrays,
    refine's answer (given `search`, the rest of its arguments), what the
    workers are asked to list (asked_of, also the answer) and, once
    pick_runs has merged them, the runs. The summaries of the nodes'
    parents: the last round's kept summaries here (by their first slot) or
    summary_rows' of another worker. With `own` (the round's slots, spans,
    its place among `parts`), this worker's own summary is made here."""
    k = len(search[0])
    if k * bins.lo.size * (n_classes + 1) * 8 >= _LARGE_ROUND:
        _learner.drop_spares()  # the spare layout gives way to a large round's summaries
    if own is not None:
        slots, spans, at = own
        mine = summarize(held, slots, k, bins, None if sibling is None else counted, spans, travels=False)
        parts = parts[:at] + (mine,) + parts[at:]
    above = [held.parents[p] if isinstance(p, int) else p for p in parents]
    kept, searched = merge_round(bins, n_classes, counted, sibling, parent, len(parts), *parts, *above)
    refined = refine(searched, *search)
    asked = asked_of(refined)
    held.rounds[first] = [kept, searched, refined, asked, None]
    return asked


Searched = Tuple[np.ndarray, np.ndarray, np.ndarray, Optional[np.ndarray]]

# Bytes of a round's merged counts from which its worker lets go of the
# layout it keeps for its next route (see _learner.route): a round this
# large is searched with the memory of one layout less.
_LARGE_ROUND = 1 << 24


def _searched(summary: Summary, bins: Bins, n_classes: int) -> Searched:
    """A merged summary as the learner's search reads it: counts, every
    bin's lo and hi (the node's own where `bins` asks for them, the bin's
    over all rows elsewhere) and the span. Made once a round, next to the
    summary, for refine, pick_runs and choose."""
    counts = _with_rows(summary[0], n_classes)
    k, p = counts.shape[:2]
    lo = np.repeat(bins.lo.reshape(1, -1), k, axis=0)
    hi = np.repeat(bins.hi.reshape(1, -1), k, axis=0)
    lo[:, bins.need_lo] = wide(summary[1])
    hi[:, bins.need_hi] = wide(summary[2])
    return counts, lo.reshape(k, p, -1), hi.reshape(k, p, -1), None if summary[3] is None else wide(summary[3])


def _narrow_lists(lists: Any) -> Lists:
    offsets, values, counts = lists
    return offsets, narrow(values), narrow(counts)


# A refined bin of more rows than this is first sent as runs of values
# (at most _MOST_RUNS, each its counts and smallest and largest value), and
# only the runs that may hold the best split send their values.
_FEW_ROWS = 64
_MOST_RUNS = 64


def refine(summary: Searched, totals: np.ndarray, n: np.ndarray, weight: np.ndarray,
           params: Tuple[Any, ...], keys: np.ndarray, known: List[Any], bounds: Optional[np.ndarray]) -> Tuple[Any, ...]:
    """From the merged summary (see _dask_fit._search): the learner's bins to
    refine as (node, feature, bin) rows and per bin the runs its values are
    cut into (0: sent whole), the growth state the choice of splits reads
    (the features each node searches when they are drawn, the nodes' keys
    and bounds), and per node the known constant features of its children
    (`drawn[ends[j]:ends[j + 1]]`; `ends` None when every feature is
    searched)."""
    counts, lo, hi, span = summary
    searched = ends = drawn = None
    if params[7] >= 0:  # max_features drawn per node
        offsets = np.cumsum([0] + [len(c) for c in known]).astype(np.int64)
        searched, ends, drawn = _learner.draw_features(counts, lo, hi, totals, n, weight, params, keys, offsets,
                                                       np.concatenate(known).astype(np.int32), span)
    growth = (searched, keys, bounds)
    mask = _learner.refine_mask(counts, lo, hi, totals, n, weight, params, growth + (span,))
    requests = np.argwhere(mask)
    rows = counts[:, :, :-1][mask != 0][:, -1]
    runs = np.where(rows <= _FEW_ROWS, 0, np.minimum(_MOST_RUNS, np.ceil(np.sqrt(rows)))).astype(np.int32)
    return requests.astype(np.int32), runs, growth, ends, drawn, mask.shape


def asked_of(refined: Tuple[Any, ...]) -> Tuple[Any, ...]:
    """What the workers need of refine's answer to list the bins' values:
    the bins as a bit mask, and their runs, both as small as they go."""
    requests, runs, shape = refined[0], refined[1], refined[5]
    mask = np.zeros(shape, dtype=np.uint8)
    mask[tuple(requests.T)] = 1
    return _deflated(np.packbits(mask.ravel())), narrow(runs.astype(np.float64)), shape


def _requests(asked: Tuple[Any, ...], slots: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The bins asked for as (slot, feature, bin) rows, the round's node j
    in slot slots[j]; and their runs."""
    bits, runs, shape = asked
    bits = bits.array() if isinstance(bits, Deflated) else bits
    mask = np.unpackbits(bits, count=int(np.prod(shape))).reshape(shape)
    requests = np.argwhere(mask).astype(np.int64)
    requests[:, 0] = slots[requests[:, 0]]
    return requests, wide(runs).astype(np.int32)


Runs = Tuple[Any, np.ndarray, np.ndarray, Lists]


def list_runs(held: Held, asked: Tuple[Any, ...], slots: np.ndarray, bins: Bins, travels: bool = True) -> Runs:
    """The values of the bins `asked` (asked_of; their nodes in `slots`,
    ascending): those of a bin of runs 0 as lists; those of the others
    cut into that many runs of
    equal width between the bin's smallest and largest value over all rows,
    sent as each run's counts and its rows' smallest and largest value
    (empty: +inf and -inf). What stays here for run_values, kept with the
    rows under the first slot (held.listed): each listed value of a run,
    with its run, class and weight. Counts that stay on this worker (not
    `travels`) are not deflated."""
    requests, runs = _requests(asked, slots)
    f, b = requests[:, 1], requests[:, 2]
    lists, run_counts, run_lo, run_hi, kept = _learner.list_runs(
        *held.kernel_args(), requests, runs, bins.lo[f, b], bins.hi[f, b], held.n_bins, held.n_classes)
    whole = np.flatnonzero(runs == 0)
    offsets = lists[0]
    lists = (np.concatenate([[0], np.cumsum(np.diff(offsets)[whole])]).astype(np.int64), lists[1], lists[2])
    sent = (pack_counts(_sent(held, run_counts), travels), narrow(run_lo), narrow(run_hi),
            _narrow_lists((lists[0], lists[1], _sent(held, lists[2]))))
    held.listed[int(slots[0])] = (kept, held.n_classes, held.weight is None)
    return sent


def run_values(held: Held, first: int, picked: np.ndarray) -> Lists:
    """The values of the runs `picked` (ascending) listed here for the
    nodes whose first slot is `first` (list_runs), as value lists: one
    list per run."""
    entries, n_classes, unweighted = held.listed[first]
    offsets, values, counts = _learner.run_lists(entries, picked.astype(np.int64), n_classes)
    return _narrow_lists((offsets, values, counts[:, :-1] if unweighted and n_classes > 1 else counts))


def _entries(runs: np.ndarray, sent: Runs, n_classes: int, picked: Optional[np.ndarray] = None,
             exact: Optional[Lists] = None) -> Tuple[Tuple[np.ndarray, ...], np.ndarray]:
    """What the refined bins hold, as the learner reads them ((offsets, lo,
    counts, hi), see refine_entries): per bin in order its values, or its
    runs that hold rows, the runs `picked` replaced by their values
    `exact`. And per entry its run (-1: a value)."""
    k = len(runs)
    start = np.concatenate([[0], np.cumsum(runs)]).astype(np.int64)
    run_of = np.repeat(np.arange(k), runs)
    place = np.arange(len(run_of)) - start[run_of]
    run_counts = _with_rows(sent[0], n_classes)
    lo, hi = wide(sent[1]), wide(sent[2])
    offsets, values, counts = sent[3][0], wide(sent[3][1]), _with_rows(sent[3][2], n_classes)
    whole = np.repeat(np.flatnonzero(runs == 0), np.diff(offsets))
    full = run_counts[:, -1] > 0
    if picked is not None:
        full[picked] = False
    shown = np.flatnonzero(full)
    parts = [(whole, np.zeros(len(whole)), np.arange(len(whole)), values, values, counts, np.full(len(whole), -1)),
             (run_of[shown], place[shown], np.zeros(len(shown)), lo[shown], hi[shown], run_counts[shown], shown)]
    if picked is not None and exact is not None:
        of = np.repeat(picked, np.diff(exact[0]))
        v = wide(exact[1])
        parts.append((run_of[of], place[of], np.arange(len(of)), v, v, _with_rows(exact[2], n_classes), of))
    request, first, second, low, high, c, origin = (np.concatenate([part[i] for part in parts]) for i in range(7))
    order = np.lexsort((second, first, request))
    ends = np.searchsorted(request[order], np.arange(k + 1)).astype(np.int64)
    return (ends, low[order], c[order], high[order]), origin[order].astype(np.int64)


def pick_runs(held: Held, first: int, own: Optional[Tuple[Any, ...]], totals: np.ndarray, n: np.ndarray,
              weight: np.ndarray, params: Tuple[Any, ...], *sent: Runs) -> np.ndarray:
    """The workers' runs and lists of the refined bins of the round searched
    here under `first` (list_runs; its state as search_round keeps it)
    added up, kept with the state, and of the runs, those whose values may
    hold the best split (refine_entries), ascending. With `own` (the
    round's slots, the bins, its place among the others in `sent`), this
    worker's own are listed here."""
    state = held.rounds[first]
    summary, refined = state[1], state[2]
    requests, runs, growth = refined[:3]
    if own is not None:
        slots, bins, at = own
        mine = list_runs(held, state[3], slots, bins, travels=False)
        sent = sent[:at] + (mine,) + sent[at:]
    if not len(requests):
        return np.zeros(0, dtype=np.int64)
    merged = sent[0]
    for other in sent[1:]:
        merged = (pack_counts(wide(merged[0]) + wide(other[0]), travels=False),
                  narrow(np.minimum(wide(merged[1]), wide(other[1]))),
                  narrow(np.maximum(wide(merged[2]), wide(other[2]))), merge_lists(merged[3], other[3]))
    counts, lo, hi, span = summary
    mask = np.zeros(lo.shape, dtype=np.uint8)
    mask[tuple(requests.T)] = 1
    entries, origin = _entries(runs, merged, totals.shape[1])
    chosen = _learner.refine_entries(counts, lo, hi, totals, n, weight, params, mask, entries, growth + (span,))
    state[4] = merged
    return np.sort(origin[(chosen != 0) & (origin >= 0)])


def choose(held: Held, first: int, own: Optional[int], totals: np.ndarray, n: np.ndarray, weight: np.ndarray,
           params: Tuple[Any, ...], picked: np.ndarray,
           impurity: np.ndarray, total_weight: float, *exact: Lists) -> Dict[str, np.ndarray]:
    """The learner's splits from the merged summary of the round searched
    here under `first` (its state as search_round keeps it) and what its
    refined bins hold: values, runs (kept by pick_runs, which `picked`
    those whose values came), and the values of the runs picked, each
    worker's (`exact`; with `own`, its place among them, this worker's own
    are read here). With refine's draws of the children's known constant
    features ("ends", "drawn"). The round's search is done: only its kept
    summary lives on (held.kept)."""
    if own is not None:
        exact = exact[:own] + (run_values(held, first, picked),) + exact[own:]
    kept, summary, refined, _, merged = held.rounds.pop(first)
    held.kept[first] = kept
    requests, runs, growth, ends, drawn = refined[:5]
    counts, lo, hi, span = summary
    mask = np.zeros(lo.shape, dtype=np.uint8)
    mask[tuple(requests.T)] = 1
    entries: Tuple[np.ndarray, ...] = (np.zeros(1, dtype=np.int64), np.empty(0), np.empty((0, counts.shape[-1])),
                                       np.empty(0))
    if merged is not None:
        values = exact[0]
        for other in exact[1:]:
            values = merge_lists(values, other)
        entries, _ = _entries(runs, merged, totals.shape[1], picked, values)
    found: Dict[str, Any] = _learner.choose_splits(counts, lo, hi, totals, n, weight, params, mask, entries, impurity,
                                                   total_weight, growth + (span,))
    found["ends"], found["drawn"] = ends, drawn
    return found


def merge_lists(a: Lists, b: Lists) -> Lists:
    return _narrow_lists(_learner.merge_value_lists(a, b))


# The arrays of a round's choices that route reads, in its order.
_ROUTED = ("feature", "threshold", "missing_left", "categories", "bin", "bin_value")


def splits_of(chosen: Dict[str, np.ndarray]) -> Tuple[np.ndarray, ...]:
    """A level's splits (the arrays of choose_splits, one entry per slot) as
    route takes them."""
    return tuple(chosen[name] for name in _ROUTED)


Edges = Tuple[np.ndarray, np.ndarray]


def route(held: Held, splits: Tuple[np.ndarray, ...], to_left: np.ndarray, to_right: np.ndarray, bins: Bins) -> Held:
    """The rows laid out for the next level: a row of a node that split
    takes its child's slot (and leaves when the child is finished); the
    rows of any other node leave, as do those of slots past the level's
    nodes (those finished on one worker). Its edges gain, per node split
    between bins, the largest value of its rows here sent left and the
    smallest sent right (-inf and +inf where none are): the split's
    threshold is their midpoint (see _learner.route). A row whose bin lies
    wholly on one side of a threshold (`bins`' ranges) moves by its bin.
    The summaries kept by the rounds searched here pass to the new layout
    (its `parents`)."""
    *laid, below, above = _learner.route(*held.kernel_args(), held.n_bins, held.n_classes, splits, to_left, to_right,
                                         bins.lo, bins.hi)
    out = Held.laid_out(held.x, tuple(laid), held.n_bins, held.n_classes, held.edges + ((below, above),))
    out.parents = held.kept
    return out


def joined(found: Sequence[Dict[str, Any]], names: Sequence[str]) -> Dict[str, np.ndarray]:
    """The arrays `names` of a round's batches' choices (choose's answers,
    in their order) one after the other; each batch's category sets are
    as wide as its widest, all made as wide."""
    words = max(f["categories"].shape[1] for f in found)
    return {name: np.concatenate([np.pad(f[name], ((0, 0), (0, words - f[name].shape[1])))
                                  if name == "categories" else f[name] for f in found]) for name in names}


def route_chosen(held: Held, bins: Bins, slots: np.ndarray, *found: Dict[str, Any]) -> Held:
    """route of a round's splits (choose's answers for its batches, whose
    nodes are in `slots` in that order): the r-th split node in slot order
    sends its rows to slots 2r (left) and 2r + 1 (right), whatever is done
    with its children next; the rows of every other slot leave."""
    k = len(held.starts) - 1  # the layout's slots
    every = joined(found, _ROUTED)
    words = every["categories"].shape[1]
    chosen: Dict[str, np.ndarray] = {
        "feature": np.full(k, -1, dtype=np.int64), "threshold": np.zeros(k), "missing_left": np.zeros(k, dtype=np.uint8),
        "categories": np.zeros((k, words), dtype=np.uint64), "bin": np.full(k, -1, dtype=np.int64),
        "bin_value": np.zeros(k)}
    for name, values in every.items():
        chosen[name][slots] = values
    split = chosen["feature"] >= 0
    rank = np.cumsum(split) - 1
    to_left = np.where(split, 2 * rank, -1).astype(np.int32)
    to_right = np.where(split, 2 * rank + 1, -1).astype(np.int32)
    return route(held, splits_of(chosen), to_left, to_right, bins)


def edges_of_routes(held: Held) -> Tuple[Edges, ...]:
    return held.edges


def add_edges(*parts: Tuple[Edges, ...]) -> Tuple[Edges, ...]:
    """The workers' edges of every route: the largest sent left and the
    smallest sent right of them all."""
    out = parts[0]
    for part in parts[1:]:
        out = tuple((np.maximum(x[0], y[0]), np.minimum(x[1], y[1])) for x, y in zip(out, part))
    return out


_register_sizes()
