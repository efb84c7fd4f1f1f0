// Reading a DataFrame's columns in place. Everything asked of pandas here
// is the frame's own item access and attributes of its columns; any
// surprise on the way (an unexpected type, a failing call) just means the
// frame is not read this way, and the caller takes `values` as usual.
#include "runtime/frame.hpp"

#include "runtime/arrays.hpp"
#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/names.hpp"

namespace tavrin::rt {

namespace {

namespace n = names;

// The `values` that `type` has is pandas' DataFrame.values property.
bool pandas_values_property(PyTypeObject* type) {
    PyObject* prop = _PyType_Lookup(type, n::values);  // borrowed
    if (!prop || Py_TYPE(prop) != &PyProperty_Type) return false;
    Ref fget = getattr(prop, n::fget);
    if (!fget || !PyFunction_Check(fget.get())) return false;
    Ref module = getattr(fget.get(), n::__module__);
    Ref qualname = module ? getattr(fget.get(), n::__qualname__) : Ref();
    return qualname && PyUnicode_Check(module.get()) && PyUnicode_Check(qualname.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "pandas.core.frame") == 0 &&
           PyUnicode_CompareWithASCIIString(qualname.get(), "DataFrame.values") == 0;
}

// 1 when one of frame.dtypes is pandas' category dtype, 0 when none is or
// the dtypes cannot be read so.
int has_category_column(PyObject* frame, PyObject* pd) {
    Ref cat_dtype = getattr(pd, n::CategoricalDtype);
    Ref dtypes = cat_dtype ? getattr(frame, n::dtypes) : Ref();
    Ref it = dtypes ? Ref::steal(PyObject_GetIter(dtypes.get())) : Ref();
    if (!it) return 0;
    while (Ref dtype = Ref::steal(PyIter_Next(it.get()))) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(dtype.get())) == cat_dtype.get()) return 1;
    }
    return 0;
}

// Categorical.from_codes([-1, 0, .., k-1], dtype=dtype).astype(object):
// the objects the object matrix takes each code of `dtype` to, missing
// first; false when they cannot be had so (the reader clears the error).
bool compute_category_objects(PyObject* pd, PyObject* dtype, std::vector<Ref>& out) {
    Ref categories = getattr(dtype, n::categories);
    if (!categories) return false;
    const Py_ssize_t k = PyObject_Length(categories.get());
    if (k < 0) return false;
    Ref all_codes = Ref::steal(PyList_New(k + 1));
    if (!all_codes) return false;
    for (Py_ssize_t c = 0; c <= k; ++c) {
        PyObject* code = PyLong_FromSsize_t(c - 1);
        if (!code) return false;
        PyList_SET_ITEM(all_codes.get(), c, code);
    }
    Ref categorical = getattr(pd, n::Categorical);
    Ref from_codes = categorical ? getattr(categorical.get(), n::from_codes) : Ref();
    static KwNames kw_names{"dtype"};
    PyObject* kw = kw_names.get();
    if (!from_codes || !kw) return false;
    Ref each = call(from_codes.get(), {all_codes.get(), dtype}, kw);
    Ref objects = each ? call_method(each.get(), n::astype, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)})
                       : Ref();
    ReadView view;
    if (!objects || !is_exact_ndarray(objects.get()) || !view.acquire(objects.get()) || view.ndim() != 1 ||
        view.format() != 'O' || view.shape(0) != k + 1)
        return false;
    for (Py_ssize_t c = 0; c <= k; ++c) out.push_back(Ref::borrow(load<PyObject*>(view.item(c))));
    return true;
}

// The category objects of the last few dtypes read, by dtype object: a
// frame and the rows taken from it share one, and predicting a few rows
// at a time would otherwise pay for the conversion on every call. A
// category dtype does not change once made. Kept for the process (never
// destroyed: the references must not be dropped after the interpreter
// has gone). Dtypes of many categories are converted afresh each time:
// their cost is small beside the rows such columns come with, and they
// are not kept alive.
struct CategoryObjects {
    Ref dtype;
    std::vector<Ref> objects;
};
constexpr std::size_t kRemembered = 16;
constexpr std::size_t kRememberedCategories = 1024;

