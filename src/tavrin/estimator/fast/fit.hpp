// The fast path of fit: the whole tree grown in C++ with the interpreter
// lock released, when nothing that growth reaches has been replaced and
// the data are of a kind whose arithmetic it reproduces exactly.
#pragma once

#include "runtime/frame.hpp"
#include "runtime/ref.hpp"

namespace tavrin::estimator {

// Grows the tree for the prepared (X, y) of `self` as the step-by-step
// growth (self._grow_tree(X, y)) would. Returns 1 with `tree` set, 0 when
// the fast path does not apply (nothing changed, no error set), -1 on
// error. With `frame`, X is the frame that `frame` has read, standing for
// the matrix of its values.
int fast_grow(PyObject* self, PyObject* X, PyObject* y, rt::Ref& tree,
              const rt::FrameColumns* frame = nullptr);

// True when fit may grow the tree from the frame X read in place (into
// `frame`) without taking X.values: the preparation and growth are the
// module's own and the frame is of the kind runtime/frame reads.
bool reads_frame_in_place(PyObject* self, PyObject* X, rt::FrameColumns& frame);

}  // namespace tavrin::estimator
