// The fast path of predict and predict_proba: when `_predict` is the
// module's own and the tree is made of plain Node objects with the
// attribute types growth writes, the tree is copied into a flat form once
// and every row is walked in C++ (without the interpreter lock for numeric
// matrices). A row whose value a node cannot compare plainly sends the
// whole call back to the step-by-step path, which raises or answers by
// itself.
#include "predict/fast_predict.hpp"

#include "kernels/tree_walk.hpp"
#include "predict/predict.hpp"
#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/frame.hpp"
#include "runtime/read_view.hpp"
#include "runtime/collector.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "runtime/signals.hpp"
#include "split/numpy_scalars.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace tavrin::predict {

namespace {

using kernels::Cell;
using rt::Ref;
namespace n = rt::names;

constexpr long long kExact = 1LL << 53;

using Held = rt::ReadView;
using rt::load;

struct Leaf {
    Ref predicted_class;
    Ref probability;
    Ref complement;  // 1 - probability
    bool first_class = false;
};

// The tree, flattened; strings of text category sets numbered in `texts`.
struct Flat {
    kernels::WalkTree tree;
    std::vector<Leaf> leaves;
    Ref texts;  // dict: str -> id
};

// node.<name>; false (error cleared) when the node lacks it: the per-row
// walk meets that error only on the rows that reach the node.
bool attribute(PyObject* node, PyObject* name, Ref& out) {
    out = rt::getattr(node, name);
    if (!out) PyErr_Clear();
    return static_cast<bool>(out);
}

// 1 flattened, 0 not a plain tree, -1 error.
int flatten(PyObject* root, PyObject* node_class, Py_ssize_t n_columns, Flat& flat) {
    const split::NumpyScalars* ns = split::numpy_scalars();
    if (!ns) return -1;
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
        if (reinterpret_cast<PyObject*>(Py_TYPE(node)) != node_class || !seen.insert(node).second) return 0;
        const std::int32_t id = static_cast<std::int32_t>(flat.tree.nodes.size());
        flat.tree.nodes.emplace_back();
        if (item.parent >= 0) {
            kernels::WalkNode& parent = flat.tree.nodes[static_cast<std::size_t>(item.parent)];
            (item.is_left ? parent.left : parent.right) = id;
        }
        Ref left;
        if (!attribute(node, n::left, left)) return 0;
        if (left.get() == Py_None) {
            Leaf leaf;
            if (!attribute(node, n::predicted_class, leaf.predicted_class) ||
                !attribute(node, n::probability, leaf.probability))
                return 0;
            flat.tree.nodes[static_cast<std::size_t>(id)].leaf = static_cast<std::int32_t>(flat.leaves.size());
            flat.leaves.push_back(std::move(leaf));
            continue;
        }
        Ref right, node_type, feature_index, threshold;
        if (!attribute(node, n::right, right) || !attribute(node, n::node_type, node_type) ||
            !attribute(node, n::feature_index, feature_index) ||
            !attribute(node, n::threshold, threshold))
            return 0;
        if (!PyUnicode_CheckExact(node_type.get()) || !PyLong_CheckExact(feature_index.get())) return 0;
        const long feature = PyLong_AsLong(feature_index.get());
        if (feature == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return 0;
        }
        if (feature < 0 || feature >= n_columns) return 0;
        kernels::WalkNode& w = flat.tree.nodes[static_cast<std::size_t>(id)];
        w.feature = static_cast<std::int32_t>(feature);
        w.categorical = PyUnicode_Compare(node_type.get(), n::word_categorical) == 0;
        if (!w.categorical) {
            PyTypeObject* t = Py_TYPE(threshold.get());
            if (t != &PyFloat_Type && t != reinterpret_cast<PyTypeObject*>(ns->float64)) return 0;
            w.threshold = PyFloat_AS_DOUBLE(threshold.get());
        } else {
            Held set;
            if (!rt::is_exact_ndarray(threshold.get()) || !set.acquire(threshold.get()) || set.ndim() != 1)
                return 0;
            const char f = set.format();
            kernels::CategorySet& cs = w.set;
            const Py_ssize_t count = set.shape(0);
            if (f == 'O') {
                cs.kind = kernels::CategorySet::text;
                cs.begin = static_cast<std::uint32_t>(flat.tree.text_ids.size());
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
                    flat.tree.text_ids.push_back(static_cast<std::int32_t>(text_id));
                }
            } else if (f == 'l') {
                cs.kind = kernels::CategorySet::integer;
                cs.begin = static_cast<std::uint32_t>(flat.tree.integers.size());
                for (Py_ssize_t k = 0; k < count; ++k) {
                    const long long v = load<long long>(set.item(k));
                    if (v > kExact || v < -kExact) return 0;
                    flat.tree.integers.push_back(v);
                }
            } else if (f == 'd') {
                cs.kind = kernels::CategorySet::real;
                cs.begin = static_cast<std::uint32_t>(flat.tree.reals.size());
                for (Py_ssize_t k = 0; k < count; ++k) flat.tree.reals.push_back(load<double>(set.item(k)));
            } else {
                return 0;
            }
            cs.count = static_cast<std::uint32_t>(count);
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(left.get())) != node_class) return 0;
        // Pushed right first: the left subtree is numbered first.
        stack.push_back({std::move(right), id, false});
        stack.push_back({std::move(left), id, true});
    }
    return 1;
}

