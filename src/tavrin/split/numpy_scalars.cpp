// numpy scalar recognition and the one-time check of the interpreter's
// arithmetic against the kernels' model of it.
#include "split/numpy_scalars.hpp"

#include "runtime/errors.hpp"

#include "kernels/class_sweep.hpp"
#include "runtime/call.hpp"

#include <cmath>

namespace tavrin::split {

namespace {

using rt::Ref;

NumpyScalars g_scalars;
bool g_ready = false;

// One quotient a / b checked through the interpreter: as Python ints, and
// as numpy.int64 over a Python int, each squared with `** 2`. 1 when both
// give what the kernels compute, 0 when not, -1 with the error of an
// operation that failed.
int quotient_agrees(const NumpyScalars& ns, long a, long b) {
    const double q = static_cast<double>(a) / static_cast<double>(b);
    const double square = kernels::float_power_square(q);
    Ref pa = Ref::steal(PyLong_FromLong(a));
    Ref pb = Ref::steal(PyLong_FromLong(b));
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!pa || !pb || !two) return -1;
    Ref na = rt::call(ns.int64, {pa.get()});
    if (!na) return -1;
    if (Py_TYPE(na.get()) != reinterpret_cast<PyTypeObject*>(ns.int64)) return 0;
    struct {
        PyObject* numerator;
        PyObject* quotient_type;
    } cases[] = {{pa.get(), reinterpret_cast<PyObject*>(&PyFloat_Type)},
                 {na.get(), ns.float64}};
    for (const auto& c : cases) {
        Ref quotient = Ref::steal(PyNumber_TrueDivide(c.numerator, pb.get()));
        if (!quotient) return -1;
        if (reinterpret_cast<PyObject*>(Py_TYPE(quotient.get())) != c.quotient_type ||
            PyFloat_AS_DOUBLE(quotient.get()) != q)
            return 0;
        Ref sq = Ref::steal(PyNumber_Power(quotient.get(), two.get(), Py_None));
        if (!sq) return -1;
        if (reinterpret_cast<PyObject*>(Py_TYPE(sq.get())) != c.quotient_type ||
            PyFloat_AS_DOUBLE(sq.get()) != square)
            return 0;
    }
    return 1;
}

// Checks quotients on which pow(q, 2.0) and q * q differ (so a squaring
// shortcut in either library would show) and a few on which they agree.
// 1 / 0 as they agree, -1 on error: an error is no answer, so nothing of
// it may be remembered.
int arithmetic_agrees(const NumpyScalars& ns) {
    int differing = 0, plain = 0;
    for (long a = 1; a < 2000 && differing < 24; ++a) {
        for (long b = a + 1; b < a + 40 && differing < 24; ++b) {
            const double q = static_cast<double>(a) / static_cast<double>(b);
            const bool differs = kernels::float_power_square(q) != q * q;
            if (!differs && plain >= 8) continue;
            const int agrees = quotient_agrees(ns, a, b);
            if (agrees <= 0) return agrees;
            (differs ? differing : plain) += 1;
        }
    }
    return differing > 0 ? 1 : 0;
}

}  // namespace

const NumpyScalars* numpy_scalars() {
    if (g_ready) return &g_scalars;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref float64 = Ref::steal(PyObject_GetAttrString(numpy.get(), "float64"));
    if (!float64) return nullptr;
    Ref int64 = Ref::steal(PyObject_GetAttrString(numpy.get(), "int64"));
    if (!int64) return nullptr;
    Ref floating = Ref::steal(PyObject_GetAttrString(numpy.get(), "floating"));
    if (!floating) return nullptr;
    if (!PyType_Check(float64.get()) || !PyType_Check(int64.get()) || !PyType_Check(floating.get()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(float64.get()), &PyFloat_Type)) {
        rt::raise_unexpected_numpy();
        return nullptr;
    }
    NumpyScalars found;
    found.float64 = float64.get();
    found.int64 = int64.get();
    found.floating = floating.get();
    // A check that fails raises, and the next call checks again.
    const int agrees = arithmetic_agrees(found);
    if (agrees < 0) return nullptr;
    found.kernel_arithmetic = agrees == 1;
    float64.release();
    int64.release();
    floating.release();
    g_scalars = found;
    g_ready = true;
    return &g_scalars;
}

int is_float_nan(PyObject* v, const NumpyScalars& ns) {
    if (PyFloat_Check(v)) return std::isnan(PyFloat_AS_DOUBLE(v)) ? 1 : 0;
    if (!PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(ns.floating))) return 0;
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    return std::isnan(d) ? 1 : 0;
}

NumberKey number_key(PyObject* v, const NumpyScalars& ns) {
    NumberKey key;
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyFloat_Type || type == reinterpret_cast<PyTypeObject*>(ns.float64)) {
        // numpy.float64 derives from float and keeps its value where float does.
        key.kind = NumberKey::real;
        key.real_value = PyFloat_AS_DOUBLE(v);
    } else if (type == &PyLong_Type || type == &PyBool_Type ||
               type == reinterpret_cast<PyTypeObject*>(ns.int64)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();  // not read here; the interpreter will compare it
            return key;
        }
        if (overflow) return key;
        key.kind = NumberKey::integer;
        key.int_value = value;
    }
    return key;
}

int values_equal(PyObject* a, const NumberKey& ka, PyObject* b, const NumberKey& kb) {
    if (ka.kind == NumberKey::real && kb.kind == NumberKey::real)
        return ka.real_value == kb.real_value ? 1 : 0;
    if (ka.kind == NumberKey::integer && kb.kind == NumberKey::integer)
        return ka.int_value == kb.int_value ? 1 : 0;
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

}  // namespace tavrin::split
