// Column typing: the labels of a frame's columns of one kind, by the dtype
// predicates bound in the module namespace at the moment of the call.
#include "features/features.hpp"

#include "features/shared.hpp"
#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "runtime/quiet.hpp"

namespace tavrin::features {

using rt::Ref;
namespace n = rt::names;

namespace {

// {"numeric": is_numeric_dtype, "string": is_string_dtype, "categorical":
// is_categorical_dtype, "date": is_datetime64_any_dtype, "bool":
// is_bool_dtype}, made afresh from the current globals.
Ref kind_table() {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return nullptr;
    for (const FeatureKind& kind : feature_kinds()) {
        Ref predicate = rt::global(kind.predicate);
        if (!predicate || PyDict_SetItem(table.get(), kind.word, predicate.get()) < 0) {
            return nullptr;
        }
    }
    return table;
}

}  // namespace

PyObject* get_dtype(PyObject* const* args) {
    PyObject* X = args[1];
    PyObject* d_type = args[2];

    Ref dtype_func = kind_table();
    if (!dtype_func) return nullptr;
    Ref cols = Ref::steal(PyList_New(0));
    if (!cols) return nullptr;
    Ref columns = rt::getattr(X, n::columns);
    if (!columns) return nullptr;
    Ref labels = Ref::steal(PyObject_GetIter(columns.get()));
    if (!labels) return nullptr;

    // pandas' is_categorical_dtype warns on every call; that warning is the
    // module's business, not the caller's.
    rt::QuietCategoricalDeprecation quiet;
    if (quiet.enter() < 0) return nullptr;

    // Invariant: cols holds, in column order, every label seen so far whose
    // column the predicate accepted.
    while (Ref f = Ref::steal(PyIter_Next(labels.get()))) {
        // An unknown kind word fails here, at the first column (KeyError).
        Ref predicate = Ref::steal(PyObject_GetItem(dtype_func.get(), d_type));
        if (!predicate) return nullptr;
        Ref column = Ref::steal(PyObject_GetItem(X, f.get()));
        if (!column) return nullptr;
        Ref verdict = rt::call(predicate.get(), {column.get()});
        if (!verdict) return nullptr;
        int accepted = PyObject_IsTrue(verdict.get());
        if (accepted < 0) return nullptr;
        if (accepted && PyList_Append(cols.get(), f.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return cols.release();
}

}  // namespace tavrin::features
