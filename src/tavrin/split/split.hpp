// Split search: the typed Gini scan and the two best-split searches.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::split {

// BinaryClassificationTree._gini_loop(self, classes, num_left, num_right,
//     best_gini, thresholds, best_idx, idx, split_type, best_split_type, best_thr)
PyObject* gini_loop(PyObject* const* args);
// BinaryClassificationTree._best_split(self, X, y)
PyObject* best_split(PyObject* const* args);
// BinaryClassificationTreePy._best_split(self, X, y)
PyObject* best_split_inline(PyObject* const* args);

}  // namespace tavrin::split
