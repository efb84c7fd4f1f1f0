// Reading Node objects into the flat tree, and describing row values as
// the walk compares them.
#include "predict/flat_tree.hpp"

#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"
#include "runtime/read_view.hpp"
#include "split/numpy_scalars.hpp"

#include <unordered_set>

namespace tavrin::predict {

namespace {

using kernels::Cell;
using rt::Ref;
using rt::load;
namespace n = rt::names;

constexpr long long kExact = 1LL << 53;

// node.<name>; false (error cleared) when the node lacks it: the per-row
// walk meets that error only on the rows that reach the node.
bool attribute(PyObject* node, PyObject* name, Ref& out) {
    out = rt::getattr(node, name);
    if (!out) PyErr_Clear();
    return static_cast<bool>(out);
}

// The categories of a categorical node into flat.tree: 1 read, 0 not a
// set growth writes, -1 error.
int read_category_set(PyObject* threshold, Flat& flat, kernels::CategorySet& cs) {
    rt::ReadView set;
    if (!rt::is_exact_ndarray(threshold) || !set.acquire(threshold) || set.ndim() != 1) return 0;
    const char f = set.format();
    const Py_ssize_t count = set.shape(0);
    kernels::WalkTree& tree = flat.tree;
    if (f == 'O') {
        cs.kind = kernels::CategorySet::text;
        cs.begin = static_cast<std::uint32_t>(tree.text_ids.size());
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* v = load<PyObject*>(set.item(k));
            if (!PyUnicode_CheckExact(v)) return 0;
            PyObject* known = PyDict_GetItemWithError(flat.texts.get(), v);
            if (!known && PyErr_Occurred()) return -1;
            long text_id = known ? PyLong_AsLong(known) : PyDict_GET_SIZE(flat.texts.get());
            if (!known) {
                Ref id_obj = Ref::steal(PyLong_FromLong(text_id));
                if (!id_obj || PyDict_SetItem(flat.texts.get(), v, id_obj.get()) < 0) return -1;
            }
            tree.text_ids.push_back(static_cast<std::int32_t>(text_id));
        }
    } else if (f == 'l') {
        cs.kind = kernels::CategorySet::integer;
        cs.begin = static_cast<std::uint32_t>(tree.integers.size());
        for (Py_ssize_t k = 0; k < count; ++k) {
            const long long v = load<long long>(set.item(k));
            if (v > kExact || v < -kExact) return 0;
            tree.integers.push_back(v);
        }
    } else if (f == 'd') {
        cs.kind = kernels::CategorySet::real;
        cs.begin = static_cast<std::uint32_t>(tree.reals.size());
        for (Py_ssize_t k = 0; k < count; ++k) tree.reals.push_back(load<double>(set.item(k)));
    } else {
        return 0;
    }
    cs.count = static_cast<std::uint32_t>(count);
    return 1;
}

}  // namespace

int read_node(PyObject* node, PyObject* node_class, Py_ssize_t n_columns, Flat& flat,
              kernels::WalkNode& w, Ref& left, Ref& right) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node)) != node_class) return 0;
    if (!attribute(node, n::left, left)) return 0;
    if (left.get() == Py_None) {
        Leaf leaf;
        if (!attribute(node, n::predicted_class, leaf.predicted_class) ||
            !attribute(node, n::probability, leaf.probability))
            return 0;
        w.leaf = static_cast<std::int32_t>(flat.leaves.size());
        flat.leaves.push_back(std::move(leaf));
        return 2;
    }
    Ref node_type, feature_index, threshold;
    if (!attribute(node, n::right, right) || !attribute(node, n::node_type, node_type) ||
        !attribute(node, n::feature_index, feature_index) || !attribute(node, n::threshold, threshold))
        return 0;
    if (!PyUnicode_CheckExact(node_type.get()) || !PyLong_CheckExact(feature_index.get())) return 0;
    const long feature = PyLong_AsLong(feature_index.get());
    if (feature == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    if (feature < 0 || feature >= n_columns) return 0;
    w.feature = static_cast<std::int32_t>(feature);
    w.categorical = PyUnicode_Compare(node_type.get(), n::word_categorical) == 0;
    if (w.categorical) return read_category_set(threshold.get(), flat, w.set);
    const split::NumpyScalars* ns = split::numpy_scalars();
    if (!ns) return -1;
    PyTypeObject* t = Py_TYPE(threshold.get());
    if (t != &PyFloat_Type && t != reinterpret_cast<PyTypeObject*>(ns->float64)) return 0;
    w.threshold = PyFloat_AS_DOUBLE(threshold.get());
    return 1;
}

int flatten(PyObject* root, PyObject* node_class, Py_ssize_t n_columns, Flat& flat) {
    flat.texts = Ref::steal(PyDict_New());
    if (!flat.texts) return -1;
    std::unordered_set<PyObject*> seen;
    struct Item {
        Ref node;
        std::int32_t parent;
        bool is_left;
    };
    std::vector<Item> stack;
    stack.push_back({Ref::borrow(root), -1, false});
    while (!stack.empty()) {
        Item item = std::move(stack.back());
        stack.pop_back();
        PyObject* node = item.node.get();
        if (!seen.insert(node).second) return 0;
        const std::int32_t id = static_cast<std::int32_t>(flat.tree.nodes.size());
        flat.tree.nodes.emplace_back();
        if (item.parent >= 0) {
            kernels::WalkNode& parent = flat.tree.nodes[static_cast<std::size_t>(item.parent)];
            (item.is_left ? parent.left : parent.right) = id;
        }
        Ref left, right;
        const int kind = read_node(node, node_class, n_columns, flat, flat.tree.nodes.back(), left, right);
        if (kind != 1) {
            if (kind == 2) continue;
            return kind;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(left.get())) != node_class) return 0;
        // Pushed right first: the left subtree is numbered first.
        stack.push_back({std::move(right), id, false});
        stack.push_back({std::move(left), id, true});
    }
    return 1;
}

Cell describe(PyObject* v, PyObject* texts) {
    Cell c;
    if (PyFloat_CheckExact(v)) {
        c.kind = Cell::number;
        c.real = PyFloat_AS_DOUBLE(v);
    } else if (PyBool_Check(v)) {
        c.kind = Cell::number;
        c.is_int = true;
        c.integer = v == Py_True;
        c.real = static_cast<double>(c.integer);
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow && i <= kExact && i >= -kExact) {
            c.kind = Cell::number;
            c.is_int = true;
            c.integer = i;
            c.real = static_cast<double>(i);
        }
    } else if (PyUnicode_CheckExact(v)) {
        c.kind = Cell::text;
        PyObject* id = PyDict_GetItemWithError(texts, v);
        if (id) c.text_id = static_cast<std::int32_t>(PyLong_AsLong(id));
        else if (PyErr_Occurred()) {
            PyErr_Clear();
            c.kind = Cell::other;
        }
    } else if (v == Py_None) {
        c.kind = Cell::nothing;
    }
    return c;
}

}  // namespace tavrin::predict
