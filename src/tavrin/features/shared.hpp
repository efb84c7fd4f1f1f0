// Small expressions that the preparation and formatting steps share, each
// evaluated as the interpreter would evaluate it, through the module's
// globals and the builtins fixed at import.
#pragma once

#include "runtime/names.hpp"
#include "runtime/ref.hpp"

#include <array>

namespace tavrin::features {

// One kind of feature: its kind word, the module global holding its dtype
// predicate, and the estimator attribute that keeps its column labels.
struct FeatureKind {
    PyObject* word;
    PyObject* predicate;
    PyObject* attribute;
};

// The five kinds, in the order of the kind table and of the attributes.
inline std::array<FeatureKind, 5> feature_kinds() {
    namespace n = rt::names;
    return {{
        {n::word_numeric, n::is_numeric_dtype, n::numeric_features},
        {n::word_string, n::is_string_dtype, n::string_features},
        {n::word_categorical, n::is_categorical_dtype, n::categorical_features},
        {n::word_date, n::is_datetime64_any_dtype, n::date_features},
        {n::word_bool, n::is_bool_dtype, n::bool_features},
    }};
}

// dict(zip(keys, values)), with the builtin zip fixed at import.
rt::Ref dict_of_zip(PyObject* keys, PyObject* values);

// range(len(obj)), with the builtin range fixed at import.
rt::Ref range_of_len(PyObject* obj);

// obj itself when it is a numpy array (np.ndarray of the module global
// `np`), else np.asarray(obj). Newer pandas hands back extension arrays in
// places where a numpy array is what callers are promised.
rt::Ref as_ndarray(rt::Ref obj);

// The frame's values with its missing values kept. pandas gives a frame of
// integer columns and integer categories with missing values an integer
// array, in which a missing category becomes the smallest int64: a value
// that looks real. Then (and only then) the values are taken again as an
// object array, X.to_numpy(dtype=object), which keeps NaN.
rt::Ref keep_missing_values(PyObject* X, rt::Ref values);

// X[:, idx]
rt::Ref column_at(PyObject* X, PyObject* idx);

}  // namespace tavrin::features
