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
// as numpy.int64 over a Python int, each squared with `** 2`.
bool quotient_agrees(long a, long b) {
    const double q = static_cast<double>(a) / static_cast<double>(b);
    const double square = kernels::float_power_square(q);
    Ref pa = Ref::steal(PyLong_FromLong(a));
    Ref pb = Ref::steal(PyLong_FromLong(b));
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!pa || !pb || !two) return false;
    Ref na = rt::call(g_scalars.int64, {pa.get()});
    if (!na || Py_TYPE(na.get()) != reinterpret_cast<PyTypeObject*>(g_scalars.int64))
        return false;
    struct {
        PyObject* numerator;
        PyObject* quotient_type;
    } cases[] = {{pa.get(), reinterpret_cast<PyObject*>(&PyFloat_Type)},
                 {na.get(), g_scalars.float64}};
    for (const auto& c : cases) {
        Ref quotient = Ref::steal(PyNumber_TrueDivide(c.numerator, pb.get()));
        if (!quotient || reinterpret_cast<PyObject*>(Py_TYPE(quotient.get())) != c.quotient_type ||
            PyFloat_AS_DOUBLE(quotient.get()) != q)
            return false;
        Ref sq = Ref::steal(PyNumber_Power(quotient.get(), two.get(), Py_None));
        if (!sq || reinterpret_cast<PyObject*>(Py_TYPE(sq.get())) != c.quotient_type ||
            PyFloat_AS_DOUBLE(sq.get()) != square)
            return false;
    }
    return true;
}

// Checks quotients on which pow(q, 2.0) and q * q differ (so a squaring
// shortcut in either library would show) and a few on which they agree.
bool arithmetic_agrees() {
    int differing = 0, plain = 0;
    for (long a = 1; a < 2000 && differing < 24; ++a) {
        for (long b = a + 1; b < a + 40 && differing < 24; ++b) {
            const double q = static_cast<double>(a) / static_cast<double>(b);
            const bool differs = kernels::float_power_square(q) != q * q;
            if (!differs && plain >= 8) continue;
            if (!quotient_agrees(a, b)) return false;
            (differs ? differing : plain) += 1;
        }
    }
    return differing > 0;
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
    g_scalars.float64 = float64.release();
    g_scalars.int64 = int64.release();
    g_scalars.floating = floating.release();
    // A failed check only turns the fast paths off; it is no error.
    g_scalars.kernel_arithmetic = arithmetic_agrees();
    if (PyErr_Occurred()) PyErr_Clear();
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
