// BinaryClassificationTree._best_split: per feature, format, sort, convert
// to arrays and hand the best split so far through self._gini_loop.
#include "runtime/call.hpp"
#include "runtime/names.hpp"
#include "runtime/unpack.hpp"
#include "split/node_search.hpp"
#include "split/split.hpp"

namespace tavrin::split {

namespace {

using rt::Ref;
namespace names = rt::names;

// The scan reads two count entries whatever the number of classes: a
// node of a one-class target gets zero counts for the missing class, so it
// is searched (and finds nothing below its impurity of 0) instead of
// failing.
int pad_to_two(PyObject* list) {
    while (PyList_GET_SIZE(list) < 2) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero || PyList_Append(list, zero.get()) < 0) return -1;
    }
    return 0;
}

Ref float_array(PyObject* seq) {
    static rt::KwNames kw_names{"dtype"};
    PyObject* kw = kw_names.get();
    if (!kw) return nullptr;
    return rt::call_global_attr(names::np, names::array,
                                {seq, reinterpret_cast<PyObject*>(&PyFloat_Type)}, kw);
}

// One feature: build the scan's arrays and carry `best` through
// self._gini_loop. -999 and -999.0 stand for "no split" while they cross
// the scan, which takes machine numbers.
int search_feature(PyObject* self, PyObject* idx, FeatureRows& rows, const NodeStart&,
                   const NumpyScalars&, BestSplit& best) {
    if (pad_to_two(rows.num_left.get()) < 0 || pad_to_two(rows.num_right.get()) < 0) return -1;
    const SortedPairs& sorted = rows.sorted;
    Ref classes = rt::call_global_attr(names::np, names::array, {sorted.classes.get()});
    if (!classes) return -1;
    Ref left = float_array(rows.num_left.get());
    if (!left) return -1;
    Ref right = float_array(rows.num_right.get());
    if (!right) return -1;
    Ref thresholds = float_array(sorted.thresholds.get());
    if (!thresholds) return -1;

    if (best.idx.get() == Py_None) best.idx = Ref::steal(PyLong_FromLong(-999));
    if (!best.idx) return -1;
    if (best.thr.get() == Py_None) best.thr = Ref::steal(PyFloat_FromDouble(-999.0));
    if (!best.thr) return -1;

    Ref result = rt::call_method(
        self, names::_gini_loop,
        {classes.get(), left.get(), right.get(), best.gini.get(), thresholds.get(),
         best.idx.get(), idx, rows.split_type.get(), best.split_type.get(), best.thr.get()});
    if (!result) return -1;
    Ref items[4];
    if (rt::unpack(result.get(), 4, items) < 0) return -1;
    best.gini = std::move(items[0]);
    best.idx = std::move(items[1]);
    best.split_type = std::move(items[2]);
    best.thr = std::move(items[3]);

    // Only an index still at the sentinel means nothing was recorded; a
    // recorded threshold of -999.0 is a real midpoint and stays.
    Ref sentinel = Ref::steal(PyLong_FromLong(-999));
    if (!sentinel) return -1;
    const int unset = PyObject_RichCompareBool(best.idx.get(), sentinel.get(), Py_EQ);
    if (unset < 0) return -1;
    if (unset) {
        best.idx = rt::none();
        best.thr = rt::none();
    }
    return 0;
}

}  // namespace

PyObject* best_split(PyObject* const* args) {
    return search_node(args, search_feature);
}

}  // namespace tavrin::split
