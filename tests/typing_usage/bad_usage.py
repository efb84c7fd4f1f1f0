# Mistakes that tavrin's stubs let mypy catch; each line is checked for its
# error code by tests/test_typing.py.
import pandas as pd

import tavrin

X = pd.DataFrame({"size": [1.0, 2.0]})
tree = tavrin.BinaryClassificationTree(max_depht=3)  # E: call-arg
tree.fit(X)  # E: call-arg
count: str = tree.n_classes_  # E: assignment
labels: int = tree.predict(X)  # E: assignment
tree.tree_.left.threshold  # E: union-attr
tavrin.BinaryClassificationTreePy()._gini_loop  # E: attr-defined
tavrin.Node("a")  # E: call-arg
tree.predict_proba(X)[0].upper()  # E: attr-defined
tree.fitted  # E: attr-defined
tree.predict(X, y=None)  # E: call-arg
