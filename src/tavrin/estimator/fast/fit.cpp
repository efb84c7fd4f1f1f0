// The fast path of fit. It applies when every method that growth reaches
// through `self` is the module's own, the module globals are the objects
// bound at import, and the estimator's attributes and data are of the
// kinds fast/data accepts. The tree is then grown by kernels/tree_builder
// without the interpreter lock, and turned into Node objects carrying the
// same values of the same types as the step-by-step growth writes.
#include "estimator/fast/fit.hpp"

#include "estimator/estimator.hpp"
#include "estimator/fast/data.hpp"
#include "estimator/fast/nodes.hpp"
#include "features/features.hpp"
#include "kernels/tree_builder.hpp"
#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "runtime/signals.hpp"
#include "runtime/stack.hpp"
#include "split/numpy_scalars.hpp"
#include "split/split.hpp"

#include <cmath>
#include <cstring>
#include <new>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tavrin::estimator {

namespace {

using rt::Ref;
namespace n = rt::names;

// Recursion the step-by-step growth needs: one guarded call per tree level
// (two allowed for), and for the deepest search its own calls into pandas
// and numpy, with a wide margin.
constexpr long kCallsPerLevel = 2;
constexpr long kSearchCalls = 250;

// What the estimator's attributes say, read once: growth reads them at
// every node, and nothing on the fast path writes them.
struct Plan {
    kernels::ImpurityRule rule = kernels::ImpurityRule::two_class;
    std::size_t n_classes = 0;
    long long depth_limit = 0;
    std::vector<Ref> labels;     // rev_taget_map[code]
    std::vector<Ref> positions;  // the position objects the search iterates
    std::vector<bool> categorical;
};

int read_rule(PyObject* self, Plan& plan) {
    using rt::resolves_to;
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) return 0;
    if (!resolves_to(self, n::_grow_tree, grow_tree) ||
        !resolves_to(self, n::_format_feature, features::format_feature) ||
        !resolves_to(self, n::_format_categorical, features::format_categorical))
        return 0;
    if (resolves_to(self, n::_best_split, split::best_split)) {
        plan.rule = kernels::ImpurityRule::two_class;
        return resolves_to(self, n::_gini_loop, split::gini_loop);
    }
    plan.rule = kernels::ImpurityRule::all_classes;
    return resolves_to(self, n::_best_split, split::best_split_inline);
}

