// The configurable tree learner: gini or entropy over all classes, the
// usual stopping rules, depth-first or best-first growth, real sample
// weights, missing values with a learned direction per split, and
// categorical columns split into category subsets. Pure C++; the caller
// holds the data and receives a FlatTree.
#pragma once

#include "kernels/cancel.hpp"
#include "kernels/learner/flat_tree.hpp"
#include "kernels/learner/open_nodes.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace tavrin::kernels::learner {

enum class Criterion { gini, entropy };

struct LearnerParams {
    Criterion criterion = Criterion::gini;
    std::int64_t max_depth = -1;          // -1: unbounded
    std::int64_t min_samples_split = 2;
    std::int64_t min_samples_leaf = 1;
    double min_weight_leaf = 0.0;
    double min_impurity_decrease = 0.0;
    std::int64_t max_leaf_nodes = -1;     // -1: unbounded, depth first; else best first
    std::int64_t n_threads = 1;
    // Features searched per node: -1 every one; otherwise this many drawn
    // without replacement, and more until one that is not constant at the
    // node is among them.
    std::int64_t max_features = -1;
    // One threshold (or category subset) drawn per feature instead of the
    // best of each.
    bool random_split = false;
    std::uint64_t seed = 0;               // keys every draw (draws.hpp)
    // Per feature: 1, the class-1 probability may only rise with the
    // feature, -1 only fall, 0 free; null: no constraint. Two classes and
    // numeric columns only.
    const std::int8_t* monotonic = nullptr;
    // The tree grown is by default a whole tree. Grown from a node of a
    // larger one (the distributed fit finishing a node on one worker), it
    // is the subtree that node would grow there: root_depth is the node's
    // depth (max_depth counts from the whole tree's root), total_weight the
    // weight of every row of the whole fit (min_impurity_decrease is scaled
    // by it; 0: the rows given), and `root` what the node's ancestors hand
    // down to it: its key, value bounds and known constant features.
    std::int64_t root_depth = 0;
    double total_weight = 0.0;
    Lineage root;
};

// Values of a feature closer than this are not split apart, and a feature
// whose values at a node span no more is constant there (scikit-learn's
// single-precision 1e-7).
constexpr double kFeatureThreshold = static_cast<double>(1e-7f);

// A matrix in compressed sparse column form: column f stores data[k] at
// row indices[k] for k in [indptr[f], indptr[f + 1]); every other entry
// of the column is zero. Indices and indptr are both 32-bit or both
// 64-bit integers (`wide`).
struct SparseColumns {
    const double* data = nullptr;
    const void* indices = nullptr;
    const void* indptr = nullptr;  // cols + 1 entries
    std::size_t nnz = 0;           // entries of data and indices
    bool wide = false;

    std::int64_t index(std::size_t k) const { return at(indices, k); }
    std::int64_t start(std::size_t f) const { return at(indptr, f); }
    std::int64_t at(const void* a, std::size_t k) const {
        return wide ? static_cast<const std::int64_t*>(a)[k] : static_cast<const std::int32_t*>(a)[k];
    }
};

// Training data, owned by the caller for the duration of the fit.
struct LearnerData {
    std::size_t rows = 0, cols = 0;
    RowView x;                                   // NaN: missing; unused when `sparse` is set
    const SparseColumns* sparse = nullptr;       // X in sparse columns instead of x (numeric columns only)
    const std::int64_t* y = nullptr;             // class codes 0 .. n_classes-1
    const double* weight = nullptr;              // null: every row weighs 1
    std::int64_t n_classes = 0;
    const std::int64_t* n_categories = nullptr;  // per column: 0 numeric, k categorical
    // Several targets at once (n_outputs > 1): a row's code in y stands for
    // its combination of classes, joint[code * n_outputs + k] being its class
    // in output k (0 .. output_classes[k]-1). The tree then counts every
    // output's classes, output after output, and its impurity is their mean.
    std::int64_t n_outputs = 1;
    const std::int64_t* output_classes = nullptr;
    const std::int64_t* joint = nullptr;
};

// Empty when `m` is a well-formed compressed matrix of `lines` lines
// (columns of a CSC matrix, rows of a CSR one) whose indices lie in
// [0, width), with `unique` no index twice in a line, and no value
// infinite; otherwise what is wrong, as a sentence for the user.
std::string check_compressed(const SparseColumns& m, std::size_t lines, std::size_t width, bool unique);

// Empty when `data` and `params` are fit to learn from; otherwise what is
// wrong, as a sentence for the user.
std::string check_input(const LearnerData& data, const LearnerParams& params);

// Thrown by fit() when its cancel hook said stop.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "tree growth cancelled"; }
};

// Grows the tree of checked input into `out`. Throws std::bad_alloc when
// memory runs out, and Cancelled when `cancel` (asked from the calling
// thread between nodes, every few milliseconds of work) says stop; touches
// nothing of the caller's but `out`.
void fit(const LearnerData& data, const LearnerParams& params, FlatTree& out, CancelHook* cancel = nullptr);

}  // namespace tavrin::kernels::learner
