// Reading the prepared training data for the whole-tree builder. Every
// check here keeps the builder's double arithmetic identical to what the
// step-by-step growth computes on the objects: integers stay within 2**53
// (exact as doubles, no int64 overflow in a sum of two), object columns
// hold only Python floats, ints and bools, categories are one kind of
// value that sorts the way groupby sorts it.
#include "estimator/fast/data.hpp"

#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace tavrin::estimator {

namespace {

using rt::Ref;
namespace n = rt::names;

constexpr long long kExact = 1LL << 53;

char item_format(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    if (f[0] == '\0' || f[1] != '\0') return '\0';
    switch (f[0]) {
        case 'd': return view.itemsize == 8 ? 'd' : '\0';
        case 'l': case 'q': return view.itemsize == 8 ? 'l' : '\0';
        case '?': return view.itemsize == 1 ? '?' : '\0';
        case 'O': return view.itemsize == sizeof(PyObject*) ? 'O' : '\0';
        default: return '\0';
    }
}

// A Python int that fits in 64 bits, without an error left behind.
bool as_int64(PyObject* v, long long& out) {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow;
}

// A plain number of an object column as a double; false for anything the
// builder does not take.
bool plain_number(PyObject* v, double& out) {
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyBool_Check(v)) {
        out = v == Py_True ? 1.0 : 0.0;
        return true;
    }
    long long i = 0;
    if (!PyLong_CheckExact(v) || !as_int64(v, i) || i > kExact || i < -kExact) return false;
    out = static_cast<double>(i);
    return true;
}

bool is_missing(PyObject* v) {
    return v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)));
}

// One distinct category: its first object and a sort key.
struct Distinct {
    Ref value;
    double real = 0.0;
    long long integer = 0;
};

// A category value of a kind the builder takes, with its sort key.
bool plain_category(PyObject* v, CategoryKind& kind, Distinct& d) {
    if (PyUnicode_CheckExact(v)) {
        kind = CategoryKind::text;
        // Text that has no UTF-8 form is left to pandas.
        if (PyUnicode_AsUTF8AndSize(v, nullptr)) return true;
        PyErr_Clear();
        return false;
    }
    if (PyLong_CheckExact(v)) {
        kind = CategoryKind::integer;
        return as_int64(v, d.integer);
    }
    if (!PyFloat_CheckExact(v)) return false;
    kind = CategoryKind::real;
    d.real = PyFloat_AS_DOUBLE(v);
    return true;
}

// Ranks the distinct values ascending and writes each row's rank.
int rank_categories(std::vector<Distinct>& distinct, CategoryKind kind, FastColumn& col) {
    std::vector<std::int32_t> order(distinct.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<std::int32_t>(k);
    bool failed = false;
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        const Distinct& x = distinct[static_cast<std::size_t>(a)];
        const Distinct& y = distinct[static_cast<std::size_t>(b)];
        switch (kind) {
            case CategoryKind::real: return x.real < y.real;
            case CategoryKind::integer: return x.integer < y.integer;
            default: {
                const int c = PyUnicode_Compare(x.value.get(), y.value.get());
                if (c == -1 && PyErr_Occurred()) failed = true;
                return c < 0;
            }
        }
    });
    if (failed) return -1;
    std::vector<std::int32_t> rank_of(distinct.size());
    for (std::size_t k = 0; k < order.size(); ++k) rank_of[static_cast<std::size_t>(order[k])] = static_cast<std::int32_t>(k);
    for (auto& r : col.ranks)
        if (r >= 0) r = rank_of[static_cast<std::size_t>(r)];
    for (std::int32_t k : order) col.categories.push_back(std::move(distinct[static_cast<std::size_t>(k)].value));
    return 0;
}

}  // namespace

FastData::~FastData() {
    if (held_) PyBuffer_Release(&view_);
}

