// Recursive tree growth: one call per node.
#include "estimator/estimator.hpp"

namespace tavrin::estimator {

PyObject* grow_tree(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "tree growth is not built yet");
    return nullptr;
}

}  // namespace tavrin::estimator
