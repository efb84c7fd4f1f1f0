"""ExtraTreeClassifier: TreeClassifier with scikit-learn's extremely
randomised defaults."""
from __future__ import annotations

from typing import Any, Optional

from .classifier import TreeClassifier


class ExtraTreeClassifier(TreeClassifier):
    """An extremely randomised tree: :class:`TreeClassifier` with the
    defaults of :class:`sklearn.tree.ExtraTreeClassifier`,
    ``splitter="random"`` and ``max_features="sqrt"``. At each node one split
    is drawn per searched feature (a threshold uniform between the node's
    smallest and largest value, or for a categorical column a subset of its
    categories that leaves both sides non-empty) and the best of them is
    kept. Every parameter means what it means for TreeClassifier."""

    def __init__(
        self,
        *,
        criterion: str = "gini",
        splitter: str = "random",
        max_depth: Optional[int] = None,
        min_samples_split: Any = 2,
        min_samples_leaf: Any = 1,
        min_weight_fraction_leaf: float = 0.0,
        max_features: Any = "sqrt",
        random_state: Any = None,
        max_leaf_nodes: Optional[int] = None,
        min_impurity_decrease: float = 0.0,
        class_weight: Any = None,
        ccp_alpha: float = 0.0,
        monotonic_cst: Any = None,
        categorical_features: Any = "from_dtype",
        n_jobs: Optional[int] = None,
    ) -> None:
        super().__init__(
            criterion=criterion, splitter=splitter, max_depth=max_depth, min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf, min_weight_fraction_leaf=min_weight_fraction_leaf,
            max_features=max_features, random_state=random_state, max_leaf_nodes=max_leaf_nodes,
            min_impurity_decrease=min_impurity_decrease, class_weight=class_weight, ccp_alpha=ccp_alpha,
            monotonic_cst=monotonic_cst, categorical_features=categorical_features, n_jobs=n_jobs,
        )
