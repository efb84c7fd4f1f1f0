// Data preparation: the training schema stored on the estimator one
// attribute at a time (each later step reads the earlier ones back from the
// instance), and the encoded training data.
#include "features/features.hpp"
#include "runtime/arrays.hpp"

#include "features/shared.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace tavrin::features {

using rt::Ref;
namespace n = rt::names;

namespace {

int store(PyObject* self, PyObject* name, const Ref& value) {
    if (!value) return -1;
    return rt::setattr(self, name, value.get());
}

// self.<to> = dict(zip(self.<from>, range(len(self.<from>))))
int store_positions(PyObject* self, PyObject* from, PyObject* to) {
    Ref keys = rt::getattr(self, from);
    if (!keys) return -1;
    Ref sized = rt::getattr(self, from);
    if (!sized) return -1;
    Ref positions = range_of_len(sized.get());
    if (!positions) return -1;
    return store(self, to, dict_of_zip(keys.get(), positions.get()));
}

// self.<to> = dict(zip(self.<from>.values(), self.<from>.keys()))
int store_reversed(PyObject* self, PyObject* from, PyObject* to) {
    Ref forward = rt::getattr(self, from);
    if (!forward) return -1;
    Ref values = rt::call_method(forward.get(), n::values, {});
    if (!values) return -1;
    forward = rt::getattr(self, from);
    if (!forward) return -1;
    Ref keys = rt::call_method(forward.get(), n::keys, {});
    if (!keys) return -1;
    return store(self, to, dict_of_zip(values.get(), keys.get()));
}

}  // namespace

namespace {

// Everything _prep_data stores on the estimator.
int store_schema(PyObject* self, PyObject* X, PyObject* y) {
    if (store(self, n::feature_names, rt::getattr(X, n::columns)) < 0) return -1;
    if (store(self, n::classes, rt::call_global_attr(n::np, n::unique, {y})) < 0) return -1;

    for (const FeatureKind& kind : feature_kinds()) {
        if (store(self, kind.attribute, rt::call_method(self, n::_get_dtype, {X, kind.word})) < 0) return -1;
    }

    if (store_positions(self, n::feature_names, n::feature_map) < 0) return -1;
    if (store_reversed(self, n::feature_map, n::rev_feature_map) < 0) return -1;
    if (store_positions(self, n::classes, n::taget_map) < 0) return -1;
    if (store_reversed(self, n::taget_map, n::rev_taget_map) < 0) return -1;
    return store(self, n::feature_value_maps, Ref::steal(PyDict_New()));
}

// y.map(self.taget_map)
Ref class_codes(PyObject* self, PyObject* y) {
    Ref map = rt::getattr(y, n::map);
    if (!map) return nullptr;
    Ref taget_map = rt::getattr(self, n::taget_map);
    if (!taget_map) return nullptr;
    return rt::call(map.get(), {taget_map.get()});
}

// X.values, quietly.
Ref frame_values(PyObject* X) {
    return rt::invalid_ignored([&] { return rt::getattr(X, n::values); });
}

// Set for one _prep_data call of this thread by LeaveValuesOut.
thread_local bool t_leave_values_out = false;

}  // namespace

LeaveValuesOut::LeaveValuesOut() { t_leave_values_out = true; }
LeaveValuesOut::~LeaveValuesOut() { t_leave_values_out = false; }

Ref prepared_values(PyObject* X) { return keep_missing_values(X, as_ndarray(frame_values(X))); }

PyObject* prep_data(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* y = args[2];
    // Taken at once: a call nested in this one is an ordinary one.
    const bool leave_values_out = t_leave_values_out;
    t_leave_values_out = false;
    if (store_schema(self, X, y) < 0) return nullptr;
    if (leave_values_out) {
        Ref codes = class_codes(self, y);
        if (!codes) return nullptr;
        return PyTuple_Pack(2, Py_None, codes.get());
    }
    // X.values is taken before the codes, as their errors would come.
    Ref values = frame_values(X);
    if (!values) return nullptr;
    Ref codes = class_codes(self, y);
    if (!codes) return nullptr;
    values = keep_missing_values(X, as_ndarray(std::move(values)));
    if (!values) return nullptr;
    return PyTuple_Pack(2, values.get(), codes.get());
}

}  // namespace tavrin::features
