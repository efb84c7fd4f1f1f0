// Feature preparation: column typing, the training schema and the
// per-node encoding of one feature.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::features {

// _prep_data(self, X, y)
PyObject* prep_data(PyObject* const* args);
// What _prep_data(X, y) does except for taking X.values: the schema
// stored on the estimator; returns the class codes. For a frame whose
// `values` nothing can observe (see runtime/frame.hpp).
rt::Ref prep_without_values(PyObject* self, PyObject* X, PyObject* y);
// The training matrix as _prep_data takes it from the frame X.
rt::Ref prepared_values(PyObject* X);
// _get_dtype(self, X, d_type)
PyObject* get_dtype(PyObject* const* args);
// _format_categorical(self, X, y, idx)
PyObject* format_categorical(PyObject* const* args);
// _format_feature(self, X, y, idx)
PyObject* format_feature(PyObject* const* args);

}  // namespace tavrin::features
