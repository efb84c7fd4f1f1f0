// The steps that both best-split searches take for a node before scanning
// features: the row count, the class totals, the node's own impurity and
// the column positions to search; and the calls they make per feature.
#pragma once

#include "runtime/ref.hpp"
#include "split/sorted_pairs.hpp"

#include <new>

namespace tavrin::split {

struct NodeStart {
    rt::Ref rows;        // m = y.size
    rt::Ref totals;      // num_parent: list of np.sum(y == c) per class code
    rt::Ref impurity;    // the node's Gini impurity, computed on those objects
    rt::Ref positions;   // self.feature_names.map(self.feature_map)
};

// 1.0 - sum((counts[x] / divisor) ** 2 for x in range(n)), on the
// interpreter's objects, the sum formed left to right from the int 0.
rt::Ref gini_impurity(PyObject* counts, Py_ssize_t n, PyObject* divisor);

// The best split so far, carried from feature to feature.
struct BestSplit {
    rt::Ref gini;        // starts as the node's impurity
    rt::Ref idx;         // None until a split is recorded
    rt::Ref thr;
    rt::Ref split_type;
};

// One feature of the node, ready to scan.
struct FeatureRows {
    rt::Ref split_type;  // as self._format_feature gave it
    SortedPairs sorted;
    rt::Ref num_left;    // [0] * self.n_classes_, a list
    rt::Ref num_right;   // num_parent.copy()
};

// Searches one feature at position `idx`, updating `best`; -1 on error.
using FeatureSearch = int (*)(PyObject* self, PyObject* idx, FeatureRows& rows,
                              const NodeStart& node, const NumpyScalars& ns, BestSplit& best);

// _best_split(self, X, y): the node set-up, then for each position of
// self.feature_names.map(self.feature_map) in order: format the feature,
// sort its rows, make the counts and run `search`. Returns the split
// description (best_idx, best_thr, best_split_type), or null on error.
PyObject* search_node(PyObject* const* args, FeatureSearch search);

// Runs `body`, turning a C++ allocation failure into MemoryError.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tavrin::split
