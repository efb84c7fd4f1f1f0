// Node.__init__: seven attribute assignments, in the order that is also the
// key order of the instance __dict__. Nothing is converted or checked.
#include "module/node.hpp"

#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace tavrin::module {

namespace n = rt::names;

PyObject* node_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* zero = PyLong_FromLong(0);  // small ints are cached
    if (!zero) return nullptr;
    rt::Ref zero_ref = rt::Ref::steal(zero);
    struct {
        PyObject* name;
        PyObject* value;
    } fields[] = {
        {n::predicted_class, args[1]}, {n::feature_index, zero},
        {n::threshold, zero},          {n::left, Py_None},
        {n::right, Py_None},           {n::node_type, args[3]},
        {n::probability, args[2]},
    };
    for (auto& f : fields) {
        if (rt::setattr(self, f.name, f.value) < 0) return nullptr;
    }
    return rt::none().release();
}

}  // namespace tavrin::module
