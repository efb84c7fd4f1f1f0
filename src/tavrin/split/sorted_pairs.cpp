// Sorting a node's (value, class code) pairs. Plain numbers sort in C++ on
// their keys; anything else is sorted by the interpreter as tuples, so its
// ordering and its errors are the interpreter's own. Both orders are the
// same stable order: by value, equal values by class code, equal pairs in
// row order.
#include "split/sorted_pairs.hpp"

#include <algorithm>
#include <vector>

namespace tavrin::split {

namespace {

using rt::Ref;

struct Rows {
    std::vector<Ref> values;
    std::vector<Ref> codes;
};

int zip_rows(PyObject* values, PyObject* codes, Rows& rows) {
    Ref vi = Ref::steal(PyObject_GetIter(values));
    if (!vi) return -1;
    Ref ci = Ref::steal(PyObject_GetIter(codes));
    if (!ci) return -1;
    for (;;) {
        Ref v = Ref::steal(PyIter_Next(vi.get()));
        if (!v) break;
        Ref c = Ref::steal(PyIter_Next(ci.get()));
        if (!c) break;
        rows.values.push_back(std::move(v));
        rows.codes.push_back(std::move(c));
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Keys of the rows in `order` when all are of one plain kind; `kind` is
// `other` when they are not.
NumberKey::Kind plain_keys(const std::vector<Ref>& objs, const std::vector<size_t>& order,
                           const NumpyScalars& ns, std::vector<NumberKey>& keys) {
    keys.assign(objs.size(), NumberKey{});
    NumberKey::Kind kind = NumberKey::other;
    for (size_t r : order) {
        keys[r] = number_key(objs[r].get(), ns);
        if (keys[r].kind == NumberKey::other) return NumberKey::other;
        if (kind == NumberKey::other) kind = keys[r].kind;
        if (keys[r].kind != kind) return NumberKey::other;
    }
    return kind;
}

// Sorts `order` by the interpreter's comparison of the tuples
// (first[r], second[r], r): the row number only keeps equal pairs in row
// order, as a stable sort would.
int interpreter_sort(const std::vector<Ref>& first, const std::vector<Ref>& second,
                     std::vector<size_t>& order) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    if (!list) return -1;
    for (size_t k = 0; k < order.size(); ++k) {
        Ref row = Ref::steal(PyLong_FromSize_t(order[k]));
        if (!row) return -1;
        PyObject* t = PyTuple_Pack(3, first[order[k]].get(), second[order[k]].get(), row.get());
        if (!t) return -1;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), t);
    }
    if (PyList_Sort(list.get()) < 0) return -1;
    for (size_t k = 0; k < order.size(); ++k) {
        PyObject* t = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(k));
        order[k] = PyLong_AsSize_t(PyTuple_GET_ITEM(t, 2));
    }
    return 0;
}

}  // namespace

int sort_pairs(PyObject* values, PyObject* codes, const NumpyScalars& ns, SortedPairs& out) {
    Rows rows;
    if (zip_rows(values, codes, rows) < 0) return -1;
    const size_t n = rows.values.size();

    std::vector<size_t> ordered, missing;  // rows with a value, rows with NaN
    ordered.reserve(n);
    for (size_t r = 0; r < n; ++r) {
        const int nan = is_float_nan(rows.values[r].get(), ns);
        if (nan < 0) return -1;
        (nan ? missing : ordered).push_back(r);
    }

    std::vector<size_t> all(n);
    for (size_t r = 0; r < n; ++r) all[r] = r;
    std::vector<NumberKey> vkeys, ckeys;
    const bool plain_codes = plain_keys(rows.codes, all, ns, ckeys) == NumberKey::integer;
    const NumberKey::Kind vkind = plain_keys(rows.values, ordered, ns, vkeys);

    if (plain_codes && vkind == NumberKey::real) {
        std::stable_sort(ordered.begin(), ordered.end(), [&](size_t a, size_t b) {
            const double x = vkeys[a].real_value, y = vkeys[b].real_value;
            return x < y || (x == y && ckeys[a].int_value < ckeys[b].int_value);
        });
    } else if (plain_codes && vkind == NumberKey::integer) {
        std::stable_sort(ordered.begin(), ordered.end(), [&](size_t a, size_t b) {
            const long long x = vkeys[a].int_value, y = vkeys[b].int_value;
            return x < y || (x == y && ckeys[a].int_value < ckeys[b].int_value);
        });
    } else if (interpreter_sort(rows.values, rows.codes, ordered) < 0) {
        return -1;
    }

    if (plain_codes) {
        std::stable_sort(missing.begin(), missing.end(), [&](size_t a, size_t b) {
            return ckeys[a].int_value < ckeys[b].int_value;
        });
    } else if (interpreter_sort(rows.codes, rows.codes, missing) < 0) {
        return -1;
    }

    out.thresholds = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!out.thresholds) return -1;
    out.classes = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!out.classes) return -1;
    Py_ssize_t k = 0;
    for (const std::vector<size_t>* part : {&ordered, &missing}) {
        for (size_t r : *part) {
            PyTuple_SET_ITEM(out.thresholds.get(), k, Ref::borrow(rows.values[r].get()).release());
            PyTuple_SET_ITEM(out.classes.get(), k, Ref::borrow(rows.codes[r].get()).release());
            ++k;
        }
    }
    return 0;
}

}  // namespace tavrin::split
