// Argument binding for method objects: positional arguments and keyword
// names (vectorcall convention) in, one value per parameter out, with the
// module's binding messages on failure.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

struct Signature {
    const char* func;      // bare name for messages
    PyObject* varnames;    // tuple of interned parameter names
    Py_ssize_t nparams;
    PyObject* defaults;    // tuple or null
};

// Fills out[0 .. nparams) with borrowed values (from args, kwvalues or
// defaults). `kwnames` is a tuple of keyword names (any objects) whose
// values follow the positional ones in `args`, or null. Returns -1 with
// TypeError set when the arguments do not fit.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

}  // namespace tavrin::rt
