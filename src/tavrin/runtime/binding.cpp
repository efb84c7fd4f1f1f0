// Binds call arguments to parameters like a plain Python function of the
// same signature, in the order of checks that decides which message wins:
// too many positional arguments; then each parameter after the positional
// ones, in order, taken from the keywords or its default (a missing one
// without default reports its own position as the number given); then
// the leftover keywords, in the order given, each either a string naming
// a later parameter, a repeat of a positional one, an unknown name, or
// not a string at all.
#include "runtime/binding.hpp"

#include "runtime/errors.hpp"

namespace tavrin::rt {

namespace {

bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    // Only exact strings compare without running user code; a str subclass
    // is compared by value as well, through the unicode API.
    return PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0;
}

// Index in kwnames of the keyword named `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return k;
    }
    return -1;
}

int check_leftover_keywords(const Signature& sig, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool known = false;
        for (Py_ssize_t i = nargs; i < sig.nparams && !known; ++i) {
            known = PyTuple_GET_ITEM(sig.varnames, i) == key;
        }
        if (known) continue;
        if (!PyUnicode_Check(key)) {
            raise_keywords_must_be_strings(sig.func);
            return -1;
        }
        for (Py_ssize_t i = nargs; i < sig.nparams && !known; ++i) {
            known = same_name(key, PyTuple_GET_ITEM(sig.varnames, i));
        }
        if (known) continue;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (same_name(key, PyTuple_GET_ITEM(sig.varnames, i))) {
                raise_multiple_values(sig.func, key);
                return -1;
            }
        }
        raise_unexpected_keyword(sig.func, key);
        return -1;
    }
    return 0;
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
    const Py_ssize_t n = sig.nparams;
    Py_ssize_t ndefaults = sig.defaults ? PyTuple_GET_SIZE(sig.defaults) : 0;
    if (ndefaults > n) ndefaults = n;
    const Py_ssize_t nrequired = n - ndefaults;
    const bool exact = ndefaults == 0;

    if (nargs > n) {
        raise_arg_count(sig.func, exact, nrequired, n, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < nrequired) {
            raise_arg_count(sig.func, exact, nrequired, n, nargs);
            return -1;
        }
        for (Py_ssize_t i = nargs; i < n; ++i) {
            out[i] = PyTuple_GET_ITEM(sig.defaults, i - nrequired);
        }
        return 0;
    }

    Py_ssize_t unused = nkw;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        Py_ssize_t k = find_keyword(kwnames, PyTuple_GET_ITEM(sig.varnames, i));
        if (k >= 0) {
            out[i] = args[nargs + k];
            --unused;
        } else if (i < nrequired) {
            raise_arg_count(sig.func, exact, nrequired, n, i);
            return -1;
        } else {
            out[i] = PyTuple_GET_ITEM(sig.defaults, i - nrequired);
        }
    }
    if (unused > 0) return check_leftover_keywords(sig, nargs, kwnames);
    return 0;
}

}  // namespace tavrin::rt
