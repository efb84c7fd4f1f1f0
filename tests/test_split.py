"""_best_split of both estimator classes: the search over features, its
sentinels, tie order, NaN handling and the calls it makes through self."""
import sys
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import tavrin
from split_helpers import TREES, column, make_tree

BCT, PY = TREES


def split(cls, X, codes, n_classes=2, kinds=None):
    X = np.asarray(X)
    tree = make_tree(cls, n_classes, X.shape[1], kinds)
    return tree._best_split(X, pd.Series(codes))


@pytest.mark.parametrize("cls", TREES)
class TestBothSearches:
    @pytest.mark.parametrize("rows", [0, 1])
    def test_tiny_nodes_are_not_searched(self, cls, rows):
        tree = make_tree(cls, 2, 1)
        assert tree._best_split(np.zeros((rows, 1)), pd.Series([0] * rows)) == (None, None, None)
        assert tree.formatted == []

    def test_two_rows(self, cls):
        assert split(cls, column([5.0, 7.0]), [0, 1]) == (0, 6.0, "numeric")

    def test_unsorted_values(self, cls):
        assert split(cls, column([3.0, 1.0, 2.0]), [1, 0, 1]) == (0, 1.5, "numeric")

    def test_pure_node_is_searched_but_not_split(self, cls):
        tree = make_tree(cls, 2, 3)
        X = np.arange(12.0).reshape(4, 3)
        assert tree._best_split(X, pd.Series([0, 0, 0, 0])) == (None, None, None)
        assert tree.formatted == [0, 1, 2]

    def test_constant_feature_gives_no_candidate(self, cls):
        X = np.array([[1.0, 4.0], [1.0, 3.0], [1.0, 2.0], [1.0, 1.0]])
        assert split(cls, X, [0, 0, 1, 1]) == (1, 2.5, "numeric")
        assert split(cls, X[:, :1], [0, 0, 1, 1]) == (None, None, None)

    def test_equal_features_earliest_wins(self, cls):
        # Positions 0 and 2 reach impurity 0; the later one must not replace it.
        X = np.array([[1, 9, 10], [2, 9, 20], [3, 9, 30], [4, 9, 40]], dtype=float)
        assert split(cls, X, [0, 0, 1, 1]) == (0, 2.5, "numeric")

    def test_equal_positions_earliest_wins(self, cls):
        assert split(cls, column([1.0, 2.0, 3.0, 4.0]), [0, 1, 1, 0])[1] == 1.5

    def test_later_feature_must_be_strictly_better(self, cls):
        X = np.array([[1, 1], [2, 2], [3, 3], [4, 4]], dtype=float)
        assert split(cls, X, [0, 1, 1, 1]) == (0, 1.5, "numeric")
        X = np.array([[1, 1], [2, 2], [3, 4], [4, 3]], dtype=float)
        assert split(cls, X, [0, 0, 1, 0])[:2] == (1, 3.5)

    def test_midpoint_of_minus_999_is_kept(self, cls):
        out = split(cls, column([-1000.0, -998.0]), [0, 1])
        assert out == (0, -999.0, "numeric")

    def test_one_class_target(self, cls):
        assert split(cls, column([1.0, 2.0, 3.0]), [0, 0, 0], n_classes=1) == (None, None, None)

    def test_split_type_comes_from_format_feature(self, cls):
        out = split(cls, column([0, 1, 2]), [0, 1, 1], kinds=["categorical"])
        assert out == (0, 0.5, "categorical")

    @pytest.mark.parametrize("dtype", [float, np.float32, object])
    def test_nan_values_sort_last_and_never_make_a_threshold(self, cls, dtype):
        # Sorted: 1, 2, 3, nan, nan. The only clean cut puts the NaN rows
        # right, as growth's `value < thr` does.
        X = column([np.nan, 2.0, 1.0, np.nan, 3.0], dtype=dtype)
        assert split(cls, X, [1, 0, 0, 1, 1]) == (0, 2.5, "numeric")
        # Every row NaN: no candidate at all.
        assert split(cls, column([np.nan] * 4), [0, 1, 0, 1]) == (None, None, None)

    def test_nan_rows_follow_in_class_order(self, cls):
        seen = []
        tree = make_tree(cls, 2, 1)
        X = column([np.nan, 5.0, np.nan, np.nan, 4.0])
        y = pd.Series([1, 1, 0, 1, 0])
        if cls is BCT:
            tree._gini_loop = lambda *a: seen.append(a) or (a[3], a[5], a[8], a[9])
            tree._best_split(X, y)
            assert seen[0][0].tolist() == [0, 1, 0, 1, 1]
            assert np.isnan(seen[0][4][2:]).all() and seen[0][4][:2].tolist() == [4.0, 5.0]
        else:
            # Left counts after 4.0, 5.0 are one of each; the NaN rows would
            # give a NaN midpoint, so the only candidate is 4.5 (gini 0.4 <
            # node impurity 0.48).
            assert tree._best_split(X, y)[1] == 4.5

    def test_format_feature_errors_pass_through(self, cls):
        class Bad(cls):
            def _format_feature(self, X, y, idx):
                raise KeyError(idx)

        tree = make_tree(Bad, 2, 1)
        tree.__class__ = Bad
        with pytest.raises(KeyError) as info:
            tree._best_split(np.zeros((2, 1)), pd.Series([0, 1]))
        assert f"tavrin.{cls.__name__}._best_split" in [e.name for e in info.traceback]

    @pytest.mark.parametrize("result, message", [
        ((np.zeros(2), "numeric", 1), r"too many values to unpack \(expected 2\)"),
        ((np.zeros(2),), "need more than 1 value to unpack"),
    ])
    def test_format_feature_result_is_unpacked_strictly(self, cls, result, message):
        tree = make_tree(cls, 2, 1)
        tree._format_feature = lambda X, y, idx: result
        with pytest.raises(ValueError, match=message):
            tree._best_split(np.zeros((2, 1)), pd.Series([0, 1]))

    def test_negative_codes_count_from_the_end(self, cls):
        # Code -1 moves the last count; the totals hold no row for code 1,
        # so the right side ends at -1 rows of it, and position 3 wins.
        assert split(cls, column([1.0, 2, 3, 4]), [0, 0, -1, -1]) == (0, 3.5, "numeric")

    def test_unorderable_values(self, cls):
        with pytest.raises(TypeError):
            split(cls, np.array([[1], ["a"]], dtype=object), [0, 1])

    def test_references_are_not_leaked(self, cls):
        tree = make_tree(cls, 2, 2)
        X = np.array([[1.0, 3.0], [2.0, 1.0], [3.0, 2.0], [4.0, 4.0]])
        y = pd.Series([0, 1, 1, 0])
        bad_y = pd.Series([0, 5, 1, 0])  # a class code past the counts
        before = [sys.getrefcount(o) for o in (tree, X, y, bad_y)]
        for _ in range(30):
            tree._best_split(X, y)
            with pytest.raises(IndexError):
                tree._best_split(X, bad_y)
        assert [sys.getrefcount(o) for o in (tree, X, y, bad_y)] == before


