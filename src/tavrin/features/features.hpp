// Feature preparation: column typing, the training schema and the
// per-node encoding of one feature.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::features {

// _prep_data(self, X, y)
PyObject* prep_data(PyObject* const* args);
// While one lives, the module's own _prep_data, called on this thread,
// leaves X.values out: None stands in its place in the pair it returns.
// For a frame whose `values` nothing can observe (see runtime/frame.hpp),
// so that its matrix is made only when growth needs it.
class LeaveValuesOut {
public:
    LeaveValuesOut();
    ~LeaveValuesOut();
    LeaveValuesOut(const LeaveValuesOut&) = delete;
    LeaveValuesOut& operator=(const LeaveValuesOut&) = delete;
};
// The training matrix as _prep_data takes it from the frame X.
rt::Ref prepared_values(PyObject* X);
// _get_dtype(self, X, d_type)
PyObject* get_dtype(PyObject* const* args);
// _format_categorical(self, X, y, idx)
PyObject* format_categorical(PyObject* const* args);
// _format_feature(self, X, y, idx)
PyObject* format_feature(PyObject* const* args);

}  // namespace tavrin::features
