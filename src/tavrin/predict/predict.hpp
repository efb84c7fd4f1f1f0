// Prediction: labels and probability pairs for new rows.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::predict {

// predict(self, X)
PyObject* predict(PyObject* const* args);
// predict_proba(self, X)
PyObject* predict_proba(PyObject* const* args);
// _predict(self, inputs, ptype="class")
PyObject* predict_row(PyObject* const* args);

}  // namespace tavrin::predict
