// Split search (not built yet).
#include "split/split.hpp"

namespace tavrin::split {

static PyObject* not_built(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", what);
    return nullptr;
}

PyObject* gini_loop(PyObject* const*) { return not_built("_gini_loop"); }
PyObject* best_split(PyObject* const*) { return not_built("_best_split"); }
PyObject* best_split_inline(PyObject* const*) { return not_built("_best_split"); }

}  // namespace tavrin::split