int FastData::read(PyObject* X, PyObject* y, const std::vector<bool>& categorical,
                   std::size_t n_classes) {
    if (!rt::is_exact_ndarray(X)) return 0;
    if (PyObject_GetBuffer(X, &view_, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return 0;
    }
    held_ = true;
    format_ = item_format(view_);
    if (view_.ndim != 2 || format_ == '\0' ||
        static_cast<std::size_t>(view_.shape[1]) != categorical.size() || view_.shape[0] < 2 ||
        view_.shape[0] > INT32_MAX)
        return 0;
    rows_ = static_cast<std::size_t>(view_.shape[0]);
    const int codes = read_codes(y, n_classes);
    if (codes <= 0) return codes;
    columns_.resize(categorical.size());
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        FastColumn& col = columns_[j];
        col.categorical = categorical[j];
        const int ok = col.categorical ? read_categorical(j, col) : read_numeric(j, col);
        if (ok <= 0) return ok;
    }
    return 1;
}

namespace {

// True when y's dtype is one whose class codes growth reads as it reads
// int64 ones: pandas' category dtype (labels given as categories), the
// nullable Int64 dtype (from Int64 or boolean labels) or an Arrow dtype
// (from string or Arrow labels). Step by step, each node compares, counts,
// iterates and takes np.asarray of the codes; with no code missing these
// give the same numbers as int64 codes do.
int extension_codes(PyObject* pd, PyObject* y) {
    Ref dtype = rt::getattr(y, n::dtype);
    if (!dtype) return -1;
    for (PyObject* name : {n::CategoricalDtype, n::Int64Dtype, n::ArrowDtype}) {
        Ref type = rt::getattr(pd, name);
        if (!type) {  // an older pandas without it
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            continue;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(dtype.get())) == type.get()) return 1;
    }
    return 0;
}

}  // namespace

