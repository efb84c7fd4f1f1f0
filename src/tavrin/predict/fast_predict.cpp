// The fast path of predict and predict_proba: when `_predict` is the
// module's own and the tree is made of plain Node objects with the
// attribute types growth writes, rows are walked in C++. A few rows walk
// the Node objects, reading each node once as rows reach it
// (predict/node_walk); more rows have the whole tree copied into a flat
// form once and walked without the interpreter lock (for numeric
// matrices). A row whose value a node cannot compare plainly sends the
// whole call back to the step-by-step path, which raises or answers by
// itself.
#include "predict/fast_predict.hpp"

#include "kernels/tree_walk.hpp"
#include "predict/flat_tree.hpp"
#include "predict/node_walk.hpp"
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

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace tavrin::predict {

namespace {

using kernels::Cell;
using rt::Ref;
namespace n = rt::names;

constexpr long long kExact = 1LL << 53;

using Held = rt::ReadView;
using rt::load;

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

// A value of a frame read in place: numbers from the column's array as
// the object matrix's Python floats, ints and bools would be described, a
// category as `category(code)` describes it.
template <class CategoryCell>
Cell frame_cell(const rt::FrameColumn& col, std::size_t row, const CategoryCell& category) {
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
            if (code < -1 || code + 1 >= static_cast<long long>(col.objects.size())) return Cell{};
            return category(code);
        }
    }
}

// Row values of a frame read in place, the cell of each category code
// described once.
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
        return frame_cell(*fc.column, row, [&](long long code) { return fc.by_code[static_cast<std::size_t>(code + 1)]; });
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

bool plain_estimator(PyObject* self) {
    return Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr &&
           rt::resolves_to(self, n::_predict, predict_row) && rt::bound_as_remembered();
}

// The root of a plain estimator's tree and the Node class: 1 ready, 0 when
// the step-by-step path must answer, -1 error.
int plain_root(PyObject* self, Ref& root, Ref& node_class) {
    if (!plain_estimator(self)) return 0;
    root = rt::getattr(self, n::tree_);
    if (!root) return PyErr_Clear(), 0;
    node_class = rt::global(n::Node);
    return node_class ? 1 : -1;
}

// The tree of a plain estimator whose rows have `n_columns` columns,
// flattened: 1 ready, 0 when the step-by-step path must answer, -1 error.
int plain_tree(PyObject* self, Py_ssize_t n_columns, Flat& flat) {
    Ref root, node_class;
    const int ok = plain_root(self, root, node_class);
    if (ok <= 0) return ok;
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

// Calls of at most this many rows walk the Node objects themselves,
// reading each node when a row first reaches it, instead of flattening the
// whole tree first: a few rows' paths reach few of a large tree's nodes,
// and reading a node costs about what flattening it would.
constexpr std::size_t kFewRows = 2048;

// The walk of a few rows, with `cell(row, column, texts)` describing their
// values: 1 answered, 0 when the step-by-step path must answer, -1 error.
template <class CellAt>
int answer_few(PyObject* self, Py_ssize_t n_columns, std::size_t rows, const CellAt& cell, bool proba,
               Ref& out) {
    Ref root, node_class;
    int ok = plain_root(self, root, node_class);
    if (ok <= 0) return ok;
    Flat flat;
    flat.texts = Ref::steal(PyDict_New());
    if (!flat.texts) return -1;
    NodeReader reader(node_class.get(), n_columns, flat);
    ok = reader.start(root.get());
    if (ok <= 0) return ok;
    std::vector<std::int32_t> leaves(rows);
    ok = walk_reading(reader, flat, rows, cell, leaves.data());
    if (ok <= 0) return ok;
    return answer(self, flat, leaves, proba, out);
}

int run(PyObject* self, PyObject* values, bool proba, Ref& out) {
    Held m;
    if (!rt::is_exact_ndarray(values) || !m.acquire(values) || m.ndim() != 2 || m.format() == '\0' ||
        m.shape(0) == 0)
        return 0;
    const std::size_t rows = static_cast<std::size_t>(m.shape(0));
    if (rows <= kFewRows) {
        if (m.format() != 'O') {
            const NumericSource source{{}, &m, m.format()};
            return answer_few(self, m.shape(1), rows,
                              [&](std::size_t r, std::size_t j, PyObject*) { return source.cell(r, j); }, proba, out);
        }
        return answer_few(self, m.shape(1), rows, [&](std::size_t r, std::size_t j, PyObject* texts) {
            return describe(load<PyObject*>(m.item(static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(j))), texts);
        }, proba, out);
    }
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
    if (columns.rows() <= kFewRows) {
        return answer_few(self, static_cast<Py_ssize_t>(columns.columns().size()), columns.rows(),
                          [&](std::size_t r, std::size_t j, PyObject* texts) {
                              const rt::FrameColumn& col = columns.columns()[j];
                              return frame_cell(col, r, [&](long long code) {
                                  return describe(col.objects[static_cast<std::size_t>(code + 1)].get(), texts);
                              });
                          }, proba, out);
    }
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
