// tavrin_tools._learner: the configurable tree learner for Python. fit()
// checks and converts its arguments, grows the tree without the
// interpreter lock and returns the tree as an opaque handle (a capsule
// owning the C++ tree), which tavrin_tools._tree wraps; the tree's arrays
// are read-only views kept alive by the handle. Every fault of the input
// becomes ValueError (or MemoryError); a signal handler that raises while
// the tree grows (Ctrl-C) stops the growth and its exception propagates.
//
// The functions take positional arguments only and no Python object of
// this module is an instance of a bound class: the binding library's
// keyword lookup and instance creation do not check every allocation,
// and with them a failed allocation would crash the interpreter. Python
// objects made here come from calls whose failure is checked.
#include "kernels/learner/learner.hpp"
#include "kernels/learner/pool.hpp"

#include "readable.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <vector>

namespace py = pybind11;
using tavrin::tools::Readable;
using namespace tavrin::kernels::learner;

namespace {

// Work below this many rows per thread is not worth a second thread.
constexpr std::size_t kRowsPerThread = 20000;

[[noreturn]] void fail(const std::string& what) { throw py::value_error(what); }

// `obj` as an array of T (converting only where numpy casts safely), with
// `ndim` dimensions; `name` goes into the message.
template <class T>
py::array_t<T> as_array(const py::handle& obj, int ndim, const char* name) {
    // Numbers only: numpy would parse text into numbers, and floats may
    // not become integers.
    const char kinds_int[] = "biu", kinds_real[] = "biuf";
    const char* kinds = std::is_floating_point<T>::value ? kinds_real : kinds_int;
    const py::array any = py::module_::import("numpy").attr("asarray")(obj);
    py::array_t<T> a;
    if (std::strchr(kinds, any.dtype().kind()) == nullptr || !(a = py::array_t<T>::ensure(any))) {
        PyErr_Clear();
        fail(std::string(name) + " must be an array of " + py::str(py::dtype::of<T>()).cast<std::string>());
    }
    if (a.ndim() != ndim) fail(std::string(name) + " must have " + std::to_string(ndim) + " dimension(s)");
    return a;
}

// `a` as a C-contiguous array (a copy where it is not one). A copy that
// fails can only have run out of memory (the element type is right).
template <class T>
Readable<T> contiguous(const py::array_t<T>& a) {
    auto c = Readable<T>::ensure(a);
    if (!c) throw std::bad_alloc();
    return c;
}

// A 2-D float64 array viewed row by row; copied when its strides are not
// whole elements.
struct Matrix {
    py::array_t<double> keep;
    RowView view;
    std::size_t rows = 0, cols = 0;
};

Matrix as_matrix(const py::handle& obj, const char* name) {
    Matrix m;
    m.keep = as_array<double>(obj, 2, name);
    const auto s0 = m.keep.strides(0), s1 = m.keep.strides(1);
    if (s0 % static_cast<py::ssize_t>(sizeof(double)) || s1 % static_cast<py::ssize_t>(sizeof(double)) ||
        reinterpret_cast<std::uintptr_t>(m.keep.data()) % alignof(double))
        m.keep = contiguous(m.keep);
    m.rows = static_cast<std::size_t>(m.keep.shape(0));
    m.cols = static_cast<std::size_t>(m.keep.shape(1));
    m.view.data = m.keep.data();
    m.view.row_stride = m.keep.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    m.view.col_stride = m.keep.strides(1) / static_cast<py::ssize_t>(sizeof(double));
    return m;
}

// A 1-D array of n entries, contiguous (copied only when it is not).
template <class T>
Readable<T> as_column(const py::handle& obj, std::size_t n, const char* name) {
    py::array_t<T> a = as_array<T>(obj, 1, name);
    if (static_cast<std::size_t>(a.shape(0)) != n)
        fail(std::string(name) + " must have " + std::to_string(n) + " entries, not " + std::to_string(a.shape(0)));
    return contiguous(a);
}

// A sparse matrix handed over as the tuple (data, indices, indptr, rows,
// cols): float64 data, and indices and indptr both int32 or else read as
// int64. Its lines are columns (CSC) for the fit, rows (CSR) for the
// walks; check_compressed() checks the rest.
struct Compressed {
    Readable<double> data;
    Readable<std::int32_t> indices32, indptr32;
    Readable<std::int64_t> indices64, indptr64;
    SparseColumns view;
    std::size_t rows = 0, cols = 0;
};

bool is_compressed(const py::handle& obj) { return PyTuple_Check(obj.ptr()); }

std::size_t dimension(const py::handle& obj, const char* what) {
    if (!PyLong_Check(obj.ptr())) fail(std::string("the sparse matrix's ") + what + " must be an integer");
    const long long v = PyLong_AsLongLong(obj.ptr());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        fail(std::string("the sparse matrix's ") + what + " is out of range");
    }
    if (v < 0) fail(std::string("the sparse matrix's ") + what + " must be 0 or more");
    return static_cast<std::size_t>(v);
}

