"""TreeClassifier.fit on Dask collections, run on the workers of the
current ``distributed`` Client; the tree is node for node the one the
in-memory fit grows on the same rows.

The partitions stay on their workers (``_dask_rows``; only small nodes'
rows move, to be finished on one worker: ``_dask_local``). The tree grows a
level at a time: the workers summarise their rows of each open node per
feature and bin (class weights, rows, smallest and largest value), the
summaries are added up in a tree of reductions, and the learner's binned
search (``_learner.refine_mask``) names the bins whose exact values may
still hold the best split; only those bins' distinct values travel, and
``_learner.choose_splits`` picks each node's split by the in-memory
learner's rules. The splits go back to the workers, which move each row to
its child's slot. Nodes are numbered depth first at the end, as the
in-memory learner numbers them. A category column's bins are its
categories (in the one list of every partition's categories), so its
merged summary is the per-category counts the in-memory categorical search
reads; it is never refined.

Knobs (``dask.config``): ``tavrin.max_bins`` (default 256), the bins per
feature; ``tavrin.local_rows`` (default 100,000; 0: never), the rows up to
which a searched node is finished on one worker (``_dask_local``). Neither
changes the tree, only what travels.
"""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import dask
from dask.delayed import delayed
import numpy as np
import pandas as pd
from sklearn.utils.class_weight import compute_class_weight
from sklearn.utils.multiclass import check_classification_targets

from . import _learner
from . import _dask_rows as rows
from ._dask_local import Finisher, local_rows
from ._frame import _categories, _within_limit
from ._pruning import prune, subtree
from ._search_params import growth_limits
from ._sk_compat import check_feature_names
from ._tree import FlatTree

# Bytes of one batch's merged bin summaries: open nodes beyond it are
# summarised in further batches.
_SUMMARY_BYTES = 1 << 26

_NO_CLIENT = ("fitting on a Dask collection runs on a distributed cluster, and no Client is running: start "
              "one first, e.g. `from distributed import Client; client = Client()` (a local cluster) or "
              "`Client('scheduler-address:8786')`")


def _client() -> Any:
    try:
        from distributed import get_client
        return get_client()
    except (ImportError, ValueError):
        raise RuntimeError(_NO_CLIENT) from None


def _unsupported(est: Any) -> List[str]:
    defaults = {"splitter": "best", "max_features": None, "max_leaf_nodes": None, "monotonic_cst": None, "categorical_features": "from_dtype"}
    return [name for name, default in defaults.items()
            if not (getattr(est, name) is default or (isinstance(default, str) and getattr(est, name) == default))]


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


def _reduce(client: Any, futures: List[Any], combine: Any) -> Any:
    """The combination of the futures' results, pairwise on the workers."""
    while len(futures) > 1:
        paired = [client.submit(combine, a, b, pure=False) for a, b in zip(futures[::2], futures[1::2])]
        futures = paired + futures[len(paired) * 2:]
    return futures[0].result()


