// BinaryClassificationTree._gini_loop: argument conversion to typed
// buffers and machine numbers, the scan over np.copy'd counts, and the
// result tuple. The arithmetic lives in kernels/gini_scan.
#include "kernels/gini_scan.hpp"
#include "runtime/buffer.hpp"
#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/names.hpp"
#include "split/node_search.hpp"
#include "split/split.hpp"

#include <cstdint>

namespace tavrin::split {

namespace {

using rt::BufferView;
using rt::Element;
using rt::Ref;

enum Param {
    kSelf, kClasses, kNumLeft, kNumRight, kBestGini, kThresholds,
    kBestIdx, kIdx, kSplitType, kBestSplitType, kBestThr
};

int as_double(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    return out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

// An integer through __index__, as a 32-bit signed int.
int as_int32(PyObject* obj, int& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return -1;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || value < INT32_MIN || value > INT32_MAX) {
        rt::raise_int_overflow();
        return -1;
    }
    out = static_cast<int>(value);
    return 0;
}

int check_str_or_none(PyObject* obj, const char* name) {
    if (obj == Py_None || PyUnicode_CheckExact(obj)) return 0;
    rt::raise_argument_type(name, "str", obj);
    return -1;
}

// A fresh float64 array of the caller's counts: np.copy(obj), viewed.
int copy_counts(PyObject* obj, Ref& copy, BufferView& view) {
    copy = rt::call_global_attr(rt::names::np, rt::names::copy, {obj});
    if (!copy) return -1;
    return view.acquire(copy.get(), Element::c_double);
}

PyObject* run(PyObject* const* args) {
    BufferView classes, num_left, num_right, thresholds;
    double best_gini = 0.0, best_thr = 0.0;
    int best_idx = 0, idx = 0;
    if (classes.acquire(args[kClasses], Element::c_long) < 0) return nullptr;
    if (num_left.acquire(args[kNumLeft], Element::c_double) < 0) return nullptr;
    if (num_right.acquire(args[kNumRight], Element::c_double) < 0) return nullptr;
    if (as_double(args[kBestGini], best_gini) < 0) return nullptr;
    if (thresholds.acquire(args[kThresholds], Element::c_double) < 0) return nullptr;
    if (as_int32(args[kBestIdx], best_idx) < 0) return nullptr;
    if (as_int32(args[kIdx], idx) < 0) return nullptr;
    if (as_double(args[kBestThr], best_thr) < 0) return nullptr;
    if (check_str_or_none(args[kSplitType], "split_type") < 0) return nullptr;
    if (check_str_or_none(args[kBestSplitType], "best_split_type") < 0) return nullptr;

    // The scan moves counts in copies: the caller's arrays stay as they are.
    Ref left_copy, right_copy;
    BufferView left, right;
    if (copy_counts(args[kNumLeft], left_copy, left) < 0) return nullptr;
    if (copy_counts(args[kNumRight], right_copy, right) < 0) return nullptr;

    kernels::ScanBest best{best_gini, best_idx, best_thr, false};
    const kernels::ScanStatus status = kernels::two_class_gini_scan(
        classes.items<long>(), left.items<double>(), right.items<double>(),
        thresholds.items<double>(), idx, best);
    if (status == kernels::ScanStatus::out_of_bounds) {
        rt::raise_buffer_index(0);
        return nullptr;
    }
    PyObject* split_type = best.recorded ? args[kSplitType] : args[kBestSplitType];
    return Py_BuildValue("(diOd)", best.gini, best.idx, split_type, best.thr);
}

}  // namespace

PyObject* gini_loop(PyObject* const* args) {
    return guarded([&] { return run(args); });
}

}  // namespace tavrin::split
