"""The distributed fit's small nodes, finished on one worker each.

A searched node of at most ``tavrin.local_rows`` rows costs a round trip
per level of its subtree if it stays spread over the workers, and each
node of that subtree's summaries move between them. When its rows weigh
less than those summaries may (``Finisher.split``), its rows (values,
class codes, weights; rows of weight zero take no part) are gathered from
every worker to one, which grows its whole subtree with the
in-memory learner, as the subtree of that node: from the node's depth,
with the whole fit's total weight and resolved limits, so that the subtree
is the one the in-memory fit of all the rows grows there. The largest
nodes are placed first, each on the worker given the fewest rows so far; a
worker grows its nodes of a level in one task (each worker's rows for it
travel in one piece), while the spread growth goes on, and their subtrees
are grafted into the tree at the end.

The rows of a node finished here stay in its slot until the next
routing, where they leave the growth.
"""
from __future__ import annotations

import operator
from numbers import Integral
from typing import Any, Dict, List, Optional, Tuple

import dask
import numpy as np

from ._tree import grow

# A node of 100,000 rows x 20 float64 features is 16 MB to move and grows
# its subtree in well under a second, where its share of each remaining
# level's round trips over the workers costs more.
DEFAULT_LOCAL_ROWS = 100_000

Rows = Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]


def local_rows(est: Any) -> int:
    """The ``tavrin.local_rows`` knob, checked; 0 where local finishing does
    not apply (best-first growth, whose order is the whole tree's, and
    monotonic constraints, whose clipped values are read per node over the
    whole tree). Drawn features and thresholds do: a subtree draws by its
    nodes' keys, as the whole fit does."""
    value = dask.config.get("tavrin.local_rows", DEFAULT_LOCAL_ROWS)
    if isinstance(value, bool) or not isinstance(value, Integral) or value < 0:
        raise ValueError(f"tavrin.local_rows must be a whole number of rows, 0 or more (0: never finish a node "
                         f"on one worker), got {value!r}")
    if est.max_leaf_nodes is not None or est.monotonic_cst is not None:
        return 0
    return int(value)


def local_by_bytes() -> bool:
    """The ``tavrin.local_by_bytes`` knob, checked: True (the default) to
    finish a node within ``tavrin.local_rows`` on one worker only where its
    rows weigh fewer bytes than the summaries its subtree may send; False to
    finish every such node there, which is faster where bytes move cheaply
    (one machine, a fast network) and moves the rows."""
    value = dask.config.get("tavrin.local_by_bytes", True)
    if not isinstance(value, bool):
        raise ValueError(f"tavrin.local_by_bytes must be True or False, got {value!r}")
    return value


def rows_of(held: Any, slots: np.ndarray, groups: List[List[int]]) -> List[List[Rows]]:
    """Per group of nodes (j: the node in slot slots[j]), per node its rows
    of weight above zero, as (values, class codes, weights or None)."""
    code = np.min_scalar_type(held.n_classes - 1)  # the codes travel as the narrowest unsigned type
    out: List[List[Rows]] = []
    for group in groups:
        out.append([])
        for s in (int(slots[j]) for j in group):
            a, z = (int(held.starts[s]), int(held.starts[s + 1])) if s + 1 < len(held.starts) else (0, 0)
            out[-1].append((held.x[held.order[a:z]], held.codes[a:z].astype(code),
                            None if held.weight is None else held.weight[a:z]))
    return out


def finish(n_classes: int, n_categories: np.ndarray, limits: Tuple[Any, ...], draws: Tuple[int, bool, int],
           roots: List[Tuple[int, float, int, float, float, Optional[np.ndarray]]],
           *pieces: List[Rows]) -> List[Dict[str, Any]]:
    """The subtrees of nodes (`roots`, each as the learner's grow takes it)
    from their rows on every worker (per worker a list: the nodes' rows in
    the order of `roots`), as tree arrays; `draws` (max_features as the
    learner takes it, random splits, the seed) are the whole fit's."""
    trees = []
    for k, root in enumerate(roots):
        x = np.concatenate([piece[k][0] for piece in pieces])
        codes = np.concatenate([piece[k][1] for piece in pieces]).astype(np.int64)
        weights = [w for w in (piece[k][2] for piece in pieces) if w is not None]
        w = np.concatenate(weights) if weights else np.ones(len(codes))
        criterion, max_depth, split, leaf, min_weight_leaf, min_decrease = limits
        tree = grow(x, codes, w, n_classes, n_categories, criterion, max_depth, split, leaf, min_weight_leaf,
                    min_decrease, -1, 1, *draws, None, root)
        trees.append(tree.to_dict())
    return trees


