// The node's rows in ascending order of one formatted feature: the pairs
// zip(values, codes) sorted by value, then by class code, stably, with
// float NaN values after all others.
#pragma once

#include "runtime/ref.hpp"
#include "split/numpy_scalars.hpp"

namespace tavrin::split {

struct SortedPairs {
    rt::Ref thresholds;  // tuple: the values in ascending order
    rt::Ref classes;     // tuple: the class code of each, in the same order
};

// Pairs the items of `values` and `codes` as zip() does and sorts them.
// Values that are not NaN are ordered as the interpreter orders the pairs
// (its errors included); NaN values, which no order places, come last,
// ordered among themselves by class code. Returns -1 with an error set.
int sort_pairs(PyObject* values, PyObject* codes, const NumpyScalars& ns, SortedPairs& out);

}  // namespace tavrin::split
