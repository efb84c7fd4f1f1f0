// numpy array helpers.
#include "runtime/arrays.hpp"

#include "runtime/call.hpp"

namespace tavrin::rt {

namespace {
PyObject* g_numpy = nullptr;    // strong, numpy as imported at start-up
PyObject* g_ndarray = nullptr;  // strong, numpy.ndarray
}  // namespace

int bind_numpy(PyObject* numpy_module) {
    PyObject* ndarray = PyObject_GetAttrString(numpy_module, "ndarray");
    if (!ndarray) return -1;
    if (!PyType_Check(ndarray)) {
        Py_DECREF(ndarray);
        PyErr_SetString(PyExc_ImportError, "numpy.ndarray is not a type");
        return -1;
    }
    Py_INCREF(numpy_module);
    Py_XSETREF(g_numpy, numpy_module);
    Py_XSETREF(g_ndarray, ndarray);
    return 0;
}

Ref as_numpy_array(PyObject* values) {
    if (g_ndarray && PyObject_TypeCheck(values, reinterpret_cast<PyTypeObject*>(g_ndarray))) {
        return Ref::borrow(values);
    }
    Ref asarray = Ref::steal(PyObject_GetAttrString(g_numpy, "asarray"));
    if (!asarray) return nullptr;
    return call(asarray.get(), {values});
}

bool bool_mask_is_one_sided(PyObject* mask) {
    if (!g_ndarray || !PyObject_TypeCheck(mask, reinterpret_cast<PyTypeObject*>(g_ndarray))) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(mask, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
        PyErr_Clear();  // not a plain buffer: no verdict
        return false;
    }
    bool one_sided = false;
    const char* fmt = view.format ? view.format : "B";
    if (view.ndim == 1 && view.itemsize == 1 && (fmt[0] == '?' && fmt[1] == '\0')) {
        Py_ssize_t n = view.shape[0], stride = view.strides[0], trues = 0;
        const char* p = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < n; ++i) trues += p[i * stride] != 0;
        one_sided = trues == 0 || trues == n;
    }
    PyBuffer_Release(&view);
    return one_sided;
}

}  // namespace tavrin::rt
