// Method tables of the three classes and their creation. Each class gets
// method objects of its own; the namespace handed to `type` holds
// __module__, __qualname__ and the methods in table order, nothing else.
#include "module/classes.hpp"

#include "estimator/estimator.hpp"
#include "features/features.hpp"
#include "module/node.hpp"
#include "predict/predict.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"
#include "split/split.hpp"

namespace tavrin::module {

namespace {

using rt::MethodDef;
using rt::Ref;

Ref defaults_leaf() { return Ref::steal(Py_BuildValue("(s)", "leaf")); }
Ref defaults_zero() { return Ref::steal(Py_BuildValue("(i)", 0)); }
Ref defaults_class() { return Ref::steal(Py_BuildValue("(s)", "class")); }

// float("inf"), made afresh for each class that asks.
Ref defaults_inf() {
    Ref text = Ref::steal(PyUnicode_FromString("inf"));
    if (!text) return nullptr;
    Ref inf = Ref::steal(PyFloat_FromString(text.get()));
    if (!inf) return nullptr;
    return Ref::steal(PyTuple_Pack(1, inf.get()));
}

constexpr const char* kNodeInit[] = {"self", "predicted_class", "probability", "node_type"};
constexpr const char* kInit[] = {"self", "max_depth"};
constexpr const char* kXy[] = {"self", "X", "y"};
constexpr const char* kX[] = {"self", "X"};
constexpr const char* kDtype[] = {"self", "X", "d_type"};
constexpr const char* kXyIdx[] = {"self", "X", "y", "idx"};
constexpr const char* kGini[] = {"self",        "classes",  "num_left", "num_right",
                                 "best_gini",   "thresholds", "best_idx", "idx",
                                 "split_type",  "best_split_type", "best_thr"};
constexpr const char* kGrow[] = {"self", "X", "y", "depth"};
constexpr const char* kPredict[] = {"self", "inputs", "ptype"};

#define TAVRIN_PARAMS(p) p, static_cast<int>(sizeof(p) / sizeof(p[0]))

const char* const kEstimatorFile = "src/tavrin/estimator/estimator.cpp";
const char* const kGrowFile = "src/tavrin/estimator/step/grow.cpp";
const char* const kPredictFile = "src/tavrin/predict/predict.cpp";
const char* const kPrepFile = "src/tavrin/features/prep.cpp";
const char* const kDtypeFile = "src/tavrin/features/dtype.cpp";
const char* const kFormatFile = "src/tavrin/features/format.cpp";
const char* const kBestSplitFile = "src/tavrin/split/best_split.cpp";
const char* const kBestSplitInlineFile = "src/tavrin/split/best_split_inline.cpp";
const char* const kGiniLoopFile = "src/tavrin/split/gini_loop.cpp";

const MethodDef kNodeMethods[] = {
    {"__init__", TAVRIN_PARAMS(kNodeInit), node_init, defaults_leaf, "src/tavrin/module/node.cpp", 1},
};

#define TAVRIN_ESTIMATOR_HEAD(fit_impl)                                                    \
    {"__init__", TAVRIN_PARAMS(kInit), estimator::init, defaults_inf, kEstimatorFile, 1},  \
    {"fit", TAVRIN_PARAMS(kXy), fit_impl, nullptr, kEstimatorFile, 1},                     \
    {"predict", TAVRIN_PARAMS(kX), predict::predict, nullptr, kPredictFile, 1},            \
    {"predict_proba", TAVRIN_PARAMS(kX), predict::predict_proba, nullptr, kPredictFile, 1}, \
    {"_prep_data", TAVRIN_PARAMS(kXy), features::prep_data, nullptr, kPrepFile, 1},        \
    {"_get_dtype", TAVRIN_PARAMS(kDtype), features::get_dtype, nullptr, kDtypeFile, 1},    \
    {"_format_categorical", TAVRIN_PARAMS(kXyIdx), features::format_categorical, nullptr,  \
     kFormatFile, 1},                                                                      \
    {"_format_feature", TAVRIN_PARAMS(kXyIdx), features::format_feature, nullptr,          \
     kFormatFile, 1}

#define TAVRIN_ESTIMATOR_TAIL                                                                 \
    {"_grow_tree", TAVRIN_PARAMS(kGrow), estimator::grow_tree, defaults_zero, kGrowFile, 1}, \
    {"_predict", TAVRIN_PARAMS(kPredict), predict::predict_row, defaults_class, kPredictFile, 1}

const MethodDef kTreeMethods[] = {
    TAVRIN_ESTIMATOR_HEAD(estimator::fit_two_label_scan),
    {"_best_split", TAVRIN_PARAMS(kXy), split::best_split, nullptr, kBestSplitFile, 1},
    {"_gini_loop", TAVRIN_PARAMS(kGini), split::gini_loop, nullptr, kGiniLoopFile, 1},
    TAVRIN_ESTIMATOR_TAIL,
};

const MethodDef kTreePyMethods[] = {
    TAVRIN_ESTIMATOR_HEAD(estimator::fit),
    {"_best_split", TAVRIN_PARAMS(kXy), split::best_split_inline, nullptr, kBestSplitInlineFile,
     1},
    TAVRIN_ESTIMATOR_TAIL,
};

template <size_t N>
int create_class(PyObject* dict, const char* name, const MethodDef (&methods)[N]) {
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString("tavrin"));
    Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
    if (!ns || !module_name || !class_name) return -1;
    if (PyDict_SetItem(ns.get(), rt::names::__module__, module_name.get()) < 0) return -1;
    if (PyDict_SetItem(ns.get(), rt::names::__qualname__, class_name.get()) < 0) return -1;
    for (const MethodDef& def : methods) {
        Ref f = rt::make_function(def, name);
        if (!f || PyDict_SetItemString(ns.get(), def.name, f.get()) < 0) return -1;
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                      class_name.get(), bases.get(), ns.get(),
                                                      nullptr));
    if (!cls) return -1;
    return PyDict_SetItem(dict, class_name.get(), cls.get());
}

}  // namespace

int create_classes(PyObject* dict) {
    if (rt::function_type_ready() < 0) return -1;
    if (create_class(dict, "Node", kNodeMethods) < 0) return -1;
    if (create_class(dict, "BinaryClassificationTree", kTreeMethods) < 0) return -1;
    return create_class(dict, "BinaryClassificationTreePy", kTreePyMethods);
}

}  // namespace tavrin::module