class Finisher:
    """The nodes finished on single workers, for one fit."""

    def __init__(self, client: Any, limit: int, limits: Tuple[Any, ...], total_weight: float, n_classes: int,
                 n_categories: np.ndarray, workers: List[str], n_bins: int, weighted: bool) -> None:
        self.client, self.limit, self.limits = client, limit, limits[:6]
        self.by_bytes = local_by_bytes()
        # Bytes that cross between workers: per row gathered (its values,
        # class code and weight), and per node searched over them (about a
        # byte per count of its summary, once per worker but one: counts
        # travel packed, half the nodes' counts are found by subtraction,
        # and the values of refined bins come on top).
        p, across = len(n_categories), (len(workers) - 1) / max(1, len(workers))
        self.row_bytes = (8 * p + 1 + 8 * weighted) * across
        self.node_bytes = p * (n_bins + 1) * (n_classes + 1) * (len(workers) - 1)
        self.draws = (int(limits[7]), bool(limits[8]), int(limits[9]))
        self.total_weight, self.n_classes, self.n_categories = total_weight, n_classes, n_categories
        self.load = dict.fromkeys(workers, 0)
        self.homes = [[w] for w in workers]  # the worker of each of the fit's `held`, in order
        self.subtrees: List[Tuple[List[int], Any]] = []

    def split(self, nodes: List[Dict[str, Any]], searched: List[int]) -> Tuple[List[int], List[int]]:
        """The searched nodes as (those searched over the workers, those
        finished on one), each in the order given: finished on one when of
        at most `limit` rows and (with `by_bytes`) these rows weigh no more
        than the summaries of the most nodes its subtree can search over the
        workers."""
        local = [i for i in searched
                 if nodes[i]["n"] <= self.limit and (not self.by_bytes or self._cheaper(nodes[i]))]
        chosen = set(local)
        return [i for i in searched if i not in chosen], local

    def _cheaper(self, node: Dict[str, Any]) -> bool:
        """Whether gathering the node's rows moves fewer bytes than growing
        its subtree over the workers may: a level of the subtree searches
        at most 2**j nodes, and at most one per min_samples_split rows,
        down to max_depth (without one, at most one level per row pair)."""
        n, max_depth, least = node["n"], self.limits[1], max(2, self.limits[2])
        levels = n if max_depth < 0 else max_depth - node["depth"]
        widest = n // least
        searched = sum(min(2**j, widest) for j in range(min(levels, widest.bit_length() + 1)))
        searched += max(0, levels - widest.bit_length() - 1) * widest
        return bool(n * self.row_bytes <= searched * self.node_bytes)

    def submit(self, held: List[Any], nodes: List[Dict[str, Any]], local: List[int], slots: np.ndarray) -> None:
        """Starts the subtrees of the nodes `local`, whose rows are in slots
        `slots` of `held` (one per worker holding rows)."""
        if not local:
            return
        client = self.client
        # Largest first, each node to the worker of the fewest rows so far.
        groups: Dict[str, List[int]] = {}
        for j in sorted(range(len(local)), key=lambda j: -nodes[local[j]]["n"]):
            worker = min(self.load, key=lambda w: (self.load[w], w))
            self.load[worker] += nodes[local[j]]["n"]
            groups.setdefault(worker, []).append(j)
        targets = sorted(groups)
        # Each worker's rows are cut where they are; only a node's own go,
        # each worker's for one target in one piece.
        home = self.homes
        extracted = [client.submit(rows_of, h, slots, [groups[t] for t in targets], workers=w, pure=False)
                     for h, w in zip(held, home)]
        for g, target in enumerate(targets):
            pieces = [client.submit(operator.getitem, e, g, workers=w, pure=False) for e, w in zip(extracted, home)]
            roots = [(node["depth"], self.total_weight, node["key"], *node["bounds"],
                      np.asarray(node["constants"], dtype=np.int64)) for node in (nodes[local[j]] for j in groups[target])]
            # Behind the growth's own tasks (negative priorities).
            self.subtrees.append(([local[j] for j in groups[target]], client.submit(
                finish, self.n_classes, self.n_categories, self.limits, self.draws, roots, *pieces, workers=[target],
                priority=nodes[local[groups[target][0]]]["n"] - 2**40, pure=False)))

    def graft(self, nodes: List[Dict[str, Any]]) -> None:
        """Waits for the subtrees and puts them in `nodes` under their roots."""
        if not self.subtrees:
            return
        grown = self.client.gather([future for _, future in self.subtrees])
        for (at, _), trees in zip(self.subtrees, grown):
            for i, tree in zip(at, trees):
                _graft(nodes, i, tree)


def _graft(nodes: List[Dict[str, Any]], at: int, tree: Dict[str, Any]) -> None:
    """Node `at` with the subtree `tree` (arrays, its root first) below it;
    the root's own statistics stay those the workers counted."""
    m = len(tree["children_left"])
    index = [at] + list(range(len(nodes), len(nodes) + m - 1))
    value = np.asarray(tree["value"]).reshape(m, -1)
    for t in range(1, m):
        nodes.append({"n": int(tree["n_node_samples"][t]), "weight": float(tree["weighted_n_node_samples"][t]),
                      "totals": value[t].copy(), "impurity": float(tree["impurity"][t])})
    words = [max(1, (int(k) + 63) // 64) for k in tree["n_categories"]]
    for t in range(m):
        left = int(tree["children_left"][t])
        if left < 0:
            continue
        f, offset = int(tree["feature"][t]), int(tree["category_offset"][t])
        sets = tree["category_bits"][offset:offset + words[f]] if offset >= 0 else np.zeros(1, dtype=np.uint64)
        pair = (index[left], index[int(tree["children_right"][t])])
        nodes[index[t]].update(children=pair, split=dict(
            feature=f, threshold=float(tree["threshold"][t]), missing_left=bool(tree["missing_go_to_left"][t]),
            pair=pair, categories=np.asarray(sets, dtype=np.uint64)))
