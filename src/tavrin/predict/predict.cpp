// Prediction: select the training columns, take the frame's array, and walk
// the tree once per row through `self._predict`.
#include "predict/predict.hpp"

#include "predict/fast_predict.hpp"

#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"

namespace tavrin::predict {

namespace {

using rt::Ref;
namespace n = rt::names;

// [self._predict(row, **extra) for row in X[self.feature_names].values]
PyObject* predict_rows(PyObject* self, PyObject* X, PyObject* ptype) {
    Ref feature_names = rt::getattr(self, n::feature_names);
    if (!feature_names) return nullptr;
    Ref selected = Ref::steal(PyObject_GetItem(X, feature_names.get()));
    if (!selected) return nullptr;
    // Plain trees and frames are walked in C++, with the same results.
    Ref fast;
    int done = fast_predict_frame(self, selected.get(), ptype != nullptr, fast);
    if (done < 0) return nullptr;
    if (done > 0) return fast.release();
    Ref values = rt::invalid_ignored([&] { return rt::getattr(selected.get(), n::values); });
    if (!values) return nullptr;
    done = fast_predict(self, values.get(), ptype != nullptr, fast);
    if (done < 0) return nullptr;
    if (done > 0) return fast.release();

    static rt::KwNames kw_ptype_names{"ptype"};
    PyObject* kw_ptype = kw_ptype_names.get();
    if (!kw_ptype) return nullptr;

    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    auto predict_one = [&](PyObject* row) -> int {
        Ref result = ptype ? rt::call_method(self, n::_predict, {row, ptype}, kw_ptype)
                           : rt::call_method(self, n::_predict, {row});
        if (!result) return -1;
        return PyList_Append(out.get(), result.get());
    };
    if (PyList_CheckExact(values.get()) || PyTuple_CheckExact(values.get())) {
        // Walked by position; the length is read afresh, as a list may change.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(values.get()); ++i) {
            Ref row = Ref::borrow(PySequence_Fast_GET_ITEM(values.get(), i));
            if (predict_one(row.get()) < 0) return nullptr;
        }
        return out.release();
    }
    Ref iter = Ref::steal(PyObject_GetIter(values.get()));
    if (!iter) return nullptr;
    while (Ref row = Ref::steal(PyIter_Next(iter.get()))) {
        if (predict_one(row.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

// The probability pair of a leaf: [p, 1 - p] when its class is classes[0],
// else [1 - p, p]; p is read from the node for each place that uses it.
PyObject* probability_pair(PyObject* self, PyObject* leaf) {
    Ref predicted = rt::getattr(leaf, n::predicted_class);
    if (!predicted) return nullptr;
    Ref classes = rt::getattr(self, n::classes);
    if (!classes) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref first = Ref::steal(PyObject_GetItem(classes.get(), zero.get()));
    if (!first) return nullptr;
    Ref same = Ref::steal(PyObject_RichCompare(predicted.get(), first.get(), Py_EQ));
    if (!same) return nullptr;
    int is_first = PyObject_IsTrue(same.get());
    if (is_first < 0) return nullptr;

    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref items[2];
    for (int k = 0; k < 2; ++k) {
        Ref p = rt::getattr(leaf, n::probability);
        if (!p) return nullptr;
        bool complement = is_first ? k == 1 : k == 0;
        items[k] = complement ? Ref::steal(PyNumber_Subtract(one.get(), p.get())) : std::move(p);
        if (!items[k]) return nullptr;
    }
    Ref pair = Ref::steal(PyList_New(2));
    if (!pair) return nullptr;
    PyList_SET_ITEM(pair.get(), 0, items[0].release());
    PyList_SET_ITEM(pair.get(), 1, items[1].release());
    return pair.release();
}

}  // namespace

PyObject* predict(PyObject* const* args) { return predict_rows(args[0], args[1], nullptr); }

PyObject* predict_proba(PyObject* const* args) {
    return predict_rows(args[0], args[1], n::word_prob);
}

PyObject* predict_row(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* inputs = args[1];
    PyObject* ptype = args[2];

    Ref node = rt::getattr(self, n::tree_);
    if (!node) return nullptr;
    for (;;) {
        // A tree built by hand may hold a cycle: the walk stays
        // interruptible, as the interpreter's own loops are.
        if (PyErr_CheckSignals() < 0) return nullptr;
        Ref left = rt::getattr(node.get(), n::left);
        if (!left) return nullptr;
        int is_split = PyObject_IsTrue(left.get());
        if (is_split < 0) return nullptr;
        if (!is_split) break;

        Ref node_type = rt::getattr(node.get(), n::node_type);
        if (!node_type) return nullptr;
        int numeric = PyObject_RichCompareBool(node_type.get(), n::word_categorical, Py_NE);
        if (numeric < 0) return nullptr;
        Ref feature_index = rt::getattr(node.get(), n::feature_index);
        if (!feature_index) return nullptr;
        Ref value = Ref::steal(PyObject_GetItem(inputs, feature_index.get()));
        if (!value) return nullptr;
        Ref threshold = rt::getattr(node.get(), n::threshold);
        if (!threshold) return nullptr;
        int goes_left;
        if (numeric) {
            Ref lt = Ref::steal(PyObject_RichCompare(value.get(), threshold.get(), Py_LT));
            if (!lt) return nullptr;
            goes_left = PyObject_IsTrue(lt.get());
        } else {
            goes_left = PySequence_Contains(threshold.get(), value.get());
        }
        if (goes_left < 0) return nullptr;
        node = goes_left ? std::move(left) : rt::getattr(node.get(), n::right);
        if (!node) return nullptr;
    }

    int is_class = PyObject_RichCompareBool(ptype, n::word_class, Py_EQ);
    if (is_class < 0) return nullptr;
    if (is_class) return rt::getattr(node.get(), n::predicted_class).release();
    int is_prob = PyObject_RichCompareBool(ptype, n::word_prob, Py_EQ);
    if (is_prob < 0) return nullptr;
    if (is_prob) return probability_pair(self, node.get());
    Ref np = rt::global(n::np);
    if (!np) return nullptr;
    return rt::getattr(np.get(), n::nan).release();
}

}  // namespace tavrin::predict