def fit_distributed(est: Any, X: Any, y: Any, sample_weight: Any) -> None:
    """Fit's work for a Dask X, on the staging estimator (see TreeClassifier.fit)."""
    est._validate_params()
    unsupported = _unsupported(est)
    if unsupported:
        raise NotImplementedError(f"the distributed fit does not support {', '.join(unsupported)} yet: leave "
                                  "them at their defaults, or fit in memory")
    max_bins = int(dask.config.get("tavrin.max_bins", 256))
    if not 2 <= max_bins <= 65534:
        raise ValueError(f"tavrin.max_bins must be from 2 to 65534, got {max_bins}")
    limit = local_rows(est)
    client = _client()
    triples, p, meta, categorical = _parts(X, y, sample_weight)
    check_feature_names(est, meta, reset=True)
    parts = client.compute([delayed(rows.read_part)(x, yy, w, p, max_bins, categorical)
                            for x, yy, w in triples])
    labels = client.gather([client.submit(rows.labels_of, part) for part in parts])
    sketches = client.gather([client.submit(rows.sketches_of, part) for part in parts])
    uniques = [u for u, _ in labels if len(u)]
    if not uniques:
        raise ValueError("Found array with 0 sample(s) while a minimum of 1 is required by TreeClassifier.")
    every = np.concatenate(uniques)
    check_classification_targets(every)
    try:
        classes = np.unique(every)
    except TypeError as exc:
        raise ValueError(f"the labels in y must be comparable with each other to be sorted: {exc}") from None
    class_counts = np.zeros(len(classes), dtype=np.int64)
    for u, c in labels:
        np.add.at(class_counts, np.searchsorted(classes, u), c)
    class_weight = _class_weights(est.class_weight, classes, class_counts)
    edges = [rows.edges_of([s[j] for s in sketches], max_bins) for j in range(p)]
    n_bins = max(len(e) for e in edges) + 1
    categories: List[Optional[np.ndarray]] = [None] * p
    if categorical:
        found = client.gather([client.submit(rows.categories_of, part) for part in parts])
        categories = [_global_categories([c[j] for c in found], meta.columns[j]) for j in range(p)]
        n_bins = max([n_bins] + [len(c) for c in categories if c is not None])
        if n_bins > 65535:
            raise ValueError(f"the distributed fit takes at most 65535 categories per column, got {n_bins}")

    where = client.who_has(parts)
    by_worker: Dict[str, List[Any]] = {}
    for part in parts:
        by_worker.setdefault(sorted(where[part.key])[0], []).append(part)
    held = [client.submit(rows.hold, classes, class_weight, edges, categories, n_bins, sample_weight is not None, *group,
                          workers=[w], allow_other_workers=False, pure=False)
            for w, group in sorted(by_worker.items())]
    del parts
    counts = client.gather([client.submit(rows.root_counts, h, pure=False) for h in held])
    n = sum(c[1] for c in counts)
    n_all = int(class_counts.sum())
    total_weight = float(sum(c[3] for c in counts))
    if not total_weight > 0:
        raise ValueError("Sample weights must contain at least one non-zero number.")
    params: Tuple[Any, ...] = growth_limits(est, n_all, total_weight)
    n_categories = np.array([0 if c is None else len(c) for c in categories], dtype=np.int64)
    if categorical:
        params += (n_categories,)
    root = {"depth": 0, "n": n, "weight": float(sum(c[2] for c in counts)), "totals": sum(c[0] for c in counts)}
    finish = Finisher(client, limit, params, total_weight, len(classes), n_categories, sorted(by_worker))
    nodes = _grow(client, held, root, params, total_weight, len(classes), p, n_bins, finish)

    est.n_features_in_ = p
    est.classes_ = classes
    est.n_classes_ = len(classes)
    est.categories_ = categories
    est.is_categorical_ = n_categories > 0
    est.max_features_ = p
    flat = _arrays(nodes, len(classes), n_categories)
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


