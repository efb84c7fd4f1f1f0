"""The learner's binding: category subsets against a search over every
subset, the walks (apply, decision_path) against the training partition,
the dict round trip and its checks, pickling, read-only arrays, and the
errors bad arguments get."""
import itertools
import pickle

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from learner_support import fit, our_left, proxy
from tavrin_tools import _learner
from tavrin_tools._tree import FlatTree, grow


@st.composite
def categorical_data(draw):
    k = draw(st.integers(2, 6))
    n_classes = draw(st.integers(2, 3))
    n = draw(st.integers(4, 40))
    codes = draw(st.lists(st.integers(0, k), min_size=n, max_size=n))  # k: missing
    y = draw(st.lists(st.integers(0, n_classes - 1), min_size=n, max_size=n))
    w = draw(st.lists(st.sampled_from([1.0, 0.5, 2.0, 3.25]), min_size=n, max_size=n))
    x = np.array([np.nan if c == k else c for c in codes], dtype=np.float64)
    return x[:, None], np.array(y, np.intp), np.array(w), k, n_classes


@settings(max_examples=150, deadline=None)
@given(categorical_data(), st.sampled_from(["gini", "entropy"]))
def test_category_subsets_against_every_subset(case, criterion):
    X, y, w, k, n_classes = case
    tree = fit(X, y, w, n_categories=[k], n_classes=n_classes, criterion=criterion, max_depth=1)
    col = X[:, 0]
    present = sorted(set(col[~np.isnan(col)].astype(int)))
    has_missing = bool(np.isnan(col).any())
    best = -np.inf
    for size in range(len(present) + 1):
        for subset in itertools.combinations(present, size):
            for missing_left in ([False, True] if has_missing else [False]):
                left = np.where(np.isnan(col), missing_left, np.isin(col, subset))
                if left.all() or not left.any():
                    continue
                best = max(best, proxy(y, w, left, n_classes, criterion))
    if tree.node_count == 1:
        # No split: the node is pure, or no split decreases the impurity.
        assert best == -np.inf or np.isclose(tree.impurity[0], 0.0, atol=1e-12) or np.isclose(
            best, -w.sum() * tree.impurity[0], rtol=1e-12)
        return
    left = our_left(tree, 0, col)
    assert left.sum() == tree.n_node_samples[1]
    mine = proxy(y, w, left, n_classes, criterion)
    assert mine <= best + 1e-9 * w.sum()
    if n_classes == 2:  # ordering by class share is exact for two classes
        np.testing.assert_allclose(mine, best, rtol=1e-12, atol=1e-12)


def test_walks_follow_the_training_partition():
    rng = np.random.default_rng(1)
    X = rng.permutation(3000).reshape(1000, 3) / 8.0
    X[:, 2] = rng.integers(0, 5, 1000)
    X[rng.random(X.shape) < 0.1] = np.nan
    y = ((np.nan_to_num(X[:, 0]) > 150) ^ (X[:, 2] == 3)).astype(np.intp)
    tree = fit(X, y, n_categories=[0, 0, 5], max_leaf_nodes=40, n_threads=2)
    leaves = tree.apply(X, n_threads=2)
    assert np.array_equal(leaves, tree.apply(np.asfortranarray(X)))
    assert (tree.children_left[leaves] == -1).all()
    counts = np.bincount(leaves, minlength=tree.node_count)
    assert np.array_equal(counts[tree.children_left == -1], tree.n_node_samples[tree.children_left == -1])
    path = tree.decision_path(X)
    indptr, indices = path.indptr, path.indices
    assert indptr[0] == 0 and len(indptr) == 1001
    assert np.array_equal(indices[indptr[1:] - 1], leaves)
    assert (indices[indptr[:-1]] == 0).all()
    # A category never seen at a node and a code outside the column go with
    # the missing values.
    odd = np.array([[np.nan, np.nan, np.nan], [np.nan, np.nan, 7.0], [np.nan, np.nan, 2.5]])
    assert len(set(tree.apply(odd))) == 1


