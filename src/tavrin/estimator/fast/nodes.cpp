// Turning a built tree into Node objects, and leaving feature_value_maps
// as the step-by-step growth leaves it.
#include "estimator/fast/nodes.hpp"

#include "features/features.hpp"
#include "runtime/call.hpp"
#include "runtime/collector.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "split/numpy_scalars.hpp"

#include <cstring>

namespace tavrin::estimator {

namespace {

using rt::Ref;
namespace n = rt::names;

// A numpy float64 holding `v`.
Ref float64(double v, const split::NumpyScalars& ns) {
    Ref f = Ref::steal(PyFloat_FromDouble(v));
    if (!f) return nullptr;
    return rt::call(ns.float64, {f.get()});
}

// The numeric threshold as growth stores it: the typed scan's float, or
// the inline scan's (a + b) / 2 in the values' own arithmetic.
Ref numeric_threshold(double thr, bool numpy_values, kernels::ImpurityRule rule,
                      const split::NumpyScalars& ns) {
    if (rule == kernels::ImpurityRule::all_classes && numpy_values) return float64(thr, ns);
    return Ref::steal(PyFloat_FromDouble(thr));
}

// The left-going categories as pandas' Series.map(...).values gives them
// as a numpy array: objects for text, int64 or float64 for numbers.
Ref category_threshold(const kernels::BuiltTree& tree, const kernels::BuiltNode& node,
                       const FastColumn& col, const split::NumpyScalars& ns) {
    Ref list = Ref::steal(PyList_New(node.cat_count));
    if (!list) return nullptr;
    for (std::uint32_t k = 0; k < node.cat_count; ++k) {
        PyObject* v = col.categories[static_cast<std::size_t>(tree.cat_ranks[node.cat_begin + k])].get();
        Py_INCREF(v);
        PyList_SET_ITEM(list.get(), k, v);
    }
    PyObject* dtype = col.kind == CategoryKind::text ? reinterpret_cast<PyObject*>(&PyBaseObject_Type)
                      : col.kind == CategoryKind::integer ? ns.int64
                                                          : ns.float64;
    static rt::KwNames kw_names{"dtype"};
    PyObject* kw = kw_names.get();
    if (!kw) return nullptr;
    return rt::call_global_attr(n::np, n::array, {list.get(), dtype}, kw);
}


}  // namespace

int make_nodes(const kernels::BuiltTree& tree, const FastData& data, const std::vector<Ref>& labels,
               const std::vector<Ref>& positions, kernels::ImpurityRule rule, Ref& root) {
    const split::NumpyScalars* ns = split::numpy_scalars();
    if (!ns) return -1;
    Ref node_class = rt::global(n::Node);
    if (!node_class) return -1;
    static rt::KwNames kw_names{"predicted_class", "probability"};
    PyObject* kw = kw_names.get();
    if (!kw) return -1;
    std::vector<Ref> made(tree.nodes.size());
    // Nodes hold no cycles: collecting while they are made would only
    // traverse them again and again.
    rt::PauseCollector pause;
    // Children follow their parent in depth-first order: made last to first,
    // a split node finds both children made.
    for (std::size_t id = tree.nodes.size(); id-- > 0;) {
        const kernels::BuiltNode& b = tree.nodes[id];
        // count / total of two numpy integers: a float64 quotient.
        Ref prob = float64(static_cast<double>(b.majority) / static_cast<double>(b.total), *ns);
        if (!prob) return -1;
        Ref node = rt::call(node_class.get(),
                            {labels[static_cast<std::size_t>(b.predicted)].get(), prob.get()}, kw);
        if (!node) return -1;
        if (b.feature >= 0) {
            const FastColumn& col = data.columns()[static_cast<std::size_t>(b.feature)];
            if (rt::setattr(node.get(), n::feature_index, positions[static_cast<std::size_t>(b.feature)].get()) < 0)
                return -1;
            Ref thr = col.categorical ? category_threshold(tree, b, col, *ns)
                                      : numeric_threshold(b.threshold, col.numpy_values, rule, *ns);
            if (!thr || rt::setattr(node.get(), n::threshold, thr.get()) < 0) return -1;
            PyObject* word = col.categorical ? n::word_categorical : n::word_numeric;
            if (rt::setattr(node.get(), n::node_type, word) < 0) return -1;
            if (rt::setattr(node.get(), n::left, made[static_cast<std::size_t>(b.left)].get()) < 0 ||
                rt::setattr(node.get(), n::right, made[static_cast<std::size_t>(b.right)].get()) < 0)
                return -1;
            made[static_cast<std::size_t>(b.left)].reset();
            made[static_cast<std::size_t>(b.right)].reset();
        }
        made[id] = std::move(node);
    }
    root = std::move(made[0]);
    return 0;
}

int restore_value_maps(PyObject* self, PyObject* X, bool X_is_frame, PyObject* y,
                       const kernels::BuiltTree& tree, const FastData& data,
                       const std::vector<Ref>& positions) {
    if (!tree.searched) return 0;
    bool any = false;
    for (const FastColumn& col : data.columns()) any = any || col.categorical;
    if (!any) return 0;

    // The node's rows as growth's masks leave them: X[mask], y[mask].
    Ref rows = Ref::steal(PyLong_FromSize_t(data.rows()));
    if (!rows) return -1;
    static rt::KwNames kw_names{"dtype"};
    PyObject* kw = kw_names.get();
    if (!kw) return -1;
    Ref mask = rt::call_global_attr(n::np, n::zeros, {rows.get(), reinterpret_cast<PyObject*>(&PyBool_Type)}, kw);
    if (!mask) return -1;
    Py_buffer view;
    if (PyObject_GetBuffer(mask.get(), &view, PyBUF_RECORDS) < 0) return -1;
    for (std::uint32_t r : tree.last_searched_rows)
        static_cast<char*>(view.buf)[static_cast<Py_ssize_t>(r) * view.strides[0]] = 1;
    PyBuffer_Release(&view);
    Ref X_node;
    if (X_is_frame) {
        // The node's rows of the frame, as the matrix: X.values[mask] holds
        // the same objects as X.iloc[mask].values.
        Ref iloc = rt::getattr(X, n::iloc);
        Ref rows_of_node = iloc ? Ref::steal(PyObject_GetItem(iloc.get(), mask.get())) : Ref();
        if (rows_of_node) X_node = features::prepared_values(rows_of_node.get());
    } else {
        X_node = Ref::steal(PyObject_GetItem(X, mask.get()));
    }
    if (!X_node) return -1;
    Ref y_node = Ref::steal(PyObject_GetItem(y, mask.get()));
    if (!y_node) return -1;
    for (std::size_t j = 0; j < data.columns().size(); ++j) {
        if (!data.columns()[j].categorical) continue;
        Ref codes = rt::call_method(self, n::_format_categorical, {X_node.get(), y_node.get(), positions[j].get()});
        if (!codes) return -1;
    }
    return 0;
}

}  // namespace tavrin::estimator