int FastData::read_codes(PyObject* y, std::size_t n_classes) {
    Ref pd = rt::global(n::pd);
    if (!pd) return -1;
    Ref series = rt::getattr(pd.get(), n::Series);
    if (!series) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(y)) != series.get()) return 0;
    Ref values = rt::getattr(y, n::values);
    if (!values) return -1;
    if (!rt::is_exact_ndarray(values.get())) {
        // The codes as each node's category encoding reads them,
        // np.asarray(y): int64 exactly when none is missing.
        const int extension = extension_codes(pd.get(), y);
        if (extension <= 0) return extension;
        values = rt::call_global_attr(n::np, n::asarray, {y});
        if (!values) return -1;
        if (!rt::is_exact_ndarray(values.get())) return 0;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(values.get(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return 0;
    }
    bool ok = view.ndim == 1 && item_format(view) == 'l' && static_cast<std::size_t>(view.shape[0]) == rows_;
    if (ok) {
        codes_.resize(rows_);
        const char* p = static_cast<const char*>(view.buf);
        for (std::size_t r = 0; r < rows_ && ok; ++r) {
            long long c;
            std::memcpy(&c, p + static_cast<Py_ssize_t>(r) * view.strides[0], sizeof c);
            ok = c >= 0 && static_cast<unsigned long long>(c) < n_classes;
            codes_[r] = static_cast<std::int32_t>(c);
        }
    }
    PyBuffer_Release(&view);
    return ok ? 1 : 0;
}

namespace {

const char* item_at(const Py_buffer& view, std::size_t r, std::size_t j) {
    return static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(r) * view.strides[0] +
           static_cast<Py_ssize_t>(j) * view.strides[1];
}

using rt::load;

}  // namespace

namespace {

// True when no midpoint (a + b) / 2 of two values of the column can raise a
// floating-point flag: numpy's scalar arithmetic, which the step-by-step
// search of BinaryClassificationTreePy applies to these values, turns a
// flag into a warning or an error (np.seterr), the builder's doubles do not.
// Flags need a value at or near the largest finite double (overflow), both
// infinities (inf - inf) or a value near the subnormal range (underflow);
// NaN propagates quietly.
bool midpoints_quiet(const Py_buffer& view, std::size_t rows, std::size_t j) {
    const double huge = std::ldexp(1.0, 1022), tiny = std::ldexp(1.0, -968);
    bool plus_inf = false, minus_inf = false;
    for (std::size_t r = 0; r < rows; ++r) {
        const double v = load<double>(item_at(view, r, j));
        const double a = std::fabs(v);
        if (std::isinf(v)) {
            (v > 0 ? plus_inf : minus_inf) = true;
        } else if (a >= huge || (a != 0.0 && a < tiny)) {
            return false;
        }
    }
    return !(plus_inf && minus_inf);
}

}  // namespace

int FastData::read_numeric(std::size_t j, FastColumn& col) {
    col.numpy_values = format_ != 'O';
    if (format_ == 'd') {  // read in place
        if (!midpoints_quiet(view_, rows_, j)) return 0;
        col.data = item_at(view_, 0, j);
        col.stride = view_.strides[0];
        return 1;
    }
    col.owned.resize(rows_);
    for (std::size_t r = 0; r < rows_; ++r) {
        const char* p = item_at(view_, r, j);
        double v = 0.0;
        if (format_ == 'l') {
            const long long i = load<long long>(p);
            if (i > kExact || i < -kExact) return 0;
            v = static_cast<double>(i);
        } else if (format_ == '?') {
            v = load<unsigned char>(p) ? 1.0 : 0.0;
        } else if (!plain_number(load<PyObject*>(p), v)) {
            return 0;
        }
        col.owned[r] = v;
    }
    return 1;
}

int FastData::read_categorical(std::size_t j, FastColumn& col) {
    if (format_ == '?') return 0;
    std::vector<Distinct> distinct;  // by id, in order of first appearance
    col.ranks.assign(rows_, -1);     // ids until ranked
    CategoryKind kind = format_ == 'd' ? CategoryKind::real : CategoryKind::integer;
    bool kind_set = format_ != 'O';
    // Equal values share one id: by object identity first (a categorical
    // column's items are its few category objects), then by equality.
    std::unordered_map<PyObject*, std::int32_t> by_object;
    std::unordered_map<double, std::int32_t> by_real;  // -0.0 and 0.0 meet, as groupby has them
    std::unordered_map<long long, std::int32_t> by_integer;
    Ref by_value = Ref::steal(PyDict_New());
    if (!by_value) return -1;

    auto add = [&](Distinct d) {
        const std::int32_t id = static_cast<std::int32_t>(distinct.size());
        distinct.push_back(std::move(d));
        return id;
    };
    for (std::size_t r = 0; r < rows_; ++r) {
        const char* p = item_at(view_, r, j);
        std::int32_t id = -1;
        if (format_ == 'd' || format_ == 'l') {
            const bool real = format_ == 'd';
            const double d = real ? load<double>(p) : 0.0;
            const long long i = real ? 0 : load<long long>(p);
            if (real && d != d) continue;
            auto& table = by_real;
            if (real) {
                auto it = table.find(d == 0.0 ? 0.0 : d);
                if (it != table.end()) id = it->second;
            } else {
                auto it = by_integer.find(i);
                if (it != by_integer.end()) id = it->second;
            }
            if (id < 0) {
                Ref value = Ref::steal(real ? PyFloat_FromDouble(d) : PyLong_FromLongLong(i));
                if (!value) return -1;
                id = add(Distinct{std::move(value), d, i});
                if (real) table[d == 0.0 ? 0.0 : d] = id;
                else by_integer[i] = id;
            }
        } else {
            PyObject* v = load<PyObject*>(p);
            if (is_missing(v)) continue;
            auto it = by_object.find(v);
            if (it != by_object.end()) {
                id = it->second;
            } else {
                CategoryKind k;
                Distinct d;
                if (!plain_category(v, k, d)) return 0;
                if (kind_set && k != kind) return 0;
                kind = k;
                kind_set = true;
                PyObject* known = PyDict_GetItemWithError(by_value.get(), v);
                if (known) {
                    id = static_cast<std::int32_t>(PyLong_AsLong(known));
                } else {
                    if (PyErr_Occurred()) return -1;
                    d.value = Ref::borrow(v);
                    id = add(std::move(d));
                    Ref id_obj = Ref::steal(PyLong_FromLong(id));
                    if (!id_obj || PyDict_SetItem(by_value.get(), v, id_obj.get()) < 0) return -1;
                }
                by_object[v] = id;
            }
        }
        col.ranks[r] = id;
    }
    col.kind = kind;
    return rank_categories(distinct, kind, col) < 0 ? -1 : 1;
}

int FastData::read_frame(const rt::FrameColumns& frame, PyObject* y, const std::vector<bool>& categorical,
                         std::size_t n_classes) {
    if (frame.columns().size() != categorical.size() || frame.rows() < 2 || frame.rows() > INT32_MAX) return 0;
    rows_ = frame.rows();
    const int codes = read_codes(y, n_classes);
    if (codes <= 0) return codes;
    columns_.resize(categorical.size());
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        const rt::FrameColumn& source = frame.columns()[j];
        FastColumn& col = columns_[j];
        col.categorical = categorical[j];
        if (col.categorical != (source.kind == rt::FrameColumn::category)) return 0;
        const int ok = read_frame_column(source, col);
        if (ok <= 0) return ok;
    }
    return 1;
}

