// The row walk of predict and predict_proba in C++, for plain trees.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::predict {

// Answers predict (or, with `proba`, predict_proba) for the array `values`
// (X[feature_names].values) as the per-row calls of self._predict would.
// Returns 1 with `out` set, 0 when the step-by-step path must answer
// (nothing changed, no error set), -1 on error.
int fast_predict(PyObject* self, PyObject* values, bool proba, rt::Ref& out);

// The same for the frame X[feature_names] itself, read in place where its
// `values` would be an object matrix (see runtime/frame.hpp), so that the
// matrix is never made.
int fast_predict_frame(PyObject* self, PyObject* frame, bool proba, rt::Ref& out);

}  // namespace tavrin::predict
