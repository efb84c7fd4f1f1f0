// The numpy scalar types that split search recognises on its fast paths,
// and the float-NaN test that orders missing values last.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::split {

struct NumpyScalars {
    PyObject* float64 = nullptr;   // numpy.float64, strong, kept for the process
    PyObject* int64 = nullptr;     // numpy.int64
    PyObject* floating = nullptr;  // numpy.floating
    // True when the interpreter's own arithmetic on these objects was seen
    // to give what the kernels compute: int / int and numpy.int64 / int as a
    // double quotient, float ** 2 and numpy.float64 ** 2 as the C library's
    // pow(q, 2.0). When false, the searches use the number protocol only.
    bool kernel_arithmetic = false;
};

// Imports numpy on first use and checks its arithmetic once per process.
// Returns null with the import error set if numpy cannot be imported.
const NumpyScalars* numpy_scalars();

// 1 when `v` is a float NaN (a float or a numpy floating scalar), 0 when it
// is anything else, -1 with an error set.
int is_float_nan(PyObject* v, const NumpyScalars& ns);

// A number read without the interpreter when its type's comparisons are
// plain C comparisons: exact floats and numpy.float64 as doubles, exact
// ints, bools and numpy.int64 that fit as 64-bit integers.
struct NumberKey {
    enum Kind : unsigned char { other, real, integer } kind = other;
    double real_value = 0.0;
    long long int_value = 0;
};
NumberKey number_key(PyObject* v, const NumpyScalars& ns);

// 1 / 0 when `a == b` as the interpreter decides it, -1 on error; the keys
// answer without the interpreter when both are of one plain kind.
int values_equal(PyObject* a, const NumberKey& ka, PyObject* b, const NumberKey& kb);

}  // namespace tavrin::split
