"""Pickling tavrin trees of any depth.

By default a `tavrin.Node` pickles like any plain object, its children inside
its own state, so pickle, `copy.deepcopy` and joblib recurse once or more per
tree level and stop with RecursionError on deep trees (with the default
recursion limit of 1000 on CPython 3.11: about 330 levels for pickle, 240 for
deepcopy, 130 for joblib). `enable_flat_pickling` registers a reduction for
`Node` in `copyreg` that stores a whole subtree as one flat list of node
records instead, so the depth no longer matters. It is process-wide and
lasts until `disable_flat_pickling`; loading such a pickle needs only
`tavrin_tools` to be installed.
"""
from __future__ import annotations

import copyreg
from typing import Any, Callable, Dict, List, Tuple

import tavrin

# One record per node: the attribute names in the node's own order, their
# values with child nodes left as None, and (position, record index) for
# each attribute that held a Node.
Record = Tuple[Tuple[str, ...], Tuple[Any, ...], Tuple[Tuple[int, int], ...]]


def flatten_tree(root: Any) -> List[Record]:
    """The records of `root` and every Node reachable from it, root first."""
    node_class = type(root)
    index: Dict[int, int] = {id(root): 0}
    order = [root]
    records: List[Record] = []
    i = 0
    while i < len(order):
        node = order[i]
        i += 1
        keys: List[str] = []
        values: List[Any] = []
        links: List[Tuple[int, int]] = []
        for key, value in vars(node).items():
            if type(value) is node_class:
                j = index.get(id(value))
                if j is None:
                    j = index[id(value)] = len(order)
                    order.append(value)
                links.append((len(values), j))
                value = None
            keys.append(key)
            values.append(value)
        records.append((tuple(keys), tuple(values), tuple(links)))
    return records


def rebuild_tree(records: List[Record]) -> Any:
    """The inverse of `flatten_tree`: new nodes with the same attributes, in
    the same order, linked as before. Named in pickles: keep it here."""
    node_class = tavrin.Node
    nodes = [node_class.__new__(node_class) for _ in records]
    for node, (keys, values, links) in zip(nodes, records):
        filled = list(values)
        for position, j in links:
            filled[position] = nodes[j]
        vars(node).update(zip(keys, filled))
    return nodes[0]


def _reduce_node(node: Any) -> Tuple[Callable[[List[Record]], Any], Tuple[List[Record]]]:
    return rebuild_tree, (flatten_tree(node),)


def enable_flat_pickling() -> None:
    """Makes pickle, joblib and copy.deepcopy store `tavrin.Node` trees flat.

    Nodes are no longer shared with other objects of the same pickle: a node
    pickled both inside a tree and on its own comes back as two copies, and
    `copy.copy` of a node copies its whole subtree.
    """
    copyreg.pickle(tavrin.Node, _reduce_node)


def disable_flat_pickling() -> None:
    """Returns `tavrin.Node` to the default, recursive pickling."""
    if copyreg.dispatch_table.get(tavrin.Node) is _reduce_node:
        del copyreg.dispatch_table[tavrin.Node]