// Row values read straight from a numeric matrix.
struct NumericSource : kernels::CellMembership<NumericSource> {
    const Held* m;
    char format;
    Cell cell(std::size_t row, std::size_t column) const {
        const char* p = m->item(static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(column));
        Cell c;
        c.kind = Cell::number;
        if (format == 'd') {
            c.real = load<double>(p);
        } else if (format == 'l') {
            c.is_int = true;
            c.integer = load<long long>(p);
            c.real = static_cast<double>(c.integer);  // numpy compares it with a float so
        } else {
            c.is_int = true;
            c.integer = load<unsigned char>(p) ? 1 : 0;
            c.real = static_cast<double>(c.integer);
        }
        return c;
    }
};

// Row values of an object matrix, described once per chunk of rows.
struct ObjectSource : kernels::CellMembership<ObjectSource> {
    const std::vector<Cell>* cells;
    std::size_t first_row, columns;
    Cell cell(std::size_t row, std::size_t column) const {
        return (*cells)[(row - first_row) * columns + column];
    }
};

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

// Row values of a frame read in place: numbers from the column's array as
// the object matrix's Python floats, ints and bools would be described,
// categories through the cell of each code, described once.
struct FrameCells {
    const rt::FrameColumn* column;
    std::vector<Cell> by_code;  // [code + 1]
};

struct FrameSource {
    const std::vector<FrameCells>* columns;
    // Per categorical node on a category column: category_member's answer
    // for each code, [code + 1]; empty for other nodes.
    std::vector<std::vector<std::int8_t>> by_node;

    int member(const kernels::WalkTree& tree, std::size_t at, const kernels::WalkNode& node,
               std::size_t row) const {
        const std::vector<std::int8_t>& answers = by_node[at];
        const std::size_t column = static_cast<std::size_t>(node.feature);
        if (answers.empty()) return kernels::category_member(tree, node.set, cell(row, column));
        const long long code = (*columns)[column].column->code(row);
        if (code < -1 || code + 1 >= static_cast<long long>(answers.size())) return -1;
        return answers[static_cast<std::size_t>(code + 1)];
    }

    Cell cell(std::size_t row, std::size_t column) const {
        const FrameCells& fc = (*columns)[column];
        const rt::FrameColumn& col = *fc.column;
        Cell c;
        c.kind = Cell::number;
        switch (col.kind) {
            case rt::FrameColumn::real:
                c.real = load<double>(col.at(row));
                return c;
            case rt::FrameColumn::integer:
                c.integer = load<long long>(col.at(row));
                if (c.integer > kExact || c.integer < -kExact) return Cell{};
                c.is_int = true;
                c.real = static_cast<double>(c.integer);
                return c;
            case rt::FrameColumn::boolean:
                c.is_int = true;
                c.integer = load<unsigned char>(col.at(row)) ? 1 : 0;
                c.real = static_cast<double>(c.integer);
                return c;
            default: {
                const long long code = col.code(row);
                if (code < -1 || code + 1 >= static_cast<long long>(fc.by_code.size())) return Cell{};
                return fc.by_code[static_cast<std::size_t>(code + 1)];
            }
        }
    }
};

// How a walk of many rows ended.
enum class Walk : int { arrived, declined, cancelled };

// Walks rows [begin, end) a slice at a time. Between slices it asks `poll`
// (when given) and stops once `state` says another walk stopped; it sets
// `state` when it stops itself: at a row that needs the step-by-step path,
// or when the poll says stop.
template <class Source>
void walk_slices(const kernels::WalkTree& tree, const Source& source, std::size_t begin,
                 std::size_t end, std::int32_t* leaves, kernels::CancelPoll* poll,
                 std::atomic<int>& state) {
    constexpr std::size_t kSlice = 256;
    for (std::size_t first = begin; first < end; first += kSlice) {
        if (state.load(std::memory_order_relaxed) != static_cast<int>(Walk::arrived)) return;
        const std::size_t last = std::min(end, first + kSlice);
        if (kernels::walk_rows(tree, source, first, last, leaves) != last) {
            state = static_cast<int>(Walk::declined);
            return;
        }
        if (poll && poll->stop(1)) state = static_cast<int>(Walk::cancelled);
    }
}