std::unique_ptr<Compressed> as_compressed(const py::handle& obj, bool by_columns) {
    if (PyTuple_GET_SIZE(obj.ptr()) != 5) fail("a sparse X is passed as (data, indices, indptr, rows, cols)");
    const py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    auto c = std::make_unique<Compressed>();
    c->rows = dimension(t[3], "row count");
    c->cols = dimension(t[4], "column count");
    const std::size_t lines = by_columns ? c->cols : c->rows;
    c->data = contiguous(as_array<double>(t[0], 1, "the sparse matrix's data"));
    const py::module_ np = py::module_::import("numpy");
    const py::array indices = np.attr("asarray")(t[1]), indptr = np.attr("asarray")(t[2]);
    const py::dtype int32 = py::dtype::of<std::int32_t>();
    c->view.wide = !(indices.dtype().is(int32) && indptr.dtype().is(int32));
    std::size_t n_indices = 0, n_indptr = 0;
    auto read = [&](auto& indices_out, auto& indptr_out) {
        using T = typename std::decay_t<decltype(indices_out)>::value_type;
        indices_out = contiguous(as_array<T>(indices, 1, "the sparse matrix's indices"));
        indptr_out = contiguous(as_array<T>(indptr, 1, "the sparse matrix's indptr"));
        c->view.indices = indices_out.data();
        c->view.indptr = indptr_out.data();
        n_indices = static_cast<std::size_t>(indices_out.size());
        n_indptr = static_cast<std::size_t>(indptr_out.size());
    };
    if (c->view.wide) read(c->indices64, c->indptr64);
    else read(c->indices32, c->indptr32);
    if (n_indices != static_cast<std::size_t>(c->data.size()))
        fail("the sparse matrix's data and indices differ in length");
    if (n_indptr != lines + 1)
        fail("the sparse matrix's indptr must have " + std::to_string(lines) + " + 1 entries, not " +
             std::to_string(n_indptr));
    c->view.data = c->data.data();
    c->view.nnz = n_indices;
    return c;
}

std::int64_t threads_of(std::int64_t n_threads) {
    if (n_threads < 1) fail("n_threads must be at least 1");
    return n_threads;
}

// Runs job(begin, end) over row chunks, on up to n_threads threads. One
// chunk runs on the calling thread, with no pool made.
template <class Job>
void over_rows(std::size_t rows, std::int64_t n_threads, const Job& job) {
    const std::size_t chunks = std::max<std::size_t>(
        1, std::min<std::size_t>(static_cast<std::size_t>(n_threads), rows / kRowsPerThread));
    if (chunks == 1) return job(0, rows);
    Pool pool(chunks);
    pool.run(chunks, [&](std::size_t c, std::size_t) { job(rows * c / chunks, rows * (c + 1) / chunks); });
}

// Asked by the growth without the interpreter lock: takes the lock for a
// moment and runs the handlers of signals that arrived; keeps the exception
// of one that raised.
class SignalHook : public tavrin::kernels::CancelHook {
public:
    bool cancelled() override {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        raised_ = std::make_unique<py::error_already_set>();
        return true;
    }
    // With the lock held: the kept exception, thrown.
    [[noreturn]] void rethrow() { throw *raised_; }

private:
    std::unique_ptr<py::error_already_set> raised_;
};

