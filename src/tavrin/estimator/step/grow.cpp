// Recursive tree growth: one call per node. Each call summarises its rows
// into a leaf, asks the split search for a split and, with one, divides the
// rows and grows the left subtree, then the right, through `self`.
#include "estimator/estimator.hpp"

#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "runtime/unpack.hpp"

namespace tavrin::estimator {

namespace {

using rt::Ref;
namespace n = rt::names;

// [np.sum(y == i) for i in range(self.n_classes_)]
Ref count_classes(PyObject* self, PyObject* y) {
    Ref n_classes = rt::getattr(self, n::n_classes_);
    if (!n_classes) return nullptr;
    Ref codes = rt::call(rt::builtins().range, {n_classes.get()});
    if (!codes) return nullptr;
    Ref iter = Ref::steal(PyObject_GetIter(codes.get()));
    if (!iter) return nullptr;
    Ref counts = Ref::steal(PyList_New(0));
    if (!counts) return nullptr;
    while (Ref code = Ref::steal(PyIter_Next(iter.get()))) {
        Ref is_code = Ref::steal(PyObject_RichCompare(y, code.get(), Py_EQ));
        if (!is_code) return nullptr;
        Ref count = rt::call_global_attr(n::np, n::sum, {is_code.get()});
        if (!count || PyList_Append(counts.get(), count.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return counts;
}

// Node(predicted_class=rev_taget_map[majority], probability=share)
Ref make_leaf(PyObject* self, PyObject* counts) {
    Ref majority = rt::call_global_attr(n::np, n::argmax, {counts});
    if (!majority) return nullptr;
    Ref majority_count = Ref::steal(PyObject_GetItem(counts, majority.get()));
    if (!majority_count) return nullptr;
    Ref total = rt::call_global_attr(n::np, n::sum, {counts});
    if (!total) return nullptr;
    Ref prob = Ref::steal(PyNumber_TrueDivide(majority_count.get(), total.get()));
    if (!prob) return nullptr;
    Ref rev_taget_map = rt::getattr(self, n::rev_taget_map);
    if (!rev_taget_map) return nullptr;
    Ref label = Ref::steal(PyObject_GetItem(rev_taget_map.get(), majority.get()));
    if (!label) return nullptr;
    static rt::KwNames kw_names{"predicted_class", "probability"};
    PyObject* kw = kw_names.get();
    if (!kw) return nullptr;
    return rt::call_global(n::Node, {label.get(), prob.get()}, kw);
}

// The category values of the codes below `thr` at this node, in code order:
// pd.Series([x for x in rev_map.keys() if x < thr]).map(rev_map).values
// self.feature_value_maps[idx]["rev_map"], read afresh.
Ref rev_map_of(PyObject* self, PyObject* idx) {
    Ref maps = rt::getattr(self, n::feature_value_maps);
    if (!maps) return nullptr;
    Ref entry = Ref::steal(PyObject_GetItem(maps.get(), idx));
    if (!entry) return nullptr;
    return Ref::steal(PyObject_GetItem(entry.get(), n::rev_map));
}

Ref left_categories(PyObject* self, PyObject* idx, PyObject* thr) {
    Ref rev_map = rev_map_of(self, idx);
    if (!rev_map) return nullptr;
    Ref keys = rt::call_method(rev_map.get(), n::keys, {});
    if (!keys) return nullptr;
    Ref iter = Ref::steal(PyObject_GetIter(keys.get()));
    if (!iter) return nullptr;
    Ref below = Ref::steal(PyList_New(0));
    if (!below) return nullptr;
    while (Ref code = Ref::steal(PyIter_Next(iter.get()))) {
        int lt = PyObject_RichCompareBool(code.get(), thr, Py_LT);
        if (lt < 0) return nullptr;
        if (lt && PyList_Append(below.get(), code.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref thr_cat = rt::call_global_attr(n::pd, n::Series, {below.get()});
    if (!thr_cat) return nullptr;
    // The map is read from the attribute again, as the expression does.
    rev_map = rev_map_of(self, idx);
    if (!rev_map) return nullptr;
    Ref values = rt::call_method(thr_cat.get(), n::map, {rev_map.get()});
    if (!values) return nullptr;
    values = rt::getattr(values.get(), n::values);
    if (!values) return nullptr;
    return rt::as_numpy_array(values.get());
}

// Writes the split into `node` and grows both children; returns -1 on error.
int split_node(PyObject* self, PyObject* node, PyObject* X, PyObject* y, PyObject* depth,
               PyObject* idx, PyObject* thr, PyObject* split_type) {
    Ref formatted = rt::call_method(self, n::_format_feature, {X, y, idx});
    if (!formatted) return -1;
    Ref var_kind[2];
    if (rt::unpack(formatted.get(), 2, var_kind) < 0) return -1;

    Ref indices_left = rt::less_than_quietly(var_kind[0].get(), thr);
    if (!indices_left) return -1;
    Ref X_left = Ref::steal(PyObject_GetItem(X, indices_left.get()));
    if (!X_left) return -1;
    Ref y_left = Ref::steal(PyObject_GetItem(y, indices_left.get()));
    if (!y_left) return -1;
    Ref not_left = Ref::steal(PyNumber_Invert(indices_left.get()));
    if (!not_left) return -1;
    Ref X_right = Ref::steal(PyObject_GetItem(X, not_left.get()));
    if (!X_right) return -1;
    not_left = Ref::steal(PyNumber_Invert(indices_left.get()));
    if (!not_left) return -1;
    Ref y_right = Ref::steal(PyObject_GetItem(y, not_left.get()));
    if (!y_right) return -1;

    // A split that sends every row to one side (a NaN or infinite threshold)
    // would repeat at every depth below: the node stays a leaf.
    if (rt::bool_mask_is_one_sided(indices_left.get())) return 0;

    if (rt::setattr(node, n::feature_index, idx) < 0) return -1;
    int numeric = PyObject_RichCompareBool(split_type, n::word_numeric, Py_EQ);
    if (numeric < 0) return -1;
    if (numeric) {
        if (rt::setattr(node, n::threshold, thr) < 0) return -1;
        if (rt::setattr(node, n::node_type, n::word_numeric) < 0) return -1;
    } else {
        Ref categories = left_categories(self, idx, thr);
        if (!categories || rt::setattr(node, n::threshold, categories.get()) < 0) return -1;
        if (rt::setattr(node, n::node_type, n::word_categorical) < 0) return -1;
    }

    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return -1;
    Ref child_depth = Ref::steal(PyNumber_Add(depth, one.get()));
    if (!child_depth) return -1;
    Ref left = rt::call_method(self, n::_grow_tree, {X_left.get(), y_left.get(), child_depth.get()});
    if (!left || rt::setattr(node, n::left, left.get()) < 0) return -1;
    child_depth = Ref::steal(PyNumber_Add(depth, one.get()));
    if (!child_depth) return -1;
    Ref right = rt::call_method(self, n::_grow_tree, {X_right.get(), y_right.get(), child_depth.get()});
    if (!right || rt::setattr(node, n::right, right.get()) < 0) return -1;
    return 0;
}

}  // namespace

PyObject* grow_tree(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* y = args[2];
    PyObject* depth = args[3];

    Ref counts = count_classes(self, y);
    if (!counts) return nullptr;
    Ref node = make_leaf(self, counts.get());
    if (!node) return nullptr;

    Ref max_depth = rt::getattr(self, n::max_depth);
    if (!max_depth) return nullptr;
    int deeper = PyObject_RichCompareBool(depth, max_depth.get(), Py_LT);
    if (deeper < 0) return nullptr;
    if (!deeper) return node.release();

    Ref found = rt::call_method(self, n::_best_split, {X, y});
    if (!found) return nullptr;
    Ref split[3];
    if (rt::unpack(found.get(), 3, split) < 0) return nullptr;
    if (split[0].get() == Py_None) return node.release();

    if (split_node(self, node.get(), X, y, depth, split[0].get(), split[1].get(), split[2].get()) < 0) {
        return nullptr;
    }
    return node.release();
}

}  // namespace tavrin::estimator