class TestBinaryClassificationTree:
    def test_integer_values_give_a_float_threshold(self):
        out = split(BCT, column([2, 3], dtype=np.int64), [0, 1])
        assert out == (0, 2.5, "numeric") and type(out[1]) is float and type(out[0]) is int

    def test_codes_beyond_one_do_not_weigh(self):
        assert split(BCT, column([1.0, 2, 3, 4]), [2, 2, 0, 1], n_classes=3) == (None, None, None)

    def test_code_past_the_counts(self):
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
            split(BCT, column([1.0, 2, 3]), [0, 2, 1])


    def test_scan_gets_sorted_arrays_and_sentinels(self):
        calls = []
        tree = make_tree(BCT, 2, 2)

        def spy(*args):
            calls.append(args)
            return BCT._gini_loop(tree, *args)

        tree._gini_loop = spy
        X = np.array([[3.0, 1.0], [1.0, 1.0], [2.0, 5.0], [1.0, 0.0]])
        out = tree._best_split(X, pd.Series([1, 1, 0, 0]))
        first, second = calls
        assert first[0].dtype == np.int_ and first[0].tolist() == [0, 1, 0, 1]
        assert first[1].tolist() == [0.0, 0.0] and first[2].tolist() == [2.0, 2.0]
        assert first[4].tolist() == [1.0, 1.0, 2.0, 3.0]
        assert first[5:] == (-999, 0, "numeric", None, -999.0) and first[3] == 0.5
        # Feature 0 recorded 1/3 at 2.5; feature 1 only ties it.
        assert second[5] == 0 and second[8] == "numeric" and second[9] == 2.5
        assert second[0].tolist() == [0, 1, 1, 0] and second[4].tolist() == [0, 1, 1, 5]
        assert out == (0, 2.5, "numeric")

    def test_a_recorded_split_is_carried_not_reset(self):
        calls = []
        tree = make_tree(BCT, 2, 2)
        tree._gini_loop = lambda *a: calls.append(a) or (0.1, a[6], a[7], -999.0)
        assert tree._best_split(np.zeros((2, 2)), pd.Series([0, 1])) == (1, -999.0, "numeric")
        assert calls[1][5] == 0 and calls[1][9] == -999.0

    def test_scan_result_is_unpacked_strictly(self):
        tree = make_tree(BCT, 2, 1)
        tree._gini_loop = lambda *a: (1, 2, 3)
        with pytest.raises(ValueError, match="need more than 3 values to unpack"):
            tree._best_split(np.zeros((2, 1)), pd.Series([0, 1]))

    def test_one_class_counts_are_padded(self):
        calls = []
        tree = make_tree(BCT, 1, 1)
        tree._gini_loop = lambda *a: calls.append(a) or (a[3], a[5], a[8], a[9])
        tree._best_split(column([1.0, 2.0]), pd.Series([0, 0]))
        assert calls[0][1].tolist() == [0.0, 0.0] and calls[0][2].tolist() == [2.0, 0.0]

    def test_arrays_are_made_through_the_module_np(self, monkeypatch):
        made = []

        class SpyNumpy:
            def __getattr__(self, name):
                return getattr(np, name)

            def array(self, obj, **kw):
                made.append((type(obj).__name__, kw.get("dtype")))
                return np.array(obj, **kw)

        monkeypatch.setattr(tavrin, "np", SpyNumpy())
        assert split(BCT, column([1.0, 2.0]), [0, 1]) == (0, 1.5, "numeric")
        assert made == [("tuple", None), ("list", float), ("list", float), ("tuple", float)]