// As read_numeric and read_categorical take the object matrix's cells:
// numbers as Python floats, ints and bools would be, categories by code.
int FastData::read_frame_column(const rt::FrameColumn& source, FastColumn& col) {
    using rt::FrameColumn;
    col.numpy_values = false;
    switch (source.kind) {
        case FrameColumn::real:
            col.data = source.data;
            col.stride = source.stride;
            return 1;
        case FrameColumn::integer:
        case FrameColumn::boolean:
            col.owned.resize(rows_);
            for (std::size_t r = 0; r < rows_; ++r) {
                if (source.kind == FrameColumn::boolean) {
                    col.owned[r] = load<unsigned char>(source.at(r)) ? 1.0 : 0.0;
                    continue;
                }
                const long long i = load<long long>(source.at(r));
                if (i > kExact || i < -kExact) return 0;
                col.owned[r] = static_cast<double>(i);
            }
            return 1;
        case FrameColumn::category:
            break;
    }
    if (source.objects.empty() || !is_missing(source.objects[0].get())) return 0;
    const std::size_t k = source.objects.size() - 1;
    std::vector<Distinct> distinct(k);
    CategoryKind kind = CategoryKind::text;
    for (std::size_t c = 0; c < k; ++c) {
        PyObject* v = source.objects[c + 1].get();
        CategoryKind kc;
        Distinct& d = distinct[c];
        if (!plain_category(v, kc, d)) return 0;
        if (c > 0 && kc != kind) return 0;
        kind = kc;
        d.value = Ref::borrow(v);
    }
    col.ranks.resize(rows_);
    for (std::size_t r = 0; r < rows_; ++r) {
        const long long code = source.code(r);
        if (code < -1 || code >= static_cast<long long>(k)) return 0;
        col.ranks[r] = static_cast<std::int32_t>(code);
    }
    col.kind = kind;
    return rank_categories(distinct, kind, col) < 0 ? -1 : 1;
}

std::vector<kernels::BuildColumn> FastData::build_columns() const {
    std::vector<kernels::BuildColumn> out(columns_.size());
    for (std::size_t j = 0; j < columns_.size(); ++j) {
        const FastColumn& col = columns_[j];
        kernels::BuildColumn& b = out[j];
        b.categorical = col.categorical;
        if (col.categorical) {
            b.ranks = col.ranks.data();
            b.n_ranks = static_cast<std::int32_t>(col.categories.size());
        } else if (col.owned.empty()) {
            b.data = col.data;
            b.stride = col.stride;
        } else {
            b.data = reinterpret_cast<const char*>(col.owned.data());
            b.stride = sizeof(double);
        }
    }
    return out;
}

}  // namespace tavrin::estimator
