// Feature preparation: column typing, the training schema and the
// per-node encoding of one feature.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::features {

// _prep_data(self, X, y)
PyObject* prep_data(PyObject* const* args);
// _get_dtype(self, X, d_type)
PyObject* get_dtype(PyObject* const* args);
// _format_categorical(self, X, y, idx)
PyObject* format_categorical(PyObject* const* args);
// _format_feature(self, X, y, idx)
PyObject* format_feature(PyObject* const* args);

}  // namespace tavrin::features
