// Prediction (not built yet).
#include "predict/predict.hpp"

namespace tavrin::predict {

static PyObject* not_built(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", what);
    return nullptr;
}

PyObject* predict(PyObject* const*) { return not_built("predict"); }
PyObject* predict_proba(PyObject* const*) { return not_built("predict_proba"); }
PyObject* predict_row(PyObject* const*) { return not_built("_predict"); }

}  // namespace tavrin::predict
