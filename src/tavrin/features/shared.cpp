// dict(zip(...)), range(len(...)), the numpy-array guarantee and X[:, idx].
#include "features/shared.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"

namespace tavrin::features {

using rt::Ref;
namespace n = rt::names;

Ref dict_of_zip(PyObject* keys, PyObject* values) {
    Ref pairs = rt::call(rt::builtins().zip, {keys, values});
    if (!pairs) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    // What dict(iterable) does with an iterable that has no keys() method.
    if (PyDict_MergeFromSeq2(dict.get(), pairs.get(), 1) < 0) return nullptr;
    return dict;
}

Ref range_of_len(PyObject* obj) {
    Py_ssize_t length = PyObject_Length(obj);
    if (length < 0) return nullptr;
    Ref count = Ref::steal(PyLong_FromSsize_t(length));
    if (!count) return nullptr;
    return rt::call(rt::builtins().range, {count.get()});
}

Ref as_ndarray(Ref obj) {
    if (!obj) return obj;
    Ref np = rt::global(n::np);
    if (!np) return nullptr;
    Ref ndarray = rt::getattr(np.get(), n::ndarray);
    if (!ndarray) return nullptr;
    int is_array = PyObject_IsInstance(obj.get(), ndarray.get());
    if (is_array < 0) return nullptr;
    if (is_array) return obj;
    return rt::call_method(np.get(), n::asarray, {obj.get()});
}

Ref keep_missing_values(PyObject* X, Ref values) {
    if (!values) return values;
    Ref dtype = rt::getattr(values.get(), n::dtype);
    if (!dtype) return nullptr;
    Ref kind = rt::getattr(dtype.get(), n::kind);
    if (!kind) return nullptr;
    const char* k = PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8(kind.get()) : nullptr;
    if (!k) {
        if (PyErr_Occurred()) return nullptr;
        return values;
    }
    if (k[0] != 'i' && k[0] != 'u' && k[0] != 'b') return values;
    // X.isna().values.any()
    Ref missing = rt::call_method(X, n::isna, {});
    if (!missing) return nullptr;
    missing = rt::getattr(missing.get(), n::values);
    if (!missing) return nullptr;
    missing = rt::call_method(missing.get(), n::any, {});
    if (!missing) return nullptr;
    int any = PyObject_IsTrue(missing.get());
    if (any < 0) return nullptr;
    if (!any) return values;
    static rt::KwNames kw_names{"dtype"};
    PyObject* kw = kw_names.get();
    if (!kw) return nullptr;
    Ref to_numpy = rt::getattr(X, n::to_numpy);
    if (!to_numpy) return nullptr;
    return rt::call(to_numpy.get(), {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, kw);
}

Ref column_at(PyObject* X, PyObject* idx) {
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) return nullptr;
    Ref key = Ref::steal(PyTuple_Pack(2, all.get(), idx));
    if (!key) return nullptr;
    return Ref::steal(PyObject_GetItem(X, key.get()));
}

}  // namespace tavrin::features
