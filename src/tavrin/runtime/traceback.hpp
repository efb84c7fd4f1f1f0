// Traceback entries for errors leaving the module's code.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

// A code object that names a traceback entry (and, with parameter names,
// describes a method's signature to inspect). Returns null on failure.
Ref make_code(const char* file, const char* name, int line, PyObject* varnames = nullptr,
              int argcount = 0);

// Adds an entry for `code` to the traceback of the exception being raised.
// The exception stays as it is; if the entry cannot be made, it is left out.
void add_traceback(PyObject* code);

// Same, for an entry made from a name, a file and a line.
void add_traceback(const char* file, const char* name, int line);

}  // namespace tavrin::rt
