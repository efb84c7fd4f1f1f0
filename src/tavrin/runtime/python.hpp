// The one place that includes the interpreter's headers, with the
// version guards that let the same code build against 3.8 and later.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03080000
#error "tavrin needs CPython 3.8 or later"
#endif

#if PY_VERSION_HEX < 0x03090000
#define TAVRIN_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define TAVRIN_VECTORCALL _PyObject_Vectorcall
#define TAVRIN_INTERPRETER_OF(tstate) ((tstate)->interp)
#else
#define TAVRIN_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define TAVRIN_VECTORCALL PyObject_Vectorcall
#define TAVRIN_INTERPRETER_OF(tstate) PyThreadState_GetInterpreter(tstate)
#endif

// The module's one export. Before 3.9 PyMODINIT_FUNC does not mark the
// symbol visible, and the build hides everything else.
#if defined(__GNUC__)
#define TAVRIN_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define TAVRIN_MODINIT_FUNC PyMODINIT_FUNC
#endif

#if defined(__GNUC__)
#define TAVRIN_NOINLINE __attribute__((noinline))
#define TAVRIN_COLD __attribute__((cold, noinline))
#define TAVRIN_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define TAVRIN_NOINLINE
#define TAVRIN_COLD
#define TAVRIN_UNLIKELY(x) (x)
#endif