// Walks rows [0, rows) with the second half on a thread of its own when
// there are enough rows to pay for it. Only the calling thread polls.
template <class Source>
Walk walk_in_parallel(const kernels::WalkTree& tree, const Source& source, std::size_t rows,
                      std::int32_t* leaves, kernels::CancelPoll& poll) {
    constexpr std::size_t kParallelRows = 1 << 16;
    const std::size_t half = rows / 2;
    std::atomic<int> state{static_cast<int>(Walk::arrived)};
    if (rows >= kParallelRows) {
        std::atomic<bool> helper_done{false};
        try {
            std::thread helper([&] {
                walk_slices(tree, source, half, rows, leaves, nullptr, state);
                helper_done = true;
            });
            walk_slices(tree, source, 0, half, leaves, &poll, state);
            while (!helper_done && state == static_cast<int>(Walk::arrived)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (poll.stop(1)) state = static_cast<int>(Walk::cancelled);
            }
            helper.join();
            return static_cast<Walk>(state.load());
        } catch (const std::system_error&) {
            // No thread to be had: one walk does it all.
        }
    }
    walk_slices(tree, source, 0, rows, leaves, &poll, state);
    return static_cast<Walk>(state.load());
}

// Walks every row, without the interpreter lock (an object matrix's cells
// are described with it, a chunk at a time). A signal handler that raises
// (Ctrl-C) stops the walk, with its exception set.
Walk walk_all(const Flat& flat, const Held& m, std::vector<std::int32_t>& leaves) {
    const std::size_t rows = static_cast<std::size_t>(m.shape(0));
    const std::size_t columns = static_cast<std::size_t>(m.shape(1));
    const char f = m.format();
    PyThreadState* released = nullptr;
    rt::SignalCheck signals(&released);
    kernels::CancelPoll poll(&signals, 1);
    if (f != 'O') {
        NumericSource source{{}, &m, f};
        released = PyEval_SaveThread();
        const Walk walk = walk_in_parallel(flat.tree, source, rows, leaves.data(), poll);
        PyEval_RestoreThread(released);
        if (walk == Walk::cancelled) signals.restore();
        return walk;
    }
    constexpr std::size_t kChunk = 1 << 14;
    std::vector<Cell> cells;
    std::atomic<int> state{static_cast<int>(Walk::arrived)};
    for (std::size_t first = 0; first < rows; first += kChunk) {
        const std::size_t last = std::min(rows, first + kChunk);
        cells.assign((last - first) * columns, Cell{});
        for (std::size_t r = first; r < last; ++r)
            for (std::size_t j = 0; j < columns; ++j)
                cells[(r - first) * columns + j] = describe(
                    load<PyObject*>(m.item(static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(j))),
                    flat.texts.get());
        ObjectSource source{{}, &cells, first, columns};
        released = PyEval_SaveThread();
        walk_slices(flat.tree, source, first, last, leaves.data(), &poll, state);
        PyEval_RestoreThread(released);
        if (state != static_cast<int>(Walk::arrived)) break;
    }
    if (state == static_cast<int>(Walk::cancelled)) signals.restore();
    return static_cast<Walk>(state.load());
}

// Per leaf: [p, 1 - p] when its class is classes[0], else [1 - p, p].
// 1 ready, 0 when the step-by-step path should answer, -1 error.
int prepare_pairs(PyObject* self, Flat& flat) {
    Ref classes = rt::getattr(self, n::classes);
    if (!classes) return PyErr_Clear(), 0;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!zero || !one) return -1;
    Ref first = Ref::steal(PyObject_GetItem(classes.get(), zero.get()));
    if (!first) return PyErr_Clear(), 0;
    for (Leaf& leaf : flat.leaves) {
        // The truth of `==` itself, as the row walk takes it: no shortcut
        // for one object (a NaN label is not equal to itself).
        Ref eq = Ref::steal(PyObject_RichCompare(leaf.predicted_class.get(), first.get(), Py_EQ));
        const int same = eq ? PyObject_IsTrue(eq.get()) : -1;
        leaf.complement = Ref::steal(PyNumber_Subtract(one.get(), leaf.probability.get()));
        if (same < 0 || !leaf.complement) return PyErr_Clear(), 0;
        leaf.first_class = same == 1;
    }
    return 1;
}

