// BufferView: one typed, one-dimensional, writable buffer of an object,
// acquired through the buffer protocol, checked, and released on scope exit.
#pragma once

#include "kernels/strided.hpp"
#include "runtime/ref.hpp"

namespace tavrin::rt {

// The element types a view can require. An element matches by kind and
// size: a signed integer of sizeof(long) bytes is a long ('l', or 'q' where
// long long has the same size), an 8-byte float is a double.
enum class Element { c_long, c_double };

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Acquires a writable, strided buffer of `obj` and checks that it is
    // one-dimensional with elements of `type`. Returns -1 with the error
    // set: the provider's own (no buffer protocol, read-only), or ValueError
    // for a wrong number of dimensions or a wrong element type.
    int acquire(PyObject* obj, Element type);
    void release();

    Py_ssize_t size() const { return view_.shape ? view_.shape[0] : 0; }

    template <class T>
    kernels::Strided<T> items() const {
        return kernels::Strided<T>(view_.buf, stride_, size());
    }

private:
    Py_buffer view_{};
    Py_ssize_t stride_ = 0;
    bool held_ = false;
};

}  // namespace tavrin::rt
