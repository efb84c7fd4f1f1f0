// Node set-up shared by the two best-split searches. Every value here is
// computed with the interpreter's number protocol on the objects the
// expressions name, so it is exactly what those expressions give.
#include "split/node_search.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "runtime/unpack.hpp"

#include <new>

namespace tavrin::split {

using rt::Ref;
namespace names = rt::names;

Ref gini_impurity(PyObject* counts, Py_ssize_t n, PyObject* divisor) {
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref sum = Ref::steal(PyLong_FromLong(0));
    if (!two || !sum) return nullptr;
    for (Py_ssize_t x = 0; x < n; ++x) {
        Ref count = Ref::steal(PySequence_GetItem(counts, x));
        if (!count) return nullptr;
        Ref share = Ref::steal(PyNumber_TrueDivide(count.get(), divisor));
        if (!share) return nullptr;
        Ref square = Ref::steal(PyNumber_Power(share.get(), two.get(), Py_None));
        if (!square) return nullptr;
        sum = Ref::steal(PyNumber_Add(sum.get(), square.get()));
        if (!sum) return nullptr;
    }
    Ref one = Ref::steal(PyFloat_FromDouble(1.0));
    if (!one) return nullptr;
    return Ref::steal(PyNumber_Subtract(one.get(), sum.get()));
}

namespace {

// Fills `out` and returns 0; returns 1 when the node has at most one row
// (nothing else is evaluated then), -1 with an error set.
int start_node_search(PyObject* self, PyObject* y, NodeStart& out) {
    out.rows = rt::getattr(y, names::size);
    if (!out.rows) return -1;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return -1;
    const int small = PyObject_RichCompareBool(out.rows.get(), one.get(), Py_LE);
    if (small < 0) return -1;
    if (small) return 1;

    // num_parent = [np.sum(y == c) for c in range(self.n_classes_)]
    Ref n_classes = rt::getattr(self, names::n_classes_);
    if (!n_classes) return -1;
    Ref range = rt::call(rt::builtins().range, {n_classes.get()});
    if (!range) return -1;
    Ref it = Ref::steal(PyObject_GetIter(range.get()));
    if (!it) return -1;
    out.totals = Ref::steal(PyList_New(0));
    if (!out.totals) return -1;
    while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
        Ref mask = Ref::steal(PyObject_RichCompare(y, c.get(), Py_EQ));
        if (!mask) return -1;
        Ref count = rt::call_global_attr(names::np, names::sum, {mask.get()});
        if (!count || PyList_Append(out.totals.get(), count.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;

    out.impurity = gini_impurity(out.totals.get(), PyList_GET_SIZE(out.totals.get()),
                                 out.rows.get());
    if (!out.impurity) return -1;

    Ref feature_names = rt::getattr(self, names::feature_names);
    if (!feature_names) return -1;
    Ref map = rt::getattr(feature_names.get(), names::map);
    if (!map) return -1;
    Ref feature_map = rt::getattr(self, names::feature_map);
    if (!feature_map) return -1;
    out.positions = rt::call(map.get(), {feature_map.get()});
    return out.positions ? 0 : -1;
}

int prepare_feature(PyObject* self, PyObject* X, PyObject* y, PyObject* idx,
                    const NodeStart& node, const NumpyScalars& ns, FeatureRows& out) {
    // xf, split_type = self._format_feature(X, y, idx)
    Ref result = rt::call_method(self, names::_format_feature, {X, y, idx});
    if (!result) return -1;
    Ref items[2];
    if (rt::unpack(result.get(), 2, items) < 0) return -1;
    out.split_type = std::move(items[1]);
    if (sort_pairs(items[0].get(), y, ns, out.sorted) < 0) return -1;

    // num_left = [0] * self.n_classes_; num_right = num_parent.copy()
    Ref n_classes = rt::getattr(self, names::n_classes_);
    if (!n_classes) return -1;
    Ref zero = Ref::steal(Py_BuildValue("[i]", 0));
    if (!zero) return -1;
    out.num_left = Ref::steal(PyNumber_Multiply(zero.get(), n_classes.get()));
    if (!out.num_left) return -1;
    if (!PyList_CheckExact(out.num_left.get())) {
        out.num_left = Ref::steal(PySequence_List(out.num_left.get()));
        if (!out.num_left) return -1;
    }
    out.num_right = Ref::steal(PyList_GetSlice(node.totals.get(), 0, PY_SSIZE_T_MAX));
    return out.num_right ? 0 : -1;
}

PyObject* run(PyObject* const* args, FeatureSearch search) {
    PyObject *self = args[0], *X = args[1], *y = args[2];
    NodeStart node;
    const int start = start_node_search(self, y, node);
    if (start < 0) return nullptr;
    if (start > 0) return PyTuple_Pack(3, Py_None, Py_None, Py_None);
    const NumpyScalars* ns = numpy_scalars();
    if (!ns) return nullptr;

    BestSplit best{std::move(node.impurity), rt::none(), rt::none(), rt::none()};
    Ref it = Ref::steal(PyObject_GetIter(node.positions.get()));
    if (!it) return nullptr;
    while (Ref idx = Ref::steal(PyIter_Next(it.get()))) {
        FeatureRows rows;
        if (prepare_feature(self, X, y, idx.get(), node, *ns, rows) < 0) return nullptr;
        if (search(self, idx.get(), rows, node, *ns, best) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyTuple_Pack(3, best.idx.get(), best.thr.get(), best.split_type.get());
}

}  // namespace

PyObject* search_node(PyObject* const* args, FeatureSearch search) {
    return guarded([&] { return run(args, search); });
}

}  // namespace tavrin::split
