"""Text and Graphviz renderings of a fitted tavrin tree."""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from ._walk import Visit, fitted_view, is_leaf, outcome_text, rule_text, walk


def export_text(estimator: Any, max_depth: Optional[int] = None, precision: int = 6) -> str:
    """The fitted tree as indented rules, one node per line.

    A split node shows its test and, in brackets, what it would predict
    itself: the majority label and that label's share of the node's training
    rows. Below it, ``yes:`` leads to the rows for which the test holds and
    ``no:`` to the others; missing numbers and categories not seen in training
    take the ``no`` branch. A leaf shows its label and share. With
    ``max_depth``, split nodes at that depth end in ``...``. Thresholds are
    written with at least ``precision`` significant digits, and with more
    where fewer would round the threshold: the printed test holds for
    exactly the values the tree's test holds for.

    A :class:`TreeClassifier` node tests ``x <= threshold``, says ``or
    missing`` where missing values (and categories it never saw) take the
    ``yes`` branch, and adds its number of training rows and its (weighted)
    class counts.

    >>> print(export_text(tree))               # doctest: +SKIP
    size < 2.5  [a 50%]
    |-- yes: a 100%
    `-- no: b 100%
    """
    estimator = fitted_view(estimator)
    lines: List[str] = []
    # prefix[d] is the indentation of the children of the current node at depth d.
    prefix: List[str] = []
    for visit in walk(estimator, max_depth):
        node = visit.node
        if is_leaf(node):
            body = outcome_text(node)
        else:
            body = f"{rule_text(estimator, node, precision)}  [{outcome_text(node)}]"
            if visit.cut:
                body += " ..."
        if visit.parent_id is None:
            lines.append(body)
            own = ""
        else:
            pad = prefix[visit.depth - 1]
            branch = "|-- yes: " if visit.went_left else "`-- no: "
            lines.append(pad + branch + body)
            own = pad + ("|   " if visit.went_left else "    ")
        del prefix[visit.depth:]
        prefix.append(own)
    return "\n".join(lines) + "\n"


def _dot_quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


# Light fills, one per class in the estimator's class order; they repeat
# beyond ten classes.
_FILLS = ["#a6cee3", "#fdbf6f", "#b2df8a", "#fb9a99", "#cab2d6",
          "#ffff99", "#8dd3c7", "#bebada", "#fccde5", "#d9d9d9"]


def class_colours(estimator: Any) -> Dict[Any, str]:
    classes = getattr(estimator, "classes", None)
    if classes is None:  # scikit-learn's name
        classes = getattr(estimator, "classes_", [])
    if getattr(estimator, "n_outputs_", 1) > 1:  # coloured by the first output
        classes = classes[0]
    return {label: _FILLS[i % len(_FILLS)] for i, label in enumerate(list(classes))}


def box(estimator: Any, visit: Visit, colours: Dict[Any, str], precision: int) -> Tuple[str, str]:
    """The text and fill colour of a node's box in a drawing of the tree."""
    node = visit.node
    label = outcome_text(node, "\n")
    if not is_leaf(node):
        label = rule_text(estimator, node, precision) + "\n" + label + ("\n..." if visit.cut else "")
    try:
        fill = colours.get(node.predicted_class, "#ffffff")  # the first output's label
    except TypeError:  # an unhashable label
        fill = "#ffffff"
    return label, fill


def export_graphviz(estimator: Any, max_depth: Optional[int] = None, precision: int = 6) -> str:
    """The fitted tree as Graphviz DOT source (render with ``dot -Tpng``).

    Nodes are numbered depth-first from 0 at the root, left subtree first;
    each box holds the split test (split nodes) and the label with its share,
    filled in a colour per class. The edge to the left child is labelled
    ``yes``, to the right child ``no``. ``max_depth`` and ``precision`` work as
    in :func:`export_text`; a cut node's box ends in ``...``.
    """
    estimator = fitted_view(estimator)
    colours = class_colours(estimator)
    lines = [
        "digraph tavrin {",
        'node [shape=box, style="rounded,filled", fontname="Helvetica"];',
        'edge [fontname="Helvetica"];',
    ]
    for visit in walk(estimator, max_depth):
        label, fill = box(estimator, visit, colours, precision)
        lines.append(f"{visit.node_id} [label={_dot_quote(label)}, fillcolor={_dot_quote(fill)}];")
        if visit.parent_id is not None:
            answer = "yes" if visit.went_left else "no"
            lines.append(f'{visit.parent_id} -> {visit.node_id} [label="{answer}"];')
    lines.append("}")
    return "\n".join(lines) + "\n"
