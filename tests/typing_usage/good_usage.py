# Type-checks cleanly against tavrin's stubs: what users write.
from typing import Any, Dict, Hashable, List, Optional

import numpy as np
import pandas as pd

import tavrin

X = pd.DataFrame({"size": [1.0, 2.0, 3.0], "colour": pd.Categorical(["r", "g", "r"])})
y = pd.Series(["a", "b", "a"])

trees: List[tavrin.BinaryClassificationTree] = [tavrin.BinaryClassificationTree(max_depth=3)]
shallow = tavrin.BinaryClassificationTreePy(2)
default = tavrin.BinaryClassificationTreePy()
for tree in trees:
    tree.fit(X, y)
labels: List[Any] = trees[0].predict(X)
pairs: List[List[float]] = shallow.predict_proba(X=X)
first: float = pairs[0][0] + pairs[0][1]

n: int = trees[0].n_classes_
classes: np.ndarray = trees[0].classes
names: pd.Index = trees[0].feature_names
positions: Dict[Hashable, int] = trees[0].feature_map
kinds: List[Hashable] = trees[0].numeric_features + trees[0].categorical_features
code: int = trees[0].taget_map["a"]
encodings: Dict[int, Dict[str, Dict[Any, Any]]] = default.feature_value_maps
limit: float = default.max_depth

node: tavrin.Node = trees[0].tree_
child: Optional[tavrin.Node] = node.left
if child is not None:
    share: float = child.probability
    kind: str = child.node_type
    position: int = child.feature_index
leaf = tavrin.Node(predicted_class="a", probability=1.0)
one_row = trees[0]._predict([1.0, "r"], ptype="prob")
label = default._predict(np.array([1.0, "r"], dtype=object))
gini, best_idx, best_type, best_thr = trees[0]._gini_loop(
    np.zeros(3, dtype=np.int_), np.zeros(2), np.zeros(2), 1.0, np.zeros(3), -999, 0, "numeric", None, -999.0
)
