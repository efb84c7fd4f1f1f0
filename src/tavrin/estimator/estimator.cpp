// Estimator construction and the fit pipeline: count the classes, prepare
// the data, grow the tree, keep the root.
#include "estimator/estimator.hpp"

#include "estimator/fast_fit.hpp"

#include "runtime/call.hpp"
#include "runtime/names.hpp"
#include "runtime/unpack.hpp"

namespace tavrin::estimator {

using rt::Ref;
namespace n = rt::names;

PyObject* init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* max_depth = args[1];
    if (rt::setattr(self, n::max_depth, max_depth) < 0) return nullptr;
    return rt::none().release();
}

PyObject* fit(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* y = args[2];

    // n_classes_ counts the target's distinct values as the caller gave them.
    Ref distinct = Ref::steal(PySet_New(y));
    if (!distinct) return nullptr;
    Ref n_classes = Ref::steal(PyLong_FromSsize_t(PySet_GET_SIZE(distinct.get())));
    if (!n_classes || rt::setattr(self, n::n_classes_, n_classes.get()) < 0) return nullptr;

    Ref prepared = rt::call_method(self, n::_prep_data, {X, y});
    if (!prepared) return nullptr;
    Ref data[2];
    if (rt::unpack(prepared.get(), 2, data) < 0) return nullptr;

    // The whole tree in one pass where that gives exactly what growth would;
    // otherwise growth node by node through self._grow_tree.
    Ref tree;
    const int fast = fast_grow(self, data[0].get(), data[1].get(), tree);
    if (fast < 0) return nullptr;
    if (fast == 0) tree = rt::call_method(self, n::_grow_tree, {data[0].get(), data[1].get()});
    if (!tree || rt::setattr(self, n::tree_, tree.get()) < 0) return nullptr;
    return rt::none().release();
}

}  // namespace tavrin::estimator
