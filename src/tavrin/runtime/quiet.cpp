// The shared filter behind QuietCategoricalDeprecation: made once, put into
// warnings.filters by the first call in and taken out by the last call out.
//
// The filters' version is left alone (catch_warnings bumps it): a warning
// that an "ignore" filter drops is never noted in the registries of
// warnings already shown, so there is nothing stale to drop afterwards, and
// a bump would make the caller's own once-shown warnings show again.
#include "runtime/quiet.hpp"

#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace tavrin::rt {

namespace {

// Calls inside a quiet section, in all threads together.
Py_ssize_t g_depth = 0;
// ("ignore", re.compile(<message>, re.I), DeprecationWarning, None, 0):
// the shape warnings.filterwarnings() gives a filter. Strong, kept.
PyObject* g_filter = nullptr;
// The filter list the filter was put into (strong), null while it is out.
PyObject* g_list = nullptr;

constexpr const char* kMessage = "is_categorical_dtype is deprecated";

int make_filter() {
    if (g_filter) return 0;
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) return -1;
    Ref flags = Ref::steal(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!flags) return -1;
    Ref text = Ref::steal(PyUnicode_FromString(kMessage));
    if (!text) return -1;
    Ref pattern = Ref::steal(PyObject_CallMethod(re.get(), "compile", "OO", text.get(), flags.get()));
    if (!pattern) return -1;
    g_filter = Py_BuildValue("(sOOOi)", "ignore", pattern.get(), PyExc_DeprecationWarning,
                             Py_None, 0);
    return g_filter ? 0 : -1;
}

// The list that warnings reads its filters from now, or null (no error set)
// when it is not a list: the interpreter refuses to warn at all then, so
// there is nothing to silence.
Ref current_filters(PyObject* warnings) {
    Ref list = getattr(warnings, names::filters);
    if (!list) return nullptr;
    if (!PyList_Check(list.get())) list.reset();
    return list;
}

// Removes one occurrence of the filter, by identity; no interpreter code
// runs (the list holds no other reference that could be the last one).
void remove_one(PyObject* list) {
    for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;) {
        if (PyList_GET_ITEM(list, i) == g_filter) {
            PyList_SetSlice(list, i, i + 1, nullptr);
            return;
        }
    }
}

}  // namespace

int QuietCategoricalDeprecation::enter() {
    // Everything that can run interpreter code comes first; the count and
    // the list change together afterwards, with nothing in between.
    if (make_filter() < 0) return -1;
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return -1;
    Ref list = current_filters(warnings.get());
    if (PyErr_Occurred()) return -1;
    entered_ = true;
    if (g_depth++ == 0 && list) {
        if (PyList_Insert(list.get(), 0, g_filter) < 0) {
            --g_depth;
            entered_ = false;
            return -1;
        }
        g_list = list.release();
    }
    return 0;
}

QuietCategoricalDeprecation::~QuietCategoricalDeprecation() {
    if (!entered_) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    Ref list = warnings ? current_filters(warnings.get()) : Ref();
    PyErr_Clear();
    if (--g_depth == 0 && g_list) {
        // Another thread's catch_warnings may have swapped in a copy that
        // holds the filter too: take it out of both.
        remove_one(g_list);
        if (list && list.get() != g_list) remove_one(list.get());
        Py_CLEAR(g_list);
    }
    PyErr_Restore(type, value, tb);
}

}  // namespace tavrin::rt
