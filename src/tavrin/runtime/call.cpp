// Vectorcall helpers. Arguments are laid out after one spare slot so that a
// bound method can put `self` in front without copying.
#include "runtime/call.hpp"

#include "runtime/globals.hpp"

namespace tavrin::rt {

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    constexpr size_t kMax = 16;
    PyObject* stack[kMax + 1];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(TAVRIN_VECTORCALL(callable, stack + 1,
                                        (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    Ref method = getattr(obj, name);
    if (!method) return nullptr;
    return call(method.get(), args, kwnames);
}

Ref call_global(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref callable = global(name);
    if (!callable) return nullptr;
    return call(callable.get(), args, kwnames);
}

Ref call_global_attr(PyObject* module_name, PyObject* attr,
                     std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref module = global(module_name);
    if (!module) return nullptr;
    return call_method(module.get(), attr, args, kwnames);
}

KwNames::KwNames(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (count_ < kMax) names_[count_++] = name;
}

PyObject* KwNames::get() {
    if (tuple_) return tuple_;
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count_)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < count_; ++i) {
        PyObject* s = PyUnicode_InternFromString(names_[i]);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), s);
    }
    tuple_ = tuple.release();
    return tuple_;
}

}  // namespace tavrin::rt