// A subtree's root, (depth, total weight, key, lower bound, upper bound,
// known constant features or None): see LearnerParams.
void set_root(const py::object& root, std::size_t cols, LearnerParams& params) {
    if (!PyTuple_Check(root.ptr()) || PyTuple_GET_SIZE(root.ptr()) != 6)
        fail("root must be None or (depth, total_weight, key, lower, upper, constants)");
    const py::tuple t = py::reinterpret_borrow<py::tuple>(root);
    params.root_depth = t[0].cast<std::int64_t>();
    params.total_weight = t[1].cast<double>();
    params.root.key = t[2].cast<std::uint64_t>();
    params.root.bounds.lower = t[3].cast<double>();
    params.root.bounds.upper = t[4].cast<double>();
    if (t[5].is_none()) return;
    const auto known = as_array<std::int64_t>(t[5], 1, "constants");
    const auto c = contiguous(known);
    for (py::ssize_t i = 0; i < c.size(); ++i) {
        if (c.data()[i] < 0 || static_cast<std::size_t>(c.data()[i]) >= cols)
            fail("the root's known constant features must be columns of X");
        params.root.constants.push_back(static_cast<std::int32_t>(c.data()[i]));
    }
}

FlatTree grow(const py::object& X, const py::object& y, const py::object& sample_weight,
                  std::int64_t n_classes, const py::object& n_categories, const std::string& criterion,
                  std::int64_t max_depth, std::int64_t min_samples_split, std::int64_t min_samples_leaf,
                  double min_weight_leaf, double min_impurity_decrease, std::int64_t max_leaf_nodes,
                  std::int64_t n_threads, std::int64_t max_features, bool random_split, std::uint64_t seed,
                  const py::object& monotonic, const py::object& root, const py::object& targets) {
    // X: a 2-D array, or sparse columns (see as_compressed).
    std::unique_ptr<Compressed> sparse;
    Matrix x;
    if (is_compressed(X)) {
        sparse = as_compressed(X, true);
        x.rows = sparse->rows;
        x.cols = sparse->cols;
    } else {
        x = as_matrix(X, "X");
    }
    // The learner reads these while the interpreter runs on; it copes with
    // values changed meanwhile (never reading out of bounds), so they are
    // not copied. n_categories sizes the search's tables: a private copy.
    const auto codes = as_column<std::int64_t>(y, x.rows, "y");
    const auto weights = as_column<double>(sample_weight, x.rows, "sample_weight");
    const auto cats_in = as_column<std::int64_t>(n_categories, x.cols, "n_categories");
    const std::vector<std::int64_t> cats(cats_in.data(), cats_in.data() + x.cols);
    std::vector<std::int8_t> constraints;
    if (!monotonic.is_none()) {
        const auto given = as_column<std::int64_t>(monotonic, x.cols, "monotonic_cst");
        for (std::size_t f = 0; f < x.cols; ++f) {
            if (given.data()[f] < -1 || given.data()[f] > 1) fail("monotonic_cst must hold -1, 0 or 1 only");
            constraints.push_back(static_cast<std::int8_t>(given.data()[f]));
        }
    }
    LearnerParams params;
    if (criterion == "gini") params.criterion = Criterion::gini;
    else if (criterion == "entropy") params.criterion = Criterion::entropy;
    else fail("criterion must be 'gini' or 'entropy', not '" + criterion + "'");
    params.max_depth = max_depth;
    params.min_samples_split = min_samples_split;
    params.min_samples_leaf = min_samples_leaf;
    params.min_weight_leaf = min_weight_leaf;
    params.min_impurity_decrease = min_impurity_decrease;
    params.max_leaf_nodes = max_leaf_nodes;
    params.n_threads = n_threads;
    params.max_features = max_features;
    params.random_split = random_split;
    params.seed = seed;
    params.monotonic = monotonic.is_none() ? nullptr : constraints.data();
    if (!root.is_none()) set_root(root, x.cols, params);
    // Several outputs: (classes per output, the combination of classes of
    // each code, one row per code). Private copies: they size the tables.
    std::vector<std::int64_t> per_output, joint;
    if (!targets.is_none()) {
        if (!py::isinstance<py::tuple>(targets) || py::len(targets) != 2)
            fail("targets must be None or (classes per output, combinations)");
        const py::tuple t = py::reinterpret_borrow<py::tuple>(targets);
        const auto per = contiguous(as_array<std::int64_t>(t[0], 1, "classes per output"));
        per_output.assign(per.data(), per.data() + per.size());
        const auto comb = contiguous(as_array<std::int64_t>(t[1], 2, "combinations"));
        if (comb.shape(0) != n_classes || static_cast<std::size_t>(comb.shape(1)) != per_output.size())
            fail("combinations must have one row per class code and one column per output");
        joint.assign(comb.data(), comb.data() + comb.size());
    }
    LearnerData data;
    data.rows = x.rows;
    data.cols = x.cols;
    data.x = x.view;
    data.sparse = sparse ? &sparse->view : nullptr;
    data.y = codes.data();
    data.weight = weights.data();
    data.n_classes = n_classes;
    data.n_categories = cats.data();
    if (!per_output.empty()) {
        data.n_outputs = static_cast<std::int64_t>(per_output.size());
        data.output_classes = per_output.data();
        data.joint = joint.data();
    }
    FlatTree tree;
    std::string bad;
    SignalHook signals;
    try {
        py::gil_scoped_release nogil;
        bad = check_input(data, params);
        if (bad.empty()) fit(data, params, tree, &signals);
    } catch (const Cancelled&) {
        signals.rethrow();
    }
    if (!bad.empty()) fail(bad);
    return tree;
}

