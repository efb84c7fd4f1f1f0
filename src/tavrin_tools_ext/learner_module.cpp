// tavrin_tools._learner: the configurable tree learner for Python. fit()
// checks and converts its arguments, grows the tree without the
// interpreter lock and returns a FlatTree, whose arrays are read-only
// views. Every fault of the input becomes ValueError (or MemoryError); a
// signal handler that raises while the tree grows (Ctrl-C) stops the growth
// and its exception propagates.
#include "kernels/learner/learner.hpp"
#include "kernels/learner/pool.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <vector>

namespace py = pybind11;
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
        m.keep = py::array_t<double, py::array::c_style>::ensure(m.keep);
    m.rows = static_cast<std::size_t>(m.keep.shape(0));
    m.cols = static_cast<std::size_t>(m.keep.shape(1));
    m.view.data = m.keep.data();
    m.view.row_stride = m.keep.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    m.view.col_stride = m.keep.strides(1) / static_cast<py::ssize_t>(sizeof(double));
    return m;
}

// A 1-D array of n entries, contiguous (copied only when it is not).
template <class T>
py::array_t<T, py::array::c_style> as_column(const py::handle& obj, std::size_t n, const char* name) {
    py::array_t<T> a = as_array<T>(obj, 1, name);
    if (static_cast<std::size_t>(a.shape(0)) != n)
        fail(std::string(name) + " must have " + std::to_string(n) + " entries, not " + std::to_string(a.shape(0)));
    return py::array_t<T, py::array::c_style>::ensure(a);
}

std::int64_t threads_of(std::int64_t n_threads) {
    if (n_threads < 1) fail("n_threads must be at least 1");
    return n_threads;
}

