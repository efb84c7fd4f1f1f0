// Interned strings for every attribute, global and keyword name the module
// uses, made once when the module executes and kept for the process.
#pragma once

#include "runtime/python.hpp"

#define TAVRIN_NAMES(X)                                                       \
    X(np) X(pd) X(Node) X(is_datetime64_any_dtype) X(is_bool_dtype)           \
    X(is_categorical_dtype) X(is_numeric_dtype) X(is_object_dtype)            \
    X(is_string_dtype) X(__module__) X(__qualname__) X(__builtins__)          \
    X(predicted_class) X(feature_index) X(threshold) X(left) X(right)         \
    X(node_type) X(probability) X(max_depth) X(n_classes_) X(tree_)           \
    X(_prep_data) X(_get_dtype) X(_format_categorical) X(_format_feature)     \
    X(_best_split) X(_gini_loop) X(_grow_tree) X(_predict)                    \
    X(feature_names) X(classes) X(numeric_features) X(string_features)        \
    X(categorical_features) X(date_features) X(bool_features) X(feature_map)  \
    X(rev_feature_map) X(taget_map) X(rev_taget_map) X(feature_value_maps)    \
    X(columns) X(values) X(map) X(size) X(index) X(unique) X(sum) X(argmax)   \
    X(array) X(copy) X(nan) X(dtype) X(DataFrame) X(Series) X(groupby) X(y)   \
    X(mean) X(sort_values) X(keys) X(ptype) X(inf) X(rev_map) X(name)         \
    X(loader) X(origin) X(parent) X(submodule_search_locations) X(__loader__) \
    X(__file__) X(__package__) X(__path__) X(asarray) X(ndarray) X(filters)   \
    X(argsort) X(tolist) X(zeros) X(kind) X(isna) X(any) X(to_numpy)      \
    X(iloc) X(codes) X(categories) X(Categorical) X(CategoricalDtype)       \
    X(from_codes) X(astype) X(fget) X(Int64Dtype) X(ArrowDtype) X(dtypes) X(items)

// Words the module passes as values whose text is not a usable C++
// identifier (`bool`) or reads better with a prefix: (identifier, text).
#define TAVRIN_WORDS(X)                                                       \
    X(word_numeric, "numeric") X(word_string, "string")                       \
    X(word_categorical, "categorical") X(word_date, "date")                   \
    X(word_bool, "bool") X(word_class, "class") X(word_prob, "prob")

namespace tavrin::rt::names {

#define TAVRIN_DECLARE_NAME(n) extern PyObject* n;
TAVRIN_NAMES(TAVRIN_DECLARE_NAME)
#undef TAVRIN_DECLARE_NAME
#define TAVRIN_DECLARE_WORD(n, text) extern PyObject* n;
TAVRIN_WORDS(TAVRIN_DECLARE_WORD)
#undef TAVRIN_DECLARE_WORD

// Interns all names; safe to call again (a name made once is kept).
int init();

}  // namespace tavrin::rt::names
