// The method-object type. Layout and protocol follow the interpreter's own
// function objects: descriptor binding through tp_descr_get, vectorcall,
// a getset table for the dunder attributes, GC support, and a dealloc that
// untracks, clears and frees in that order.
#include "runtime/function.hpp"

#include "runtime/binding.hpp"
#include "runtime/globals.hpp"
#include "runtime/stack.hpp"
#include "runtime/traceback.hpp"

#include <cstddef>
#include <string>

namespace tavrin::rt {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* name;        // str
    PyObject* qualname;    // str
    PyObject* module;      // any object
    PyObject* doc;         // any object
    PyObject* defaults;    // tuple or null
    PyObject* kwdefaults;  // dict or null
    PyObject* code;        // code object for inspect
    PyObject* varnames;    // tuple of interned parameter names
    PyObject* tb_code;     // code object naming the traceback entry, made lazily
    PyObject* annotations; // dict, made lazily (inspect needs one)
    PyObject* dict;        // instance __dict__, made lazily
    PyObject* weakreflist;
    std::string* tb_name;  // "tavrin.<Class>.<method>"
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

extern PyTypeObject FunctionType;

TAVRIN_NOINLINE void add_function_traceback(Function* f) {
    if (!f->tb_code) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref code = make_code(f->def->file, f->tb_name->c_str(), f->def->line);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        if (!code) return;
        f->tb_code = code.release();
    }
    add_traceback(f->tb_code);
}

// Binds, runs the body, and names the error on the way out. The defaults
// tuple is held for the whole call: the body may run code that replaces
// __defaults__ while bound values still point into the old tuple.
PyObject* call_bound(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[kMaxParams];
    Ref defaults = Ref::borrow(f->defaults);
    Signature sig{f->def->name, f->varnames, f->def->nparams, defaults.get()};
    PyObject* result = nullptr;
    if (bind_arguments(sig, args, nargs, kwnames, values) == 0) {
        if (!stack_exhausted() && Py_EnterRecursiveCall(" while calling a Python object") == 0) {
            result = f->def->impl(values);
            Py_LeaveRecursiveCall();
        }
    }
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
        add_function_traceback(f);
    }
#ifndef NDEBUG
    else if (PyErr_Occurred()) {
        Py_FatalError("tavrin: a method returned a result with an exception set");
    }
#endif
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return call_bound(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// tp_call: keyword arguments arrive as a dict, whose keys may be anything
// when the call bypasses the interpreter's own checks; they are handed to
// the binder as they are, so a non-string key gets the module's message.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Function* f = as_function(self);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    // Too many positional arguments is reported before any keyword is read.
    if (nkw == 0 || nargs > f->def->nparams) return call_bound(f, positional, nargs, nullptr);
    // The keyword values are held by a tuple of our own rather than
    // borrowed from the dict, which the body could change.
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    if (!kwnames || !stack) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(positional[i]);
        PyTuple_SET_ITEM(stack.get(), i, positional[i]);
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(stack.get(), nargs + k, value);
        ++k;
    }
    return call_bound(f, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get());
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->tb_code);
    delete f->tb_name;
    PyObject_GC_Del(self);
}

// --- attributes -----------------------------------------------------------

PyObject* get_or_none(PyObject* v) {
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

PyObject* get_name(PyObject* self, void*) { return get_or_none(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return get_or_none(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return get_or_none(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return get_or_none(as_function(self)->kwdefaults); }
PyObject* get_code(PyObject* self, void*) { return get_or_none(as_function(self)->code); }

int set_string(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(&as_function(self)->qualname, value, "__qualname__");
}

int set_any(PyObject** slot, PyObject* value) {
    Py_XINCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}
int set_module(PyObject* self, PyObject* value, void*) { return set_any(&as_function(self)->module, value); }
int set_doc(PyObject* self, PyObject* value, void*) { return set_any(&as_function(self)->doc, value); }

// Sets an attribute that holds an object of one type or nothing (None).
int set_optional(PyObject** slot, PyObject* value, PyTypeObject* type, const char* what) {
    if (value == Py_None) value = nullptr;
    if (value && !PyObject_TypeCheck(value, type)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, type->tp_name);
        return -1;
    }
    return set_any(slot, value);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_optional(&as_function(self)->defaults, value, &PyTuple_Type, "__defaults__");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_optional(&as_function(self)->kwdefaults, value, &PyDict_Type, "__kwdefaults__");
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    return set_optional(&as_function(self)->annotations, value, &PyDict_Type, "__annotations__");
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(&PyType_Type, 0)
};

}  // namespace

int function_type_ready() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_name = "tavrin.function";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = function_call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | TAVRIN_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_weaklistoffset = offsetof(Function, weakreflist);
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    return PyType_Ready(&FunctionType);
}

Ref make_function(const MethodDef& def, const char* class_name) {
    Ref varnames = Ref::steal(PyTuple_New(def.nparams));
    if (!varnames) return nullptr;
    for (int i = 0; i < def.nparams; ++i) {
        PyObject* s = PyUnicode_InternFromString(def.params[i]);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, s);
    }
    Ref defaults;
    if (def.make_defaults) {
        defaults = def.make_defaults();
        if (!defaults) return nullptr;
    }
    Ref name = Ref::steal(PyUnicode_FromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, def.name));
    Ref module = Ref::steal(PyUnicode_FromString("tavrin"));
    if (!name || !qualname || !module) return nullptr;
    Ref code = make_code(def.file, def.name, def.line, varnames.get(), def.nparams);
    if (!code) return nullptr;

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = nullptr;
    f->defaults = defaults.release();
    f->kwdefaults = nullptr;
    f->code = code.release();
    f->varnames = varnames.release();
    f->tb_code = nullptr;
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->tb_name = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    try {
        f->tb_name = new std::string(std::string("tavrin.") + class_name + "." + def.name);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject_GC_Track(result.get());
    return result;
}

bool is_function_with(PyObject* obj, MethodImpl impl) {
    return Py_TYPE(obj) == &FunctionType && as_function(obj)->def->impl == impl;
}

bool resolves_to(PyObject* self, PyObject* name, MethodImpl impl) {
    Ref attr = Ref::steal(PyObject_GetAttr(self, name));
    if (!attr) {
        PyErr_Clear();
        return false;
    }
    return PyMethod_Check(attr.get()) && PyMethod_GET_SELF(attr.get()) == self &&
           is_function_with(PyMethod_GET_FUNCTION(attr.get()), impl);
}

}  // namespace tavrin::rt
