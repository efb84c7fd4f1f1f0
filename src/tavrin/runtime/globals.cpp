// Module-global and builtin name resolution.
#include "runtime/globals.hpp"

#include "runtime/errors.hpp"

namespace tavrin::rt {

namespace {
PyObject* g_module_dict = nullptr;  // strong, replaced by a later execute step
PyObject* g_builtins_module = nullptr;  // strong, kept for the process
Builtins g_builtins;                 // strong references, kept for the process
constexpr int kMaxRemembered = 16;
PyObject* g_remembered_names[kMaxRemembered];   // strong, kept for the process
PyObject* g_remembered_values[kMaxRemembered];  // strong, kept for the process
int g_remembered = 0;
}  // namespace

void set_module_dict(PyObject* dict) {
    Py_INCREF(dict);
    Py_XSETREF(g_module_dict, dict);
}

PyObject* module_dict() { return g_module_dict; }

Ref global(PyObject* name) {
    if (g_module_dict) {
        PyObject* v = PyDict_GetItemWithError(g_module_dict, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return nullptr;
    }
    if (g_builtins_module) {
        Ref v = Ref::steal(PyObject_GetAttr(g_builtins_module, name));
        if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
        PyErr_Clear();
    }
    return raise_name_error(name);
}

int remember_bound(std::initializer_list<PyObject*> names) {
    for (PyObject* name : names) {
        if (g_remembered == kMaxRemembered) {
            PyErr_SetString(PyExc_SystemError, "too many remembered globals");
            return -1;
        }
        PyObject* v = g_module_dict ? PyDict_GetItemWithError(g_module_dict, name) : nullptr;
        if (!v) {
            if (!PyErr_Occurred()) raise_name_error(name);
            return -1;
        }
        Py_INCREF(name);
        Py_INCREF(v);
        g_remembered_names[g_remembered] = name;
        g_remembered_values[g_remembered] = v;
        ++g_remembered;
    }
    return 0;
}

bool bound_as_remembered() {
    if (!g_module_dict || g_remembered == 0) return false;
    for (int k = 0; k < g_remembered; ++k) {
        // Names are interned strings, so the lookup runs no Python code.
        PyObject* v = PyDict_GetItemWithError(g_module_dict, g_remembered_names[k]);
        if (v != g_remembered_values[k]) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

const Builtins& builtins() { return g_builtins; }
PyObject* builtins_module() { return g_builtins_module; }

int cache_builtins() {
    PyObject* mod = PyImport_AddModule("builtins");  // borrowed
    if (!mod) return -1;
    Py_INCREF(mod);
    Py_XSETREF(g_builtins_module, mod);
    struct Item {
        const char* name;
        PyObject** slot;
    } items[] = {{"zip", &g_builtins.zip},
                 {"range", &g_builtins.range},
                 {"sum", &g_builtins.sum},
                 {"ValueError", &g_builtins.ValueError}};
    for (auto& item : items) {
        PyObject* v = PyObject_GetAttrString(mod, item.name);
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                Ref n = Ref::steal(PyUnicode_FromString(item.name));
                if (n) raise_name_error(n.get());
            }
            return -1;
        }
        Py_XSETREF(*item.slot, v);
    }
    return 0;
}

}  // namespace tavrin::rt
