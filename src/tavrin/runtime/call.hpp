// Calling into the interpreter: attribute access, calls and method calls
// through `self`, all returning owned references.
#pragma once

#include "runtime/ref.hpp"

#include <initializer_list>

namespace tavrin::rt {

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline int setattr(PyObject* obj, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value);
}

// callable(*args, **dict(zip(kwnames, trailing args))). `kwnames` is a
// tuple of keyword names for the last len(kwnames) arguments, or null.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// getattr(obj, name)(*args): the attribute is looked up afresh, so an
// override on a subclass or on the instance is what gets called.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

// A module global looked up now (see globals.hpp), then called.
Ref call_global(PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

// getattr(global(module_name), attr)(*args), e.g. np.sum(x).
Ref call_global_attr(PyObject* module_name, PyObject* attr,
                     std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// A tuple of interned keyword names, made once per call site:
//   static PyObject* kw = kwnames({"ptype"});
// Returns null (with the error set) only if the first making fails.
PyObject* kwnames(std::initializer_list<const char*> names);

}  // namespace tavrin::rt
