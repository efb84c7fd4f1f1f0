// Every message the module raises, each formatted in one place. The
// builders are cold and out of line: they run only when something fails.
// Each returns the null Ref (or -1 where noted) so callers can write
// `return raise_...(...)`.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

// An exception taken out of the thread state, to be set again later.
struct KeptError {
    Ref type, value, tb;
    explicit operator bool() const { return static_cast<bool>(type); }
    // Takes the current exception (if any) out of the thread state.
    void fetch();
    // Sets the kept exception again; false when none is kept.
    bool restore();
};

// Name resolution.
Ref raise_name_error(PyObject* name);

// Calls nested deeper than the C stack allows.
void raise_stack_exhausted();

// Argument binding; `func` is the bare method name.
void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                     Py_ssize_t given);
void raise_unexpected_keyword(const char* func, PyObject* key);
void raise_multiple_values(const char* func, PyObject* key);
void raise_keywords_must_be_strings(const char* func);

// Strict unpacking.
void raise_too_many_values(Py_ssize_t expected);
void raise_need_more_values(Py_ssize_t got);

// Module start-up.
void raise_interpreter_change();
void raise_reinitialisation();
void raise_cannot_import_name(PyObject* name);
int warn_version_mismatch(const char* built_for, const char* module, const char* running);
void raise_init_failed();

// Typed buffers and typed arguments.
void raise_buffer_ndim(int expected, int got);
void raise_buffer_dtype(const char* expected, const char* got);
void raise_buffer_byte_order();
void raise_buffer_index(int axis);
void raise_argument_type(const char* arg, const char* expected, PyObject* got);
void raise_int_overflow();

// numpy is not the library the module was written for.
Ref raise_unexpected_numpy();

// numpy's order of equal values could not be read back.
void raise_tie_order_unavailable();

// The estimator's own messages.
Ref raise_unsupported_feature();
// BinaryClassificationTree fitted on more than two classes: a UserWarning.
// Returns -1 if the warning was turned into an error.
int warn_two_label_scan(Py_ssize_t n_classes);

}  // namespace tavrin::rt
