# Types of the compiled learner (src/tavrin_tools_ext), for type checkers.
from typing import Any, Dict, Tuple

import numpy as np
import numpy.typing as npt

class FlatTree:
    children_left: npt.NDArray[np.int64]
    children_right: npt.NDArray[np.int64]
    feature: npt.NDArray[np.int64]
    threshold: npt.NDArray[np.float64]
    missing_go_to_left: npt.NDArray[np.uint8]
    is_categorical: npt.NDArray[np.uint8]
    category_left: npt.NDArray[np.uint64]
    n_node_samples: npt.NDArray[np.int64]
    weighted_n_node_samples: npt.NDArray[np.float64]
    impurity: npt.NDArray[np.float64]
    value: npt.NDArray[np.float64]
    node_count: int
    n_classes: int
    n_features: int
    max_depth: int
    n_leaves: int
    def apply(self, X: Any, n_threads: int = 1) -> npt.NDArray[np.int64]: ...
    def decision_path(self, X: Any, n_threads: int = 1) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...
    def to_dict(self) -> Dict[str, Any]: ...
    @staticmethod
    def from_dict(d: Dict[str, Any]) -> "FlatTree": ...

def fit(
    *,
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
) -> FlatTree: ...
