"""Tools around the tavrin estimators: text, Graphviz and matplotlib views of
a fitted tree, pickling for trees of any depth, and TreeClassifier and ExtraTreeClassifier,
scikit-learn estimators grown by a C++ learner of its own.

The tavrin module itself holds only its classes; whatever else users need
lives here, in the same distribution.
"""
from __future__ import annotations

from pkgutil import extend_path
from typing import Any

# The compiled _learner sits beside these sources once installed; in a
# build tree it sits in <build>/tavrin_tools, found through sys.path.
__path__ = extend_path(__path__, __name__)

from ._dask_watch import WorkerLostError
from .export import export_graphviz, export_text
from .pickling import disable_flat_pickling, enable_flat_pickling
from .plot import plot_tree


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - Python 3.7
        return "unknown"
    try:
        return version("tavrin")
    except PackageNotFoundError:  # run from a source tree
        return "unknown"


def __getattr__(name: str) -> Any:
    # The estimators need scikit-learn; the exporters and pickling do not.
    if name == "TreeClassifier":
        from .classifier import TreeClassifier

        return TreeClassifier
    if name == "ExtraTreeClassifier":
        from .extra_tree import ExtraTreeClassifier

        return ExtraTreeClassifier
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__version__ = _version()
__all__ = ["TreeClassifier", "ExtraTreeClassifier", "export_text", "export_graphviz", "plot_tree", "enable_flat_pickling", "disable_flat_pickling",
           "WorkerLostError"]