class TestBinaryClassificationTreePy:
    def test_three_classes(self):
        assert split(PY, column([1.0, 2, 3]), [0, 1, 2], n_classes=3) == (0, 1.5, "numeric")
        assert split(PY, column([1.0, 2, 3, 4]), [2, 2, 0, 1], n_classes=3) == (0, 2.5, "numeric")

    def test_integer_values_give_a_numpy_float(self):
        out = split(PY, column([2, 3], dtype=np.int64), [0, 1])
        assert out == (0, 2.5, "numeric") and type(out[1]) is np.float64

    def test_threshold_keeps_the_values_arithmetic(self):
        out = split(PY, np.array([[1], [2]], dtype=object), [0, 1])
        assert type(out[1]) is float and out[1] == 1.5
        out = split(PY, np.array([[Fraction(1, 3)], [Fraction(1, 2)]], dtype=object), [0, 1])
        assert out[1] == Fraction(5, 12)

    def test_code_past_the_counts(self):
        with pytest.raises(IndexError, match="list index out of range"):
            split(PY, column([1.0, 2, 3]), [0, 2, 1])

    def test_best_idx_is_the_position_object(self):
        positions = [np.int64(0)]

        class Names:
            def map(self, mapping):
                return positions

        tree = make_tree(PY, 2, 1, feature_names=Names())
        out = tree._best_split(column([1.0, 2.0]), pd.Series([0, 1]))
        assert out[0] is positions[0]
