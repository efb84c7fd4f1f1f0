// Formatting one feature for one node: a numeric column as it is, a
// categorical column as codes ordered by the mean class code of the node's
// rows (the encoding kept in feature_value_maps[idx]), anything else refused.
#include "features/features.hpp"

#include "features/shared.hpp"
#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/names.hpp"

namespace tavrin::features {

using rt::Ref;
namespace n = rt::names;

namespace {

// self.rev_feature_map[idx] in self.<list_name>; -1 with an error set.
int label_listed(PyObject* self, PyObject* idx, PyObject* list_name) {
    Ref rev_feature_map = rt::getattr(self, n::rev_feature_map);
    if (!rev_feature_map) return -1;
    Ref label = Ref::steal(PyObject_GetItem(rev_feature_map.get(), idx));
    if (!label) return -1;
    Ref listed = rt::getattr(self, list_name);
    if (!listed) return -1;
    return PySequence_Contains(listed.get(), label.get());
}

Ref pair(const Ref& column, PyObject* word) {
    if (!column) return nullptr;
    return Ref::steal(PyTuple_Pack(2, column.get(), word));
}

Ref one_item_list(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    if (!list) return nullptr;
    Py_INCREF(item);
    PyList_SET_ITEM(list.get(), 0, item);
    return list;
}

// {"map": value -> code, "rev_map": code -> value}, codes in the order of
// the group index (ascending mean class code).
Ref encoding_of(PyObject* df_grp) {
    Ref index = rt::getattr(df_grp, n::index);
    if (!index) return nullptr;
    Ref sized = rt::getattr(df_grp, n::index);
    if (!sized) return nullptr;
    Ref codes = range_of_len(sized.get());
    if (!codes) return nullptr;
    Ref map = dict_of_zip(index.get(), codes.get());
    if (!map) return nullptr;

    sized = rt::getattr(df_grp, n::index);
    if (!sized) return nullptr;
    codes = range_of_len(sized.get());
    if (!codes) return nullptr;
    index = rt::getattr(df_grp, n::index);
    if (!index) return nullptr;
    Ref rev_map = dict_of_zip(codes.get(), index.get());
    if (!rev_map) return nullptr;

    Ref entry = Ref::steal(PyDict_New());
    if (!entry) return nullptr;
    if (PyDict_SetItem(entry.get(), n::map, map.get()) < 0) return nullptr;
    if (PyDict_SetItem(entry.get(), n::rev_map, rev_map.get()) < 0) return nullptr;
    return entry;
}

}  // namespace

PyObject* format_feature(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* y = args[2];
    PyObject* idx = args[3];

    // Numeric first: a column in both lists (bool) is split as a number.
    int numeric = label_listed(self, idx, n::numeric_features);
    if (numeric < 0) return nullptr;
    if (numeric) return pair(column_at(X, idx), n::word_numeric).release();

    int categorical = label_listed(self, idx, n::categorical_features);
    if (categorical < 0) return nullptr;
    if (categorical) {
        Ref codes = rt::call_method(self, n::_format_categorical, {X, y, idx});
        return pair(codes, n::word_categorical).release();
    }
    return rt::raise_unsupported_feature().release();
}

PyObject* format_categorical(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* y = args[2];
    PyObject* idx = args[3];

    // df = pd.DataFrame(X[:, idx], columns=[idx]): rows labelled 0 .. m-1.
    Ref column = column_at(X, idx);
    if (!column) return nullptr;
    Ref label_list = one_item_list(idx);
    if (!label_list) return nullptr;
    static rt::KwNames kw_columns_names{"columns"};
    PyObject* kw_columns = kw_columns_names.get();
    if (!kw_columns) return nullptr;
    Ref df = rt::call_global_attr(n::pd, n::DataFrame, {column.get(), label_list.get()},
                                  kw_columns);
    if (!df) return nullptr;

    // df["y"] = the codes as a plain array: paired with the rows by
    // position. Assigning a Series would align it on its index labels, and
    // below the root those are not 0 .. m-1.
    Ref codes = rt::call_global_attr(n::np, n::asarray, {y});
    if (!codes || PyObject_SetItem(df.get(), n::y, codes.get()) < 0) return nullptr;

    // df_grp = df.groupby([idx]).y.mean().sort_values()
    Ref keys = one_item_list(idx);
    if (!keys) return nullptr;
    Ref grouped = rt::call_method(df.get(), n::groupby, {keys.get()});
    if (!grouped) return nullptr;
    Ref group_codes = rt::getattr(grouped.get(), n::y);
    if (!group_codes) return nullptr;
    Ref means = rt::call_method(group_codes.get(), n::mean, {});
    if (!means) return nullptr;
    Ref df_grp = rt::call_method(means.get(), n::sort_values, {});
    if (!df_grp) return nullptr;

    // The entry is complete before it is stored.
    Ref entry = encoding_of(df_grp.get());
    if (!entry) return nullptr;
    Ref maps = rt::getattr(self, n::feature_value_maps);
    if (!maps || PyObject_SetItem(maps.get(), idx, entry.get()) < 0) return nullptr;

    // df[idx].map(self.feature_value_maps[idx]["map"]).values, the entry
    // read back from the attribute.
    Ref values = Ref::steal(PyObject_GetItem(df.get(), idx));
    if (!values) return nullptr;
    Ref map_method = rt::getattr(values.get(), n::map);
    if (!map_method) return nullptr;
    maps = rt::getattr(self, n::feature_value_maps);
    if (!maps) return nullptr;
    Ref stored = Ref::steal(PyObject_GetItem(maps.get(), idx));
    if (!stored) return nullptr;
    Ref value_to_code = Ref::steal(PyObject_GetItem(stored.get(), n::map));
    if (!value_to_code) return nullptr;
    Ref mapped = rt::call(map_method.get(), {value_to_code.get()});
    if (!mapped) return nullptr;
    return as_ndarray(rt::getattr(mapped.get(), n::values)).release();
}

}  // namespace tavrin::features
