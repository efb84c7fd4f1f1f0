"""TreeClassifier.fit on Dask collections, run on the workers of the
current ``distributed`` Client; the tree is node for node the one the
in-memory fit grows on the same rows.

The partitions stay on their workers (``_dask_rows``; only small nodes'
rows move, to be finished on one worker: ``_dask_local``). The tree grows a
level at a time: the workers summarise their rows of each open node per
feature and bin (class weights and rows; per feature the smallest and
largest value; a bin's own smallest or largest value only beside a bin
boundary too close over all the rows to tell whether it splits, see
``_dask_rows.Bins``), the summaries are added up in a tree of
reductions, and the learner's binned
search (``_learner.refine_mask``) names the bins whose exact values may
still hold the best split; only those bins' distinct values travel (a
bin of many rows first as runs of values, of which the learner's
``refine_entries`` names those that may hold it, and only their values
travel then), and ``_learner.choose_splits`` picks each node's split by
the in-memory learner's rules. Both run on a worker, next to the merged
summaries and value lists, which ask the other workers for the bins'
values directly: the client sees only the chosen splits, never the
rows' values. A round of many nodes is shared out over the workers, each
node searched where its parent was (``_by_handler``). Each worker keeps
its open rows laid out node by node (``_dask_rows.Held``). The chosen
splits go straight to the workers, which move each row to its child's
slot while the client reads them (``_dask_rows.route_chosen``); a split
between two bins moves rows by bin, and its threshold, the midpoint of
the values either side, comes back from that move. Nodes are numbered depth first at the end, as the
in-memory learner numbers them. A category column's bins are its
categories (in the one list of every partition's categories), so its
merged summary is the per-category counts the in-memory categorical search
reads; it is never refined. The fit submits and awaits through a
``_dask_watch.Watch``: a worker holding rows that leaves ends the fit with
WorkerLostError, and however the fit ends its futures are released.

Drawn features and random thresholds come from the learner's own draws,
keyed by the fit's seed and the node's key; a feature's constancy at a node
is read from its merged summary, and a random threshold's bin is refined
like a best split's. With max_leaf_nodes the in-memory best-first order is
replayed over the nodes searched so far (``_best_first``).

Knobs (``dask.config``): ``tavrin.max_bins`` (default 256), the bins per
feature; ``tavrin.local_rows`` (default 100,000; 0: never), the rows up to
which a searched node may be finished on one worker (``_dask_local``: where
that moves fewer bytes, or always with ``tavrin.local_by_bytes`` False).
None changes the tree, only what travels and the time.
"""
from __future__ import annotations

import bisect
import heapq
import uuid
from typing import Any, Dict, List, Optional, Tuple

import dask
from dask.delayed import delayed
import numpy as np
import pandas as pd
from sklearn.utils.class_weight import compute_class_weight
from sklearn.utils.multiclass import check_classification_targets

from . import _learner
from . import _dask_rows as rows
from . import _worker_memory
from ._dask_local import Finisher, local_rows
from ._dask_watch import Watch
from ._frame import _categories, _within_limit
from ._pruning import prune, subtree
from ._sparse import refuse_dask_sparse
from ._search_params import check_monotonic, count, draw_seed, growth_limits, resolve_max_features, weight_grid
from ._sk_compat import check_feature_names
from ._tree import FlatTree

# Bytes of one batch's merged bin summaries: open nodes beyond it are
# summarised in further batches.
_SUMMARY_BYTES = 1 << 26

# The root's key, whose children's keys follow from it (the learner's draws.hpp).
_ROOT_KEY = 1

_NO_CLIENT = ("fitting on a Dask collection runs on a distributed cluster, and no Client is running: start "
              "one first, e.g. `from distributed import Client; client = Client()` (a local cluster) or "
              "`Client('scheduler-address:8786')`")


def _client() -> Any:
    try:
        from distributed import get_client
        return get_client()
    except (ImportError, ValueError):
        raise RuntimeError(_NO_CLIENT) from None


def _untyped(collection: Any) -> Any:
    return collection


