// BinaryClassificationTreePy._best_split: the search with its threshold
// scan written out over the interpreter's own objects, weighing every
// class code. Where the counts, codes and row count are plain integers the
// impurities come from kernels/class_sweep, which computes the same doubles
// the number protocol would (checked once per process, see
// numpy_scalars.cpp); everything else goes through the number protocol.
#include "kernels/class_sweep.hpp"
#include "runtime/call.hpp"
#include "split/node_search.hpp"
#include "split/split.hpp"

#include <vector>

namespace tavrin::split {

namespace {

using rt::Ref;

constexpr long long kExactLimit = 1LL << 52;  // counts and rows stay exact doubles

// What one feature's scan works on.
struct Scan {
    PyObject* idx;
    PyObject* split_type;
    PyObject* thresholds;  // tuple
    PyObject* classes;     // tuple, same length
    PyObject* num_left;    // list of n zeros
    PyObject* num_right;   // list, a copy of the class totals
    PyObject* rows;        // m
};

// (thresholds[i] + thresholds[i-1]) / 2
Ref midpoint(PyObject* hi, PyObject* lo) {
    Ref sum = Ref::steal(PyNumber_Add(hi, lo));
    if (!sum) return nullptr;
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!two) return nullptr;
    return Ref::steal(PyNumber_TrueDivide(sum.get(), two.get()));
}

// Records position i when its midpoint is a candidate. Returns 1 when
// recorded, 0 when the midpoint is NaN (no candidate), -1 on error.
int record(const Scan& s, PyObject* hi, PyObject* lo, Ref gini, const NumpyScalars& ns,
           BestSplit& best) {
    Ref mid = midpoint(hi, lo);
    if (!mid) return -1;
    const int nan = is_float_nan(mid.get(), ns);
    if (nan) return nan < 0 ? -1 : 0;
    best.gini = std::move(gini);
    best.idx = Ref::borrow(s.idx);
    best.split_type = Ref::borrow(s.split_type);
    best.thr = std::move(mid);
    return 1;
}

// ---- the scan on plain integers -------------------------------------------

struct Plain {
    std::vector<long long> totals;
    std::vector<size_t> codes;  // class code of each sorted row, wrapped to 0..n-1
    std::vector<NumberKey> keys;
    long long rows = 0;
    bool numpy_right = false;  // some right count is numpy.int64: impurities are float64 objects
    double best_gini = 0.0;
};

bool exact_int(PyObject* v, long long& out) {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow && out > -kExactLimit && out < kExactLimit;
}

// Whether the scan of `s` may run on machine numbers, and its inputs.
bool plan_plain(const Scan& s, const BestSplit& best, const NumpyScalars& ns, Plain& p) {
    if (!ns.kernel_arithmetic || !PyLong_CheckExact(s.rows) || !exact_int(s.rows, p.rows))
        return false;
    PyTypeObject* gini_type = Py_TYPE(best.gini.get());
    if (gini_type != &PyFloat_Type && gini_type != reinterpret_cast<PyTypeObject*>(ns.float64))
        return false;
    p.best_gini = PyFloat_AS_DOUBLE(best.gini.get());
    const Py_ssize_t n = PyList_GET_SIZE(s.num_left);
    if (n < 1 || PyList_GET_SIZE(s.num_right) != n || PyTuple_GET_SIZE(s.classes) != p.rows)
        return false;
    for (Py_ssize_t x = 0; x < n; ++x) {
        PyObject* v = PyList_GET_ITEM(s.num_right, x);
        const bool numpy = Py_TYPE(v) == reinterpret_cast<PyTypeObject*>(ns.int64);
        long long total = 0;
        if ((!PyLong_CheckExact(v) && !numpy) || !exact_int(v, total)) return false;
        p.numpy_right = p.numpy_right || numpy;
        p.totals.push_back(total);
    }
    for (Py_ssize_t r = 0; r < p.rows; ++r) {
        PyObject* c = PyTuple_GET_ITEM(s.classes, r);
        long long code = 0;
        if ((!PyLong_CheckExact(c) && !PyBool_Check(c)) || !exact_int(c, code)) return false;
        if (code < 0) code += n;  // list indexing from the end
        if (code < 0 || code >= n) return false;
        p.codes.push_back(static_cast<size_t>(code));
    }
    for (Py_ssize_t r = 0; r < p.rows; ++r)
        p.keys.push_back(number_key(PyTuple_GET_ITEM(s.thresholds, r), ns));
    return true;
}

Ref impurity_object(double gini, const Plain& p, const NumpyScalars& ns) {
    Ref value = Ref::steal(PyFloat_FromDouble(gini));
    if (!value || !p.numpy_right) return value;
    return rt::call(ns.float64, {value.get()});
}

int scan_plain(const Scan& s, Plain& p, const NumpyScalars& ns, BestSplit& best) {
    kernels::ClassSweep sweep(p.totals, p.rows);
    for (long long i = 1; i < p.rows; ++i) {
        const double gini = sweep.advance(p.codes[i - 1]);
        PyObject* hi = PyTuple_GET_ITEM(s.thresholds, i);
        PyObject* lo = PyTuple_GET_ITEM(s.thresholds, i - 1);
        const int tie = values_equal(hi, p.keys[i], lo, p.keys[i - 1]);
        if (tie < 0) return -1;
        if (tie || !(gini < p.best_gini)) continue;
        Ref gini_obj = impurity_object(gini, p, ns);
        if (!gini_obj) return -1;
        const int recorded = record(s, hi, lo, std::move(gini_obj), ns, best);
        if (recorded < 0) return -1;
        if (recorded) p.best_gini = gini;
    }
    return 0;
}

// ---- the scan on any objects ------------------------------------------------

// counts[c] += delta, as an augmented assignment on a list item.
int bump(PyObject* counts, PyObject* c, PyObject* delta, bool add) {
    Ref item = Ref::steal(PyObject_GetItem(counts, c));
    if (!item) return -1;
    Ref moved = Ref::steal(add ? PyNumber_InPlaceAdd(item.get(), delta)
                               : PyNumber_InPlaceSubtract(item.get(), delta));
    if (!moved) return -1;
    return PyObject_SetItem(counts, c, moved.get());
}

int scan_objects(const Scan& s, const NumpyScalars& ns, BestSplit& best) {
    Ref rows = Ref::steal(PyNumber_Index(s.rows));  // range(1, m) takes an index
    if (!rows) return -1;
    const Py_ssize_t m = PyLong_AsSsize_t(rows.get());
    if (m == -1 && PyErr_Occurred()) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(s.num_left);
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return -1;
    for (Py_ssize_t i = 1; i < m; ++i) {
        Ref pos = Ref::steal(PyLong_FromSsize_t(i));
        if (!pos) return -1;
        Ref c = Ref::steal(PySequence_GetItem(s.classes, i - 1));
        if (!c) return -1;
        if (bump(s.num_left, c.get(), one.get(), true) < 0) return -1;
        if (bump(s.num_right, c.get(), one.get(), false) < 0) return -1;
        Ref gini_left = gini_impurity(s.num_left, n, pos.get());
        if (!gini_left) return -1;
        Ref rest = Ref::steal(PyNumber_Subtract(s.rows, pos.get()));
        if (!rest) return -1;
        Ref gini_right = gini_impurity(s.num_right, n, rest.get());
        if (!gini_right) return -1;
        Ref wl = Ref::steal(PyNumber_Multiply(pos.get(), gini_left.get()));
        if (!wl) return -1;
        Ref wr = Ref::steal(PyNumber_Multiply(rest.get(), gini_right.get()));
        if (!wr) return -1;
        Ref total = Ref::steal(PyNumber_Add(wl.get(), wr.get()));
        if (!total) return -1;
        Ref gini = Ref::steal(PyNumber_TrueDivide(total.get(), s.rows));
        if (!gini) return -1;

        Ref hi = Ref::steal(PySequence_GetItem(s.thresholds, i));
        if (!hi) return -1;
        Ref lo = Ref::steal(PySequence_GetItem(s.thresholds, i - 1));
        if (!lo) return -1;
        Ref eq = Ref::steal(PyObject_RichCompare(hi.get(), lo.get(), Py_EQ));
        if (!eq) return -1;
        const int tie = PyObject_IsTrue(eq.get());
        if (tie < 0) return -1;
        if (tie) continue;
        Ref lt = Ref::steal(PyObject_RichCompare(gini.get(), best.gini.get(), Py_LT));
        if (!lt) return -1;
        const int better = PyObject_IsTrue(lt.get());
        if (better < 0) return -1;
        if (better && record(s, hi.get(), lo.get(), std::move(gini), ns, best) < 0) return -1;
    }
    return 0;
}

// ---- the search ---------------------------------------------------------------

int search_feature(PyObject*, PyObject* idx, FeatureRows& rows, const NodeStart& node,
                   const NumpyScalars& ns, BestSplit& best) {
    const Scan scan{idx,
                    rows.split_type.get(),
                    rows.sorted.thresholds.get(),
                    rows.sorted.classes.get(),
                    rows.num_left.get(),
                    rows.num_right.get(),
                    node.rows.get()};
    Plain plain;
    if (plan_plain(scan, best, ns, plain)) return scan_plain(scan, plain, ns, best);
    return scan_objects(scan, ns, best);
}

}  // namespace

PyObject* best_split_inline(PyObject* const* args) {
    return search_node(args, search_feature);
}

}  // namespace tavrin::split
