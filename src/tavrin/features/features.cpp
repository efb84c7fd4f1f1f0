// Feature preparation (not built yet).
#include "features/features.hpp"

namespace tavrin::features {

static PyObject* not_built(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", what);
    return nullptr;
}

PyObject* prep_data(PyObject* const*) { return not_built("_prep_data"); }
PyObject* get_dtype(PyObject* const*) { return not_built("_get_dtype"); }
PyObject* format_categorical(PyObject* const*) { return not_built("_format_categorical"); }
PyObject* format_feature(PyObject* const*) { return not_built("_format_feature"); }

}  // namespace tavrin::features
