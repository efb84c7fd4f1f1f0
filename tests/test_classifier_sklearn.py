"""TreeClassifier against scikit-learn: its estimator checks, the same trees
and predictions as DecisionTreeClassifier, and pruning step for step."""
import inspect
import warnings

import numpy as np
import pytest
import sklearn
from sklearn.tree import DecisionTreeClassifier
from sklearn.utils.class_weight import compute_sample_weight
from sklearn.utils.estimator_checks import parametrize_with_checks

from tavrin_tools import ExtraTreeClassifier, TreeClassifier
from tavrin_tools._pruning import prune, subtree

from learner_support import our_left, proxy, sk_left


class RisingFirstColumn(TreeClassifier):
    """Constrains the first column (the second class's probability rises
    with it) whenever y is one target of two classes: the checks' data vary in width and
    in classes, which no fixed monotonic_cst follows. The constraint is set
    on fit's staging copy, so the parameters seen outside stay as given."""

    def _grow(self, X, y, sample_weight):
        shape = np.asarray(X).shape
        try:
            binary = np.ndim(y) == 1 and len(np.unique(np.asarray(y))) == 2
        except TypeError:
            binary = False
        if self.monotonic_cst is None and len(shape) == 2 and shape[1] > 0 and binary:
            self.monotonic_cst = [1] + [0] * (shape[1] - 1)
        super()._grow(X, y, sample_weight)


# One estimator with the defaults, one growing best-first, pruned, on
# weights; drawn features, drawn splits, monotonic constraints. (Row counts such as min_samples_leaf and the counts behind
# class_weight="balanced" would fail the check that weight 2 is a repeated
# row, as they do for DecisionTreeClassifier.)
ESTIMATORS = [
    TreeClassifier(),
    TreeClassifier(criterion="entropy", max_leaf_nodes=12, min_weight_fraction_leaf=0.02, ccp_alpha=0.002),
    TreeClassifier(max_features="sqrt", random_state=0),
    TreeClassifier(splitter="random", max_features=0.5, max_depth=6, random_state=1),
    ExtraTreeClassifier(random_state=2),
    RisingFirstColumn(max_depth=5),
]

# scikit-learn >= 1.6 takes the failures it should expect; there are none.
_KW = {"expected_failed_checks": lambda est: {}} if "expected_failed_checks" in inspect.signature(
    parametrize_with_checks).parameters else {}


@parametrize_with_checks(ESTIMATORS, **_KW)
def test_scikit_learn_estimator_checks(estimator, check):
    # check_array_api_input skips itself unless SCIPY_ARRAY_API is set:
    # the tree takes numpy input only.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        check(estimator)


def assert_same_tree(ours, theirs, X, y, w, criterion):
    """Walks both trees over the training rows: every node must agree in
    rows, weight and class shares, and every split in feature and threshold,
    or else be exactly as good (scikit-learn breaks ties between equally
    good splits by a random feature order, the learner by column order).
    Below a tie that sends other rows left the trees are not compared. A
    node of one class is a leaf: scikit-learn may split one on a rounding
    residue of its impurity. Returns (ties, mask of the rows below a tie
    that sends other rows left)."""
    a, b = ours, theirs
    ties, apart = 0, np.zeros(len(X), bool)
    stack = [(0, 0, np.flatnonzero(w > 0))]
    while stack:
        i, j, rows = stack.pop()
        assert a.n_node_samples[i] == b.n_node_samples[j] == len(rows)
        np.testing.assert_allclose(a.weighted_n_node_samples[i], b.weighted_n_node_samples[j], rtol=1e-9)
        shares = a.value[i]  # per output
        np.testing.assert_allclose(shares, b.value[j] / b.value[j].sum(axis=1, keepdims=True), rtol=1e-9, atol=1e-12)
        if a.children_left[i] < 0 and np.count_nonzero(shares) == len(shares):
            continue
        assert (a.children_left[i] < 0) == (b.children_left[j] < 0)
        if a.children_left[i] < 0:
            continue
        go = our_left(a, i, X[rows, a.feature[i]])
        if (a.feature[i], a.threshold[i]) == (b.feature[j], b.threshold[j]):
            assert a.missing_go_to_left[i] == b.missing_go_to_left[j]
        else:
            ties += 1
            other = sk_left(b, j, X[rows, b.feature[j]])
            if not np.array_equal(go, other):
                gains = [proxy(y[rows], w[rows], side, a.max_n_classes, criterion) for side in (go, other)]
                np.testing.assert_allclose(gains[0], gains[1], rtol=1e-12, atol=1e-12)
                apart[rows] = True
                continue
        stack += [(a.children_left[i], b.children_left[j], rows[go]),
                  (a.children_right[i], b.children_right[j], rows[~go])]
    return ties, apart


