// The collector pause: PyGC_Disable / PyGC_Enable where the C API has
// them (3.10+), the gc module's own functions before that.
#include "runtime/collector.hpp"

#include "runtime/ref.hpp"

namespace tavrin::rt {

#if PY_VERSION_HEX >= 0x030A0000

PauseCollector::PauseCollector() : paused_(PyGC_Disable() == 1) {}

PauseCollector::~PauseCollector() {
    if (paused_) PyGC_Enable();
}

#else

namespace {

// gc.<name>(); its result, or null with the error cleared.
Ref call_gc(const char* name) {
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref result = gc ? Ref::steal(PyObject_CallMethod(gc.get(), name, nullptr)) : Ref();
    if (!result) PyErr_Clear();
    return result;
}

}  // namespace

PauseCollector::PauseCollector() {
    // A pending exception must survive the calls made here.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref on = call_gc("isenabled");
    if (on && on.get() == Py_True) paused_ = static_cast<bool>(call_gc("disable"));
    PyErr_Restore(type, value, tb);
}

PauseCollector::~PauseCollector() {
    if (!paused_) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    call_gc("enable");
    PyErr_Restore(type, value, tb);
}

#endif

}  // namespace tavrin::rt
