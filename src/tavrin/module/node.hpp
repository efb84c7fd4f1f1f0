// The tree node record.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::module {

// Node.__init__(self, predicted_class, probability, node_type="leaf")
PyObject* node_init(PyObject* const* args);

}  // namespace tavrin::module