// Runs job(begin, end) over row chunks, on up to n_threads threads.
template <class Job>
void over_rows(std::size_t rows, std::int64_t n_threads, const Job& job) {
    const std::size_t chunks = std::max<std::size_t>(
        1, std::min<std::size_t>(static_cast<std::size_t>(n_threads), rows / kRowsPerThread));
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

FlatTree fit_tree(const py::object& X, const py::object& y, const py::object& sample_weight,
                  std::int64_t n_classes, const py::object& n_categories, const std::string& criterion,
                  std::int64_t max_depth, std::int64_t min_samples_split, std::int64_t min_samples_leaf,
                  double min_weight_leaf, double min_impurity_decrease, std::int64_t max_leaf_nodes,
                  std::int64_t n_threads) {
    Matrix x = as_matrix(X, "X");
    // The learner reads these while the interpreter runs on; it copes with
    // values changed meanwhile (never reading out of bounds), so they are
    // not copied. n_categories sizes the search's tables: a private copy.
    const auto codes = as_column<std::int64_t>(y, x.rows, "y");
    const auto weights = as_column<double>(sample_weight, x.rows, "sample_weight");
    const auto cats_in = as_column<std::int64_t>(n_categories, x.cols, "n_categories");
    const std::vector<std::int64_t> cats(cats_in.data(), cats_in.data() + x.cols);
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
    LearnerData data;
    data.rows = x.rows;
    data.cols = x.cols;
    data.x = x.view;
    data.y = codes.data();
    data.weight = weights.data();
    data.n_classes = n_classes;
    data.n_categories = cats.data();
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

// A read-only view of `v` as an array of `shape`, keeping `owner` alive.
template <class T>
py::array view_of(const std::vector<T>& v, std::vector<py::ssize_t> shape, const py::object& owner) {
    py::array a(py::dtype::of<T>(), shape, v.data(), owner);
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return a;
}

py::ssize_t count(const FlatTree& t) { return static_cast<py::ssize_t>(t.node_count()); }

const char* const kArrayNames[] = {"children_left", "children_right", "feature", "threshold",
                                  "missing_go_to_left", "is_categorical", "category_left", "n_node_samples",
                                  "weighted_n_node_samples", "impurity", "value"};

// Array `name` of the tree as a read-only view of `owner`.
py::array array_named(const FlatTree& t, const py::object& owner, const std::string& name) {
    const py::ssize_t m = count(t);
    if (name == "children_left") return view_of(t.left, {m}, owner);
    if (name == "children_right") return view_of(t.right, {m}, owner);
    if (name == "feature") return view_of(t.feature, {m}, owner);
    if (name == "threshold") return view_of(t.threshold, {m}, owner);
    if (name == "missing_go_to_left") return view_of(t.missing_left, {m}, owner);
    if (name == "is_categorical") return view_of(t.is_categorical, {m}, owner);
    if (name == "category_left") return view_of(t.category_left, {m, static_cast<py::ssize_t>(t.words)}, owner);
    if (name == "n_node_samples") return view_of(t.n_node_samples, {m}, owner);
    if (name == "weighted_n_node_samples") return view_of(t.weighted_n_node_samples, {m}, owner);
    if (name == "impurity") return view_of(t.impurity, {m}, owner);
    return view_of(t.value, {m, static_cast<py::ssize_t>(t.n_classes)}, owner);
}

template <class T>
std::vector<T> field(const py::dict& d, const char* name, std::size_t rows, std::size_t cols, int ndim) {
    if (!d.contains(name)) fail(std::string("the tree's dict lacks '") + name + "'");
    py::array_t<T> a = as_array<T>(d[name], ndim, name);
    if (static_cast<std::size_t>(a.shape(0)) != rows || (ndim == 2 && static_cast<std::size_t>(a.shape(1)) != cols))
        fail(std::string(name) + " has the wrong shape");
    py::array_t<T, py::array::c_style> c = py::array_t<T, py::array::c_style>::ensure(a);
    return std::vector<T>(c.data(), c.data() + c.size());
}

std::int64_t int_field(const py::dict& d, const char* name) {
    if (!d.contains(name)) fail(std::string("the tree's dict lacks '") + name + "'");
    try {
        return py::cast<std::int64_t>(d[name]);
    } catch (const py::cast_error&) {
        fail(std::string(name) + " must be an integer");
    }
}

FlatTree tree_from_dict(const py::dict& d) {
    FlatTree t;
    t.n_classes = int_field(d, "n_classes");
    t.n_features = int_field(d, "n_features");
    if (!d.contains("children_left")) fail("the tree's dict lacks 'children_left'");
    const std::size_t m = static_cast<std::size_t>(as_array<std::int64_t>(d["children_left"], 1, "children_left").shape(0));
    if (!d.contains("category_left")) fail("the tree's dict lacks 'category_left'");
    py::array_t<std::uint64_t> bits = as_array<std::uint64_t>(d["category_left"], 2, "category_left");
    t.words = static_cast<std::int64_t>(bits.shape(1));
    if (t.n_classes < 1) fail("n_classes must be at least 1");
    t.left = field<std::int64_t>(d, "children_left", m, 0, 1);
    t.right = field<std::int64_t>(d, "children_right", m, 0, 1);
    t.feature = field<std::int64_t>(d, "feature", m, 0, 1);
    t.threshold = field<double>(d, "threshold", m, 0, 1);
    t.missing_left = field<std::uint8_t>(d, "missing_go_to_left", m, 0, 1);
    t.is_categorical = field<std::uint8_t>(d, "is_categorical", m, 0, 1);
    t.category_left = field<std::uint64_t>(d, "category_left", m, static_cast<std::size_t>(t.words), 2);
    t.n_node_samples = field<std::int64_t>(d, "n_node_samples", m, 0, 1);
    t.weighted_n_node_samples = field<double>(d, "weighted_n_node_samples", m, 0, 1);
    t.impurity = field<double>(d, "impurity", m, 0, 1);
    t.value = field<double>(d, "value", m, static_cast<std::size_t>(t.n_classes), 2);
    const std::string bad = check_tree(t);
    if (!bad.empty()) fail(bad);
    return t;
}

Matrix rows_for(const FlatTree& t, const py::object& X) {
    Matrix x = as_matrix(X, "X");
    if (static_cast<std::int64_t>(x.cols) != t.n_features)
        fail("X has " + std::to_string(x.cols) + " columns, the tree was fitted on " + std::to_string(t.n_features));
    return x;
}

py::array_t<std::int64_t> apply_tree(const FlatTree& t, const py::object& X, std::int64_t n_threads) {
    const std::int64_t threads = threads_of(n_threads);
    Matrix x = rows_for(t, X);
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(x.rows));
    std::int64_t* leaves = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        over_rows(x.rows, threads, [&](std::size_t b, std::size_t e) { apply_rows(t, x.view, b, e, leaves); });
    }
    return out;
}