def _parts(X: Any, y: Any, sample_weight: Any) -> Tuple[List[Any], int, Any, bool]:
    """Per partition the delayed (X, y, weight) triple, the column count, the
    frame's empty model (for the column names) and whether it has category
    columns."""
    import dask.array as da
    import dask.dataframe as dd

    # Dask's collections are not typed throughout: handled as Any here.
    X = _untyped(X)
    is_frame, is_array = isinstance(X, dd.DataFrame), isinstance(X, da.Array)
    if is_frame:
        meta = X._meta
        categorical = [name for name, dtype in meta.dtypes.items() if isinstance(dtype, pd.CategoricalDtype)]
        unknown = [name for name in categorical if not X[name].cat.known]
        if unknown:  # every partition then codes a category alike
            X = X.categorize(columns=unknown)
        xs, p = list(X.to_delayed()), len(meta.columns)
    elif is_array:
        if X.ndim != 2:
            raise ValueError(f"X must be a 2-D Dask array, got {X.ndim} dimension(s)")
        if X.numblocks[1] > 1:
            X = X.rechunk({1: -1})
        meta, p = X._meta, X.shape[1]
        xs = list(X.to_delayed().ravel())
    else:
        raise TypeError(f"X must be a Dask DataFrame or Dask Array, got {type(X).__name__}")

    y = _untyped(y)
    if isinstance(y, dd.DataFrame) or (isinstance(y, da.Array) and y.ndim == 2 and y.shape[1] != 1):
        raise ValueError("a fit on Dask takes one target (y a Dask Series or 1-D Dask Array); for several "
                         "outputs, fit in memory on the computed rows")

    def split(v: Any, name: str) -> List[Any]:
        if isinstance(_untyped(v), da.Array):
            if is_array and v.chunks[0] != X.chunks[0] and not np.isnan(v.shape[0]):
                v = v.rechunk({0: X.chunks[0]})
            out = list(v.to_delayed().ravel())
        elif isinstance(_untyped(v), (dd.Series, dd.DataFrame)):
            out = list(v.to_delayed())
        else:
            raise TypeError(f"with X a Dask collection, {name} must be a Dask Series or Array partitioned like X, "
                            f"got {type(v).__name__}")
        if len(out) != len(xs):
            raise ValueError(f"{name} has {len(out)} partitions where X has {len(xs)}: partition it like X")
        return out

    if y is None:
        raise ValueError("TreeClassifier requires y to be passed, but the target y is None.")
    ys = split(y, "y")
    ws = [None] * len(xs) if sample_weight is None else split(sample_weight, "sample_weight")
    return list(zip(xs, ys, ws)), p, meta, isinstance(X, dd.DataFrame) and bool(categorical)


def _class_weights(class_weight: Any, classes: np.ndarray, counts: np.ndarray) -> Any:
    """The weight of each class, from the global class counts, as
    compute_sample_weight gives it for every row of that class."""
    if class_weight is None:
        return None
    if isinstance(class_weight, str) and class_weight == "balanced":
        # compute_class_weight's own expression: weighted counts over all rows.
        c = counts.astype(np.float64)
        weight = np.sum(c) / (len(classes) * c)
    else:
        weight = compute_class_weight(class_weight, classes=classes, y=classes)
    weight = np.asarray(weight, dtype=np.float64)
    if not np.all(np.isfinite(weight) & (weight >= 0)):
        raise ValueError(f"class_weight must give every class a finite weight of 0 or more, got {class_weight!r}")
    return weight


# Results combined at once by one task of a reduction.
_FAN_IN = 8


def _reduce(client: Any, futures: List[Any], combine: Any, last: Any = None) -> Any:
    """The future of combine(*results) of the futures, up to _FAN_IN at a
    time on the workers (a tree of them), with `last` applied to it in the
    final task; it stays there."""
    while True:
        groups = [futures[i:i + _FAN_IN] for i in range(0, len(futures), _FAN_IN)]
        if len(groups) == 1:
            return client.submit(rows.combined, combine, last, *groups[0], pure=False)
        futures = [client.submit(rows.combined, combine, None, *group, pure=False) for group in groups]


def _weight_grid(labels: List[Any], classes: np.ndarray, class_weight: Optional[np.ndarray], weighted: bool,
                 n: int) -> Optional[int]:
    """The in-memory fit's grid for the rows' weights (weight_grid), or None
    for unit weights. A row's weight is its sample weight times its class's,
    and rounding a product keeps the order of its factors, so the largest
    row weight is each class's largest sample weight times its weight."""
    if not weighted and class_weight is None:
        return None
    top = np.zeros(len(classes))
    for u, _, t in labels:
        np.maximum.at(top, np.searchsorted(classes, u), 1.0 if t is None else t)
    largest = top if class_weight is None else top * class_weight
    return weight_grid(float(largest.max()), n)


def fit_distributed(est: Any, X: Any, y: Any, sample_weight: Any) -> None:
    """Fit's work for a Dask X, on the staging estimator (see TreeClassifier.fit)."""
    est._validate_params()
    refuse_dask_sparse(X)
    max_bins = int(dask.config.get("tavrin.max_bins", 256))
    if not 2 <= max_bins <= 65534:
        raise ValueError(f"tavrin.max_bins must be from 2 to 65534, got {max_bins}")
    limit = local_rows(est)
    with Watch(_client()) as client:
        _fit(est, client, X, y, sample_weight, max_bins, limit)


