// Strict unpacking.
#include "runtime/unpack.hpp"

#include "runtime/errors.hpp"

namespace tavrin::rt {

int unpack(PyObject* seq, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size != n) {
            if (size > n) raise_too_many_values(n);
            else raise_need_more_values(size);
            return -1;
        }
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_need_more_values(i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        raise_too_many_values(n);
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tavrin::rt
