// The estimator's own steps: construction, fit and tree growth.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::estimator {

// __init__(self, max_depth=inf)
PyObject* init(PyObject* const* args);
// fit(self, X, y)
PyObject* fit(PyObject* const* args);
// BinaryClassificationTree.fit(self, X, y): fit, warning first when y has
// more than two classes.
PyObject* fit_two_label_scan(PyObject* const* args);
// _grow_tree(self, X, y, depth=0)
PyObject* grow_tree(PyObject* const* args);

}  // namespace tavrin::estimator
