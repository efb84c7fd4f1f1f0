"""Helpers of the learner's binding tests: calling _learner.fit with
scikit-learn's parameter names, the split each tree makes, and a lockstep
walk that compares a FlatTree with a fitted DecisionTreeClassifier."""
import numpy as np

from tavrin_tools._tree import grow

DEFAULTS = dict(criterion="gini", max_depth=-1, min_samples_split=2, min_samples_leaf=1,
                min_weight_leaf=0.0, min_impurity_decrease=0.0, max_leaf_nodes=-1, n_threads=1)


def fit(X, y, sample_weight=None, n_categories=None, n_classes=None, **params):
    args = dict(DEFAULTS, **params)
    X = np.asarray(X, dtype=np.float64)
    y = np.asarray(y, dtype=np.intp)
    w = np.ones(len(y)) if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    cats = np.zeros(X.shape[1], np.int64) if n_categories is None else np.asarray(n_categories, np.int64)
    return grow(X, y, w, int(y.max()) + 1 if n_classes is None else n_classes, cats, **args)


def impurity(counts, criterion):
    """Impurity of each row of class weights, as the learner defines it."""
    counts = np.atleast_2d(counts)
    total = counts.sum(axis=1, keepdims=True)
    if criterion == "gini":
        return 1.0 - (counts ** 2).sum(axis=1) / total[:, 0] ** 2
    q = np.where(counts > 0, counts / total, 1.0)
    return -(q * np.log2(q)).sum(axis=1)


def proxy(y, w, left, n_classes, criterion):
    """Minus the weighted impurity of the children of the split `left`; with
    several outputs (y 2-D), its mean over them."""
    if y.ndim == 2:
        return sum(proxy(y[:, k], w, left, n_classes, criterion) for k in range(y.shape[1])) / y.shape[1]
    sides = [np.bincount(y[m], weights=w[m], minlength=n_classes) for m in (left, ~left)]
    return -sum(s.sum() * impurity(s, criterion)[0] for s in sides)


def our_left(tree, node, col):
    """Which of the values `col` node `node` of a FlatTree sends left."""
    missing = np.isnan(col)
    if not tree.is_categorical[node]:
        inside = col <= tree.threshold[node]
    else:
        bits = tree.category_left[node]
        codes = np.where(missing, 0, col).astype(np.int64)
        inside = ((bits[codes // 64] >> (codes % 64).astype(np.uint64)) & 1).astype(bool)
    return np.where(missing, bool(tree.missing_go_to_left[node]), inside)


def sk_left(tree, node, col):
    return np.where(np.isnan(col), bool(tree.missing_go_to_left[node]), col <= tree.threshold[node])


def compare(ours, sk, X, y, w, criterion="gini"):
    """Walks both trees over the training rows. Every node must agree in
    row count, weight, class shares and impurity, in being a leaf, and in
    its split: the same feature and threshold, or a split that sends the
    same rows left. Where the two take different rows left, the two splits
    must be exactly as good (a tie, which scikit-learn breaks by a random
    feature order and the learner by column order); the subtrees below a
    tie are not compared. A pure node is a leaf whatever scikit-learn does
    (counted as a tie when scikit-learn splits it). Returns (nodes compared, exact splits, ties)."""
    st = sk.tree_
    n_classes = ours.max_n_classes
    stack = [(0, 0, np.flatnonzero(w > 0))]
    seen = exact = ties = 0
    while stack:
        a, b, rows = stack.pop()
        seen += 1
        assert ours.n_node_samples[a] == st.n_node_samples[b] == len(rows), (a, b)
        np.testing.assert_allclose(ours.weighted_n_node_samples[a], st.weighted_n_node_samples[b], rtol=1e-12)
        value = ours.weighted_class_counts[a]
        theirs = st.value[b, 0]  # class weights before scikit-learn 1.4, their shares since
        np.testing.assert_allclose(value / value.sum(), theirs / theirs.sum(), rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(ours.impurity[a], st.impurity[b], rtol=1e-9, atol=1e-12)
        leaf = ours.children_left[a] == -1
        if leaf and np.count_nonzero(value) == 1:
            # Pure. scikit-learn takes a child's impurity from its parent's
            # totals minus the other side, where a missing class can keep a
            # rounding residue above its zero threshold, and then splits
            # the pure node; the learner counts each node's own rows.
            ties += st.children_left[b] != -1
            continue
        assert leaf == (st.children_left[b] == -1), (a, b)
        if leaf:
            continue
        fa, fb = ours.feature[a], st.feature[b]
        go_a = our_left(ours, a, X[rows, fa])
        go_b = sk_left(st, b, X[rows, fb])
        if fa == fb and ours.threshold[a] == st.threshold[b]:
            assert ours.missing_go_to_left[a] == st.missing_go_to_left[b], (a, b)
            exact += 1
        elif not np.array_equal(go_a, go_b):
            mine = proxy(y[rows], w[rows], go_a, n_classes, criterion)
            theirs = proxy(y[rows], w[rows], go_b, n_classes, criterion)
            np.testing.assert_allclose(mine, theirs, rtol=1e-12, atol=1e-12)
            ties += 1
            continue
        stack.append((ours.children_left[a], st.children_left[b], rows[go_a]))
        stack.append((ours.children_right[a], st.children_right[b], rows[~go_a]))
    return seen, exact, ties