constexpr const char* kHandleName = "tavrin_tools._learner.tree";

// A new reference from a C-API call, or the pending exception thrown.
py::object checked(PyObject* made) {
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

// The tree of a handle made by this module; TypeError for anything else.
const FlatTree& tree_of(const py::handle& handle) {
    if (!PyCapsule_IsValid(handle.ptr(), kHandleName)) throw py::type_error("expected a tree handle of tavrin_tools._learner");
    return *static_cast<const FlatTree*>(PyCapsule_GetPointer(handle.ptr(), kHandleName));
}

py::object handle_of(FlatTree&& tree) {
    auto owned = std::make_unique<FlatTree>(std::move(tree));
    py::capsule handle(owned.get(), kHandleName, [](PyObject* capsule) {
        delete static_cast<FlatTree*>(PyCapsule_GetPointer(capsule, kHandleName));
    });
    owned.release();  // the capsule owns it now
    return std::move(handle);
}

py::object fit_tree(const py::object& X, const py::object& y, const py::object& sample_weight,
                    std::int64_t n_classes, const py::object& n_categories, const std::string& criterion,
                    std::int64_t max_depth, std::int64_t min_samples_split, std::int64_t min_samples_leaf,
                    double min_weight_leaf, double min_impurity_decrease, std::int64_t max_leaf_nodes,
                    std::int64_t n_threads, std::int64_t max_features, bool random_split, std::uint64_t seed,
                    const py::object& monotonic, const py::object& root, const py::object& targets) {
    return handle_of(grow(X, y, sample_weight, n_classes, n_categories, criterion, max_depth, min_samples_split,
                          min_samples_leaf, min_weight_leaf, min_impurity_decrease, max_leaf_nodes, n_threads,
                          max_features, random_split, seed, monotonic, root, targets));
}

// A read-only view of `v` as an array of `shape`, keeping `owner` alive.
template <class T>
py::array view_of(const std::vector<T>& v, std::vector<py::ssize_t> shape, const py::object& owner) {
    py::array a(py::dtype::of<T>(), shape, v.data(), owner);
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return a;
}

void set_item(const py::object& d, const char* name, const py::object& value) {
    if (PyDict_SetItemString(d.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

py::object int_object(std::int64_t v) { return checked(PyLong_FromLongLong(v)); }

// The tree of `handle` as a dict: its arrays as read-only views kept
// alive by the handle, and its counts.
py::object tree_arrays(const py::object& handle) {
    const FlatTree& t = tree_of(handle);
    const py::ssize_t m = static_cast<py::ssize_t>(t.node_count());
    const py::ssize_t bits = static_cast<py::ssize_t>(t.category_bits.size());
    py::object d = checked(PyDict_New());
    set_item(d, "children_left", view_of(t.left, {m}, handle));
    set_item(d, "children_right", view_of(t.right, {m}, handle));
    set_item(d, "feature", view_of(t.feature, {m}, handle));
    set_item(d, "threshold", view_of(t.threshold, {m}, handle));
    set_item(d, "missing_go_to_left", view_of(t.missing_left, {m}, handle));
    set_item(d, "is_categorical", view_of(t.is_categorical, {m}, handle));
    set_item(d, "category_offset", view_of(t.category_offset, {m}, handle));
    set_item(d, "category_bits", view_of(t.category_bits, {bits}, handle));
    set_item(d, "n_categories", view_of(t.n_categories, {static_cast<py::ssize_t>(t.n_categories.size())}, handle));
    set_item(d, "n_node_samples", view_of(t.n_node_samples, {m}, handle));
    set_item(d, "weighted_n_node_samples", view_of(t.weighted_n_node_samples, {m}, handle));
    set_item(d, "impurity", view_of(t.impurity, {m}, handle));
    set_item(d, "value", view_of(t.value, {m, static_cast<py::ssize_t>(t.n_classes)}, handle));
    if (!t.proba.empty()) set_item(d, "proba", view_of(t.proba, {m, static_cast<py::ssize_t>(t.n_classes)}, handle));
    set_item(d, "n_classes", int_object(t.n_classes));
    set_item(d, "n_features", int_object(t.n_features));
    set_item(d, "max_depth", int_object(tree_depth(t)));
    set_item(d, "n_leaves", int_object(tree_leaves(t)));
    return d;
}

// d[name], or ValueError naming what the dict lacks.
py::object item(const py::object& d, const char* name) {
    PyObject* found = PyDict_GetItemString(d.ptr(), name);  // borrowed; NULL: absent
    if (found == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        fail(std::string("the tree's dict lacks '") + name + "'");
    }
    return py::reinterpret_borrow<py::object>(found);
}

template <class T>
std::vector<T> field(const py::object& d, const char* name, std::size_t rows, std::size_t cols, int ndim) {
    py::array_t<T> a = as_array<T>(item(d, name), ndim, name);
    if (static_cast<std::size_t>(a.shape(0)) != rows || (ndim == 2 && static_cast<std::size_t>(a.shape(1)) != cols))
        fail(std::string(name) + " has the wrong shape");
    const auto c = contiguous(a);
    return std::vector<T>(c.data(), c.data() + c.size());
}

std::int64_t int_field(const py::object& d, const char* name) {
    const py::object v = item(d, name);
    if (!PyLong_Check(v.ptr())) fail(std::string(name) + " must be an integer");
    int overflow = 0;
    const long long out = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) fail(std::string(name) + " is out of range");
    return out;
}

std::size_t length_of(const py::object& d, const char* name) {
    return static_cast<std::size_t>(as_array<std::int64_t>(item(d, name), 1, name).shape(0));
}

py::object tree_from_dict(const py::object& d) {
    if (!PyDict_Check(d.ptr())) fail("a tree is made from a dict of its arrays");
    FlatTree t;
    t.n_classes = int_field(d, "n_classes");
    t.n_features = int_field(d, "n_features");
    if (t.n_classes < 1) fail("n_classes must be at least 1");
    if (t.n_features < 1) fail("n_features must be at least 1");
    const std::size_t m = length_of(d, "children_left");
    t.left = field<std::int64_t>(d, "children_left", m, 0, 1);
    t.right = field<std::int64_t>(d, "children_right", m, 0, 1);
    t.feature = field<std::int64_t>(d, "feature", m, 0, 1);
    t.threshold = field<double>(d, "threshold", m, 0, 1);
    t.missing_left = field<std::uint8_t>(d, "missing_go_to_left", m, 0, 1);
    t.is_categorical = field<std::uint8_t>(d, "is_categorical", m, 0, 1);
    t.category_offset = field<std::int64_t>(d, "category_offset", m, 0, 1);
    t.category_bits = field<std::uint64_t>(d, "category_bits", length_of(d, "category_bits"), 0, 1);
    t.n_categories = field<std::int64_t>(d, "n_categories", static_cast<std::size_t>(t.n_features), 0, 1);
    t.n_node_samples = field<std::int64_t>(d, "n_node_samples", m, 0, 1);
    t.weighted_n_node_samples = field<double>(d, "weighted_n_node_samples", m, 0, 1);
    t.impurity = field<double>(d, "impurity", m, 0, 1);
    t.value = field<double>(d, "value", m, static_cast<std::size_t>(t.n_classes), 2);
    // Only trees grown under monotonic constraints keep their probabilities.
    if (PyDict_GetItemString(d.ptr(), "proba") != nullptr)
        t.proba = field<double>(d, "proba", m, static_cast<std::size_t>(t.n_classes), 2);
    else if (PyErr_Occurred())
        throw py::error_already_set();
    const std::string bad = check_tree(t);
    if (!bad.empty()) fail(bad);
    t.compact_categories();
    return handle_of(std::move(t));
}

Matrix rows_for(const FlatTree& t, const py::object& X) {
    Matrix x = as_matrix(X, "X");
    if (static_cast<std::int64_t>(x.cols) != t.n_features)
        fail("X has " + std::to_string(x.cols) + " columns, the tree was fitted on " + std::to_string(t.n_features));
    return x;
}

// Sparse rows (see as_compressed) the tree can walk: as many columns as it
// was fitted on, the arrays well formed (checked without the interpreter
// lock by check_walkable).
std::unique_ptr<Compressed> sparse_rows_for(const FlatTree& t, const py::object& X) {
    auto c = as_compressed(X, false);
    if (static_cast<std::int64_t>(c->cols) != t.n_features)
        fail("X has " + std::to_string(c->cols) + " columns, the tree was fitted on " + std::to_string(t.n_features));
    return c;
}

std::string check_walkable(const Compressed& c) { return check_compressed(c.view, c.rows, c.cols, false); }

// Calls use(view, r) for each row r in [begin, end) of sparse rows, the
// view showing the row alone (as row 0) dense in `scratch` (cols zeros,
// zero again after; entries stored twice add up).
template <class Use>
void each_sparse_row(const Compressed& c, std::size_t begin, std::size_t end, std::vector<double>& scratch,
                     const Use& use) {
    // Checked before; an index changed since (by another thread) is passed
    // over rather than read out of bounds.
    const SparseColumns& m = c.view;
    const RowView view{scratch.data(), 0, 1};
    const std::uint64_t cols = c.cols;
    for (std::size_t r = begin; r < end; ++r) {
        const std::size_t b = static_cast<std::size_t>(std::max<std::int64_t>(0, m.start(r)));
        const std::size_t e = std::min(m.nnz, static_cast<std::size_t>(std::max<std::int64_t>(0, m.start(r + 1))));
        for (std::size_t k = b; k < e; ++k) {
            const std::int64_t j = m.index(k);
            if (j >= 0 && static_cast<std::uint64_t>(j) < cols) scratch[static_cast<std::size_t>(j)] += m.data[k];
        }
        use(view, r);
        for (std::size_t k = b; k < e; ++k) {
            const std::int64_t j = m.index(k);
            if (j >= 0 && static_cast<std::uint64_t>(j) < cols) scratch[static_cast<std::size_t>(j)] = 0.0;
        }
    }
}

py::object apply_sparse(const FlatTree& t, const py::object& X, std::int64_t threads) {
    const auto c = sparse_rows_for(t, X);
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(c->rows));
    std::int64_t* leaves = out.mutable_data();
    std::string bad;
    {
        py::gil_scoped_release nogil;
        bad = check_walkable(*c);
        if (bad.empty())
            over_rows(c->rows, threads, [&](std::size_t b, std::size_t e) {
                std::vector<double> scratch(c->cols, 0.0);
                each_sparse_row(*c, b, e, scratch,
                                [&](const RowView& v, std::size_t r) { apply_rows(t, v, 0, 1, leaves + r); });
            });
    }
    if (!bad.empty()) fail(bad);
    return std::move(out);
}

py::object apply_tree(const py::object& handle, const py::object& X, std::int64_t n_threads) {
    const FlatTree& t = tree_of(handle);
    const std::int64_t threads = threads_of(n_threads);
    if (is_compressed(X)) return apply_sparse(t, X, threads);
    Matrix x = rows_for(t, X);
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(x.rows));
    std::int64_t* leaves = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        over_rows(x.rows, threads, [&](std::size_t b, std::size_t e) { apply_rows(t, x.view, b, e, leaves); });
    }
    return std::move(out);
}