// The category objects of `dtype` into `out`, which holds references of
// its own: releasing a replaced entry may run code that reads the table.
bool category_objects(PyObject* pd, PyObject* dtype, std::vector<Ref>& out) {
    static auto* remembered = new std::vector<CategoryObjects>();
    static std::size_t next = 0;
    const auto copy = [&](const std::vector<Ref>& objects) {
        for (const Ref& v : objects) out.push_back(Ref::borrow(v.get()));
    };
    for (const CategoryObjects& entry : *remembered) {
        if (entry.dtype.get() != dtype) continue;
        copy(entry.objects);
        return true;
    }
    CategoryObjects made{Ref::borrow(dtype), {}};
    if (!compute_category_objects(pd, dtype, made.objects)) return false;
    copy(made.objects);
    if (made.objects.size() > kRememberedCategories) return true;
    if (remembered->size() < kRemembered) {
        remembered->push_back(std::move(made));
    } else {
        std::swap((*remembered)[next], made);  // the replaced entry is released on return
        next = (next + 1) % kRemembered;
    }
    return true;
}

}  // namespace

int FrameColumns::read(PyObject* frame) {
    const int ok = [&]() -> int {
        Ref pd = global(n::pd);
        Ref frame_type = pd ? getattr(pd.get(), n::DataFrame) : Ref();
        if (!frame_type || reinterpret_cast<PyObject*>(Py_TYPE(frame)) != frame_type.get() ||
            !pandas_values_property(Py_TYPE(frame)))
            return 0;
        Ref labels = getattr(frame, n::columns);
        if (!labels) return 0;
        const Py_ssize_t n_columns = PyObject_Length(labels.get());
        const Py_ssize_t n_rows = PyObject_Length(frame);
        // One column may be a single block that pandas converts on its
        // own terms; two or more are always interleaved into objects.
        if (n_columns < 2 || n_rows < 0) return 0;
        rows_ = static_cast<std::size_t>(n_rows);
        // Without a category column `values` is no object matrix: the
        // dtypes say so for the price of one column's reading.
        const int categories = has_category_column(frame, pd.get());
        if (categories <= 0) return categories;
        // The columns by position, as frame.iloc[:, j] gives them (items()
        // is the cheaper way there).
        Ref items = call_method(frame, n::items, {});
        Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
        if (!it) return 0;
        columns_.resize(static_cast<std::size_t>(n_columns));
        bool text = false;
        for (Py_ssize_t j = 0; j < n_columns; ++j) {
            Ref pair = Ref::steal(PyIter_Next(it.get()));
            if (!pair || !PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) return 0;
            if (read_column(PyTuple_GET_ITEM(pair.get(), 1), columns_[static_cast<std::size_t>(j)], text) <= 0)
                return 0;
        }
        return text ? 1 : 0;
    }();
    if (ok <= 0) PyErr_Clear();
    return ok;
}

int FrameColumns::read_column(PyObject* series, FrameColumn& col, bool& text) {
    Ref values = getattr(series, n::values);
    if (!values) return 0;
    Ref array;
    if (is_exact_ndarray(values.get())) {
        array = std::move(values);
    } else {
        // A category column: its codes, and the objects of its categories.
        Ref pd = global(n::pd);
        Ref dtype = getattr(series, n::dtype);
        Ref cat_dtype = pd ? getattr(pd.get(), n::CategoricalDtype) : Ref();
        if (!dtype || !cat_dtype || reinterpret_cast<PyObject*>(Py_TYPE(dtype.get())) != cat_dtype.get()) return 0;
        array = getattr(values.get(), n::codes);
        if (!array || !is_exact_ndarray(array.get())) return 0;
        if (!category_objects(pd.get(), dtype.get(), col.objects)) return 0;
        bool all_text = col.objects.size() > 1;
        for (std::size_t c = 1; c < col.objects.size(); ++c)
            all_text = all_text && PyUnicode_CheckExact(col.objects[c].get());
        text = text || all_text;
        col.kind = FrameColumn::category;
    }
    auto view = std::make_unique<ReadView>();
    if (!view->acquire(array.get()) || view->ndim() != 1 ||
        static_cast<std::size_t>(view->shape(0)) != rows_)
        return 0;
    const char f = view->format();
    if (col.kind == FrameColumn::category) {
        if (f != 'b' && f != 'h' && f != 'i' && f != 'l') return 0;
        col.code_format = f;
    } else if (f == 'd' || f == 'l' || f == '?') {
        col.kind = f == 'd' ? FrameColumn::real : f == 'l' ? FrameColumn::integer : FrameColumn::boolean;
    } else {
        return 0;
    }
    col.data = rows_ ? view->item(0) : nullptr;
    col.stride = view->stride(0);
    arrays_.push_back(std::move(array));
    views_.push_back(std::move(view));
    return 1;
}

}  // namespace tavrin::rt