def _fit(est: Any, client: Watch, X: Any, y: Any, sample_weight: Any, max_bins: int, limit: int) -> None:
    """The fit itself, every future of it made and awaited through `client`
    (which releases them however the fit ends); nodes of at most `limit`
    rows are finished on one worker."""
    triples, p, meta, categorical = _parts(X, y, sample_weight)
    declared = est.categorical_features
    if not isinstance(declared, str):  # columns named categorical: read so in every partition
        categorical = True
    check_feature_names(est, meta, reset=True)
    parts = client.compute([delayed(rows.read_part)(x, yy, w, p, max_bins, categorical, declared)
                            for x, yy, w in triples])
    labels, sketches = client.gather([[client.submit(rows.labels_of, part) for part in parts],
                                      [client.submit(rows.sketches_of, part) for part in parts]])
    uniques = [u for u, _, _ in labels if len(u)]
    if not uniques:
        raise ValueError("Found array with 0 sample(s) while a minimum of 1 is required by TreeClassifier.")
    every = np.concatenate(uniques)
    check_classification_targets(every)
    try:
        classes = np.unique(every)
    except TypeError as exc:
        raise ValueError(f"the labels in y must be comparable with each other to be sorted: {exc}") from None
    class_counts = np.zeros(len(classes), dtype=np.int64)
    for u, c, _ in labels:
        np.add.at(class_counts, np.searchsorted(classes, u), c)
    class_weight = _class_weights(est.class_weight, classes, class_counts)
    grid = _weight_grid(labels, classes, class_weight, sample_weight is not None, int(class_counts.sum()))
    edges = [rows.edges_of([s[j] for s in sketches], max_bins) for j in range(p)]
    n_bins = max(len(e) for e in edges) + 1
    categories: List[Optional[np.ndarray]] = [None] * p
    if categorical:
        found = client.gather([client.submit(rows.categories_of, part) for part in parts])
        names = getattr(meta, "columns", range(p))
        categories = [_global_categories([c[j] for c in found], names[j]) for j in range(p)]
        n_bins = max([n_bins] + [len(c) for c in categories if c is not None])
        if n_bins > 65535:
            raise ValueError(f"the distributed fit takes at most 65535 categories per column, got {n_bins}")

    where = client.who_has(parts)
    by_worker: Dict[str, List[Any]] = {}
    for part in parts:
        by_worker.setdefault(sorted(where[part.key])[0], []).append(part)
    # The home workers take the fit's large blocks from their heaps while it
    # runs (_worker_memory), set back when it ends.
    fit = uuid.uuid4().hex
    addresses = sorted(by_worker)
    client.run(_worker_memory.keep_freed, fit, workers=addresses)
    client.at_exit(lambda: client.run(_worker_memory.hand_back, fit, workers=addresses))
    held = [client.submit(rows.hold, classes, class_weight, edges, categories, n_bins, sample_weight is not None, grid,
                          *group,
                          workers=[w], allow_other_workers=False, pure=False)
            for w, group in sorted(by_worker.items())]
    del parts, by_worker  # the partitions as read go once held
    homes = [[w] for w in addresses]
    # Rebinning leaves the rows' classes and weights: counted meanwhile.
    counted = [client.submit(rows.root_counts, h, workers=w, pure=False) for h, w in zip(held, homes)]
    bins = _reduce(client, [client.submit(rows.bin_ranges, h, workers=w, pure=False) for h, w in zip(held, homes)],
                   rows.add_ranges, rows.bins_of)
    held = [client.submit(rows.rebin, h, bins, workers=w, pure=False) for h, w in zip(held, homes)]
    counts = client.gather(counted)
    n = sum(c[1] for c in counts)
    n_all = int(class_counts.sum())
    total_weight = float(sum(c[3] for c in counts))
    if not total_weight > 0:
        raise ValueError("Sample weights must contain at least one non-zero number.")
    n_categories = np.array([0 if c is None else len(c) for c in categories], dtype=np.int64)
    # The learner's parameters as the in-memory fit resolves them.
    seed = draw_seed(est.random_state)
    est.max_features_ = resolve_max_features(est.max_features, p)
    monotonic = check_monotonic(est.monotonic_cst, p, len(classes), categories,
                                getattr(est, "feature_names_in_", None))
    params = growth_limits(est, n_all, total_weight) + (
        n_categories if categorical else None, -1 if est.max_features_ >= p else count(est.max_features_),
        est.splitter == "random", seed, None if monotonic is None else monotonic.astype(np.int8))
    root = {"depth": 0, "n": n, "weight": float(sum(c[2] for c in counts)), "totals": sum(c[0] for c in counts),
            "key": _ROOT_KEY, "constants": np.zeros(0, dtype=np.int32), "bounds": (-np.inf, np.inf)}
    nodes = [root]
    finish = Finisher(client, limit, params, total_weight, len(classes), n_categories, addresses, n_bins,
                      sample_weight is not None or class_weight is not None)
    order = _grow(client, held, bins, nodes, params, total_weight, len(classes), p, n_bins, finish,
                  est.max_leaf_nodes)

    est.n_features_in_ = p
    est.classes_ = classes
    est.n_classes_ = len(classes)
    est.n_outputs_ = 1
    est.categories_ = categories
    est.is_categorical_ = n_categories > 0
    flat = _arrays(nodes, order, len(classes), n_categories, monotonic is not None and len(classes) == 2)
    if est.ccp_alpha > 0.0:
        _, _, leaves = prune(flat, float(est.ccp_alpha))
        flat = subtree(flat, leaves)
    est._set_tree(FlatTree.from_dict(flat))


