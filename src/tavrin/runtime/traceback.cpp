// Traceback entries: a frame made for a code object of ours is pushed onto
// the traceback of the pending exception. Nothing is built until an error
// happens.
#include "runtime/traceback.hpp"

#include "runtime/globals.hpp"

namespace tavrin::rt {

Ref make_code(const char* file, const char* name, int line, PyObject* varnames,
              int argcount) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line)));
    if (!code || !varnames) return code;
    // An empty code object of the right shape: its argument count and local
    // names are what inspect reads to build a signature.
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:O,s:i}", "co_argcount", argcount,
                                          "co_varnames", varnames, "co_nlocals",
                                          static_cast<int>(PyTuple_GET_SIZE(varnames))));
    if (!kwargs) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

void add_traceback(PyObject* code) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* globals = module_dict();
    Ref scratch;
    if (!globals) {
        scratch = Ref::steal(PyDict_New());
        globals = scratch.get();
    }
    PyFrameObject* frame = nullptr;
    if (globals) frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    PyErr_Clear();  // an entry that cannot be made is left out
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void add_traceback(const char* file, const char* name, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = make_code(file, name, line);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (code) add_traceback(code.get());
}

}  // namespace tavrin::rt
