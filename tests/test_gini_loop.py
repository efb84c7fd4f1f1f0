"""BinaryClassificationTree._gini_loop: the scan, its typed arguments and
their errors."""
import array
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import tavrin
from split_reference import gini_loop as reference_loop

TREE = tavrin.BinaryClassificationTree()


def scan(classes, left, right, best_gini, thresholds, best_idx=-999, idx=3,
         split_type="numeric", best_split_type=None, best_thr=-999.0):
    return TREE._gini_loop(np.asarray(classes, dtype=np.int_), np.asarray(left, dtype=float),
                           np.asarray(right, dtype=float), best_gini,
                           np.asarray(thresholds, dtype=float), best_idx, idx, split_type,
                           best_split_type, best_thr)


NAMES = ["classes", "num_left", "num_right", "best_gini", "thresholds", "best_idx", "idx",
         "split_type", "best_split_type", "best_thr"]
P = {name: i for i, name in enumerate(NAMES)}


def good_args(**changes):
    args = [np.array([0, 0, 1, 1]), np.zeros(2), np.array([2.0, 2.0]), 0.5,
            np.array([1.0, 2.0, 3.0, 4.0]), -999, 3, "numeric", None, -999.0]
    for name, value in changes.items():
        args[P[name]] = value
    return args


class TestScan:
    def test_worked_example(self):
        assert scan([0, 0, 1, 1], [0, 0], [2, 2], 0.5, [1, 2, 3, 4]) == (0.0, 3, "numeric", 2.5)

    def test_nothing_strictly_below_zero(self):
        assert scan([0, 0, 1, 1], [0, 0], [2, 2], 0.0, [1, 2, 3, 4]) == (0.0, -999, None, -999.0)

    def test_tied_thresholds_are_skipped(self):
        assert scan([0, 1, 0, 1], [0, 0], [2, 2], 0.5, [1, 1, 2, 2]) == (0.5, -999, None, -999.0)
        assert scan([0, 1, 0, 1], [0, 0], [2, 2], 0.75, [1, 1, 2, 2]) == (0.5, 3, "numeric", 1.5)
        assert scan([0, 1, 1], [0, 0], [1, 2], 1.0, [5, 5, 5]) == (1.0, -999, None, -999.0)

    def test_first_of_equal_positions_wins(self):
        # Positions 1 and 3 both give 1/3.
        assert scan([0, 1, 1, 0], [0, 0], [2, 2], 1.0, [1, 2, 3, 4])[3] == 1.5

    def test_third_code_moves_but_weighs_nothing(self):
        assert scan([2, 0, 1], [0, 0, 0], [1, 1, 1], 10.0, [1, 2, 3]) == (0.5, 3, "numeric", 2.5)

    @pytest.mark.parametrize("m", [0, 1])
    def test_no_position_for_fewer_than_two_rows(self, m):
        out = scan([0] * m, [0], [m], 0.25, [7.0] * m, best_idx=4, best_split_type="x",
                   best_thr=1.5)
        assert out == (0.25, 4, "x", 1.5)

    def test_negative_codes_count_from_the_end(self):
        # -1 is code 1 in a two-entry count array.
        assert scan([0, 0, -1, -1], [0, 0], [2, 2], 0.5, [1, 2, 3, 4]) == (0.0, 3, "numeric", 2.5)
        assert scan([-2, -2, 1, 1], [0, 0], [2, 2], 0.5, [1, 2, 3, 4]) == (0.0, 3, "numeric", 2.5)

    def test_nan_midpoints_are_no_candidates(self):
        assert scan([0, 1, 1], [0, 0], [1, 2], 1.0, [1.0, np.nan, np.nan])[1] == -999
        assert scan([0, 1], [0, 0], [1, 1], 1.0, [-np.inf, np.inf])[1] == -999
        assert scan([0, 1, 1], [0, 0], [1, 2], 1.0, [1.0, 2.0, np.nan]) == (0.0, 3, "numeric", 1.5)

    def test_split_type_objects_are_passed_through(self):
        kind, other = "cat" + "egorical", "x" * 3
        out = scan([0, 1], [0, 0], [1, 1], 1.0, [1, 2], split_type=kind, best_split_type=other)
        assert out[2] is kind
        out = scan([0, 1], [0, 0], [1, 1], 0.0, [1, 2], split_type=kind, best_split_type=other)
        assert out[2] is other
        assert scan([0, 1], [0, 0], [1, 1], 1.0, [1, 2], split_type=None)[2] is None

    def test_result_types(self):
        out = scan([0, 1], [0, 0], [1, 1], np.float64(1.0), [1, 2], best_idx=True, idx=np.int64(2))
        assert [type(v) for v in out] == [float, int, str, float]

    def test_strided_buffers(self):
        classes = np.array([0, 9, 0, 9, 1, 9, 1, 9])[::2]
        left = np.zeros((2, 3))[:, 1]
        right = np.full(4, 2.0)[::-2]
        thresholds = np.arange(8, dtype=float)[::-1][::2][::-1]  # 1, 3, 5, 7
        out = TREE._gini_loop(classes, left, right, 0.5, thresholds, -999, 0, "numeric", None, 0.0)
        assert out == (0.0, 0, "numeric", 4.0)

    def test_other_buffer_providers(self):
        out = TREE._gini_loop(array.array("q", [0, 1]), array.array("d", [0, 0]),
                              memoryview(bytearray(np.ones(2).tobytes())).cast("d"), 1.0,
                              array.array("d", [1, 2]), -999, 1, "numeric", None, -999.0)
        assert out == (0.0, 1, "numeric", 1.5)

    def test_callers_count_arrays_are_not_written(self):
        left, right = np.zeros(2), np.array([2.0, 2.0])
        TREE._gini_loop(np.array([0, 0, 1, 1]), left, right, 0.5, np.array([1.0, 2, 3, 4]),
                        -999, 0, "numeric", None, -999.0)
        assert left.tolist() == [0.0, 0.0] and right.tolist() == [2.0, 2.0]

    def test_counts_are_copied_through_the_module_np(self, monkeypatch):
        seen = []

        class SpyNumpy:
            def __getattr__(self, name):
                return getattr(np, name)

            def copy(self, a):
                seen.append(a)
                return np.copy(a)

        args = good_args()
        monkeypatch.setattr(tavrin, "np", SpyNumpy())
        assert TREE._gini_loop(*args) == (0.0, 3, "numeric", 2.5)
        assert seen[0] is args[1] and seen[1] is args[2] and len(seen) == 2

    def test_a_copy_of_the_wrong_type_is_refused(self, monkeypatch):
        class IntCopies:
            def __getattr__(self, name):
                return getattr(np, name)

            def copy(self, a):
                return np.zeros(2, dtype=np.int64)

        monkeypatch.setattr(tavrin, "np", IntCopies())
        with pytest.raises(ValueError, match="expected 'double' but got 'long'"):
            TREE._gini_loop(*good_args())

    @given(st.data())
    def test_matches_the_scan_written_in_python(self, data):
        m = data.draw(st.integers(0, 30))
        classes = data.draw(st.lists(st.integers(-2, 1), min_size=m, max_size=m))
        thresholds = sorted(data.draw(st.lists(st.integers(0, 6).map(float), min_size=m,
                                               max_size=m)))
        left = data.draw(st.lists(st.integers(0, 3).map(float), min_size=2, max_size=3))
        right = data.draw(st.lists(st.integers(0, 9).map(float), min_size=len(left),
                                   max_size=len(left)))
        best = data.draw(st.sampled_from([1.0, 0.5, 0.4, 0.0, 2 / 3, 1 / 3]))
        args = (np.array(classes, dtype=np.int_), np.array(left), np.array(right), best,
                np.array(thresholds), -999, 5, "numeric", None, -999.0)
        assert TREE._gini_loop(*args) == reference_loop(*args)