def same_tree(ours, theirs, X, y, w, params):
    """assert_same_tree on two fitted estimators, with their row weights."""
    weight = np.ones(len(y)) if w is None else w
    if params.get("class_weight") is not None:
        weight = weight * compute_sample_weight(params["class_weight"], y)
    criterion = "gini" if params.get("criterion", "gini") == "gini" else "entropy"
    y = np.asarray(y)
    codes = np.column_stack([np.unique(c, return_inverse=True)[1] for c in y.T]) if y.ndim == 2 \
        else np.unique(y, return_inverse=True)[1]
    return assert_same_tree(ours.tree_, theirs.tree_, X, codes, weight, criterion)


OLD_MISSING = tuple(int(v) for v in sklearn.__version__.split(".")[:2]) < (1, 4)


def data(seed, n=500, p=5, n_classes=3, nan=0.0):
    rng = np.random.default_rng(seed)
    # scikit-learn splits float32 values: data that float32 holds exactly.
    X = rng.normal(size=(n, p)).astype(np.float32).astype(np.float64)
    score = X[:, 0] - 0.8 * X[:, 1] + 0.5 * X[:, 2] * (X[:, 3] > 0) + rng.normal(0, 0.7, n)
    y = np.searchsorted(np.quantile(score, np.linspace(0, 1, n_classes + 1)[1:-1]), score)
    if nan:
        X[:, :3][rng.random((n, 3)) < nan] = np.nan  # columns 3 and 4 never miss in training
    return X, np.asarray(["ant", "bee", "cat", "dog"])[y]


CASES = {
    "defaults": {},
    "depth 4": dict(max_depth=4),
    "leaf 7, split 30": dict(min_samples_leaf=7, min_samples_split=30),
    "fractions": dict(min_samples_leaf=0.02, min_samples_split=0.1),
    "weight fraction": dict(min_weight_fraction_leaf=0.03),
    "impurity decrease": dict(min_impurity_decrease=0.003),
    "15 leaves": dict(max_leaf_nodes=15),
    "entropy, 25 leaves": dict(criterion="entropy", max_leaf_nodes=25, min_samples_leaf=3),
    "log_loss": dict(criterion="log_loss", max_depth=6),
    "balanced": dict(class_weight="balanced", max_depth=6),
    "class dict": dict(class_weight={"ant": 2.5, "cat": 0.5}, min_samples_leaf=4),
    "ccp": dict(ccp_alpha=0.004),
    "ccp, 30 leaves": dict(ccp_alpha=0.002, max_leaf_nodes=30),
}


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("weights", [False, True])
@pytest.mark.parametrize("nan", [0.0, 0.15])
def test_same_tree_and_predictions_as_decision_tree(case, weights, nan):
    if nan and OLD_MISSING:
        pytest.skip("scikit-learn 1.3, the first with missing values in trees, routes them differently")
    X, y = data(len(case) * 7 + weights, nan=nan)
    rng = np.random.default_rng(3)
    # Real weights, some zero: rows of weight 0 leave the tree.
    w = rng.uniform(0.3, 3.0, len(y)) * (rng.random(len(y)) > 0.1) if weights else None
    params = CASES[case]
    ours = TreeClassifier(**params).fit(X, y, sample_weight=w)
    theirs = DecisionTreeClassifier(random_state=0, **params).fit(X, y, sample_weight=w)
    ties, apart = same_tree(ours, theirs, X, y, w, params)
    assert apart.mean() < 0.5  # most of the tree is compared split for split
    same = X[~apart & (w != 0 if weights else True)]  # rows of weight 0 are not in the tree
    np.testing.assert_array_equal(ours.predict(same), theirs.predict(same))
    # Real weights are put on the fit's grid (on_grid): shares agree to
    # rounding of about rows * 2**-53, not to the last bit.
    np.testing.assert_allclose(ours.predict_proba(same), theirs.predict_proba(same), rtol=1e-9, atol=1e-15)
    if ties == 0:
        np.testing.assert_allclose(ours.feature_importances_, theirs.feature_importances_, rtol=1e-9, atol=1e-15)
        # New rows, NaN in every column (3 and 4 had none in training).
        X_test, _ = data(99, n=400, nan=0.2)
        X_test[X_test[:, 4] > 1.0, 3:] = np.nan
        np.testing.assert_array_equal(ours.predict(X_test), theirs.predict(X_test))
        np.testing.assert_allclose(ours.predict_proba(X_test), theirs.predict_proba(X_test), rtol=1e-9, atol=1e-15)


def test_pruning_path_and_pruned_trees_as_decision_tree():
    X, y = data(5, n=400)
    w = np.random.default_rng(1).uniform(0.5, 2.0, len(y))
    for params in ({}, dict(max_leaf_nodes=40, criterion="entropy")):
        path = TreeClassifier(**params).cost_complexity_pruning_path(X, y, sample_weight=w)
        ref = DecisionTreeClassifier(random_state=0, **params).cost_complexity_pruning_path(X, y, sample_weight=w)
        # scikit-learn's splits of one-class nodes (see assert_same_tree)
        # are pruned first, at alphas of a rounding residue.
        real = (ref.ccp_alphas == 0) | (ref.ccp_alphas > 1e-12)
        np.testing.assert_allclose(path.ccp_alphas, ref.ccp_alphas[real], rtol=1e-9, atol=1e-15)
        np.testing.assert_allclose(path.impurities, ref.impurities[real], rtol=1e-9, atol=1e-15)
        # Between two steps: the alphas agree to rounding, not bit for bit.
        for alpha in (path.ccp_alphas[1:-1:7] + path.ccp_alphas[2::7]) / 2:
            ours = TreeClassifier(ccp_alpha=alpha, **params).fit(X, y, sample_weight=w)
            theirs = DecisionTreeClassifier(random_state=0, ccp_alpha=alpha, **params).fit(X, y, sample_weight=w)
            assert same_tree(ours, theirs, X, y, w, dict(params, ccp_alpha=alpha))[1].mean() < 0.5
        root_only = TreeClassifier(ccp_alpha=path.ccp_alphas[-1], **params).fit(X, y, sample_weight=w)
        assert root_only.get_n_leaves() == 1


