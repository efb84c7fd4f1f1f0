// The row walk of predict and predict_proba in C++, for plain trees.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::predict {

// Answers predict (or, with `proba`, predict_proba) for the array `values`
// (X[feature_names].values) as the per-row calls of self._predict would.
// Returns 1 with `out` set, 0 when the step-by-step path must answer
// (nothing changed, no error set), -1 on error.
int fast_predict(PyObject* self, PyObject* values, bool proba, rt::Ref& out);

}  // namespace tavrin::predict