class TestArgumentErrors:
    @pytest.mark.parametrize("name, bad, message", [
        ("classes", np.zeros((2, 2), dtype=np.int_), r"wrong number of dimensions \(expected 1, got 2\)"),
        ("num_left", np.array(1.0), r"wrong number of dimensions \(expected 1, got 0\)"),
        ("classes", np.zeros(2, np.int32), "expected 'long' but got 'int'"),
        ("classes", np.zeros(2, np.uint64), "expected 'long' but got 'unsigned long'"),
        ("classes", np.zeros(2), "expected 'long' but got 'double'"),
        ("classes", np.zeros(2, np.int8), "expected 'long' but got 'signed char'"),
        ("classes", np.zeros(2, np.int16), "expected 'long' but got 'short'"),
        ("num_left", np.zeros(2, np.float32), "expected 'double' but got 'float'"),
        ("num_left", np.zeros(2, np.int64), "expected 'double' but got 'long'"),
        ("num_left", np.zeros(2, np.uint8), "expected 'double' but got 'unsigned char'"),
        ("num_right", np.zeros(2, np.longdouble), "expected 'double' but got 'long double'"),
        ("num_right", np.zeros(2, bool), "expected 'double' but got 'bool'"),
        ("num_right", np.zeros(2, complex), "expected 'double' but got 'complex double'"),
        ("thresholds", np.zeros(2, object), "expected 'double' but got Python object"),
        ("thresholds", np.zeros(2, "i4,f8"), "expected 'double' but got a struct"),
        ("thresholds", array.array("q", [1, 2]), "expected 'double' but got 'long long'"),
        ("thresholds", np.zeros(2, ">f8"), "Big-endian buffer"),
    ])
    def test_buffer_checks(self, name, bad, message):
        args = good_args(**{name: bad})
        with pytest.raises(ValueError, match=message):
            TREE._gini_loop(*args)

    def test_read_only_buffer(self):
        args = good_args()
        args[P["thresholds"]].setflags(write=False)
        with pytest.raises(ValueError, match="read-only"):
            TREE._gini_loop(*args)
        args = good_args(classes=np.frombuffer(np.array([0, 1]).tobytes(), dtype=np.int_))
        with pytest.raises(ValueError, match="read-only"):
            TREE._gini_loop(*args)

    @pytest.mark.parametrize("bad", [None, [0.0, 0.0], "ab", 3])
    def test_objects_without_a_buffer(self, bad):
        args = good_args(num_left=bad)
        with pytest.raises(TypeError):
            TREE._gini_loop(*args)

    @pytest.mark.parametrize("name", ["split_type", "best_split_type"])
    def test_split_types_must_be_str_or_none(self, name):
        class Text(str):
            pass

        for bad, got in [(1, "int"), (b"numeric", "bytes"), (Text("numeric"), "Text")]:
            args = good_args(**{name: bad})
            with pytest.raises(TypeError) as info:
                TREE._gini_loop(*args)
            assert str(info.value) == (
                f"Argument '{name}' has incorrect type (expected str, got {got})")

    @pytest.mark.parametrize("name", ["best_idx", "idx"])
    def test_int_arguments(self, name):
        pos = P[name]
        args = good_args()
        args[pos] = 1.0
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            TREE._gini_loop(*args)
        for big in [2**31, -(2**31) - 1, 10**30]:
            args[pos] = big
            with pytest.raises(OverflowError, match="^value too large to convert to int$"):
                TREE._gini_loop(*args)
        args[pos] = np.int32(2**31 - 1)
        assert TREE._gini_loop(*args)

    @pytest.mark.parametrize("name", ["best_gini", "best_thr"])
    def test_float_arguments(self, name):
        pos = P[name]
        args = good_args()
        args[pos] = "0.5"
        with pytest.raises(TypeError, match="must be real number, not str"):
            TREE._gini_loop(*args)
        args[pos] = 1  # ints convert
        assert TREE._gini_loop(*args)

    def test_arguments_are_converted_in_order(self):
        args = good_args(best_split_type=1, best_thr="x", best_idx=2.5, best_gini="x",
                         num_right=np.zeros(2, np.int32))
        with pytest.raises(ValueError, match="expected 'double' but got 'int'"):
            TREE._gini_loop(*args)
        args[P["num_right"]] = np.zeros(2)
        with pytest.raises(TypeError, match="real number"):
            TREE._gini_loop(*args)
        args[P["best_gini"]] = 0.5
        with pytest.raises(TypeError, match="interpreted as an integer"):
            TREE._gini_loop(*args)
        args[P["best_idx"]] = -999
        with pytest.raises(TypeError, match="real number"):
            TREE._gini_loop(*args)
        args[P["best_thr"]] = -999.0
        with pytest.raises(TypeError, match="best_split_type"):
            TREE._gini_loop(*args)

    @pytest.mark.parametrize("classes, left, right, thresholds", [
        ([0, 2, 1], [0, 0], [2, 2], [1, 2, 3]),  # code past the end
        ([-3, 0], [0, 0], [1, 1], [1, 2]),  # code before the start
        ([2, 0], [0, 0, 0], [1, 1], [1, 2]),  # code 2 fits left, not right
        ([0, 0], [0], [2], [1, 2]),  # one count entry
        ([0, 1, 1], [0, 0], [1, 2], [1, 2]),  # thresholds shorter than classes
    ])
    def test_out_of_bounds(self, classes, left, right, thresholds):
        with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
            scan(classes, left, right, 1.0, thresholds)

    def test_one_entry_counts_are_fine_without_positions(self):
        assert scan([0], [0], [1], 0.5, [1.0]) == (0.5, -999, None, -999.0)

    def test_binding(self):
        with pytest.raises(TypeError, match=r"takes exactly 11 positional arguments \(3 given\)"):
            TREE._gini_loop(1, 2)
        assert TREE._gini_loop(**dict(zip(NAMES, good_args()))) == (0.0, 3, "numeric", 2.5)

    def test_traceback_entry(self):
        args = good_args(classes=None)
        with pytest.raises(TypeError) as info:
            TREE._gini_loop(*args)
        names = [e.name for e in info.traceback]
        assert "tavrin.BinaryClassificationTree._gini_loop" in names


class TestReferences:
    def test_no_reference_is_kept_or_lost(self):
        # Fresh objects only: small ints and None are shared with the rest
        # of the process, so their counts move for other reasons.
        fresh = dict(best_gini=float("0.5"), best_idx=int("-999"), idx=int("12345"),
                     split_type="numeric" + "!", best_split_type="x" + "y",
                     best_thr=float("-999"))
        args = good_args(**fresh)
        bad = good_args(num_right=np.zeros(2, np.int32), **fresh)
        oob = good_args(classes=np.array([0, 5, 1, 1]), **fresh)
        for call_args in (args, bad, oob):
            before = [sys.getrefcount(a) for a in call_args]
            for _ in range(50):
                try:
                    TREE._gini_loop(*call_args)
                except (ValueError, IndexError):
                    pass
            assert [sys.getrefcount(a) for a in call_args] == before

    def test_result_holds_its_own_references(self):
        kind = "numeric" + "?"
        before = sys.getrefcount(kind)
        out = scan([0, 1], [0, 0], [1, 1], 1.0, [1, 2], split_type=kind)
        assert sys.getrefcount(kind) == before + 1
        del out
        assert sys.getrefcount(kind) == before