// depth < max_depth for every depth below the limit, as the interpreter
// compares an int with an int or a float.
int read_depth_limit(PyObject* self, Plan& plan) {
    Ref max_depth = rt::getattr(self, n::max_depth);
    if (!max_depth) return -1;
    constexpr long long kUnbounded = 1LL << 40;
    if (PyFloat_CheckExact(max_depth.get())) {
        const double d = PyFloat_AS_DOUBLE(max_depth.get());
        if (!(d > 0.0)) return 0;  // NaN, or no depth below it
        plan.depth_limit = d >= static_cast<double>(kUnbounded) ? kUnbounded
                                                                  : static_cast<long long>(std::ceil(d));
    } else if (PyLong_CheckExact(max_depth.get())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(max_depth.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        plan.depth_limit = overflow > 0 || v > kUnbounded ? kUnbounded : v;
        if (overflow < 0) plan.depth_limit = 0;
    } else {
        return 0;
    }
    // No node is searched: growth makes one leaf, cheaply, by itself.
    return plan.depth_limit > 0 ? 1 : 0;
}

int read_classes(PyObject* self, Plan& plan) {
    Ref n_classes = rt::getattr(self, n::n_classes_);
    if (!n_classes) return -1;
    if (!PyLong_CheckExact(n_classes.get())) return 0;
    const long k = PyLong_AsLong(n_classes.get());
    if (k == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    if (k < 1 || k > (1L << 16)) return 0;
    plan.n_classes = static_cast<std::size_t>(k);
    Ref rev = rt::getattr(self, n::rev_taget_map);
    if (!rev) return -1;
    if (!PyDict_CheckExact(rev.get())) return 0;
    for (long c = 0; c < k; ++c) {
        Ref code = Ref::steal(PyLong_FromLong(c));
        if (!code) return -1;
        PyObject* label = PyDict_GetItemWithError(rev.get(), code.get());
        if (!label) return PyErr_Occurred() ? -1 : 0;
        plan.labels.push_back(Ref::borrow(label));
    }
    return 1;
}

// The positions self.feature_names.map(self.feature_map) yields must be
// 0 .. n-1 in order, and each feature numeric or categorical by the
// lists _format_feature consults.
int read_features(PyObject* self, Plan& plan) {
    Ref feature_names = rt::getattr(self, n::feature_names);
    if (!feature_names) return -1;
    Ref map = rt::getattr(feature_names.get(), n::map);
    if (!map) return -1;
    Ref feature_map = rt::getattr(self, n::feature_map);
    if (!feature_map) return -1;
    Ref positions = rt::call(map.get(), {feature_map.get()});
    if (!positions) return -1;
    Ref it = Ref::steal(PyObject_GetIter(positions.get()));
    if (!it) return -1;
    while (Ref idx = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyLong_CheckExact(idx.get()) ||
            PyLong_AsLong(idx.get()) != static_cast<long>(plan.positions.size()))
            return PyErr_Occurred() ? -1 : 0;
        plan.positions.push_back(std::move(idx));
    }
    if (PyErr_Occurred()) return -1;
    if (plan.positions.empty()) return 0;

    Ref rev_feature_map = rt::getattr(self, n::rev_feature_map);
    if (!rev_feature_map) return -1;
    Ref numeric = rt::getattr(self, n::numeric_features);
    if (!numeric) return -1;
    Ref categorical = rt::getattr(self, n::categorical_features);
    if (!categorical) return -1;
    if (!PyDict_CheckExact(rev_feature_map.get()) || !PyList_CheckExact(numeric.get()) ||
        !PyList_CheckExact(categorical.get()))
        return 0;
    for (const Ref& idx : plan.positions) {
        PyObject* label = PyDict_GetItemWithError(rev_feature_map.get(), idx.get());
        if (!label) return PyErr_Occurred() ? -1 : 0;
        // Labels whose comparisons run no code of the caller's.
        if (!PyUnicode_CheckExact(label) && !PyLong_CheckExact(label)) return 0;
        const int is_numeric = PySequence_Contains(numeric.get(), label);
        if (is_numeric < 0) return -1;
        const int is_categorical = is_numeric ? 0 : PySequence_Contains(categorical.get(), label);
        if (is_categorical < 0) return -1;
        if (!is_numeric && !is_categorical) return 0;  // growth raises its own error
        plan.categorical.push_back(is_categorical == 1);
    }
    return 1;
}

// numpy's order of equal means, asked with the interpreter lock taken
// back for the call.
class NumpyTies : public kernels::TieOrder {
public:
    explicit NumpyTies(PyThreadState** released) : released_(released) {}

    bool order(const std::vector<double>& means, std::vector<std::int32_t>& out) override {
        PyEval_RestoreThread(*released_);
        bool ok = false;
        try {
            ok = ask(means, out);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (!ok && !error_) {
            if (!PyErr_Occurred()) rt::raise_tie_order_unavailable();
            error_.fetch();
        }
        *released_ = PyEval_SaveThread();
        return ok;
    }

    // Sets the error the callback met; call with the lock held.
    void restore() {
        if (!error_.restore()) rt::raise_tie_order_unavailable();
    }

private:
    // np.array(means, dtype=float).argsort(kind="quicksort").tolist()
    static bool ask(const std::vector<double>& means, std::vector<std::int32_t>& out) {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(means.size())));
        if (!list) return false;
        for (std::size_t k = 0; k < means.size(); ++k) {
            PyObject* v = PyFloat_FromDouble(means[k]);
            if (!v) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), v);
        }
        static rt::KwNames kw_dtype_names{"dtype"};
        static rt::KwNames kw_kind_names{"kind"};
        PyObject* kw_dtype = kw_dtype_names.get();
        PyObject* kw_kind = kw_dtype ? kw_kind_names.get() : nullptr;
        if (!kw_kind) return false;
        Ref array = rt::call_global_attr(n::np, n::array,
                                         {list.get(), reinterpret_cast<PyObject*>(&PyFloat_Type)},
                                         kw_dtype);
        if (!array) return false;
        Ref quicksort = Ref::steal(PyUnicode_InternFromString("quicksort"));
        if (!quicksort) return false;
        Ref order = rt::call_method(array.get(), n::argsort, {quicksort.get()}, kw_kind);
        if (!order) return false;
        Ref items = rt::call_method(order.get(), n::tolist, {});
        if (!items || !PyList_Check(items.get())) return false;
        out.clear();
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
            const long g = PyLong_AsLong(PyList_GET_ITEM(items.get(), k));
            if (g == -1 && PyErr_Occurred()) return false;
            out.push_back(static_cast<std::int32_t>(g));
        }
        return true;
    }

    PyThreadState** released_;
    rt::KeptError error_;
};

