// The two-class Gini threshold scan over one sorted feature of a node.
#pragma once

#include "kernels/strided.hpp"

namespace tavrin::kernels {

// The best split carried into and out of a scan.
struct ScanBest {
    double gini;
    int idx;
    double thr;
    bool recorded;  // set when this scan replaced the split passed in
};

enum class ScanStatus { ok, out_of_bounds };

// Walks positions i = 1 .. m-1 of a node's rows sorted by one feature
// (m = classes.size()), moving row i-1 from the right counts to the left
// counts, and records position i in `best` when its weighted impurity is
// strictly below best.gini. Positions whose two neighbouring thresholds are
// equal, or whose midpoint is NaN, are no candidates. Only class codes 0
// and 1 weigh in the impurity; a negative code counts from the end of the
// count views. The counts are changed in place (callers pass copies).
// Returns out_of_bounds, with `best` partly updated, as soon as a position
// needs an entry that a view lacks.
ScanStatus two_class_gini_scan(Strided<long> classes, Strided<double> num_left,
                               Strided<double> num_right, Strided<double> thresholds, int idx,
                               ScanBest& best);

}  // namespace tavrin::kernels
