// Estimator construction and the fit pipeline: count the classes, prepare
// the data, grow the tree, keep the root.
#include "estimator/estimator.hpp"

#include "estimator/fast/fit.hpp"
#include "features/features.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/names.hpp"
#include "runtime/unpack.hpp"

#include <optional>

namespace tavrin::estimator {

using rt::Ref;
namespace n = rt::names;

PyObject* init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* max_depth = args[1];
    if (rt::setattr(self, n::max_depth, max_depth) < 0) return nullptr;
    return rt::none().release();
}

namespace {

// `two_label_scan`: the class's split search weighs only the first two
// sorted labels, and a target of more classes is warned about.
PyObject* fit_target(PyObject* const* args, bool two_label_scan) {
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* y = args[2];

    // n_classes_ counts the target's distinct values as the caller gave them.
    Ref distinct = Ref::steal(PySet_New(y));
    if (!distinct) return nullptr;
    const Py_ssize_t distinct_count = PySet_GET_SIZE(distinct.get());
    // Before anything is stored: a warning made an error leaves the
    // estimator as it was.
    if (two_label_scan && distinct_count > 2 && rt::warn_two_label_scan(distinct_count) < 0) {
        return nullptr;
    }
    Ref n_classes = Ref::steal(PyLong_FromSsize_t(distinct_count));
    if (!n_classes || rt::setattr(self, n::n_classes_, n_classes.get()) < 0) return nullptr;

    // The whole tree in one pass where that gives exactly what growth would;
    // otherwise growth node by node through self._grow_tree. A frame that
    // can be read in place is, and its values are taken only if growth
    // needs them.
    rt::FrameColumns frame;
    const bool in_place = reads_frame_in_place(self, X, frame);
    Ref prepared;
    {
        std::optional<features::LeaveValuesOut> leave;
        if (in_place) leave.emplace();
        prepared = rt::call_method(self, n::_prep_data, {X, y});
    }
    if (!prepared) return nullptr;
    Ref data[2];
    if (rt::unpack(prepared.get(), 2, data) < 0) return nullptr;
    Ref values = std::move(data[0]), codes = std::move(data[1]), tree;
    const int fast = fast_grow(self, in_place ? X : values.get(), codes.get(), tree, in_place ? &frame : nullptr);
    if (fast < 0) return nullptr;
    if (fast == 0 && in_place && !(values = features::prepared_values(X))) return nullptr;
    if (!tree) tree = rt::call_method(self, n::_grow_tree, {values.get(), codes.get()});
    if (!tree || rt::setattr(self, n::tree_, tree.get()) < 0) return nullptr;
    return rt::none().release();
}

}  // namespace

PyObject* fit(PyObject* const* args) { return fit_target(args, false); }

PyObject* fit_two_label_scan(PyObject* const* args) { return fit_target(args, true); }

}  // namespace tavrin::estimator