py::object decision_path_of(const py::object& handle, const py::object& X, std::int64_t n_threads) {
    const FlatTree& t = tree_of(handle);
    threads_of(n_threads);  // one thread: the walk is cheap beside building the arrays
    std::unique_ptr<Compressed> sparse;
    Matrix x;
    if (is_compressed(X)) {
        sparse = sparse_rows_for(t, X);
        x.rows = sparse->rows;
    } else {
        x = rows_for(t, X);
    }
    py::array_t<std::int64_t> indptr(static_cast<py::ssize_t>(x.rows + 1));
    std::int64_t* ptr = indptr.mutable_data();
    std::vector<std::int64_t> indices;
    std::string bad;
    {
        py::gil_scoped_release nogil;
        ptr[0] = 0;
        if (!sparse) {
            for (std::size_t r = 0; r < x.rows; ++r) {
                path_of_row(t, x.view, r, indices);
                ptr[r + 1] = static_cast<std::int64_t>(indices.size());
            }
        } else if ((bad = check_walkable(*sparse)).empty()) {
            std::vector<double> scratch(sparse->cols, 0.0);
            each_sparse_row(*sparse, 0, sparse->rows, scratch, [&](const RowView& v, std::size_t r) {
                path_of_row(t, v, 0, indices);
                ptr[r + 1] = static_cast<std::int64_t>(indices.size());
            });
        }
    }
    if (!bad.empty()) fail(bad);
    // Made empty and filled: given the data, the binding library copies it
    // without checking that the copy was made.
    py::array_t<std::int64_t> idx(static_cast<py::ssize_t>(indices.size()));
    std::copy(indices.begin(), indices.end(), idx.mutable_data());
    return checked(PyTuple_Pack(2, indptr.ptr(), idx.ptr()));
}

}  // namespace

