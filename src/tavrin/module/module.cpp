// The module definition and what `import tavrin` does: multi-phase start-up
// with a create step and an execute step, the two process-wide records
// that guard them, and the module's own statements in order.
#include "module/classes.hpp"
#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

#include <cstdint>

namespace tavrin::module {

namespace {

using rt::Ref;

// The module object that completed (or is running) the execute step. It is
// the re-initialisation guard; a failed execute step clears it.
PyObject* g_initialised = nullptr;
// The first interpreter that created the module; -1 until then.
int64_t g_interpreter_id = -1;

int check_single_interpreter() {
    PyThreadState* tstate = PyThreadState_Get();
    int64_t id = PyInterpreterState_GetID(TAVRIN_INTERPRETER_OF(tstate));
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
        return id == -1 ? -1 : 0;
    }
    if (g_interpreter_id != id) {
        rt::raise_interpreter_change();
        return -1;
    }
    return 0;
}

// moddict[to] = spec.<from>; a missing attribute is skipped, and a None is
// skipped where `allow_none` is false.
int copy_spec_attr(PyObject* spec, PyObject* moddict, PyObject* from, PyObject* to,
                   bool allow_none) {
    Ref value = rt::getattr(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItem(moddict, to, value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (g_initialised) return Ref::borrow(g_initialised).release();
    if (rt::names::init() < 0) return nullptr;
    namespace n = rt::names;
    Ref modname = rt::getattr(spec, n::name);
    if (!modname) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(modname.get()));
    if (!module) return nullptr;
    PyObject* moddict = PyModule_GetDict(module.get());
    if (!moddict) return nullptr;
    if (copy_spec_attr(spec, moddict, n::loader, n::__loader__, true) < 0 ||
        copy_spec_attr(spec, moddict, n::origin, n::__file__, true) < 0 ||
        copy_spec_attr(spec, moddict, n::parent, n::__package__, true) < 0 ||
        copy_spec_attr(spec, moddict, n::submodule_search_locations, n::__path__, false) < 0) {
        return nullptr;
    }
    return module.release();
}

// Warns when the running interpreter's major.minor differs from the one the
// module was compiled for. Returns -1 if the warning was turned into an error.
int check_version() {
    char built_for[8];
    PyOS_snprintf(built_for, sizeof built_for, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    bool same = true;
    for (int i = 0; i < 8; ++i) {
        if (!built_for[i]) {
            same = running[i] < '0' || running[i] > '9';
            break;
        }
        if (running[i] != built_for[i]) {
            same = false;
            break;
        }
    }
    if (same) return 0;
    char running_short[8] = {0};
    bool dot = false;
    for (int i = 0; i < 7 && running[i]; ++i) {
        if (running[i] == '.') {
            if (dot) break;
            dot = true;
        } else if (running[i] < '0' || running[i] > '9') {
            break;
        }
        running_short[i] = running[i];
    }
    return rt::warn_version_mismatch(built_for, "tavrin", running_short);
}

// `import <name>` (absolute) bound as `as` in the module namespace.
int import_as(PyObject* dict, const char* name, PyObject* as) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(name, dict, nullptr, nullptr, 0));
    if (!module) return -1;
    return PyDict_SetItem(dict, as, module.get());
}

// `from pandas.api.types import <name>`, one statement per name.
int import_from(PyObject* dict, const char* from, PyObject* name) {
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return -1;
    Py_INCREF(name);
    PyList_SET_ITEM(fromlist.get(), 0, name);
    Ref module = Ref::steal(PyImport_ImportModuleLevel(from, dict, nullptr, fromlist.get(), 0));
    if (!module) return -1;
    Ref value = rt::getattr(module.get(), name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) rt::raise_cannot_import_name(name);
        return -1;
    }
    return PyDict_SetItem(dict, name, value.get());
}

// The module's own statements, in order.
int run_statements(PyObject* dict) {
    namespace n = rt::names;
    if (import_as(dict, "pandas", n::pd) < 0) return -1;
    if (import_as(dict, "numpy", n::np) < 0) return -1;
    if (rt::bind_numpy(PyDict_GetItem(dict, n::np)) < 0) return -1;
    PyObject* predicates[] = {n::is_datetime64_any_dtype, n::is_bool_dtype,
                              n::is_categorical_dtype,    n::is_numeric_dtype,
                              n::is_object_dtype,         n::is_string_dtype};
    for (PyObject* name : predicates) {
        if (import_from(dict, "pandas.api.types", name) < 0) return -1;
    }
    if (create_classes(dict) < 0) return -1;
    return rt::remember_bound({n::np, n::pd, n::Node, n::is_datetime64_any_dtype, n::is_bool_dtype,
                               n::is_categorical_dtype, n::is_numeric_dtype, n::is_object_dtype,
                               n::is_string_dtype});
}

int exec_steps(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) return -1;
    rt::set_module_dict(dict);
    if (rt::names::init() < 0) return -1;
    if (rt::cache_builtins() < 0) return -1;
    if (PyDict_SetItem(dict, rt::names::__builtins__, rt::builtins_module()) < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* present = PyDict_GetItemString(modules, "tavrin");
    if (!present && PyDict_SetItemString(modules, "tavrin", module) < 0) return -1;
    return run_statements(dict);
}

int exec(PyObject* module) {
    if (g_initialised) {
        if (g_initialised == module) return 0;
        rt::raise_reinitialisation();
        return -1;
    }
    if (check_version() < 0) return -1;
    Py_INCREF(module);
    g_initialised = module;
    if (exec_steps(module) == 0) return 0;
    if (PyErr_Occurred()) {
        rt::add_traceback("tavrin", "init tavrin", 1);
    } else {
        rt::raise_init_failed();
    }
    Py_CLEAR(g_initialised);
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tavrin",
    "\nCreated on Tue Jun 30 16:06:06 2020\n\n@author: the tavrin developers\n",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tavrin::module

TAVRIN_MODINIT_FUNC PyInit_tavrin(void) { return PyModuleDef_Init(&tavrin::module::g_def); }
