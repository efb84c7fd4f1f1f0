// Calling into the interpreter: attribute access, calls and method calls
// through `self`, all returning owned references.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
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

// A call site's keyword names, made by the first use that succeeds and kept
// for the process; a use that fails raises and leaves the next to try again:
//   static KwNames kw{"ptype"};
//   PyObject* names = kw.get();
//   if (!names) return nullptr;
class KwNames {
public:
    KwNames(std::initializer_list<const char*> names);
    PyObject* get();

private:
    static constexpr std::size_t kMax = 4;
    const char* names_[kMax] = {};
    std::size_t count_ = 0;
    PyObject* tuple_ = nullptr;  // strong once made
};

}  // namespace tavrin::rt