Ref results(const Flat& flat, const std::vector<std::int32_t>& leaves, bool proba) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(leaves.size())));
    if (!out) return nullptr;
    // One new pair list a row, none of them in a cycle: collections while
    // they are made would only traverse them again and again.
    rt::PauseCollector pause;
    for (std::size_t r = 0; r < leaves.size(); ++r) {
        const Leaf& leaf = flat.leaves[static_cast<std::size_t>(leaves[r])];
        PyObject* item;
        if (!proba) {
            item = leaf.predicted_class.get();
            Py_INCREF(item);
        } else {
            PyObject* a = leaf.first_class ? leaf.probability.get() : leaf.complement.get();
            PyObject* b = leaf.first_class ? leaf.complement.get() : leaf.probability.get();
            item = PyList_New(2);
            if (!item) return nullptr;
            Py_INCREF(a);
            Py_INCREF(b);
            PyList_SET_ITEM(item, 0, a);
            PyList_SET_ITEM(item, 1, b);
        }
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(r), item);
    }
    return out;
}

// The tree of a plain estimator whose rows have `n_columns` columns,
// flattened: 1 ready, 0 when the step-by-step path must answer, -1 error.
bool plain_estimator(PyObject* self) {
    return Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr &&
           rt::resolves_to(self, n::_predict, predict_row) && rt::bound_as_remembered();
}

int plain_tree(PyObject* self, Py_ssize_t n_columns, Flat& flat) {
    if (!plain_estimator(self)) return 0;
    Ref root = rt::getattr(self, n::tree_);
    if (!root) return PyErr_Clear(), 0;
    Ref node_class = rt::global(n::Node);
    if (!node_class) return -1;
    return flatten(root.get(), node_class.get(), n_columns, flat);
}

// The results of the leaves each row reached.
int answer(PyObject* self, Flat& flat, const std::vector<std::int32_t>& leaves, bool proba, Ref& out) {
    if (proba) {
        const int ready = prepare_pairs(self, flat);
        if (ready <= 0) return ready;
    }
    out = results(flat, leaves, proba);
    return out ? 1 : -1;
}

int run(PyObject* self, PyObject* values, bool proba, Ref& out) {
    Held m;
    if (!rt::is_exact_ndarray(values) || !m.acquire(values) || m.ndim() != 2 || m.format() == '\0' ||
        m.shape(0) == 0)
        return 0;
    Flat flat;
    const int flat_ok = plain_tree(self, m.shape(1), flat);
    if (flat_ok <= 0) return flat_ok;
    std::vector<std::int32_t> leaves(static_cast<std::size_t>(m.shape(0)));
    const Walk walk = walk_all(flat, m, leaves);
    if (walk == Walk::cancelled) return -1;
    if (walk == Walk::declined) return 0;
    return answer(self, flat, leaves, proba, out);
}

int run_frame(PyObject* self, PyObject* frame, bool proba, Ref& out) {
    Flat flat;
    rt::FrameColumns columns;
    // The tree first: reading the frame is for plain estimators only.
    if (!plain_estimator(self) || columns.read(frame) <= 0 || columns.rows() == 0) return 0;
    const int flat_ok = plain_tree(self, static_cast<Py_ssize_t>(columns.columns().size()), flat);
    if (flat_ok <= 0) return flat_ok;
    std::vector<FrameCells> cells;
    for (const rt::FrameColumn& col : columns.columns()) {
        FrameCells fc{&col, {}};
        for (const Ref& v : col.objects) fc.by_code.push_back(describe(v.get(), flat.texts.get()));
        cells.push_back(std::move(fc));
    }
    std::vector<std::int32_t> leaves(columns.rows());
    FrameSource source{&cells, {}};
    source.by_node.resize(flat.tree.nodes.size());
    for (std::size_t at = 0; at < flat.tree.nodes.size(); ++at) {
        const kernels::WalkNode& node = flat.tree.nodes[at];
        if (node.left < 0 || !node.categorical) continue;
        const FrameCells& fc = cells[static_cast<std::size_t>(node.feature)];
        if (fc.column->kind != rt::FrameColumn::category) continue;
        for (const Cell& c : fc.by_code)
            source.by_node[at].push_back(static_cast<std::int8_t>(kernels::category_member(flat.tree, node.set, c)));
    }
    // Ctrl-C stops the walk, as it does a numeric matrix's.
    PyThreadState* released = nullptr;
    rt::SignalCheck signals(&released);
    kernels::CancelPoll poll(&signals, 1);
    released = PyEval_SaveThread();
    const Walk walk = walk_in_parallel(flat.tree, source, columns.rows(), leaves.data(), poll);
    PyEval_RestoreThread(released);
    if (walk == Walk::cancelled) {
        signals.restore();
        return -1;
    }
    if (walk == Walk::declined) return 0;
    return answer(self, flat, leaves, proba, out);
}

// step(), with running out of memory a MemoryError.
template <class Step>
int guarded(Step&& step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace

int fast_predict(PyObject* self, PyObject* values, bool proba, Ref& out) {
    return guarded([&] { return run(self, values, proba, out); });
}

int fast_predict_frame(PyObject* self, PyObject* frame, bool proba, Ref& out) {
    return guarded([&] { return run_frame(self, frame, proba, out); });
}

}  // namespace tavrin::predict
