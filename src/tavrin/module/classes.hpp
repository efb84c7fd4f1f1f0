// The module's three classes, made by calling `type`.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::module {

// Creates Node, BinaryClassificationTree and BinaryClassificationTreePy in
// that order and binds each in the module namespace `dict`.
int create_classes(PyObject* dict);

}  // namespace tavrin::module
