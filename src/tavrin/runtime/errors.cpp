// Message texts, formatted where they are raised.
#include "runtime/errors.hpp"

#include "runtime/globals.hpp"

namespace tavrin::rt {

TAVRIN_COLD Ref raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

TAVRIN_COLD void raise_tie_order_unavailable() {
    PyErr_SetString(PyExc_SystemError, "numpy's sort order of equal category means is not available");
}

void KeptError::fetch() {
    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    type = Ref::steal(t);
    value = Ref::steal(v);
    tb = Ref::steal(b);
}

bool KeptError::restore() {
    if (!type) return false;
    PyErr_Restore(type.release(), value.release(), tb.release());
    return true;
}

TAVRIN_COLD void raise_stack_exhausted() {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
}

TAVRIN_COLD void raise_arg_count(const char* func, bool exact, Py_ssize_t min,
                                 Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected;
    const char* word;
    if (given < min) {
        expected = min;
        word = "at least";
    } else {
        expected = max;
        word = "at most";
    }
    if (exact) word = "exactly";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, word,
                 expected, expected == 1 ? "" : "s", given);
}

TAVRIN_COLD void raise_unexpected_keyword(const char* func, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
}

TAVRIN_COLD void raise_multiple_values(const char* func, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                 key);
}

TAVRIN_COLD void raise_keywords_must_be_strings(const char* func) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
}

TAVRIN_COLD void raise_too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

TAVRIN_COLD void raise_need_more_values(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
}

TAVRIN_COLD void raise_interpreter_change() {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
}

TAVRIN_COLD void raise_reinitialisation() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tavrin' has already been imported. Re-initialisation is not "
                    "supported.");
}

TAVRIN_COLD void raise_cannot_import_name(PyObject* name) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
}

TAVRIN_COLD int warn_version_mismatch(const char* built_for, const char* module,
                                      const char* running) {
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built_for, module, running);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

TAVRIN_COLD void raise_init_failed() { PyErr_SetString(PyExc_ImportError, "init tavrin"); }

TAVRIN_COLD void raise_buffer_ndim(int expected, int got) {
    PyErr_Format(PyExc_ValueError,
                 "Buffer has wrong number of dimensions (expected %d, got %d)", expected, got);
}

TAVRIN_COLD void raise_buffer_dtype(const char* expected, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 expected, "'", got);
}

TAVRIN_COLD void raise_buffer_byte_order() {
#if PY_LITTLE_ENDIAN
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
#else
    PyErr_SetString(PyExc_ValueError, "Little-endian buffer not supported on big-endian compiler");
#endif
}

TAVRIN_COLD void raise_buffer_index(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

TAVRIN_COLD void raise_argument_type(const char* arg, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg, expected, Py_TYPE(got)->tp_name);
}

TAVRIN_COLD void raise_int_overflow() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
}

TAVRIN_COLD Ref raise_unexpected_numpy() {
    PyErr_SetString(PyExc_ImportError, "numpy is not what tavrin expects (ndarray or scalar types differ)");
    return nullptr;
}

TAVRIN_COLD Ref raise_unsupported_feature() {
    PyErr_SetString(PyExc_ValueError, "This tree supports only numeric or categorical features");
    return nullptr;
}

TAVRIN_COLD int warn_two_label_scan(Py_ssize_t n_classes) {
    char message[300];
    PyOS_snprintf(message, sizeof message,
                  "BinaryClassificationTree weighs only the first two sorted labels when it "
                  "chooses splits, and y has %zd classes: use BinaryClassificationTreePy or "
                  "tavrin_tools.TreeClassifier for more than two classes",
                  n_classes);
    return PyErr_WarnEx(PyExc_UserWarning, message, 1);
}

}  // namespace tavrin::rt
