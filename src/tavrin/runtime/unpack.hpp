// Strict unpacking of a method's tuple result into exactly n values.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

// A tuple or list (exact types) is read directly; anything else is iterated.
// Fewer or more than n items raise ValueError with the unpacking messages.
int unpack(PyObject* seq, Py_ssize_t n, Ref* out);

}  // namespace tavrin::rt