// The distributed fit's kernels (distributed_bindings.cpp).
void bind_distributed(py::module_& m);

PYBIND11_MODULE(_learner, m) {
    m.doc() = "The configurable tree learner behind tavrin_tools.TreeClassifier; tavrin_tools._tree wraps "
              "the tree handles it returns.";
    m.attr("MAX_CATEGORIES") = kMaxCategories;
    m.def("fit", &fit_tree,
          "fit(X, y, sample_weight, n_classes, n_categories, criterion, max_depth, min_samples_split, "
          "min_samples_leaf, min_weight_leaf, min_impurity_decrease, max_leaf_nodes, n_threads, max_features, "
          "random_split, seed, monotonic_cst, root, targets): grows a tree and returns its handle (X a 2-D float64 "
          "array, or a sparse matrix as the tuple (data, indices, indptr, rows, cols) of its compressed columns); see "
          "tavrin_tools.TreeClassifier for the meaning of each argument (max_features -1: all; monotonic_cst "
          "None or one of -1, 0, 1 per feature; root None for a whole tree, or the subtree of a node of a "
          "larger fit: (depth, total weight of the whole fit, key, lower and upper bound of its value, its known "
          "constant features or None); targets None for one output, or for several (classes per output, "
          "the classes of each code's combination: one row per code, one column per output)).");
    m.def("tree_arrays", &tree_arrays, "tree_arrays(handle): the tree's read-only arrays and counts, as a dict.");
    m.def("tree_from_dict", &tree_from_dict,
          "tree_from_dict(d): the handle of a tree made from a dict such as tree_arrays gives, checked.");
    m.def("apply", &apply_tree, "apply(handle, X, n_threads): the leaf id each row of X reaches (X a 2-D array, or the tuple "
          "(data, indices, indptr, rows, cols) of a matrix's compressed rows).");
    m.def("decision_path", &decision_path_of,
          "decision_path(handle, X, n_threads): (indptr, indices), the nodes each row visits, root first, as "
          "CSR arrays (X as for apply).");
    bind_distributed(m);
}