def flat(tree):
    """A scikit-learn tree as the learner's flat-tree dict (value in weights)."""
    m = tree.node_count
    return dict(
        children_left=tree.children_left.astype(np.int64), children_right=tree.children_right.astype(np.int64),
        feature=tree.feature.astype(np.int64), threshold=np.where(tree.children_left < 0, np.nan, tree.threshold),
        missing_go_to_left=tree.missing_go_to_left.astype(np.uint8), is_categorical=np.zeros(m, np.uint8),
        category_offset=np.full(m, -1, np.int64), n_node_samples=tree.n_node_samples.astype(np.int64),
        weighted_n_node_samples=tree.weighted_n_node_samples, impurity=tree.impurity,
        value=tree.value[:, 0, :] * tree.weighted_n_node_samples[:, None])


@pytest.mark.parametrize("params", [{}, dict(max_leaf_nodes=30), dict(min_samples_leaf=3, criterion="entropy")])
def test_pruning_a_scikit_learn_tree_gives_its_alphas_bit_for_bit(params):
    # The pruning alone, on scikit-learn's own grown tree: the same
    # operations in the same order give the same alphas exactly, and the
    # pruned trees come out in scikit-learn's preorder, array for array.
    X, y = data(11, n=500)
    grown = DecisionTreeClassifier(random_state=0, **params).fit(X, y)
    ref = grown.cost_complexity_pruning_path(X, y)
    alphas, impurities, leaves = prune(flat(grown.tree_), None)
    np.testing.assert_array_equal(alphas, ref.ccp_alphas)
    np.testing.assert_array_equal(impurities, ref.impurities)
    assert leaves.tolist() == [True] + [False] * (grown.tree_.node_count - 1)
    for alpha in ref.ccp_alphas[[2, len(alphas) // 2, -2]]:
        _, _, leaves = prune(flat(grown.tree_), alpha)
        ours = subtree(flat(grown.tree_), leaves)
        theirs = flat(DecisionTreeClassifier(random_state=0, ccp_alpha=alpha, **params).fit(X, y).tree_)
        for key in ("children_left", "children_right", "feature", "threshold", "n_node_samples", "impurity"):
            np.testing.assert_array_equal(ours[key], theirs[key], err_msg=key)


MULTI_CASES = {
    "defaults": {},
    "entropy, 20 leaves": dict(criterion="entropy", max_leaf_nodes=20),
    "balanced": dict(class_weight="balanced", max_depth=6),
    "per output": dict(class_weight=[{"ant": 2.0, "cat": 0.5}, {"yes": 3.0}, {}], min_samples_leaf=3),
    "ccp": dict(ccp_alpha=0.003),
}


@pytest.mark.parametrize("case", sorted(MULTI_CASES))
@pytest.mark.parametrize("weights", [False, True])
def test_multi_output_tree_as_decision_tree(case, weights):
    X, y = data(len(case) + weights, n=600)
    rng = np.random.default_rng(5)
    Y = np.column_stack([y, np.where(X[:, 1] + rng.normal(0, 1, len(y)) > 0, "yes", "no"),
                         np.where(X[:, 3] > 0.5, "x", np.where(X[:, 4] > 0, "y", "z"))])
    w = rng.uniform(0.5, 2.0, len(y)) if weights else None
    params = MULTI_CASES[case]
    ours = TreeClassifier(**params).fit(X, Y, sample_weight=w)
    theirs = DecisionTreeClassifier(random_state=0, **params).fit(X, Y, sample_weight=w)
    assert ours.n_outputs_ == 3 and ours.tree_.value.shape[1:] == theirs.tree_.value.shape[1:]
    np.testing.assert_array_equal(ours.n_classes_, theirs.n_classes_)
    ties, apart = same_tree(ours, theirs, X, Y, w, params)
    assert apart.mean() < 0.5
    same = X[~apart]
    np.testing.assert_array_equal(ours.predict(same), theirs.predict(same))
    for mine, sk in zip(ours.predict_proba(same), theirs.predict_proba(same)):
        np.testing.assert_allclose(mine, sk, rtol=1e-9, atol=1e-15)
    if ties == 0:
        np.testing.assert_allclose(ours.feature_importances_, theirs.feature_importances_, rtol=1e-9, atol=1e-15)