int build(const Plan& plan, const FastData& data, kernels::BuiltTree& tree) {
    kernels::BuildInput in;
    in.rows = data.rows();
    in.columns = data.build_columns();
    in.codes = data.codes().data();
    in.n_classes = plan.n_classes;
    in.depth_limit = plan.depth_limit;
    in.rule = plan.rule;
    // Above a few hundred thousand rows a node's values no longer come
    // from cache; for all-numeric data, whose matrix already takes 8 bytes
    // a value, keeping them in sorted order pays for the memory it takes,
    // up to a bound. A frame with category columns is read in place for
    // its memory's sake, and keeps to that.
    constexpr std::size_t kBesideRows = std::size_t{1} << 18;
    constexpr std::size_t kBesideBytes = std::size_t{1} << 30;
    bool all_numeric = true;
    for (const kernels::BuildColumn& col : in.columns) all_numeric = all_numeric && !col.categorical;
    in.values_beside_rows = all_numeric && in.rows >= kBesideRows &&
                            in.rows * in.columns.size() * sizeof(double) <= kBesideBytes;
    PyThreadState* released = nullptr;
    NumpyTies ties(&released);
    in.ties = &ties;
    rt::SignalCheck signals(&released);
    in.cancel = &signals;
    kernels::BuildStatus status = kernels::BuildStatus::ok;
    bool out_of_memory = false;
    released = PyEval_SaveThread();
    try {
        status = kernels::build_tree(in, tree);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
#ifdef __GLIBC__
    // The builder's arrays are freed; hand the pages back before the nodes
    // are made, so that the two do not add up in the process's footprint
    // (without the lock: trimming walks every arena).
    malloc_trim(0);
#endif
    PyEval_RestoreThread(released);
    if (out_of_memory) {
        PyErr_NoMemory();
        return -1;
    }
    if (status == kernels::BuildStatus::cancelled) {
        signals.restore();
        return -1;
    }
    if (status != kernels::BuildStatus::ok) {
        ties.restore();
        return -1;
    }
    return 0;
}

}  // namespace

bool reads_frame_in_place(PyObject* self, PyObject* X, rt::FrameColumns& frame) {
    Plan plan;
    if (!rt::bound_as_remembered() || read_rule(self, plan) <= 0 ||
        !rt::resolves_to(self, n::_prep_data, features::prep_data) ||
        !rt::resolves_to(self, n::_get_dtype, features::get_dtype))
        return false;
    return frame.read(X) == 1;
}

int fast_grow(PyObject* self, PyObject* X, PyObject* y, Ref& tree, const rt::FrameColumns* frame) {
    if (!rt::bound_as_remembered()) return 0;
    const split::NumpyScalars* ns = split::numpy_scalars();
    if (!ns) return -1;
    if (!ns->kernel_arithmetic) return 0;
    Plan plan;
    int ok = read_rule(self, plan);
    if (ok > 0) ok = read_depth_limit(self, plan);
    if (ok > 0) ok = read_classes(self, plan);
    if (ok > 0) ok = read_features(self, plan);
    if (ok <= 0) return ok;
    try {
        FastData data;
        ok = frame ? data.read_frame(*frame, y, plan.categorical, plan.n_classes)
                   : data.read(X, y, plan.categorical, plan.n_classes);
        if (ok <= 0) return ok;
        kernels::BuiltTree built;
        if (build(plan, data, built) < 0) return -1;
        // The step-by-step growth nests one call per level: a tree deeper
        // than the recursion limit allows is left to it, to raise (or not)
        // by itself.
        const long needed = (static_cast<long>(built.depth) + 1) * kCallsPerLevel + kSearchCalls;
        if (needed > rt::recursion_headroom()) return 0;
        if (make_nodes(built, data, plan.labels, plan.positions, plan.rule, tree) < 0) return -1;
        if (restore_value_maps(self, X, frame != nullptr, y, built, data, plan.positions) < 0) return -1;
        return 1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace tavrin::estimator