py::tuple decision_path_of(const FlatTree& t, const py::object& X, std::int64_t n_threads) {
    threads_of(n_threads);  // one thread: the walk is cheap beside building the arrays
    Matrix x = rows_for(t, X);
    py::array_t<std::int64_t> indptr(static_cast<py::ssize_t>(x.rows + 1));
    std::int64_t* ptr = indptr.mutable_data();
    std::vector<std::int64_t> indices;
    {
        py::gil_scoped_release nogil;
        ptr[0] = 0;
        for (std::size_t r = 0; r < x.rows; ++r) {
            path_of_row(t, x.view, r, indices);
            ptr[r + 1] = static_cast<std::int64_t>(indices.size());
        }
    }
    py::array_t<std::int64_t> idx(static_cast<py::ssize_t>(indices.size()), indices.data());
    return py::make_tuple(indptr, idx);
}

}  // namespace

PYBIND11_MODULE(_learner, m) {
    m.doc() = "The configurable tree learner behind tavrin_tools.TreeClassifier.";

    py::class_<FlatTree> cls(m, "FlatTree", "A fitted tree as read-only parallel arrays; node 0 is the root.");
    for (const char* name : kArrayNames)
        cls.def_property_readonly(name, [name](const py::object& self) {
            return array_named(self.cast<const FlatTree&>(), self, name);
        });
    cls.def_property_readonly("node_count", [](const FlatTree& t) { return count(t); })
        .def_property_readonly("n_classes", [](const FlatTree& t) { return t.n_classes; })
        .def_property_readonly("n_features", [](const FlatTree& t) { return t.n_features; })
        .def_property_readonly("max_depth", [](const FlatTree& t) { return tree_depth(t); })
        .def_property_readonly("n_leaves", [](const FlatTree& t) { return tree_leaves(t); })
        .def("apply", &apply_tree, py::arg("X"), py::arg("n_threads") = 1,
             "The leaf id each row of X reaches.")
        .def("decision_path", &decision_path_of, py::arg("X"), py::arg("n_threads") = 1,
             "(indptr, indices): the nodes each row visits, root first, as CSR arrays.")
        .def("to_dict", [](const py::object& self) {
            const FlatTree& t = self.cast<const FlatTree&>();
            py::dict d;
            for (const char* name : kArrayNames) d[name] = array_named(t, self, name).attr("copy")();
            d["n_classes"] = t.n_classes;
            d["n_features"] = t.n_features;
            return d;
        })
        .def_static("from_dict", [](const py::object& d) {
            if (!py::isinstance<py::dict>(d)) fail("from_dict takes a dict");
            return tree_from_dict(d.cast<py::dict>());
        })
        .def(py::pickle([](const py::object& self) { return self.attr("to_dict")(); },
                        [](const py::object& d) {
                            if (!py::isinstance<py::dict>(d)) fail("a FlatTree's state is a dict");
                            return tree_from_dict(d.cast<py::dict>());
                        }));

    m.def("fit", &fit_tree, py::kw_only(), py::arg("X"), py::arg("y"), py::arg("sample_weight"),
          py::arg("n_classes"), py::arg("n_categories"), py::arg("criterion"), py::arg("max_depth"),
          py::arg("min_samples_split"), py::arg("min_samples_leaf"), py::arg("min_weight_leaf"),
          py::arg("min_impurity_decrease"), py::arg("max_leaf_nodes"), py::arg("n_threads"),
          "Grows a tree; see tavrin_tools.TreeClassifier for the meaning of each argument.");
}
