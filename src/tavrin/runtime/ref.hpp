// Ref: a move-only owner of one strong reference.
//
// A raw PyObject* in this code base is always borrowed; a function that
// hands out a new reference returns Ref. Ref(nullptr) is the error value:
// the caller checks it and returns at once, with the exception still set.
#pragma once

#include "runtime/python.hpp"

#include <utility>

namespace tavrin::rt {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (which may be null, meaning an error).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.ptr_ = p;
        return r;
    }
    // Adds a reference of its own to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, who now owns it.
    PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

// The None singleton as a new reference, for methods that return None.
inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace tavrin::rt
