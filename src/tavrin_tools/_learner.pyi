# Types of the compiled learner (src/tavrin_tools_ext), for type checkers.
# Its functions take positional arguments only; a tree is an opaque handle,
# wrapped by tavrin_tools._tree.FlatTree.
from typing import Any, Dict, Tuple

import numpy as np
import numpy.typing as npt

MAX_CATEGORIES: int

def fit(
    X: Any,
    y: Any,
    sample_weight: Any,
    n_classes: int,
    n_categories: Any,
    criterion: str,
    max_depth: int,
    min_samples_split: int,
    min_samples_leaf: int,
    min_weight_leaf: float,
    min_impurity_decrease: float,
    max_leaf_nodes: int,
    n_threads: int,
    max_features: int,
    random_split: bool,
    seed: int,
    monotonic_cst: Any,
    root: Any,
    /,
) -> Any: ...
def tree_arrays(handle: Any, /) -> Dict[str, Any]: ...
def tree_from_dict(d: Dict[str, Any], /) -> Any: ...
def apply(handle: Any, X: Any, n_threads: int, /) -> npt.NDArray[np.int64]: ...
def decision_path(handle: Any, X: Any, n_threads: int, /) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...

# The distributed fit's kernels (arguments as in their docstrings).
def bin_columns(X: Any, bins: Any, cuts: Any, n_bins: int, /) -> None: ...
def bin_summary(*args: Any) -> Tuple[Any, ...]: ...
def value_lists(*args: Any) -> Tuple[Any, ...]: ...
def merge_value_lists(a: Any, b: Any, /) -> Tuple[Any, ...]: ...
def node_stats(*args: Any) -> Any: ...
def refine_mask(*args: Any) -> Any: ...
def choose_splits(*args: Any) -> Dict[str, Any]: ...
