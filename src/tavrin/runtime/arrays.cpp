// numpy array helpers.
#include "runtime/arrays.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"

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
        raise_unexpected_numpy();
        return -1;
    }
    Py_INCREF(numpy_module);
    Py_XSETREF(g_numpy, numpy_module);
    Py_XSETREF(g_ndarray, ndarray);
    return 0;
}

bool is_exact_ndarray(PyObject* obj) {
    return g_ndarray && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == g_ndarray;
}

Ref as_numpy_array(PyObject* values) {
    if (g_ndarray && PyObject_TypeCheck(values, reinterpret_cast<PyTypeObject*>(g_ndarray))) {
        return Ref::borrow(values);
    }
    Ref asarray = Ref::steal(PyObject_GetAttrString(g_numpy, "asarray"));
    if (!asarray) return nullptr;
    return call(asarray.get(), {values});
}

Ref enter_invalid_ignored() {
    Ref errstate_type = Ref::steal(PyObject_GetAttrString(g_numpy, "errstate"));
    if (!errstate_type) return nullptr;
    static KwNames kw_names{"invalid"};
    PyObject* kw = kw_names.get();
    if (!kw) return nullptr;
    Ref ignore = Ref::steal(PyUnicode_FromString("ignore"));
    if (!ignore) return nullptr;
    Ref state = call(errstate_type.get(), {ignore.get()}, kw);
    if (!state) return nullptr;
    Ref entered = Ref::steal(PyObject_CallMethod(state.get(), "__enter__", nullptr));
    if (!entered) return nullptr;
    return state;
}

int leave_invalid_ignored(PyObject* state) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref left = Ref::steal(PyObject_CallMethod(state, "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (type) {
        PyErr_Restore(type, value, tb);  // the guarded step's own error wins
        return -1;
    }
    return left ? 0 : -1;
}

Ref less_than_quietly(PyObject* values, PyObject* threshold) {
    return invalid_ignored([&] { return Ref::steal(PyObject_RichCompare(values, threshold, Py_LT)); });
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
