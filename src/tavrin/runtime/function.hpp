// The method-object type: a function object of the module that behaves like
// a plain Python function stored in a class. It binds `self` when looked up
// on an instance, is called by vectorcall, binds its parameters with the
// module's argument messages, carries __name__, __qualname__, __module__,
// __doc__, __defaults__, __kwdefaults__ and a real __code__ (so that
// inspect.signature and help() see its parameters), and adds the traceback
// entry "tavrin.<qualname>" to every error that leaves it.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

constexpr int kMaxParams = 16;

// The C++ body of a method. `args` holds every parameter, `self` first, in
// declaration order, all bound (borrowed, never null). Returns a new
// reference or null with an exception set.
using MethodImpl = PyObject* (*)(PyObject* const* args);

struct MethodDef {
    const char* name;           // bare method name, used in binding messages
    const char* const* params;  // parameter names, `self` first
    int nparams;
    MethodImpl impl;
    Ref (*make_defaults)();  // builds the __defaults__ tuple; null: no defaults
    const char* file;        // where the body lives, for traceback entries
    int line;
};

// Makes the method object for `def` as a member of class `class_name`.
Ref make_function(const MethodDef& def, const char* class_name);

// True when `obj` is a method object of this module running `impl`.
bool is_function_with(PyObject* obj, MethodImpl impl);

// True when getattr(self, name) is a method object of this module running
// `impl`, bound to `self`: nothing on the instance or a subclass replaces
// it. A failed lookup counts as false (its error is cleared).
bool resolves_to(PyObject* self, PyObject* name, MethodImpl impl);

int function_type_ready();

}  // namespace tavrin::rt