def test_dict_round_trip_pickling_and_read_only_arrays():
    rng = np.random.default_rng(2)
    X = rng.normal(size=(300, 4))
    y = (X[:, 0] + rng.normal(size=300) > 0).astype(np.intp) + (X[:, 1] > 1)
    tree = fit(X, y, max_depth=4)
    d = tree.to_dict()
    again = FlatTree.from_dict(d)
    copy = pickle.loads(pickle.dumps(tree))
    for other in (again, copy):
        assert np.array_equal(other.apply(X), tree.apply(X))
        assert np.array_equal(other.weighted_class_counts, tree.weighted_class_counts)
    for name in ("threshold", "value", "weighted_class_counts", "feature"):
        with pytest.raises(ValueError):
            getattr(tree, name)[0] = 1.0
    with pytest.raises(AttributeError):
        tree.value = None
    d["value"][:] = 0  # a copy: the tree is untouched
    assert tree.weighted_class_counts.sum() > 0
    assert (tree.node_count, tree.max_n_classes, tree.n_features) == (len(tree.feature), 3, 4)
    assert tree.max_depth == 4 and tree.n_leaves == (tree.children_left == -1).sum()


def broken(d, key, change):
    d = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in d.items()}
    if callable(change):
        d[key] = change(d[key])
    elif change is None:
        del d[key]
    else:
        d[key] = change
    return d


def test_bad_input_raises_value_error():
    X = np.arange(12.0).reshape(6, 2)
    y = np.array([0, 1, 0, 1, 0, 1], np.intp)
    good = fit(X, y).to_dict()
    categorical = fit(X % 3, y, n_categories=[3, 3]).to_dict()
    assert (categorical["category_offset"] >= 0).any()
    bad_fits = [
        dict(X=X[:, 0]), dict(X=X.astype(object)), dict(X="text"), dict(y=y[:5]), dict(y=y + 5),
        dict(sample_weight=np.full(6, np.nan)), dict(sample_weight=-np.ones(6)), dict(sample_weight=np.zeros(6)),
        dict(X=np.where(X > 10, np.inf, X)), dict(n_categories=[3, 0]), dict(n_categories=[0]), dict(n_categories=[2**24 + 1, 0]),
        dict(criterion="log_loss"), dict(max_depth=-2), dict(min_samples_leaf=0), dict(n_threads=0),
        dict(max_leaf_nodes=1), dict(min_weight_leaf=np.nan), dict(n_classes=0), dict(max_features=0),
        dict(monotonic=[1]), dict(monotonic=[2, 0]), dict(monotonic=[0, 1], n_categories=[0, 12]),
        dict(monotonic=[1, 0], y=np.arange(6) % 3, n_classes=3),
        dict(root=(0, 6.0)), dict(root=(-1, 6.0, 1, -np.inf, np.inf, None)),
        dict(root=(0, np.nan, 1, -np.inf, np.inf, None)), dict(root=(0, 6.0, 1, 1.0, 0.0, None)),
        dict(root=(0, 6.0, 1, -np.inf, np.inf, [2])), dict(root=(0, 6.0, 1, -np.inf, np.inf, [1, 1])),
        dict(targets="two"), dict(targets=([2, 2], [[0, 0]])), dict(targets=([2, 2], [[0, 0], [1, 2]])),
        dict(targets=([2, 0], [[0, 0], [1, 0]])), dict(targets=([2, 2], [[0, 0], [1, 1]]), monotonic=[1, 0]),
    ]
    for change in bad_fits:
        args = dict(X=X, y=y, sample_weight=np.ones(6), n_classes=2, n_categories=np.zeros(2, np.int64),
                    criterion="gini", max_depth=-1, min_samples_split=2, min_samples_leaf=1, min_weight_leaf=0.0,
                    min_impurity_decrease=0.0, max_leaf_nodes=-1, n_threads=1, max_features=-1,
                    random_split=False, seed=0, monotonic=None, root=None, targets=None)
        args.update(change)
        with pytest.raises(ValueError):
            _learner.fit(*args.values())
    with pytest.raises(TypeError):
        _learner.fit(X)  # the arguments are all required
    with pytest.raises(TypeError):
        _learner.fit(**args)  # and positional
    for handle in (None, "tree", object()):
        with pytest.raises(TypeError):
            _learner.apply(handle, X, 1)
    bad_dicts = [
        broken(good, "children_left", lambda a: np.where(a > 0, 0, a)),  # a cycle back to the root
        broken(good, "children_right", lambda a: np.where(a > 0, a + 100, a)),
        broken(good, "feature", lambda a: np.where(a >= 0, 9, a)),
        broken(good, "value", lambda a: a[:, :1]),
        broken(good, "category_offset", lambda a: a[:-1]),
        broken(good, "n_categories", lambda a: a[:1]),
        broken(good, "n_categories", lambda a: a - 1),
        broken(categorical, "category_bits", lambda a: a[:-1]),
        broken(categorical, "category_offset", lambda a: np.where(a >= 0, 10**9, a)),
        broken(categorical, "n_categories", lambda a: np.zeros_like(a)),
        broken(good, "threshold", lambda a: a[:-1]),
        broken(good, "missing_go_to_left", lambda a: a + 2),
        broken(good, "n_classes", "two"),
        broken(good, "impurity", None),
    ]
    for d in bad_dicts:
        with pytest.raises(ValueError):
            FlatTree.from_dict(d)
    tree = FlatTree.from_dict(good)
    with pytest.raises(ValueError):
        tree.apply(np.zeros((2, 3)))
    with pytest.raises(ValueError):
        tree.apply(np.zeros((2, 2)), n_threads=0)
    with pytest.raises(ValueError):
        FlatTree.from_dict([1, 2])