def _global_categories(lists: List[Any], name: Any) -> Any:
    """A column's category list over every partition, as an in-memory fit of
    all the rows learns it: None for a numeric column."""
    held = [c for c in lists if c is not None and len(c)]
    if all(c is None for c in lists):
        return None
    values = np.concatenate(held) if held else np.empty(0, dtype=object)
    return _within_limit(_categories(values, np.zeros(len(values), dtype=bool)), name)


def _stats(nodes: List[Dict[str, Any]], which: List[int], params: Tuple[Any, ...], n_classes: int) -> List[int]:
    """Sets the impurity of the nodes `which`; returns those that are searched."""
    picked = [nodes[i] for i in which]
    impurity, stops = _learner.node_stats(
        np.array([node["totals"] for node in picked], dtype=np.float64).reshape(-1, n_classes),
        np.array([node["n"] for node in picked], dtype=np.int64),
        np.array([node["weight"] for node in picked], dtype=np.float64),
        np.array([node["depth"] for node in picked], dtype=np.int64), params)
    for node, value in zip(picked, impurity):
        node["impurity"] = float(value)
    return [i for i, stop in zip(which, stops) if not stop]


def _grow(client: Any, held: List[Any], bins: Any, nodes: List[Dict[str, Any]], params: Tuple[Any, ...],
          total_weight: float, n_classes: int, p: int, n_bins: int, finish: Finisher,
          max_leaf_nodes: Optional[int] = None) -> List[int]:
    """Grows the tree from the root, nodes[0]: dicts of the nodes' statistics
    and, at a split made, the split and the places of the children in the
    list (a node searched ahead keeps its split apart, "split").
    Returns the tree's nodes in the in-memory learner's numbering. The
    rows' layouts `held` are replaced in the list as the rows move: the
    caller keeps none of the old ones alive.

    Depth first, every split found is made and the searched children of a
    level are the next. Best first, the learner's order is replayed
    (``_best_first``) over the nodes searched so far; the children of a
    node that order may still split are searched ahead of knowing it.
    Depth first, searched nodes of few rows are finished on one worker
    each (`finish`) and grafted at the end. Weights are 1 or on the fit's
    grid, so counts are exact sums: of two children searched the larger's
    counts are its parent's less the smaller's, which alone are summed over
    the workers. A split between bins learns its
    threshold from the rows it sends either way (the rows' edges, see
    ``rows.route``), read at the end."""
    batch = max(1, _SUMMARY_BYTES // (p * (n_bins + 1) * (n_classes + 3) * 8))
    # The searched nodes of the round, by handler; each node's rows are in
    # its "slot" of the layout.
    nodes[0]["slot"] = 0
    open_, local = finish.split(nodes, _stats(nodes, [0], params, n_classes))
    finish.submit(held, nodes, local, _slots(nodes, local))
    order = [0]
    routes: List[List[Optional[int]]] = []  # per route of the rows, per slot the node it split (None: none)
    n_slots = 1  # the layout's
    last: List[int] = []
    while open_:
        batches = _batches(nodes, open_, batch)
        # Each worker searches its nodes' batches one at a time (the merged
        # summaries of one stay within the budget), alongside the others.
        found: List[Any] = [None] * len(batches)
        chosen_futures: List[Any] = [None] * len(batches)
        waves = _waves(nodes, open_, batches)
        for number, wave in enumerate(waves):
            futures = [_search(client, held, bins, nodes, open_[b:e], _slots(nodes, open_[b:e]), params, total_weight,
                               n_classes, finish.homes, nodes[open_[b]].get("handler", 0), len(waves[0]) > 1)
                       for b, e in (batches[j] for j in wave)]
            for j, f in zip(wave, futures):
                chosen_futures[j] = f
            if number == len(waves) - 1:
                # The rows move as soon as the splits are chosen, each split
                # node's children to slots of their own (see rows.route_chosen),
                # while the client reads the choices.
                held[:] = [client.submit(rows.route_chosen, h, bins, _slots(nodes, open_), *chosen_futures, workers=w,
                                         pure=False)
                           for h, w in zip(held, finish.homes)]
            for j, f in zip(wave, client.gather(futures)):
                found[j] = f
        for f, (b, e) in zip(found, batches):
            f["constants"] = _constants(f, [nodes[i]["constants"] for i in open_[b:e]])
        for i in last:  # the previous level's summaries have served
            nodes[i].pop("summary", None)
        last = open_
        chosen = rows.joined(found, list(found[0]))
        keys = _learner.child_keys(np.array([nodes[i]["key"] for i in open_], dtype=np.uint64))
        # The route's slots of the children: the split nodes in slot order,
        # the r-th's children in 2r and 2r + 1 (as rows.route_chosen places them).
        level: List[Optional[int]] = [None] * n_slots
        for at, i in enumerate(open_):
            if chosen["feature"][at] >= 0:
                level[nodes[i]["slot"]] = i
        split: List[int] = [i for i in level if i is not None]  # the nodes split this round
        rank = {i: r for r, i in enumerate(split)}
        for at, i in enumerate(open_):
            if chosen["feature"][at] < 0:
                continue
            node = nodes[i]
            left, wl, nl = chosen["left"][at].copy(), float(chosen["weight_left"][at]), int(chosen["n_left"][at])
            # A split between bins learns its threshold at the end (edges).
            threshold = np.nan if chosen["bin"][at] >= 0 else float(chosen["threshold"][at])
            node["split"] = dict(feature=int(chosen["feature"][at]), threshold=threshold,
                                 missing_left=bool(chosen["missing_left"][at]), pair=(len(nodes), len(nodes) + 1),
                                 categories=chosen["categories"][at].copy(),
                                 improvement=float(chosen["improvement"][at]))
            # What each child inherits: its key, bounds and known constants.
            depth, bounds, constants = node["depth"] + 1, chosen["bounds"][at], chosen["constants"][at]
            nodes.append({"depth": depth, "n": nl, "weight": wl, "totals": left, "parent": i,
                          "key": int(keys[0][at]), "bounds": tuple(bounds[:2]), "constants": constants,
                          "slot": 2 * rank[i]})
            nodes.append({"depth": depth, "n": node["n"] - nl, "weight": node["weight"] - wl,
                          "totals": node["totals"] - left, "parent": i,
                          "key": int(keys[1][at]), "bounds": tuple(bounds[2:]), "constants": constants,
                          "slot": 2 * rank[i] + 1})
        routes.append(level)
        n_slots = 2 * len(split)
        # Which children may split, all of the round's at once.
        children = [c for i in split for c in nodes[i]["split"]["pair"]]
        may = set(_stats(nodes, children, params, n_classes)) if children else set()
        for i in split:
            nodes[i]["searchable"] = [c for c in nodes[i]["split"]["pair"] if c in may]
        if max_leaf_nodes is None:
            growing = [i for i in open_ if "split" in nodes[i]]
            for i in growing:
                nodes[i]["children"] = nodes[i]["split"]["pair"]
        else:
            order, growing = _best_first(nodes, max_leaf_nodes, open_)
        # The children searched next, by handler and in slot order within one.
        ahead = sorted((c for i in growing for c in nodes[i]["searchable"]), key=lambda c: nodes[c]["slot"])
        searched, local = finish.split(nodes, ahead)
        searched = _by_handler(nodes, searched, len(finish.homes))
        finish.submit(held, nodes, local, _slots(nodes, local))
        open_ = searched
    edges = client.gather(_reduce(client, [client.submit(rows.edges_of_routes, h, workers=w, pure=False)
                                           for h, w in zip(held, finish.homes)], rows.add_edges)) if routes else ()
    for level, (below, above) in zip(routes, edges):
        between = np.flatnonzero(np.isfinite(below) & np.isfinite(above))
        for at, threshold in zip(between.tolist(), _learner.midpoints(below[between], above[between]).tolist()):
            parent = level[at]  # a slot whose rows were split between bins
            if parent is not None:
                nodes[parent]["split"]["threshold"] = threshold
    finish.graft(nodes)
    return order if max_leaf_nodes is not None else _preorder(nodes)


def _slots(nodes: List[Dict[str, Any]], which: List[int]) -> np.ndarray:
    """The layout's slots of the nodes `which`."""
    return np.array([nodes[i]["slot"] for i in which], dtype=np.int64)


def _batches(nodes: List[Dict[str, Any]], open_: List[int], most: int) -> List[Tuple[int, int]]:
    """The open nodes in batches of at most `most` (or two), as (start, end)
    in `open_`, two siblings always in the same batch and a batch's nodes
    all of one handler."""
    out: List[Tuple[int, int]] = []
    start = 0
    while start < len(open_):
        end = start + 1
        handler = nodes[open_[start]].get("handler", 0)
        while end < len(open_) and end - start < max(most, 2) and nodes[open_[end]].get("handler", 0) == handler:
            end += 1
        if end < len(open_) and nodes[open_[end]].get("parent", -1) == nodes[open_[end - 1]].get("parent", -2):
            end -= 1
        out.append((start, end))
        start = end
    return out


def _waves(nodes: List[Dict[str, Any]], open_: List[int], batches: List[Tuple[int, int]]) -> List[List[int]]:
    """The batches (by index) in waves searched at once: the first batch of
    every handler, then the second, ..."""
    seen: Dict[int, int] = {}
    waves: List[List[int]] = []
    for j, (b, _) in enumerate(batches):
        handler = nodes[open_[b]].get("handler", 0)
        rank = seen.get(handler, 0)
        seen[handler] = rank + 1
        if rank == len(waves):
            waves.append([])
        waves[rank].append(j)
    return waves


# A round of fewer open nodes is searched on one worker; from this many on,
# its nodes are spread over the workers (see _by_handler).
_SPREAD = 24


def _by_handler(nodes: List[Dict[str, Any]], which: List[int], n_workers: int) -> List[int]:
    """The nodes `which` grouped by the worker that searches them (their
    "handler", set here): a node's parent's, where it keeps the parent's
    merged summary, unless that leaves a worker more than an even share
    of a round of _SPREAD nodes or more: then two siblings at a time move
    to the worker of fewest. In their order within a handler."""
    for i in which:
        parent = nodes[i].get("parent")
        nodes[i]["handler"] = 0 if parent is None else nodes[parent].get("handler", 0)
    if n_workers > 1 and len(which) >= _SPREAD:
        share = -(-len(which) // n_workers)
        load = [0] * n_workers
        for i in which:
            load[nodes[i]["handler"]] += 1
        units: List[List[int]] = []  # siblings together
        for i in which:
            if units and nodes[units[-1][0]].get("parent") == nodes[i].get("parent"):
                units[-1].append(i)
            else:
                units.append([i])
        for unit in reversed(units):
            h = nodes[unit[0]]["handler"]
            g = min(range(n_workers), key=load.__getitem__)
            if load[h] > share and load[g] + len(unit) <= share:
                for i in unit:
                    nodes[i]["handler"] = g
                load[h] -= len(unit)
                load[g] += len(unit)
    return sorted(which, key=lambda i: nodes[i]["handler"])


def _preorder(nodes: List[Dict[str, Any]]) -> List[int]:
    """The tree's nodes depth first, left subtree first."""
    order: List[int] = []
    stack = [0]
    while stack:
        i = stack.pop()
        order.append(i)
        if "children" in nodes[i]:
            stack.extend(reversed(nodes[i]["children"]))
    return order


def _best_first(nodes: List[Dict[str, Any]], max_leaf_nodes: int, fresh: List[int]) -> Tuple[List[int], List[int]]:
    """The in-memory learner's best-first growth replayed over the nodes
    searched so far: the open node of largest improvement (then of smallest
    id) is taken next, split while the budget of max_leaf_nodes - 1 splits
    lasts, its children numbered in turn; a node without a split has
    improvement 0. Sets "children" of the splits made; returns the nodes
    numbered so far in their id order and, of the nodes `fresh` searched
    this round, those whose children are searched next: the splits made and
    those the replay may still make.

    The replay stops at a child not searched yet. A node waiting in the
    queue, or below one, is split only after its unsplit ancestors and
    every known split whose way down from the queue ranks above it all the
    way. When those already use the remaining budget it never splits, and
    no more come ahead of it later, so its children are left unsearched."""
    def key(i: int) -> float:
        return nodes[i]["split"]["improvement"] if "split" in nodes[i] else 0.0

    def unknown(i: int) -> bool:
        node = nodes[i]
        return not node.get("searched") and "split" not in node and i in nodes[node["parent"]]["searchable"]

    ids = {0: 0}
    queue = [(-key(0), 0, 0)]
    splits_left = max_leaf_nodes - 1
    for i in fresh:
        nodes[i]["searched"] = True
    blocked = False  # a child not searched yet is queued: its place is unknown
    while queue and splits_left > 0 and not blocked:
        _, _, i = heapq.heappop(queue)
        if "split" not in nodes[i]:
            continue
        splits_left -= 1
        nodes[i]["children"] = nodes[i]["split"]["pair"]
        for c in nodes[i]["children"]:
            ids[c] = len(ids)
            heapq.heappush(queue, (-key(c), ids[c], c))
            blocked = blocked or unknown(c)
    order = sorted(ids, key=ids.__getitem__)
    if not queue or splits_left <= 0:
        return order, []
    # A node's place: later ids come after; a node without an id yet gets
    # one above every id given.
    def place(i: int) -> Tuple[float, int]:
        return key(i), -ids.get(i, len(nodes))

    # Per known split not made yet, the lowest place on its way down from
    # the queue: when that is above a node's, the split is made before the
    # node's own (its way down is taken first).
    lowest: Dict[int, Tuple[float, int]] = {}
    stack = [(i, place(i)) for _, _, i in queue if "split" in nodes[i]]
    while stack:
        i, low = stack.pop()
        lowest[i] = low
        stack.extend((c, min(low, place(c))) for c in nodes[i]["split"]["pair"] if "split" in nodes[c])
    ranks = sorted(lowest.values())
    waiting = {i for _, _, i in queue}
    growing = []
    for i in fresh:
        if "split" not in nodes[i]:
            continue
        if "children" in nodes[i]:
            growing.append(i)
            continue
        own = place(i)
        before = len(ranks) - bisect.bisect_right(ranks, own)  # the splits made before node i's own
        a = i
        while a not in waiting:  # and its ancestors' splits, not counted yet
            a = nodes[a]["parent"]
            before += lowest[a] <= own
        if before < splits_left:
            growing.append(i)
    grown = set(growing)
    if any(unknown(i) and nodes[i]["parent"] not in grown for i in waiting):
        raise RuntimeError("the best-first replay waits for a node whose rows are gone")
    return order, growing


def _search(client: Any, held: List[Any], bins: Any, nodes: List[Dict[str, Any]], which: List[int],
            slots: np.ndarray, params: Tuple[Any, ...], total_weight: float, n_classes: int,
            homes: List[List[str]], handler: int, fused: bool) -> Any:
    """The future of the splits of the open nodes `which` (in `slots`,
    ascending), with per node its children's bounds ("bounds": the
    left's lower and upper, then the right's) and what _constants reads;
    each worker's steps run on `homes`, its own, and the steps over the
    merged summary on the worker `handler`, where it stays (for the nodes'
    children: see _siblings); with `fused`, the handler's own steps over
    its rows are made in its steps over the merged summary. Every step is
    submitted at once: the client waits only for the splits."""
    picked = [nodes[i] for i in which]
    k = len(picked)
    here = homes[handler]
    counted, derive = _siblings(nodes, which)
    if derive is not None:  # a parent's summary kept on another worker: only its rows needed come
        sibling, parent, *parents = derive
        for x, (first, home) in enumerate(parents):
            if home != handler:
                needed = np.unique(parent[parent[:, 0] == x, 1])
                parents[x] = (client.submit(rows.summary_rows, held[home], first, needed, workers=homes[home],
                                            pure=False), home)
                parent[parent[:, 0] == x, 1] = np.searchsorted(needed, parent[parent[:, 0] == x, 1])
        derive = (sibling, parent, *(kept for kept, _ in parents))
    # Spans serve only drawn features and random thresholds. Steps over a
    # worker's rows run on that worker: Dask would otherwise move the rows
    # to balance the work of a busy worker.
    spans = params[7] >= 0 or bool(params[8])
    # With `fused`, the handler's own steps over its rows are part of its
    # steps over the merged summary (search_round, pick_runs, choose): a
    # task less each, where other handlers keep the cores busy meanwhile.
    # Counts merged where they are made are not deflated.
    mine = handler if fused else None
    others = [(x, h, w) for x, (h, w) in enumerate(zip(held, homes)) if x != mine]
    parts = [client.submit(rows.summarize, h, slots, k, bins, None if derive is None else counted, spans,
                           x != handler, workers=w, pure=False)
             for x, h, w in others]
    totals = np.array([node["totals"] for node in picked], dtype=np.float64).reshape(k, n_classes)
    n = np.array([node["n"] for node in picked], dtype=np.int64)
    weight = np.array([node["weight"] for node in picked], dtype=np.float64)
    keys = np.array([node["key"] for node in picked], dtype=np.uint64)
    bounds = np.array([node["bounds"] for node in picked], dtype=np.float64).reshape(k, 2)
    known = [node["constants"] for node in picked]
    sibling, parent, *parents = (None, None) if derive is None else derive
    # Merged, drawn and judged on one worker, next to the merged summary,
    # which may be large; it stays there, kept with the handler's rows
    # under the round's first slot (the round's state), and outlives the
    # round with its kept summary alone (for the nodes' children).
    search = (totals, n, weight, params, keys, known, None if params[10] is None else bounds)
    first = int(slots[0])
    asked = client.submit(rows.search_round, held[handler], first, bins, n_classes, counted, sibling, parent,
                          tuple(parents), search, None if mine is None else (slots, spans, mine), *parts,
                          workers=here, pure=False)
    del parts
    for j, node in enumerate(picked):
        node["summary"] = (first, j, handler)
    impurity = np.array([node["impurity"] for node in picked], dtype=np.float64)
    # The refined bins' values, or runs of them and then the values of the
    # runs that may hold the best split; each worker's kept until then.
    sent = [client.submit(rows.list_runs, h, asked, slots, bins, x != handler, workers=w, pure=False)
            for x, h, w in others]
    runs = client.submit(rows.pick_runs, held[handler], first, None if mine is None else (slots, bins, mine), totals, n,
                         weight, params, *sent, workers=here, pure=False)
    values = [client.submit(rows.run_values, h, first, runs, workers=w, pure=False) for _, h, w in others]
    return client.submit(rows.choose, held[handler], first, mine, totals, n, weight, params, runs, impurity,
                         total_weight, *values, workers=here, pure=False)


def _constants(found: Dict[str, Any], known: List[np.ndarray]) -> np.ndarray:
    """Per node its children's known constant features: those it knew, or
    those found when its features were drawn."""
    constants = np.empty(len(known), dtype=object)
    ends, drawn = found.pop("ends"), found.pop("drawn")
    if ends is None:
        constants[:] = known
    else:
        for j in range(len(known)):
            constants[j] = drawn[ends[j]:ends[j + 1]]
    return constants


def _siblings(nodes: List[Dict[str, Any]], which: List[int]) -> Tuple[np.ndarray, Any]:
    """Of the nodes `which`, those whose counts are summed over the workers
    (`counted`), and how the others' are found (None: every node's are
    summed): (sibling, parent, *parents) as rows.merge_round takes them,
    each of `parents` (the first slot of the round that kept the summary)
    with its handler. Where both children of a node whose summary is kept
    are here, the larger's (of more rows; the right one on a tie) are its
    parent's less the smaller's."""
    k = len(which)
    counted = np.ones(k, dtype=bool)
    sibling = np.full(k, -1, dtype=np.int64)
    parent = np.zeros((k, 2), dtype=np.int64)
    parents: List[Any] = []
    slot = {i: j for j, i in enumerate(which)}
    for j, i in enumerate(which):
        up = nodes[i].get("parent")
        if up is None or "summary" not in nodes[up]:
            continue
        a, b = nodes[up]["split"]["pair"]
        if a not in slot or b not in slot or i != (b if nodes[b]["n"] >= nodes[a]["n"] else a):
            continue
        first, row, home = nodes[up]["summary"]
        if not any(first == f for f, _ in parents):
            parents.append((first, home))
        counted[j] = False
        sibling[j] = slot[a if i == b else b]
        parent[j] = (next(x for x, (f, _) in enumerate(parents) if f == first), row)
    return counted, (None if counted.all() else (sibling, parent, *parents))


def _arrays(nodes: List[Dict[str, Any]], order: List[int], n_classes: int, n_categories: np.ndarray,
            bounded: bool) -> Dict[str, Any]:
    """The tree's arrays, the nodes numbered in `order`; with `bounded`
    (monotonic constraints on two classes) the class probabilities clipped
    into each node's bounds."""
    p = len(n_categories)
    new_id = {i: j for j, i in enumerate(order)}
    m = len(order)
    d: Dict[str, Any] = {
        "children_left": np.full(m, -1, dtype=np.int64), "children_right": np.full(m, -1, dtype=np.int64),
        "feature": np.full(m, -2, dtype=np.int64), "threshold": np.full(m, np.nan),
        "missing_go_to_left": np.zeros(m, dtype=np.uint8), "is_categorical": np.zeros(m, dtype=np.uint8),
        "category_offset": np.full(m, -1, dtype=np.int64), "category_bits": np.zeros(0, dtype=np.uint64),
        "n_categories": n_categories,
        "n_node_samples": np.array([nodes[i]["n"] for i in order], dtype=np.int64),
        "weighted_n_node_samples": np.array([nodes[i]["weight"] for i in order], dtype=np.float64),
        "impurity": np.array([nodes[i]["impurity"] for i in order], dtype=np.float64),
        "value": np.array([nodes[i]["totals"] for i in order], dtype=np.float64).reshape(m, n_classes),
        "n_classes": n_classes, "n_features": p,
    }
    if bounded:
        share = _learner.bounded_shares(d["value"], d["weighted_n_node_samples"],
                                        np.array([nodes[i]["bounds"] for i in order], dtype=np.float64))
        d["proba"] = np.column_stack([share, 1.0 - share])
    sets: List[np.ndarray] = []
    for j, i in enumerate(order):
        node = nodes[i]
        if "children" in node:
            d["children_left"][j], d["children_right"][j] = (new_id[c] for c in node["children"])
            node = node["split"]
            d["feature"][j] = node["feature"]
            d["threshold"][j] = node["threshold"]
            d["missing_go_to_left"][j] = node["missing_left"]
            k = n_categories[node["feature"]]
            if k > 0:  # the sets in node order, each as wide as its feature's
                d["is_categorical"][j] = 1
                d["category_offset"][j] = sum(len(s) for s in sets)
                sets.append(node["categories"][:max(1, (k + 63) // 64)])
    if sets:
        d["category_bits"] = np.concatenate(sets).astype(np.uint64)
    return d
