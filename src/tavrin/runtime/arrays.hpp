// numpy arrays as the estimator hands them out and reads them back.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

// Binds numpy's ndarray type; called once by the execute step after numpy
// is imported. The type is numpy's own, whatever `np` is later rebound to.
int bind_numpy(PyObject* numpy_module);

// `values` itself when it is a numpy array; otherwise numpy's conversion of
// it (pandas may hand out an extension array where a numpy array is meant,
// e.g. for string data).
// True when `obj` is exactly a numpy.ndarray (no subclass), numpy being
// the module bound at start-up.
bool is_exact_ndarray(PyObject* obj);

Ref as_numpy_array(PyObject* values);

// numpy's "invalid value encountered" warnings are about the data (NaN in
// an object array compared, a missing category cast by pandas), not a fault
// of the caller's: steps that meet them run under np.errstate(invalid=
// "ignore"), numpy's own, thread-local setting.
Ref enter_invalid_ignored();               // the errstate object, entered
int leave_invalid_ignored(PyObject* state);  // a pending error passes through

// step() (returning Ref) with those warnings off.
template <class Step>
Ref invalid_ignored(Step&& step) {
    Ref state = enter_invalid_ignored();
    if (!state) return nullptr;
    Ref result = step();
    if (leave_invalid_ignored(state.get()) < 0) return nullptr;
    return result;
}

// values < threshold, quietly.
Ref less_than_quietly(PyObject* values, PyObject* threshold);

// True when `mask` is a one-dimensional numpy bool array whose entries are
// all true or all false (an empty one included). Anything else: false.
bool bool_mask_is_one_sided(PyObject* mask);

}  // namespace tavrin::rt
