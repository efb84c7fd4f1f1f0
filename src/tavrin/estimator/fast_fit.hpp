// The fast path of fit: the whole tree grown in C++ with the interpreter
// lock released, when nothing that growth reaches has been replaced and
// the data are of a kind whose arithmetic it reproduces exactly.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::estimator {

// Grows the tree for the prepared (X, y) of `self` as the step-by-step
// growth (self._grow_tree(X, y)) would. Returns 1 with `tree` set, 0 when
// the fast path does not apply (nothing changed, no error set), -1 on
// error.
int fast_grow(PyObject* self, PyObject* X, PyObject* y, rt::Ref& tree);

}  // namespace tavrin::estimator
