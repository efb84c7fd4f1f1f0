# Type stubs for the tavrin extension module: its classes, their methods with
# the parameters they bind, and the attributes that fit leaves on an estimator.
# Installed twice: as tavrin.pyi next to the extension (editors, pyright) and
# as the stub-only package tavrin-stubs (mypy's lookup for installed modules).
from typing import Any, Dict, Hashable, List, Optional, Tuple, Union

import numpy
import numpy.typing as npt
import pandas
from pandas.api.types import is_bool_dtype as is_bool_dtype
from pandas.api.types import is_datetime64_any_dtype as is_datetime64_any_dtype
from pandas.api.types import is_numeric_dtype as is_numeric_dtype
from pandas.api.types import is_object_dtype as is_object_dtype
from pandas.api.types import is_string_dtype as is_string_dtype

np = numpy
pd = pandas

# Declared here: pandas deprecates it, and its typed stubs (pandas-stubs)
# leave it out.
def is_categorical_dtype(arr_or_dtype: Any) -> bool: ...

# A numeric split holds a number; a categorical split the array of the
# category values that go left; a leaf holds the integer 0.
_Threshold = Union[float, npt.NDArray[Any]]
_CategoryEncoding = Dict[str, Dict[Any, Any]]

class Node:
    predicted_class: Any
    feature_index: int
    threshold: _Threshold
    left: Optional[Node]
    right: Optional[Node]
    node_type: str
    probability: float
    def __init__(self, predicted_class: Any, probability: float, node_type: str = "leaf") -> None: ...

# The two estimators share no base class at runtime; _Tree only spares the
# stub from spelling out their common attributes and methods twice.
class _Tree:
    max_depth: float
    n_classes_: int
    feature_names: pandas.Index
    classes: npt.NDArray[Any]
    numeric_features: List[Hashable]
    string_features: List[Hashable]
    categorical_features: List[Hashable]
    date_features: List[Hashable]
    bool_features: List[Hashable]
    feature_map: Dict[Hashable, int]
    rev_feature_map: Dict[int, Hashable]
    taget_map: Dict[Any, int]
    rev_taget_map: Dict[int, Any]
    feature_value_maps: Dict[int, _CategoryEncoding]
    tree_: Node
    def __init__(self, max_depth: float = ...) -> None: ...
    def fit(self, X: pandas.DataFrame, y: pandas.Series) -> None: ...
    def predict(self, X: pandas.DataFrame) -> List[Any]: ...
    def predict_proba(self, X: pandas.DataFrame) -> List[List[float]]: ...
    def _prep_data(self, X: pandas.DataFrame, y: pandas.Series) -> Tuple[npt.NDArray[Any], pandas.Series]: ...
    def _get_dtype(self, X: pandas.DataFrame, d_type: str) -> List[Hashable]: ...
    def _format_categorical(self, X: npt.NDArray[Any], y: Any, idx: int) -> npt.NDArray[Any]: ...
    def _format_feature(self, X: npt.NDArray[Any], y: Any, idx: int) -> Tuple[npt.NDArray[Any], str]: ...
    def _best_split(
        self, X: npt.NDArray[Any], y: Any
    ) -> Tuple[Optional[int], Optional[Any], Optional[str]]: ...
    def _grow_tree(self, X: npt.NDArray[Any], y: pandas.Series, depth: int = 0) -> Node: ...
    def _predict(self, inputs: Any, ptype: str = "class") -> Any: ...

class BinaryClassificationTree(_Tree):
    def _gini_loop(
        self,
        classes: npt.NDArray[numpy.int_],
        num_left: npt.NDArray[numpy.float64],
        num_right: npt.NDArray[numpy.float64],
        best_gini: float,
        thresholds: npt.NDArray[numpy.float64],
        best_idx: int,
        idx: int,
        split_type: Optional[str],
        best_split_type: Optional[str],
        best_thr: float,
    ) -> Tuple[float, int, Optional[str], float]: ...

class BinaryClassificationTreePy(_Tree): ...