def _grow(client: Any, held: List[Any], root: Dict[str, Any], params: Tuple[Any, ...], total_weight: float,
          n_classes: int, p: int, n_bins: int, finish: Finisher) -> List[Dict[str, Any]]:
    """Every node of the tree, level by level: dicts of their statistics and,
    at a split, the split and the places of the children in the list."""
    nodes = [root]
    batch = max(1, _SUMMARY_BYTES // (p * (n_bins + 1) * (n_classes + 3) * 8))
    open_, local = finish.split(nodes, _stats(nodes, [0], params, n_classes))  # in slot order
    finish.submit(held, nodes, local, len(open_))
    while open_:
        k = len(open_)
        found = [_search(client, held, nodes, open_[b:b + batch], b, params, total_weight, n_classes, finish.homes)
                 for b in range(0, k, batch)]
        chosen = {name: np.concatenate([f[name] for f in found]) for name in found[0]}
        children: List[int] = []
        for slot, i in enumerate(open_):
            if chosen["feature"][slot] < 0:
                continue
            node = nodes[i]
            left, wl, nl = chosen["left"][slot].copy(), float(chosen["weight_left"][slot]), int(chosen["n_left"][slot])
            node.update(feature=int(chosen["feature"][slot]), threshold=float(chosen["threshold"][slot]),
                        missing_left=bool(chosen["missing_left"][slot]), children=(len(nodes), len(nodes) + 1),
                        categories=chosen["categories"][slot].copy())
            depth = node["depth"] + 1
            nodes.append({"depth": depth, "n": nl, "weight": wl, "totals": left})
            nodes.append({"depth": depth, "n": node["n"] - nl, "weight": node["weight"] - wl,
                          "totals": node["totals"] - left})
            children.extend(node["children"])
        searched, local = finish.split(nodes, _stats(nodes, children, params, n_classes))
        if searched or local:
            # The rows of searched children take their slots of the next level,
            # those of children finished on one worker the slots after them.
            slot_of = {i: s for s, i in enumerate(searched + local)}
            to_left = np.full(k, -1, dtype=np.int32)
            to_right = np.full(k, -1, dtype=np.int32)
            for slot, i in enumerate(open_):
                if "children" in nodes[i]:
                    a, b = nodes[i]["children"]
                    to_left[slot], to_right[slot] = slot_of.get(a, -1), slot_of.get(b, -1)
            held = [client.submit(rows.route, h, chosen["feature"], chosen["threshold"], chosen["missing_left"],
                                  chosen["categories"], to_left, to_right, workers=w, pure=False)
                    for h, w in zip(held, finish.homes)]
        finish.submit(held, nodes, local, len(searched))
        open_ = searched
    finish.graft(nodes)
    return nodes


def _search(client: Any, held: List[Any], nodes: List[Dict[str, Any]], which: List[int], first: int,
            params: Tuple[Any, ...], total_weight: float, n_classes: int,
            homes: List[List[str]]) -> Dict[str, np.ndarray]:
    """The splits of the open nodes `which` (slots first, first + 1, ...)."""
    picked = [nodes[i] for i in which]
    k = len(picked)
    # Steps over a worker's rows run on that worker: Dask would otherwise
    # move the rows to balance the work of a busy worker.
    summary = _reduce(client, [client.submit(rows.summarize, h, first, k, workers=w, pure=False)
                               for h, w in zip(held, homes)],
                      rows.add_summaries)
    totals = np.array([node["totals"] for node in picked], dtype=np.float64).reshape(k, n_classes)
    n = np.array([node["n"] for node in picked], dtype=np.int64)
    weight = np.array([node["weight"] for node in picked], dtype=np.float64)
    mask = _learner.refine_mask(*summary, totals, n, weight, params)
    requests = np.argwhere(mask).astype(np.int64)
    requests[:, 0] += first
    if len(requests):
        lists = _reduce(client, [client.submit(rows.list_values, h, requests, workers=w, pure=False)
                                 for h, w in zip(held, homes)],
                        rows.merge_lists)
    else:
        lists = (np.zeros(1, dtype=np.int64), np.empty(0), np.empty((0, n_classes + 1)))
    impurity = np.array([node["impurity"] for node in picked], dtype=np.float64)
    found: Dict[str, np.ndarray] = _learner.choose_splits(*summary, totals, n, weight, params, mask, lists,
                                                          impurity, total_weight)
    return found


def _arrays(nodes: List[Dict[str, Any]], n_classes: int, n_categories: np.ndarray) -> Dict[str, Any]:
    """The tree's arrays, nodes numbered depth first, left subtree first."""
    p = len(n_categories)
    order: List[int] = []
    stack = [0]
    while stack:
        i = stack.pop()
        order.append(i)
        if "children" in nodes[i]:
            stack.extend(reversed(nodes[i]["children"]))
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
    sets: List[np.ndarray] = []
    for j, i in enumerate(order):
        node = nodes[i]
        if "children" in node:
            d["children_left"][j], d["children_right"][j] = (new_id[c] for c in node["children"])
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