@pytest.mark.parametrize("scale", [2.0 ** 350, 2.0 ** -400])
def test_weights_of_any_finite_size_grow_the_same_tree(scale):
    # Scaling every weight by a power of two scales every sum exactly, so
    # the tree must not change, even where products of three weights leave
    # the range of double precision (squares still fit).
    rng = np.random.default_rng(5)
    X = rng.normal(size=(400, 3))
    y = (X[:, 0] + 0.3 * rng.normal(size=400) > 0).astype(np.intp)
    w = rng.integers(1, 4, size=400).astype(np.float64)
    plain, scaled = fit(X, y, sample_weight=w), fit(X, y, sample_weight=w * scale)
    assert plain.node_count > 3
    for name in ("children_left", "feature", "threshold", "n_node_samples"):
        np.testing.assert_array_equal(getattr(plain, name), getattr(scaled, name))
    np.testing.assert_array_equal(plain.weighted_n_node_samples * scale, scaled.weighted_n_node_samples)


def test_category_sets_are_kept_only_at_categorical_splits_as_wide_as_their_column():
    # A column of 70,000 categories beside a numeric one: the sets cost
    # their splits' width each, not nodes x the widest column, and so
    # does the pickle.
    rng = np.random.default_rng(4)
    n, k = 20000, 70000
    X = np.column_stack([rng.integers(0, k, n), rng.normal(size=n), rng.integers(0, 3, n)]).astype(np.float64)
    y = ((X[:, 0] % 7 < 3) ^ (X[:, 1] > 0.5)).astype(np.intp)
    tree = fit(X, y, n_categories=[k, 0, 3], max_depth=12)
    split = tree.children_left >= 0
    on = [split & (tree.feature == f) for f in range(3)]
    assert all(mask.any() for mask in on[:2])
    words = {0: (k + 63) // 64, 2: 1}
    assert tree.category_bits.shape == (sum(words[f] * on[f].sum() for f in (0, 2)),)
    assert (tree.category_offset[~(on[0] | on[2])] == -1).all()
    sets = tree.category_left
    for i in np.flatnonzero(on[0] | on[2]):
        assert sets[i].shape == (words[tree.feature[i]],)
    assert len(pickle.dumps(tree)) < 2 * (tree.category_bits.nbytes + 100 * tree.node_count)
    for other in (pickle.loads(pickle.dumps(tree)), FlatTree.from_dict(tree.to_dict())):
        assert np.array_equal(other.apply(X), tree.apply(X))


def misaligned(a):
    """A copy of `a` whose data start one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out.flags.writeable = True
    out[...] = a
    assert a.dtype.alignment == 1 or out.ctypes.data % a.dtype.alignment != 0
    return out


def test_misaligned_arrays_are_read_as_their_aligned_copies():
    # numpy hands out unaligned views (of pickled or shared buffers); the
    # learner copies them rather than read a double off its alignment.
    rng = np.random.default_rng(6)
    X = np.column_stack([rng.normal(size=200), rng.integers(0, 4, 200)])
    y = ((X[:, 0] > 0) ^ (X[:, 1] == 2)).astype(np.int64)
    w = rng.integers(1, 3, 200).astype(np.float64)
    cats = np.array([0, 4], np.int64)
    args = ("gini", -1, 2, 1, 0.0, 0.0, -1, 1)
    plain = grow(X, y, w, 2, cats, *args)
    odd = grow(misaligned(X), misaligned(y), misaligned(w), 2, misaligned(cats), *args)
    again = FlatTree.from_dict({k: misaligned(v) if isinstance(v, np.ndarray) and v.size else v
                                for k, v in plain.to_dict().items()})
    for tree in (odd, again):
        np.testing.assert_array_equal(tree.apply(misaligned(X)), plain.apply(X))
        np.testing.assert_array_equal(tree.weighted_class_counts, plain.weighted_class_counts)
