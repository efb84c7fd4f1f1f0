// The module namespace as methods see it: globals read at each use (module
// dict first, then the builtins module), and the builtins that the methods
// call, looked up once when the module executes.
#pragma once

#include "runtime/ref.hpp"

#include <initializer_list>

namespace tavrin::rt {

// Binds the namespace that methods read from. Called by the execute step
// with the module's dict; the reference is kept for the process.
void set_module_dict(PyObject* dict);
PyObject* module_dict();  // borrowed; null before the module executes

// The value bound to `name` in the module namespace at this moment, else
// the builtins module's attribute of that name, else NameError.
Ref global(PyObject* name);

// Remembers the objects the module namespace binds to `names` now (at
// import), so that a fast path can tell whether they are still bound.
int remember_bound(std::initializer_list<PyObject*> names);
// True when every remembered name is still bound, in the module dict, to
// the object it had when remembered.
bool bound_as_remembered();

// Builtins fixed at import: later rebinding in `builtins` does not reach
// the methods.
struct Builtins {
    PyObject* zip = nullptr;
    PyObject* range = nullptr;
    PyObject* sum = nullptr;
    PyObject* ValueError = nullptr;
};
const Builtins& builtins();
PyObject* builtins_module();  // borrowed
int cache_builtins();

}  // namespace tavrin::rt
