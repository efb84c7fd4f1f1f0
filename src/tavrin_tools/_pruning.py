"""Minimal cost-complexity pruning of a flat tree (a dict of parallel arrays).

The weakest-link sequence is scikit-learn's, step for step: R(t) is a node's
weighted impurity w(t) * impurity(t) / w(root); R(T_t) the sum of R over the
leaves below t, accumulated leaf by leaf in node-id order; each step prunes the
internal node with the smallest (R(t) - R(T_t)) / (|leaves(T_t)| - 1), the
lowest id among equals, and adds the change to every ancestor. The same
floating-point operations in the same order give the same alphas, bit for bit.
"""
from __future__ import annotations

import heapq
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._tree import PER_NODE

Tree = Dict[str, Any]


def _parents(left: np.ndarray, right: np.ndarray) -> np.ndarray:
    parent = np.full(left.shape[0], -1, dtype=np.int64)
    internal = np.flatnonzero(left >= 0)
    parent[left[internal]] = internal
    parent[right[internal]] = internal
    return parent


def _branch_risk(r_node: np.ndarray, parent: np.ndarray, leaves: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """R(T_t) and the leaf count of every subtree: each leaf's R added to its
    ancestors, leaves taken in increasing id (np.add.at adds in index order)."""
    ancestors: List[np.ndarray] = []
    owners: List[np.ndarray] = []
    node, leaf = leaves, leaves
    while True:
        up = parent[node]
        keep = up >= 0
        if not keep.any():
            break
        node, leaf = up[keep], leaf[keep]
        ancestors.append(node)
        owners.append(leaf)
    r_branch = np.zeros_like(r_node)
    r_branch[leaves] = r_node[leaves]
    n_leaves = np.zeros(r_node.shape[0], dtype=np.int64)
    if ancestors:
        anc = np.concatenate(ancestors)
        own = np.concatenate(owners)
        order = np.argsort(own, kind="stable")
        np.add.at(r_branch, anc[order], r_node[own[order]])
        n_leaves = np.bincount(anc, minlength=r_node.shape[0]).astype(np.int64)
    return r_branch, n_leaves


def prune(tree: Tree, ccp_alpha: Optional[float]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Prunes while the weakest link's alpha is at most ``ccp_alpha`` (None:
    to the root). Returns (alphas, total leaf impurities, leaf mask): the path
    starts at (0, R(T)); the mask marks the leaves of the pruned tree."""
    left = np.asarray(tree["children_left"], dtype=np.int64)
    right = np.asarray(tree["children_right"], dtype=np.int64)
    weight = np.asarray(tree["weighted_n_node_samples"], dtype=np.float64)
    r_node = weight * np.asarray(tree["impurity"], dtype=np.float64) / weight[0]
    parent = _parents(left, right)
    leaf_mask = left < 0
    r_b, n_l = _branch_risk(r_node, parent, np.flatnonzero(leaf_mask))

    rn, rb, nl = r_node.tolist(), r_b.tolist(), n_l.tolist()
    up, lo, hi = parent.tolist(), left.tolist(), right.tolist()
    candidate = (~leaf_mask).tolist()
    in_tree = [True] * len(rn)
    version = [0] * len(rn)
    # Entries (alpha, id, version): the heap's order is the scan's order
    # (smallest alpha, then lowest id); stale versions are skipped.
    heap = [((rn[i] - rb[i]) / (nl[i] - 1), i, 0) for i in np.flatnonzero(~leaf_mask).tolist()]
    heapq.heapify(heap)
    alphas, impurities = [0.0], [rb[0]]
    while candidate[0]:
        alpha, node, seen = heap[0]
        if not candidate[node] or seen != version[node]:
            heapq.heappop(heap)
            continue
        if ccp_alpha is not None and ccp_alpha < alpha:
            break
        heapq.heappop(heap)
        stack = [lo[node], hi[node]]
        while stack:
            j = stack.pop()
            if not in_tree[j]:
                continue
            in_tree[j] = candidate[j] = False
            if lo[j] >= 0:
                stack += (lo[j], hi[j])
        candidate[node] = False
        leaf_mask[node] = True
        n_pruned = nl[node] - 1
        nl[node] = 0
        r_diff = rn[node] - rb[node]
        rb[node] = rn[node]
        j = up[node]
        while j >= 0:
            nl[j] -= n_pruned
            rb[j] += r_diff
            version[j] += 1
            heapq.heappush(heap, ((rn[j] - rb[j]) / (nl[j] - 1), j, version[j]))
            j = up[j]
        alphas.append(alpha)
        impurities.append(rb[0])
    leaf_mask &= np.asarray(in_tree)
    return np.asarray(alphas), np.asarray(impurities), leaf_mask


def subtree(tree: Tree, leaf_mask: np.ndarray) -> Tree:
    """The tree cut at the nodes of ``leaf_mask``, renumbered in preorder
    (node, left subtree, right subtree)."""
    lo = np.asarray(tree["children_left"]).tolist()
    hi = np.asarray(tree["children_right"]).tolist()
    is_leaf = np.asarray(leaf_mask).tolist()
    order: List[int] = []
    stack = [0]
    while stack:
        j = stack.pop()
        order.append(j)
        if not is_leaf[j]:
            stack += (hi[j], lo[j])
    old = np.asarray(order, dtype=np.int64)
    new_id = np.full(len(lo), -1, dtype=np.int64)
    new_id[old] = np.arange(old.shape[0])
    out: Tree = {}
    for key, value in tree.items():
        out[key] = np.array(value)[old] if key in PER_NODE else value
    cut = np.asarray(is_leaf)[old]
    for key in ("children_left", "children_right"):
        out[key] = np.where(cut, -1, new_id[np.asarray(tree[key])[old]]).astype(np.int64)
    out["feature"] = np.where(cut, -2, out["feature"]).astype(np.int64)
    out["threshold"] = np.where(cut, np.nan, out["threshold"])
    out["missing_go_to_left"] = np.where(cut, 0, out["missing_go_to_left"]).astype(np.uint8)
    out["is_categorical"] = np.where(cut, 0, out["is_categorical"]).astype(np.uint8)
    out["category_offset"] = np.where(cut, -1, out["category_offset"]).astype(np.int64)
    return out
