"""tavrin demo: the estimators on a real data set that scikit-learn ships.

Run from the repository root:  python3 examples/demo.py
"""
import inspect

import pandas as pd
from sklearn.datasets import load_breast_cancer

import tavrin


def main():
    data = load_breast_cancer(as_frame=True)
    X, y = data.data, data.target.map(dict(enumerate(data.target_names)))
    print(f"breast cancer data: {X.shape[0]} rows, {X.shape[1]} numeric features")
    for cls in (tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy):
        est = cls(max_depth=3)
        print(f"\n{cls.__name__}(max_depth={est.max_depth})")
        for name, method in vars(cls).items():
            if callable(method):
                print(f"  {name}{inspect.signature(method)}")
        try:
            est.fit(X, y)
        except NotImplementedError as error:
            print(f"  fit: {error}")
            continue
        print(f"  fitted: {est.n_classes_} classes, root split on column {est.tree_.feature_index}")
    print(f"\nNode{inspect.signature(tavrin.Node)}: {vars(tavrin.Node(predicted_class='benign', probability=1.0))}")


if __name__ == "__main__":
    pd.set_option("display.width", 120)
    main()
