"""Drawing a fitted tavrin tree with matplotlib (an optional dependency)."""
from __future__ import annotations

from typing import Any, Dict, List, Optional

from ._walk import fitted_view, walk
from .export import box, class_colours


def _layout(visits: List[Any]) -> Dict[int, Any]:
    """(x, depth) per node: leaves one unit apart in walk order, a split node
    centred over its two children."""
    children: Dict[int, List[int]] = {}
    for v in visits:
        if v.parent_id is not None:
            children.setdefault(v.parent_id, []).append(v.node_id)
    x: Dict[int, float] = {}
    next_leaf = 0.0
    # Children come after their parent in walk order, so a reverse pass sees
    # both children of a node before the node; leaves need the forward order.
    for v in visits:
        if v.node_id not in children:
            x[v.node_id] = next_leaf
            next_leaf += 1.0
    for v in reversed(visits):
        kids = children.get(v.node_id)
        if kids:
            x[v.node_id] = (x[kids[0]] + x[kids[-1]]) / 2.0
    return {v.node_id: (x[v.node_id], v.depth) for v in visits}


def plot_tree(
    estimator: Any,
    ax: Any = None,
    max_depth: Optional[int] = None,
    precision: int = 6,
    fontsize: Optional[float] = None,
) -> Any:
    """Draws the fitted tree on ``ax`` (a new figure's axes when None) and
    returns the axes.

    Boxes read as in :func:`export_text`: split test, then label and share,
    filled in a colour per class; the left edge of a split is ``yes``, the
    right edge ``no``. Save with ``ax.figure.savefig("tree.png")``.
    """
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("plot_tree needs matplotlib: pip install 'tavrin[plot]'") from exc

    estimator = fitted_view(estimator)
    visits = list(walk(estimator, max_depth))
    pos = _layout(visits)
    width = max(p[0] for p in pos.values()) + 1.0
    depth = max(p[1] for p in pos.values()) + 1.0
    if ax is None:
        _, ax = plt.subplots(figsize=(min(2.2 * width + 1.0, 40.0), min(1.5 * depth + 0.5, 30.0)))
    colours = class_colours(estimator)
    for v in visits:
        x, d = pos[v.node_id]
        if v.parent_id is not None:
            px, pd_ = pos[v.parent_id]
            ax.plot([px, x], [-pd_, -d], color="0.4", linewidth=1.0, zorder=1)
            ax.text((px + x) / 2.0, -(pd_ + d) / 2.0, "yes" if v.went_left else "no",
                    ha="center", va="center", fontsize=fontsize, color="0.3",
                    bbox={"boxstyle": "round,pad=0.1", "facecolor": "white", "edgecolor": "none"},
                    zorder=2)
        label, fill = box(estimator, v, colours, precision)
        ax.text(x, -d, label, ha="center", va="center", fontsize=fontsize, zorder=3,
                bbox={"boxstyle": "round,pad=0.4", "facecolor": fill, "edgecolor": "0.3"})
    ax.set_xlim(-0.6, width - 0.4)
    ax.set_ylim(-depth + 0.4, 0.6)
    ax.set_axis_off()
    return ax
