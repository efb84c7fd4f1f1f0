// ReadView: a read-only, strided buffer of a numpy array held for the
// view's lifetime, with its element kind reduced to the few the fast paths
// read: 'd' (float64), 'l' (int64), '?' (bool), 'O' (objects), and 'b',
// 'h', 'i' for the signed 8-, 16- and 32-bit integers of category codes.
#pragma once

#include "runtime/python.hpp"

#include <cstring>

namespace tavrin::rt {

class ReadView {
public:
    ReadView() = default;
    ReadView(const ReadView&) = delete;
    ReadView& operator=(const ReadView&) = delete;
    ~ReadView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False (error cleared) when `obj` offers no such buffer.
    bool acquire(PyObject* obj) {
        if (held_) return false;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return false;
        }
        return held_ = true;
    }

    // The element kind, or '\0' for any other.
    char format() const {
        const char* f = view_.format ? view_.format : "B";
        if (f[0] == '\0' || f[1] != '\0') return '\0';
        const Py_ssize_t size = view_.itemsize;
        switch (f[0]) {
            case 'd': return size == 8 ? 'd' : '\0';
            case 'l': case 'q': return size == 8 ? 'l' : '\0';
            case '?': return size == 1 ? '?' : '\0';
            case 'O': return size == static_cast<Py_ssize_t>(sizeof(PyObject*)) ? 'O' : '\0';
            case 'b': return size == 1 ? 'b' : '\0';
            case 'h': return size == 2 ? 'h' : '\0';
            case 'i': return size == 4 ? 'i' : '\0';
            default: return '\0';
        }
    }

    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    Py_ssize_t stride(int axis) const { return view_.strides[axis]; }
    const char* item(Py_ssize_t i, Py_ssize_t j = 0) const {
        return static_cast<const char*>(view_.buf) + i * view_.strides[0] +
               (view_.ndim > 1 ? j * view_.strides[1] : 0);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace tavrin::rt
